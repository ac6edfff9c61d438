// render_test.cpp: the fast rendering paths of brindel~ against the per-voice reference.
//
// A box supplies the envelope table and the interpolation weights; the voices are written straight
// into its record and rendered by render_voices (linked from brindel_render, not through the box's
// perform routine) at every level this machine runs. Each level must leave the same output bytes
// and the same voice records as the reference, vector after vector.
#include <cstring>
#include <functional>
#include <limits>

#include "brindel_test_support.h"

namespace brindel_test {
namespace {

using toolkit::simd_level;

// The parts of a voice record a vector changes, for a byte comparison.
struct voices_state {
    std::vector<int32_t> busy, delay, remaining;
    std::vector<float> y1, y2, env_pos, env_value;

    bool operator==(const voices_state &) const = default;
};

// Deterministic numbers for the voice parameters.
struct rng {
    uint64_t s = 0x9e3779b97f4a7c15ull;
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return uint32_t(s >> 32);
    }
    float uniform(float lo, float hi) { return lo + (hi - lo) * float(next() >> 8) / 16777216.0f; }
    int below(int n) { return int(next() % uint32_t(n)); }
};

// Envelope slots of the test box.
constexpr int env_hann = 0, env_tiny = 1, env_wild = 2, env_unbound = 40;

struct voice_plan {
    int slot;
    int env_slot = env_hann;
    float freq = 440.0f, phase = 0.0f, amp = 0.5f;
    float length = 300.0f; // samples
    int dir = 1;
    float pan = 0.0f, dist = 1.0f;
    int delay = 0;
    float inc_scale = 1.0f; // > 1: the reads overshoot the envelope and are clamped
};

struct render_case {
    const char *what;
    int outputs;
    int n;
    bool interp;
    int vectors;
    int32_t limit;
    std::function<std::vector<voice_plan>(rng &)> voices;
};

// Voices in the given slots with varied parameters: delays within and beyond the first vector,
// lengths ending inside vectors, pans around the ring.
std::vector<voice_plan> varied(rng &r, const std::vector<int> &slots, int n) {
    std::vector<voice_plan> v;
    for (int s : slots) {
        voice_plan p;
        p.slot = s;
        p.freq = r.uniform(20.0f, 12000.0f);
        p.phase = r.uniform(0.0f, 1.0f);
        p.amp = r.uniform(-1.0f, 1.0f);
        p.length = float(1 + r.below(4 * n + 10)) + r.uniform(0.0f, 1.0f);
        p.delay = r.below(3 * n + 2);
        p.pan = r.uniform(0.0f, 1.0f);
        p.dist = r.uniform(0.2f, 2.0f);
        p.dir = r.below(4) == 0 ? -1 : 1;
        v.push_back(p);
    }
    return v;
}

std::vector<int> first_slots(int count, int stride = 1) {
    std::vector<int> s;
    for (int i = 0; i < count; ++i) s.push_back(1 + i * stride);
    return s;
}

const std::vector<int> gappy = {1, 2, 3, 7, 8, 62, 63, 64, 65, 127, 128, 129, 200, 301, 302, 450, 510, 511};

class Render : public Brindel {
protected:
    void open(int outputs, int n_) {
        host.buffer_create("hann", hann(1024));
        host.buffer_create("tiny", {0.25f, 1.0f});
        std::vector<float> wild = hann(64);
        wild[10] = std::numeric_limits<float>::quiet_NaN();
        wild[20] = std::numeric_limits<float>::infinity();
        wild[30] = -std::numeric_limits<float>::infinity();
        wild[63] = 3.0e38f;
        host.buffer_create("wild", wild);
        box = make({L(outputs), S("hann")});
        x = rec(box);
        host.send(box, "setenv", {L(env_tiny), S("tiny")});
        host.send(box, "setenv", {L(env_wild), S("wild")});
        start(44100.0f, n_);
        host.run_vector(); // binds the envelope slots
        ASSERT_EQ(x->g.env.frames[env_wild], 64);
    }

    void place(const std::vector<voice_plan> &plans) {
        for (const voice_plan &p : plans) {
            grain_setup gs{};
            gs.freq = p.freq;
            gs.phase = p.phase;
            ASSERT_TRUE(grain_osc_setup(gs, x->g.sample_rate));
            gs.amp = p.amp;
            gs.length = p.length;
            gs.env_slot = p.env_slot;
            const int32_t frames = p.env_slot == env_unbound ? 16 : x->g.env.frames[p.env_slot];
            grain_env_setup(gs, frames, p.dir);
            gs.env_inc *= p.inc_scale;
            gs.pan = p.pan;
            gs.dist = p.dist;
            gs.delay = p.delay;
            grain_start(x, p.slot, gs);
        }
    }

    voices_state state() const {
        voices_state s;
        for (int v = 0; v < brindel_voices; ++v) {
            s.busy.push_back(x->voice_busy[v].load());
            s.delay.push_back(x->voice_delay[v]);
            s.remaining.push_back(x->voice_remaining[v]);
            s.y1.push_back(x->voice_osc_y1[v]);
            s.y2.push_back(x->voice_osc_y2[v]);
            s.env_pos.push_back(x->voice_env_pos[v]);
            s.env_value.push_back(x->voice_env_value[v]);
        }
        return s;
    }

    void restore(const voices_state &s) {
        for (int v = 0; v < brindel_voices; ++v) {
            x->voice_busy[v].store(s.busy[size_t(v)]);
            x->voice_delay[v] = s.delay[size_t(v)];
            x->voice_remaining[v] = s.remaining[size_t(v)];
            x->voice_osc_y1[v] = s.y1[size_t(v)];
            x->voice_osc_y2[v] = s.y2[size_t(v)];
            x->voice_env_pos[v] = s.env_pos[size_t(v)];
            x->voice_env_value[v] = s.env_value[size_t(v)];
        }
    }

    // Renders `vectors` vectors at `level` from the current voices; returns every output sample
    // (vector by vector, output by output).
    std::vector<float> run(const render_case &c, simd_level level) {
        std::vector<std::vector<float>> outs(size_t(c.outputs), std::vector<float>(size_t(c.n)));
        std::vector<t_sample *> ptr;
        for (auto &o : outs) ptr.push_back(o.data());
        std::vector<float> all;
        toolkit::simd_select(level); // the envelope reads take the same level, as in the external
        for (int v = 0; v < c.vectors; ++v) {
            for (auto &o : outs) std::fill(o.begin(), o.end(), 0.0f);
            render_voices(x, c.outputs, ptr.data(), c.n, c.limit, c.interp, level);
            for (auto &o : outs) all.insert(all.end(), o.begin(), o.end());
        }
        toolkit::simd_select(toolkit::simd_supported());
        return all;
    }

    BoxId box = 0;
    t_brindel *x = nullptr;
};

std::vector<simd_level> fast_levels() {
    std::vector<simd_level> levels;
    for (int l = int(simd_level::sse2); l <= int(toolkit::simd_supported()); ++l)
        levels.push_back(simd_level(l));
    return levels;
}

TEST_F(Render, EveryLevelMatchesTheReferenceBitForBit) {
    const render_case cases[] = {
        {"2 outputs, starts, ends and delays inside vectors", 2, 64, true, 12, brindel_voices,
         [](rng &r) { return varied(r, first_slots(40), 64); }},
        {"1 output, gaps in the busy set, vector of 7", 1, 7, true, 60, brindel_voices,
         [](rng &r) { return varied(r, gappy, 7); }},
        {"4 outputs, vector of 1", 4, 1, true, 200, brindel_voices,
         [](rng &r) { return varied(r, gappy, 1); }},
        {"6 outputs, vector of 100 (two passes), plain reads", 6, 100, false, 8, brindel_voices,
         [](rng &r) { return varied(r, first_slots(70, 3), 100); }},
        {"8 outputs, 511 voices: several batches", 8, 64, true, 6, brindel_voices,
         [](rng &r) { return varied(r, first_slots(511), 64); }},
        {"2 outputs, vector of 256, long grains", 2, 256, true, 4, brindel_voices,
         [](rng &r) {
             auto v = varied(r, first_slots(90, 2), 256);
             for (auto &p : v) p.length *= 3.0f;
             return v;
         }},
        {"reads overshoot the envelope and are clamped, both directions", 2, 64, true, 10,
         brindel_voices,
         [](rng &r) {
             auto v = varied(r, first_slots(30, 5), 64);
             for (size_t i = 0; i < v.size(); ++i) {
                 v[i].env_slot = i % 2 ? env_tiny : env_hann;
                 v[i].inc_scale = 1.0f + float(i % 5);
             }
             return v;
         }},
        {"same, plain reads", 1, 64, false, 10, brindel_voices,
         [](rng &r) {
             auto v = varied(r, first_slots(30, 5), 64);
             for (size_t i = 0; i < v.size(); ++i) {
                 v[i].env_slot = i % 2 ? env_tiny : env_hann;
                 v[i].inc_scale = 1.0f + float(i % 5);
             }
             return v;
         }},
        {"NaN, infinities and a huge value in the envelope; huge amplitudes", 2, 64, true, 12,
         brindel_voices,
         [](rng &r) {
             auto v = varied(r, first_slots(40), 64);
             for (size_t i = 0; i < v.size(); ++i) {
                 v[i].env_slot = env_wild;
                 if (i % 3 == 0) v[i].amp = 3.0e38f;
                 if (i % 7 == 0) v[i].freq = 0.0f, v[i].phase = 0.0f; // y = 0: inf * 0
             }
             return v;
         }},
        {"envelope slot gone: the grain ends; zero-length grains", 2, 64, true, 4, brindel_voices,
         [](rng &r) {
             auto v = varied(r, gappy, 64);
             for (size_t i = 0; i < v.size(); ++i) {
                 if (i % 3 == 0) v[i].env_slot = env_unbound;
                 if (i % 4 == 1) v[i].length = 0.0f;
             }
             return v;
         }},
        {"voices at and above the limit stay where they are", 4, 64, true, 6, 129,
         [](rng &r) { return varied(r, gappy, 64); }},
    };
    const auto levels = fast_levels();
    ASSERT_FALSE(levels.empty());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        open(c.outputs, c.n);
        const voices_state fresh = state();
        rng r;
        place(c.voices(r));
        const voices_state start = state();
        std::vector<uint64_t> hint(std::begin(x->busy_hint), std::end(x->busy_hint));

        const std::vector<float> want = run(c, simd_level::reference);
        if (std::strncmp(c.what, "NaN", 3) == 0) {
            // the case must carry NaN (of both signs) and infinities into the outputs
            int nan_pos = 0, nan_neg = 0, inf = 0;
            for (float v : want) {
                nan_pos += std::isnan(v) && !std::signbit(v);
                nan_neg += std::isnan(v) && std::signbit(v);
                inf += std::isinf(v);
            }
            EXPECT_GT(nan_pos, 0);
            EXPECT_GT(nan_neg, 0);
            EXPECT_GT(inf, 0);
        }
        const voices_state want_state = state();
        ASSERT_NE(start, want_state); // the case renders something
        for (simd_level level : levels) {
            SCOPED_TRACE(toolkit::simd_name(level));
            restore(start);
            std::copy(hint.begin(), hint.end(), x->busy_hint);
            const std::vector<float> got = run(c, level);
            ASSERT_EQ(got.size(), want.size());
            EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)), 0);
            const voices_state got_state = state();
            EXPECT_TRUE(got_state == want_state);
        }
        restore(fresh);
        host.destroy(box);
        host.buffer_delete("hann");
        host.buffer_delete("tiny");
        host.buffer_delete("wild");
    }
}

} // namespace
} // namespace brindel_test
