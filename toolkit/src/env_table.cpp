// env_table.cpp: the envelope buffer table: "setenv", "envbuffer" and "info" (message thread), the
// per-vector refresh and the slot pick (audio thread), and the two atom readers the handlers share.
//
// Only env_refresh writes a slot's binding (buffer_obj, frames, samples); "setenv" names the slot
// and checks the buffer~ for its answer, so the renderer always sees a binding taken in one piece.
#include "toolkit/env_table.h"

#include <cmath>

#include "toolkit/common.h"
#include "internal.h"

namespace toolkit {

namespace {

// The host's record of the object bound to `name`, when it is a buffer~ (class name compared by
// identity with the cached symbol). Audio-safe: reads only.
t_object *bound_buffer(t_symbol *name) noexcept {
    t_object *obj = symbol_thing(name);
    if (obj == nullptr) return nullptr;
    t_symbol *buffer = sym_buffer();
    if (buffer == nullptr || object_classname(obj) != buffer) return nullptr;
    return obj;
}

// NB: only two report lists exist, so their atoms live on the caller's stack; nothing allocates.
void send_list(void *outlet, short argc, t_atom *argv) noexcept {
    if (outlet != nullptr) outlet_list(outlet, nullptr, argc, argv);
}

} // namespace

float arg_float(const t_atom *argv, long index) noexcept {
    if (argv == nullptr || index < 0) return 0.0f;
    const t_atom &a = argv[index];
    if (a.a_type == A_LONG) return float(a.a_w.w_long);
    if (a.a_type == A_FLOAT) return a.a_w.w_float;
    return 0.0f;
}

t_symbol *arg_symbol(const t_atom *argv, long index) noexcept {
    if (argv == nullptr || index < 0) return nullptr;
    const t_atom &a = argv[index];
    return a.a_type == A_SYM ? a.a_w.w_sym : nullptr;
}

void env_init(env_table &table, t_symbol *slot0) noexcept {
    if (slot0 == nullptr) {
        toolkit_setup(); // creation runs on the message thread: gensym is allowed here
        slot0 = sym_empty_buffer();
    }
    for (int32_t i = 0; i < env_slots; ++i) {
        table.buffer_obj[i] = nullptr;
        table.name[i].store(nullptr);
        table.frames[i] = -1;
        table.samples[i] = nullptr;
    }
    table.name[0].store(slot0, std::memory_order_release);
    table.count.store(1, std::memory_order_release);
    table.active.store(0);
}

bool env_is_buffer(t_symbol *name) noexcept {
    if (name == nullptr) return false;
    t_object *obj = bound_buffer(name);
    return obj != nullptr && buffer_valid(obj) != 0;
}

void env_set(grain_common *x, t_symbol *selector, long argc, t_atom *argv) noexcept {
    (void)selector;
    int32_t slot = 0;
    t_symbol *name = nullptr;
    if (argc == 1 && x->kind == grain_kind::carvell) {
        // carvell~'s short form: "setenv <buffer name>" names slot 0.
        name = arg_symbol(argv, 0);
        if (name == nullptr) return;
    } else if (argc == 2) {
        const float index = arg_float(argv, 0);
        // NB: a NaN index is refused like any other index outside the table, rather than mapped
        // to slot 0 by trunc_i32.
        if (std::isnan(index)) {
            post("%s : <#buffer> out of range", x->class_name);
            return;
        }
        slot = trunc_i32(index);
        if (slot < 0 || slot >= env_slots) {
            post("%s : <#buffer> out of range", x->class_name);
            return;
        }
        name = arg_symbol(argv, 1);
        if (name == nullptr) return;
    } else {
        post("%s : error setenv <#buffer> <buffer name> ", x->class_name);
        return;
    }

    env_table &table = x->env;
    // The name is published before the count that makes the refresh look at it.
    table.name[slot].store(name, std::memory_order_release);
    if (table.count.load() < slot + 1) table.count.store(slot + 1, std::memory_order_release);

    // The binding itself is taken by the next refresh on the audio thread; here the buffer~ is
    // only checked, for the answer.
    if (env_is_buffer(name)) {
        env_report(x, 1);
    } else {
        error("%s: no buffer~ %s", x->class_name, name->s_name);
    }
}

void env_select(grain_common *x, t_atom_long n) noexcept {
    const int32_t slot = n < 0 ? 0 : (n >= env_slots ? env_slots - 1 : n);
    x->env.active.store(slot);
}

void env_report(grain_common *x, t_atom_long code) noexcept {
    if (x->poll_flag.load() == 0 || (code != 1 && code != -1)) return;
    t_symbol *active_env = sym_active_env();
    t_symbol *envbuffer = sym_envbuffer();
    if (active_env == nullptr || envbuffer == nullptr) return;

    const env_table &table = x->env;
    t_atom atoms[3];
    atoms[0].a_type = A_SYM;
    atoms[0].a_w.w_sym = active_env;
    atoms[1].a_type = A_FLOAT;
    atoms[1].a_w.w_float = float(table.active.load() + 1);
    send_list(x->info_outlet, 2, atoms);

    const int32_t count = env_count(table);
    for (int32_t i = 0; i < count; ++i) {
        t_symbol *name = table.name[i].load(std::memory_order_acquire);
        if (name == nullptr) continue;
        atoms[0].a_type = A_SYM;
        atoms[0].a_w.w_sym = envbuffer;
        atoms[1].a_type = A_LONG;
        atoms[1].a_w.w_long = i;
        atoms[2].a_type = A_SYM;
        atoms[2].a_w.w_sym = name;
        send_list(x->info_outlet, 3, atoms);
    }
}

int32_t env_refresh(grain_common *x) noexcept {
    if (x->self != nullptr && z_isdisabled(x->self) != 0) return -1;
    env_table &table = x->env;
    const int32_t count = env_count(table);
    for (int32_t i = 0; i < count; ++i) {
        t_symbol *name = table.name[i].load(std::memory_order_acquire);
        if (name == nullptr) continue;
        t_object *obj = bound_buffer(name);
        if (obj != nullptr && buffer_valid(obj) != 0 && buffer_inuse(obj) == 0) {
            table.buffer_obj[i] = obj;
            table.frames[i] = buffer_frames(obj);
            table.samples[i] = buffer_samples(obj);
        } else if (i == 0) {
            return 0; // slot 0 keeps its last binding; the vector is silent
        } else {
            table.buffer_obj[i] = nullptr;
        }
    }
    return 1;
}

int32_t env_pick(const env_table &table, int32_t slot) noexcept {
    if (slot < 0 || slot >= env_slots) return 0;
    return table.buffer_obj[slot] != nullptr ? slot : 0;
}

} // namespace toolkit
