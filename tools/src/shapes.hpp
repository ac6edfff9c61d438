// shapes.hpp: the generated shapes a patch can fill a buffer~ with (envelopes for the grains).
// Pure functions, any thread.
#pragma once

#include <vector>

#include "patch.hpp"

namespace ghtool {

// `frames` samples of the shape, frame 0 at the start of the grain and the last frame at its end.
// Every value is finite and within 0..1.
std::vector<float> make_shape(const ShapeDef &shape);

} // namespace ghtool
