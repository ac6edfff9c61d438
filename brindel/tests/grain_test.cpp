// grain_test.cpp: the "grain" message of brindel~: slot order, limits, the values a voice receives,
// the usage line, "clear" against queued grains, non-finite and out-of-range arguments, pan gains.
//
// A grain of 0 Hz with phase 0.25 on an envelope of ones outputs exactly its amplitude at every
// sample: that makes the number of sounding grains visible in the output.
#include <cmath>

#include "brindel_test_support.h"

namespace brindel_test {
namespace {

class Grain : public Brindel {
protected:
    void SetUp() override {
        host.buffer_create("env", ones(1024));
        box = make({L(1), S("env")});
        x = rec(box);
        start(1000.0f, 64); // 1000 Hz: one millisecond is one sample
    }
    void grain(float delay, float freq, float phase, float amp, float length, float pan = 0.0f,
               float dist = 1.0f, float env = 0.0f) {
        host.send(box, "grain", grain_args(delay, freq, phase, amp, length, pan, dist, env));
    }
    BoxId box = 0;
    t_brindel *x = nullptr;
};

TEST_F(Grain, TakesSlotsFromTheTopAndDropsWhenFull) {
    for (int i = 0; i < 64; ++i) grain(0, 0, 0.25f, 1, 1000);
    host.run_vector();
    EXPECT_EQ(busy_count(box), 63);
    EXPECT_EQ(x->voice_busy[0].load(), 0);
    EXPECT_EQ(x->voice_busy[63].load(), 1);
    EXPECT_EQ(out(box, 1)[0], 63.0f); // the 64th grain was dropped, silently
    EXPECT_TRUE(host.console_text(box).empty());

    grain(0, 0, 0.25f, 1, 1000);
    host.run_vector();
    EXPECT_EQ(busy_count(box), 63);
}

TEST_F(Grain, FirstGrainsTakeSixtyThreeThenSixtyTwo) {
    grain(0, 0, 0.25f, 1, 1000);
    host.run_vector();
    EXPECT_EQ(x->voice_busy[63].load(), 1);
    grain(0, 0, 0.25f, 1, 10);
    host.run_vector();
    EXPECT_EQ(x->voice_busy[62].load(), 0); // 10 samples: ended in its first vector
    EXPECT_EQ(x->voice_remaining[62], 0);
    grain(0, 0, 0.25f, 1, 1000); // a freed slot is claimed again, from its new parameters only
    grain(0, 0, 0.25f, 1, 1000);
    host.run_vector();
    EXPECT_EQ(x->voice_remaining[62], 1000 - 64);
    EXPECT_EQ(x->voice_busy[61].load(), 1);
    EXPECT_EQ(busy_count(box), 3);
}

TEST_F(Grain, NvoicesBoundsTheSearch) {
    host.send(box, "nvoices", {L(4)});
    for (int i = 0; i < 5; ++i) grain(0, 0, 0.25f, 1, 1000);
    host.run_vector();
    for (int v = 1; v <= 4; ++v) EXPECT_EQ(x->voice_busy[v].load(), 1) << v;
    EXPECT_EQ(busy_count(box), 4);

    // a burst larger than the pool between two vectors fills all 511 voices
    host.send(box, "clear");
    host.send(box, "nvoices", {L(511)});
    for (int i = 0; i < 600; ++i) grain(0, 0, 0.25f, 1, 1000);
    host.run_vector();
    EXPECT_EQ(busy_count(box), 511);

    const struct {
        int32_t n, limit;
    } cases[] = {{0, 2}, {-3, 2}, {10, 11}, {511, 512}, {512, 512}, {5000, 512}};
    for (const auto &c : cases) {
        host.send(box, "nvoices", {L(c.n)});
        EXPECT_EQ(x->g.voice_limit.load(), c.limit) << c.n;
    }
}

TEST_F(Grain, UsageLineForFewerThanEightArguments) {
    Atoms seven = grain_args(0, 0, 0.25f, 1, 100, 0, 1, 0);
    seven.pop_back();
    host.send(box, "grain", seven);
    host.run_vector();
    EXPECT_EQ(host.console_text(box),
              std::vector<std::string>{"brindel~ : grain args are <delay(ms)> <freq> <phase> <amp> "
                                       "<length> <pan> <dist> <envbuffer>"});
    EXPECT_EQ(busy_count(box), 0);

    Atoms nine = grain_args(0, 0, 0.25f, 1, 100, 0, 1, 0);
    nine.push_back(L(7));
    host.send(box, "grain", nine);
    host.run_vector();
    EXPECT_EQ(busy_count(box), 1);
}

TEST_F(Grain, SymbolsReadAsZero) {
    Atoms args = grain_args(0, 0, 0.25f, 0.5f, 100, 0, 1, 0);
    args[1] = S("fast"); // frequency 0: a constant 1.0 at phase 0.25
    host.send(box, "grain", args);
    host.run_vector();
    for (float v : out(box, 1)) ASSERT_EQ(v, 0.5f);
}

TEST_F(Grain, ClearDropsEarlierRequestsOnly) {
    grain(0, 0, 0.25f, 1, 100);
    host.send(box, "clear");
    host.run_vector();
    EXPECT_EQ(busy_count(box), 0);
    EXPECT_EQ(out(box, 1)[0], 0.0f);

    host.send(box, "panic");
    grain(0, 0, 0.25f, 1, 100);
    host.run_vector();
    EXPECT_EQ(busy_count(box), 1);
    EXPECT_EQ(out(box, 1)[0], 1.0f);

    host.send(box, "clear"); // frees sounding grains at the next vector
    host.run_vector();
    EXPECT_EQ(busy_count(box), 0);
    EXPECT_EQ(out(box, 1)[0], 0.0f);
}

TEST_F(Grain, NonFiniteArgumentsStartNothing) {
    const float inf = INFINITY, nan = NAN;
    const Atoms bad[] = {
        grain_args(nan, 0, 0.25f, 1, 100, 0, 1, 0), grain_args(0, inf, 0.25f, 1, 100, 0, 1, 0),
        grain_args(0, 0, nan, 1, 100, 0, 1, 0),     grain_args(0, 0, 0.25f, -inf, 100, 0, 1, 0),
        grain_args(0, 0, 0.25f, 1, nan, 0, 1, 0),   grain_args(0, 0, 0.25f, 1, 100, inf, 1, 0),
        grain_args(0, 0, 0.25f, 1, 100, 0, nan, 0),
    };
    for (const auto &args : bad) host.send(box, "grain", args);
    host.run_vector();
    EXPECT_EQ(busy_count(box), 0);
    for (float v : out(box, 1)) ASSERT_EQ(v, 0.0f);
    EXPECT_TRUE(host.console_text(box).empty());
}

TEST_F(Grain, DelaysAndLengthsAreBounded) {
    grain(-50, 0, 0.25f, 1, 3);            // negative delay: at once
    grain(3e9f, 0, 0.25f, 1, 3);           // delay beyond 32 bits: saturates
    grain(0, 0, 0.25f, 1, 3e38f);          // length beyond 32 bits: saturates
    host.run_vector();
    EXPECT_EQ(x->voice_delay[63], 0);
    EXPECT_EQ(x->voice_remaining[63], 0); // three samples rendered
    EXPECT_EQ(x->voice_busy[63].load(), 0);
    EXPECT_EQ(x->voice_delay[62], INT32_MAX - 64);
    EXPECT_EQ(x->voice_remaining[61], INT32_MAX - 64);
    const auto o = out(box, 1);
    EXPECT_EQ(o[0], 2.0f);
    EXPECT_EQ(o[3], 1.0f);
}

TEST_F(Grain, EnvelopeSlotArgument) {
    host.buffer_create("half", std::vector<float>(16, 0.5f));
    host.send(box, "setenv", {L(2), S("half")});
    host.run_vector(); // the refresh binds slot 2
    const struct {
        float env;
        int32_t slot;
        float value;
    } cases[] = {{2.7f, 2, 0.5f}, {5.0f, 0, 1.0f}, {99.0f, 0, 1.0f}, {-3.0f, 0, 1.0f}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.env);
        grain(0, 0, 0.25f, 1, 10, 0, 1, c.env);
        host.run_vector();
        EXPECT_EQ(x->voice_env_slot[63], c.slot);
        EXPECT_EQ(out(box, 1)[0], c.value);
    }
}

TEST_F(Grain, VoiceFieldsAtStandardRate) {
    // the values a grain receives at 44100 Hz with a 1024-frame envelope
    host.dsp_start(44100.0f, 64);
    grain(10, 440, 0.0f, 1, 100);
    grain(10, 440, -0.25f, 1, -100);
    host.run_vector();
    EXPECT_EQ(x->voice_delay[63], 441 - 64);
    EXPECT_EQ(x->voice_length[63], 4410.0f);
    EXPECT_EQ(x->voice_remaining[63], 4410);
    EXPECT_EQ(x->voice_env_inc[63], 1023.0f / 4410.0f);
    EXPECT_EQ(x->voice_env_pos[63], 0.0f);
    EXPECT_EQ(x->voice_remaining[62], 4410);
    EXPECT_EQ(x->voice_env_inc[62], -1023.0f / 4410.0f);
    EXPECT_EQ(x->voice_env_pos[62], 1023.0f);
    EXPECT_EQ(x->voice_phase[62], 0.75f);
}

TEST(GrainPan, GainsPerOutputFromTheGrainsPanAndDist) {
    grainhost::Host host;
    host.buffer_create("env", ones(64));
    const float r = std::sqrt(0.5f);
    const struct {
        int outputs;
        float pan, dist;
        std::vector<float> gains;
    } cases[] = {
        {2, 0.0f, 1.0f, {1, 0}},          {2, 0.5f, 1.0f, {0, 1}},
        {2, 0.25f, 1.0f, {r, r}},         {2, 0.3f, 0.0f, {r, r}},
        {4, 0.25f, 1.0f, {0, 1, 0, 0}},   {4, 0.125f, 1.0f, {r, r, 0, 0}},
        {4, -0.3f, 2.0f, {1, 0, 0, 0}},   {8, 0.6f, 0.0f, {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f}},
        {6, 1.5f, 1.0f, {0, 0, 0, 1, 0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.outputs << " outputs, pan " << c.pan);
        auto box = host.create("brindel~", {Atom::lng(c.outputs), Atom::sym("env")});
        ASSERT_TRUE(box);
        host.dsp_start(1000.0f, 16);
        host.send(*box, "grain", grain_args(0, 0, 0.25f, 1, 10, c.pan, c.dist, 0));
        host.run_vector();
        for (int o = 0; o < c.outputs; ++o) {
            // the law rounds its positions to 32-bit floats: a zero of the closed form may be ~2^-11
            EXPECT_NEAR(host.output(*box, o + 1)[0], c.gains[size_t(o)], 1e-3) << "output " << o + 1;
            EXPECT_EQ(host.output(*box, o + 1)[9], host.output(*box, o + 1)[0]);
            EXPECT_EQ(host.output(*box, o + 1)[10], 0.0f); // the grain has ended
        }
        host.destroy(*box);
    }
}

} // namespace
} // namespace brindel_test
