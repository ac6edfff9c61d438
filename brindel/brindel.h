// brindel.h: the record of a brindel~ instance and the operations its sources share.
//
// brindel.cpp registers the class and holds creation, destruction and the message handlers (message
// thread); brindel_voice.cpp claims and fills voices; brindel_dsp.cpp holds the "dsp" handler and the
// perform routines (audio thread). Tests include this header to look at the record of a box.
#pragma once

#include <cstdint>

#include "ext_host.h"
#include "toolkit/common.h"
#include "toolkit/shared_word.h"
#include "toolkit/simd.h"
#include "toolkit/spsc_queue.h"

constexpr int32_t brindel_voices = 512;      // voice slots per instance; slot 0 is never claimed
constexpr int32_t brindel_max_outputs = 8;
constexpr int32_t brindel_inlets = 7;        // trigger, freq, phase, amp, length, pan, dist

// Signal outlets for a requested number of outputs: 1 or less 1, 2 2, 3 and 4 4, 5 and 6 6, more 8.
constexpr int brindel_signal_outlets(int32_t num_outputs) {
    return 1 + (num_outputs > 1 ? 1 : 0) + (num_outputs > 2 ? 2 : 0) + (num_outputs > 4 ? 2 : 0) +
           (num_outputs > 6 ? 2 : 0);
}
constexpr uint32_t brindel_queue_size = 512; // "grain" requests waiting for the next vector: more
                                             // than the pool can take, so only a full pool drops

// One "grain" message, handed from the message thread to the perform routine, which claims a voice
// and starts the grain at the start of its next vector.
struct grain_request {
    float delay_ms;
    float freq;       // Hz
    float phase;      // cycles
    float amp;
    float length_ms;  // negative: the envelope is read backwards
    float pan;
    float dist;
    int32_t env_slot; // envbuffer argument, truncated toward zero
    int32_t voice_limit; // voice_limit when the message arrived: the search starts below it
    uint32_t clear_seq;  // "clear" count when the message arrived: older requests are dropped
};

// Everything a voice holds once its grain has started, computed before a slot is claimed, so a grain
// whose parameters give no finite oscillator or envelope never takes a voice.
struct grain_setup {
    float freq, phase, amp, length, pan, dist; // Hz, cycles, linear, samples, circle units, spread
    float osc_coef, osc_y1, osc_y2;            // recurrence: 2 cos(w), sin(theta - w), sin(theta - 2w)
    float env_inc, env_pos;                    // frames per sample, frames
    int32_t env_slot;                          // envelope-table slot, 0 to 63
    int32_t remaining;                         // samples to render
    int32_t delay;                             // samples to wait, counted from the vector's start
};

// The record. All voice arrays are dsp only: only the audio thread writes voices (a "grain" message
// is a request that the perform routine starts; "clear" is a count the perform routine applies).
struct t_brindel {
    t_pxobject ob;
    toolkit::grain_common g;

    toolkit::shared_word<float> inlet_freq;  // msg -> dsp: Hz
    toolkit::shared_word<float> inlet_phase; // msg -> dsp: cycles, 0 <= value < 1

    // voice pool: brindel_voices entries each, from sysmem_newptr at creation
    toolkit::shared_word<int32_t> *voice_busy; // 1 while the slot holds a grain
    int32_t *voice_delay;       // samples before the first output sample
    int32_t *voice_remaining;   // output samples still to render
    float *voice_freq;          // Hz
    float *voice_phase;         // cycles, start phase
    float *voice_amp;           // linear
    float *voice_length;        // samples, never negative
    float *voice_pan;           // circle units
    float *voice_dist;          // spread
    float *voice_osc_y1;        // previous oscillator output
    float *voice_osc_y2;        // the output before that
    float *voice_osc_coef;      // 2 cos(w)
    float *voice_env_inc;       // frames per output sample (negative: backwards)
    float *voice_env_pos;       // frames, position at the start of the next rendered vector
    float *voice_env_value;     // last envelope value read
    int32_t *voice_env_slot;    // envelope-table slot shaping the grain
    float *voice_gain[brindel_max_outputs]; // gain per output, fixed for the grain's life

    // dsp only: bit v % 64 of word v / 64 is set for every busy slot v (set by grain_start, dropped
    // by the fast renderer when it finds the slot free), so the renderer visits only these slots.
    // A superset of the busy slots: "clear" frees voices without touching it.
    uint64_t busy_hint[brindel_voices / 64];

    toolkit::spsc_queue<grain_request, brindel_queue_size> grain_queue; // msg -> dsp
};

// ---- voices (brindel_voice.cpp) -------------------------------------------------------------------
// The highest free slot below `limit`, down to 1; 0 when every one is busy.
int32_t voice_claim(const t_brindel *x, int32_t limit) noexcept;
// Oscillator start values for freq Hz and phase cycles at sample_rate Hz; false when they are not
// finite (non-finite inputs, or a frequency so high that the phase step overflows a 32-bit float).
bool grain_osc_setup(grain_setup &gs, double sample_rate) noexcept;
// Envelope sweep over `length` samples (>= 0) of an envelope of `frames` frames, read backwards when
// dir < 0; also sets remaining. A slot without frames gives a grain that renders nothing.
void grain_env_setup(grain_setup &gs, int32_t frames, int32_t dir) noexcept;
// The setup of a "grain" request against the envelope table as the last refresh left it; false when
// a parameter is not finite (the request starts nothing).
bool grain_request_setup(const t_brindel *x, const grain_request &r, grain_setup &gs) noexcept;
// Writes a claimed slot (audio thread) and, with several outputs, its gains.
void grain_start(t_brindel *x, int32_t slot, const grain_setup &gs) noexcept;
// The gains of slot v from its pan and dist, for num_outputs outputs (none for one output).
void pan_set_voice(t_brindel *x, int32_t v) noexcept;
// Audio thread, once per vector: starts the queued "grain" requests made since the clear count
// `clear_seen` was applied; stops at one made after a later "clear" (it waits for the next vector).
void grain_queue_drain(t_brindel *x, uint32_t clear_seen) noexcept;

// ---- rendering (brindel_render.cpp) ---------------------------------------------------------------
// Adds every busy voice below `limit` into the N = num_outputs (1, 2, 4, 6 or 8) outputs for one
// vector of n samples and advances the voices; the caller has cleared the outputs. `level` picks the
// path: reference renders slot after slot, the others batch the voices into vector lanes; every path
// gives the same bits.
void render_voices(t_brindel *x, int32_t num_outputs, t_sample *const *out, int n, int32_t limit,
                   bool interp, toolkit::simd_level level) noexcept;

// ---- signal (brindel_dsp.cpp) -------------------------------------------------------------------
void brindel_dsp(t_brindel *x, t_signal **sp, short *count) noexcept;
