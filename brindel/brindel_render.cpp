// brindel_render.cpp: the rendering of brindel~'s voices over one vector (audio thread).
//
// Two paths give the same bits:
// - the reference (simd_level::reference) renders slot after slot, sample after sample, each voice
//   added into the outputs before the next one;
// - the fast path visits only the slots of busy_hint, does the same bookkeeping per voice, and
//   hands the sounding voices in batches (ascending slots) to a vector kernel: the oscillators of a
//   batch run side by side in vector lanes, then each voice, in slot order, is added into the
//   outputs vectorised over its samples. Each sample goes through the same IEEE operations, in the
//   same order, as in the reference.
// Nothing here allocates, locks or posts.
#include <algorithm>

#include "brindel.h"
#include "brindel_render_batch.h"
#include "toolkit/env_read.h"

namespace {

constexpr int32_t env_chunk = 256; // envelope values read per call of env_cursor_read

// The reference: renders slot k into the outputs for one vector (the outputs hold the sum of the
// voices so far).
template <int N>
void voice_render(t_brindel *x, int32_t k, t_sample *const *out, int n, bool interp) noexcept {
    if (x->voice_busy[k].load() == 0) return;
    const int32_t d = x->voice_delay[k];
    if (d >= n) {
        x->voice_delay[k] = d - n;
        return;
    }
    const int32_t c = std::min<int32_t>(n - d, x->voice_remaining[k]);
    if (c > 0) {
        const float pos = x->voice_env_pos[k];
        const float inc = x->voice_env_inc[k];
        toolkit::env_cursor cur;
        if (!toolkit::env_cursor_init(cur, x->g.env, x->voice_env_slot[k], pos, inc)) {
            // the grain's buffer~ is gone (or empty): the grain ends here
            x->voice_busy[k].store(0);
            x->voice_delay[k] = 0;
            return;
        }
        x->voice_env_pos[k] = float(double(pos) + double(c) * double(inc));

        double y1 = x->voice_osc_y1[k];
        double y2 = x->voice_osc_y2[k];
        const double coef = x->voice_osc_coef[k];
        const double amp = x->voice_amp[k];
        float gain[N];
        t_sample *dst[N];
        for (int o = 0; o < N; ++o) {
            gain[o] = N > 1 ? x->voice_gain[o][k] : 1.0f;
            dst[o] = out[o] + d;
        }
        float env[env_chunk];
        float e_last = 0.0f;
        for (int32_t t0 = 0; t0 < c; t0 += env_chunk) {
            const int32_t m = std::min(env_chunk, c - t0);
            toolkit::env_cursor_read(cur, m, interp, x->g.interp_table, env);
            for (int32_t i = 0; i < m; ++i) {
                const float y = float(coef * y1 - y2); // the recurrence, rounded to 32 bits
                y2 = y1;
                y1 = y;
                const float v = float(double(env[i]) * double(y) * amp);
                if constexpr (N == 1) {
                    dst[0][t0 + i] += v;
                } else {
                    for (int o = 0; o < N; ++o) dst[o][t0 + i] += v * gain[o];
                }
            }
            e_last = env[m - 1];
        }
        x->voice_env_value[k] = e_last;
        x->voice_osc_y1[k] = float(y1);
        x->voice_osc_y2[k] = float(y2);
    }
    const int32_t left = x->voice_remaining[k] - c;
    x->voice_remaining[k] = left;
    if (left <= 0) x->voice_busy[k].store(0);
    x->voice_delay[k] = 0;
}

template <int N>
void render_reference(t_brindel *x, t_sample *const *out, int n, int32_t limit, bool interp) noexcept {
    for (int32_t k = 0; k < limit; ++k) voice_render<N>(x, k, out, n, interp);
}

using brindel_render::batch;
using brindel_render::lanes_max;
using brindel_render::scratch;

template <int N>
void batch_render(batch &b, scratch &s, t_sample *const *out, int n, bool interp,
                  const float *interp_table, toolkit::simd_level level) noexcept {
    switch (level) {
    case toolkit::simd_level::avx512:
        brindel_render::avx512::render_batch<N>(b, s, out, n, interp, interp_table);
        break;
    case toolkit::simd_level::avx2:
        brindel_render::avx2::render_batch<N>(b, s, out, n, interp, interp_table);
        break;
    default: brindel_render::sse2::render_batch<N>(b, s, out, n, interp, interp_table); break;
    }
}

// Renders the batch and stores the voices' new oscillator state and last envelope value.
template <int N>
void batch_flush(t_brindel *x, batch &b, scratch &s, t_sample *const *out, int n, bool interp,
                 toolkit::simd_level level) noexcept {
    if (b.count == 0) return;
    batch_render<N>(b, s, out, n, interp, x->g.interp_table, level);
    for (int j = 0; j < b.count; ++j) {
        const int32_t k = b.slot[j];
        x->voice_osc_y1[k] = float(b.y1[j]);
        x->voice_osc_y2[k] = float(b.y2[j]);
        x->voice_env_value[k] = b.env_last[j];
    }
    b.count = 0;
}

template <int N>
void render_fast(t_brindel *x, t_sample *const *out, int n, int32_t limit, bool interp,
                 toolkit::simd_level level) noexcept {
    // lanes per batch: 16 vectors in flight of 8 doubles, 4 of 4, 4 of 2
    const int width = level == toolkit::simd_level::avx512 ? 128
                      : level == toolkit::simd_level::avx2 ? 16
                                                           : 8;
    batch b;
    scratch s;
    b.count = 0;
    const int32_t words = (limit + 63) / 64;
    for (int32_t w = 0; w < words; ++w) {
        uint64_t bits = x->busy_hint[w];
        const int32_t top = limit - w * 64; // slots below limit in this word
        if (top < 64) bits &= (uint64_t(1) << top) - 1;
        while (bits != 0) {
            const int32_t k = w * 64 + __builtin_ctzll(bits);
            bits &= bits - 1;
            // The bookkeeping of voice_render, in the same order.
            if (x->voice_busy[k].load() == 0) {
                x->busy_hint[w] &= ~(uint64_t(1) << (k & 63));
                continue;
            }
            const int32_t d = x->voice_delay[k];
            if (d >= n) {
                x->voice_delay[k] = d - n;
                continue;
            }
            const int32_t c = std::min<int32_t>(n - d, x->voice_remaining[k]);
            if (c > 0) {
                const float pos = x->voice_env_pos[k];
                const float inc = x->voice_env_inc[k];
                const int j = b.count;
                if (!toolkit::env_cursor_start(b.cursor[j], x->g.env, x->voice_env_slot[k], pos, inc)) {
                    x->voice_busy[k].store(0);
                    x->busy_hint[w] &= ~(uint64_t(1) << (k & 63));
                    x->voice_delay[k] = 0;
                    continue;
                }
                x->voice_env_pos[k] = float(double(pos) + double(c) * double(inc));
                b.slot[j] = k;
                b.first[j] = d;
                b.length[j] = c;
                b.coef[j] = x->voice_osc_coef[k];
                b.y1[j] = x->voice_osc_y1[k];
                b.y2[j] = x->voice_osc_y2[k];
                b.amp[j] = x->voice_amp[k];
                for (int o = 0; o < N; ++o) b.gain[o][j] = N > 1 ? x->voice_gain[o][k] : 1.0f;
                b.count = j + 1;
            }
            const int32_t left = x->voice_remaining[k] - c;
            x->voice_remaining[k] = left;
            if (left <= 0) {
                x->voice_busy[k].store(0);
                x->busy_hint[w] &= ~(uint64_t(1) << (k & 63));
            }
            x->voice_delay[k] = 0;
            if (b.count == width) {
                // padding lanes: none, the batch is full
                batch_flush<N>(x, b, s, out, n, interp, level);
            }
        }
    }
    if (b.count > 0) {
        // The lanes after the last voice, up to the end of its vector, run a silent oscillator.
        const int end = std::min(lanes_max, (b.count + 7) & ~7); // 8: the widest vector
        for (int j = b.count; j < end; ++j) b.coef[j] = b.y1[j] = b.y2[j] = 0.0;
        batch_flush<N>(x, b, s, out, n, interp, level);
    }
}

template <int N>
void render_n(t_brindel *x, t_sample *const *out, int n, int32_t limit, bool interp,
              toolkit::simd_level level) noexcept {
    if (level == toolkit::simd_level::reference)
        render_reference<N>(x, out, n, limit, interp);
    else
        render_fast<N>(x, out, n, limit, interp, level);
}

} // namespace

void render_voices(t_brindel *x, int32_t num_outputs, t_sample *const *out, int n, int32_t limit,
                   bool interp, toolkit::simd_level level) noexcept {
    if (limit > brindel_voices) limit = brindel_voices;
    switch (num_outputs) {
    case 1: render_n<1>(x, out, n, limit, interp, level); break;
    case 2: render_n<2>(x, out, n, limit, interp, level); break;
    case 4: render_n<4>(x, out, n, limit, interp, level); break;
    case 6: render_n<6>(x, out, n, limit, interp, level); break;
    case 8: render_n<8>(x, out, n, limit, interp, level); break;
    default: break;
    }
}
