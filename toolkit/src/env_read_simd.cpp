// env_read_simd.cpp: AVX2 and AVX-512 kernels of the envelope reader (see env_read_simd.h).
//
// A block of 8 (AVX2) or 16 (AVX-512) samples reads a few neighbouring frames when the step is
// small, as it is for any grain longer than its envelope. The block loads the window of 16 or 32
// frames that holds all its reads (masked: nothing past the last frame is touched) and picks each
// sample's frames out of it with a permutation, so no gather is needed. Positions are stepped in the
// low 32 bits: the index relative to the window's first frame and the weight bits are exact there.
// A block whose reads do not fit the window (steps above about 2 frames per sample) is read by the
// scalar loop. The functions carry their instruction set as a target attribute, so the rest of the
// library stays baseline x86-64 and only runs them where simd_supported() allows.
#include "env_read_simd.h"

#include "toolkit/env_read_avx512.h"

#include <algorithm>

#if defined(__x86_64__) && defined(__GNUC__)
// GCC 12's AVX-512 headers start some intrinsics from an undefined register, which its own
// -Wmaybe-uninitialized then reports at every use.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

namespace toolkit {

namespace {

// The weights of interp_table entry k, computed: k / 1024 and 1 - k / 1024 are exact in float.
constexpr float weight_scale = 1.0f / 1024.0f;

// The reads of one block: first frame of the window and whether the window holds them all.
struct block_window {
    int64_t start; // lowest frame read
    bool fits;
};

inline block_window window_of(int64_t base, int64_t offset, int64_t step, int32_t m, int64_t reach) {
    const int64_t a = base + (offset >> 16);
    const int64_t b = base + ((offset + int64_t(m - 1) * step) >> 16);
    const int64_t lo = std::min(a, b);
    return {lo, std::max(a, b) - lo <= reach};
}

// The plain loop for a block whose reads do not fit the window, with the weights computed.
inline void plain_block(const float *env, int64_t base, int64_t offset, int64_t step, int32_t m,
                        bool interp, float *out) {
    for (int32_t s = 0; s < m; ++s) {
        const int64_t i = base + (offset >> 16);
        if (interp) {
            const float w1 = float(int32_t((offset >> 6) & 0x3ff)) * weight_scale;
            out[s] = w1 * env[i + 1] + (1.0f - w1) * env[i];
        } else {
            out[s] = env[i];
        }
        offset += step;
    }
}

// Low 32 bits of a 64-bit value, as the lanes hold them.
inline int32_t low32(int64_t v) { return int32_t(uint32_t(uint64_t(v))); }

} // namespace

__attribute__((target("avx2"))) void env_inside_avx2(const float *env, int64_t last, int64_t base,
                                                     int64_t offset, int64_t step, int32_t len,
                                                     bool interp, float *out) noexcept {
    constexpr int32_t w = 8;
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i tstep = _mm256_mullo_epi32(lane, _mm256_set1_epi32(low32(step)));
    const __m256i seven = _mm256_set1_epi32(7);
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i k_mask = _mm256_set1_epi32(1023);
    // Window of 16 frames: reads span at most 14 frames with the partner, 15 without.
    const int64_t reach = interp ? 14 : 15;
    for (int32_t t = 0; t < len; t += w) {
        const int32_t m = std::min(w, len - t);
        const block_window win = window_of(base, offset, step, m, reach);
        if (!win.fits) {
            plain_block(env, base, offset, step, m, interp, out + t);
            offset += int64_t(m) * step;
            continue;
        }
        const int64_t avail = last + 1 - win.start; // frames from the window's start, at least 1
        const __m256i lo_keep = _mm256_cmpgt_epi32(_mm256_set1_epi32(int32_t(std::min<int64_t>(avail, 16))), lane);
        const __m256i hi_keep = _mm256_cmpgt_epi32(
            _mm256_set1_epi32(int32_t(std::clamp<int64_t>(avail - 8, 0, 8))), lane);
        const float *wp = env + win.start;
        const __m256 w_lo = _mm256_maskload_ps(wp, lo_keep);
        const __m256 w_hi = _mm256_maskload_ps(wp + 8, hi_keep);

        const __m256i pos = _mm256_add_epi32(_mm256_set1_epi32(low32(offset)), tstep);
        const __m256i rel = _mm256_srai_epi32(
            _mm256_sub_epi32(pos, _mm256_set1_epi32(low32((win.start - base) * 65536))), 16);
        const __m256 e0 = _mm256_blendv_ps(_mm256_permutevar8x32_ps(w_lo, rel),
                                           _mm256_permutevar8x32_ps(w_hi, rel),
                                           _mm256_castsi256_ps(_mm256_cmpgt_epi32(rel, seven)));
        __m256 r;
        if (interp) {
            const __m256i rel1 = _mm256_add_epi32(rel, one);
            const __m256 e1 = _mm256_blendv_ps(_mm256_permutevar8x32_ps(w_lo, rel1),
                                               _mm256_permutevar8x32_ps(w_hi, rel1),
                                               _mm256_castsi256_ps(_mm256_cmpgt_epi32(rel1, seven)));
            const __m256i k = _mm256_and_si256(_mm256_srli_epi32(pos, 6), k_mask);
            const __m256 w1 = _mm256_mul_ps(_mm256_cvtepi32_ps(k), _mm256_set1_ps(weight_scale));
            const __m256 w0 = _mm256_sub_ps(_mm256_set1_ps(1.0f), w1);
            r = _mm256_add_ps(_mm256_mul_ps(w1, e1), _mm256_mul_ps(w0, e0));
        } else {
            r = e0;
        }
        if (m == w) {
            _mm256_storeu_ps(out + t, r);
        } else {
            _mm256_maskstore_ps(out + t, _mm256_cmpgt_epi32(_mm256_set1_epi32(m), lane), r);
        }
        offset += int64_t(m) * step;
    }
}

__attribute__((target("avx512f,avx512bw,avx512dq,avx512vl"))) bool
env_read_usual_avx512(env_cursor &cur, int32_t n, bool interp, float *out) noexcept {
    return env_read_usual(cur, n, interp, out);
}

// A piece inside the frames: the usual loop covers every step up to about 1.93 frames per sample,
// whatever the piece's place in the envelope; larger steps leave the window and take the plain loop.
__attribute__((target("avx512f,avx512bw,avx512dq,avx512vl"))) void
env_inside_avx512(const float *env, int64_t last, int64_t base, int64_t offset, int64_t step,
                  int32_t len, bool interp, float *out) noexcept {
    env_cursor piece{env, int32_t(last), int32_t(base), offset, step};
    if (!env_read_usual(piece, len, interp, out)) plain_block(env, base, offset, step, len, interp, out);
}

} // namespace toolkit

#else

namespace toolkit {
void env_inside_avx2(const float *, int64_t, int64_t, int64_t, int64_t, int32_t, bool,
                     float *) noexcept {}
void env_inside_avx512(const float *, int64_t, int64_t, int64_t, int64_t, int32_t, bool,
                       float *) noexcept {}
} // namespace toolkit

#endif
