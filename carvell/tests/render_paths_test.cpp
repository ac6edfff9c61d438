// render_paths_test.cpp: every rendering path of carvell~ gives the reference path's bits.
//
// The same voice states (set directly in a voice pool, no host) are rendered for a few vectors
// through the reference path and through each level this machine runs (simd_select, as
// GRAINHOST_SIMD would choose it); outputs, voice records and the busy bitmask must be equal byte
// for byte. The voice mix covers ring wrap inside a vector both
// ways, the interpolation partner wrapping to 0, speeds around the vector kernels' window limits
// (2 on AVX-512, about 2 on AVX2), speeds 0, negative and huge, grains starting and ending inside a
// vector, clamped and backward envelope reads, an envelope that is gone, NaN and infinities in the
// ring and the envelope, gaps in the busy set across bitmask words, and voices above the limit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "carvell_render.h"
#include "toolkit/common.h"
#include "toolkit/simd.h"

namespace {

using toolkit::simd_level;

constexpr int32_t env_frames = 512;
constexpr int32_t limit = 150; // voices from 150 on are not rendered

struct voice_case {
    int32_t v;
    float transp;
    double read_pos;
    int32_t remaining;
    int32_t offset;   // clamped to n - 1
    float env_pos;
    float env_inc;
    int32_t slot;
    int32_t busy;     // 0: the bit is set but the voice was freed ("clear")
};

// The voice mix; read positions given relative to the ring's end are negative here and get L added.
std::vector<voice_case> voice_mix(int32_t length) {
    const double L = double(length);
    const float sweep = float(env_frames - 1) / 4000.0f;
    return {
        {1, 1.0f, 100.25, 10000, 0, 0.0f, sweep, 0, 1},
        {2, 0.5f, L - 5.3, 10000, 0, 3.5f, sweep, 0, 1},          // forward wrap inside a vector
        {3, -1.3f, 3.7, 10000, 0, 10.0f, sweep, 0, 1},            // backward wrap through 0
        {5, 0.0f, L - 0.5, 10000, 2, 0.0f, sweep, 0, 1},          // j = L - 1, j1 = 0, every sample
        {6, 1.99f, L - 40.1, 10000, 0, 0.0f, sweep, 0, 1},
        {7, 2.0f, 1000.0, 10000, 0, 0.0f, sweep, 0, 1},           // the AVX-512 window's limit
        {8, 2.7f, L - 30.0, 10000, 0, 0.0f, sweep, 0, 1},         // beyond it: gathers
        {15, 2.07f, 1500.5, 10000, 0, 0.0f, sweep, 0, 1},         // a window's width plus one
        {16, -2.07f, 2500.5, 10000, 0, 0.0f, sweep, 0, 1},
        {9, -5.5f, 50.0, 10000, 0, 0.0f, sweep, 0, 1},
        {10, 1500.3f, 12.0, 10000, 0, 0.0f, sweep, 0, 1},         // beyond the lanes' 32 bits
        {11, 40000.0f, 7.0, 10000, 0, 0.0f, sweep, 0, 1},         // 16.16 step beyond 2^31
        {12, -0.75f, 400.9, 5, 3, 0.0f, sweep, 0, 1},             // starts and ends inside a vector
        {13, 1.25f, 2000.0, 10000, 1 << 20, 0.0f, sweep, 0, 1},   // starts at the vector's last sample
        {14, 1.0f, 3000.0, 1, 0, 0.0f, sweep, 0, 1},              // one sample
        {20, 0.8f, 5000.5, 10000, 0, 505.0f, 0.37f, 0, 1},        // envelope reads clamped at F - 1
        {21, 1.1f, 6000.0, 10000, 0, 511.0f, -0.2f, 0, 1},        // backward envelope
        {22, 1.0f, 7000.0, 10000, 0, 0.0f, sweep, 1, 1},          // slot 1 unbound: the grain ends
        {23, 1.0f, 8000.0, 10000, 0, 0.0f, sweep, 0, 0},          // freed by "clear", bit still set
        {24, 1.0f, -1e-12, 10000, 0, 0.0f, sweep, 0, 1},          // rounds to L: reduced into the ring
        {25, 1.0f, L / 2 - 10.0, 10000, 0, 0.0f, sweep, 0, 1},    // through NaN and inf in the ring
        {26, 0.6f, 9000.0, 10000, 0, 290.0f, 1.0f, 0, 1},         // through NaN in the envelope
        {27, 1.0f, 1e17, 10000, 0, 0.0f, sweep, 0, 1},            // huge position: fmod
        {63, 1.5f, 10000.0, 10000, 0, 0.0f, sweep, 0, 1},
        {64, -2.0f, 11000.0, 10000, 0, 0.0f, sweep, 0, 1},
        {65, 0.33f, 12000.0, 10000, 0, 0.0f, sweep, 0, 1},
        {149, 1.7f, L - 1.0, 10000, 0, 0.0f, sweep, 0, 1},
        {150, 1.0f, 13000.0, 10000, 0, 0.0f, sweep, 0, 1},        // at the limit: not rendered
        {255, 1.0f, 14000.0, 10000, 0, 0.0f, sweep, 0, 1},
    };
}

// A voice pool with its storage, the ring, the envelope table and the outputs of one rendering.
struct scene {
    int32_t outputs, n, length;
    bool interp;

    std::vector<toolkit::shared_word<int32_t>> busy = std::vector<toolkit::shared_word<int32_t>>(carvell_voices);
    std::vector<int32_t> remaining = std::vector<int32_t>(carvell_voices), offset = remaining,
                         slot = remaining;
    std::vector<double> read_pos = std::vector<double>(carvell_voices);
    std::vector<float> transp = std::vector<float>(carvell_voices), amp = transp, len = transp,
                       pan = transp, dist = transp, env_inc = transp, env_pos = transp, env_value = transp;
    std::vector<std::vector<float>> gain;
    std::vector<float *> gain_ptr;
    uint64_t bits[carvell_busy_words] = {};
    carvell_voice_pool pool{};

    std::vector<float> ring, env_data, table = std::vector<float>(2048);
    toolkit::env_table env{};
    std::vector<std::vector<float>> out;

    scene(int32_t outputs_, int32_t n_, int32_t length_, bool interp_)
        : outputs(outputs_), n(n_), length(length_), interp(interp_) {
        uint32_t seed = 777;
        const auto rnd = [&seed] {
            seed = seed * 1664525u + 1013904223u;
            return float(int32_t(seed >> 8) - (1 << 23)) / float(1 << 23); // -1 to 1
        };
        const float nan = std::numeric_limits<float>::quiet_NaN();
        const float inf = std::numeric_limits<float>::infinity();
        ring.resize(size_t(length));
        for (float &r : ring) r = rnd();
        ring[size_t(length / 2)] = nan;
        ring[size_t(length / 2 + 4)] = inf;
        ring[size_t(length / 2 + 8)] = -inf;
        env_data.resize(env_frames);
        for (float &e : env_data) e = 0.5f + 0.5f * rnd();
        env_data[300] = nan;
        env.frames[0] = env_frames;
        env.samples[0] = env_data.data();
        env.frames[1] = env_frames; // bound frames, but no buffer~: the slot is gone
        env.samples[1] = env_data.data();
        toolkit::interp_table_fill(table.data());

        gain.assign(size_t(outputs), std::vector<float>(carvell_voices));
        for (int32_t q = 0; q < outputs; ++q) gain_ptr.push_back(gain[size_t(q)].data());
        pool.voice_busy = busy.data();
        pool.voice_remaining = remaining.data();
        pool.voice_read_pos = read_pos.data();
        pool.voice_transp = transp.data();
        pool.voice_amp = amp.data();
        pool.voice_length = len.data();
        pool.voice_pan = pan.data();
        pool.voice_dist = dist.data();
        pool.voice_env_inc = env_inc.data();
        pool.voice_env_pos = env_pos.data();
        pool.voice_env_value = env_value.data();
        pool.voice_env_slot = slot.data();
        pool.voice_offset = offset.data();
        pool.voice_gain = gain_ptr.data();

        for (const voice_case &s : voice_mix(length)) {
            const size_t v = size_t(s.v);
            busy[v].store(s.busy);
            carvell::busy_mark(bits, s.v);
            transp[v] = s.transp;
            read_pos[v] = s.read_pos;
            remaining[v] = s.remaining;
            offset[v] = std::min(s.offset, n - 1);
            env_pos[v] = s.env_pos;
            env_inc[v] = s.env_inc;
            slot[v] = s.slot;
            amp[v] = 0.25f + 0.01f * float(s.v);
            for (int32_t q = 0; q < outputs; ++q) gain[size_t(q)][v] = 0.1f * float(q + 1) - 0.05f * float(s.v % 7);
        }
        // Outputs start with a pattern, so the adds are checked on top of something.
        out.assign(size_t(outputs), std::vector<float>(size_t(n)));
    }

    // Renders `vectors` vectors at `level` (selected as the perform routine sees it, so the
    // envelope reads follow it too) and returns every output sample written, in order.
    std::vector<float> run(simd_level level, int32_t vectors) {
        const simd_level active = toolkit::simd_select(level);
        std::vector<float> all;
        std::vector<t_sample *> outs;
        for (auto &o : out) outs.push_back(o.data());
        const carvell::render_context ctx{&pool, bits, outputs, ring.data(), length, &env, table.data(),
                                          interp};
        for (int32_t k = 0; k < vectors; ++k) {
            for (int32_t q = 0; q < outputs; ++q)
                for (int32_t s = 0; s < n; ++s) out[size_t(q)][size_t(s)] = 0.001f * float(s - q);
            carvell::render(ctx, outs.data(), n, limit, active);
            for (auto &o : out) all.insert(all.end(), o.begin(), o.end());
        }
        toolkit::simd_select(toolkit::simd_supported());
        return all;
    }
};

template <class T>
bool same_bytes(const std::vector<T> &a, const std::vector<T> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

// The first differing output sample, for the failure message.
std::string first_difference(const std::vector<float> &a, const std::vector<float> &b) {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0)
            return "sample " + std::to_string(i) + ": " + std::to_string(a[i]) + " vs " + std::to_string(b[i]);
    return "sizes " + std::to_string(a.size()) + " / " + std::to_string(b.size());
}

TEST(CarvellRenderPaths, EveryLevelGivesTheReferenceBits) {
    const simd_level top = toolkit::simd_supported();
    struct config { int32_t outputs, n, length; };
    const config configs[] = {
        {1, 64, 22050}, {2, 64, 22050}, {4, 64, 22050}, {6, 64, 22050}, {8, 64, 22050},
        {2, 1, 22050}, {2, 7, 22050}, {2, 100, 22050}, {2, 300, 22050}, {8, 7, 22050},
        {1, 100, 88200}, {2, 64, 88200}, {6, 300, 88200}, {2, 33, 4410000},
    };
    for (const config &c : configs) {
        for (bool interp : {true, false}) {
            SCOPED_TRACE("outputs " + std::to_string(c.outputs) + " n " + std::to_string(c.n) + " L " +
                         std::to_string(c.length) + (interp ? " interp" : " plain"));
            scene ref(c.outputs, c.n, c.length, interp);
            const std::vector<float> expected = ref.run(simd_level::reference, 4);
            for (int32_t lv = 1; lv <= int32_t(top); ++lv) {
                const simd_level level = simd_level(lv);
                SCOPED_TRACE(toolkit::simd_name(level));
                scene fast(c.outputs, c.n, c.length, interp);
                const std::vector<float> got = fast.run(level, 4);
                ASSERT_TRUE(same_bytes(expected, got)) << first_difference(expected, got);
                EXPECT_TRUE(same_bytes(ref.remaining, fast.remaining));
                EXPECT_TRUE(same_bytes(ref.offset, fast.offset));
                EXPECT_TRUE(same_bytes(ref.read_pos, fast.read_pos));
                EXPECT_TRUE(same_bytes(ref.env_pos, fast.env_pos));
                EXPECT_TRUE(same_bytes(ref.env_value, fast.env_value));
                for (int32_t v = 0; v < carvell_voices; ++v)
                    ASSERT_EQ(ref.busy[size_t(v)].load(), fast.busy[size_t(v)].load()) << "voice " << v;
                EXPECT_EQ(std::memcmp(ref.bits, fast.bits, sizeof ref.bits), 0);
            }
        }
    }
}

// The mix really sounds, and the bitmask follows the voices: the ones that ended or were found
// free lose their bit, the ones above the limit keep it untouched.
TEST(CarvellRenderPaths, BitmaskFollowsTheVoices) {
    for (int32_t lv = 0; lv <= int32_t(toolkit::simd_supported()); ++lv) {
        SCOPED_TRACE(lv);
        scene sc(2, 64, 22050, true);
        const std::vector<float> o = sc.run(simd_level(lv), 1);
        bool sounding = false;
        for (size_t i = 0; i < o.size(); ++i) sounding |= o[i] != 0.001f * float(int32_t(i % 64) - int32_t(i / 64));
        EXPECT_TRUE(sounding);
        const auto bit = [&sc](int32_t v) { return (sc.bits[v >> 6] >> (v & 63)) & 1; };
        EXPECT_EQ(bit(1), 1u);
        EXPECT_EQ(bit(12), 0u); // ended inside the vector
        EXPECT_EQ(bit(14), 0u); // one sample
        EXPECT_EQ(bit(22), 0u); // envelope gone
        EXPECT_EQ(bit(23), 0u); // found free
        EXPECT_EQ(sc.busy[22].load(), 0);
        EXPECT_EQ(bit(150), 1u);
        EXPECT_EQ(sc.read_pos[150], 13000.0); // above the limit: untouched
        EXPECT_EQ(bit(255), 1u);
    }
}

} // namespace
