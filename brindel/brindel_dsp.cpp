// brindel_dsp.cpp: the "dsp" handler of brindel~ and its perform routines for 1, 2, 4, 6 and 8
// outputs: per vector the queued "grain" requests, the voices report, the envelope refresh, the
// trigger scan and the rendering of every busy voice (brindel_render.cpp).
//
// Threads: brindel_dsp runs on the message thread while the host builds its chain; the perform
// routines run on the audio thread and never allocate, lock or post.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "brindel.h"
#include "toolkit/env_table.h"

namespace {

// The inlet vectors of one call, read-only (they may share memory with the outputs).
struct perform_inputs {
    const t_sample *trigger, *freq, *phase, *amp, *length, *pan, *dist;
};

// Values formed once per vector for the grains started in it.
struct vector_context {
    double ms;          // samples per millisecond
    float length_f;     // samples: the length float inlet this vector
    int32_t env_slot;   // envelope slot for triggered grains
    int32_t frames;     // its frame count
    bool c[6];          // signal connected to inlets 2 to 7
};

bool finite(float v) noexcept { return std::isfinite(v); }

// The parameters of a grain at trigger sample j, from the signals where connected, else the floats.
// false: a parameter is not finite, and the trigger starts nothing.
template <int N>
bool trigger_setup(const t_brindel *x, const perform_inputs &in, const vector_context &vc, int j,
                   grain_setup &gs) noexcept {
    gs.freq = vc.c[0] ? in.freq[j] : x->inlet_freq.load();
    if (vc.c[1]) {
        const float raw = in.phase[j];
        if (!finite(raw)) return false;
        float p = float(std::fmod(double(raw), 1.0)); // keeps the sign of the signal
        if (p < 0.0f) p = p + 1.0f;
        gs.phase = p;
    } else {
        gs.phase = x->inlet_phase.load();
    }
    if (!grain_osc_setup(gs, x->g.sample_rate)) return false;
    gs.amp = vc.c[2] ? in.amp[j] : x->g.inlet_amp.load(); // a negative signal inverts the grain
    if (!finite(gs.amp)) return false;

    int32_t dir;
    if (vc.c[3]) {
        const float l = in.length[j];
        if (!finite(l)) return false;
        dir = l < 0.0f ? -1 : 1;
        gs.length = float(l < 0.0f ? -double(l) * vc.ms : double(l) * vc.ms);
    } else {
        dir = x->g.length_dir.load() < 0 ? -1 : 1;
        gs.length = vc.length_f;
    }
    if (!finite(gs.length)) return false;
    gs.env_slot = vc.env_slot;
    grain_env_setup(gs, vc.frames, dir);

    if constexpr (N > 1) {
        gs.pan = vc.c[4] ? in.pan[j] : x->g.inlet_pan.load();
        gs.dist = vc.c[5] ? in.dist[j] : x->g.inlet_dist.load();
        if (!finite(gs.pan) || !finite(gs.dist)) return false;
    } else {
        gs.pan = 0.0f; // one output: pan and dist have no effect and are not read
        gs.dist = 0.0f;
    }
    gs.delay = j; // the first sample is output sample j of this vector
    return true;
}

// The first j in [j, n) with in[j - 1] <= 0 and in[j] > 0 (j >= 1), or n. NaN is neither: both
// comparisons are false for it, as in the scalar test. Four samples at a time where SSE2 is there
// (the x86-64 baseline), so a trigger without crossings costs little.
int next_crossing(const float *in, int j, int n) noexcept {
#if defined(__SSE2__)
    const __m128 zero = _mm_setzero_ps();
    for (; j + 4 <= n; j += 4) {
        const __m128 before = _mm_loadu_ps(in + j - 1);
        const __m128 cur = _mm_loadu_ps(in + j);
        const int m =
            _mm_movemask_ps(_mm_and_ps(_mm_cmple_ps(before, zero), _mm_cmpgt_ps(cur, zero)));
        if (m != 0) return j + __builtin_ctz(unsigned(m));
    }
#endif
    for (; j < n; ++j)
        if (in[j - 1] <= 0.0f && in[j] > 0.0f) return j;
    return n;
}

// Scans the trigger vector for rising zero crossings (prev <= 0, cur > 0) and starts one grain per
// crossing in the highest free slot. A pending bang counts as the crossing -1 -> 1 at sample 0. The
// scan ends at the first crossing that finds no free slot. Returns the last sample examined.
template <int N>
float trigger_scan(t_brindel *x, const perform_inputs &in, const vector_context &vc, int n,
                   bool bang, int32_t limit) noexcept {
    int32_t s = limit;
    // Starts the grain of a crossing at j; false when no slot is free (the scan ends).
    auto start = [&](int j) noexcept {
        grain_setup gs;
        if (trigger_setup<N>(x, in, vc, j, gs)) {
            do {
                --s;
            } while (s > 0 && x->voice_busy[s].load() != 0);
            if (s <= 0) return false;
            grain_start(x, s, gs);
        }
        return true;
    };
    // Samples 0 and 1 one by one: the bang stands for sample 0, and is sample 1's predecessor.
    float prev = bang ? -1.0f : x->g.prev_trigger;
    int j = 0;
    for (; j < n && j < 2; ++j) {
        const float cur = (j == 0 && bang) ? 1.0f : in.trigger[j];
        if (prev <= 0.0f && cur > 0.0f && !start(j)) return cur; // the rest is not examined
        prev = cur;
    }
    if (n <= 2) return prev;
    // From sample 2 on, each sample's predecessor is the input itself.
    for (j = next_crossing(in.trigger, j, n); j < n; j = next_crossing(in.trigger, j + 1, n))
        if (!start(j)) return in.trigger[j];
    return in.trigger[n - 1];
}

template <int N>
void perform_vector(t_brindel *x, const perform_inputs &in, t_sample *const *out, int n) noexcept {
    toolkit::denormal_guard ftz;
    toolkit::grain_common &g = x->g;

    // Voice records are written only here: a pending "clear" first, then the queued grains, which
    // take their envelope from the same refresh that the renderer reads in this vector.
    const uint32_t clear_seen = toolkit::common_take_clear(&g);
    const int32_t refresh = toolkit::env_refresh(&g);
    grain_queue_drain(x, clear_seen);
    toolkit::common_voices_report(&g);

    if (refresh != 1) {
        // silence: nothing advances, a pending bang waits, prev_trigger stays
        for (int o = 0; o < N; ++o) std::fill_n(out[o], n, 0.0f);
        return;
    }

    const int32_t limit = std::clamp<int32_t>(g.voice_limit.load(), 2, brindel_voices);
    vector_context vc;
    vc.ms = toolkit::ms_to_samples(g.sample_rate);
    vc.length_f = float(vc.ms * double(g.inlet_length.load()));
    vc.env_slot = toolkit::env_pick(g.env, g.env.active.load());
    vc.frames = g.env.frames[vc.env_slot];
    for (int i = 0; i < 6; ++i) vc.c[i] = g.sig_connected[i] != 0;

    const bool bang = g.bang_pending.exchange(0) != 0;
    // The scan reads every input it needs before the first output write (vectors may alias).
    g.prev_trigger = trigger_scan<N>(x, in, vc, n, bang, limit);

    for (int o = 0; o < N; ++o) std::fill_n(out[o], n, 0.0f);
    const bool interp = g.sinterp_flag.load() != 0;
    render_voices(x, N, out, n, limit, interp, toolkit::simd_active());
}

// Argument vector: 1 instance, 2-8 the seven inlets, 9 to 8 + N the outputs, 9 + N the vector size.
template <int N>
t_int *perform(t_int *w) {
    auto *x = reinterpret_cast<t_brindel *>(w[1]);
    perform_inputs in;
    const t_sample **ins[brindel_inlets] = {&in.trigger, &in.freq, &in.phase, &in.amp,
                                            &in.length,  &in.pan,  &in.dist};
    for (int i = 0; i < brindel_inlets; ++i) *ins[i] = reinterpret_cast<const t_sample *>(w[2 + i]);
    t_sample *out[N];
    for (int o = 0; o < N; ++o) out[o] = reinterpret_cast<t_sample *>(w[9 + o]);
    const int n = int(w[9 + N]);
    if (n > 0) perform_vector<N>(x, in, out, n);
    return w + N + 10;
}

// The outlets of an instance whose number of outputs renders nothing: zeros every vector. The
// host may give an outlet the memory of the inlet with the same index; an outlet left unwritten
// would then pass that inlet's signal (the trigger, the frequency...) on instead of silence.
// Argument vector: 1 the outlet count k, 2 to 1 + k the outlets, 2 + k the vector size.
t_int *perform_silent(t_int *w) {
    const int outs = int(w[1]);
    const int n = int(w[2 + outs]);
    for (int o = 0; o < outs; ++o) std::fill_n(reinterpret_cast<t_sample *>(w[2 + o]), n, t_sample(0));
    return w + outs + 3;
}

void install_silent(t_brindel *x, t_signal **sp) noexcept {
    const int outs = brindel_signal_outlets(x->g.num_outputs);
    void *words[brindel_max_outputs + 2];
    words[0] = reinterpret_cast<void *>(t_int(outs));
    for (int o = 0; o < outs; ++o) words[1 + o] = sp[brindel_inlets + o]->s_vec;
    words[1 + outs] = reinterpret_cast<void *>(t_int(sp[0]->s_n));
    dsp_addv(perform_silent, outs + 2, words);
}

template <int N, size_t... O>
void install(t_brindel *x, t_signal **sp, std::index_sequence<O...>) noexcept {
    dsp_add(perform<N>, N + 9, t_int(x), t_int(sp[0]->s_vec), t_int(sp[1]->s_vec),
            t_int(sp[2]->s_vec), t_int(sp[3]->s_vec), t_int(sp[4]->s_vec), t_int(sp[5]->s_vec),
            t_int(sp[6]->s_vec), t_int(sp[brindel_inlets + O]->s_vec)..., t_int(sp[0]->s_n));
}

} // namespace

void brindel_dsp(t_brindel *x, t_signal **sp, short *count) noexcept {
    x->g.sample_rate = sys_getsr();
    for (int i = 0; i < 6; ++i) x->g.sig_connected[i] = count[1 + i] > 0 ? 1 : 0;
    switch (x->g.num_outputs) {
    case 1: install<1>(x, sp, std::make_index_sequence<1>()); break;
    case 2: install<2>(x, sp, std::make_index_sequence<2>()); break;
    case 4: install<4>(x, sp, std::make_index_sequence<4>()); break;
    case 6: install<6>(x, sp, std::make_index_sequence<6>()); break;
    case 8: install<8>(x, sp, std::make_index_sequence<8>()); break;
    default: install_silent(x, sp); break; // no grains, no lists: silent outlets only
    }
}
