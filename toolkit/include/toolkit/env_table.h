// env_table.h: the table of envelope buffers that both externals share.
//
// 64 slots, each naming a buffer~ by symbol and caching what the renderers need of it (sample data
// and frame count). Bound by name, not by object: env_refresh re-tests every named slot at the start
// of each signal vector, so a buffer~ created, replaced, resized or deleted later is followed.
//
// Threads: "setenv", "envbuffer" and "info" run on the message thread and touch only `name`, `count`
// and `active` (shared words). The binding fields `buffer_obj`, `frames` and `samples` are written
// only by env_refresh on the audio thread, so a renderer never pairs the samples of one buffer with
// the frame count of another.
#pragma once

#include <cstdint>

#include "ext_host.h"
#include "toolkit/shared_word.h"

namespace toolkit {

constexpr int32_t env_slots = 64;

struct env_table {
    t_object *buffer_obj[env_slots];        // dsp only: bound buffer~ at the last refresh, or none
    shared_word<t_symbol *> name[env_slots]; // msg -> dsp: the name the slot looks up, or none
    int32_t frames[env_slots];              // dsp only: frame count of the bound buffer~ (-1: never bound)
    float *samples[env_slots];              // dsp only: first sample of the bound buffer~
    shared_word<int32_t> count;             // msg -> dsp: one more than the highest named slot; never lowered
    shared_word<int32_t> active;            // msg -> dsp: slot used by triggered grains, 0 to 63
};

struct grain_common;

// Atoms of a message: a long or float gives its value, anything else 0 / none.
float arg_float(const t_atom *argv, long index) noexcept;
t_symbol *arg_symbol(const t_atom *argv, long index) noexcept;

// Creation: every slot unbound with frame count -1; slot 0 named `slot0` ("empty_buffer" when
// none), slots 1 to 63 unnamed; count 1, active 0.
void env_init(env_table &table, t_symbol *slot0) noexcept;

// "setenv" handler (message thread): names a slot, reports or posts the error line.
void env_set(grain_common *x, t_symbol *selector, long argc, t_atom *argv) noexcept;
// "envbuffer" handler: selects the active slot, clamped into 0 to 63.
void env_select(grain_common *x, t_atom_long n) noexcept;
// "info" handler, and the report after "setenv" (code 1) and "tellme" (code -1): with poll on, sends
// "active_env" and one "envbuffer" list per named slot out of the information outlet.
void env_report(grain_common *x, t_atom_long code) noexcept;

// Audio thread, once per vector: -1 when the host disabled the object, 0 when slot 0 is unusable
// (the vector must be silent), 1 when every named slot below count was re-bound or dropped.
int32_t env_refresh(grain_common *x) noexcept;
// The slot a grain uses: `slot` when it is inside 0 to 63 and bound, else 0.
int32_t env_pick(const env_table &table, int32_t slot) noexcept;

// True when the symbol names a buffer~ that "setenv" may bind (exists, class "buffer~", valid).
bool env_is_buffer(t_symbol *name) noexcept;

} // namespace toolkit
