// env_read_simd.h: the vector kernels of the envelope reader, for pieces whose reads all lie inside
// the frames (no clamping). Each one computes, per sample, exactly what the scalar loop computes:
// index base + (offset >> 16), weights k/1024 and 1 - k/1024 with k = (offset >> 6) & 1023 (the
// values interp_table_fill puts in the table), value w1 * env[i + 1] + w0 * env[i] in float.
#pragma once

#include <cstdint>

#include "toolkit/env_read.h"

namespace toolkit {

// Reads len values starting at offset (16.16, relative to base) with the given step into out.
// Inside: every index read (and i + 1 with interp) is in 0..last.
void env_inside_avx2(const float *env, int64_t last, int64_t base, int64_t offset, int64_t step,
                     int32_t len, bool interp, float *out) noexcept;
void env_inside_avx512(const float *env, int64_t last, int64_t base, int64_t offset, int64_t step,
                       int32_t len, bool interp, float *out) noexcept;

// The whole read of the usual vector (AVX-512): at most 4096 samples, all at least 32 frames
// before the envelope's end, a step of less than about 1.9 frames per sample. Advances the cursor
// and returns true; false (nothing read) for any other read.
bool env_read_usual_avx512(env_cursor &cur, int32_t n, bool interp, float *out) noexcept;

// The scalar loop the vector kernels fall back to (and the reference level uses).
inline void env_inside_scalar(const float *env, int64_t base, int64_t offset, int64_t step,
                              int32_t len, bool interp, const float *interp_table,
                              float *out) noexcept {
    if (interp) {
        for (int32_t t = 0; t < len; ++t) {
            const int64_t i = base + (offset >> 16);
            const float *w = interp_table + 2 * ((offset >> 6) & 0x3ff);
            out[t] = w[1] * env[i + 1] + w[0] * env[i];
            offset += step;
        }
    } else {
        for (int32_t t = 0; t < len; ++t) {
            out[t] = env[base + (offset >> 16)];
            offset += step;
        }
    }
}

} // namespace toolkit
