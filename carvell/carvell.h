// carvell.h: the record of a carvell~ instance (live-input granulator) and the operations its
// sources share.
//
// carvell.cpp registers the class and holds creation, destruction and the message handlers (message
// thread); carvell_ring.cpp records the input and bounds grains; carvell_dsp.cpp holds the "dsp"
// handler and the perform routine (audio thread). Tests include this header to look at a box's record.
#pragma once

#include <cstdint>

#include "carvell_ring.h"
#include "ext_host.h"
#include "toolkit/common.h"
#include "toolkit/shared_word.h"

constexpr int32_t carvell_voices = 256;     // voices per instance; voice 0 is never claimed
constexpr int32_t carvell_inlets = 8;       // live input, trigger, delay, transp, amp, length, pan, dist
constexpr int32_t carvell_dsp_extra = 10;   // dsp_args words besides the outputs: x, n, 8 inlets
constexpr int32_t carvell_busy_words = carvell_voices / 64; // 64-bit words of the busy bitmask

// Indices into grain_common::sig_connected: inlets 3 to 8.
enum carvell_param : int32_t {
    param_delay = 0, param_transp, param_amp, param_length, param_pan, param_dist
};

// The voice record: parallel arrays of carvell_voices entries, each block from t_getbytes at creation.
// Only the audio thread writes them ("clear" is a count the perform routine applies).
struct carvell_voice_pool {
    toolkit::shared_word<int32_t> *voice_busy; // 1 while the voice holds a grain
    int32_t *voice_remaining;   // output samples still to render
    double *voice_read_pos;     // ring samples; reduced into 0 to L - 1 at the start, then not wrapped
    float *voice_transp;        // ring samples read per output sample (negative: backwards)
    float *voice_amp;           // linear
    float *voice_length;        // samples, after the length bound
    float *voice_pan;           // circle units
    float *voice_dist;          // spread
    float *voice_env_inc;       // envelope frames per output sample (negative: backwards)
    float *voice_env_pos;       // frames, position at the start of the next rendered vector
    float *voice_env_value;     // last envelope value read
    int32_t *voice_env_slot;    // envelope-table slot shaping the grain
    int32_t *voice_offset;      // first output sample in the current vector; 0 after the first
    float **voice_gain;         // num_outputs blocks of gains, fixed for the grain's life
};

struct t_carvell {
    t_pxobject ob;
    toolkit::grain_common g;

    // The recording. Every field is dsp only once the box exists: the perform routine records, and
    // applies the "freeze" requests itself at the start of a vector.
    carvell::carvell_ring rec;
    toolkit::shared_word<uint32_t> freeze_request; // msg -> dsp: see freeze_request_next
    uint32_t freeze_applied;                        // dsp only: the request word in force

    toolkit::shared_word<int32_t> constraint_flag; // msg -> dsp: 1 bounds the delay, 0 the length
    toolkit::shared_word<float> inlet_delay;       // msg -> dsp: ms, never negative
    toolkit::shared_word<float> inlet_transp;      // msg -> dsp: read speed, 1 = recorded pitch

    carvell_voice_pool pool;
    // dsp only: bit v set when voice v was given a grain and may still be busy (a superset of the
    // busy flags: "clear" frees voices without touching it). The rendering visits only these voices,
    // in ascending order, and drops the bits of the voices it finds free or frees.
    uint64_t busy_bits[carvell_busy_words];
    t_int *dsp_args; // dsp handler: num_outputs + 10 words handed to dsp_addv
};

// Block sizes, shared by creation and destruction so each block is released with its own size.
constexpr long carvell_i32_block = carvell_voices * long(sizeof(int32_t));
constexpr long carvell_f32_block = carvell_voices * long(sizeof(float));
constexpr long carvell_f64_block = carvell_voices * long(sizeof(double));

// ---- signal (carvell_dsp.cpp) --------------------------------------------------------------------
void carvell_dsp(t_carvell *x, t_signal **sp, short *count) noexcept;
t_int *carvell_perform(t_int *w) noexcept;
