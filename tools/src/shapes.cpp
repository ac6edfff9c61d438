// shapes.cpp: envelope shapes over x = k / (frames - 1), 0 at the first frame and 1 at the last, so
// the symmetric shapes are symmetric frame for frame and a one-frame buffer holds 1.0.
#include "shapes.hpp"

#include <cmath>
#include <numbers>

namespace ghtool {

namespace {

double tukey(double x, double ratio) {
    if (ratio <= 0.0)
        return 1.0;
    double half = ratio / 2.0; // length of each cosine taper, as a fraction of the whole
    double pi = std::numbers::pi;
    if (x < half)
        return 0.5 - 0.5 * std::cos(pi * x / half);
    if (x > 1.0 - half)
        return 0.5 - 0.5 * std::cos(pi * (1.0 - x) / half);
    return 1.0;
}

double shape_at(const ShapeDef &s, double x) {
    const double pi = std::numbers::pi;
    const std::string &k = s.kind;
    if (k == "hann")
        return 0.5 - 0.5 * std::cos(2.0 * pi * x);
    if (k == "triangle")
        return 1.0 - std::fabs(2.0 * x - 1.0);
    if (k == "rampup")
        return x;
    if (k == "rampdown")
        return 1.0 - x;
    if (k == "gaussian") {
        double d = (x - 0.5) / s.param;
        return std::exp(-0.5 * d * d);
    }
    if (k == "expdecay")
        return std::exp(-s.param * x);
    if (k == "tukey")
        return tukey(x, s.param);
    return 1.0; // rectangle
}

} // namespace

std::vector<float> make_shape(const ShapeDef &shape) {
    std::vector<float> out(static_cast<size_t>(shape.frames > 0 ? shape.frames : 0));
    if (out.size() == 1) {
        out[0] = 1.0f;
        return out;
    }
    const double last = static_cast<double>(out.size() - 1);
    for (size_t k = 0; k < out.size(); ++k) {
        double v = shape_at(shape, static_cast<double>(k) / last);
        // Rounding can leave a hair outside 0..1 (the cosines at the ends); keep the promise.
        out[k] = static_cast<float>(v < 0.0 ? 0.0 : v > 1.0 ? 1.0 : v);
    }
    return out;
}

} // namespace ghtool
