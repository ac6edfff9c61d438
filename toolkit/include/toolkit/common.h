// common.h: what both externals share besides the envelope table and the pan law: the common part of
// their instance records, the float-inlet rules, the control messages (bang, "nvoices", "sinterp",
// "poll", "clear"/"panic", "assist", "tellme"), the per-vector voices report, the interpolation
// table and small real-time helpers.
//
// Threads: handlers run on the message thread and only store shared words; the perform routines
// (audio thread) read them at fixed points and call the functions marked "audio thread".
#pragma once

#include <cstdint>

#include "ext_host.h"
#include "toolkit/env_table.h"
#include "toolkit/shared_word.h"

namespace toolkit {

enum class grain_kind : int32_t { brindel, carvell };

// The fields both instance records hold. Each record is { t_pxobject header; grain_common g; ... }.
struct grain_common {
    t_pxobject *self;          // the record's header (for z_isdisabled)
    grain_kind kind;           // creation: which external, for texts and inlet maps
    const char *class_name;    // creation: "brindel~" / "carvell~"
    int32_t voice_capacity;    // creation: 512 / 256 voices in the pool
    int32_t num_outputs;       // creation: number of signal outputs
    void *info_outlet;         // creation: the rightmost outlet
    float sample_rate;         // Hz; set at creation from sys_getsr and by every "dsp" call

    env_table env;

    shared_word<int32_t> voice_limit;  // msg -> dsp: one more than the usable voices, 2 to capacity
    shared_word<int32_t> sinterp_flag; // msg -> dsp: 1 interpolated envelope (and ring) reads
    shared_word<int32_t> bang_pending; // msg -> dsp: 1 while a bang waits; the perform exchanges it
    shared_word<int32_t> poll_flag;    // msg -> dsp: 1 while the information outlet reports
    shared_word<uint32_t> clear_seq;   // msg -> dsp: counts "clear"/"panic" messages
    uint32_t clear_seen;               // dsp only: clear_seq as last applied

    shared_word<float> inlet_amp;      // msg -> dsp: amplitude float, never negative
    shared_word<float> inlet_length;   // msg -> dsp: |length| float, ms, at least 0.1
    shared_word<int32_t> length_dir;   // msg -> dsp: +1 / -1, the sign of the last length float
    shared_word<float> inlet_pan;      // msg -> dsp
    shared_word<float> inlet_dist;     // msg -> dsp

    int16_t sig_connected[6];          // dsp handler -> dsp: 1 when a parameter inlet has a signal
    float prev_trigger;                // dsp only: last trigger sample examined by the scan

    shared_word<int32_t> *voice_busy;  // the pool's busy flags (voice_capacity of them)
    float *interp_table;               // 1024 pairs (1 - k/1024, k/1024)
};

// ---- once per library (main) --------------------------------------------------------------------
// Caches the symbols the toolkit compares or sends ("buffer~", "voices", "active_env",
// "envbuffer", "empty_buffer"), so no perform routine calls gensym.
void toolkit_setup() noexcept;
t_symbol *sym_buffer() noexcept;
t_symbol *sym_empty_buffer() noexcept;

// ---- creation ------------------------------------------------------------------------------------
// Sets the common defaults (voice_limit 64, sinterp 1, poll 0, amp 1, length 100 ms forward, pan 0,
// dist 1, prev_trigger 0, sample_rate from sys_getsr) and the envelope table with slot 0 named
// `slot0`. voice_busy and interp_table are set by the caller after it allocates them.
void common_init(grain_common *g, t_pxobject *self, grain_kind kind, int32_t voice_capacity,
                 int32_t num_outputs, t_symbol *slot0) noexcept;
constexpr long interp_table_bytes = 1024 * 2 * sizeof(float);
void interp_table_fill(float *table) noexcept; // entry k = (1 - k/1024, k/1024)

// ---- float-inlet rules ----------------------------------------------------------------------------
float inlet_phase_rule(double x) noexcept;   // fmod(x, 1), plus 1 when negative: 0 <= value < 1
float inlet_nonneg_rule(double x) noexcept;  // x when above 0, else 0 (NaN gives 0)
void inlet_length_set(grain_common *g, double x) noexcept; // |x| at least 0.1, and its sign

// ---- messages ------------------------------------------------------------------------------------
void common_bang(grain_common *g) noexcept;
void common_nvoices(grain_common *g, t_atom_long n) noexcept;
void common_sinterp(grain_common *g, t_atom_long n) noexcept;
void common_poll(grain_common *g, t_atom_long n) noexcept;
void common_clear(grain_common *g) noexcept; // "clear" and "panic": applied at the next vector
void common_first_inlet_float(grain_common *g) noexcept; // posts the trigger-inlet notice
void common_assist(const grain_common *g, long kind, long index, char *text) noexcept;
// Prints the state; ring_length >= 0 adds the "buffer length" line (carvell~). Then env_report(-1).
void common_tellme(grain_common *g, long ring_length) noexcept;

// ---- audio thread ----------------------------------------------------------------------------------
// Applies a pending "clear": frees every voice of the pool. Returns the clear count now in force.
uint32_t common_take_clear(grain_common *g) noexcept;
// With poll on, sends "voices" and the number of busy voices below voice_limit.
void common_voices_report(grain_common *g) noexcept;

inline double ms_to_samples(float sample_rate) noexcept { return double(sample_rate) * 0.001; }

// Truncation toward zero into 32 bits, saturating at the range; NaN gives 0.
int32_t trunc_i32(double v) noexcept;

// Sets flush-to-zero and denormals-are-zero for its lifetime and restores the caller's mode.
class denormal_guard {
public:
    denormal_guard() noexcept;
    ~denormal_guard();
    denormal_guard(const denormal_guard &) = delete;
    denormal_guard &operator=(const denormal_guard &) = delete;

private:
    unsigned saved_;
};

} // namespace toolkit
