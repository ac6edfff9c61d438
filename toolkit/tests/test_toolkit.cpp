// test_toolkit.cpp: the toolkit's pure functions called directly: the pan law, the interpolation
// table, the float-inlet rules and "nvoices", truncation, the denormal guard, the clear request and
// the envelope reads, the latter checked bit for bit against unbounded 16.16 arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include "toolkit/common.h"
#include "toolkit/env_read.h"
#include "toolkit/env_table.h"
#include "toolkit/pan.h"
#include "toolkit/simd.h"

namespace {

using toolkit::grain_common;

const float r = float(std::sqrt(0.5)); // the gain of a grain halfway between two outputs
const float nan_f = std::numeric_limits<float>::quiet_NaN();
const float inf_f = std::numeric_limits<float>::infinity();

// ---- pan law ---------------------------------------------------------------------------------------

struct PanCase {
    const char *what;
    int32_t n;
    float pan;
    float dist;
    std::vector<float> gains;
};

void PrintTo(const PanCase &c, std::ostream *os) { *os << c.what; }

class PanLaw : public ::testing::TestWithParam<PanCase> {};

TEST_P(PanLaw, GivesTheHandComputedGains) {
    const PanCase &c = GetParam();
    float out[8];
    for (float &g : out) g = 99.0f;
    ASSERT_EQ(toolkit::pan_gains(c.n, c.pan, c.dist, false, out), c.n);
    for (int32_t k = 0; k < c.n; ++k) EXPECT_NEAR(out[k], c.gains[k], 1e-6f) << "output " << k + 1;
    for (int32_t k = c.n; k < 8; ++k) EXPECT_EQ(out[k], 99.0f) << "wrote past n";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PanLaw,
    ::testing::Values(
        PanCase{"two_pan0", 2, 0.0f, 1.0f, {1, 0}},
        PanCase{"two_pan_half", 2, 0.5f, 1.0f, {0, 1}},
        PanCase{"two_pan_quarter", 2, 0.25f, 1.0f, {r, r}},
        PanCase{"two_pan1_is_pan0", 2, 1.0f, 1.0f, {1, 0}},
        PanCase{"two_spread0", 2, 0.3f, 0.0f, {r, r}},
        PanCase{"two_spread0_other_pan", 2, 0.9f, 0.0f, {r, r}},
        PanCase{"four_quarter", 4, 0.25f, 1.0f, {0, 1, 0, 0}},
        PanCase{"four_eighth", 4, 0.125f, 1.0f, {r, r, 0, 0}},
        PanCase{"four_spread0", 4, 0.7f, 0.0f, {0.5f, 0.5f, 0.5f, 0.5f}},
        PanCase{"eight_spread0", 8, 0.3f, 0.0f, {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f}},
        PanCase{"eight_half", 8, 0.5f, 1.0f, {0, 0, 0, 0, 1, 0, 0, 0}},
        PanCase{"four_last_to_first", 4, 0.875f, 1.0f, {r, 0, 0, r}},
        PanCase{"spread2_is_spread1", 4, 0.125f, 2.0f, {r, r, 0, 0}},
        PanCase{"spread_minus1_four", 4, 0.2f, -1.0f, {0, 0, 0, 0}},
        PanCase{"spread_minus1_six", 6, 0.4f, -1.0f, {0, 0, 0, 0, 0, 0}},
        PanCase{"spread_minus1_eight", 8, 0.6f, -1.0f, {0, 0, 0, 0, 0, 0, 0, 0}},
        PanCase{"negative_pan_is_0", 4, -0.3f, 1.0f, {1, 0, 0, 0}},
        PanCase{"pan_1_25_is_0_25", 4, 1.25f, 1.0f, {0, 1, 0, 0}},
        PanCase{"pan_3_is_0", 4, 3.0f, 1.0f, {1, 0, 0, 0}},
        // Below -1 the two-output radicand is negative: the gain is -sqrt(-x), finite.
        PanCase{"two_spread_minus3", 2, 0.0f, -3.0f, {-1, -2}}),
    [](const ::testing::TestParamInfo<PanCase> &info) { return std::string(info.param.what); });

// At spread 1 a grain between two neighbours keeps constant power, whatever the layout.
TEST(PanLawPower, SpreadOneKeepsConstantPowerAroundTheCircle) {
    for (int32_t n : {2, 4, 6, 8}) {
        for (int step = 0; step <= 64; ++step) {
            const float pan = float(step) / 32.0f; // 0 to 2: twice round the circle
            float out[8];
            ASSERT_EQ(toolkit::pan_gains(n, pan, 1.0f, false, out), n);
            double power = 0.0;
            for (int32_t k = 0; k < n; ++k) power += double(out[k]) * out[k];
            EXPECT_NEAR(power, 1.0, 1e-5) << "n " << n << " pan " << pan;
        }
    }
}

// Spreads below -1 invert the grain but never give NaN or Inf.
TEST(PanLawPower, SpreadBelowMinusOneStaysFinite) {
    for (int32_t n : {2, 4, 6, 8}) {
        // down to the lowest float: the level factor times the root overflowed the float range there
        for (float d : {-1.5f, -3.0f, -1e6f, -1e19f, -1e30f, std::numeric_limits<float>::lowest()}) {
            for (float pan : {0.0f, 0.1f, 0.5f, 0.77f}) {
                float out[8];
                ASSERT_EQ(toolkit::pan_gains(n, pan, d, false, out), n);
                for (int32_t k = 0; k < n; ++k) {
                    EXPECT_TRUE(std::isfinite(out[k])) << n << " " << d << " " << pan;
                    EXPECT_LE(out[k], 0.0f);
                }
            }
        }
    }
}

TEST(PanLawOutputs, OneOutputAndUnsupportedCounts) {
    float out[8] = {7, 7, 7, 7, 7, 7, 7, 7};
    EXPECT_EQ(toolkit::pan_gains(1, 0.3f, 0.2f, true, out), 1); // carvell~: full gain
    EXPECT_EQ(out[0], 1.0f);
    out[0] = 7;
    EXPECT_EQ(toolkit::pan_gains(1, 0.3f, 0.2f, false, out), 0); // brindel~: nothing
    for (int32_t n : {0, -2, 3, 5, 7, 9}) EXPECT_EQ(toolkit::pan_gains(n, 0.0f, 1.0f, true, out), 0);
    for (float g : out) EXPECT_EQ(g, 7.0f);
}

// ---- interpolation table -----------------------------------------------------------------------------

TEST(InterpTable, EntriesAreExactWeightPairs) {
    std::vector<float> table(1024 * 2, nan_f);
    toolkit::interp_table_fill(table.data());
    EXPECT_EQ(table[0], 1.0f);
    EXPECT_EQ(table[1], 0.0f);
    EXPECT_EQ(table[2 * 512], 0.5f);
    EXPECT_EQ(table[2 * 512 + 1], 0.5f);
    EXPECT_EQ(table[2 * 1023], 1.0f / 1024.0f);
    EXPECT_EQ(table[2 * 1023 + 1], 1023.0f / 1024.0f);
    for (int k = 0; k < 1024; ++k) {
        EXPECT_EQ(table[2 * k] + table[2 * k + 1], 1.0f) << k;
        EXPECT_LT(table[2 * k + 1], 1.0f) << k;
    }
}

// ---- float-inlet rules and small messages ---------------------------------------------------------

TEST(InletRules, PhaseWrapsIntoZeroToOne) {
    struct { double in; float want; } cases[] = {
        {1.25, 0.25f}, {-0.25, 0.75f}, {3.0, 0.0f}, {0.5, 0.5f}, {-1.0, 0.0f}, {-2.0, 0.0f},
        {-1e-12, 0.0f}, // w + 1 rounds to 1.0f: the same phase as 0
        {7.75, 0.75f},
    };
    for (const auto &c : cases) {
        const float got = toolkit::inlet_phase_rule(c.in);
        EXPECT_EQ(got, c.want) << c.in;
        EXPECT_FALSE(std::signbit(got)) << c.in; // fmod(-1, 1) is -0.0: stored as +0
        EXPECT_GE(got, 0.0f);
        EXPECT_LT(got, 1.0f);
    }
}

TEST(InletRules, NonNegativeRule) {
    struct { double in; float want; } cases[] = {
        {-1.0, 0.0f}, {0.0, 0.0f}, {2.5, 2.5f}, {std::nan(""), 0.0f}, {-1e300, 0.0f}, {1e300, inf_f},
    };
    for (const auto &c : cases) EXPECT_EQ(toolkit::inlet_nonneg_rule(c.in), c.want) << c.in;
}

TEST(InletRules, LengthKeepsMagnitudeAndDirection) {
    struct { double in; float length; int32_t dir; } cases[] = {
        {0.0, 0.1f, 1}, {-0.05, 0.1f, -1}, {-250.0, 250.0f, -1}, {250.0, 250.0f, 1},
        {std::nan(""), 0.1f, 1}, {0.1, 0.1f, 1}, {-0.0, 0.1f, 1},
    };
    for (const auto &c : cases) {
        grain_common g{};
        toolkit::inlet_length_set(&g, c.in);
        EXPECT_EQ(g.inlet_length.load(), c.length) << c.in;
        EXPECT_EQ(g.length_dir.load(), c.dir) << c.in;
    }
}

TEST(Messages, NvoicesMapsToTheVoiceLimit) {
    struct { int32_t capacity; t_atom_long n; int32_t limit; } cases[] = {
        {512, 0, 2},     {512, -3, 2},    {512, 1, 2},     {512, 10, 11},
        {512, 511, 512}, {512, 512, 512}, {512, 5000, 512}, {256, 255, 256},
        {256, 300, 256}, {256, -2147483647 - 1, 2}, {256, 2147483647, 256},
    };
    for (const auto &c : cases) {
        grain_common g{};
        g.voice_capacity = c.capacity;
        toolkit::common_nvoices(&g, c.n);
        EXPECT_EQ(g.voice_limit.load(), c.limit) << c.capacity << " " << c.n;
    }
}

TEST(Messages, SinterpAndPollFlags) {
    grain_common g{};
    struct { t_atom_long n; int32_t sinterp; int32_t poll; } cases[] = {
        {0, 0, 0}, {1, 1, 1}, {5, 1, 1}, {-1, 1, 0},
    };
    for (const auto &c : cases) {
        toolkit::common_sinterp(&g, c.n);
        toolkit::common_poll(&g, c.n);
        EXPECT_EQ(g.sinterp_flag.load(), c.sinterp) << c.n;
        EXPECT_EQ(g.poll_flag.load(), c.poll) << c.n;
    }
}

// The help texts, blanks included; an index outside the tables leaves the buffer as it was.
TEST(Messages, AssistTexts) {
    struct { toolkit::grain_kind kind; int32_t outputs; long type; long index; const char *want; } cases[] = {
        {toolkit::grain_kind::brindel, 2, ASSIST_INLET, 0, " bang,set, signal zero X-ing, et cetera)"},
        {toolkit::grain_kind::brindel, 2, ASSIST_INLET, 6, " dist (float & signal) "},
        {toolkit::grain_kind::brindel, 2, ASSIST_INLET, 7, nullptr},
        {toolkit::grain_kind::carvell, 2, ASSIST_INLET, 0, " Input Signal"},
        {toolkit::grain_kind::carvell, 2, ASSIST_INLET, 1, " bang ,set , signal zero X-ing, ..."},
        {toolkit::grain_kind::carvell, 2, ASSIST_INLET, 3, " transpos (float & signal) "},
        {toolkit::grain_kind::carvell, 2, ASSIST_INLET, 8, nullptr},
        {toolkit::grain_kind::carvell, 2, ASSIST_INLET, -1, nullptr},
        {toolkit::grain_kind::brindel, 1, ASSIST_OUTLET, 0, "(signal) Output 1"},
        {toolkit::grain_kind::brindel, 1, ASSIST_OUTLET, 1, "info out (voices...)"},
        {toolkit::grain_kind::brindel, 2, ASSIST_OUTLET, 1, "(signal) Output 2"},
        {toolkit::grain_kind::brindel, 2, ASSIST_OUTLET, 2, "info out (voices...)"},
        {toolkit::grain_kind::carvell, 4, ASSIST_OUTLET, 3, "(signal) Output 4"},
        {toolkit::grain_kind::carvell, 4, ASSIST_OUTLET, 4, "info out (voices...)"},
        {toolkit::grain_kind::brindel, 6, ASSIST_OUTLET, 6, "info out (voices...)"},
        {toolkit::grain_kind::brindel, 8, ASSIST_OUTLET, 7, "(signal) Output 8"},
        {toolkit::grain_kind::brindel, 8, ASSIST_OUTLET, 8, "info out (voices...)"},
        {toolkit::grain_kind::brindel, 8, ASSIST_OUTLET, 9, nullptr},
        {toolkit::grain_kind::brindel, 8, 3, 0, nullptr},
    };
    for (const auto &c : cases) {
        grain_common g{};
        g.kind = c.kind;
        g.num_outputs = c.outputs;
        char text[ASSIST_MAX] = "untouched";
        toolkit::common_assist(&g, c.type, c.index, text);
        EXPECT_STREQ(text, c.want ? c.want : "untouched")
            << int(c.kind) << " outputs " << c.outputs << " kind " << c.type << " index " << c.index;
    }
}

// ---- clear request ------------------------------------------------------------------------------

class ClearRequest : public ::testing::Test {
protected:
    void SetUp() override {
        g.voice_capacity = 8;
        g.voice_busy = busy;
        for (auto &b : busy) b.store(1);
    }
    int busy_count() {
        int n = 0;
        for (auto &b : busy) n += b.load() != 0;
        return n;
    }
    grain_common g{};
    toolkit::shared_word<int32_t> busy[8]{};
};

TEST_F(ClearRequest, FreesEveryVoiceOnceAtTheNextTake) {
    EXPECT_EQ(toolkit::common_take_clear(&g), 0u);
    EXPECT_EQ(busy_count(), 8); // no request: nothing freed

    toolkit::common_clear(&g);
    toolkit::common_clear(&g); // two requests before a vector: one clear
    busy[0].store(1);
    EXPECT_EQ(toolkit::common_take_clear(&g), 2u);
    EXPECT_EQ(busy_count(), 0);

    busy[3].store(1); // a voice claimed after the clear survives later vectors
    EXPECT_EQ(toolkit::common_take_clear(&g), 2u);
    EXPECT_EQ(busy_count(), 1);
}

// ---- truncation and denormals ---------------------------------------------------------------------

TEST(TruncI32, TowardZeroSaturatingNaNZero) {
    const int32_t max = std::numeric_limits<int32_t>::max();
    const int32_t min = std::numeric_limits<int32_t>::min();
    struct { double in; int32_t want; } cases[] = {
        {2.9, 2},          {-2.9, -2},          {-0.5, 0},     {std::nan(""), 0},
        {1e10, max},       {-1e10, min},        {2147483647.5, max}, {-2147483648.0, min},
        {-2147483647.9, -2147483647}, {double(inf_f), max}, {-double(inf_f), min},
    };
    for (const auto &c : cases) EXPECT_EQ(toolkit::trunc_i32(c.in), c.want) << c.in;
}

#if defined(__x86_64__) || defined(__i386__)
TEST(DenormalGuard, SetsFlushToZeroAndRestoresTheMode) {
    const unsigned control = ~0x3fu; // the mode bits; the low six are sticky exception flags
    const unsigned before = _mm_getcsr() & control;
    volatile float tiny = 1e-38f;
    volatile float scale = 1e-3f;
    EXPECT_NE(tiny * scale, 0.0f) << "the test needs denormals on outside the guard";
    {
        toolkit::denormal_guard guard;
        EXPECT_EQ(_mm_getcsr() & 0x8040u, 0x8040u);
        EXPECT_EQ(tiny * scale, 0.0f);
        {
            toolkit::denormal_guard nested;
        }
        EXPECT_EQ(_mm_getcsr() & 0x8040u, 0x8040u); // the inner guard restored the outer mode
    }
    EXPECT_EQ(_mm_getcsr() & control, before);
    EXPECT_NE(tiny * scale, 0.0f);
}
#endif

// ---- envelope reads ----------------------------------------------------------------------------------

// An envelope whose frames sit between two NaN guards, so a read past either end shows in the
// output (and under ASan the vector's own bounds catch it too).
struct Envelope {
    explicit Envelope(std::vector<float> frames) : data(frames.size() + 2, nan_f) {
        std::copy(frames.begin(), frames.end(), data.begin() + 1);
    }
    float *samples() { return data.data() + 1; }
    std::vector<float> data;
};

class EnvRead : public ::testing::Test {
protected:
    void SetUp() override {
        interp.resize(2048);
        toolkit::interp_table_fill(interp.data());
    }
    // Binds `slot` of the table to the frames, as env_refresh would.
    void bind(int32_t slot, float *samples, int32_t frames) {
        table.buffer_obj[slot] = &dummy;
        table.samples[slot] = samples;
        table.frames[slot] = frames;
    }
    std::vector<float> read(int32_t slot, float pos, float inc, int32_t n, bool with_interp) {
        toolkit::env_cursor cur{};
        EXPECT_TRUE(toolkit::env_cursor_init(cur, table, slot, pos, inc));
        std::vector<float> out(size_t(n), -99.0f);
        toolkit::env_cursor_read(cur, n, with_interp, interp.data(), out.data());
        return out;
    }

    toolkit::env_table table{};
    t_object dummy{};
    std::vector<float> interp;
};

TEST_F(EnvRead, HalfStepWithAndWithoutInterpolation) {
    Envelope env({0.0f, 1.0f, 3.0f, 7.0f});
    bind(0, env.samples(), 4);
    EXPECT_EQ(read(0, 0.0f, 0.5f, 8, false),
              (std::vector<float>{0, 0, 1, 1, 3, 3, 7, 7}));
    // Halfway values come from table entry 512 (0.5, 0.5); past frame 3 the partner is frame 3.
    EXPECT_EQ(read(0, 0.0f, 0.5f, 8, true),
              (std::vector<float>{0, 0.5f, 1, 2, 3, 5, 7, 7}));
}

TEST_F(EnvRead, ForwardGrainEndingOnTheLastFrame) {
    Envelope env({0.0f, 1.0f, 3.0f, 7.0f});
    bind(0, env.samples(), 4);
    // The last read is frame 3 with weight 0 on its (clamped) partner.
    EXPECT_EQ(read(0, 0.0f, 1.0f, 4, true), (std::vector<float>{0, 1, 3, 7}));
}

TEST_F(EnvRead, BackwardFromTheLastFrameStaysInside) {
    Envelope env({0.0f, 1.0f, 3.0f, 7.0f});
    bind(0, env.samples(), 4);
    EXPECT_EQ(read(0, 3.0f, -0.5f, 9, true),
              (std::vector<float>{7, 5, 3, 2, 1, 0.5f, 0, 0, 0}));
    EXPECT_EQ(read(0, 3.0f, -1.0f, 6, false), (std::vector<float>{7, 3, 1, 0, 0, 0}));
}

TEST_F(EnvRead, ShrunkEnvelopeClampsToItsNewLastFrame) {
    // A grain set up on 8 frames now at frame 6 of an envelope that shrank to 4.
    Envelope env({1.0f, 2.0f, 3.0f, 4.0f});
    bind(2, env.samples(), 4);
    for (bool with_interp : {false, true})
        EXPECT_EQ(read(2, 6.0f, 0.75f, 4, with_interp), (std::vector<float>(4, 4.0f)));
}

TEST_F(EnvRead, SingleFrameEnvelope) {
    Envelope env({0.25f});
    bind(0, env.samples(), 1);
    for (bool with_interp : {false, true}) {
        EXPECT_EQ(read(0, 0.0f, 0.3f, 7, with_interp), std::vector<float>(7, 0.25f));
        EXPECT_EQ(read(0, 0.0f, -0.3f, 7, with_interp), std::vector<float>(7, 0.25f));
    }
}

TEST_F(EnvRead, InitRefusesSlotsWithoutEnvelope) {
    Envelope env({1.0f, 2.0f});
    toolkit::env_cursor cur{};
    bind(3, env.samples(), 2);
    EXPECT_TRUE(toolkit::env_cursor_init(cur, table, 3, 0.0f, 1.0f));
    table.buffer_obj[3] = nullptr; // the refresh dropped the slot
    EXPECT_FALSE(toolkit::env_cursor_init(cur, table, 3, 0.0f, 1.0f));
    EXPECT_FALSE(toolkit::env_cursor_init(cur, table, -1, 0.0f, 1.0f));
    EXPECT_FALSE(toolkit::env_cursor_init(cur, table, 64, 0.0f, 1.0f));
    bind(4, env.samples(), 0);
    EXPECT_FALSE(toolkit::env_cursor_init(cur, table, 4, 0.0f, 1.0f));
    bind(5, env.samples(), -1);
    EXPECT_FALSE(toolkit::env_cursor_init(cur, table, 5, 0.0f, 1.0f));

    t_symbol name{"env", nullptr};
    toolkit::env_init(table, &name); // a fresh table: slot 0 named, never bound
    EXPECT_FALSE(toolkit::env_cursor_init(cur, table, 0, 0.0f, 1.0f));
    EXPECT_EQ(table.frames[0], -1);
    EXPECT_EQ(table.name[0].load(), &name);
    EXPECT_EQ(table.count.load(), 1);
}

// The straightforward definition: unbounded 16.16 arithmetic (128-bit here), reads clamped into
// the frames.
std::vector<float> reference_read(const std::vector<float> &env, float pos, float inc, int32_t n,
                                  bool with_interp, const float *interp) {
    using i128 = __int128;
    const i128 last = i128(env.size()) - 1;
    const i128 base = i128(std::trunc(double(pos)));
    const i128 offset = i128(std::trunc((double(pos) - double(base)) * 65536.0));
    const i128 step = i128(std::trunc(double(inc) * 65536.0));
    auto clamp = [&](i128 i) { return i < 0 ? 0 : (i > last ? last : i); };
    std::vector<float> out;
    for (int32_t k = 0; k < n; ++k) {
        const i128 m = offset + i128(k) * step;
        const i128 i = base + (m >> 16);
        const float *w = interp + 2 * int(m >> 6 & 0x3ff);
        if (with_interp)
            out.push_back(w[1] * env[size_t(clamp(i + 1))] + w[0] * env[size_t(clamp(i))]);
        else
            out.push_back(env[size_t(clamp(i))]);
    }
    return out;
}

TEST_F(EnvRead, MatchesUnboundedArithmeticForLargeIncrementsAndPositions) {
    // 441000 frames of a ramp with an uneven curve, so every frame and weight shows.
    std::vector<float> frames(441000);
    for (size_t f = 0; f < frames.size(); ++f) frames[f] = float(std::sin(double(f) * 0.001)) + float(f) * 1e-6f;
    bind(0, frames.data(), int32_t(frames.size()));
    struct { float pos; float inc; int32_t n; } cases[] = {
        {0.0f, 100.0f, 10000},        // a 32-bit offset overflows after 327 samples
        {440999.0f, -100.0f, 6000},   // backward from the last frame, past frame 0
        {123.456f, 0.37f, 9000},      // ordinary grain over several pieces
        {200000.5f, 3e5f, 50},        // leaves the frames at the second sample
        {5e9f, -1e8f, 100},           // comes back from far beyond the end
        {-7.75f, 1e20f, 9000},        // a step beyond 64 bits of 16.16, over several pieces
        {300.0f, -1e20f, 9000},
        {-0.5f, 0.001f, 5000},        // starts below frame 0
    };
    for (const auto &c : cases) {
        for (bool with_interp : {false, true}) {
            const auto want = reference_read(frames, c.pos, c.inc, c.n, with_interp, interp.data());
            const auto got = read(0, c.pos, c.inc, c.n, with_interp);
            ASSERT_EQ(got.size(), want.size());
            int mismatches = 0;
            for (size_t k = 0; k < got.size(); ++k) {
                if (std::memcmp(&got[k], &want[k], sizeof(float)) != 0 && ++mismatches < 4)
                    ADD_FAILURE() << "pos " << c.pos << " inc " << c.inc << " interp " << with_interp
                                  << " sample " << k << ": " << got[k] << " != " << want[k];
            }
            EXPECT_EQ(mismatches, 0);

            // Reading the same vector in pieces, as the renderers do, gives the same values.
            toolkit::env_cursor cur{};
            ASSERT_TRUE(toolkit::env_cursor_init(cur, table, 0, c.pos, c.inc));
            std::vector<float> pieces(size_t(c.n));
            for (int32_t at = 0; at < c.n; at += 256)
                toolkit::env_cursor_read(cur, std::min(256, c.n - at), with_interp, interp.data(),
                                         pieces.data() + at);
            EXPECT_EQ(std::memcmp(pieces.data(), got.data(), got.size() * sizeof(float)), 0)
                << "pos " << c.pos << " inc " << c.inc;
        }
    }
}

// The vector kernels (AVX2, AVX-512) against the same definition, at every level this machine runs:
// windows cut by the envelope's end, steps at and past what a window holds, blocks shorter than the
// vector width, and NaN, infinity and -0 frames, which must travel exactly as in the plain loop.
TEST_F(EnvRead, EveryInstructionSetReadsTheSameBits) {
    std::vector<float> hann(1024);
    for (size_t f = 0; f < hann.size(); ++f)
        hann[f] = float(0.5 - 0.5 * std::cos(6.283185307179586 * double(f) / 1023.0));
    hann[500] = nan_f;
    hann[700] = inf_f;
    hann[701] = -0.0f;
    std::vector<float> ramp(40);
    for (size_t f = 0; f < ramp.size(); ++f) ramp[f] = 0.1f + float(f) * 0.37f;
    struct Case {
        const std::vector<float> *frames;
        float pos, inc;
        int32_t n;
    };
    const Case cases[] = {
        {&hann, 0.0f, 0.46417f, 2205},    // a 50 ms grain at 44100 Hz over 1024 frames
        {&hann, 1023.0f, -0.46417f, 2205}, // the same backwards
        {&hann, 10.25f, 1.0f, 1000},       // 16 reads within 16 frames, just
        {&hann, 5.75f, 1.2f, 300},         // ... and no longer
        {&hann, 900.5f, -1.15f, 300},
        {&hann, 3.5f, 1.93f, 500},         // a window of 32 frames just holds 16 reads
        {&hann, 3.5f, 2.0f, 500},          // ... and no longer: the plain loop reads those blocks
        {&hann, 0.0f, 2.2f, 400},
        {&hann, 700.0f, -3.7f, 150},
        {&hann, 500.0f, 0.0f, 100},
        {&hann, 480.125f, 0.05f, 1},
        {&hann, 480.125f, 0.05f, 7},
        {&hann, 480.125f, -0.05f, 15},
        {&hann, 480.125f, 0.5f, 17},
        {&hann, 1000.0f, 0.7f, 33},        // runs into the last frame
        {&ramp, 0.0f, 0.37f, 150},         // windows reaching past the end of a short envelope
        {&ramp, 39.0f, -0.2f, 100},
        {&ramp, 20.0f, 0.9f, 64},
    };
    const auto top = toolkit::simd_supported();
    for (int32_t level = 0; level <= int32_t(top); ++level) {
        toolkit::simd_select(toolkit::simd_level(level));
        for (const auto &c : cases) {
            Envelope env(*c.frames);
            bind(0, env.samples(), int32_t(c.frames->size()));
            for (bool with_interp : {false, true}) {
                const auto want = reference_read(*c.frames, c.pos, c.inc, c.n, with_interp, interp.data());
                // In one call, and in vectors of 64 and 7 samples as the renderers read: short
                // pieces far from the end take the kernels' unmasked loop.
                for (int32_t chunk : {c.n, 64, 7}) {
                    toolkit::env_cursor cur{};
                    ASSERT_TRUE(toolkit::env_cursor_init(cur, table, 0, c.pos, c.inc));
                    std::vector<float> got(size_t(c.n), -99.0f);
                    for (int32_t at = 0; at < c.n; at += chunk)
                        toolkit::env_cursor_read(cur, std::min(chunk, c.n - at), with_interp,
                                                 interp.data(), got.data() + at);
                    EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)), 0)
                        << toolkit::simd_name(toolkit::simd_level(level)) << " pos " << c.pos
                        << " inc " << c.inc << " n " << c.n << " interp " << with_interp
                        << " chunk " << chunk;
                }
            }
        }
    }
    toolkit::simd_select(top);
}

// The inline start of the renderers gives the cursor env_cursor_init gives, on both sides of the
// range it handles itself, and refuses what env_cursor_init refuses.
TEST_F(EnvRead, InlineStartMatchesInit) {
    Envelope env({1.0f, 2.0f, 3.0f});
    bind(0, env.samples(), 3);
    bind(7, env.samples(), 3);
    const float big = 1073741824.0f;
    const float values[] = {0.0f, -0.0f, 0.75f, -0.75f, 1022.9999f, 123456.78f, -5.5f,
                            std::nextafter(big, 0.0f), big, -big, 3e9f, -3e9f,
                            std::nextafter(32768.0f, 0.0f), 32768.0f, -32768.0f, 1e20f,
                            inf_f, -inf_f, nan_f};
    for (int32_t slot : {0, 7, 9, -1, 64}) {
        for (float pos : values) {
            for (float inc : values) {
                toolkit::env_cursor a{}, b{};
                const bool ok_a = toolkit::env_cursor_init(a, table, slot, pos, inc);
                const bool ok_b = toolkit::env_cursor_start(b, table, slot, pos, inc);
                ASSERT_EQ(ok_a, ok_b) << slot << " " << pos << " " << inc;
                if (!ok_a) continue;
                EXPECT_TRUE(a.samples == b.samples && a.last == b.last && a.base == b.base &&
                            a.offset == b.offset && a.step == b.step)
                    << "slot " << slot << " pos " << pos << " inc " << inc;
            }
        }
    }
}

// ---- envelope table helpers that need no host -------------------------------------------------------

TEST(EnvTable, PickFallsBackToSlotZero) {
    toolkit::env_table table{};
    t_object dummy{};
    table.buffer_obj[0] = &dummy;
    table.buffer_obj[7] = &dummy;
    EXPECT_EQ(toolkit::env_pick(table, 7), 7);
    EXPECT_EQ(toolkit::env_pick(table, 6), 0);  // unbound
    EXPECT_EQ(toolkit::env_pick(table, -1), 0); // outside the table
    EXPECT_EQ(toolkit::env_pick(table, 64), 0);
    EXPECT_EQ(toolkit::env_pick(table, 63), 0);
}

TEST(EnvTable, AtomReaders) {
    t_symbol name{"env", nullptr};
    t_atom atoms[3];
    atoms[0].a_type = A_LONG;
    atoms[0].a_w.w_long = 5;
    atoms[1].a_type = A_FLOAT;
    atoms[1].a_w.w_float = -0.5f;
    atoms[2].a_type = A_SYM;
    atoms[2].a_w.w_sym = &name;
    EXPECT_EQ(toolkit::arg_float(atoms, 0), 5.0f);
    EXPECT_EQ(toolkit::arg_float(atoms, 1), -0.5f);
    EXPECT_EQ(toolkit::arg_float(atoms, 2), 0.0f);
    EXPECT_EQ(toolkit::arg_symbol(atoms, 0), nullptr);
    EXPECT_EQ(toolkit::arg_symbol(atoms, 2), &name);
}

} // namespace
