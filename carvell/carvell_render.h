// carvell_render.h: carvell~'s rendering of its voices out of the ring (audio thread).
//
// One vector: every busy voice below the limit is added into the (cleared) outputs in ascending
// voice order, and the voices that end are freed. Two paths give the same bits:
// - the reference path visits every slot and renders a voice in two passes (ring reads into a
//   scratch array, then one add loop per output);
// - the fast paths (SSE2, AVX2, AVX-512; toolkit::simd_active picks one per vector) visit only the
//   voices of the busy bitmask; AVX2 and AVX-512 fuse the ring read with the output adds, several
//   samples at once (AVX-512 also several voices at once), SSE2 adds four samples at a time.
// Both do the same IEEE operations in the same order for every output sample, so only the speed
// differs. A plain function on plain records, so tests call it without a host.
#pragma once

#include <cstdint>

#include "carvell.h"
#include "toolkit/env_table.h"
#include "toolkit/simd.h"

namespace carvell {

// What the rendering reads besides the voice pool, fixed for one vector.
struct render_context {
    carvell_voice_pool *pool;
    uint64_t *busy_bits;             // dsp only: carvell_busy_words words, see busy_mark
    int32_t num_outputs;             // 1 to 8
    const float *ring;               // ring_length samples
    int32_t ring_length;
    const toolkit::env_table *env;
    const float *interp_table;       // 1024 pairs (1 - k/1024, k/1024), from interp_table_fill
    bool interp;                     // interpolated ring and envelope reads
};

// Records that voice v was given a grain (audio thread, after its busy flag is set).
inline void busy_mark(uint64_t *busy_bits, int32_t v) noexcept {
    busy_bits[v >> 6] |= uint64_t(1) << (v & 63);
}

// Adds every busy voice below `limit` into outs[0..num_outputs-1][0..n-1] and frees the voices that
// end. `level` chooses the path (simd_level::reference: the per-voice two-pass path).
void render(const render_context &ctx, t_sample *const *outs, int32_t n, int32_t limit,
            toolkit::simd_level level) noexcept;

} // namespace carvell
