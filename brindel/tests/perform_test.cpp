// perform_test.cpp: the perform routines of brindel~: trigger detection, bang, the voice budget,
// the timing of grains across vectors, oscillator and envelope values, multichannel gains, silence
// and resumption, "nvoices" while grains sound, the voices report, agreement across vector sizes
// and aliasing, non-finite parameter signals.
//
// The probe grain (0 Hz at phase 0.25, envelope of ones, amplitude 1) outputs exactly 1.0 per
// sample, so an output sample counts the grains sounding there.
#include <cmath>
#include <limits>

#include "brindel_test_support.h"

namespace brindel_test {
namespace {

constexpr double two_pi = 6.283185307179586;

class Perform : public Brindel {
protected:
    // A one-output box with the probe settings, its trigger inlet fed.
    void probe(int vector_size, float sr = 1000.0f, int outputs = 1, std::vector<int> fed = {}) {
        if (!host.buffer_exists("env")) host.buffer_create("env", ones(1024));
        box = make({L(outputs), S("env")});
        x = rec(box);
        host.send_float(box, 2, 0.0);  // freq
        host.send_float(box, 3, 0.25); // phase
        host.send_float(box, 5, 1000); // length, ms
        std::vector<std::pair<BoxId, int>> inlets = {{box, 1}};
        for (int i : fed) inlets.push_back({box, i});
        start(sr, vector_size, inlets);
    }
    // Runs one vector with this trigger input and returns output 1.
    std::vector<float> step(const std::vector<float> &trigger) {
        set_input(box, 1, trigger);
        host.run_vector();
        return out(box, 1);
    }
    BoxId box = 0;
    t_brindel *x = nullptr;
};

TEST_F(Perform, RisingZeroCrossingsStartGrains) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char *what;
        std::vector<std::vector<float>> vectors;
        std::vector<float> expected;
    } cases[] = {
        {"one crossing at sample 2", {{-0.5f, 0.0f, 0.3f, 0.6f}}, {0, 0, 1, 1}},
        {"zero is not above zero", {{0, 0, 0, 0}}, {0, 0, 0, 0}},
        {"zero then negative", {{0, -1, 0, -1}}, {0, 0, 0, 0}},
        {"first vector starts positive: previous sample is 0", {{0.5f, 0.5f, 0.5f, 0.5f}}, {1, 1, 1, 1}},
        {"positive end then positive start", {{-1, -1, -1, 1}, {1, 1, 1, 1}}, {0, 0, 0, 1, 1, 1, 1, 1}},
        {"negative end then positive start", {{-1, -1, -1, -1}, {1, -1, 1, -1}}, {0, 0, 0, 0, 1, 1, 2, 2}},
        {"NaN neither triggers nor lets the next sample trigger", {{-1, nan, 1, 1}}, {0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        probe(4);
        std::vector<float> got;
        for (const auto &v : c.vectors) {
            const auto o = step(v);
            got.insert(got.end(), o.begin(), o.end());
        }
        EXPECT_EQ(got, c.expected);
        host.destroy(box);
    }
}

TEST_F(Perform, BangStartsOneGrainAtSampleZeroAndWaitsForAnEnvelope) {
    probe(4);
    host.send_bang(box);
    host.send_bang(box);
    host.send_bang(box);
    // the bang takes 1.0 as sample 0: the real crossing between samples 0 and 1 is not seen
    EXPECT_EQ(step({-1, 1, 1, 1}), (std::vector<float>{1, 1, 1, 1}));
    EXPECT_EQ(x->g.bang_pending.load(), 0);

    host.send(box, "clear");
    step({0});
    host.buffer_delete("env");
    host.send_bang(box);
    EXPECT_EQ(step({0}), (std::vector<float>(4, 0.0f)));
    EXPECT_EQ(step({0}), (std::vector<float>(4, 0.0f)));
    EXPECT_EQ(x->g.bang_pending.load(), 1);
    host.buffer_create("env", ones(16));
    EXPECT_EQ(step({0}), (std::vector<float>{1, 1, 1, 1}));
}

TEST_F(Perform, OneUsableVoiceLosesTheCrossingsWhileBusy) {
    probe(8);
    host.send(box, "nvoices", {L(1)});
    EXPECT_EQ(step({-1, 1, -1, 1, -1, 1, -1, 1}), (std::vector<float>{0, 1, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(x->voice_busy[1].load(), 1);
    EXPECT_EQ(step({-1, 1, -1, 1, -1, 1, -1, 1}), (std::vector<float>(8, 1.0f)));
    // the scan stopped at the crossing that found no voice: the next vector starts from 1.0
    EXPECT_EQ(x->g.prev_trigger, 1.0f);
}

TEST_F(Perform, CrossingsAtEveryPositionOfALongVector) {
    // 67 samples: crossings at every position modulo 4 (the scan tests four samples at a time),
    // zeros, NaN before and after a positive sample, a crossing at the last sample; with a bang,
    // and with the previous vector ending above zero.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> t(67, -1.0f);
    for (int j : {2, 5, 11, 12, 19, 28, 29, 30, 47, 66}) t[size_t(j)] = 0.5f; // some back to back
    t[40] = 0.0f, t[41] = 1.0f;  // from exactly zero
    t[50] = nan, t[51] = 1.0f;   // NaN before: no crossing
    t[55] = 1.0f, t[56] = nan;   // NaN after a crossing
    t[0] = 1.0f;                 // first sample positive
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        probe(67);
        host.send(box, "nvoices", {L(511)});
        if (variant == 1) host.send_bang(box);
        if (variant == 2) step(std::vector<float>(67, 1.0f)); // ends above zero
        const float before = x->g.prev_trigger;
        // the model: count the crossings up to each sample
        std::vector<float> want(67);
        float prev = variant == 1 ? -1.0f : before;
        float count = variant == 2 ? 1.0f : 0.0f; // the grain of the first vector still sounds
        for (int j = 0; j < 67; ++j) {
            const float cur = (variant == 1 && j == 0) ? 1.0f : t[size_t(j)];
            if (prev <= 0.0f && cur > 0.0f) count += 1.0f;
            want[size_t(j)] = count;
            prev = cur;
        }
        EXPECT_EQ(step(t), want);
        EXPECT_EQ(x->g.prev_trigger, 0.5f);
        host.destroy(box);
    }
}

TEST_F(Perform, GrainSpansVectors) {
    probe(64);
    host.send_float(box, 5, 100); // 100 samples
    std::vector<float> trig(64, -1.0f);
    for (int i = 30; i < 64; ++i) trig[size_t(i)] = 1.0f;
    const int expected[] = {34, 64, 2, 0};
    for (int v = 0; v < 4; ++v) {
        const auto o = step(v == 0 ? trig : std::vector<float>{1.0f});
        int sounding = 0;
        for (float s : o) sounding += s != 0.0f;
        EXPECT_EQ(sounding, expected[v]) << "vector " << v;
        EXPECT_EQ(busy_count(box), v < 2 ? 1 : 0) << "vector " << v;
    }
}

TEST_F(Perform, GrainMessageDelayCountsDownAcrossVectors) {
    probe(64);
    host.send(box, "grain", grain_args(1000, 0, 0.25f, 1, 10, 0, 1, 0));
    for (int v = 0; v < 15; ++v) {
        const auto o = step({0});
        ASSERT_EQ(o, std::vector<float>(64, 0.0f)) << "vector " << v;
    }
    const auto o = step({0});
    EXPECT_EQ(o[39], 0.0f);
    EXPECT_EQ(o[40], 1.0f);
    EXPECT_EQ(o[49], 1.0f);
    EXPECT_EQ(o[50], 0.0f);
}

TEST_F(Perform, StartPhaseFromTheSignal) {
    const struct {
        float phase;
        float first;
    } cases[] = {{0.0f, 0.0f}, {0.25f, 1.0f}, {1.25f, 1.0f}, {-0.25f, -1.0f}, {0.5f, 0.0f}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.phase);
        probe(4, 1000.0f, 1, {3});
        set_input(box, 3, {c.phase});
        const auto o = step({1});
        EXPECT_NEAR(o[0], c.first, 1e-6);
        EXPECT_EQ(o[3], o[0]); // 0 Hz: the value holds
        host.destroy(box);
    }
}

TEST_F(Perform, NegativeLengthReadsBackwards) {
    // by signal and by float: 50 ms at 44100 Hz, from the last frame with a negative increment
    for (bool by_signal : {true, false}) {
        SCOPED_TRACE(by_signal);
        probe(64, 44100.0f, 1, by_signal ? std::vector<int>{5} : std::vector<int>{});
        if (by_signal) set_input(box, 5, {-50.0f});
        else host.send_float(box, 5, -50.0);
        step({1});
        EXPECT_EQ(x->voice_length[63], 2205.0f);
        EXPECT_EQ(x->voice_env_inc[63], -1023.0f / 2205.0f);
        EXPECT_EQ(x->voice_remaining[63], 2205 - 64);
        EXPECT_FLOAT_EQ(x->voice_env_pos[63], 1023.0f - 64.0f * 1023.0f / 2205.0f);
        host.destroy(box);
    }
}

TEST_F(Perform, ZeroLengthSignalClaimsAndFreesInOneVector) {
    probe(4, 1000.0f, 1, {5});
    set_input(box, 5, {0.0f});
    host.send(box, "poll", {L(1)});
    EXPECT_EQ(step({1}), (std::vector<float>(4, 0.0f)));
    EXPECT_EQ(busy_count(box), 0);
    EXPECT_EQ(x->voice_env_inc[63], 0.0f); // kept finite
}

TEST_F(Perform, EnvelopeInterpolationOnAndOff) {
    host.buffer_create("env", {1.0f, 2.0f, 4.0f, 8.0f});
    const struct {
        int sinterp;
        std::vector<float> expected;
    } cases[] = {{1, {1, 1.5f, 2, 3, 4, 6, 0, 0}}, {0, {1, 1, 2, 2, 4, 4, 0, 0}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sinterp);
        probe(8);
        host.send(box, "sinterp", {L(c.sinterp)});
        host.send_float(box, 5, 6); // 6 samples over 3 frames: 0.5 frame per sample
        EXPECT_EQ(step({1}), c.expected);
        host.destroy(box);
    }
}

TEST_F(Perform, TriggeredGrainsUseTheActiveSlotOrSlotZero) {
    host.buffer_create("env", std::vector<float>(16, 0.5f));
    host.buffer_create("two", std::vector<float>(16, 0.25f));
    probe(4, 1000.0f, 1, {4});
    set_input(box, 4, {-1.0f}); // an amplitude signal of -1 inverts the grain
    host.send(box, "setenv", {L(2), S("two")});
    host.send_float(box, 5, 2); // two samples
    host.send(box, "envbuffer", {L(2)});
    EXPECT_EQ(step({1}), (std::vector<float>{-0.25f, -0.25f, 0, 0}));
    host.send(box, "envbuffer", {L(7)}); // unbound: slot 0
    EXPECT_EQ(step({-1, 1}), (std::vector<float>{0, -0.5f, -0.5f, 0}));
}

// What a sounding grain does when its buffer~ changes under it (the reads never leave the frames;
// the sanitizer build checks that).
TEST_F(Perform, BufferChangesWhileAGrainSounds) {
    host.buffer_create("env", std::vector<float>(1024, 0.5f));
    host.buffer_create("two", std::vector<float>(1024, 0.25f));
    probe(4);
    host.send(box, "setenv", {L(2), S("two")});
    step({0});
    host.send(box, "grain", grain_args(0, 0, 0.25f, 1, 100, 0, 1, 0)); // slot 0, voice 63
    host.send(box, "grain", grain_args(0, 0, 0.25f, 1, 100, 0, 1, 2)); // slot 2, voice 62
    EXPECT_EQ(step({0})[0], 0.75f);

    host.buffer_resize("env", 3); // shrunk: reads clamp to the last frame
    EXPECT_EQ(step({0}), (std::vector<float>(4, 0.75f)));
    host.buffer_replace("env", std::vector<float>(2048, 2.0f)); // replaced: read at the same positions
    EXPECT_EQ(step({0})[0], 2.25f);
    host.buffer_delete("two"); // slot 2 dropped: its grain ends, its voice is free
    EXPECT_EQ(step({0})[0], 2.0f);
    EXPECT_EQ(x->voice_busy[62].load(), 0);
    EXPECT_EQ(x->voice_busy[63].load(), 1);
}

// A grain queued while slot 0 was never bound has no envelope: it holds its voice through its delay
// and ends without a sample, even once a buffer~ appears.
TEST_F(Perform, GrainWithoutFramesEndsSilently) {
    box = make({L(1), S("later")});
    x = rec(box);
    start(1000.0f, 4, {{box, 1}});
    host.send(box, "grain", grain_args(6, 0, 0.25f, 1, 100, 0, 1, 0));
    step({0}); // silent vector: the request is taken with frames -1
    EXPECT_EQ(busy_count(box), 1);
    host.buffer_create("later", ones(16));
    EXPECT_EQ(step({0}), (std::vector<float>(4, 0.0f)));
    EXPECT_EQ(step({0}), (std::vector<float>(4, 0.0f)));
    EXPECT_EQ(busy_count(box), 0);
}

TEST_F(Perform, MatchesAHandComputedSine) {
    host.buffer_create("env", ones(1024));
    box = make({L(1), S("env")});
    host.send_float(box, 2, 440.0);
    host.send_float(box, 3, 0.1);
    host.send_float(box, 4, 0.5);
    start(44100.0f, 64, {{box, 1}});
    set_input(box, 1, {1.0f});
    host.run_vector();
    const float *o = host.output(box, 1);
    for (int k = 0; k < 64; ++k)
        EXPECT_NEAR(o[k], 0.5 * std::sin(two_pi * (0.1 + k * 440.0 / 44100.0)), 1e-5) << k;
}

TEST_F(Perform, GainsPerOutputAreFixedForTheGrainsLife) {
    probe(4, 1000.0f, 2, {6});
    const float r = std::sqrt(0.5f);
    set_input(box, 6, {0.25f});
    step({1});
    EXPECT_NEAR(host.output(box, 1)[0], r, 1e-6);
    EXPECT_NEAR(host.output(box, 2)[0], r, 1e-6);
    // the pan signal moves: the sounding grain stays, a new grain takes the new value
    set_input(box, 6, {0.5f});
    step({-1, 1, 1, 1});
    EXPECT_NEAR(host.output(box, 1)[0], r, 1e-6);
    EXPECT_NEAR(host.output(box, 2)[0], r, 1e-6);
    EXPECT_NEAR(host.output(box, 1)[1], r, 1e-6);
    EXPECT_NEAR(host.output(box, 2)[1], r + 1.0f, 1e-6);
    EXPECT_EQ(x->voice_gain[0][62], 0.0f);
    EXPECT_EQ(x->voice_gain[1][62], 1.0f);
}

TEST_F(Perform, FloatPanAndDistAtTheTrigger) {
    probe(4, 1000.0f, 4);
    host.send_float(box, 6, 0.125);
    host.send_float(box, 7, 1.0);
    step({1});
    host.send_float(box, 6, 0.5); // only later grains
    const float r = std::sqrt(0.5f);
    const float expected[] = {r, r, 0.0f, 0.0f};
    for (int o = 0; o < 4; ++o) {
        EXPECT_NEAR(host.output(box, o + 1)[3], expected[o], 1e-6);
    }
    step({1});
    for (int o = 0; o < 4; ++o) EXPECT_NEAR(host.output(box, o + 1)[3], expected[o], 1e-6);
}

// A box silenced (disabled, or slot 0 without a buffer~) keeps its grains where they were: after the
// pause it outputs what an undisturbed box output before it.
TEST(PerformSilence, OnEveryOutputAndGrainsResume) {
    for (int cause = 0; cause < 2; ++cause) {
        SCOPED_TRACE(cause == 0 ? "disabled" : "slot 0 unbound");
        grainhost::Host h;
        h.buffer_create("env", hann(1024));
        h.buffer_create("ref", hann(1024));
        auto a = h.create("brindel~", {Atom::lng(2), Atom::sym("env")});
        auto b = h.create("brindel~", {Atom::lng(2), Atom::sym("ref")});
        ASSERT_TRUE(a && b);
        h.dsp_start(44100.0f, 64);
        for (BoxId bx : {*a, *b}) {
            h.send(bx, "grain", grain_args(0, 440, 0, 1, 10, 0.1f, 1, 0));
            h.send(bx, "grain", grain_args(2, 660, 0.3f, 0.5f, 8, 0.7f, 0.5f, 0));
        }
        std::vector<std::vector<float>> ref[2];
        h.run_vector(); // both sound
        if (cause == 0) h.set_disabled(*a, true);
        else h.buffer_delete("env");
        for (int v = 0; v < 3; ++v) {
            h.run_vector();
            for (int o = 1; o <= 2; ++o)
                for (int i = 0; i < 64; ++i) ASSERT_EQ(h.output(*a, o)[i], 0.0f);
            ref[0].emplace_back(h.output(*b, 1), h.output(*b, 1) + 64);
            ref[1].emplace_back(h.output(*b, 2), h.output(*b, 2) + 64);
        }
        if (cause == 0) h.set_disabled(*a, false);
        else h.buffer_create("env", hann(1024));
        for (int v = 0; v < 3; ++v) {
            h.run_vector();
            for (int o = 0; o < 2; ++o)
                for (int i = 0; i < 64; ++i)
                    ASSERT_EQ(h.output(*a, o + 1)[i], ref[o][size_t(v)][size_t(i)]) << v << " " << i;
        }
    }
}

TEST_F(Perform, NvoicesLoweredAndRaisedWhileGrainsSound) {
    probe(4);
    host.send(box, "poll", {L(1)});
    host.send(box, "nvoices", {L(20)});
    for (int i = 0; i < 15; ++i) host.send(box, "grain", grain_args(0, 0, 0.25f, 1, 1000, 0, 1, 0));
    EXPECT_EQ(step({0})[0], 15.0f); // voices 20 down to 6
    host.send(box, "nvoices", {L(5)});
    EXPECT_EQ(step({0})[0], 0.0f);
    EXPECT_EQ(busy_count(box), 15);
    EXPECT_EQ(step({-1, 1, 1, 1})[1], 1.0f);
    EXPECT_EQ(x->voice_busy[5].load(), 1);
    const auto lists = host.lists(box);
    ASSERT_GE(lists.size(), 3u);
    EXPECT_EQ(lists[lists.size() - 1].atoms, (Atoms{S("voices"), L(0)}));
    host.send(box, "nvoices", {L(20)});
    EXPECT_EQ(step({1})[0], 16.0f); // the fifteen go on from where they stopped
    EXPECT_EQ(x->voice_remaining[6], 1000 - 2 * 4);
    host.send(box, "clear");
    EXPECT_EQ(step({1})[0], 0.0f);
    EXPECT_EQ(busy_count(box), 0);
}

TEST_F(Perform, VoicesListEveryVectorWhilePolling) {
    probe(4);
    host.send(box, "poll", {L(1)});
    host.send(box, "grain", grain_args(0, 0, 0.25f, 1, 6, 0, 1, 0));
    step({0});
    host.buffer_delete("env"); // silenced vectors report too
    step({0});
    host.buffer_create("env", ones(8));
    step({0});
    step({0});
    host.send(box, "poll", {L(0)});
    step({0});
    const auto lists = host.lists(box);
    const int32_t counts[] = {1, 1, 1, 0};
    ASSERT_EQ(lists.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(lists[i].atoms, (Atoms{S("voices"), L(counts[i])})) << i;
        EXPECT_EQ(lists[i].outlet, 2);
    }

    // three outputs: no perform routine, no list
    const BoxId odd = make({L(3), S("env")});
    host.send(odd, "poll", {L(1)});
    host.dsp_start(1000.0f, 4);
    host.run_vector();
    EXPECT_TRUE(host.lists(odd).empty());
}

// A count that renders nothing still gives silent outlets when the host lends each outlet the
// memory of the inlet with its index: the trigger, frequency, phase and amplitude signals fed to
// inlets 1 to 4 must not come out of outlets 1 to 4. (Found by the fuzz target: an infinite
// trigger came out of outlet 1.)
TEST(PerformOddCount, AliasedOutletsStaySilent) {
    for (int32_t count : {3, 5, 7, -1}) {
        SCOPED_TRACE(count);
        grainhost::HostOptions opt;
        opt.alias_vectors = true;
        grainhost::Host h(opt);
        h.buffer_create("env", ones(64));
        const auto box = h.create("brindel~", {L(count), S("env")});
        ASSERT_TRUE(box);
        const int outs = h.signal_outlets(*box);
        for (int inlet = 1; inlet <= 7; ++inlet) h.feed(*box, inlet);
        h.dsp_start(44100.0f, 16);
        for (int inlet = 1; inlet <= 7; ++inlet) {
            float *in = h.input(*box, inlet);
            for (int i = 0; i < 16; ++i) in[i] = inlet == 1 ? std::numeric_limits<float>::infinity() : 0.5f;
        }
        h.run_vector();
        for (int o = 1; o <= outs; ++o) {
            const float *out = h.output(*box, o);
            for (int i = 0; i < 16; ++i) ASSERT_EQ(out[i], 0.0f) << "outlet " << o << " sample " << i;
        }
    }
}

// The same trigger pattern rendered with vector sizes 1, 64 and 512, with separate and aliased
// vectors, agrees within a small tolerance (the envelope position is re-split at every vector).
TEST(PerformAgreement, VectorSizesAndAliasing) {
    constexpr int total = 4096;
    auto render = [&](int vs, bool alias) {
        grainhost::HostOptions opt;
        opt.alias_vectors = alias;
        grainhost::Host h(opt);
        h.buffer_create("env", hann(1024));
        auto box = h.create("brindel~", {Atom::lng(2), Atom::sym("env")});
        EXPECT_TRUE(box);
        h.send_float(*box, 2, 523.25);
        h.send_float(*box, 5, 20.0);
        h.send_float(*box, 6, 0.3);
        h.feed(*box, 1);
        h.feed(*box, 4); // amplitude by signal
        h.dsp_start(44100.0f, vs);
        std::vector<float> out[2];
        for (int start = 0; start < total; start += vs) {
            float *trig = h.input(*box, 1);
            float *amp = h.input(*box, 4);
            for (int i = 0; i < vs; ++i) {
                const int t = start + i;
                trig[i] = (t % 300) < 150 ? 1.0f : -1.0f;
                amp[i] = 0.25f + float(t % 7) * 0.05f;
            }
            h.run_vector();
            for (int o = 0; o < 2; ++o) out[o].insert(out[o].end(), h.output(*box, o + 1), h.output(*box, o + 1) + vs);
        }
        return std::vector<std::vector<float>>{out[0], out[1]};
    };
    const auto ref = render(64, false);
    double energy = 0.0;
    for (float v : ref[0]) energy += double(v) * v;
    ASSERT_GT(energy, 1.0);
    for (int vs : {1, 64, 512}) {
        for (bool alias : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "vector size " << vs << (alias ? " aliased" : ""));
            const auto got = render(vs, alias);
            for (int o = 0; o < 2; ++o)
                for (int t = 0; t < total; ++t)
                    ASSERT_NEAR(got[size_t(o)][size_t(t)], ref[size_t(o)][size_t(t)], 1e-4) << o << " " << t;
        }
    }
}

TEST_F(Perform, NonFiniteParameterSignalsStartNoGrain) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        int inlet;
        float value;
    } cases[] = {{2, nan}, {2, inf}, {3, nan}, {3, -inf}, {4, nan}, {4, inf},
                 {5, nan}, {5, -inf}, {6, nan}, {7, inf}};
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "inlet " << c.inlet << " = " << c.value);
        probe(4, 1000.0f, 2, {c.inlet});
        set_input(box, c.inlet, {c.value});
        step({-1, 1, -1, 1});
        EXPECT_EQ(busy_count(box), 0);
        for (int o = 1; o <= 2; ++o)
            for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::isfinite(host.output(box, o)[i]));
        // the inlet is good again: grains start
        set_input(box, c.inlet, {c.inlet == 5 ? 10.0f : 0.25f});
        step({-1, 1, 1, 1});
        EXPECT_EQ(busy_count(box), 1);
        host.destroy(box);
    }
}

} // namespace
} // namespace brindel_test
