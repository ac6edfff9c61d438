// env_read.cpp: a grain's envelope reads over one vector (audio thread), shared by both renderers.
//
// The position is stepped in 16.16 fixed point as the renderers always did, but in 64 bits: the
// values are those of the 32-bit arithmetic wherever that does not overflow, and every read is
// clamped into frames 0 to F - 1. Pieces that stay inside the frames take a loop without clamps, or
// the vector kernels of env_read_simd.cpp on machines that have them.
#include "toolkit/env_read.h"

#include <algorithm>

#include "env_read_simd.h"
#include "toolkit/common.h"
#include "toolkit/simd.h"

namespace toolkit {

namespace {

// An offset this far out lies beyond every frame whatever the base (|base| < 2^31, frames < 2^31).
// Offsets are folded back to it, keeping their low 16 bits (the interpolation weights), so the
// stepping never overflows and the reads stay exactly those of the unbounded arithmetic.
constexpr int64_t offset_bound = int64_t(1) << 56;
// A step this large leaves every frame after one sample. Steps of that size come from floats of at
// least 2^32, whose 16.16 image has zero low bits, as the bound has: saturating changes no read.
constexpr int64_t step_bound = int64_t(1) << 48;
// Pieces of at most this many samples keep offset + len * step inside 64 bits.
constexpr int32_t piece_max = 4096;

int64_t fold_offset(int64_t offset) noexcept {
    if (offset > offset_bound) return offset_bound + (offset & 0xffff);
    if (offset < -offset_bound) return -offset_bound + (offset & 0xffff);
    return offset;
}

// v truncated toward zero into [-bound, bound] (bound a multiple of 65536); NaN gives 0.
int64_t trunc_bounded(double v, int64_t bound) noexcept {
    if (v != v) return 0;
    if (v >= double(bound)) return bound;
    if (v <= -double(bound)) return -bound;
    return int64_t(v);
}

} // namespace

bool env_cursor_init(env_cursor &cur, const env_table &table, int32_t slot, float pos,
                     float inc) noexcept {
    if (slot < 0 || slot >= env_slots) return false;
    if (slot > 0 && table.buffer_obj[slot] == nullptr) return false;
    const int32_t frames = table.frames[slot];
    const float *samples = table.samples[slot];
    if (frames < 1 || samples == nullptr) return false;

    cur.samples = samples;
    cur.last = frames - 1;
    cur.base = trunc_i32(pos);
    // pos - base is exact (the fractional part of a float, or an integer when pos saturated the
    // base); times 65536 it is exact too.
    cur.offset = fold_offset(trunc_bounded((double(pos) - double(cur.base)) * 65536.0, offset_bound));
    cur.step = trunc_bounded(double(inc) * 65536.0, step_bound);
    return true;
}

void env_cursor_read(env_cursor &cur, int32_t n, bool interp, const float *interp_table,
                     float *out) noexcept {
    const float *const env = cur.samples;
    const int64_t last = cur.last;
    const int64_t base = cur.base;
    const int64_t step = cur.step;
    int64_t offset = cur.offset;
    const simd_level level = simd_active();
    if (level == simd_level::avx512 && env_read_usual_avx512(cur, n, interp, out)) return;

    while (n > 0) {
        const int32_t len = std::min(n, piece_max);
        // The index moves monotonically, so the piece is inside when its two ends are.
        const int64_t first = base + (offset >> 16);
        const int64_t end = base + ((offset + int64_t(len - 1) * step) >> 16);
        const int64_t lo = std::min(first, end);
        const int64_t hi = std::max(first, end);

        if (lo >= 0 && (interp ? hi < last : hi <= last)) {
            // Inside: no clamps; the vector kernels compute what the plain loop computes.
            if (level == simd_level::avx512)
                env_inside_avx512(env, last, base, offset, step, len, interp, out);
            else if (level == simd_level::avx2)
                env_inside_avx2(env, last, base, offset, step, len, interp, out);
            else
                env_inside_scalar(env, base, offset, step, len, interp, interp_table, out);
            offset += int64_t(len) * step;
        } else if (interp) {
            for (int32_t t = 0; t < len; ++t) {
                const int64_t i = base + (offset >> 16);
                const int64_t i0 = std::clamp<int64_t>(i, 0, last);
                const int64_t i1 = std::clamp<int64_t>(i + 1, 0, last);
                const float *w = interp_table + 2 * ((offset >> 6) & 0x3ff);
                out[t] = w[1] * env[i1] + w[0] * env[i0];
                offset += step;
            }
        } else {
            for (int32_t t = 0; t < len; ++t) {
                out[t] = env[std::clamp<int64_t>(base + (offset >> 16), 0, last)];
                offset += step;
            }
        }
        offset = fold_offset(offset);
        out += len;
        n -= len;
    }
    cur.offset = offset;
}

} // namespace toolkit
