// carvell_render.cpp: carvell~'s voices rendered out of the ring (audio thread): the reference path
// and the fast paths for SSE2 (plain code, the x86-64 baseline), AVX2 and AVX-512.
//
// What every path computes, per voice and output sample s of the voice's part of the vector:
//   P  = acc + s x step                 16.16 offset from the ring index ip (64 bits)
//   j  = (ip + (P >> 16)) mod L,  j1 = j + 1, or 0 at the ring's end
//   k  = (P >> 6) & 1023,  w1 = k / 1024,  w0 = 1 - k / 1024   (exact floats: interp_table's values)
//   x  = w0 x ring[j] + w1 x ring[j1]   (without interpolation: ring[j])
//   y  = x x e[s] x amp                 (left to right)
//   out[q][s] += gain[q] x y            for each output q, voices in ascending order
// The fast paths compute P per lane from the block's first sample (exact integer identities), take
// the weights arithmetically instead of from the table, and read the ring through a window of
// consecutive samples when the block's reads fit in one; AVX-512 renders up to four voices per pass
// over the outputs, adding them in voice order. Every float operation and its order per output
// sample is the reference's, so the bits are the same. No FMA: the build has -ffp-contract=off and
// no fma intrinsic is used.
#include "carvell_render.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "toolkit/env_read.h"
#include "toolkit/env_read_avx512.h"

// Complete unrolling of the short loops over a voice group and the outputs (constant trip counts),
// so their vectors stay in registers. g++ -O2 needs the hint; clang unrolls them unasked.
#if defined(__clang__)
#define CARVELL_UNROLL_4
#define CARVELL_UNROLL_8
#else
#define CARVELL_UNROLL_4 _Pragma("GCC unroll 4")
#define CARVELL_UNROLL_8 _Pragma("GCC unroll 8")
#endif

namespace carvell {

namespace {

constexpr int32_t chunk_samples = 256; // samples rendered per pass of a voice (stack arrays)
constexpr int32_t max_outputs = 8;

// p reduced into 0 to L - 1.
int64_t wrap(int64_t p, int32_t length) noexcept {
    int64_t q = p % length;
    if (q < 0) q += length;
    return q;
}

// ---- reference path -------------------------------------------------------------------------------

// Ring reads of one chunk: y[s] = x * e[s] * amp, x from the ring at ip + (acc >> 16), interpolated
// with the weights of acc's top ten fraction bits. acc and step are 16.16 in 64 bits.
template <bool Interp>
void ring_read(const float *ring, int32_t length, int64_t ip, int64_t &acc, int64_t step,
               const float *interp_table, const float *env, float amp, int32_t count,
               float *y) noexcept {
    for (int32_t s = 0; s < count; ++s) {
        int64_t j = ip + (acc >> 16);
        if (j < 0 || j >= length) j = wrap(j, length);
        float x;
        if constexpr (Interp) {
            const float *w = interp_table + 2 * ((acc >> 6) & 1023);
            const int64_t j1 = j + 1 == length ? 0 : j + 1;
            x = w[0] * ring[j] + w[1] * ring[j1];
        } else {
            x = ring[j];
        }
        y[s] = x * env[s] * amp;
        acc += step;
    }
}

// ---- fast paths: one chunk of one voice, ring read fused with the output adds --------------------

struct chunk_job {
    const float *ring;
    int32_t length;        // L
    int64_t ip;            // ring index, 0 to L - 1
    int64_t acc;           // 16.16 offset of the first sample from ip, 0 to 65535
    int64_t step;          // 16.16 per sample, |step| < L x 65536
    const float *env;      // count envelope values
    float amp;
    int32_t count;         // 1 to chunk_samples
    int32_t num_outputs;   // 1 to max_outputs
    const float *gain;     // num_outputs gains
    t_sample *const *out;  // num_outputs pointers to the chunk's first output sample
};

// Outputs > 0: the count, known at compile time (gains and output pointers stay in registers);
// 0: c.num_outputs at run time.
template <int32_t Outputs>
inline int32_t outputs_of(const chunk_job &c) noexcept {
    return Outputs > 0 ? Outputs : c.num_outputs;
}

// Steps up to this size keep 15 x step + 65535 inside 32 bits (lane offsets of a 16-sample block)
// and a block's reads within 16 x 1024 < ring_min_samples of its first one, so one correction by L
// brings any index into the ring. Larger steps (read speeds of 1024 and more) take the scalar loop.
constexpr int64_t lane_step_max = int64_t(1) << 26;

// The scalar fused loop: the vector levels' path for huge steps.
template <bool Interp>
void chunk_scalar(const chunk_job &c) noexcept {
    const int32_t length = c.length;
    int64_t acc = c.acc;
    for (int32_t s = 0; s < c.count; ++s) {
        int64_t j = c.ip + (acc >> 16);
        if (j < 0 || j >= length) j = wrap(j, length);
        float x;
        if constexpr (Interp) {
            const float w1 = float(int32_t((acc >> 6) & 1023)) * (1.0f / 1024.0f);
            const float w0 = 1.0f - w1;
            const int64_t j1 = j + 1 == length ? 0 : j + 1;
            x = w0 * c.ring[j] + w1 * c.ring[j1];
        } else {
            x = c.ring[j];
        }
        const float y = x * c.env[s] * c.amp;
        for (int32_t q = 0; q < c.num_outputs; ++q) c.out[q][s] += c.gain[q] * y;
        acc += c.step;
    }
}

// The block walk shared by the vector kernels: (ib, fb) is the ring index and the 16.16 fraction
// (0 to 65535) of a block's first sample; lanes are at fb + lane x step from ib.
inline void block_advance(int64_t &ib, int64_t &fb, int64_t block_step, int32_t length) noexcept {
    const int64_t t = fb + block_step;
    ib += t >> 16;
    fb = t & 0xffff;
    if (ib >= length)
        ib -= length;
    else if (ib < 0)
        ib += length;
}

// ---- per voice, shared by every path ---------------------------------------------------------------

// A voice's rendering over one vector, as its record gives it.
struct voice_plan {
    int32_t offset;  // first output sample
    int32_t m;       // samples rendered; 0 or less: none
    float t, amp;
    double rp;       // read position at the start of the vector
    int64_t ip;      // ring index of the first sample, 0 to L - 1
    int64_t acc;     // 16.16 offset of the first sample from ip, 0 to 65535
    int64_t step;    // 16.16 per sample, modulo L ring samples
};

// Prepares voice v. False when the voice is free afterwards without rendering: found free, or its
// envelope gone (the flag is cleared). fast: the fast paths' equivalent shortcuts (same values).
[[gnu::always_inline]] inline bool voice_begin(const render_context &ctx, int32_t v, int32_t n, bool fast,
                        toolkit::env_cursor &cur, voice_plan &p) noexcept {
    carvell_voice_pool &pool = *ctx.pool;
    if (pool.voice_busy[v].load() == 0) return false;
    p.offset = pool.voice_offset[v];
    const int32_t remaining = pool.voice_remaining[v];
    p.m = n - p.offset < remaining ? n - p.offset : remaining;
    if (p.m <= 0) return true;
    if (!toolkit::env_cursor_start(cur, *ctx.env, pool.voice_env_slot[v], pool.voice_env_pos[v],
                                  pool.voice_env_inc[v])) {
        // The grain's envelope is gone (slot dropped, or no frames): the grain ends here.
        pool.voice_busy[v].store(0);
        return false;
    }
    p.t = pool.voice_transp[v];
    p.amp = pool.voice_amp[v];
    const double ring_len_d = double(ctx.ring_length);
    // Any step is the same step modulo L ring samples: the index is reduced modulo L anyway.
    const double step_period = ring_len_d * 65536.0;

    // Read position split into a ring index and a 16.16 offset from it.
    const double rp = pool.voice_read_pos[v];
    p.rp = rp;
    double pm;
    if (fast && rp >= 0.0 && rp < 2.0 * ring_len_d) {
        // The formula below without its division: for 0 <= rp < L the quotient rounds below 1
        // (the largest double below L over L is at most 1 - 2^-53), and below 2 for rp < 2L,
        // so the floor is 0 or 1 and pm is rp or rp - L (exact), the formula's values (but for
        // the sign of a zero, which ip and acc do not see).
        pm = rp < ring_len_d ? rp : rp - ring_len_d;
    } else {
        pm = rp - ring_len_d * std::floor(rp / ring_len_d);
    }
    if (!(pm >= 0.0 && pm < ring_len_d)) {
        // NB: for huge positions the formula above loses its exactness; fmod does not.
        pm = std::fmod(rp, ring_len_d);
        if (pm < 0.0) pm += ring_len_d;
        if (!(pm >= 0.0 && pm < ring_len_d)) pm = 0.0;
    }
    p.ip = int64_t(pm);
    p.acc = int64_t((pm - double(p.ip)) * 65536.0);
    const double sv = double(p.t) * 65536.0;
    if (fast) {
        // fmod returns its argument exactly when that is already below the period.
        p.step = int64_t(std::fabs(sv) < step_period ? sv : std::fmod(sv, step_period));
    } else {
        p.step = int64_t(std::fmod(sv, step_period));
    }
    pool.voice_env_pos[v] = pool.voice_env_pos[v] + pool.voice_env_inc[v] * float(p.m);
    return true;
}

// After a chunk of count samples: the whole samples folded into the index, so the fraction bits,
// and so the weights and the indices modulo L, stay those of one unbroken accumulator.
inline void voice_fold(int64_t &ip, int64_t &acc, int32_t count, int64_t step, int32_t length) noexcept {
    acc += int64_t(count) * step;
    const int64_t next = ip + (acc >> 16);
    ip = next >= 0 && next < length ? next : wrap(next, length);
    acc &= 0xffff;
}

// The record after the vector; false when the voice ended and was freed.
inline bool voice_end(const render_context &ctx, int32_t v, const voice_plan &p) noexcept {
    carvell_voice_pool &pool = *ctx.pool;
    if (p.m > 0) pool.voice_read_pos[v] = p.rp + double(p.m) * double(p.t);
    const int32_t left = pool.voice_remaining[v] - (p.m > 0 ? p.m : 0);
    pool.voice_remaining[v] = left;
    pool.voice_offset[v] = 0;
    if (left <= 0 || p.m <= 0) {
        pool.voice_busy[v].store(0);
        return false;
    }
    return true;
}

} // namespace

// ---- AVX-512: 16 samples per block ------------------------------------------------------------------
// Every function defined down to the matching pop is built for AVX-512 (g++: target pragma; clang,
// which the fuzzing build uses: the same attribute applied to each function).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512dq,avx512vl"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512dq,avx512vl")
// g++ 12 flags the deliberately undefined pass-through operand inside some AVX-512 intrinsics
// (srai, gather, cvtepi32_ps) as maybe uninitialized; every lane of their results is defined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
namespace k512 {
namespace {

// y of one block once the ring values are in: r0 = ring[j], r1 = ring[j1], p the lanes' 16.16
// offsets (bits 6 to 15 give the weights), env the block's envelope values.
template <bool Interp>
inline __m512 block_y(__m512 r0, __m512 r1, __m512i p, const float *env, __mmask16 m,
                      __m512 amp) noexcept {
    __m512 x;
    if (Interp) {
        // k x 64 is bits 6 to 15 of p in place; as a float times 2^-16 it is k / 1024 exactly.
        const __m512i k64 = _mm512_and_si512(p, _mm512_set1_epi32(0xffc0));
        const __m512 w1 = _mm512_mul_ps(_mm512_cvtepi32_ps(k64), _mm512_set1_ps(1.0f / 65536.0f));
        const __m512 w0 = _mm512_sub_ps(_mm512_set1_ps(1.0f), w1);
        x = _mm512_add_ps(_mm512_mul_ps(w0, r0), _mm512_mul_ps(w1, r1));
    } else {
        x = r0;
    }
    const __m512 e = _mm512_maskz_loadu_ps(m, env);
    return _mm512_mul_ps(_mm512_mul_ps(x, e), amp);
}

// The block's y added into each output, gain x y.
template <bool Interp>
inline void block_out(__m512 r0, __m512 r1, __m512i p, const float *env, __mmask16 m, __m512 amp,
                      const __m512 *gain, float *const *out, int32_t nq, int32_t s0) noexcept {
    const __m512 y = block_y<Interp>(r0, r1, p, env, m, amp);
    for (int32_t q = 0; q < nq; ++q) {
        float *o = out[q] + s0;
        _mm512_mask_storeu_ps(o, m, _mm512_add_ps(_mm512_maskz_loadu_ps(m, o), _mm512_mul_ps(gain[q], y)));
    }
}

// Speeds up to 2 either way: the reads of a block (interpolation partners included) lie within
// 0 to 31 samples of the block's first index forwards, -30 to 1 backwards, so a window of 32
// samples at a fixed offset from that index holds them. True when every block's window of the
// chunk lies inside the ring; base_off is the window's offset.
inline bool window_fits(const chunk_job &c, int32_t &base_off) noexcept {
    if (c.step > 2 * 65536 || c.step < -2 * 65536) return false;
    base_off = c.step < 0 ? -30 : 0;
    const int32_t blocks = (c.count + 15) / 16;
    const int64_t ib_last = c.ip + ((c.acc + int64_t(blocks - 1) * 16 * c.step) >> 16);
    const int64_t lo_min = (c.step < 0 ? ib_last : c.ip) + base_off;
    const int64_t lo_max = (c.step < 0 ? c.ip : ib_last) + base_off;
    return lo_min >= 0 && lo_max + 32 <= c.length;
}

// Lane offsets from the window's start: the added whole samples leave bits 0 to 15 alone.
inline __m512i window_lanes(int64_t step, int32_t base_off) noexcept {
    const __m512i lane_step =
        _mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                           _mm512_set1_epi32(int32_t(step)));
    return _mm512_sub_epi32(lane_step, _mm512_set1_epi32(base_off * 65536));
}

// y of the block whose first sample is at pb (16.16 from c.ip), in the window loop.
template <bool Interp>
inline __m512 window_block(const chunk_job &c, const float *ring_w, __m512i lane_w, int64_t pb,
                           int32_t s0, __mmask16 m, __m512 amp) noexcept {
    const float *const w = ring_w + (c.ip + (pb >> 16));
    const __m512i p = _mm512_add_epi32(_mm512_set1_epi32(int32_t(pb & 0xffff)), lane_w);
    const __m512i idx = _mm512_srai_epi32(p, 16);
    const __m512 a = _mm512_loadu_ps(w);
    const __m512 b = _mm512_loadu_ps(w + 16);
    const __m512 r0 = _mm512_permutex2var_ps(a, idx, b);
    const __m512 r1 = Interp ? _mm512_permutex2var_ps(a, _mm512_add_epi32(idx, _mm512_set1_epi32(1)), b) : r0;
    return block_y<Interp>(r0, r1, p, c.env + s0, m, amp);
}

inline __mmask16 tail_mask(int32_t left) noexcept {
    return left >= 16 ? __mmask16(0xffff) : __mmask16((1u << left) - 1u);
}

// True when the chunk may join a group (chunk_group): the window loop applies.
inline bool group_fits(const chunk_job &c) noexcept {
    int32_t base_off = 0;
    return window_fits(c, base_off);
}

// N voices (2 to 4, ascending) over the same samples and outputs, each fitting its window: the
// blocks' y of all of them, then out + gain_1 x y_1 + ... + gain_N x y_N in voice order, one load
// and one store per output and block for the group.
template <bool Interp, int32_t Outputs, int32_t N>
void chunk_group(const chunk_job *jobs) noexcept {
    __m512i lanes[N];
    const float *rings[N];
    __m512 amps[N];
    int64_t pos[N];
CARVELL_UNROLL_4
    for (int32_t g = 0; g < N; ++g) {
        int32_t base_off = 0;
        window_fits(jobs[g], base_off);
        lanes[g] = window_lanes(jobs[g].step, base_off);
        rings[g] = jobs[g].ring + base_off;
        amps[g] = _mm512_set1_ps(jobs[g].amp);
        pos[g] = jobs[g].acc;
    }
    const int32_t nq = outputs_of<Outputs>(jobs[0]);
    __m512 gains[N][max_outputs];
    float *out[max_outputs];
    for (int32_t q = 0; q < nq; ++q) {
CARVELL_UNROLL_4
        for (int32_t g = 0; g < N; ++g) gains[g][q] = _mm512_set1_ps(jobs[g].gain[q]);
        out[q] = jobs[0].out[q];
    }
    const int32_t count = jobs[0].count;
    for (int32_t s0 = 0; s0 < count; s0 += 16) {
        const __mmask16 m = tail_mask(count - s0);
        __m512 y[N];
CARVELL_UNROLL_4
        for (int32_t g = 0; g < N; ++g) {
            y[g] = window_block<Interp>(jobs[g], rings[g], lanes[g], pos[g], s0, m, amps[g]);
            pos[g] += 16 * jobs[g].step;
        }
CARVELL_UNROLL_8
        for (int32_t q = 0; q < nq; ++q) {
            float *o = out[q] + s0;
            __m512 v = _mm512_maskz_loadu_ps(m, o);
CARVELL_UNROLL_4
            for (int32_t g = 0; g < N; ++g) v = _mm512_add_ps(v, _mm512_mul_ps(gains[g][q], y[g]));
            _mm512_mask_storeu_ps(o, m, v);
        }
    }
}

template <bool Interp, int32_t Outputs>
void chunk(const chunk_job &c) noexcept {
    if (c.step > lane_step_max || c.step < -lane_step_max) {
        chunk_scalar<Interp>(c);
        return;
    }
    const int32_t length = c.length;
    const float *const ring = c.ring;
    const int32_t step = int32_t(c.step);
    const __m512i lane_step =
        _mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                           _mm512_set1_epi32(step));
    const __m512i length_v = _mm512_set1_epi32(length);
    const __m512i one_i = _mm512_set1_epi32(1);
    const __m512 amp = _mm512_set1_ps(c.amp);
    const int32_t nq = outputs_of<Outputs>(c);
    __m512 gain[max_outputs];
    float *out[max_outputs];
    for (int32_t q = 0; q < nq; ++q) {
        gain[q] = _mm512_set1_ps(c.gain[q]);
        out[q] = c.out[q];
    }

    int32_t base_off = 0;
    if (window_fits(c, base_off)) {
        // No test per block (see window_fits).
        const __m512i lane_w = window_lanes(c.step, base_off);
        const float *const ring_w = ring + base_off;
        int64_t pb = c.acc; // 16.16 offset of the block's first sample from c.ip
        for (int32_t s0 = 0; s0 < c.count; s0 += 16) {
            const __mmask16 m = tail_mask(c.count - s0);
            const __m512 y = window_block<Interp>(c, ring_w, lane_w, pb, s0, m, amp);
            for (int32_t q = 0; q < nq; ++q) {
                float *o = out[q] + s0;
                _mm512_mask_storeu_ps(o, m, _mm512_add_ps(_mm512_maskz_loadu_ps(m, o), _mm512_mul_ps(gain[q], y)));
            }
            pb += 16 * int64_t(step);
        }
        return;
    }

    int64_t ib = c.ip;
    int64_t fb = c.acc;
    for (int32_t s0 = 0; s0 < c.count; s0 += 16) {
        const int32_t left = c.count - s0;
        const __mmask16 m = left >= 16 ? __mmask16(0xffff) : __mmask16((1u << left) - 1u);
        const __m512i p = _mm512_add_epi32(_mm512_set1_epi32(int32_t(fb)), lane_step);
        const __m512i rel = _mm512_srai_epi32(p, 16); // whole samples from ib, per lane
        // Lane 0 is at 0, lane 15 at the other end of the block's reads.
        const int32_t rel_last = int32_t((fb + 15 * int64_t(step)) >> 16);
        const int32_t rel_min = rel_last < 0 ? rel_last : 0;
        const int32_t rel_span = (rel_last < 0 ? -rel_last : rel_last) + (Interp ? 1 : 0);
        const int64_t lo = ib + rel_min;

        __m512 r0, r1;
        if (lo >= 0 && lo + 32 <= length && rel_span <= 31) {
            // Every read of the block lies in ring[lo .. lo + 31], inside the ring: no wrap, j1 = j + 1.
            const __m512 a = _mm512_loadu_ps(ring + lo);
            const __m512 b = _mm512_loadu_ps(ring + lo + 16);
            const __m512i idx = _mm512_sub_epi32(rel, _mm512_set1_epi32(rel_min));
            r0 = _mm512_permutex2var_ps(a, idx, b);
            r1 = Interp ? _mm512_permutex2var_ps(a, _mm512_add_epi32(idx, one_i), b) : r0;
        } else {
            // Near the ring's end or at speeds near 2 and above: gathers of indices brought into the ring.
            __m512i j = _mm512_add_epi32(_mm512_set1_epi32(int32_t(ib)), rel);
            j = _mm512_mask_add_epi32(j, _mm512_cmplt_epi32_mask(j, _mm512_setzero_si512()), j, length_v);
            j = _mm512_mask_sub_epi32(j, _mm512_cmpge_epi32_mask(j, length_v), j, length_v);
            r0 = _mm512_i32gather_ps(j, ring, 4);
            if (Interp) {
                __m512i j1 = _mm512_add_epi32(j, one_i);
                j1 = _mm512_mask_mov_epi32(j1, _mm512_cmpeq_epi32_mask(j1, length_v),
                                           _mm512_setzero_si512());
                r1 = _mm512_i32gather_ps(j1, ring, 4);
            } else {
                r1 = r0;
            }
        }
        block_out<Interp>(r0, r1, p, c.env + s0, m, amp, gain, out, nq, s0);
        block_advance(ib, fb, 16 * int64_t(step), length);
    }
}

constexpr int32_t group_max = 4; // voices rendered together by chunk_group

// The envelope values of a voice's chunk: the usual read inline, anything else through the reader.
inline void env_row(toolkit::env_cursor &cur, int32_t count, bool interp, const float *table,
                    float *env) noexcept {
    if (!toolkit::env_read_usual(cur, count, interp, env))
        toolkit::env_cursor_read(cur, count, interp, table, env);
}

#include "carvell_render_voices.inc"

} // namespace
} // namespace k512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif

// ---- AVX2: 8 samples per block ------------------------------------------------------------------------
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace k256 {
namespace {

// The arithmetic of one block once the ring values are in (see the AVX-512 block_out); m: the
// lanes inside the chunk (all bits set).
template <bool Interp>
inline void block_out(__m256 r0, __m256 r1, __m256i p, const float *env, __m256i m, __m256 amp,
                      const __m256 *gain, float *const *out, int32_t nq, int32_t s0) noexcept {
    __m256 x;
    if (Interp) {
        const __m256i k64 = _mm256_and_si256(p, _mm256_set1_epi32(0xffc0));
        const __m256 w1 = _mm256_mul_ps(_mm256_cvtepi32_ps(k64), _mm256_set1_ps(1.0f / 65536.0f));
        const __m256 w0 = _mm256_sub_ps(_mm256_set1_ps(1.0f), w1);
        x = _mm256_add_ps(_mm256_mul_ps(w0, r0), _mm256_mul_ps(w1, r1));
    } else {
        x = r0;
    }
    const __m256 e = _mm256_maskload_ps(env, m);
    const __m256 y = _mm256_mul_ps(_mm256_mul_ps(x, e), amp);
    for (int32_t q = 0; q < nq; ++q) {
        float *o = out[q] + s0;
        _mm256_maskstore_ps(o, m, _mm256_add_ps(_mm256_maskload_ps(o, m), _mm256_mul_ps(gain[q], y)));
    }
}

// ring[lo + idx] for idx 0 to 15 out of the window a (0 to 7), b (8 to 15).
inline __m256 pick(__m256 a, __m256 b, __m256i idx, __m256i seven) noexcept {
    const __m256 from_a = _mm256_permutevar8x32_ps(a, idx);
    const __m256 from_b = _mm256_permutevar8x32_ps(b, idx);
    return _mm256_blendv_ps(from_a, from_b, _mm256_castsi256_ps(_mm256_cmpgt_epi32(idx, seven)));
}

template <bool Interp, int32_t Outputs>
void chunk(const chunk_job &c) noexcept {
    if (c.step > lane_step_max || c.step < -lane_step_max) {
        chunk_scalar<Interp>(c);
        return;
    }
    const int32_t length = c.length;
    const float *const ring = c.ring;
    const int32_t step = int32_t(c.step);
    const int32_t nq = outputs_of<Outputs>(c);
    __m256 gain[max_outputs];
    float *out[max_outputs];
    for (int32_t q = 0; q < nq; ++q) {
        gain[q] = _mm256_set1_ps(c.gain[q]);
        out[q] = c.out[q];
    }
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i lane_step = _mm256_mullo_epi32(lanes, _mm256_set1_epi32(step));
    const __m256i length_v = _mm256_set1_epi32(length);
    const __m256i one_i = _mm256_set1_epi32(1);
    const __m256i seven = _mm256_set1_epi32(7);
    const __m256 amp = _mm256_set1_ps(c.amp);

    // Speeds up to 2 either way: a block's reads lie within 0 to 15 samples of its first index
    // forwards, -14 to 1 backwards; a window of 16 at a fixed offset holds them (as for AVX-512).
    if (c.step <= 2 * 65536 && c.step >= -2 * 65536) {
        const int32_t base_off = step < 0 ? -14 : 0;
        const int32_t blocks = (c.count + 7) / 8;
        const int64_t ib_last = c.ip + ((c.acc + int64_t(blocks - 1) * 8 * step) >> 16);
        const int64_t lo_min = (step < 0 ? ib_last : c.ip) + base_off;
        const int64_t lo_max = (step < 0 ? c.ip : ib_last) + base_off;
        if (lo_min >= 0 && lo_max + 16 <= length) {
            const __m256i lane_w = _mm256_sub_epi32(lane_step, _mm256_set1_epi32(base_off * 65536));
            const float *const ring_w = ring + base_off;
            int64_t pb = c.acc;
            for (int32_t s0 = 0; s0 < c.count; s0 += 8) {
                const __m256i m = _mm256_cmpgt_epi32(_mm256_set1_epi32(c.count - s0), lanes);
                const float *const w = ring_w + (c.ip + (pb >> 16));
                const __m256i p = _mm256_add_epi32(_mm256_set1_epi32(int32_t(pb & 0xffff)), lane_w);
                const __m256i idx = _mm256_srai_epi32(p, 16);
                const __m256 a = _mm256_loadu_ps(w);
                const __m256 b = _mm256_loadu_ps(w + 8);
                const __m256 r0 = pick(a, b, idx, seven);
                const __m256 r1 = Interp ? pick(a, b, _mm256_add_epi32(idx, one_i), seven) : r0;
                block_out<Interp>(r0, r1, p, c.env + s0, m, amp, gain, out, nq, s0);
                pb += 8 * int64_t(step);
            }
            return;
        }
    }

    int64_t ib = c.ip;
    int64_t fb = c.acc;
    for (int32_t s0 = 0; s0 < c.count; s0 += 8) {
        const int32_t left = c.count - s0;
        const __m256i m = _mm256_cmpgt_epi32(_mm256_set1_epi32(left), lanes);
        const __m256i p = _mm256_add_epi32(_mm256_set1_epi32(int32_t(fb)), lane_step);
        const __m256i rel = _mm256_srai_epi32(p, 16);
        const int32_t rel_last = int32_t((fb + 7 * int64_t(step)) >> 16);
        const int32_t rel_min = rel_last < 0 ? rel_last : 0;
        const int32_t rel_span = (rel_last < 0 ? -rel_last : rel_last) + (Interp ? 1 : 0);
        const int64_t lo = ib + rel_min;

        __m256 r0, r1;
        if (lo >= 0 && lo + 16 <= length && rel_span <= 15) {
            const __m256 a = _mm256_loadu_ps(ring + lo);
            const __m256 b = _mm256_loadu_ps(ring + lo + 8);
            const __m256i idx = _mm256_sub_epi32(rel, _mm256_set1_epi32(rel_min));
            r0 = pick(a, b, idx, seven);
            r1 = Interp ? pick(a, b, _mm256_add_epi32(idx, one_i), seven) : r0;
        } else {
            __m256i j = _mm256_add_epi32(_mm256_set1_epi32(int32_t(ib)), rel);
            j = _mm256_add_epi32(j, _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_setzero_si256(), j), length_v));
            j = _mm256_sub_epi32(j, _mm256_andnot_si256(_mm256_cmpgt_epi32(length_v, j), length_v));
            r0 = _mm256_i32gather_ps(ring, j, 4);
            if (Interp) {
                __m256i j1 = _mm256_add_epi32(j, one_i);
                j1 = _mm256_andnot_si256(_mm256_cmpeq_epi32(j1, length_v), j1);
                r1 = _mm256_i32gather_ps(ring, j1, 4);
            } else {
                r1 = r0;
            }
        }
        block_out<Interp>(r0, r1, p, c.env + s0, m, amp, gain, out, nq, s0);
        block_advance(ib, fb, 8 * int64_t(step), length);
    }
}

// No voice groups at this level: every voice is rendered alone.
constexpr int32_t group_max = 1;
inline bool group_fits(const chunk_job &) noexcept {
    return false;
}
template <bool Interp, int32_t Outputs, int32_t N>
inline void chunk_group(const chunk_job *) noexcept {}

inline void env_row(toolkit::env_cursor &cur, int32_t count, bool interp, const float *table,
                    float *env) noexcept {
    toolkit::env_cursor_read(cur, count, interp, table, env);
}

#include "carvell_render_voices.inc"

} // namespace
} // namespace k256
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// ---- SSE2: scalar ring reads, outputs four samples at a time -------------------------------------------------------------------
namespace ksse {
namespace {

// The ring reads of the chunk into y, one sample at a time, then the adds four samples at a time.
template <bool Interp, int32_t Outputs>
inline void chunk(const chunk_job &c) noexcept {
    float y[chunk_samples];
    const int32_t length = c.length;
    const float *const ring = c.ring;
    int64_t acc = c.acc;
    for (int32_t s = 0; s < c.count; ++s) {
        int64_t j = c.ip + (acc >> 16);
        if (j < 0 || j >= length) j = wrap(j, length);
        float x;
        if constexpr (Interp) {
            const float w1 = float(int32_t((acc >> 6) & 1023)) * (1.0f / 1024.0f);
            const float w0 = 1.0f - w1;
            const int64_t j1 = j + 1 == length ? 0 : j + 1;
            x = w0 * ring[j] + w1 * ring[j1];
        } else {
            x = ring[j];
        }
        y[s] = x * c.env[s] * c.amp;
        acc += c.step;
    }
    const int32_t nq = outputs_of<Outputs>(c);
    for (int32_t q = 0; q < nq; ++q) {
        const float gain = c.gain[q];
        const __m128 g = _mm_set1_ps(gain);
        float *const o = c.out[q];
        int32_t s = 0;
        for (; s + 4 <= c.count; s += 4)
            _mm_storeu_ps(o + s, _mm_add_ps(_mm_loadu_ps(o + s), _mm_mul_ps(g, _mm_loadu_ps(y + s))));
        for (; s < c.count; ++s) o[s] += gain * y[s];
    }
}

// No voice groups at this level: every voice is rendered alone.
constexpr int32_t group_max = 1;
inline bool group_fits(const chunk_job &) noexcept {
    return false;
}
template <bool Interp, int32_t Outputs, int32_t N>
inline void chunk_group(const chunk_job *) noexcept {}

inline void env_row(toolkit::env_cursor &cur, int32_t count, bool interp, const float *table,
                    float *env) noexcept {
    toolkit::env_cursor_read(cur, count, interp, table, env);
}

#include "carvell_render_voices.inc"

} // namespace
} // namespace ksse

namespace {

// Reference: voice v in two passes per chunk, ring reads into y, then one add loop per output.
bool render_voice_reference(const render_context &ctx, int32_t v, t_sample *const *outs,
                            int32_t n) noexcept {
    toolkit::env_cursor cur;
    voice_plan p;
    if (!voice_begin(ctx, v, n, false, cur, p)) return false;
    if (p.m > 0) {
        carvell_voice_pool &pool = *ctx.pool;
        const int32_t length_ring = ctx.ring_length;
        float env[chunk_samples];
        float y[chunk_samples];
        int64_t ip = p.ip;
        int64_t acc = p.acc;
        for (int32_t done = 0; done < p.m; done += chunk_samples) {
            const int32_t count = std::min(chunk_samples, p.m - done);
            toolkit::env_cursor_read(cur, count, ctx.interp, ctx.interp_table, env);
            int64_t a = acc;
            if (ctx.interp)
                ring_read<true>(ctx.ring, length_ring, ip, a, p.step, ctx.interp_table, env, p.amp, count, y);
            else
                ring_read<false>(ctx.ring, length_ring, ip, a, p.step, ctx.interp_table, env, p.amp, count, y);
            const int32_t first = p.offset + done;
            for (int32_t q = 0; q < ctx.num_outputs; ++q) {
                const float gain = pool.voice_gain[q][v];
                t_sample *o = outs[q] + first;
                for (int32_t s = 0; s < count; ++s) o[s] += gain * y[s];
            }
            voice_fold(ip, acc, count, p.step, length_ring);
            pool.voice_env_value[v] = env[count - 1];
        }
    }
    return voice_end(ctx, v, p);
}

using render_fn = void (*)(const render_context &, t_sample *const *, int32_t, int32_t) noexcept;

template <bool Interp, int32_t Outputs>
render_fn pick_level(toolkit::simd_level level) noexcept {
    switch (level) {
    case toolkit::simd_level::avx512: return k512::render_voices<Interp, Outputs>;
    case toolkit::simd_level::avx2: return k256::render_voices<Interp, Outputs>;
    default: return ksse::render_voices<Interp, Outputs>;
    }
}

template <bool Interp>
render_fn pick_outputs(toolkit::simd_level level, int32_t num_outputs) noexcept {
    switch (num_outputs) {
    case 1: return pick_level<Interp, 1>(level);
    case 2: return pick_level<Interp, 2>(level);
    case 4: return pick_level<Interp, 4>(level);
    case 6: return pick_level<Interp, 6>(level);
    case 8: return pick_level<Interp, 8>(level);
    default: return pick_level<Interp, 0>(level);
    }
}

} // namespace

void render(const render_context &ctx, t_sample *const *outs, int32_t n, int32_t limit,
            toolkit::simd_level level) noexcept {
    limit = std::min(limit, carvell_voices);
    if (level == toolkit::simd_level::reference) {
        // Every slot below the limit, as the straightforward definition reads.
        uint64_t *const bits = ctx.busy_bits;
        for (int32_t v = 0; v < limit; ++v) {
            if (!render_voice_reference(ctx, v, outs, n)) bits[v >> 6] &= ~(uint64_t(1) << (v & 63));
        }
        return;
    }
    const render_fn fn = ctx.interp ? pick_outputs<true>(level, ctx.num_outputs)
                                    : pick_outputs<false>(level, ctx.num_outputs);
    fn(ctx, outs, n, limit);
}

} // namespace carvell
