// render_test.cpp: carvell~'s perform routine through the host: scheduling, grain start and
// rendering out of the ring. The envelope is a rectangle of 1.0, so a grain's output is the ring's
// content times its gains, and expected values come from the input the test gave.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "carvell_test_support.h"

using grainhost::Atom;
using namespace carvell_test;

namespace {

// A length in ms that gives exactly `samples` samples at 44100 Hz (truncation toward zero).
float ms_for(int samples) { return (float(samples) + 0.5f) / 44.1f; }

// The input at absolute time t, as the test gave it.
float in_at(const rig &r, int64_t t) { return r.input_log.at(size_t(t)); }

TEST(CarvellRender, ReplayAtDelayZeroThroughEachOutputsGain) {
    const float s = float(std::sqrt(0.5));
    struct row { int outputs; float pan, dist; std::vector<float> gains; };
    const row rows[] = {
        {1, 0.3f, 0.2f, {1.0f}},
        {2, 0.0f, 1.0f, {1.0f, 0.0f}},
        {2, 0.4f, 0.0f, {s, s}},
        {4, 0.25f, 1.0f, {0.0f, 1.0f, 0.0f, 0.0f}},
        {8, 0.0f, 0.0f, std::vector<float>(8, 0.5f)},
    };
    for (const row &c : rows) {
        SCOPED_TRACE(c.outputs);
        rig r({Atom::sym("env"), Atom::lng(c.outputs)});
        r.host.send_float(r.box, 7, c.pan);
        r.host.send_float(r.box, 8, c.dist);
        r.run();
        r.trigger_at(10);
        const int64_t p = r.time - vec + 10; // the trigger's absolute time
        for (int v = 0; v < 3; ++v) {
            if (v > 0) r.run();
            for (int q = 0; q < c.outputs; ++q) {
                const std::vector<float> o = r.out(q + 1);
                for (int i = 0; i < vec; ++i) {
                    const int64_t t = r.time - vec + i;
                    const float expected = t < p ? 0.0f : c.gains[size_t(q)] * in_at(r, t);
                    ASSERT_EQ(o[size_t(i)], expected) << "output " << q + 1 << " time " << t;
                }
            }
        }
    }
}

TEST(CarvellRender, HalfSpeedWithAndWithoutInterpolation) {
    for (bool interp : {true, false}) {
        SCOPED_TRACE(interp);
        rig r;
        r.host.send(r.box, "sinterp", {Atom::lng(interp ? 1 : 0)});
        r.host.send_float(r.box, 4, 0.5);
        r.run();
        r.trigger_at(0);
        const int64_t p = r.time - vec;
        std::vector<float> o = r.out(1);
        r.run();
        const std::vector<float> o2 = r.out(1);
        o.insert(o.end(), o2.begin(), o2.end());
        for (int s = 0; s < 2 * vec; ++s) {
            const int64_t base = p + s / 2;
            float expected = in_at(r, base);
            if (s % 2 == 1 && interp) expected = 0.5f * in_at(r, base) + 0.5f * in_at(r, base + 1);
            ASSERT_EQ(o[size_t(s)], expected) << s;
        }
    }
}

TEST(CarvellRender, GrainSpanningThreeVectors) {
    rig r;
    r.host.send_float(r.box, 6, ms_for(100));
    r.run();
    r.trigger_at(60);
    const int counts[] = {4, 64, 32};
    for (int v = 0; v < 3; ++v) {
        if (v > 0) r.run();
        const std::vector<float> o = r.out(1);
        int nonzero = 0;
        for (float x : o) nonzero += x != 0.0f;
        EXPECT_EQ(nonzero, counts[v]) << "vector " << v;
        EXPECT_EQ(r.busy_voices(), v < 2 ? 1 : 0);
    }
    EXPECT_EQ(r.out(1)[31], in_at(r, r.time - vec + 31));
    EXPECT_EQ(r.out(1)[32], 0.0f);
}

// The envelope's direction and increment: forward grains start at frame 0, backward ones (a negative
// length float or signal) at frame F - 1, both sweeping (F - 1) / 2205 frames per sample at 50 ms.
TEST(CarvellRender, EnvelopeDirectionFromTheLengthFloatOrSignal) {
    constexpr int frames = 512;
    std::vector<float> env(frames);
    for (int k = 0; k < frames; ++k) env[size_t(k)] = float(k + 1) / float(frames);
    struct row { bool signal; float length_ms; bool backwards; };
    const row rows[] = {{false, 50.0f, false}, {false, -50.0f, true}, {true, 50.0f, false},
                        {true, -50.0f, true}};
    for (const row &c : rows) {
        SCOPED_TRACE(testing::Message() << c.signal << " " << c.length_ms);
        rig r({Atom::sym("env"), Atom::lng(1)}, c.signal ? std::vector<int>{6} : std::vector<int>{});
        r.host.buffer_replace("env", env);
        if (!c.signal) r.host.send_float(r.box, 6, c.length_ms);
        r.host.send(r.box, "sinterp", {Atom::lng(0)});
        r.run({}, {{6, c.length_ms}});
        r.trigger_at(10, {{6, c.length_ms}});
        const t_carvell *x = r.rec();
        const float inc = float(frames - 1) / 2205.0f;
        EXPECT_EQ(x->pool.voice_length[63], 2205.0f);
        EXPECT_EQ(x->pool.voice_env_inc[63], c.backwards ? -inc : inc);
        const float first = c.backwards ? env[frames - 1] : env[0];
        EXPECT_EQ(r.out(1)[10], in_at(r, r.time - vec + 10) * first);
    }
}

// A ring of 22050 samples: a half-speed grain with interpolation reads across position L - 1 to 0,
// and the partner of ring[L - 1] is ring[0], so the output follows the input without a seam.
TEST(CarvellRender, ReadingAcrossTheRingsWrap) {
    rig r({Atom::sym("env"), Atom::lng(1), Atom::flt(100.0f)});
    ASSERT_EQ(r.rec()->rec.ring_length, 22050);
    r.host.send_float(r.box, 4, 0.5);
    r.host.send_float(r.box, 3, 10.5 / 44.1); // 10 samples behind
    for (int v = 0; v < 344; ++v) r.run();
    r.trigger_at(30);
    const int64_t start = r.time - vec + 30 - 10;
    const std::vector<float> o = r.out(1);
    for (int s = 0; s < 34; ++s) {
        const int64_t base = start + s / 2;
        float expected = in_at(r, base);
        if (s % 2 == 1) expected = 0.5f * in_at(r, base) + 0.5f * in_at(r, base + 1);
        ASSERT_EQ(o[size_t(30 + s)], expected) << s;
    }
    EXPECT_EQ(start + 14, 22050); // the wrap lies inside the samples checked
}

TEST(CarvellRender, BackwardTransposition) {
    rig r;
    r.host.send_float(r.box, 4, -1.0);
    r.host.send_float(r.box, 3, 10.0); // 441 samples behind
    for (int v = 0; v < 20; ++v) r.run();
    r.trigger_at(5);
    const int64_t start = r.time - vec + 5 - 441;
    std::vector<float> o = r.out(1);
    r.run();
    const std::vector<float> o2 = r.out(1);
    o.insert(o.end(), o2.begin(), o2.end());
    for (int s = 0; s < 2 * vec - 5; ++s) ASSERT_EQ(o[size_t(5 + s)], in_at(r, start - s)) << s;
}

// Transposition 2, length 100 ms: the constraint moves the delay to 4410 so the grain ends at the
// present; without it the grain keeps its delay and is cut where it would pass the present.
TEST(CarvellRender, ConstraintAtDoubleSpeed) {
    struct row { int32_t constraint; float delay_ms; int64_t delay; int length; };
    const row rows[] = {{1, 0.0f, 4410, 4410}, {0, 0.0f, 0, 0}, {0, 10.0f, 441, 441}};
    for (const row &c : rows) {
        SCOPED_TRACE(c.constraint);
        rig r;
        r.host.send(r.box, "constraint", {Atom::lng(c.constraint)});
        r.host.send_float(r.box, 4, 2.0);
        r.host.send_float(r.box, 3, c.delay_ms);
        for (int v = 0; v < 70; ++v) r.run();
        r.trigger_at(0);
        const int64_t p = r.time - vec;
        int rendered = 0;
        for (int v = 0; v < 72; ++v) {
            if (v > 0) r.run();
            const std::vector<float> o = r.out(1);
            for (int i = 0; i < vec; ++i) {
                const int64_t s = r.time - vec + i - p;
                const float expected = s < c.length ? in_at(r, p - c.delay + 2 * s) : 0.0f;
                ASSERT_EQ(o[size_t(i)], expected) << s;
                rendered += o[size_t(i)] != 0.0f;
            }
            if (v == 0 && c.length == 0) {
                EXPECT_EQ(r.busy_voices(), 0); // freed in the same call
            }
        }
        EXPECT_EQ(rendered, c.length);
    }
}

// Frozen with the countdown over: a grain at delay 0 reads the material recorded after the freeze
// began, not the live input.
TEST(CarvellRender, FrozenExhaustedDelayZero) {
    rig r;
    r.host.send_float(r.box, 6, 50.0);
    for (int v = 0; v < 10; ++v) r.run();
    const int64_t frozen_at = r.time;
    r.host.send(r.box, "freeze", {Atom::lng(1)});
    for (int v = 0; v < 180; ++v) r.run();
    EXPECT_EQ(r.rec()->rec.freeze_written, 11025);
    EXPECT_EQ(r.rec()->rec.write_index, frozen_at);
    r.trigger_at(5);
    std::vector<float> o = r.out(1);
    for (int s = 0; s < vec - 5; ++s) ASSERT_EQ(o[size_t(5 + s)], in_at(r, frozen_at + s)) << s;

    // Ending the freeze moves the present forward by the 11025 samples recorded.
    r.host.send(r.box, "freeze", {Atom::lng(0)});
    r.run();
    EXPECT_EQ(r.rec()->rec.write_index, frozen_at + 11025 + vec);
}

TEST(CarvellRender, FreezeThroughTheHostRecords172VectorsAnd17Samples) {
    rig r;
    r.run();
    r.host.send(r.box, "freeze", {Atom::lng(1)});
    for (int v = 0; v < 174; ++v) r.run();
    const t_carvell *x = r.rec();
    EXPECT_EQ(x->rec.write_index, 64);
    EXPECT_EQ(x->rec.freeze_written, 172 * 64 + 17);
    EXPECT_EQ(x->rec.ring[64], in_at(r, 64));
    EXPECT_EQ(x->rec.ring[64 + 11024], in_at(r, 64 + 11024));
    EXPECT_EQ(x->rec.ring[64 + 11025], 0.0f);
    // Two "freeze 1" in a row: the second ends the freeze.
    r.host.send(r.box, "freeze", {Atom::lng(1)});
    r.run();
    EXPECT_EQ(r.rec()->rec.freeze_flag, 0);
    EXPECT_EQ(r.rec()->rec.write_index, 64 + 11025 + 64);
}

TEST(CarvellRender, TriggersVoicesAndBang) {
    rig r;
    // 0 -> 0.5 starts a grain; 0.1 -> 0.5 and -0.3 -> 0.0 do not.
    std::vector<float> trig(size_t(vec), -1.0f);
    trig[4] = 0.0f; trig[5] = 0.5f;       // from 0.0: grain
    trig[6] = 0.1f; trig[7] = 0.5f;       // from 0.1: none
    trig[8] = -0.3f; trig[9] = 0.0f;      // to 0.0: none
    trig[31] = 0.4f;                      // from -1.0: grain
    r.run(trig);
    const t_carvell *x = r.rec();
    EXPECT_EQ(r.busy_voices(), 2);
    EXPECT_EQ(x->pool.voice_busy[63].load(), 1);
    EXPECT_EQ(x->pool.voice_busy[62].load(), 1);
    EXPECT_EQ(r.out(1)[4], 0.0f); // sounding from the trigger sample on
    EXPECT_EQ(r.out(1)[5], in_at(r, r.time - vec + 5));
    EXPECT_EQ(x->g.prev_trigger, -1.0f);

    // A bang starts one grain at sample 0 whatever the trigger; a trigger still positive at
    // sample 1 starts no second one.
    r.host.send(r.box, "clear");
    r.host.send_bang(r.box);
    r.host.send_bang(r.box);
    r.run(std::vector<float>(size_t(vec), 0.7f));
    EXPECT_EQ(r.busy_voices(), 1);
    EXPECT_EQ(r.out(1)[0], in_at(r, r.time - vec));

    // "nvoices" 1: one voice; a second trigger while it sounds is lost, and the scan ends there.
    r.host.send(r.box, "clear");
    r.host.send(r.box, "nvoices", {Atom::lng(1)});
    std::vector<float> two(size_t(vec), -1.0f);
    two[3] = 1.0f;
    two[40] = 1.0f;
    r.run(two);
    EXPECT_EQ(r.busy_voices(), 1);
    EXPECT_EQ(x->pool.voice_busy[1].load(), 1);
    EXPECT_EQ(x->g.prev_trigger, 1.0f); // the last value examined
}

TEST(CarvellRender, NoEnvelopeIsSilentButRecords) {
    rig r({Atom::sym("missing"), Atom::lng(2)});
    r.host.send_bang(r.box);
    r.trigger_at(3);
    EXPECT_EQ(r.rec()->rec.write_index, vec);
    EXPECT_EQ(r.rec()->rec.ring[3], in_at(r, 3));
    EXPECT_EQ(r.busy_voices(), 0);
    EXPECT_EQ(r.rec()->g.bang_pending.load(), 1); // the bang waits
    for (int q = 1; q <= 2; ++q)
        for (float v : r.out(q)) EXPECT_EQ(v, 0.0f);
}

// A parameter that is NaN or infinite starts no grain: the trigger is spent, the voice stays free.
TEST(CarvellRender, NonFiniteParametersStartNoGrain) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::pair<int, float> rows[] = {{3, nan}, {3, inf}, {4, nan}, {4, -inf}, {5, nan},
                                          {5, inf}, {6, nan}, {6, -inf}, {7, inf}, {8, nan}};
    for (const auto &[inlet, value] : rows) {
        SCOPED_TRACE(testing::Message() << "inlet " << inlet << " value " << value);
        rig r({Atom::sym("env"), Atom::lng(2)}, {inlet});
        const float finite = inlet == 6 ? 50.0f : 0.5f;
        r.run({}, {{inlet, finite}});
        r.trigger_at(7, {{inlet, value}});
        EXPECT_EQ(r.busy_voices(), 0);
        for (int q = 1; q <= 2; ++q)
            for (float v : r.out(q)) EXPECT_EQ(v, 0.0f);
        // The next finite trigger takes the highest voice as usual.
        r.trigger_at(7, {{inlet, finite}});
        EXPECT_EQ(r.rec()->pool.voice_busy[63].load(), 1);
    }

    // Floats: an infinite transposition or amplitude from a float inlet starts nothing either.
    for (int inlet : {4, 5}) {
        rig r;
        r.host.send_float(r.box, inlet, 1e300);
        r.trigger_at(7);
        EXPECT_EQ(r.busy_voices(), 0) << inlet;
    }
}

// Huge finite values are bounded where integers are formed, and the output stays finite.
TEST(CarvellRender, HugeFiniteParametersStayFinite) {
    const std::pair<int, float> rows[] = {{3, 3e38f}, {4, 3e38f}, {4, -4e4f}, {4, 40000.0f},
                                          {6, 3e38f}, {6, -3e38f}, {5, 1e30f}};
    for (const auto &[inlet, value] : rows) {
        SCOPED_TRACE(testing::Message() << "inlet " << inlet << " value " << value);
        rig r({Atom::sym("env"), Atom::lng(2)}, {inlet});
        r.host.send(r.box, "constraint", {Atom::lng(0)});
        r.run();
        r.trigger_at(7, {{inlet, value}});
        for (int v = 0; v < 3; ++v) {
            for (int q = 1; q <= 2; ++q)
                for (float x : r.out(q)) ASSERT_TRUE(std::isfinite(x));
            r.run({}, {{inlet, value}});
        }
    }
}

// A read speed of 40000 passes the 32-bit accumulator's range within one vector (its 16.16 step
// alone does not fit in 32 bits): the reads still land at start + s * T, modulo the ring.
TEST(CarvellRender, FastReadsStayInTheRing) {
    rig r({Atom::sym("env"), Atom::lng(1), Atom::flt(500.0f)});
    r.host.send(r.box, "sinterp", {Atom::lng(0)});
    const int32_t L = r.rec()->rec.ring_length;
    for (int v = 0; v < 400; ++v) r.run(); // the ring is full of recorded input
    r.host.send_float(r.box, 4, 40000.0);
    r.host.send_float(r.box, 6, ms_for(64));
    r.trigger_at(0);
    // The constraint moves the delay to dmin = 39999 * 64.
    const int64_t start = r.time - vec - int64_t(39999) * 64;
    const std::vector<float> o = r.out(1);
    for (int s = 0; s < vec; ++s) {
        const int64_t pos = start + int64_t(s) * 40000;
        const int64_t in_ring = ((pos % L) + L) % L;
        ASSERT_EQ(o[size_t(s)], r.rec()->rec.ring[in_ring]) << s;
    }
}

} // namespace
