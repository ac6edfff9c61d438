// pan.cpp: the multichannel pan law. Pure functions of plain values, callable from any thread.
//
// The arithmetic is done in double precision and rounded to 32-bit floats exactly where the law
// rounds (the position's remainder w, the distance c, the factor e and the gain), so every build
// gives the same gains.
#include "toolkit/pan.h"

#include <cmath>

namespace toolkit {

namespace {

// The position's distance from the point opposite to it on the circle, 0 to 0.5.
float pan_distance(float p) noexcept {
    const float w = float(std::fmod(double(p), 1.0));
    return float(std::fabs(double(w) - 0.5));
}

// x to the power 0.5. NB: below -1 the spread makes the two-output law's radicand negative;
// -sqrt(-x) keeps the gain finite, with the polarity the four-to-eight-output law gives there.
double signed_root(double x) noexcept { return x < 0.0 ? -std::pow(-x, 0.5) : std::pow(x, 0.5); }

// The gain rounded to a float. NB: a spread far below -1 (beyond about -1e19 with eight outputs)
// makes the root times the level factor exceed the float range, or e itself round to infinity; an
// infinite gain would turn the grain's zero samples into NaN. The gain saturates at the largest
// float instead; every gain within the float range is rounded as before.
float gain_float(double g) noexcept {
    constexpr double top = 3.4028234663852886e38; // FLT_MAX
    if (g > top) return float(top);
    if (g < -top) return float(-top);
    return float(g);
}

} // namespace

float pan_gain_pair(float p, float d) noexcept {
    const float c = pan_distance(p);
    float e = float(1.0 - 2.0 * double(c) * double(d));
    if (e < 0.0f) e = 0.0f;
    return gain_float(signed_root((0.5 * double(d) + 0.5) * double(e)));
}

float pan_gain_ring(float p, float d, int32_t n) noexcept {
    const float c = pan_distance(p);
    float e = float(1.0 - double(c) * double(n) * double(d));
    if (e < 0.0f) e = 0.0f;
    return gain_float(std::pow(double(e), 0.5) * (0.5 * double(d) + 0.5));
}

int32_t pan_gains(int32_t n, float pan, float dist, bool single_gain, float *out) noexcept {
    if (n == 1) {
        if (!single_gain) return 0;
        out[0] = 1.0f;
        return 1;
    }
    if (n != 2 && n != 4 && n != 6 && n != 8) return 0;

    const float d = dist > 1.0f ? 1.0f : dist;
    const float p = pan < 0.0f ? 0.0f : pan;
    if (n == 2) {
        out[0] = pan_gain_pair(float(double(p) + 0.5), d);
        out[1] = pan_gain_pair(float(double(p) + 0.0), d);
        return 2;
    }

    // Output k + 1 sits at k/n. Its position argument is q - k s up to the half of the circle and
    // q + (n - k) s beyond, so no argument is negative (fmod of a negative value would measure the
    // distance from the wrong side).
    const float s = 1.0f / float(n);
    const float multiple[5] = {0.0f, s, s + s, s * 3.0f, s * 4.0f};
    const double q = double(p) + 0.5;
    for (int32_t k = 0; k < n; ++k) {
        const double arg = k <= n / 2 ? q - double(multiple[k]) : q + double(multiple[n - k]);
        out[k] = pan_gain_ring(float(arg), d, n);
    }
    return n;
}

} // namespace toolkit
