// brindel_render_simd.cpp: the vector kernels of brindel~'s fast renderer, one per instruction set.
//
// The kernel source (brindel_render_kernel.h) is compiled three times: for the x86-64 baseline
// (SSE2), and under `#pragma GCC target` (clang: `#pragma clang attribute` with a target
// attribute) for AVX2 and for AVX-512, each in its own namespace. Only these functions use the
// wider instructions; the renderer calls the one simd_active() names. All headers are included
// before the first target region, so no shared inline function is emitted for a wider instruction
// set than the baseline.
#include <immintrin.h>

#include <type_traits>
#include <utility>

#include "brindel_render_batch.h"
#include "toolkit/env_read.h"
#include "toolkit/env_read_avx512.h"

namespace brindel_render {

namespace sse2 {
constexpr int W = 2;  // doubles per vector
constexpr int G = 4;  // vectors in flight in the oscillator pass
constexpr int F = 4;  // floats per vector in the output pass
constexpr bool block_outputs = false; // outputs summed voice by voice
constexpr bool vector_bookkeeping = false;
using vd = __m128d;
using vf = __m128;

inline vd dload(const double *p) noexcept { return _mm_load_pd(p); }
inline vd dset1(double v) noexcept { return _mm_set1_pd(v); }
// y = float(c * y1 - y2), stored; y2 = y1; y1 = y.
inline void osc_step(const vd &c, vd &y1, vd &y2, float *out) noexcept {
    const __m128 y = _mm_cvtpd_ps(_mm_sub_pd(_mm_mul_pd(c, y1), y2));
    _mm_storel_pi(reinterpret_cast<__m64 *>(out), y);
    y2 = y1;
    y1 = _mm_cvtps_pd(y);
}
// older = float(c * newer - older), stored: the two registers trade places.
inline void osc_into(const vd &c, const vd &newer, vd &older, float *out) noexcept {
    const __m128 y = _mm_cvtpd_ps(_mm_sub_pd(_mm_mul_pd(c, newer), older));
    _mm_storel_pi(reinterpret_cast<__m64 *>(out), y);
    older = _mm_cvtps_pd(y);
}
// float(double(env) * double(y) * amp) for F samples (aligned rows).
inline vf values(const float *env, const float *y, vd amp) noexcept {
    const __m128 e = _mm_load_ps(env);
    const __m128 yy = _mm_load_ps(y);
    const __m128 lo = _mm_cvtpd_ps(_mm_mul_pd(_mm_mul_pd(_mm_cvtps_pd(e), _mm_cvtps_pd(yy)), amp));
    const __m128 hi = _mm_cvtpd_ps(
        _mm_mul_pd(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(e, e)), _mm_cvtps_pd(_mm_movehl_ps(yy, yy))),
                   amp));
    return _mm_movelh_ps(lo, hi);
}
inline vf fset1(float v) noexcept { return _mm_set1_ps(v); }
inline vf floadu(const float *p) noexcept { return _mm_loadu_ps(p); }
inline void fstoreu(float *p, vf v) noexcept { _mm_storeu_ps(p, v); }
// a + b with a as the first operand: when both are NaN, a's NaN comes out (the compiler may swap
// the operands of a plain addition, so the instruction is spelled out).
inline vf fadd(vf a, vf b) noexcept {
    asm("addps %1, %0" : "+x"(a) : "x"(b));
    return a;
}
inline vf fmul(vf a, vf b) noexcept { return _mm_mul_ps(a, b); }

// lanes[g][t][l] -> rows[g * W + l][t]
void transpose(const float *lanes, float *rows, int groups, int steps) noexcept {
    for (int g = 0; g < groups; ++g)
        for (int t = 0; t < steps; ++t)
            for (int l = 0; l < W; ++l) rows[(g * W + l) * chunk + t] = lanes[(g * chunk + t) * W + l];
}

#include "brindel_render_kernel.h"

template void render_batch<1>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
template void render_batch<2>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
template void render_batch<4>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
template void render_batch<6>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
template void render_batch<8>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
} // namespace sse2

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
constexpr int W = 4;
constexpr int G = 4; // 16 ymm registers: 3 per vector of lanes, and room to work
constexpr int F = 8;
constexpr bool block_outputs = false;
constexpr bool vector_bookkeeping = false;
using vd = __m256d;
using vf = __m256;

inline vd dload(const double *p) noexcept { return _mm256_load_pd(p); }
inline vd dset1(double v) noexcept { return _mm256_set1_pd(v); }
inline void osc_step(const vd &c, vd &y1, vd &y2, float *out) noexcept {
    const __m128 y = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_mul_pd(c, y1), y2));
    _mm_store_ps(out, y);
    y2 = y1;
    y1 = _mm256_cvtps_pd(y);
}
inline void osc_into(const vd &c, const vd &newer, vd &older, float *out) noexcept {
    const __m128 y = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_mul_pd(c, newer), older));
    _mm_store_ps(out, y);
    older = _mm256_cvtps_pd(y);
}
inline vf values(const float *env, const float *y, vd amp) noexcept {
    const __m128 lo = _mm256_cvtpd_ps(_mm256_mul_pd(
        _mm256_mul_pd(_mm256_cvtps_pd(_mm_load_ps(env)), _mm256_cvtps_pd(_mm_load_ps(y))), amp));
    const __m128 hi = _mm256_cvtpd_ps(_mm256_mul_pd(
        _mm256_mul_pd(_mm256_cvtps_pd(_mm_load_ps(env + 4)), _mm256_cvtps_pd(_mm_load_ps(y + 4))), amp));
    return _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
}
inline vf fset1(float v) noexcept { return _mm256_set1_ps(v); }
inline vf floadu(const float *p) noexcept { return _mm256_loadu_ps(p); }
inline void fstoreu(float *p, vf v) noexcept { _mm256_storeu_ps(p, v); }
inline vf fadd(vf a, vf b) noexcept {
    vf r;
    asm("vaddps %2, %1, %0" : "=x"(r) : "x"(a), "x"(b));
    return r;
}
inline vf fmul(vf a, vf b) noexcept { return _mm256_mul_ps(a, b); }

// lanes[g][t][l] -> rows[g * W + l][t], in 4 x 4 blocks.
void transpose(const float *lanes, float *rows, int groups, int steps) noexcept {
    for (int g = 0; g < groups; ++g) {
        const float *in = lanes + g * chunk * W;
        float *r = rows + g * W * chunk;
        for (int t = 0; t < steps; t += 4) {
            __m128 a = _mm_load_ps(in + (t + 0) * W);
            __m128 b = _mm_load_ps(in + (t + 1) * W);
            __m128 c = _mm_load_ps(in + (t + 2) * W);
            __m128 d = _mm_load_ps(in + (t + 3) * W);
            _MM_TRANSPOSE4_PS(a, b, c, d);
            _mm_store_ps(r + 0 * chunk + t, a);
            _mm_store_ps(r + 1 * chunk + t, b);
            _mm_store_ps(r + 2 * chunk + t, c);
            _mm_store_ps(r + 3 * chunk + t, d);
        }
    }
}

#include "brindel_render_kernel.h"

template void render_batch<1>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
template void render_batch<2>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
template void render_batch<4>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
template void render_batch<6>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
template void render_batch<8>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
} // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512dq,avx512vl"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl")
// GCC 12's AVX-512 conversion intrinsics start from an undefined register on purpose, which its
// flow analysis reports as a (maybe-)uninitialised read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
namespace avx512 {
constexpr int W = 8;
constexpr int G = 16; // 16 vectors of lanes in flight hide the recurrence's latency (a few spill)
constexpr int F = 16;
constexpr bool block_outputs = true; // masked adds: outputs summed in registers
constexpr bool vector_bookkeeping = true; // pass_parts, pass_state below
using vd = __m512d;
using vf = __m512;

inline vd dload(const double *p) noexcept { return _mm512_load_pd(p); }
inline vd dset1(double v) noexcept { return _mm512_set1_pd(v); }
inline void osc_step(const vd &c, vd &y1, vd &y2, float *out) noexcept {
    const __m256 y = _mm512_cvtpd_ps(_mm512_sub_pd(_mm512_mul_pd(c, y1), y2));
    _mm256_store_ps(out, y);
    y2 = y1;
    y1 = _mm512_cvtps_pd(y);
}
inline void osc_into(const vd &c, const vd &newer, vd &older, float *out) noexcept {
    const __m256 y = _mm512_cvtpd_ps(_mm512_sub_pd(_mm512_mul_pd(c, newer), older));
    _mm256_store_ps(out, y);
    older = _mm512_cvtps_pd(y);
}
inline vf values(const float *env, const float *y, vd amp) noexcept {
    const __m256 lo = _mm512_cvtpd_ps(_mm512_mul_pd(
        _mm512_mul_pd(_mm512_cvtps_pd(_mm256_load_ps(env)), _mm512_cvtps_pd(_mm256_load_ps(y))), amp));
    const __m256 hi = _mm512_cvtpd_ps(_mm512_mul_pd(
        _mm512_mul_pd(_mm512_cvtps_pd(_mm256_load_ps(env + 8)), _mm512_cvtps_pd(_mm256_load_ps(y + 8))),
        amp));
    return _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1);
}
inline vf fset1(float v) noexcept { return _mm512_set1_ps(v); }
inline vf floadu(const float *p) noexcept { return _mm512_loadu_ps(p); }
inline void fstoreu(float *p, vf v) noexcept { _mm512_storeu_ps(p, v); }
inline vf fadd(vf a, vf b) noexcept {
    vf r;
    asm("vaddps %2, %1, %0" : "=v"(r) : "v"(a), "v"(b));
    return r;
}
// acc = a + acc in the lanes of m (a first), acc unchanged elsewhere.
inline vf fadd_into(vf acc, __mmask16 m, vf a) noexcept {
    asm("vaddps %0, %2, %0%{%1%}" : "+v"(acc) : "Yk"(m), "v"(a));
    return acc;
}
inline vf fmul(vf a, vf b) noexcept { return _mm512_mul_ps(a, b); }

// lanes[g][t][l] -> rows[g * W + l][t], in 8 x 8 blocks: four loads of two samples each, two
// rounds of two-source permutes, each result holding the 8 samples of two voices.
void transpose(const float *lanes, float *rows, int groups, int steps) noexcept {
    // round 1: samples 0-3 (or 4-7) of lanes 0-3 and of lanes 4-7, 4 per lane
    const __m512i lo4 = _mm512_setr_epi32(0, 8, 16, 24, 1, 9, 17, 25, 2, 10, 18, 26, 3, 11, 19, 27);
    const __m512i hi4 = _mm512_setr_epi32(4, 12, 20, 28, 5, 13, 21, 29, 6, 14, 22, 30, 7, 15, 23, 31);
    // round 2: lanes 0 and 1 (2 and 3) of a round-1 pair, samples 0-3 then 4-7 each
    const __m512i ab = _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 4, 5, 6, 7, 20, 21, 22, 23);
    const __m512i cd = _mm512_setr_epi32(8, 9, 10, 11, 24, 25, 26, 27, 12, 13, 14, 15, 28, 29, 30, 31);
    for (int g = 0; g < groups; ++g) {
        const float *in = lanes + g * chunk * W;
        float *r = rows + g * W * chunk;
        for (int t = 0; t < steps; t += 8) {
            const __m512 z0 = _mm512_load_ps(in + (t + 0) * W); // samples t, t + 1
            const __m512 z1 = _mm512_load_ps(in + (t + 2) * W);
            const __m512 z2 = _mm512_load_ps(in + (t + 4) * W);
            const __m512 z3 = _mm512_load_ps(in + (t + 6) * W);
            const __m512 p0 = _mm512_permutex2var_ps(z0, lo4, z1); // lanes 0-3, samples 0-3
            const __m512 p1 = _mm512_permutex2var_ps(z0, hi4, z1); // lanes 4-7, samples 0-3
            const __m512 q0 = _mm512_permutex2var_ps(z2, lo4, z3); // lanes 0-3, samples 4-7
            const __m512 q1 = _mm512_permutex2var_ps(z2, hi4, z3); // lanes 4-7, samples 4-7
            const __m512 l01 = _mm512_permutex2var_ps(p0, ab, q0);
            const __m512 l23 = _mm512_permutex2var_ps(p0, cd, q0);
            const __m512 l45 = _mm512_permutex2var_ps(p1, ab, q1);
            const __m512 l67 = _mm512_permutex2var_ps(p1, cd, q1);
            _mm256_store_ps(r + 0 * chunk + t, _mm512_castps512_ps256(l01));
            _mm256_store_ps(r + 1 * chunk + t, _mm512_extractf32x8_ps(l01, 1));
            _mm256_store_ps(r + 2 * chunk + t, _mm512_castps512_ps256(l23));
            _mm256_store_ps(r + 3 * chunk + t, _mm512_extractf32x8_ps(l23, 1));
            _mm256_store_ps(r + 4 * chunk + t, _mm512_castps512_ps256(l45));
            _mm256_store_ps(r + 5 * chunk + t, _mm512_extractf32x8_ps(l45, 1));
            _mm256_store_ps(r + 6 * chunk + t, _mm512_castps512_ps256(l67));
            _mm256_store_ps(r + 7 * chunk + t, _mm512_extractf32x8_ps(l67, 1));
        }
    }
}

#include "brindel_render_kernel.h"

// f(0), f(1), ... f(n - 1) as compile-time constants.
template <class F, int... I>
inline void each(std::integer_sequence<int, I...>, F &&f) noexcept {
    (f(std::integral_constant<int, I>()), ...);
}

// The lanes i of a block with l <= i < h.
inline __mmask16 lane_range(int l, int h) noexcept {
    const unsigned a = l < 0 ? 0u : l > 16 ? 16u : unsigned(l);
    const unsigned e = h < 0 ? 0u : h > 16 ? 16u : unsigned(h);
    return __mmask16(((1u << e) - 1u) & ~((1u << a) - 1u));
}

// The lanes i of the batch with j <= i < count, as a mask of 16 from lane j.
inline __mmask16 batch_lanes(const batch &b, int j) noexcept {
    const int left = b.count - j;
    return left >= 16 ? __mmask16(0xffff) : __mmask16((1u << left) - 1u);
}

// from = max(first, s0), count = max(min(first + length, s1) - from, 0), 16 voices at a time.
int pass_parts(const batch &b, int s0, int s1, int *from, int *count) noexcept {
    const __m512i lo = _mm512_set1_epi32(s0);
    const __m512i hi = _mm512_set1_epi32(s1);
    __m512i most = _mm512_setzero_si512();
    for (int j = 0; j < b.count; j += 16) {
        const __mmask16 m = batch_lanes(b, j);
        const __m512i f = _mm512_maskz_loadu_epi32(m, b.first + j);
        const __m512i l = _mm512_maskz_loadu_epi32(m, b.length + j);
        const __m512i a = _mm512_max_epi32(f, lo);
        const __m512i e = _mm512_min_epi32(_mm512_add_epi32(f, l), hi);
        const __m512i c = _mm512_max_epi32(_mm512_sub_epi32(e, a), _mm512_setzero_si512());
        _mm512_mask_storeu_epi32(from + j, m, a);
        _mm512_mask_storeu_epi32(count + j, m, c);
        most = _mm512_mask_max_epi32(most, m, most, c);
    }
    return _mm512_reduce_max_epi32(most);
}

// The voices that ran the whole `run` take the last two samples of their lane, the state of the
// oscillators after the pass; those with fewer samples (but some) take theirs from their row; the
// others keep theirs.
void pass_state(batch &b, const scratch &s, const int *count, int run) noexcept {
    const __m512i r = _mm512_set1_epi32(run);
    for (int j = 0; j < b.count; j += 16) {
        const __mmask16 m = batch_lanes(b, j);
        const __m512i c = _mm512_maskz_loadu_epi32(m, count + j);
        const __mmask16 all = _mm512_mask_cmpeq_epi32_mask(m, c, r);
        // lanes[vector][sample][lane]: the vector of lanes j / 8 and the next one
        for (int h = 0; h < 2; ++h) {
            const __mmask8 mh = __mmask8(all >> (8 * h));
            if (mh == 0) continue;
            const float *last = s.lanes + ((j / W + h) * chunk + run - 1) * W;
            _mm512_mask_store_pd(b.y1 + j + 8 * h, mh, _mm512_cvtps_pd(_mm256_load_ps(last)));
            _mm512_mask_store_pd(b.y2 + j + 8 * h, mh, _mm512_cvtps_pd(_mm256_load_ps(last - W)));
        }
        unsigned part = _mm512_mask_cmpneq_epi32_mask(m, c, r) &
                        _mm512_mask_cmpneq_epi32_mask(m, c, _mm512_setzero_si512());
        while (part != 0) {
            const int i = j + __builtin_ctz(part);
            part &= part - 1;
            const int ci = count[i];
            const float *row = s.rows + i * chunk;
            b.y2[i] = ci >= 2 ? double(row[ci - 2]) : b.y1[i];
            b.y1[i] = double(row[ci - 1]);
        }
    }
}

// First the envelope rows of the pass. A voice that sounds through the whole pass (most of them)
// has its output values formed where they are added; the others (a grain's first or last vector)
// get theirs into a row of vals, at the pass's sample positions. Then, per block of 16 output
// samples (several blocks at once where the registers allow), the outputs are loaded once, each voice
// in ascending order is added into its lanes (a masked add for the others: lanes outside the
// voice's samples keep their bits), and the sums are stored once. Each sample sees the reference's
// additions in the reference's order, without a store and a reload between two voices.
// flatten: the inline envelope read is inlined here whatever its size (a call per voice costs
// the set-up of its constants each time).
template <int N>
[[gnu::flatten]] void block_pass(batch &b, scratch &s, const int *from, const int *count,
                                 t_sample *const *out, int s0, int len, bool interp,
                                 const float *interp_table) noexcept {
    float *const vals = s.vals();
    bool whole[lanes_max];
    for (int j = 0; j < b.count; ++j) {
        const int c = count[j];
        if (c == 0) continue;
        float *env = s.env + j * chunk;
        // the usual read inline; the others through the library
        if (!toolkit::env_read_usual(b.cursor[j], c, interp, env))
            toolkit::env_cursor_read(b.cursor[j], c, interp, interp_table, env);
        b.env_last[j] = env[c - 1];
        whole[j] = from[j] == s0 && c == len;
        if (whole[j]) continue;
        const float *row = s.rows + j * chunk;
        float *v = vals + j * vals_stride + (from[j] - s0);
        const vd amp = dset1(b.amp[j]);
        // whole vectors: the lanes past c hold leftovers that no output lane takes
        for (int t = 0; t < c; t += F) fstoreu(v + t, values(env + t, row + t, amp));
    }

    constexpr int BL = N <= 4 ? 4 : 2; // blocks at once: at most 16 sums in registers
    // Blocks and outputs are unrolled at compile time, so the sums stay in registers.
    constexpr auto blocks = std::make_integer_sequence<int, BL>();
    constexpr auto outputs = std::make_integer_sequence<int, N>();
    for (int t0 = 0; t0 < len; t0 += F * BL) {
        __m512 acc[BL][N];
        __mmask16 keep[BL];
        each(blocks, [&](auto bl) {
            keep[bl] = lane_range(0, len - t0 - F * bl);
            each(outputs, [&](auto k) {
                acc[bl][k] = _mm512_maskz_loadu_ps(keep[bl], out[k] + s0 + t0 + F * bl);
            });
        });
        for (int j = 0; j < b.count; ++j) {
            if (count[j] == 0) continue;
            __m512 g[N];
            if constexpr (N > 1) each(outputs, [&](auto k) { g[k] = _mm512_set1_ps(b.gain[k][j]); });
            if (whole[j]) {
                // every lane of the pass; blocks and lanes past its end read leftovers inside the
                // rows and are not stored
                const float *env = s.env + j * chunk + t0;
                const float *row = s.rows + j * chunk + t0;
                const vd amp = dset1(b.amp[j]);
                each(blocks, [&](auto bl) {
                    const __m512 x = values(env + F * bl, row + F * bl, amp);
                    each(outputs, [&](auto k) {
                        acc[bl][k] = fadd(N > 1 ? _mm512_mul_ps(x, g[k]) : x, acc[bl][k]);
                    });
                });
                continue;
            }
            const int lo = from[j] - s0 - t0;
            const int hi = lo + count[j];
            if (hi <= 0 || lo >= F * BL) continue;
            const float *v = vals + j * vals_stride + t0;
            each(blocks, [&](auto bl) {
                const __mmask16 m = lane_range(lo - F * bl, hi - F * bl);
                if (m == 0) return;
                const __m512 x = _mm512_loadu_ps(v + F * bl);
                each(outputs, [&](auto k) {
                    // (v * gain) + out, as the reference adds
                    acc[bl][k] = fadd_into(acc[bl][k], m, N > 1 ? _mm512_mul_ps(x, g[k]) : x);
                });
            });
        }
        each(blocks, [&](auto bl) {
            each(outputs, [&](auto k) {
                _mm512_mask_storeu_ps(out[k] + s0 + t0 + F * bl, keep[bl], acc[bl][k]);
            });
        });
    }
}

template void render_batch<1>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
template void render_batch<2>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
template void render_batch<4>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
template void render_batch<6>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
template void render_batch<8>(batch &, scratch &, t_sample *const *, int, bool, const float *) noexcept;
} // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif

} // namespace brindel_render
