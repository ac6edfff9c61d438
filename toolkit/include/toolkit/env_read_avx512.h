// env_read_avx512.h: the usual envelope read of one vector, inline for renderers' AVX-512 code.
//
// env_cursor_read costs a call, a level check and the set-up of its constants per voice and vector;
// for a renderer that reads many short rows that overhead is a good part of the read. Code compiled
// for AVX-512 (a function with that target, or a region under `#pragma GCC target`) calls
// env_read_usual here instead, which the compiler inlines; when it returns false the read is not
// the usual one and the caller falls back to env_cursor_read. Only call it where simd_supported()
// is avx512.
//
// The usual read: at most 4096 samples, every index (and its partner) inside the frames, a step of
// at most env_fit_step (about 1.93 frames per sample). Each block of 16 samples loads the window
// from its lowest index (its first sample forwards, its last backwards) and the window one frame
// on, masked near the end so nothing past the last frame is touched, and picks every sample's
// frame and partner with a permutation: 16-frame windows and one-source permutes for steps up to
// one frame per sample, 32-frame windows and two-source permutes above. The lanes step in 32 bits
// from the offset relative to the window's first frame: there the index (under 32) and the weight
// bits (6 to 15, the offset's own) are exact. The weight k / 1024 is (bits & 0xffc0) x 2^-16 and
// 1 - k / 1024 its complement: exactly the interp_table entries, so every value is the plain
// loop's w1 x Env[i + 1] + w0 x Env[i]. env_usual_begin / env_usual_block / env_usual_end give
// the same values block by block, for a caller that wants them in registers.
#pragma once

#include <cstdint>

#include "toolkit/env_read.h"

#if defined(__x86_64__) && defined(__GNUC__)
// GCC 12's AVX-512 headers start some intrinsics from an undefined register, which its own
// -Wmaybe-uninitialized then reports wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

namespace toolkit {

// The largest |step| (16.16) for which 16 reads and their partners always fit 32 frames: the reads
// span at most (65535 + 15 |step|) / 65536 frames, and that must stay at or below 30.
constexpr int64_t env_fit_step = (30 * 65536 - 65535) / 15;

// The largest |step| for which the reads of 16 samples lie within 16 frames: they span at most
// (65535 + 15 |step|) / 65536 frames, which stays below 16 up to one frame per sample. Their
// partners come from the window one frame on, read with the same indices.
constexpr int64_t env_narrow_step = 65536;

// The lanes of a 16-frame load that lie among the k frames still available.
inline __mmask16 env_keep(int64_t k) noexcept {
    return k >= 16 ? __mmask16(0xffff) : k <= 0 ? __mmask16(0) : __mmask16((1u << k) - 1);
}

#define TOOLKIT_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl"), always_inline))

// The usual read of one vector, block by block: env_usual_begin checks that the read of n samples
// from the cursor is the usual one and prepares it; env_usual_block gives the values of samples t
// to t + m - 1 (m from 1 to 16; the lanes from m on are unspecified), in any order; env_usual_end
// advances the cursor past the n samples. A renderer can so take each block where it needs it
// instead of a row through memory. Always inlined: they are short, and a call would bring back
// the overhead they are here to save.
struct env_usual {
    const float *env;
    int64_t base, offset, step, last;
    __m512i tstep; // lane x step, low 32 bits
    bool narrow;   // reads of 16 samples within 16 frames
    bool interp;
};

TOOLKIT_AVX512 inline bool env_usual_begin(env_usual &u, const env_cursor &cur, int32_t n,
                                           bool interp) noexcept {
    const int64_t base = cur.base;
    const int64_t step = cur.step;
    const int64_t offset = cur.offset;
    if (n < 1 || n > 4096 || step < -env_fit_step || step > env_fit_step) return false;
    const int64_t i_first = base + (offset >> 16);
    const int64_t i_end = base + ((offset + int64_t(n - 1) * step) >> 16);
    const int64_t lo = i_first < i_end ? i_first : i_end;
    const int64_t hi = i_first < i_end ? i_end : i_first;
    const int64_t last = cur.last;
    if (lo < 0 || (interp ? hi >= last : hi > last)) return false;
    u.env = cur.samples;
    u.base = base;
    u.offset = offset;
    u.step = step;
    u.last = last;
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    u.tstep = _mm512_mullo_epi32(lane, _mm512_set1_epi32(int32_t(uint32_t(uint64_t(step)))));
    u.narrow = step >= -env_narrow_step && step <= env_narrow_step;
    u.interp = interp;
    return true;
}

TOOLKIT_AVX512 inline __m512 env_usual_block(const env_usual &u, int32_t t, int32_t m) noexcept {
    const int64_t step = u.step;
    const int64_t offset = u.offset + int64_t(t) * step;
    const int64_t last = u.last;
    const int64_t start = (offset + (step < 0 ? int64_t(m - 1) * step : 0)) >> 16;
    const int64_t first = u.base + start;
    const float *wp = u.env + first;
    const __m512i pos = _mm512_add_epi32(
        _mm512_set1_epi32(int32_t(uint32_t(uint64_t(offset - start * 65536)))), u.tstep);
    const __m512i rel = _mm512_srai_epi32(pos, 16);
    // The window from the block's first frame, and with interpolation the one a frame on. Near
    // the end, frames past the last are not loaded (zeros that no read picks). Steps of at most
    // env_narrow_step keep a block's reads within 16 frames: one register per window and a
    // one-source permutation.
    __m512 r, e1 = _mm512_setzero_ps();
    if (u.narrow) {
        if (first + 16 <= last) {
            r = _mm512_permutexvar_ps(rel, _mm512_loadu_ps(wp));
            if (u.interp) e1 = _mm512_permutexvar_ps(rel, _mm512_loadu_ps(wp + 1));
        } else {
            const int64_t avail = last + 1 - first; // 1 to 16
            r = _mm512_permutexvar_ps(rel, _mm512_maskz_loadu_ps(env_keep(avail), wp));
            if (u.interp)
                e1 = _mm512_permutexvar_ps(rel, _mm512_maskz_loadu_ps(env_keep(avail - 1), wp + 1));
        }
    } else if (first + 32 <= last) {
        r = _mm512_permutex2var_ps(_mm512_loadu_ps(wp), rel, _mm512_loadu_ps(wp + 16));
        if (u.interp)
            e1 = _mm512_permutex2var_ps(_mm512_loadu_ps(wp + 1), rel, _mm512_loadu_ps(wp + 17));
    } else {
        const int64_t avail = last + 1 - first; // 1 to 32
        r = _mm512_permutex2var_ps(_mm512_maskz_loadu_ps(env_keep(avail), wp), rel,
                                   _mm512_maskz_loadu_ps(env_keep(avail - 16), wp + 16));
        if (u.interp)
            e1 = _mm512_permutex2var_ps(_mm512_maskz_loadu_ps(env_keep(avail - 1), wp + 1), rel,
                                        _mm512_maskz_loadu_ps(env_keep(avail - 17), wp + 17));
    }
    if (u.interp) {
        // The weight is the offset's bits 6 to 15, k * 64, times 2^-16: k / 1024 exactly.
        const __m512 w1 = _mm512_mul_ps(
            _mm512_cvtepi32_ps(_mm512_and_si512(pos, _mm512_set1_epi32(0xffc0))),
            _mm512_set1_ps(1.0f / 65536.0f));
        const __m512 w0 = _mm512_sub_ps(_mm512_set1_ps(1.0f), w1);
        r = _mm512_add_ps(_mm512_mul_ps(w1, e1), _mm512_mul_ps(w0, r));
    }
    return r;
}

TOOLKIT_AVX512 inline void env_usual_end(const env_usual &u, env_cursor &cur, int32_t n) noexcept {
    cur.offset = u.offset + int64_t(n) * u.step;
}

// Reads n values and advances the cursor, as env_cursor_read; false (nothing read, the cursor
// unchanged) when the read is not the usual one.
TOOLKIT_AVX512 inline bool env_read_usual(env_cursor &cur, int32_t n, bool interp,
                                          float *out) noexcept {
    env_usual u;
    if (!env_usual_begin(u, cur, n, interp)) return false;
    for (int32_t t = 0; t < n; t += 16) {
        const int32_t m = n - t < 16 ? n - t : 16;
        const __m512 r = env_usual_block(u, t, m);
        if (m == 16)
            _mm512_storeu_ps(out + t, r);
        else
            _mm512_mask_storeu_ps(out + t, __mmask16((1u << m) - 1), r);
    }
    env_usual_end(u, cur, n);
    return true;
}

#undef TOOLKIT_AVX512

} // namespace toolkit

#pragma GCC diagnostic pop
#endif
