// hostprobe.cpp: the test external hostprobe~: a signal object with every kind of handler, which
// reports what the host passed it through console lines, lists and its record (probe_record.h).
//
// Creation arguments: signal inlets (long, default 1), signal outlets (long, default 1, at most 8);
// the symbol "fail" makes creation fail, "alloc" takes a block from sysmem_newptr first.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "probe_record.h"

namespace {

t_messlist *probe_class = nullptr;
int main_runs = 0;
int64_t perform_counter = 0; // audio thread only (run_vector serialises vectors)
t_symbol *sym_tick = nullptr;

float load(const float &v) { return std::atomic_ref<const float>(v).load(std::memory_order_relaxed); }
void store(float &v, float x) { std::atomic_ref<float>(v).store(x, std::memory_order_relaxed); }

t_int *probe_perform(t_int *w) {
    auto *x = reinterpret_cast<t_hostprobe *>(w[1]);
    const int n = static_cast<int>(w[2]);
    const int n_in = x->n_in;
    const int n_out = x->n_out;
    t_sample **ins = reinterpret_cast<t_sample **>(&w[3]);
    t_sample **outs = reinterpret_cast<t_sample **>(&w[3 + n_in]);
    x->w1_seen = w[1];
    x->stamp = ++perform_counter;
    ++x->performs;
    x->disabled_seen = z_isdisabled(&x->ob);
    const float gain = load(x->gain);
    const float bias = load(x->bias);
    for (int i = 0; i < n; ++i) {
        float in[32];
        for (int k = 0; k < n_in; ++k) in[k] = ins[k][i]; // all inputs before any output: vectors may alias
        for (int k = 0; k < n_out; ++k) outs[k][i] = (n_in > 0 ? in[k % n_in] * gain : 0.0f) + bias;
    }
    // Reads every sample of the watched buffer~: the host changes buffers only between vectors.
    if (t_symbol *watch = std::atomic_ref<t_symbol *>(x->watch).load(std::memory_order_acquire)) {
        t_object *b = symbol_thing(watch);
        float sum = 0.0f;
        int32_t frames = -1;
        if (b && buffer_valid(b) && !buffer_inuse(b)) {
            frames = buffer_frames(b);
            const float *samples = buffer_samples(b);
            for (int32_t i = 0; i < frames; ++i) sum += samples[i];
        }
        x->watch_sum = sum;
        x->watch_frames = frames;
    }
    const int emit = std::atomic_ref<int32_t>(x->emit).load(std::memory_order_relaxed);
    for (int e = 0; e < emit; ++e) {
        t_atom a[2];
        a[0].a_type = A_LONG;
        a[0].a_w.w_long = x->performs;
        a[1].a_type = A_SYM;
        a[1].a_w.w_sym = sym_tick;
        outlet_list(x->info, nullptr, 2, a);
    }
    return w + 3 + n_in + n_out;
}

t_int *probe_mark(t_int *w) {
    auto *x = reinterpret_cast<t_hostprobe *>(w[1]);
    if (x->marks + 1 == x->performs) ++x->marks; // runs right after probe_perform in each vector
    return w + 2;
}

void probe_dsp(t_hostprobe *x, t_signal **sp, short *count) {
    const int total = x->n_in + x->n_out;
    ++x->dsp_calls;
    x->dsp_n = sp[0] ? sp[0]->s_n : 0;
    x->dsp_sr = sp[0] ? sp[0]->s_sr : 0.0f;
    for (int i = 0; i < total && i < 32; ++i) {
        x->counts[i] = count[i];
        x->vecs[i] = sp[i]->s_vec;
    }
    void *words[2 + 32];
    words[0] = x;
    words[1] = reinterpret_cast<void *>(static_cast<t_int>(sp[0]->s_n));
    for (int i = 0; i < total; ++i) words[2 + i] = sp[i]->s_vec;
    dsp_addv(probe_perform, 2 + total, words);
    dsp_add(probe_mark, 1, x);
    post("dsp %d", static_cast<int>(sp[0] ? sp[0]->s_n : 0));
}

void *probe_new(t_symbol *s, long argc, t_atom *argv) {
    (void)s;
    long longs[2] = {1, 1};
    int n_longs = 0;
    bool fail = false, alloc = false;
    for (long i = 0; i < argc; ++i) {
        if (argv[i].a_type == A_LONG && n_longs < 2) longs[n_longs++] = argv[i].a_w.w_long;
        if (argv[i].a_type == A_SYM && std::strcmp(argv[i].a_w.w_sym->s_name, "fail") == 0) fail = true;
        if (argv[i].a_type == A_SYM && std::strcmp(argv[i].a_w.w_sym->s_name, "alloc") == 0) alloc = true;
    }
    auto *x = static_cast<t_hostprobe *>(newobject(probe_class));
    if (!x) return nullptr;
    if (fail) {
        post("hostprobe~: refusing");
        return nullptr;
    }
    if (alloc) {
        x->block = sysmem_newptr(64);
        if (!x->block) {
            post("hostprobe~: no memory");
            return nullptr;
        }
    }
    x->n_in = static_cast<int32_t>(longs[0] < 0 ? 0 : longs[0] > 8 ? 8 : longs[0]);
    x->n_out = static_cast<int32_t>(longs[1] < 0 ? 0 : longs[1] > 8 ? 8 : longs[1]);
    z_dsp_setup(&x->ob, x->n_in);
    x->info = outlet_new(x, nullptr);
    for (int k = 0; k < x->n_out; ++k) x->sig_out[k] = outlet_new(x, "signal");
    x->gain = 1.0f;
    post("hostprobe~: new %d %d", x->n_in, x->n_out);
    return x;
}

void probe_free(t_hostprobe *x) {
    z_dsp_free(&x->ob);
    post("hostprobe~: free");
    sysmem_freeptr(x->block);
}

void probe_long(t_hostprobe *, t_atom_long v) { post("long %d", static_cast<int>(v)); }
void probe_flt(t_hostprobe *, double v) { post("flt %.9g", v); }
void probe_sym(t_hostprobe *, t_symbol *s) { post("sym '%s'", s->s_name); }
void probe_none(t_hostprobe *) { post("none"); }
void probe_secret(t_hostprobe *) { post("secret"); }
void probe_bang(t_hostprobe *x) { post("bang %d", static_cast<int>(x->ob.z_in)); }
void probe_float(t_hostprobe *x, double v) { post("float %g %d", v, static_cast<int>(x->ob.z_in)); }

void probe_gimme(t_hostprobe *, t_symbol *s, long argc, t_atom *argv) {
    std::string text = std::string("gimme ") + s->s_name + " " + std::to_string(argc);
    for (long i = 0; i < argc; ++i) {
        char buf[128];
        switch (argv[i].a_type) {
        case A_LONG: std::snprintf(buf, sizeof buf, " l:%d", static_cast<int>(argv[i].a_w.w_long)); break;
        case A_FLOAT: std::snprintf(buf, sizeof buf, " f:%g", static_cast<double>(argv[i].a_w.w_float)); break;
        case A_SYM: std::snprintf(buf, sizeof buf, " s:%s", argv[i].a_w.w_sym->s_name); break;
        default: std::snprintf(buf, sizeof buf, " ?"); break;
        }
        text += buf;
    }
    post("%s", text.c_str());
}

void probe_assist(t_hostprobe *, void *, long kind, long index, char *text) {
    if (index == 99) return; // writes nothing
    std::snprintf(text, ASSIST_MAX, "%s %ld", kind == ASSIST_INLET ? "in" : "out", index);
}

// Sends the list {k} out of the outlet made k-th (0: the information outlet).
void probe_out(t_hostprobe *x, t_atom_long k) {
    void *o = k == 0 ? x->info : (k >= 1 && k <= x->n_out ? x->sig_out[k - 1] : nullptr);
    if (!o) return;
    t_atom a;
    a.a_type = A_LONG;
    a.a_w.w_long = k;
    outlet_list(o, nullptr, 1, &a);
}

void probe_list(t_hostprobe *x, t_symbol *, long argc, t_atom *argv) {
    outlet_list(x->info, nullptr, static_cast<short>(argc), argv);
}

void probe_emit(t_hostprobe *x, t_atom_long n) {
    std::atomic_ref<int32_t>(x->emit).store(n, std::memory_order_relaxed);
}
void probe_gain(t_hostprobe *x, double g) { store(x->gain, static_cast<float>(g)); }
void probe_bias(t_hostprobe *x, double b) { store(x->bias, static_cast<float>(b)); }
void probe_watch(t_hostprobe *x, t_symbol *s) {
    std::atomic_ref<t_symbol *>(x->watch).store(s, std::memory_order_release);
}
void probe_dspfree(t_hostprobe *x) { z_dsp_free(&x->ob); }
void probe_mains(t_hostprobe *) { post("mains %d", main_runs); }
void probe_sr(t_hostprobe *) { post("sr %g", static_cast<double>(sys_getsr())); }

void probe_buf(t_hostprobe *, t_symbol *s) {
    t_object *b = symbol_thing(s);
    if (!b) {
        post("buf none");
        return;
    }
    const int32_t frames = buffer_frames(b);
    const float *samples = buffer_samples(b);
    post("buf %s valid %d inuse %d frames %d last %g", object_classname(b)->s_name,
         static_cast<int>(buffer_valid(b)), static_cast<int>(buffer_inuse(b)), static_cast<int>(frames),
         frames > 0 && samples ? static_cast<double>(samples[frames - 1]) : -1.0);
}

} // namespace

extern "C" EXT_EXPORT int main() {
    ++main_runs;
    setup(&probe_class, as_method(probe_new), as_method(probe_free), sizeof(t_hostprobe), nullptr,
          A_GIMME, A_NOTHING);
    addmess(as_method(probe_long), "long", A_LONG, A_NOTHING);
    addmess(as_method(probe_flt), "flt", A_FLOAT, A_NOTHING);
    addmess(as_method(probe_sym), "sym", A_SYM, A_NOTHING);
    addmess(as_method(probe_gimme), "gimme", A_GIMME, A_NOTHING);
    addmess(as_method(probe_none), "none", A_NOTHING);
    addmess(as_method(probe_secret), "secret", A_CANT, A_NOTHING);
    addmess(as_method(probe_assist), "assist", A_CANT, A_NOTHING);
    addmess(as_method(probe_dsp), "dsp", A_CANT, A_NOTHING);
    addmess(as_method(probe_out), "out", A_LONG, A_NOTHING);
    addmess(as_method(probe_list), "list", A_GIMME, A_NOTHING);
    addmess(as_method(probe_emit), "emit", A_LONG, A_NOTHING);
    addmess(as_method(probe_gain), "gain", A_FLOAT, A_NOTHING);
    addmess(as_method(probe_bias), "bias", A_FLOAT, A_NOTHING);
    addmess(as_method(probe_dspfree), "dspfree", A_NOTHING);
    addmess(as_method(probe_mains), "mains", A_NOTHING);
    addmess(as_method(probe_sr), "sr", A_NOTHING);
    addmess(as_method(probe_buf), "buf", A_SYM, A_NOTHING);
    addmess(as_method(probe_watch), "watch", A_SYM, A_NOTHING);
    addbang(as_method(probe_bang));
    addfloat(as_method(probe_float));
    z_add_signalmethod();
    sym_tick = gensym("tick");
    post("hostprobe~ main");
    return 0;
}
