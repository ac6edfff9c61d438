// carvell.cpp: the carvell~ external: class registration (main), creation and destruction of
// instances, and the message handlers.
//
// Threads: main, creation, destruction and every handler here run on the host's message thread. The
// handlers only store shared words (or count a request); the perform routine (carvell_dsp.cpp) reads
// them at fixed points of each vector.
#include "carvell.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <new>

#include "toolkit/env_table.h"

namespace {

t_messlist *carvell_class = nullptr; // written once by main

constexpr long interp_bytes = toolkit::interp_table_bytes;

long ring_bytes(const t_carvell *x) noexcept { return long(x->rec.ring_length) * long(sizeof(float)); }
long gain_pointers_bytes(const t_carvell *x) noexcept {
    return long(x->g.num_outputs) * long(sizeof(float *));
}
long dsp_args_bytes(const t_carvell *x) noexcept {
    return long(x->g.num_outputs + carvell_dsp_extra) * long(sizeof(t_int));
}

template <class T>
bool block_alloc(T *&p, long bytes) noexcept {
    p = reinterpret_cast<T *>(t_getbytes(bytes));
    return p != nullptr;
}

template <class T>
void block_release(T *&p, long bytes) noexcept {
    if (p != nullptr) t_freebytes(p, bytes);
    p = nullptr;
}

// The voice pool, in the order of its fields, then the gain blocks and dsp_args. Stops at the first
// block refused; true only when every block was obtained.
bool pool_alloc(t_carvell *x) noexcept {
    carvell_voice_pool &p = x->pool;
    if (!block_alloc(p.voice_busy, carvell_i32_block)) return false;
    // The busy flags are shared words: start their lifetime in the raw block.
    for (int32_t v = 0; v < carvell_voices; ++v) new (&p.voice_busy[v]) toolkit::shared_word<int32_t>;
    if (!block_alloc(p.voice_remaining, carvell_i32_block)) return false;
    if (!block_alloc(p.voice_read_pos, carvell_f64_block)) return false;
    if (!block_alloc(p.voice_transp, carvell_f32_block)) return false;
    if (!block_alloc(p.voice_amp, carvell_f32_block)) return false;
    if (!block_alloc(p.voice_length, carvell_f32_block)) return false;
    if (!block_alloc(p.voice_pan, carvell_f32_block)) return false;
    if (!block_alloc(p.voice_dist, carvell_f32_block)) return false;
    if (!block_alloc(p.voice_env_inc, carvell_f32_block)) return false;
    if (!block_alloc(p.voice_env_pos, carvell_f32_block)) return false;
    if (!block_alloc(p.voice_env_value, carvell_f32_block)) return false;
    if (!block_alloc(p.voice_env_slot, carvell_i32_block)) return false;
    if (!block_alloc(p.voice_offset, carvell_i32_block)) return false;
    if (!block_alloc(p.voice_gain, gain_pointers_bytes(x))) return false;
    // NB: the pointer block's contents are unknown; clear it so a partial failure releases only the
    // gain blocks actually obtained.
    for (int32_t q = 0; q < x->g.num_outputs; ++q) p.voice_gain[q] = nullptr;
    for (int32_t q = 0; q < x->g.num_outputs; ++q) {
        if (!block_alloc(p.voice_gain[q], carvell_f32_block)) return false;
    }
    return block_alloc(x->dsp_args, dsp_args_bytes(x));
}

// Releases every block that was obtained, each with the size it was obtained with.
void memory_release(t_carvell *x) noexcept {
    carvell_voice_pool &p = x->pool;
    if (p.voice_gain != nullptr) {
        for (int32_t q = 0; q < x->g.num_outputs; ++q) block_release(p.voice_gain[q], carvell_f32_block);
    }
    block_release(p.voice_gain, gain_pointers_bytes(x));
    block_release(x->dsp_args, dsp_args_bytes(x));
    block_release(p.voice_busy, carvell_i32_block);
    block_release(p.voice_remaining, carvell_i32_block);
    block_release(p.voice_read_pos, carvell_f64_block);
    block_release(p.voice_transp, carvell_f32_block);
    block_release(p.voice_amp, carvell_f32_block);
    block_release(p.voice_length, carvell_f32_block);
    block_release(p.voice_pan, carvell_f32_block);
    block_release(p.voice_dist, carvell_f32_block);
    block_release(p.voice_env_inc, carvell_f32_block);
    block_release(p.voice_env_pos, carvell_f32_block);
    block_release(p.voice_env_value, carvell_f32_block);
    block_release(p.voice_env_slot, carvell_i32_block);
    block_release(p.voice_offset, carvell_i32_block);
    block_release(x->g.interp_table, interp_bytes);
    block_release(x->rec.ring, ring_bytes(x));
    x->g.voice_busy = nullptr;
}

// Every voice free with neutral values, so nothing reads an unwritten field.
void pool_reset(t_carvell *x) noexcept {
    carvell_voice_pool &p = x->pool;
    for (int32_t v = 0; v < carvell_voices; ++v) {
        p.voice_busy[v].store(0);
        p.voice_remaining[v] = 0;
        p.voice_read_pos[v] = 0.0;
        p.voice_transp[v] = p.voice_amp[v] = p.voice_length[v] = 0.0f;
        p.voice_pan[v] = p.voice_dist[v] = 0.0f;
        p.voice_env_inc[v] = p.voice_env_pos[v] = p.voice_env_value[v] = 0.0f;
        p.voice_env_slot[v] = 0;
        p.voice_offset[v] = 0;
        for (int32_t q = 0; q < x->g.num_outputs; ++q) p.voice_gain[q][v] = 0.0f;
    }
    for (uint64_t &word : x->busy_bits) word = 0;
}

// A float inlet's double as a float; out-of-range values become the infinity of their sign (the
// IEEE result, spelled out: the plain conversion of such a value is undefined in C++).
float to_float(double f) noexcept {
    if (f > double(FLT_MAX)) return HUGE_VALF;
    if (f < -double(FLT_MAX)) return -HUGE_VALF;
    return float(f);
}

bool outputs_valid(int32_t n) noexcept { return n == 1 || n == 2 || n == 4 || n == 6 || n == 8; }

void *carvell_new(t_symbol *, long argc, t_atom *argv) noexcept {
    auto *x = static_cast<t_carvell *>(newobject(carvell_class));
    if (x == nullptr) return nullptr;
    z_dsp_setup(&x->ob, carvell_inlets);
    int32_t num_outputs = 2;
    x->rec.ring_length = carvell::ring_default_samples;
    const float sample_rate = sys_getsr();

    if (argc < 2) {
        post("Missing Arguments Name 1 Envelope Buffer Name 2 Outputs number (1-2-4-6-8)");
        // Nothing of ours was obtained yet; the host takes its record back when creation fails.
        return nullptr;
    }

    // Arguments by atom type; a symbol names envelope slot k, and only slot 0 keeps its name.
    t_symbol *slot0 = nullptr;
    for (long k = 0; k < argc; ++k) {
        const t_atom &a = argv[k];
        switch (a.a_type) {
        case A_LONG: num_outputs = a.a_w.w_long; break;
        case A_FLOAT: {
            // Ring length in ms; computed in doubles, truncated toward zero, then clamped.
            const double v = double(a.a_w.w_float);
            int32_t n = toolkit::trunc_i32(v * double(sample_rate) / 1000.0);
            if (n < carvell::ring_min_samples) n = carvell::ring_min_samples;
            if (n > carvell::ring_max_samples) n = carvell::ring_max_samples;
            x->rec.ring_length = n;
            post("carvell~ : set buffer size to %10.1f ms", 1000.0 * double(n) / double(sample_rate));
            break;
        }
        case A_SYM:
            if (k == 0) slot0 = a.a_w.w_sym;
            break;
        default: break;
        }
    }

    // The information outlet first: the host puts each new outlet left of the earlier ones.
    void *info = outlet_new(x, nullptr);
    if (!outputs_valid(num_outputs)) {
        post("carvell~ : outputs num must be 1, 2, 4, 6 or 8");
        post("\t Switching to default 2 outputs");
        num_outputs = 2;
    }
    for (int32_t q = 0; q < num_outputs; ++q) outlet_new(x, "signal");

    toolkit::common_init(&x->g, &x->ob, toolkit::grain_kind::carvell, carvell_voices, num_outputs,
                         slot0);
    x->g.info_outlet = info;
    x->g.sample_rate = sample_rate;

    const bool ok = block_alloc(x->g.interp_table, interp_bytes) && block_alloc(x->rec.ring, ring_bytes(x)) &&
                    pool_alloc(x);
    if (!ok) {
        post("error carvell~ : not enough memory to instanciate");
        memory_release(x); // every block obtained so far; the host takes its record back
        return nullptr;
    }
    toolkit::interp_table_fill(x->g.interp_table);
    // Unrecorded material plays as silence: the ring starts zeroed.
    std::memset(x->rec.ring, 0, size_t(ring_bytes(x)));
    x->g.voice_busy = x->pool.voice_busy;
    pool_reset(x);

    x->rec.write_index = 0;
    x->rec.freeze_index = 0;
    x->rec.freeze_flag = 0;
    x->rec.freeze_countdown = 0;
    x->rec.freeze_written = 0;
    x->freeze_request.store(0);
    x->freeze_applied = 0;
    x->constraint_flag.store(1);
    x->inlet_delay.store(0.0f);
    x->inlet_transp.store(1.0f);
    return x;
}

void carvell_free(t_carvell *x) noexcept {
    z_dsp_free(&x->ob); // no perform call after this, so the memory below is no longer read
    memory_release(x);
}

// ---- messages ------------------------------------------------------------------------------------

void carvell_setenv(t_carvell *x, t_symbol *s, long argc, t_atom *argv) noexcept {
    toolkit::env_set(&x->g, s, argc, argv);
}
void carvell_envbuffer(t_carvell *x, t_atom_long n) noexcept { toolkit::env_select(&x->g, n); }
void carvell_info(t_carvell *x, t_atom_long n) noexcept { toolkit::env_report(&x->g, n); }

// "freeze": only the request word changes here; the perform routine applies it at the start of its
// next vector, so the recorder's fields have a single writer.
void carvell_freeze(t_carvell *x, t_atom_long a) noexcept {
    x->freeze_request.store(carvell::freeze_request_next(x->freeze_request.load(), a));
}

void carvell_constraint(t_carvell *x, t_atom_long a) noexcept {
    x->constraint_flag.store(carvell::constraint_value(a));
}

void carvell_nvoices(t_carvell *x, t_atom_long n) noexcept { toolkit::common_nvoices(&x->g, n); }
void carvell_tellme(t_carvell *x) noexcept { toolkit::common_tellme(&x->g, long(x->rec.ring_length)); }
void carvell_bang(t_carvell *x) noexcept { toolkit::common_bang(&x->g); }
void carvell_sinterp(t_carvell *x, t_atom_long n) noexcept { toolkit::common_sinterp(&x->g, n); }
void carvell_clear(t_carvell *x) noexcept { toolkit::common_clear(&x->g); }
void carvell_poll(t_carvell *x, t_atom_long n) noexcept { toolkit::common_poll(&x->g, n); }

void carvell_assist(t_carvell *x, void *, long kind, long index, char *text) noexcept {
    toolkit::common_assist(&x->g, kind, index, text);
}

// A float is routed by the inlet it reached (z_in is the inlet number - 1).
void carvell_float(t_carvell *x, double f) noexcept {
    switch (x->ob.z_in) {
    case 0: break; // the live input: ignored without a message
    case 1: toolkit::common_first_inlet_float(&x->g); break;
    case 2: x->inlet_delay.store(toolkit::inlet_nonneg_rule(f)); break;
    case 3: x->inlet_transp.store(to_float(f)); break;
    case 4: x->g.inlet_amp.store(toolkit::inlet_nonneg_rule(f)); break;
    case 5: toolkit::inlet_length_set(&x->g, f); break;
    case 6: x->g.inlet_pan.store(to_float(f)); break;
    case 7: x->g.inlet_dist.store(to_float(f)); break;
    default: break;
    }
}

} // namespace

extern "C" EXT_EXPORT int main(void) {
    toolkit::toolkit_setup();
    setup(&carvell_class, as_method(carvell_new), as_method(carvell_free),
          long(sizeof(t_carvell)), nullptr, A_GIMME, A_NOTHING);
    addmess(as_method(carvell_setenv), "setenv", A_GIMME, A_NOTHING);
    addmess(as_method(carvell_envbuffer), "envbuffer", A_LONG, A_NOTHING);
    addmess(as_method(carvell_freeze), "freeze", A_LONG, A_NOTHING);
    addmess(as_method(carvell_constraint), "constraint", A_LONG, A_NOTHING);
    addmess(as_method(carvell_nvoices), "nvoices", A_LONG, A_NOTHING);
    addmess(as_method(carvell_tellme), "tellme", A_NOTHING);
    addbang(as_method(carvell_bang));
    addfloat(as_method(carvell_float));
    addmess(as_method(carvell_assist), "assist", A_CANT, A_NOTHING);
    addmess(as_method(carvell_dsp), "dsp", A_CANT, A_NOTHING);
    addmess(as_method(carvell_sinterp), "sinterp", A_LONG, A_NOTHING);
    addmess(as_method(carvell_clear), "clear", A_NOTHING);
    addmess(as_method(carvell_clear), "panic", A_NOTHING);
    addmess(as_method(carvell_poll), "poll", A_LONG, A_NOTHING);
    addmess(as_method(carvell_info), "info", A_LONG, A_NOTHING);
    z_add_signalmethod();
    post("carvell~ v2.0 : live-input granulator, 1 to 8 outputs, up to 255 voices");
    post("build %s %s", __DATE__, __TIME__);
    return 0;
}
