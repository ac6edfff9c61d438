// The scene of validation_support.h over both externals, every output count, vector sizes from 1 to
// 4096, sample rates from 8000 to 384000 Hz and both vector layouts. Each render is checked on its
// own (finite, silent after the last grain, the busy voices at every vector boundary, every voice
// free at the end), against the same scene at 64 samples a vector (within a small tolerance), and
// against the other layout (bit for bit).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "validation_support.h"

using namespace validation;

namespace {

constexpr int output_counts[] = {1, 2, 4, 6, 8};
constexpr float rates[] = {8000.0f, 44100.0f, 96000.0f, 384000.0f};
constexpr int vector_sizes[] = {1, 2, 3, 64, 1000, 4096};

// Sample index after which every outlet must be exactly 0: the last grain's nominal end plus slack
// for the length rounding.
constexpr int64_t quiet_from = trigger_at(scene_grains - 1) + grain_samples + 4;

void check_alone(const Scene &s, const Render &r) {
    SCOPED_TRACE(describe(s));
    ASSERT_EQ(r.out.size(), static_cast<size_t>(s.outputs));
    double total_peak = 0.0;
    for (size_t k = 0; k < r.out.size(); ++k) {
        const auto &o = r.out[k];
        for (size_t i = 0; i < o.size(); ++i) {
            ASSERT_TRUE(std::isfinite(o[i])) << "outlet " << k + 1 << " sample " << i;
            if (static_cast<int64_t>(i) >= quiet_from || static_cast<int64_t>(i) < trigger_at(0)) {
                ASSERT_EQ(o[i], 0.0f) << "outlet " << k + 1 << " sample " << i << " outside the grains";
            }
            total_peak = std::max(total_peak, static_cast<double>(std::fabs(o[i])));
        }
    }
    EXPECT_GT(total_peak, 0.05);
    for (size_t v = 0; v < r.busy.size(); ++v) {
        int want = expected_busy(s, r.boundary[v]);
        if (want >= 0) {
            EXPECT_EQ(r.busy[v], want) << "busy voices after sample " << r.boundary[v];
        }
    }
    ASSERT_FALSE(r.busy.empty());
    EXPECT_EQ(r.busy.back(), 0) << "a voice is left busy";
    EXPECT_TRUE(r.console.empty()) << r.console.front(); // the class banners are not a box's lines
}

double max_difference(const Render &a, const Render &b) {
    double d = 0.0;
    for (size_t k = 0; k < a.out.size() && k < b.out.size(); ++k)
        for (size_t i = 0; i < a.out[k].size(); ++i)
            d = std::max(d, static_cast<double>(std::fabs(a.out[k][i] - b.out[k][i])));
    return d;
}

class Matrix : public ::testing::TestWithParam<Ext> {};

} // namespace

TEST_P(Matrix, EveryOutputCountVectorSizeRateAndLayout) {
    for (int outputs : output_counts) {
        for (float sr : rates) {
            Scene ref_scene{GetParam(), outputs, sr, 64, false, 0};
            const Render ref = render(ref_scene);
            check_alone(ref_scene, ref);
            for (int n : vector_sizes) {
                Scene s = ref_scene;
                s.n = n;
                const Render separate = n == 64 ? ref : render(s);
                if (n != 64)
                    check_alone(s, separate);
                s.alias = true;
                const Render aliased = render(s);
                check_alone(s, aliased);
                SCOPED_TRACE(describe(s));
                EXPECT_EQ(aliased.out, separate.out) << "aliased and separate vectors differ";
                // Envelope read positions step in 16.16 fixed point inside a vector and restart from
                // the float position at the next one: a grain inside one long vector drifts by up to
                // 300 x 2^-16 frames (about 1e-4 here, eight grains summed), far below audibility.
                EXPECT_LE(max_difference(separate, ref), 5e-4) << "differs from the same scene at 64 a vector";
            }
        }
    }
}

TEST_P(Matrix, VoiceLimitDropsTheGrainsBeyondIt) {
    // Four usable voices: the first four triggers sound, the other four find no free voice.
    for (int n : {1, 64, 4096}) {
        for (int outputs : {1, 8}) {
            Scene s{GetParam(), outputs, 44100.0f, n, false, 4};
            check_alone(s, render(s));
        }
    }
}

TEST_P(Matrix, SameSceneTwiceIsIdentical) {
    for (int n : {3, 1000}) {
        Scene s{GetParam(), 6, 96000.0f, n, n == 3, 0};
        SCOPED_TRACE(describe(s));
        const Render a = render(s), b = render(s);
        EXPECT_EQ(a.out, b.out);
        EXPECT_EQ(a.busy, b.busy);
    }
}

INSTANTIATE_TEST_SUITE_P(Validation, Matrix, ::testing::Values(Ext::brindel, Ext::carvell),
                         [](const ::testing::TestParamInfo<Ext> &i) {
                             return std::string(i.param == Ext::brindel ? "brindel" : "carvell");
                         });
