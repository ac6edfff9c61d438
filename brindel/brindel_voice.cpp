// brindel_voice.cpp: the voice pool of brindel~: the free-slot search, the setup of a grain from its
// parameters and the start of a grain in a claimed slot.
//
// Threads: everything here runs on the audio thread, inside the perform routine (grains of the
// trigger signal, of bang and of queued "grain" requests). Nothing allocates, locks or posts.
#include <cmath>

#include "brindel.h"
#include "toolkit/pan.h"

namespace {

constexpr double two_pi = 6.283185307179586;

bool finite(float v) noexcept { return std::isfinite(v); }

} // namespace

int32_t voice_claim(const t_brindel *x, int32_t limit) noexcept {
    if (limit > brindel_voices) limit = brindel_voices;
    for (int32_t s = limit - 1; s >= 1; --s)
        if (x->voice_busy[s].load() == 0) return s;
    return 0;
}

bool grain_osc_setup(grain_setup &gs, double sample_rate) noexcept {
    if (!finite(gs.freq) || !finite(gs.phase) || !(sample_rate > 0.0)) return false;
    // w and theta are rounded to 32-bit floats before the trigonometry.
    const float w = float(double(gs.freq) * two_pi / sample_rate);
    const float theta = float(two_pi * double(gs.phase));
    // NB: a finite frequency near the float range gives an infinite step, whose cosine is NaN.
    if (!finite(w) || !finite(theta)) return false;
    gs.osc_coef = float(2.0 * std::cos(double(w)));
    gs.osc_y1 = float(std::sin(double(theta) - double(w)));
    gs.osc_y2 = float(std::sin(double(theta) - 2.0 * double(w)));
    return true;
}

void grain_env_setup(grain_setup &gs, int32_t frames, int32_t dir) noexcept {
    if (frames < 1) {
        // No envelope to sweep (the slot was never bound, or its buffer~ is empty): the grain holds
        // its voice through its delay and ends without a sample.
        gs.length = 0.0f;
        gs.env_inc = 0.0f;
        gs.env_pos = 0.0f;
        gs.remaining = 0;
        return;
    }
    const float last = float(frames - 1); // F - 1 as a 32-bit float before the division
    gs.remaining = toolkit::trunc_i32(gs.length);
    // With nothing to render the increment is never used; keep it finite (length 0 would divide by 0).
    const float inc = gs.remaining > 0 ? float(double(last) / double(gs.length)) : 0.0f;
    if (dir < 0) {
        gs.env_inc = -inc;
        gs.env_pos = last;
    } else {
        gs.env_inc = inc;
        gs.env_pos = 0.0f;
    }
}

bool grain_request_setup(const t_brindel *x, const grain_request &r, grain_setup &gs) noexcept {
    if (!finite(r.delay_ms) || !finite(r.freq) || !finite(r.phase) || !finite(r.amp) ||
        !finite(r.length_ms) || !finite(r.pan) || !finite(r.dist))
        return false;
    const double m = toolkit::ms_to_samples(x->g.sample_rate);

    gs.freq = r.freq;
    const double p = std::fmod(double(r.phase), 1.0); // keeps the sign of the phase
    gs.phase = float(p < 0.0 ? p + 1.0 : p);
    if (!grain_osc_setup(gs, x->g.sample_rate)) return false;
    gs.amp = r.amp;

    gs.env_slot = toolkit::env_pick(x->g.env, r.env_slot);
    const double len = double(r.length_ms) * m;
    gs.length = float(r.length_ms < 0.0f ? -len : len);
    if (!finite(gs.length)) return false;
    grain_env_setup(gs, x->g.env.frames[gs.env_slot], r.length_ms < 0.0f ? -1 : 1);

    gs.pan = r.pan;
    gs.dist = r.dist;
    const int32_t d = toolkit::trunc_i32(double(r.delay_ms) * m);
    gs.delay = d > 0 ? d : 0; // a negative delay starts the grain at once
    return true;
}

void pan_set_voice(t_brindel *x, int32_t v) noexcept {
    float gains[brindel_max_outputs];
    const int32_t n = toolkit::pan_gains(x->g.num_outputs, x->voice_pan[v], x->voice_dist[v],
                                         false, gains);
    for (int32_t o = 0; o < n && o < brindel_max_outputs; ++o) x->voice_gain[o][v] = gains[o];
}

void grain_start(t_brindel *x, int32_t s, const grain_setup &gs) noexcept {
    x->voice_busy[s].store(1);
    x->busy_hint[s >> 6] |= uint64_t(1) << (s & 63);
    x->voice_freq[s] = gs.freq;
    x->voice_phase[s] = gs.phase;
    x->voice_osc_coef[s] = gs.osc_coef;
    x->voice_osc_y1[s] = gs.osc_y1;
    x->voice_osc_y2[s] = gs.osc_y2;
    x->voice_amp[s] = gs.amp;
    x->voice_env_slot[s] = gs.env_slot;
    x->voice_length[s] = gs.length;
    x->voice_env_inc[s] = gs.env_inc;
    x->voice_env_pos[s] = gs.env_pos;
    x->voice_pan[s] = gs.pan;
    x->voice_dist[s] = gs.dist;
    pan_set_voice(x, s);
    x->voice_remaining[s] = gs.remaining;
    x->voice_delay[s] = gs.delay;
}

void grain_queue_drain(t_brindel *x, uint32_t clear_seen) noexcept {
    while (const grain_request *head = x->grain_queue.peek()) {
        // A request made after a "clear" that this vector has not applied yet waits: the next
        // vector applies the clear first, so "clear" then "grain" keeps the grain.
        if (int32_t(head->clear_seq - clear_seen) > 0) return;
        grain_request r;
        x->grain_queue.pop(r);
        if (r.clear_seq != clear_seen) continue; // made before the last "clear": dropped

        grain_setup gs;
        if (!grain_request_setup(x, r, gs)) continue;
        const int32_t s = voice_claim(x, r.voice_limit);
        if (s == 0) continue; // every voice busy: the grain is lost
        grain_start(x, s, gs);
    }
}
