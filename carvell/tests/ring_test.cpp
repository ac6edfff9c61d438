// ring_test.cpp: the live-input ring, the freeze and the grain bounds, called without a host.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "carvell_ring.h"

using namespace carvell;

namespace {

// A ring of L samples, fresh as creation leaves it (zeroed, recording at 0).
struct ring_fixture {
    std::vector<float> mem;
    carvell_ring r{};
    explicit ring_fixture(int32_t length) : mem(size_t(length), 0.0f) {
        r.ring_length = length;
        r.ring = mem.data();
    }
    // Writes n samples valued from `next` on, and returns the next value.
    float write(int32_t n, float next) {
        std::vector<float> in(static_cast<size_t>(n));
        std::iota(in.begin(), in.end(), next);
        ring_write(r, in.data(), n);
        return next + float(n);
    }
};

TEST(CarvellRing, FirstVectorAndWrap) {
    ring_fixture f(22050);
    f.write(64, 1.0f);
    EXPECT_EQ(f.r.write_index, 64);
    EXPECT_EQ(f.mem[0], 1.0f);
    EXPECT_EQ(f.mem[63], 64.0f);
    EXPECT_EQ(f.mem[64], 0.0f);

    // W reaches L exactly at the end of a vector and stays L until the next sample goes to 0.
    f.r.write_index = 22050 - 64;
    f.write(64, 100.0f);
    EXPECT_EQ(f.r.write_index, 22050);
    EXPECT_EQ(f.mem[22049], 163.0f);
    f.write(1, 500.0f);
    EXPECT_EQ(f.r.write_index, 1);
    EXPECT_EQ(f.mem[0], 500.0f);

    // A vector that straddles the end continues at position 0.
    f.r.write_index = 22050 - 10;
    f.write(64, 1000.0f);
    EXPECT_EQ(f.r.write_index, 54);
    EXPECT_EQ(f.mem[22049], 1009.0f);
    EXPECT_EQ(f.mem[0], 1010.0f);
    EXPECT_EQ(f.mem[53], 1063.0f);
    EXPECT_EQ(f.r.freeze_index, 54);
    EXPECT_EQ(f.r.freeze_written, 0);
}

TEST(CarvellRing, FreezeRecordsElevenThousandSamplesThenStops) {
    ring_fixture f(441000);
    float next = f.write(640, 1.0f);
    const int32_t w = f.r.write_index;
    freeze_start(f.r);
    for (int v = 0; v < 172; ++v) next = f.write(64, next);
    EXPECT_EQ(f.r.freeze_written, 172 * 64);
    EXPECT_EQ(f.r.freeze_countdown, 17);
    next = f.write(64, next); // 17 samples of this one
    next = f.write(64, next); // nothing of this one
    EXPECT_EQ(f.r.write_index, w);
    EXPECT_EQ(f.r.freeze_written, 11025);
    EXPECT_EQ(f.r.freeze_countdown, 0);
    EXPECT_EQ(f.mem[size_t(w)], 641.0f);
    EXPECT_EQ(f.mem[size_t(w) + 11024], 641.0f + 11024.0f);
    EXPECT_EQ(f.mem[size_t(w) + 11025], 0.0f);

    // Ending it moves W forward by all that was recorded.
    freeze_end(f.r);
    EXPECT_EQ(f.r.write_index, w + 11025);
    f.write(1, -1.0f);
    EXPECT_EQ(f.mem[size_t(w) + 11025], -1.0f);
}

TEST(CarvellRing, FreezeEndedEarlyMovesWByWhatWasRecordedAcrossTheWrap) {
    ring_fixture f(22050);
    f.r.write_index = 22000;
    f.r.freeze_index = 22000;
    freeze_start(f.r);
    f.write(100, 1.0f);
    EXPECT_EQ(f.r.freeze_written, 100);
    EXPECT_EQ(f.mem[22049], 50.0f);
    EXPECT_EQ(f.mem[0], 51.0f);
    freeze_end(f.r);
    EXPECT_EQ(f.r.write_index, 50); // 22000 + 100, modulo L
}

// The request word composes messages that arrive between two vectors as if each were handled at once.
TEST(CarvellRing, FreezeRequestsBetweenVectors) {
    struct step { std::vector<int32_t> messages; bool frozen; bool restarted; };
    const step cases[] = {
        {{1}, true, true},          // starts
        {{0}, false, false},        // "freeze 0" while recording: nothing
        {{-3}, false, false},
        {{1, 1}, false, false},     // the second ends it: nothing remains
        {{1, 0}, false, false},
        {{1, 1, 1}, true, true},
    };
    for (const step &c : cases) {
        ring_fixture f(22050);
        f.write(64, 1.0f);
        uint32_t request = 0, applied = 0;
        for (int32_t a : c.messages) request = freeze_request_next(request, a);
        freeze_apply(f.r, applied, request);
        EXPECT_EQ(f.r.freeze_flag != 0, c.frozen);
        EXPECT_EQ(f.r.write_index, 64);
        if (c.restarted) {
            EXPECT_EQ(f.r.freeze_countdown, freeze_samples);
            EXPECT_EQ(f.r.freeze_index, 64);
        }
    }

    // While frozen with 100 samples recorded: "freeze 1" then "freeze 1" ends the freeze (W moves by
    // 100) and starts a fresh one at the new W, which a plain "frozen -> frozen" would miss.
    ring_fixture f(22050);
    uint32_t request = 0, applied = 0;
    request = freeze_request_next(request, 1);
    freeze_apply(f.r, applied, request);
    f.write(100, 1.0f);
    request = freeze_request_next(request, 1);
    request = freeze_request_next(request, 1);
    freeze_apply(f.r, applied, request);
    EXPECT_EQ(f.r.freeze_flag, 1);
    EXPECT_EQ(f.r.write_index, 100);
    EXPECT_EQ(f.r.freeze_index, 100);
    EXPECT_EQ(f.r.freeze_written, 0);
    EXPECT_EQ(f.r.freeze_countdown, freeze_samples);
    // A second apply of the same word changes nothing.
    f.write(10, 1.0f);
    freeze_apply(f.r, applied, request);
    EXPECT_EQ(f.r.freeze_written, 10);
}

struct bounds_case {
    const char *what;
    int32_t constraint;
    int32_t frozen;      // 0 recording, 1 frozen and running, 2 frozen and exhausted
    int32_t written;     // N
    int32_t d, g;
    float t;
    int32_t dmin, dmax, gmax;
};

TEST(CarvellRing, GrainBounds) {
    const int32_t L = 441000;
    const bounds_case cases[] = {
        {"constraint, faster than the recorder", 1, 0, 0, 100, 4410, 2.0f, 4410, L - 1, 4646000},
        {"constraint, at the recorder's speed", 1, 0, 0, 0, 4410, 1.0f, 0, L - 1, 4646000},
        {"constraint, slower", 1, 0, 0, 0, 4410, 0.5f, 0, L - 2205, 4646000},
        {"constraint, backwards", 1, 0, 0, 0, 4410, -1.0f, 0, L - 8820, 4646000},
        {"constraint, frozen running", 1, 1, 1000, 0, 4410, 2.0f, 3410, L - 1, 4646000},
        {"constraint, exhausted, forward", 1, 2, 11025, 0, 4410, 1.0f, 4410 - 11025, L - 1, 4646000},
        {"constraint, exhausted, backward", 1, 2, 11025, 0, 4410, -0.5f, 0, L - 11025 - 2205, 4646000},
        {"free, slower", 0, 0, 0, 0, 4410, 0.5f, 0, L - 1, 882000},
        {"free, faster, delay 0", 0, 0, 0, 0, 4410, 2.0f, 0, L - 1, 0},
        {"free, faster, delay 441", 0, 0, 0, 441, 4410, 2.0f, 0, L - 1, 441},
        {"free, recorder's speed", 0, 0, 0, 0, 4410, 1.0f, 0, L - 1, 4646000},
        {"free, exhausted, forward", 0, 2, 11025, 100, 4410, 2.0f, 0, L - 1, 5562},
        {"free, exhausted, backward", 0, 2, 11025, 100, 4410, -1.0f, 0, L - 1, L - 11125},
        {"free, exhausted, still", 0, 2, 11025, 0, 4410, 0.0f, 0, L - 1, 4646000},
        {"free, huge speed", 0, 0, 0, 2147483647, 4410, 1.5f, 0, L - 1, 2147483647},
        {"constraint, huge speed", 1, 0, 0, 0, 2147483647, 3.0e38f, 2147483647, L - 1, 4646000},
    };
    for (const bounds_case &c : cases) {
        SCOPED_TRACE(c.what);
        carvell_ring r{};
        r.ring_length = L;
        r.freeze_flag = c.frozen != 0;
        r.freeze_countdown = c.frozen == 1 ? 5000 : 0;
        r.freeze_written = c.written;
        const grain_limits lim = grain_bounds(r, c.constraint, c.d, c.g, c.t);
        EXPECT_EQ(lim.dmin, c.dmin);
        EXPECT_EQ(lim.dmax, c.dmax);
        EXPECT_EQ(lim.gmax, c.gmax);
    }
}

} // namespace
