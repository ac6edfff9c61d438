// env_read.h: reading a grain's envelope over one vector, shared by both renderers.
//
// A voice's float envelope position is split at the start of each vector into an integer base and a
// fixed-point offset with 16 fraction bits; the per-sample step is the 16.16 image of the increment.
// Bits 6 to 15 of the offset pick the interpolation weights from the interp_table. The offset is kept
// in 64 bits, so it cannot overflow however large the increment or the vector; wherever a 32-bit
// offset would not overflow the values are the same. Every read is clamped into frames 0 to F - 1
// (the interpolation partner of the last frame, an envelope that shrank while a grain sounded).
#pragma once

#include <cstdint>

#include "toolkit/env_table.h"

namespace toolkit {

struct env_cursor {
    const float *samples; // the slot's sample data this vector
    int32_t last;         // frames - 1, 0 or more
    int32_t base;         // integer part of the start position
    int64_t offset;       // 16.16 position relative to base
    int64_t step;         // 16.16 increment per sample
};

// Audio thread, after env_refresh. Prepares the reads of the voice whose envelope slot is `slot`
// from position `pos` with increment `inc`. false when the slot is no longer bound or has no frames:
// the grain's envelope is gone and the caller ends the grain.
bool env_cursor_init(env_cursor &cur, const env_table &table, int32_t slot, float pos,
                     float inc) noexcept;

// Reads n envelope values into out and advances the cursor. interp: linear interpolation with
// weights from interp_table; otherwise the frame at the integer part.
void env_cursor_read(env_cursor &cur, int32_t n, bool interp, const float *interp_table,
                     float *out) noexcept;

} // namespace toolkit
