// brindel.cpp: the brindel~ external: class registration (main), creation and destruction of
// instances, and the message handlers.
//
// Threads: main, creation, destruction and every handler here run on the host's message thread. The
// handlers only validate and store shared words or queue a request; the perform routine
// (brindel_dsp.cpp, audio thread) does the work at its next vector.
#include <limits>
#include <new>

#include "brindel.h"
#include "toolkit/env_table.h"

namespace {

t_messlist *brindel_class = nullptr; // written once by main

// ---- creation and destruction ---------------------------------------------------------------------

template <class T>
bool pool_alloc(T *&block) noexcept {
    block = reinterpret_cast<T *>(sysmem_newptr(long(sizeof(T)) * brindel_voices));
    return block != nullptr;
}

template <class T>
void pool_release(T *&block) noexcept {
    if (block) sysmem_freeptr(block);
    block = nullptr;
}

// Requests every block of the voice pool; true only when all were obtained.
bool pool_alloc_all(t_brindel *x) noexcept {
    bool ok = true;
    if (char *busy = sysmem_newptr(long(sizeof(toolkit::shared_word<int32_t>)) * brindel_voices)) {
        // the flags begin their life here; each is then set through an atomic store
        x->voice_busy = new (busy) toolkit::shared_word<int32_t>[brindel_voices];
    } else {
        ok = false;
    }
    ok &= pool_alloc(x->voice_delay);
    ok &= pool_alloc(x->voice_remaining);
    ok &= pool_alloc(x->voice_freq);
    ok &= pool_alloc(x->voice_phase);
    ok &= pool_alloc(x->voice_amp);
    ok &= pool_alloc(x->voice_length);
    ok &= pool_alloc(x->voice_pan);
    ok &= pool_alloc(x->voice_dist);
    ok &= pool_alloc(x->voice_osc_y1);
    ok &= pool_alloc(x->voice_osc_y2);
    ok &= pool_alloc(x->voice_osc_coef);
    ok &= pool_alloc(x->voice_env_inc);
    ok &= pool_alloc(x->voice_env_pos);
    ok &= pool_alloc(x->voice_env_value);
    ok &= pool_alloc(x->voice_env_slot);
    for (float *&gain : x->voice_gain) ok &= pool_alloc(gain);
    return ok;
}

void pool_release_all(t_brindel *x) noexcept {
    pool_release(x->voice_busy);
    pool_release(x->voice_delay);
    pool_release(x->voice_remaining);
    pool_release(x->voice_freq);
    pool_release(x->voice_phase);
    pool_release(x->voice_amp);
    pool_release(x->voice_length);
    pool_release(x->voice_pan);
    pool_release(x->voice_dist);
    pool_release(x->voice_osc_y1);
    pool_release(x->voice_osc_y2);
    pool_release(x->voice_osc_coef);
    pool_release(x->voice_env_inc);
    pool_release(x->voice_env_pos);
    pool_release(x->voice_env_value);
    pool_release(x->voice_env_slot);
    for (float *&gain : x->voice_gain) pool_release(gain);
    if (x->g.interp_table) sysmem_freeptr(x->g.interp_table);
    x->g.interp_table = nullptr;
    x->g.voice_busy = nullptr;
}

// Every field a voice can be read by is zeroed, so a white-box look at a fresh pool sees no garbage.
void pool_reset(t_brindel *x) noexcept {
    for (int32_t v = 0; v < brindel_voices; ++v) {
        x->voice_busy[v].store(0);
        x->voice_delay[v] = 0;
        x->voice_remaining[v] = 0;
        x->voice_env_slot[v] = 0;
        x->voice_freq[v] = x->voice_phase[v] = x->voice_amp[v] = x->voice_length[v] = 0.0f;
        x->voice_pan[v] = x->voice_dist[v] = 0.0f;
        x->voice_osc_y1[v] = x->voice_osc_y2[v] = x->voice_osc_coef[v] = 0.0f;
        x->voice_env_inc[v] = x->voice_env_pos[v] = x->voice_env_value[v] = 0.0f;
        for (float *gain : x->voice_gain) gain[v] = 0.0f;
    }
}

void *brindel_new(t_symbol *, long argc, t_atom *argv) noexcept {
    // Nothing is obtained before the arguments are known to be there.
    if (argc <= 0) {
        post("Missing arg #1 Envelop Buffer Name #2 Outputs number (1-2-4-6-8)");
        return nullptr;
    }
    auto *x = static_cast<t_brindel *>(newobject(brindel_class));
    if (!x) return nullptr;
    z_dsp_setup(&x->ob, brindel_inlets);

    // Arguments by atom type, not position: a long is the output count, a symbol names slot 0.
    int32_t num_outputs = 2;
    t_symbol *slot0 = nullptr;
    for (long i = 0; i < argc; ++i) {
        switch (argv[i].a_type) {
        case A_LONG: num_outputs = argv[i].a_w.w_long; break;
        case A_FLOAT:
            post("argument %ld is a float : %lf, not assigned", i, double(argv[i].a_w.w_float));
            break;
        case A_SYM: slot0 = argv[i].a_w.w_sym; break;
        default: break;
        }
    }

    // The information outlet first: the host puts each new outlet left of the earlier ones.
    void *info = outlet_new(x, nullptr);
    const int signal_outlets = brindel_signal_outlets(num_outputs);
    for (int i = 0; i < signal_outlets; ++i) outlet_new(x, "signal");

    if (!pool_alloc_all(x)) {
        post("error brindel~ : not enough memory to instanciate");
        pool_release_all(x);
        return nullptr;
    }

    toolkit::common_init(&x->g, &x->ob, toolkit::grain_kind::brindel, brindel_voices, num_outputs,
                         slot0);
    x->g.info_outlet = info;
    x->g.voice_busy = x->voice_busy;
    x->inlet_freq.store(440.0f);
    x->inlet_phase.store(0.0f);
    pool_reset(x);

    x->g.interp_table = reinterpret_cast<float *>(sysmem_newptr(toolkit::interp_table_bytes));
    if (!x->g.interp_table) {
        post("brindel~ : not enough memory to instanciate");
        pool_release_all(x);
        return nullptr;
    }
    toolkit::interp_table_fill(x->g.interp_table);
    return x;
}

void brindel_free(t_brindel *x) noexcept {
    z_dsp_free(&x->ob); // no perform call after this: only then is the memory released
    pool_release_all(x);
}

// ---- messages ----------------------------------------------------------------------------------------

void brindel_setenv(t_brindel *x, t_symbol *s, long argc, t_atom *argv) noexcept {
    toolkit::env_set(&x->g, s, argc, argv);
}
void brindel_envbuffer(t_brindel *x, t_atom_long n) noexcept { toolkit::env_select(&x->g, n); }
void brindel_info(t_brindel *x, t_atom_long code) noexcept { toolkit::env_report(&x->g, code); }
void brindel_nvoices(t_brindel *x, t_atom_long n) noexcept { toolkit::common_nvoices(&x->g, n); }
void brindel_sinterp(t_brindel *x, t_atom_long n) noexcept { toolkit::common_sinterp(&x->g, n); }
void brindel_poll(t_brindel *x, t_atom_long n) noexcept { toolkit::common_poll(&x->g, n); }
void brindel_clear(t_brindel *x) noexcept { toolkit::common_clear(&x->g); }
void brindel_bang(t_brindel *x) noexcept { toolkit::common_bang(&x->g); }
void brindel_tellme(t_brindel *x) noexcept { toolkit::common_tellme(&x->g, -1); }

void brindel_assist(t_brindel *x, void *, long kind, long index, char *text) noexcept {
    toolkit::common_assist(&x->g, kind, index, text);
}

// A double from the host as a 32-bit float; beyond the float range it becomes an infinity (which
// then starts no grain) rather than an undefined conversion.
float to_float(double f) noexcept {
    constexpr double max = double(std::numeric_limits<float>::max());
    if (f > max) return std::numeric_limits<float>::infinity();
    if (f < -max) return -std::numeric_limits<float>::infinity();
    return float(f);
}

// A float is stored by the inlet it reached; it changes only grains that start afterwards.
void brindel_float(t_brindel *x, double f) noexcept {
    switch (x->ob.z_in) {
    case 0: toolkit::common_first_inlet_float(&x->g); break;
    case 1: x->inlet_freq.store(to_float(f)); break;
    case 2: x->inlet_phase.store(toolkit::inlet_phase_rule(f)); break;
    case 3: x->g.inlet_amp.store(toolkit::inlet_nonneg_rule(f)); break;
    case 4: toolkit::inlet_length_set(&x->g, f); break;
    case 5: x->g.inlet_pan.store(to_float(f)); break;
    case 6: x->g.inlet_dist.store(to_float(f)); break;
    default: break;
    }
}

// "grain": validated here, started by the perform routine at its next vector (the only writer of
// voices). A full queue drops the grain silently, as a full pool does.
void brindel_grain(t_brindel *x, t_symbol *, long argc, t_atom *argv) noexcept {
    if (argc < 8) {
        post("brindel~ : grain args are <delay(ms)> <freq> <phase> <amp> <length> <pan> <dist> "
             "<envbuffer>");
        return;
    }
    grain_request r;
    r.delay_ms = toolkit::arg_float(argv, 0);
    r.freq = toolkit::arg_float(argv, 1);
    r.phase = toolkit::arg_float(argv, 2);
    r.amp = toolkit::arg_float(argv, 3);
    r.length_ms = toolkit::arg_float(argv, 4);
    r.pan = toolkit::arg_float(argv, 5);
    r.dist = toolkit::arg_float(argv, 6);
    r.env_slot = toolkit::trunc_i32(toolkit::arg_float(argv, 7));
    r.voice_limit = x->g.voice_limit.load();
    r.clear_seq = x->g.clear_seq.load(std::memory_order_acquire);
    x->grain_queue.push(r);
}

} // namespace

extern "C" EXT_EXPORT int main(void) {
    toolkit::toolkit_setup();
    setup(&brindel_class, as_method(brindel_new),
          as_method(brindel_free), long(sizeof(t_brindel)), nullptr, A_GIMME,
          A_NOTHING);
    addmess(as_method(brindel_setenv), "setenv", A_GIMME, A_NOTHING);
    addmess(as_method(brindel_envbuffer), "envbuffer", A_LONG, A_NOTHING);
    addmess(as_method(brindel_nvoices), "nvoices", A_LONG, A_NOTHING);
    addmess(as_method(brindel_tellme), "tellme", A_NOTHING);
    addbang(as_method(brindel_bang));
    addfloat(as_method(brindel_float));
    addmess(as_method(brindel_assist), "assist", A_CANT, A_NOTHING);
    addmess(as_method(brindel_dsp), "dsp", A_CANT, A_NOTHING);
    addmess(as_method(brindel_sinterp), "sinterp", A_LONG, A_NOTHING);
    addmess(as_method(brindel_clear), "clear", A_NOTHING);
    addmess(as_method(brindel_clear), "panic", A_NOTHING);
    addmess(as_method(brindel_grain), "grain", A_GIMME, A_NOTHING);
    addmess(as_method(brindel_poll), "poll", A_LONG, A_NOTHING);
    addmess(as_method(brindel_info), "info", A_LONG, A_NOTHING);
    z_add_signalmethod();
    post("brindel~ v2.0 : enveloped sine grains, 1 to 8 outputs, up to 511 voices");
    post("build %s", __DATE__);
    return 0;
}
