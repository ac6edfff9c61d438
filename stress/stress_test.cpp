// stress_test.cpp: brindel~ and carvell~ under the host's threaded mode. The host's audio thread runs
// vectors back to back with random trigger, parameter and live-input signals, while this thread (the
// message thread) sends random messages to every inlet and replaces, resizes and deletes the
// envelope buffer~ objects. Built with ThreadSanitizer (scripts/stress.sh) this shows the two
// threads meet only through sound shared words; in every build it checks, on the audio thread after
// every vector, that the outputs are finite and that the voice records hold only whole grains:
//
//   - every busy voice has finite state, a remaining count and delay in range, an envelope slot in
//     0..63, and never is voice 0;
//   - a voice busy after one vector and busy after the next either did not move (not rendered: above
//     the voice limit, or a silent vector) or moved by exactly one vector's samples (delay plus
//     remaining), so no grain was started over a busy voice;
//   - the grains seen starting never outnumber the "grain" messages plus the trigger crossings and
//     bangs that could start one.
//
// The message thread also rebuilds the chain now and then ("dsp" again, at another vector size or
// rate) and makes and destroys an extra box while the chain runs.
//
// STRESS_SECONDS sets the seconds per case (default 3).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "brindel.h"
#include "carvell.h"
#include "grainhost/host.hpp"

using grainhost::Atom;
using grainhost::Atoms;
using grainhost::BoxId;
using grainhost::Host;

namespace {

double stress_seconds() {
    const char *s = std::getenv("STRESS_SECONDS");
    if (!s || !*s) return 3.0;
    const double v = std::strtod(s, nullptr);
    return v > 0.0 && std::isfinite(v) ? v : 3.0;
}

// xorshift64*: no allocation, so the audio thread can use its own generator.
struct rng {
    uint64_t s;
    explicit rng(uint64_t seed) : s(seed ? seed : 0x9e3779b97f4a7c15ull) {}
    uint64_t next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545f4914f6cdd1dull;
    }
    int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
    float uniform(float lo, float hi) {
        return lo + (hi - lo) * static_cast<float>(static_cast<double>(next() >> 11) * 0x1.0p-53);
    }
    bool chance(int per_thousand) { return below(1000) < per_thousand; }
    // Mostly ordinary values in [lo, hi]; now and then an extreme finite value, a NaN or an infinity.
    float param(float lo, float hi) {
        const int k = below(1000);
        if (k < 4) return std::numeric_limits<float>::quiet_NaN();
        if (k < 8) return k % 2 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
        if (k < 14) return k % 2 ? 3.0e38f : -1.0e30f;
        if (k < 20) return 0.0f;
        return uniform(lo, hi);
    }
};

// The first fault seen on the audio thread, kept without allocating.
struct fault_log {
    std::atomic<int> state{0}; // 0 none, 1 being written, 2 written
    const char *what = nullptr;
    BoxId box = 0;
    int32_t voice = -1;
    uint64_t vector = 0;
    double value = 0.0;

    void record(const char *w, BoxId b, int32_t v, uint64_t vec, double val) {
        int expected = 0;
        if (!state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) return;
        what = w;
        box = b;
        voice = v;
        vector = vec;
        value = val;
        state.store(2, std::memory_order_release);
    }
    bool any() const { return state.load(std::memory_order_acquire) != 0; }
    std::string text() const {
        if (state.load(std::memory_order_acquire) != 2) return "none";
        char buf[256];
        std::snprintf(buf, sizeof buf, "%s (box %d, voice %d, vector %llu, value %g)", what, int(box),
                      int(voice), static_cast<unsigned long long>(vector), value);
        return buf;
    }
};

bool finite(double v) { return std::isfinite(v); }

const char *const env_names[] = {"envA", "envB", "envC", "nobuffer"};

// A window of `frames` frames, or noise, as an envelope.
std::vector<float> envelope(rng &r, int frames) {
    std::vector<float> v(static_cast<size_t>(frames));
    const bool noise = r.chance(200);
    for (int i = 0; i < frames; ++i) {
        v[static_cast<size_t>(i)] =
            noise ? r.uniform(-1.0f, 1.0f)
                  : static_cast<float>(0.5 - 0.5 * std::cos(6.283185307179586 * i / std::max(1, frames - 1)));
    }
    return v;
}

// One box of either class, with what the audio thread keeps about it.
struct stress_box {
    BoxId id = 0;
    bool is_brindel = true;
    int inlets = 0;
    int outputs = 0;
    std::vector<bool> fed; // per inlet

    // Audio thread only, from the first vector on.
    std::vector<uint8_t> prev_busy;
    std::vector<int64_t> prev_total;    // delay (or offset) plus remaining
    std::vector<float> prev_amp;
    uint32_t prev_clear = 0;
    float prev_trig = 0.0f;
    uint64_t starts_seen = 0;           // voices seen going from free to busy
    uint64_t start_bound = 0;           // trigger crossings + one per vector (bang, first sample)
    uint64_t busy_max = 0;

    // Message thread -> checked at the end.
    std::atomic<uint64_t> grain_messages{0};
};

class Stress : public ::testing::Test {
protected:
    Host host;
    std::vector<std::unique_ptr<stress_box>> boxes;
    fault_log fault;
    rng audio_rng{0x5eed1234abcdull};
    std::atomic<uint64_t> vectors_checked{0};
    BoxId transient = 0;                   // message thread: an extra box made and destroyed

    void SetUp() override {
        rng r(42);
        host.buffer_create("envA", envelope(r, 1024));
        host.buffer_create("envB", envelope(r, 7));
        host.buffer_create("envC", envelope(r, 1));
    }

    void add(bool brindel, int outputs, bool param_signals, const Atoms &extra = {}) {
        auto b = std::make_unique<stress_box>();
        b->is_brindel = brindel;
        b->inlets = brindel ? brindel_inlets : carvell_inlets;
        b->outputs = outputs;
        Atoms args{Atom::sym("envA"), Atom::lng(outputs)};
        args.insert(args.end(), extra.begin(), extra.end());
        auto id = host.create(brindel ? "brindel~" : "carvell~", args);
        ASSERT_TRUE(id.has_value());
        b->id = *id;
        b->fed.assign(static_cast<size_t>(b->inlets), false);
        // The trigger (and carvell~'s live input) always; the parameter inlets on some boxes, so
        // both the signal and the float paths run.
        const int first_param = brindel ? 2 : 3;
        for (int k = 1; k <= b->inlets; ++k) {
            if (k < first_param || param_signals) {
                host.feed(b->id, k);
                b->fed[static_cast<size_t>(k - 1)] = true;
            }
        }
        const size_t voices = static_cast<size_t>(brindel ? brindel_voices : carvell_voices);
        b->prev_busy.assign(voices, 0);
        b->prev_total.assign(voices, 0);
        b->prev_amp.assign(voices, 0.0f);
        boxes.push_back(std::move(b));
    }

    // ---- audio thread --------------------------------------------------------------------------

    void fill_inputs(stress_box &b, int n) {
        const bool brindel = b.is_brindel;
        const int trig_inlet = brindel ? 1 : 2;
        for (int k = 1; k <= b.inlets; ++k) {
            if (!b.fed[static_cast<size_t>(k - 1)]) continue;
            float *in = host.input(b.id, k);
            if (!in) continue;
            for (int i = 0; i < n; ++i) {
                float v = 0.0f;
                if (k == trig_inlet) {
                    v = audio_rng.chance(30) ? 1.0f : (audio_rng.chance(500) ? -1.0f : 0.0f);
                } else if (!brindel && k == 1) {
                    v = audio_rng.uniform(-1.0f, 1.0f); // live input
                } else if (brindel) {
                    switch (k) {
                    case 2: v = audio_rng.param(-2000.0f, 20000.0f); break; // freq
                    case 3: v = audio_rng.param(-3.0f, 3.0f); break;        // phase
                    case 4: v = audio_rng.uniform(-2.0f, 2.0f); break;      // amp
                    case 5: v = audio_rng.param(-300.0f, 300.0f); break;    // length ms
                    case 6: v = audio_rng.param(-2.0f, 2.0f); break;        // pan
                    case 7: v = audio_rng.uniform(-4.0f, 4.0f); break;      // dist
                    default: break;
                    }
                    if (k == 4 && audio_rng.chance(5)) v = std::numeric_limits<float>::quiet_NaN();
                } else {
                    switch (k) {
                    case 3: v = audio_rng.param(-100.0f, 2000.0f); break; // delay ms
                    case 4: v = audio_rng.param(-4.0f, 4.0f); break;      // transposition
                    case 5: v = audio_rng.uniform(-2.0f, 2.0f); break;    // amp
                    case 6: v = audio_rng.param(-300.0f, 300.0f); break;  // length ms
                    case 7: v = audio_rng.param(-2.0f, 2.0f); break;      // pan
                    case 8: v = audio_rng.uniform(-4.0f, 4.0f); break;    // dist
                    default: break;
                    }
                    if (k == 5 && audio_rng.chance(5)) v = std::numeric_limits<float>::quiet_NaN();
                }
                in[i] = v;
            }
            if (k == trig_inlet) {
                // Rising crossings the scan can see, plus one for a bang or the vector's first sample.
                float prev = b.prev_trig;
                uint64_t crossings = 1;
                for (int i = 0; i < n; ++i) {
                    if (i > 0 && prev <= 0.0f && in[i] > 0.0f) ++crossings;
                    prev = in[i];
                }
                b.prev_trig = prev;
                b.start_bound += crossings;
            }
        }
    }

    void before(uint64_t) {
        const int n = host.vector_size();
        for (auto &b : boxes) fill_inputs(*b, n);
    }

    // The progress rule and the start count, the same for both classes.
    void check_voice_common(stress_box &b, uint64_t vec, int32_t v, bool busy, int64_t total, float amp,
                            uint32_t clear_seen, int n) {
        const size_t i = static_cast<size_t>(v);
        if (busy && b.prev_busy[i] && clear_seen == b.prev_clear) {
            const int64_t moved = b.prev_total[i] - total;
            const bool still = moved == 0 && amp == b.prev_amp[i];
            if (!still && moved != n) fault.record("busy voice restarted or moved wrongly", b.id, v, vec, double(moved));
        }
        if (busy && !b.prev_busy[i]) ++b.starts_seen;
        b.prev_busy[i] = busy ? 1 : 0;
        b.prev_total[i] = total;
        b.prev_amp[i] = amp;
    }

    void check_brindel(stress_box &b, uint64_t vec, int n) {
        const auto *x = static_cast<const t_brindel *>(host.object(b.id));
        const uint32_t clear_seen = x->g.clear_seen;
        uint64_t busy_count = 0;
        for (int32_t v = 0; v < brindel_voices; ++v) {
            const bool busy = x->voice_busy[v].load() != 0;
            if (busy) {
                ++busy_count;
                if (v == 0) fault.record("voice 0 busy", b.id, v, vec, 0.0);
                const int32_t rem = x->voice_remaining[v];
                const int32_t del = x->voice_delay[v];
                const float len = x->voice_length[v];
                const int32_t slot = x->voice_env_slot[v];
                if (!(len >= 0.0f) || !finite(len)) fault.record("brindel~ length", b.id, v, vec, len);
                if (rem < 0 || double(rem) > double(len) + 1.0) fault.record("brindel~ remaining", b.id, v, vec, rem);
                if (del < 0) fault.record("brindel~ delay", b.id, v, vec, del);
                if (slot < 0 || slot >= toolkit::env_slots) fault.record("brindel~ env slot", b.id, v, vec, slot);
                const float fs[] = {x->voice_freq[v],   x->voice_phase[v],    x->voice_amp[v],
                                    x->voice_pan[v],    x->voice_dist[v],     x->voice_osc_y1[v],
                                    x->voice_osc_y2[v], x->voice_osc_coef[v], x->voice_env_inc[v],
                                    x->voice_env_pos[v]};
                for (float f : fs) {
                    if (!finite(f)) fault.record("brindel~ voice value not finite", b.id, v, vec, f);
                }
                if (b.outputs > 1) {
                    for (int o = 0; o < b.outputs; ++o) {
                        if (!finite(x->voice_gain[o][v])) fault.record("brindel~ gain", b.id, v, vec, x->voice_dist[v]);
                    }
                }
            }
            const int64_t total = busy ? int64_t(x->voice_delay[v]) + x->voice_remaining[v] : 0;
            check_voice_common(b, vec, v, busy, total, busy ? x->voice_amp[v] : 0.0f, clear_seen, n);
        }
        b.prev_clear = clear_seen;
        if (busy_count > b.busy_max) b.busy_max = busy_count;
    }

    void check_carvell(stress_box &b, uint64_t vec, int n) {
        const auto *x = static_cast<const t_carvell *>(host.object(b.id));
        const carvell_voice_pool &p = x->pool;
        const uint32_t clear_seen = x->g.clear_seen;
        uint64_t busy_count = 0;
        for (int32_t v = 0; v < carvell_voices; ++v) {
            const bool busy = p.voice_busy[v].load() != 0;
            if (busy) {
                ++busy_count;
                if (v == 0) fault.record("voice 0 busy", b.id, v, vec, 0.0);
                const int32_t rem = p.voice_remaining[v];
                const int32_t off = p.voice_offset[v];
                const float len = p.voice_length[v];
                const int32_t slot = p.voice_env_slot[v];
                if (!(len >= 0.0f) || !finite(len)) fault.record("carvell~ length", b.id, v, vec, len);
                if (rem < 0 || double(rem) > double(len)) fault.record("carvell~ remaining", b.id, v, vec, rem);
                // A grain is started only below the limit its vector renders with, so by the end
                // of that vector it has been rendered once and its offset is back to 0.
                if (off != 0) fault.record("carvell~ offset", b.id, v, vec, off);
                if (slot < 0 || slot >= toolkit::env_slots) fault.record("carvell~ env slot", b.id, v, vec, slot);
                const double fs[] = {p.voice_read_pos[v], p.voice_transp[v], p.voice_amp[v], p.voice_pan[v],
                                     p.voice_dist[v],     p.voice_env_inc[v], p.voice_env_pos[v]};
                for (double f : fs) {
                    if (!finite(f)) fault.record("carvell~ voice value not finite", b.id, v, vec, f);
                }
                for (int o = 0; o < x->g.num_outputs; ++o) {
                    if (!finite(p.voice_gain[o][v])) fault.record("carvell~ gain", b.id, v, vec, o);
                }
            }
            const int64_t total = busy ? int64_t(p.voice_offset[v]) + p.voice_remaining[v] : 0;
            check_voice_common(b, vec, v, busy, total, busy ? p.voice_amp[v] : 0.0f, clear_seen, n);
        }
        b.prev_clear = clear_seen;
        if (busy_count > b.busy_max) b.busy_max = busy_count;
    }

    void after(uint64_t vec) {
        const int n = host.vector_size();
        for (auto &bp : boxes) {
            stress_box &b = *bp;
            const int outs = host.signal_outlets(b.id);
            for (int o = 1; o <= outs; ++o) {
                const float *out = host.output(b.id, o);
                if (!out) {
                    fault.record("no output vector", b.id, -1, vec, o);
                    continue;
                }
                for (int i = 0; i < n; ++i) {
                    if (!std::isfinite(out[i])) {
                        fault.record("output sample not finite", b.id, -1, vec, out[i]);
                        break;
                    }
                }
            }
            if (b.is_brindel) {
                check_brindel(b, vec, n);
            } else {
                check_carvell(b, vec, n);
            }
        }
        vectors_checked.fetch_add(1, std::memory_order_relaxed);
    }

    // ---- message thread ------------------------------------------------------------------------

    Atom number(rng &r, float lo, float hi) {
        if (r.chance(100)) return Atom::lng(r.below(2001) - 1000);
        return Atom::flt(r.param(lo, hi));
    }

    // One random action; returns the number of messages (or buffer changes) it made.
    int act(rng &r, int round) {
        stress_box &b = *boxes[static_cast<size_t>(r.below(static_cast<int>(boxes.size())))];
        const int k = r.below(100);
        if (k < 25 && b.is_brindel) {
            Atoms args;
            const int argc = r.chance(20) ? r.below(8) : 8;
            const float los[] = {-50.0f, -2000.0f, -3.0f, -2.0f, -300.0f, -2.0f, -4.0f, -3.0f};
            const float his[] = {500.0f, 20000.0f, 3.0f, 2.0f, 300.0f, 2.0f, 4.0f, 70.0f};
            for (int i = 0; i < argc; ++i) {
                if (i == 3 || i == 6) { // amplitude and spread: moderate, or NaN
                    args.push_back(Atom::flt(r.chance(5) ? std::numeric_limits<float>::quiet_NaN()
                                                         : r.uniform(los[i], his[i])));
                } else {
                    args.push_back(number(r, los[i], his[i]));
                }
            }
            host.send(b.id, "grain", args);
            if (argc >= 8) b.grain_messages.fetch_add(1, std::memory_order_relaxed);
            return 1;
        }
        if (k < 50) {
            const int inlet = 1 + r.below(b.inlets);
            // Amplitude and spread stay moderate: a huge finite one legitimately overflows the sum of
            // the outputs. Everything else may be extreme; doubles beyond the float range arrive as
            // infinities, which start no grain.
            const bool moderate = inlet == (b.is_brindel ? 4 : 5) || inlet == (b.is_brindel ? 7 : 8);
            double value = moderate ? r.uniform(-4.0f, 4.0f) : r.param(-1000.0f, 1000.0f);
            if (r.chance(50)) value = r.chance(500) ? 1e300 : -1e300;
            host.send_float(b.id, inlet, value);
            return 1;
        }
        if (k < 56) {
            host.send_bang(b.id);
            return 1;
        }
        if (k < 64) {
            host.send(b.id, "nvoices", {Atom::lng(r.chance(100) ? r.below(1200) - 100 : r.below(70))});
            return 1;
        }
        if (k < 67) {
            host.send(b.id, r.chance(500) ? "clear" : "panic");
            return 1;
        }
        if (k < 72) {
            const char *name = env_names[r.below(4)];
            if (!b.is_brindel && r.chance(300)) {
                host.send(b.id, "setenv", {Atom::sym(name)});
            } else {
                host.send(b.id, "setenv", {Atom::lng(r.below(70) - 3), Atom::sym(name)});
            }
            return 1;
        }
        if (k < 77) {
            host.send(b.id, "envbuffer", {Atom::lng(r.below(70) - 3)});
            return 1;
        }
        if (k < 80) {
            host.send(b.id, "sinterp", {Atom::lng(r.below(3))});
            return 1;
        }
        if (k < 83) {
            host.send(b.id, "poll", {Atom::lng(r.below(2))});
            return 1;
        }
        if (k < 86) {
            if (b.is_brindel) {
                host.send(b.id, r.chance(500) ? "info" : "tellme", r.chance(500) ? Atoms{Atom::lng(1)} : Atoms{});
            } else {
                host.send(b.id, "freeze", {Atom::lng(r.below(3))});
            }
            return 1;
        }
        if (k < 89) {
            if (b.is_brindel) {
                host.send(b.id, "info", {Atom::lng(r.below(2))});
            } else {
                host.send(b.id, "constraint", {Atom::lng(r.below(2))});
            }
            return 1;
        }
        if (k < 90 && r.chance(100)) {
            // A box of either class made or destroyed while the chain runs (not one of the checked
            // boxes): the chain is rebuilt between two vectors.
            if (transient != 0) {
                host.destroy(transient);
                transient = 0;
            } else {
                const bool brindel = r.chance(500);
                Atoms args{Atom::sym("envB"), Atom::lng(1 + r.below(8))};
                if (!brindel) args.push_back(Atom::flt(500.0f));
                transient = host.create(brindel ? "brindel~" : "carvell~", args).value_or(0);
            }
            return 1;
        }
        // buffer~ changes through the host, between vectors
        const std::string name = env_names[r.below(3)];
        switch (r.below(6)) {
        case 0: host.buffer_replace(name, envelope(r, r.below(3000))); break;
        case 1: host.buffer_resize(name, r.below(3000)); break;
        case 2: host.buffer_delete(name); break;
        case 3: host.buffer_create(name, envelope(r, 1 + r.below(64))); break;
        case 4: host.buffer_set_valid(name, r.chance(700)); break;
        default:
            // a chain rebuild now and then ("dsp" again), at another vector size or rate
            if (round % 8 == 0) {
                const int sizes[] = {16, 64, 64, 256};
                host.dsp_start(r.chance(500) ? 44100.0f : 48000.0f, sizes[r.below(4)]);
            } else {
                host.buffer_set_inuse(name, false);
            }
            break;
        }
        return 1;
    }

    void run(const char *what) {
        host.dsp_start(44100.0f, 64);
        host.start_audio_thread([this](uint64_t v) { before(v); }, [this](uint64_t v) { after(v); });
        const auto t0 = std::chrono::steady_clock::now();
        const auto budget = std::chrono::duration<double>(stress_seconds());
        rng r(0xc0ffee ^ static_cast<uint64_t>(boxes.size()));
        uint64_t messages = 0;
        int round = 0;
        while (std::chrono::steady_clock::now() - t0 < budget && !fault.any()) {
            messages += static_cast<uint64_t>(act(r, round));
            if (++round % 256 == 0) {
                // what the boxes said is collected as it would be read, and dropped so memory stays flat
                host.clear_console();
                for (auto &b : boxes) host.clear_lists(b->id);
            }
        }
        host.stop_audio_thread();
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

        EXPECT_FALSE(fault.any()) << fault.text();
        const uint64_t vectors = host.vectors_run();
        EXPECT_EQ(vectors_checked.load(), vectors);
        EXPECT_GT(vectors, 100u);
        EXPECT_GT(messages, 100u);
        uint64_t starts = 0, max_busy = 0;
        for (auto &b : boxes) {
            EXPECT_LE(b->starts_seen, b->start_bound + b->grain_messages.load()) << "box " << b->id;
            starts += b->starts_seen;
            max_busy = std::max(max_busy, b->busy_max);
        }
        EXPECT_GT(starts, 0u);
        std::printf("[ stress   ] %s: %.1f s, %llu vectors (%.0f/s), %llu messages (%.0f/s), %llu grains seen "
                    "starting, at most %llu voices busy in one box\n",
                    what, secs, static_cast<unsigned long long>(vectors), double(vectors) / secs,
                    static_cast<unsigned long long>(messages), double(messages) / secs,
                    static_cast<unsigned long long>(starts), static_cast<unsigned long long>(max_busy));
        RecordProperty("vectors", std::to_string(vectors));
        RecordProperty("messages", std::to_string(messages));
    }
};

TEST_F(Stress, BrindelUnderThreads) {
    for (int outputs : {1, 2, 4, 6, 8}) add(true, outputs, outputs % 4 != 0);
    run("brindel~");
}

TEST_F(Stress, CarvellUnderThreads) {
    for (int outputs : {1, 2, 4, 6, 8}) add(false, outputs, outputs % 4 != 0, {Atom::flt(500.0f)});
    add(false, 2, true); // the default ring
    run("carvell~");
}

TEST_F(Stress, BothClassesTogether) {
    add(true, 2, true);
    add(true, 8, false);
    add(false, 4, true, {Atom::flt(500.0f)});
    add(false, 1, false, {Atom::flt(700.0f)});
    run("both");
}

} // namespace
