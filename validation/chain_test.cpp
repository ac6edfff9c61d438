// Boxes made and destroyed while others run: the host rebuilds the chain each time, and the boxes
// that stay on render exactly what they render alone; the newcomers and the boxes whose source went
// away run on with finite output. Under AddressSanitizer the run also shows no leak and no use of a
// destroyed box's memory.
#include <gtest/gtest.h>

#include <cmath>

#include "validation_support.h"

using namespace validation;
using grainhost::Atom;
using grainhost::BoxId;

namespace {

constexpr int n = 64;
constexpr int vectors = 32; // the scene's grains sound in vectors 1 to 8; the others run on
const Scene scene_a{Ext::brindel, 2, 44100.0f, n, false, 0};
const Scene scene_c{Ext::carvell, 4, 44100.0f, n, false, 0};

void append(std::vector<std::vector<float>> &to, const grainhost::Host &h, BoxId box, int outputs) {
    to.resize(static_cast<size_t>(outputs));
    for (int k = 0; k < outputs; ++k) {
        const float *o = h.output(box, k + 1);
        to[static_cast<size_t>(k)].insert(to[static_cast<size_t>(k)].end(), o, o + n);
    }
}

bool finite(const grainhost::Host &h, BoxId box) {
    for (int k = 1; k <= h.signal_outlets(box); ++k)
        for (int i = 0; i < n; ++i)
            if (!std::isfinite(h.output(box, k)[i]))
                return false;
    return true;
}

// One scene box alone in its host, vector by vector.
std::vector<std::vector<float>> alone(Scene s) {
    grainhost::HostOptions opt;
    opt.alias_vectors = s.alias;
    grainhost::Host h(opt);
    BoxId box = scene_box(h, s);
    h.dsp_start(s.sr, n);
    std::vector<std::vector<float>> out;
    for (int64_t t0 = 0; t0 < vectors * n; t0 += n) {
        scene_inputs(h, box, s, t0);
        h.run_vector();
        append(out, h, box, s.outputs);
    }
    return out;
}

void impulses(float *v, int64_t t0, int period) {
    for (int i = 0; i < n; ++i)
        v[i] = (t0 + i) % period == 0 ? 1.0f : 0.0f;
}

} // namespace

TEST(Chain, BoxesComeAndGoWhileOthersRun) {
    for (bool alias : {false, true}) {
        SCOPED_TRACE(alias ? "aliased" : "separate");
        Scene sa = scene_a, sc = scene_c;
        sa.alias = sc.alias = alias;
        const auto ref_a = alone(sa), ref_c = alone(sc);

        grainhost::HostOptions opt;
        opt.alias_vectors = alias;
        grainhost::Host h(opt);
        const BoxId a = scene_box(h, sa), c = scene_box(h, sc);
        ASSERT_NE(a, 0);
        ASSERT_NE(c, 0);
        // x granulates a's first outlet with grains of its own; y takes c's first outlet as its
        // trigger; z granulates y.
        auto x = h.create("carvell~", {Atom::sym("env"), Atom::lng(2)});
        ASSERT_TRUE(x);
        h.feed(*x, 2);
        ASSERT_TRUE(h.connect(a, 1, *x, 1));
        h.dsp_start(44100.0f, n);
        std::optional<BoxId> y, z;

        std::vector<std::vector<float>> got_a, got_c;
        int v = 0;
        for (int64_t t0 = 0; t0 < vectors * n; t0 += n, ++v) {
            switch (v) {
            case 4: h.destroy(*x); x.reset(); break; // grains of a, c and x are sounding
            case 5:
                y = h.create("brindel~", {Atom::lng(8), Atom::sym("env")});
                ASSERT_TRUE(y);
                ASSERT_TRUE(h.connect(c, 1, *y, 1));
                h.dsp_start(44100.0f, n);
                break;
            case 6:
                z = h.create("carvell~", {Atom::sym("env"), Atom::lng(6), Atom::flt(600.0f)});
                ASSERT_TRUE(z);
                h.feed(*z, 2);
                ASSERT_TRUE(h.connect(*y, 3, *z, 1));
                h.dsp_start(44100.0f, n);
                break;
            case 7: h.destroy(*y); y.reset(); break; // z's source goes away; z runs on
            case 24: h.destroy(*z); z.reset(); break;
            default: break;
            }
            // Vectors move when the chain is rebuilt: take the pointers afresh every time.
            scene_inputs(h, a, sa, t0);
            scene_inputs(h, c, sc, t0);
            if (x)
                impulses(h.input(*x, 2), t0, 50);
            if (z)
                impulses(h.input(*z, 2), t0, 30);
            h.run_vector();
            append(got_a, h, a, sa.outputs);
            append(got_c, h, c, sc.outputs);
            for (auto box : {x, y, z}) {
                if (box) {
                    EXPECT_TRUE(finite(h, *box)) << "vector " << v << " box " << *box;
                }
            }
        }
        EXPECT_EQ(got_a, ref_a);
        EXPECT_EQ(got_c, ref_c);
        EXPECT_EQ(busy_voices(h, a), 0);
        EXPECT_EQ(busy_voices(h, c), 0);
        for (auto &l : h.console()) {
            EXPECT_TRUE(l.box != a && l.box != c) << l.text; // the survivors said nothing
        }
        h.destroy(a);
        h.destroy(c);
        h.dsp_stop();
    }
}
