// common.cpp: what both externals share besides the envelope table and the pan law: the cached
// symbols, the common defaults, the interpolation table, the float-inlet rules, the control messages
// (message thread), the clear request and the voices report (audio thread), and small real-time
// helpers (truncation, denormal mode).
#include "toolkit/common.h"

#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

#include "internal.h"
#include "toolkit/simd.h"

namespace toolkit {

namespace {

// Written by toolkit_setup (message thread, from main), read by every thread afterwards.
std::atomic<t_symbol *> g_sym_buffer{nullptr};
std::atomic<t_symbol *> g_sym_empty_buffer{nullptr};
std::atomic<t_symbol *> g_sym_voices{nullptr};
std::atomic<t_symbol *> g_sym_active_env{nullptr};
std::atomic<t_symbol *> g_sym_envbuffer{nullptr};

// A double as a float, out-of-range values going to the infinity of their sign (the IEEE result,
// spelled out: the plain conversion of such a value is undefined in C++).
float to_float(double x) noexcept {
    if (x > double(FLT_MAX)) return std::numeric_limits<float>::infinity();
    if (x < -double(FLT_MAX)) return -std::numeric_limits<float>::infinity();
    return float(x);
}

const char *const brindel_inlets[] = {
    " bang,set, signal zero X-ing, et cetera)",
    " freq (float & signal) ",
    " phase (float & signal) ",
    " amp (float & signal) ",
    " length (float & signal) ",
    " pan (float & signal) ",
    " dist (float & signal) ",
};

const char *const carvell_inlets[] = {
    " Input Signal",
    " bang ,set , signal zero X-ing, ...",
    " delay (float & signal) ",
    " transpos (float & signal) ",
    " amp (float & signal) ",
    " length (float & signal) ",
    " pan (float & signal) ",
    " dist (float & signal) ",
};

const char *const info_outlet_text = "info out (voices...)";

} // namespace

// ---- symbols ---------------------------------------------------------------------------------------

void toolkit_setup() noexcept {
    if (g_sym_envbuffer.load(std::memory_order_acquire) != nullptr) return;
    g_sym_buffer.store(gensym("buffer~"), std::memory_order_release);
    g_sym_empty_buffer.store(gensym("empty_buffer"), std::memory_order_release);
    g_sym_voices.store(gensym("voices"), std::memory_order_release);
    g_sym_active_env.store(gensym("active_env"), std::memory_order_release);
    g_sym_envbuffer.store(gensym("envbuffer"), std::memory_order_release);
    // The renderers' instruction set: the machine's best unless GRAINHOST_SIMD names a lower one.
    simd_level level;
    if (simd_parse(std::getenv("GRAINHOST_SIMD"), level)) simd_select(level);
}

t_symbol *sym_buffer() noexcept { return g_sym_buffer.load(std::memory_order_acquire); }
t_symbol *sym_empty_buffer() noexcept { return g_sym_empty_buffer.load(std::memory_order_acquire); }
t_symbol *sym_voices() noexcept { return g_sym_voices.load(std::memory_order_acquire); }
t_symbol *sym_active_env() noexcept { return g_sym_active_env.load(std::memory_order_acquire); }
t_symbol *sym_envbuffer() noexcept { return g_sym_envbuffer.load(std::memory_order_acquire); }

// ---- creation --------------------------------------------------------------------------------------

void common_init(grain_common *g, t_pxobject *self, grain_kind kind, int32_t voice_capacity,
                 int32_t num_outputs, t_symbol *slot0) noexcept {
    toolkit_setup(); // normally done by main already; creation may call gensym
    g->self = self;
    g->kind = kind;
    g->class_name = kind == grain_kind::carvell ? "carvell~" : "brindel~";
    g->voice_capacity = voice_capacity;
    g->num_outputs = num_outputs;
    g->sample_rate = sys_getsr();

    env_init(g->env, slot0);

    g->voice_limit.store(voice_capacity < 64 ? voice_capacity : 64);
    g->sinterp_flag.store(1);
    g->bang_pending.store(0);
    g->poll_flag.store(0);
    g->clear_seq.store(0);
    g->clear_seen = 0;

    g->inlet_amp.store(1.0f);
    g->inlet_length.store(100.0f);
    g->length_dir.store(1);
    g->inlet_pan.store(0.0f);
    g->inlet_dist.store(1.0f);

    for (int16_t &flag : g->sig_connected) flag = 0;
    g->prev_trigger = 0.0f;
}

void interp_table_fill(float *table) noexcept {
    for (int k = 0; k < 1024; ++k) {
        table[2 * k] = 1.0f - float(k) / 1024.0f;
        table[2 * k + 1] = float(k) / 1024.0f;
    }
}

// ---- float-inlet rules -----------------------------------------------------------------------------

float inlet_phase_rule(double x) noexcept {
    double w = std::fmod(x, 1.0);
    if (w < 0.0) w += 1.0;
    const float stored = float(w); // w is NaN or inside [0, 1): the conversion is defined
    // NB: fmod(-1.0, 1.0) is -0.0, and a tiny negative w rounds up to 1.0f once 1 is added: both
    // are the phase 0, stored as +0 so that 0 <= value < 1 holds.
    if (stored == 0.0f || stored >= 1.0f) return 0.0f;
    return stored;
}

float inlet_nonneg_rule(double x) noexcept { return x > 0.0 ? to_float(x) : 0.0f; }

void inlet_length_set(grain_common *g, double x) noexcept {
    int32_t dir = 1;
    double magnitude = x;
    if (x < 0.0) {
        dir = -1;
        magnitude = -x;
    }
    // Written so that NaN fails the comparison and gives the minimum.
    const double length = magnitude > 0.1 ? magnitude : 0.1;
    g->inlet_length.store(to_float(length));
    g->length_dir.store(dir);
}

// ---- messages --------------------------------------------------------------------------------------

void common_bang(grain_common *g) noexcept { g->bang_pending.store(1); }

void common_nvoices(grain_common *g, t_atom_long n) noexcept {
    const int32_t capacity = g->voice_capacity;
    int32_t limit;
    if (n <= 0) limit = 2;
    else if (n < capacity) limit = n + 1;
    else limit = capacity;
    g->voice_limit.store(limit);
}

void common_sinterp(grain_common *g, t_atom_long n) noexcept { g->sinterp_flag.store(n != 0 ? 1 : 0); }

void common_poll(grain_common *g, t_atom_long n) noexcept { g->poll_flag.store(n > 0 ? 1 : 0); }

void common_clear(grain_common *g) noexcept {
    g->clear_seq.fetch_add(1u, std::memory_order_release);
}

void common_first_inlet_float(grain_common *g) noexcept {
    (void)g;
    post("a float in first inlet don't do anything");
}

void common_assist(const grain_common *g, long kind, long index, char *text) noexcept {
    if (text == nullptr || index < 0) return;
    const char *s = nullptr;
    if (kind == ASSIST_INLET) {
        if (g->kind == grain_kind::carvell) {
            if (index < long(std::size(carvell_inlets))) s = carvell_inlets[index];
        } else {
            if (index < long(std::size(brindel_inlets))) s = brindel_inlets[index];
        }
    } else if (kind == ASSIST_OUTLET) {
        static const char *const outputs[] = {
            "(signal) Output 1", "(signal) Output 2", "(signal) Output 3", "(signal) Output 4",
            "(signal) Output 5", "(signal) Output 6", "(signal) Output 7", "(signal) Output 8",
        };
        const int32_t n = g->num_outputs;
        switch (index) {
        case 0: case 3: case 5: case 7: s = outputs[index]; break;
        case 1: s = n > 1 ? outputs[1] : info_outlet_text; break;
        case 2: s = n > 2 ? outputs[2] : info_outlet_text; break;
        case 4: s = n > 4 ? outputs[4] : info_outlet_text; break;
        case 6: s = n > 6 ? outputs[6] : info_outlet_text; break;
        case 8: s = info_outlet_text; break;
        default: break;
        }
    }
    if (s != nullptr) std::snprintf(text, ASSIST_MAX, "%s", s);
}

void common_tellme(grain_common *g, long ring_length) noexcept {
    const env_table &table = g->env;
    post("  ");
    post("_______%s's State_______", g->class_name);
    post("::global settings::");
    post("outputs : %ld", long(g->num_outputs));
    post("voices : %ld", long(g->voice_limit.load()));
    if (ring_length >= 0) post("buffer length : %ld", ring_length);
    post("________________________________");
    post("::envelope buffers::");
    post("-- Active envelope buffer : %ld --", long(table.active.load()) + 1);
    const int32_t count = env_count(table);
    post("-- Number of envelope buffers : %ld --", long(count));
    for (int32_t i = 0; i < count; ++i) {
        t_symbol *name = table.name[i].load(std::memory_order_acquire);
        if (name != nullptr) post("   envelope buffer~ %ld name : %s", long(i) + 1, name->s_name);
    }
    post("________________________________");
    env_report(g, -1);
}

// ---- audio thread ----------------------------------------------------------------------------------

uint32_t common_take_clear(grain_common *g) noexcept {
    const uint32_t seq = g->clear_seq.load(std::memory_order_acquire);
    if (seq != g->clear_seen) {
        if (g->voice_busy != nullptr) {
            for (int32_t v = 0; v < g->voice_capacity; ++v) g->voice_busy[v].store(0);
        }
        g->clear_seen = seq;
    }
    return seq;
}

void common_voices_report(grain_common *g) noexcept {
    if (g->poll_flag.load() == 0) return;
    t_symbol *voices = sym_voices();
    if (voices == nullptr || g->info_outlet == nullptr) return;
    int32_t limit = g->voice_limit.load();
    if (limit > g->voice_capacity) limit = g->voice_capacity;
    int32_t busy = 0;
    if (g->voice_busy != nullptr) {
        for (int32_t v = 0; v < limit; ++v) busy += g->voice_busy[v].load() != 0 ? 1 : 0;
    }
    t_atom atoms[2];
    atoms[0].a_type = A_SYM;
    atoms[0].a_w.w_sym = voices;
    atoms[1].a_type = A_LONG;
    atoms[1].a_w.w_long = busy;
    outlet_list(g->info_outlet, nullptr, 2, atoms);
}

int32_t trunc_i32(double v) noexcept {
    if (v != v) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return int32_t(v);
}

// ---- denormals -------------------------------------------------------------------------------------

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64)
namespace {
constexpr unsigned mxcsr_ftz = 0x8000; // flush results that would be denormal to zero
constexpr unsigned mxcsr_daz = 0x0040; // read denormal operands as zero
} // namespace

denormal_guard::denormal_guard() noexcept : saved_(_mm_getcsr()) {
    _mm_setcsr(saved_ | mxcsr_ftz | mxcsr_daz);
}
denormal_guard::~denormal_guard() { _mm_setcsr(saved_); }
#elif defined(__aarch64__)
namespace {
constexpr uint64_t fpcr_fz = uint64_t(1) << 24; // flush denormal inputs and results to zero
} // namespace

denormal_guard::denormal_guard() noexcept {
    uint64_t fpcr;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(fpcr));
    saved_ = unsigned(fpcr);
    fpcr |= fpcr_fz;
    __asm__ __volatile__("msr fpcr, %0" : : "r"(fpcr));
}
denormal_guard::~denormal_guard() {
    const uint64_t fpcr = saved_;
    __asm__ __volatile__("msr fpcr, %0" : : "r"(fpcr));
}
#else
// No portable way to switch the mode: the guard does nothing on other architectures.
denormal_guard::denormal_guard() noexcept : saved_(0) {}
denormal_guard::~denormal_guard() {}
#endif

} // namespace toolkit
