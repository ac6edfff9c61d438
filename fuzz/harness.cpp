// harness.cpp: the program an input encodes, played against grainhost::Host (see harness.h).
//
// Encoding (every read past the end gives 0):
//   header   flags(u8: bit0 carvell~ first, bit1 aliased vectors, bit2 no default envelope)
//            rate(u8 [+u16]) size(u8 [+u16]) first box: nargs(u8 % 7) atoms...
//   then     op(u8 % op_count) operands...   until the bytes, the operation or the sample budget end
// Numbers come from a palette (0, +-1, +-1e6, NaN, infinities, denormals, FLT_MAX, 1e300, ...),
// small integers, 16-bit fractions or raw 32-bit float / int patterns; symbols from a pool of
// buffer names, selectors, an empty, a long and a printf-like word, or bytes of the input.
#include "harness.h"

#include <grainhost/host.hpp>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <vector>

namespace ghfuzz {
namespace {

using grainhost::Atom;
using grainhost::Atoms;
using grainhost::BoxId;

constexpr double bound = 1e6;    // inputs within this keep the outputs-finite check on
constexpr int max_boxes = 4;     // live boxes at a time
constexpr int max_ops = 400;     // operations per input
constexpr long sample_budget = 1L << 14; // samples run per input (all vectors together)
constexpr int vector_budget = 64;        // vectors run per input

bool in_bound(double v) { return std::isfinite(v) && std::fabs(v) <= bound; }
// A finite number beyond the bound. NaN and the infinities are not "huge": a grain whose start
// parameters are not finite starts no grain, and a control number that is not finite is read as
// 0 or by a float-inlet rule, so they must leave every output finite.
bool huge(double v) { return std::isfinite(v) && std::fabs(v) > bound; }

// A double as the float an atom carries; beyond the float range it is an infinity (never a
// conversion the language leaves undefined).
float as_float(double v) {
    if (std::isnan(v)) return std::numeric_limits<float>::quiet_NaN();
    if (v > double(FLT_MAX)) return std::numeric_limits<float>::infinity();
    if (v < -double(FLT_MAX)) return -std::numeric_limits<float>::infinity();
    return float(v);
}

class reader {
public:
    reader(const uint8_t *d, size_t n) : d_(d), n_(n) {}
    bool done() const { return pos_ >= n_; }
    uint8_t u8() { return pos_ < n_ ? d_[pos_++] : 0; }
    uint16_t u16() { return uint16_t(u8() | (u8() << 8)); }
    uint32_t u32() { return uint32_t(u16()) | (uint32_t(u16()) << 16); }

    double number() {
        static const double palette[32] = {
            0.0, 1.0, -1.0, 0.5, 100.0, 440.0, 1e6, -1e6,
            std::numeric_limits<double>::quiet_NaN(), HUGE_VAL, -HUGE_VAL, 1e-40, -1e-40,
            double(FLT_MIN), double(FLT_MAX), -double(FLT_MAX),
            1e7, 1e30, 0.1, 0.05, 0.25, 44100.0, 2.5, -0.0,
            1000.0, 10.0, 0.001, 5000.0, 1000001.0, -0.5, 1e300, 2147483648.0};
        const uint8_t tag = u8();
        if (tag < 32) return palette[tag];
        if (tag < 160) return double(int(tag) - 96);                        // -64 .. 63
        if (tag < 224) return (double(u16()) - 32768.0) / 256.0;            // -128 .. 128 in 1/256
        const uint32_t bits = u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return double(f);
    }

    int32_t integer() {
        static const int32_t palette[16] = {0, 1, -1, 2, 3, 63, 64, 255, 256, 511, 512,
                                            INT32_MAX, INT32_MIN, 1000000, 1000001, -1000001};
        const uint8_t tag = u8();
        if (tag < 16) return palette[tag];
        if (tag < 240) return int32_t(tag) - 48; // -32 .. 191
        return int32_t(u32());
    }

    std::string symbol() {
        static const std::string pool[16] = {
            "env", "env2", "e3", "empty_buffer", "", "buffer~", "voices", "setenv",
            "bang", "dsp", std::string(300, 'L'), "%s%n%d%%", "signal", "float", "list", "1.5"};
        const uint8_t tag = u8();
        if (tag < 200) return pool[tag % 16];
        const int len = u8() % 24;
        std::string s;
        for (int i = 0; i < len; ++i) s.push_back(char(u8() | 1)); // no NUL inside a symbol
        return s;
    }

    static const std::vector<std::string> &buffer_names() {
        static const std::vector<std::string> names = {"env", "env2", "e3", "empty_buffer",
                                                       std::string(300, 'L'), "%s%n%d%%"};
        return names;
    }
    std::string buffer_name() {
        const uint8_t tag = u8();
        return buffer_names()[(tag & 0x80) ? 4 + (tag & 1) : (tag % 4)];
    }

private:
    const uint8_t *d_;
    size_t n_;
    size_t pos_ = 0;
};

// One signal a fed inlet receives, sample by sample.
struct generator {
    uint8_t kind = 0;
    float value = 0.0f;
    int period = 1;
    uint32_t seed = 1;
    uint64_t t = 0;
};

struct box_state {
    BoxId id = 0;
    bool tainted = false; // an input left +-1e6: its outputs are not checked
    bool records = false; // a carvell~: signal inlet 1 is recorded and played back as it is
    std::map<int, generator> feeds; // inlet -> what the harness writes there
};

struct connection {
    BoxId src;
    int outlet;
    BoxId dst;
    int inlet;
};

class player {
public:
    player(const uint8_t *data, size_t size, const options &opt) : in_(data, size), opt_(opt) {}

    result play() {
        const uint8_t flags = in_.u8();
        host_ = &cached_host((flags & 2) != 0, opt_.trace);
        if (flags & 2) trace("aliased vectors");
        const float sr = rate();
        const int n = size();
        if (!(flags & 4)) {
            std::vector<float> hann(512);
            for (size_t i = 0; i < hann.size(); ++i) {
                hann[i] = float(0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / double(hann.size())));
            }
            host_->buffer_create("env", hann);
        }
        create((flags & 1) ? "carvell~" : "brindel~");
        trace("dsp_start " + std::to_string(sr) + " " + std::to_string(n));
        host_->dsp_start(sr, n);

        for (int op = 0; op < max_ops && !in_.done() && !failed_; ++op) step();
        // Messages still queued reach the perform routines.
        if (!failed_ && host_->dsp_running()) run(2, true);
        reset();
        return res_;
    }

private:
    // A Host makes an 18 MB list-capture ring at its first dsp_start, which costs more than a whole
    // input under AddressSanitizer. So one Host serves consecutive inputs with the same aliasing,
    // up to 256 of them (it keeps the records of replaced buffers until it goes), and reset() gives
    // the next input the state of a new Host: no boxes, no buffers, no chain, an empty console,
    // the rate 44100, allocations succeeding.
    static grainhost::Host &cached_host(bool alias, bool echo) {
        static std::unique_ptr<grainhost::Host> host;
        static bool host_alias = false;
        static bool host_echo = false;
        static int uses = 0;
        if (!host || host_alias != alias || host_echo != echo || ++uses > 256) {
            host.reset();
            grainhost::HostOptions ho;
            ho.alias_vectors = alias;
            ho.echo_console = echo;
            host = std::make_unique<grainhost::Host>(ho);
            host_alias = alias;
            host_echo = echo;
            uses = 1;
        }
        return *host;
    }

    // With options.trace, each operation on stderr as it is played (the console lines interleaved).
    void trace(const std::string &what) {
        if (opt_.trace) std::fprintf(stderr, "> %s\n", what.c_str());
    }
    static std::string show(const Atoms &args) {
        std::string s;
        for (const Atom &a : args) {
            s += ' ';
            s += a.type == Atom::Type::Symbol ? "'" + a.str().substr(0, 24) + "'" : a.str();
        }
        return s;
    }

    void reset() {
        save_console();
        host_->fail_allocations_after(-1);
        for (const box_state &b : boxes_) {
            host_->clear_lists(b.id);
            host_->destroy(b.id);
        }
        boxes_.clear();
        host_->dsp_stop();
        for (const std::string &name : reader::buffer_names()) host_->buffer_delete(name);
        host_->dsp_start(44100.0f, 64); // sys_getsr() back to 44100, with nothing in the chain
        host_->dsp_stop();
        host_->clear_console();
    }

    float rate() {
        static const float rates[8] = {44100, 48000, 1000, 384000, 96000, 22050, 8000, 11025};
        const uint8_t tag = in_.u8();
        return tag < 8 ? rates[tag] : float(1000 + in_.u16() % 383001);
    }
    int size() {
        static const int sizes[10] = {64, 1, 2, 3, 4096, 128, 256, 512, 7, 1024};
        const uint8_t tag = in_.u8();
        return tag < 10 ? sizes[tag] : 1 + in_.u16() % 4096;
    }

    Atom atom(bool &bounded) {
        switch (in_.u8() % 3) {
        case 0: {
            const int32_t v = in_.integer();
            bounded &= !huge(double(v));
            return Atom::lng(v);
        }
        case 1: {
            const double v = in_.number();
            bounded &= !huge(v);
            return Atom::flt(as_float(v));
        }
        default: return Atom::sym(in_.symbol());
        }
    }
    Atoms atoms(int count, bool &bounded) {
        Atoms a;
        for (int i = 0; i < count; ++i) a.push_back(atom(bounded));
        return a;
    }

    std::string pick_class() {
        const uint8_t tag = in_.u8();
        if (!opt_.only_class.empty()) return opt_.only_class;
        return (tag & 1) ? "carvell~" : "brindel~";
    }
    box_state *pick_box() {
        const uint8_t tag = in_.u8();
        if (boxes_.empty()) return nullptr;
        return &boxes_[tag % boxes_.size()];
    }

    void create(std::string cls) {
        if (!opt_.only_class.empty()) cls = opt_.only_class;
        bool bounded = true;
        const Atoms args = atoms(in_.u8() % 7, bounded);
        if (int(boxes_.size()) >= max_boxes) return;
        trace("create " + cls + show(args));
        if (auto id = host_->create(cls, args)) {
            trace("  box " + std::to_string(*id));
            boxes_.push_back({*id, !bounded, cls == "carvell~", {}});
            ++res_.boxes;
        }
    }

    void destroy(box_state *b) {
        const BoxId id = b->id;
        trace("destroy " + std::to_string(id));
        host_->destroy(id);
        std::erase_if(connections_, [id](const connection &c) { return c.src == id || c.dst == id; });
        std::erase_if(boxes_, [id](const box_state &s) { return s.id == id; });
    }

    void make_buffer() {
        const std::string name = in_.buffer_name();
        const int channels = 1 + in_.u8() % 4;
        static const int frame_palette[8] = {0, 1, 2, 3, 512, 1024, 4096, 44100};
        const uint8_t ftag = in_.u8();
        const int frames = ftag < 8 ? frame_palette[ftag] : int(in_.u16());
        const uint8_t kind = in_.u8() % 8;
        const double v = in_.number();
        uint32_t seed = in_.u32() | 1;
        std::vector<float> s(size_t(frames) * size_t(channels));
        for (size_t i = 0; i < s.size(); ++i) {
            const double x = frames > 0 ? double(i / size_t(channels)) / double(frames) : 0.0;
            switch (kind) {
            case 0: s[i] = float(0.5 - 0.5 * std::cos(2.0 * M_PI * x)); break;
            case 1: s[i] = as_float(v); break;
            case 2: s[i] = float(x); break;
            case 3: {
                seed = seed * 1664525u + 1013904223u;
                reader r(reinterpret_cast<const uint8_t *>(&seed), sizeof seed);
                s[i] = as_float(r.number());
                break;
            }
            case 4: s[i] = 0.0f; break;
            case 5: s[i] = float(1.0 - x); break;
            case 6: s[i] = 1.0f; break;
            default: s[i] = i == s.size() / 2 ? as_float(v) : 0.0f; break;
            }
            if (!in_bound(double(s[i]))) buffers_tainted_ = true;
        }
        trace("buffer " + name.substr(0, 24) + " channels " + std::to_string(channels) + " frames " +
              std::to_string(frames) + " kind " + std::to_string(kind) + " value " + std::to_string(v));
        if (in_.u8() & 1) host_->buffer_replace(name, s, channels);
        else host_->buffer_create(name, s, channels);
    }

    // What a box reads at an inlet: the live input of a carvell~ is recorded and played back, so
    // any value beyond +-1e6, NaN and the infinities included, may reach its outputs; elsewhere only
    // a finite value beyond the bound may.
    static bool taints(const box_state &b, int inlet, float v) {
        return (b.records && inlet == 1) ? !in_bound(double(v)) : huge(double(v));
    }

    void fill_inputs() {
        const int n = host_->vector_size();
        for (box_state &b : boxes_) {
            for (auto &[inlet, g] : b.feeds) {
                float *p = host_->input(b.id, inlet);
                if (!p) continue;
                for (int i = 0; i < n; ++i) {
                    p[i] = sample(g);
                    if (taints(b, inlet, p[i])) b.tainted = true;
                }
            }
        }
    }

    static float sample(generator &g) {
        const uint64_t t = g.t++;
        const uint64_t p = uint64_t(g.period);
        switch (g.kind) {
        case 0: return g.value;
        case 1: return t % p == 0 ? g.value : 0.0f;                       // pulses: triggers
        case 2: return (t & 1) ? -g.value : g.value;                      // a trigger every other sample
        case 3: return g.value * (float(t % p) / float(p) - 0.5f);        // sawtooth
        case 4: {                                                         // any number, NaN included
            g.seed = g.seed * 1664525u + 1013904223u;
            reader r(reinterpret_cast<const uint8_t *>(&g.seed), sizeof g.seed);
            return as_float(r.number());
        }
        case 5: {                                                         // noise within +-value
            g.seed = g.seed * 1664525u + 1013904223u;
            return g.value * (float(g.seed >> 8) / float(1u << 24) * 2.0f - 1.0f);
        }
        default: return t >= p ? g.value : 0.0f;                          // a step
        }
    }

    generator make_generator() {
        generator g;
        g.kind = in_.u8() % 7;
        g.value = as_float(in_.number());
        g.period = 1 + in_.u8();
        g.seed = in_.u32() | 1;
        return g;
    }

    void run(int count, bool final) {
        for (int k = 0; k < count && !failed_; ++k) {
            const int n = host_->vector_size();
            if (!final && (samples_run_ + n > sample_budget || vectors_run_ >= vector_budget)) return;
            fill_inputs();
            trace("run_vector " + std::to_string(vectors_run_ + 1));
            host_->run_vector();
            samples_run_ += n;
            ++vectors_run_;
            res_.vectors = vectors_run_;
            check(n);
        }
    }

    const box_state *find(BoxId id) const {
        for (const box_state &b : boxes_) {
            if (b.id == id) return &b;
        }
        return nullptr;
    }

    // A box reads what the boxes connected into it wrote in this vector: a source output that
    // taints at that inlet taints it. Then every untainted box's signal outputs must be finite.
    void check(int n) {
        for (const connection &c : connections_) {
            box_state *dst = const_cast<box_state *>(find(c.dst));
            if (!dst || dst->tainted) continue;
            if (const float *o = host_->output(c.src, c.outlet)) {
                for (int i = 0; i < n; ++i) {
                    if (taints(*dst, c.inlet, o[i])) {
                        dst->tainted = true;
                        break;
                    }
                }
            }
        }
        if (buffers_tainted_) return;
        for (const box_state &b : boxes_) {
            if (b.tainted) continue;
            const int outs = host_->signal_outlets(b.id);
            for (int o = 1; o <= outs; ++o) {
                const float *p = host_->output(b.id, o);
                if (!p) continue;
                for (int i = 0; i < n; ++i) {
                    res_.sounding += p[i] != 0.0f;
                    if (!std::isfinite(p[i])) {
                        res_.ok = false;
                        res_.failure = host_->class_of(b.id) + " box " + std::to_string(b.id) + " outlet " +
                                       std::to_string(o) + " sample " + std::to_string(i) + " of vector " +
                                       std::to_string(vectors_run_) + " is " + std::to_string(p[i]) +
                                       " with every finite input within +-1e6";
                        failed_ = true;
                        return;
                    }
                }
            }
        }
    }

    // The console is also cleared by an operation: keep what it said so far.
    void save_console() {
        if (!opt_.keep_console) return;
        for (const grainhost::ConsoleLine &l : host_->console()) res_.console.push_back(l.text);
    }

    void step() {
        static const char *const selectors[20] = {
            "setenv", "envbuffer", "nvoices", "tellme", "bang", "float", "assist", "dsp", "sinterp", "clear",
            "panic", "grain", "poll", "info", "freeze", "constraint", "int", "list", "signal", "grain"};
        switch (in_.u8() % 19) {
        case 0: create(pick_class()); break;
        case 1:
            if (box_state *b = pick_box()) destroy(b);
            break;
        case 2: {
            box_state *b = pick_box();
            const uint8_t s = in_.u8();
            const std::string sel = s % 21 < 20 ? selectors[s % 21] : in_.symbol();
            const uint8_t c = in_.u8();
            const int count = (sel == "grain" && (c & 0x80)) ? 8 : c % 11;
            bool bounded = true;
            const Atoms args = atoms(count, bounded);
            if (!b) break;
            b->tainted |= !bounded;
            trace("send " + std::to_string(b->id) + " " + sel + show(args));
            host_->send(b->id, sel, args);
            break;
        }
        case 3: {
            box_state *b = pick_box();
            const int inlet = in_.u8() % 10;
            const double v = in_.number();
            if (!b) break;
            b->tainted |= huge(v);
            trace("float " + std::to_string(b->id) + " inlet " + std::to_string(inlet) + " " + std::to_string(v));
            host_->send_float(b->id, inlet, v);
            break;
        }
        case 4: {
            box_state *b = pick_box();
            const int inlet = in_.u8() % 3;
            if (b) trace("bang " + std::to_string(b->id) + " inlet " + std::to_string(inlet));
            if (b) host_->send_bang(b->id, inlet);
            break;
        }
        case 5: make_buffer(); break;
        case 6: {
            const std::string name = in_.buffer_name();
            static const int32_t frames[8] = {0, 1, 2, -1, 3, 100000, INT32_MIN, 511};
            const uint8_t t = in_.u8();
            const int32_t to = t < 8 ? frames[t] : int32_t(in_.u16());
            trace("resize " + name.substr(0, 24) + " " + std::to_string(to));
            host_->buffer_resize(name, to);
            break;
        }
        case 7: {
            const std::string name = in_.buffer_name();
            trace("delete " + name.substr(0, 24));
            host_->buffer_delete(name);
            break;
        }
        case 8: {
            const std::string name = in_.buffer_name();
            const bool on = in_.u8() & 1;
            trace("valid " + name.substr(0, 24) + " " + std::to_string(on));
            host_->buffer_set_valid(name, on);
            break;
        }
        case 9: {
            const std::string name = in_.buffer_name();
            const bool on = in_.u8() & 1;
            trace("inuse " + name.substr(0, 24) + " " + std::to_string(on));
            host_->buffer_set_inuse(name, on);
            break;
        }
        case 10: {
            box_state *src = pick_box();
            const int outlet = in_.u8() % 10;
            box_state *dst = pick_box();
            const int inlet = in_.u8() % 10;
            if (src && dst) {
                trace("connect " + std::to_string(src->id) + ":" + std::to_string(outlet) + " -> " +
                      std::to_string(dst->id) + ":" + std::to_string(inlet));
            }
            if (src && dst && host_->connect(src->id, outlet, dst->id, inlet)) {
                connections_.push_back({src->id, outlet, dst->id, inlet});
            }
            break;
        }
        case 11: {
            box_state *b = pick_box();
            const int inlet = 1 + in_.u8() % 9;
            const generator g = make_generator();
            if (!b || inlet > host_->signal_inlets(b->id)) break;
            trace("feed " + std::to_string(b->id) + " inlet " + std::to_string(inlet) + " kind " +
                  std::to_string(g.kind) + " value " + std::to_string(g.value) + " period " +
                  std::to_string(g.period));
            host_->feed(b->id, inlet);
            b->feeds[inlet] = g;
            break;
        }
        case 12: {
            box_state *b = pick_box();
            const bool off = in_.u8() & 1;
            if (b) trace("disabled " + std::to_string(b->id) + " " + std::to_string(off));
            if (b) host_->set_disabled(b->id, off);
            break;
        }
        case 13: {
            const float sr = rate();
            const int n = size();
            trace("dsp_start " + std::to_string(sr) + " " + std::to_string(n));
            host_->dsp_start(sr, n);
            break;
        }
        case 14:
            trace("dsp_stop");
            host_->dsp_stop();
            break;
        case 15: run(1 + in_.u8() % 8, false); break;
        case 16: {
            box_state *b = pick_box();
            const int kind = in_.u8() % 4;
            const int32_t index = in_.integer();
            if (b) trace("assist " + std::to_string(b->id) + " " + std::to_string(kind) + " " + std::to_string(index));
            if (b) (void)host_->assist(b->id, kind, index);
            break;
        }
        case 17: {
            // Creation with the n-th allocation failing: the external must give up cleanly.
            const int after = in_.u8() % 12;
            host_->fail_allocations_after(after);
            trace("allocations fail after " + std::to_string(after));
            create(pick_class());
            host_->fail_allocations_after(-1);
            break;
        }
        default: {
            // Keeps the console and the captured lists from growing over a long input.
            save_console();
            host_->clear_console();
            for (const box_state &b : boxes_) host_->clear_lists(b.id);
            break;
        }
        }
    }

    reader in_;
    const options &opt_;
    grainhost::Host *host_ = nullptr;
    std::vector<box_state> boxes_;
    std::vector<connection> connections_;
    bool buffers_tainted_ = false;
    long samples_run_ = 0;
    int vectors_run_ = 0;
    bool failed_ = false;
    result res_;
};

} // namespace

result run_one(const uint8_t *data, size_t size, const options &opt) {
    player p(data, size, opt);
    return p.play();
}

} // namespace ghfuzz
