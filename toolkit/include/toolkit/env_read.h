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

// env_cursor_init, inline for the usual grain (a bound slot, a position within 2^30 frames and an
// increment below 2^15 frames per sample, where no bound or fold applies); anything else goes to
// env_cursor_init. The renderers call it once per voice and vector.
inline bool env_cursor_start(env_cursor &cur, const env_table &table, int32_t slot, float pos,
                             float inc) noexcept {
    if (slot >= 0 && slot < env_slots && (slot == 0 || table.buffer_obj[slot] != nullptr) &&
        table.frames[slot] >= 1 && table.samples[slot] != nullptr && pos < 1073741824.0f &&
        pos > -1073741824.0f && inc < 32768.0f && inc > -32768.0f) {
        cur.samples = table.samples[slot];
        cur.last = table.frames[slot] - 1;
        cur.base = int32_t(pos); // toward zero, as trunc_i32 for this range
        cur.offset = int64_t((double(pos) - double(cur.base)) * 65536.0);
        cur.step = int64_t(double(inc) * 65536.0);
        return true;
    }
    return env_cursor_init(cur, table, slot, pos, inc);
}

// Reads n envelope values into out and advances the cursor. interp: linear interpolation with
// weights from interp_table; otherwise the frame at the integer part.
void env_cursor_read(env_cursor &cur, int32_t n, bool interp, const float *interp_table,
                     float *out) noexcept;

} // namespace toolkit
