// carvell_dsp.cpp: the "dsp" handler and the perform routine of carvell~: recording, trigger scan
// and grain start; the rendering out of the ring is carvell_render.cpp's.
//
// Threads: carvell_dsp runs in the host's signal-chain build; carvell_perform runs on the audio
// thread once per vector and neither allocates, locks, posts nor calls gensym. It is the only writer
// of the ring, the recorder's fields and the voice records.
#include <algorithm>
#include <cmath>
#include <cstring>

#include <emmintrin.h>

#include "carvell.h"
#include "carvell_render.h"
#include "toolkit/env_table.h"
#include "toolkit/pan.h"
#include "toolkit/simd.h"

namespace {

constexpr int32_t max_outputs = 8;

// Where a grain starts, computed from the signals and floats at its trigger sample.
struct grain_params {
    float delay_ms, transp, amp, length_ms, pan, dist;
};

bool all_finite(const grain_params &p) noexcept {
    return std::isfinite(p.delay_ms) && std::isfinite(p.transp) && std::isfinite(p.amp) &&
           std::isfinite(p.length_ms) && std::isfinite(p.pan) && std::isfinite(p.dist);
}

void outputs_clear(t_sample *const *outs, int32_t num_outputs, int32_t n) noexcept {
    for (int32_t q = 0; q < num_outputs; ++q) std::memset(outs[q], 0, size_t(n) * sizeof(t_sample));
}

// True when some sample is above zero (NaN is not). Four at a time: an idle box's trigger vector
// is examined in a few instructions.
bool any_positive(const t_sample *v, int32_t n) noexcept {
    const __m128 zero = _mm_setzero_ps();
    int32_t i = 0;
    int mask = 0;
    for (; i + 4 <= n; i += 4) mask |= _mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(v + i), zero));
    for (; i < n; ++i) mask |= v[i] > 0.0f ? 1 : 0;
    return mask != 0;
}

// Fills voice v for a grain triggered at sample i of an n-sample vector. False when a parameter is
// not finite: the voice is left free.
bool grain_start(t_carvell *x, int32_t v, int32_t i, int32_t n, const grain_params &p, bool length_signal,
                 int32_t slot, double ms_to_samples) noexcept {
    if (!all_finite(p)) return false;
    carvell_voice_pool &pool = x->pool;
    const carvell::carvell_ring &rec = x->rec;

    // Delay and length in samples, truncated toward zero (saturating: huge finite values stay bounded).
    int32_t d = toolkit::trunc_i32(ms_to_samples * double(p.delay_ms));
    if (d < 0) d = 0;
    const float t = p.transp;
    const int32_t g = toolkit::trunc_i32(std::fabs(ms_to_samples * double(p.length_ms)));
    const bool backwards = length_signal ? p.length_ms < 0.0f : x->g.length_dir.load() == -1;

    const carvell::grain_limits lim =
        carvell::grain_bounds(rec, x->constraint_flag.load(), d, g, t);
    const float length = float(std::min(g, lim.gmax));

    // Envelope sweep: F - 1 rounded to a float, divided by the length. Without a whole sample the
    // grain never reads its envelope, so nothing is divided by a zero length.
    const int32_t frames = x->g.env.frames[slot];
    float env_inc = 0.0f;
    float env_pos = 0.0f;
    if (length >= 1.0f) {
        const float span = float(int64_t(frames) - 1);
        env_inc = (backwards ? -span : span) / length;
        env_pos = backwards ? span : 0.0f;
    }

    // The delay bounds; the lower bound is added, not substituted (64 bits: d + dmin may pass 2^31).
    int64_t delay = d;
    if (delay < lim.dmin)
        delay += lim.dmin;
    else if (delay > lim.dmax)
        delay = lim.dmax;

    // Start position behind the present, reduced into the ring (exact: integers below 2^53).
    const int32_t length_ring = rec.ring_length;
    const int64_t present = rec.freeze_flag != 0 ? int64_t(rec.write_index)
                                                 : int64_t(rec.write_index) - (n - i);
    const double p0 = double(present - delay);
    const double start = p0 - double(length_ring) * std::floor(p0 / double(length_ring));

    pool.voice_transp[v] = t;
    pool.voice_amp[v] = p.amp;
    pool.voice_env_slot[v] = slot;
    pool.voice_length[v] = length;
    pool.voice_env_inc[v] = env_inc;
    pool.voice_env_pos[v] = env_pos;
    pool.voice_read_pos[v] = start;
    pool.voice_remaining[v] = toolkit::trunc_i32(length);
    pool.voice_offset[v] = i;
    pool.voice_pan[v] = p.pan;
    pool.voice_dist[v] = p.dist;
    float gains[max_outputs] = {};
    toolkit::pan_gains(x->g.num_outputs, p.pan, p.dist, true, gains);
    for (int32_t q = 0; q < x->g.num_outputs; ++q) pool.voice_gain[q][v] = gains[q];
    return true;
}

} // namespace

void carvell_dsp(t_carvell *x, t_signal **sp, short *count) noexcept {
    x->g.sample_rate = sys_getsr();
    for (int32_t k = 0; k < 6; ++k) x->g.sig_connected[k] = count[k + 2] > 0 ? 1 : 0;
    const int32_t num_outputs = x->g.num_outputs;
    t_int *args = x->dsp_args;
    args[0] = reinterpret_cast<t_int>(x);
    args[1] = t_int(sp[0]->s_n);
    for (int32_t k = 0; k < carvell_inlets; ++k) args[2 + k] = reinterpret_cast<t_int>(sp[k]->s_vec);
    for (int32_t q = 0; q < num_outputs; ++q)
        args[carvell_dsp_extra + q] = reinterpret_cast<t_int>(sp[carvell_inlets + q]->s_vec);
    dsp_addv(carvell_perform, num_outputs + carvell_dsp_extra, reinterpret_cast<void **>(args));
}

t_int *carvell_perform(t_int *w) noexcept {
    auto *x = reinterpret_cast<t_carvell *>(w[1]);
    const int32_t n = int32_t(w[2]);
    const int32_t num_outputs = x->g.num_outputs;
    t_int *const next = w + num_outputs + carvell_dsp_extra + 1;
    const t_sample *const *in = reinterpret_cast<const t_sample *const *>(w + 3);
    t_sample *const *outs = reinterpret_cast<t_sample *const *>(w + 3 + carvell_inlets);
    if (n <= 0) return next;

    toolkit::denormal_guard guard;
    toolkit::common_take_clear(&x->g);

    // Settings read once per vector.
    const int32_t limit = x->g.voice_limit.load();
    const float delay_float = x->inlet_delay.load();
    const float length_float = x->g.inlet_length.load();

    toolkit::common_voices_report(&x->g);

    // Recording: the freeze messages since the last vector take effect first.
    carvell::freeze_apply(x->rec, x->freeze_applied, x->freeze_request.load());
    carvell::ring_write(x->rec, in[0], n);

    if (toolkit::env_refresh(&x->g) < 1) {
        outputs_clear(outs, num_outputs, n);
        return next;
    }
    const int32_t slot = toolkit::env_pick(x->g.env, x->g.env.active.load());
    const bool bang = x->g.bang_pending.exchange(0) != 0;

    // Trigger scan. Every inlet read below happens before the first output write: the host's
    // vectors may alias.
    const t_sample *trig = in[1];
    const int16_t *conn = x->g.sig_connected;
    const double ms_to_samples = toolkit::ms_to_samples(x->g.sample_rate);
    float prev = bang ? -1.0f : x->g.prev_trigger;
    int32_t cursor = limit;
    int32_t scan_from = 0;
    if (!bang && !any_positive(trig, n)) {
        // No sample above zero, so no rising crossing: the scan would only carry prev along.
        prev = trig[n - 1];
        scan_from = n;
    }
    for (int32_t i = scan_from; i < n; ++i) {
        const float cur = bang && i == 0 ? 1.0f : trig[i];
        const bool rising = prev <= 0.0f && cur > 0.0f;
        prev = cur;
        if (!rising) continue;
        do {
            --cursor;
        } while (cursor > 0 && x->pool.voice_busy[cursor].load() != 0);
        if (cursor <= 0) break; // no free voice: the rest of the vector's triggers are lost
        x->pool.voice_busy[cursor].store(1);
        grain_params p;
        p.delay_ms = conn[param_delay] ? in[2][i] : delay_float;
        p.transp = conn[param_transp] ? in[3][i] : x->inlet_transp.load();
        p.amp = conn[param_amp] ? in[4][i] : x->g.inlet_amp.load();
        p.length_ms = conn[param_length] ? in[5][i] : length_float;
        p.pan = conn[param_pan] ? in[6][i] : x->g.inlet_pan.load();
        p.dist = conn[param_dist] ? in[7][i] : x->g.inlet_dist.load();
        if (!grain_start(x, cursor, i, n, p, conn[param_length] != 0, slot, ms_to_samples)) {
            // Not a grain: the trigger is spent, the voice stays free for the next one.
            x->pool.voice_busy[cursor].store(0);
            ++cursor;
        } else {
            carvell::busy_mark(x->busy_bits, cursor);
        }
    }
    const float last_trigger = prev;

    outputs_clear(outs, num_outputs, n);
    const carvell::render_context ctx{&x->pool, x->busy_bits, num_outputs, x->rec.ring,
                                      x->rec.ring_length, &x->g.env, x->g.interp_table,
                                      x->g.sinterp_flag.load() != 0};
    carvell::render(ctx, outs, n, limit, toolkit::simd_active());
    x->g.prev_trigger = last_trigger;
    return next;
}
