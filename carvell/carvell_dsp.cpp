// carvell_dsp.cpp: the "dsp" handler and the perform routine of carvell~: recording, trigger scan,
// grain start and rendering out of the ring.
//
// Threads: carvell_dsp runs in the host's signal-chain build; carvell_perform runs on the audio
// thread once per vector and neither allocates, locks, posts nor calls gensym. It is the only writer
// of the ring, the recorder's fields and the voice records.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "carvell.h"
#include "toolkit/env_read.h"
#include "toolkit/env_table.h"
#include "toolkit/pan.h"

namespace {

constexpr int32_t chunk = 256;           // samples rendered per pass of a voice (stack arrays)
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

// p reduced into 0 to L - 1.
int64_t wrap(int64_t p, int32_t length) noexcept {
    int64_t q = p % length;
    if (q < 0) q += length;
    return q;
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

// Adds every busy voice below the limit into the (cleared) outputs, and frees the voices that end.
void render(t_carvell *x, t_sample *const *outs, int32_t n, int32_t limit) noexcept {
    carvell_voice_pool &pool = x->pool;
    const int32_t num_outputs = x->g.num_outputs;
    const int32_t length_ring = x->rec.ring_length;
    const float *ring = x->rec.ring;
    const float *table = x->g.interp_table;
    const bool interp = x->g.sinterp_flag.load() != 0;
    const double ring_len_d = double(length_ring);
    // Any step is the same step modulo L ring samples: the index is reduced modulo L anyway.
    const double step_period = ring_len_d * 65536.0;

    for (int32_t v = 0; v < limit; ++v) {
        if (pool.voice_busy[v].load() == 0) continue;
        const int32_t offset = pool.voice_offset[v];
        const int32_t m = std::min(n - offset, pool.voice_remaining[v]);
        if (m > 0) {
            toolkit::env_cursor cur;
            if (!toolkit::env_cursor_init(cur, x->g.env, pool.voice_env_slot[v], pool.voice_env_pos[v],
                                          pool.voice_env_inc[v])) {
                // The grain's envelope is gone (slot dropped, or no frames): the grain ends here.
                pool.voice_busy[v].store(0);
                continue;
            }
            const float t = pool.voice_transp[v];
            const float amp = pool.voice_amp[v];

            // Read position split into a ring index and a 16.16 offset from it.
            const double rp = pool.voice_read_pos[v];
            double pm = rp - ring_len_d * std::floor(rp / ring_len_d);
            if (!(pm >= 0.0 && pm < ring_len_d)) {
                // NB: for huge positions the formula above loses its exactness; fmod does not.
                pm = std::fmod(rp, ring_len_d);
                if (pm < 0.0) pm += ring_len_d;
                if (!(pm >= 0.0 && pm < ring_len_d)) pm = 0.0;
            }
            int64_t ip = int64_t(pm);
            int64_t acc = int64_t((pm - double(ip)) * 65536.0);
            const int64_t step = int64_t(std::fmod(double(t) * 65536.0, step_period));

            pool.voice_env_pos[v] = pool.voice_env_pos[v] + pool.voice_env_inc[v] * float(m);

            float env[chunk];
            float y[chunk];
            for (int32_t done = 0; done < m; done += chunk) {
                const int32_t count = std::min(chunk, m - done);
                toolkit::env_cursor_read(cur, count, interp, table, env);
                if (interp)
                    ring_read<true>(ring, length_ring, ip, acc, step, table, env, amp, count, y);
                else
                    ring_read<false>(ring, length_ring, ip, acc, step, table, env, amp, count, y);
                // Fold the whole samples into the index: the fraction bits, and so the weights and
                // the indices modulo L, stay those of one unbroken accumulator.
                ip = wrap(ip + (acc >> 16), length_ring);
                acc &= 0xffff;
                pool.voice_env_value[v] = env[count - 1];
                const int32_t first = offset + done;
                for (int32_t q = 0; q < num_outputs; ++q) {
                    const float gain = pool.voice_gain[q][v];
                    t_sample *out = outs[q] + first;
                    for (int32_t s = 0; s < count; ++s) out[s] += gain * y[s];
                }
            }
            pool.voice_read_pos[v] = rp + double(m) * double(t);
        }
        const int32_t left = pool.voice_remaining[v] - std::max(m, 0);
        pool.voice_remaining[v] = left;
        if (left <= 0 || m <= 0) pool.voice_busy[v].store(0);
        pool.voice_offset[v] = 0;
    }
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
    for (int32_t i = 0; i < n; ++i) {
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
        }
    }
    const float last_trigger = prev;

    outputs_clear(outs, num_outputs, n);
    render(x, outs, n, std::min(limit, carvell_voices));
    x->g.prev_trigger = last_trigger;
    return next;
}
