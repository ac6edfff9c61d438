// pan.h: the multichannel pan law shared by both externals.
//
// Outputs sit on a circle of circumference 1 (output k + 1 at k/n). A grain's pan position and
// spread give one gain per output, computed once when the grain starts. Pure functions, any thread.
#pragma once

#include <cstdint>

namespace toolkit {

// The two-output law at position p (taken modulo 1) with spread d.
float pan_gain_pair(float p, float d) noexcept;
// The law for n = 4, 6 and 8 outputs.
float pan_gain_ring(float p, float d, int32_t n) noexcept;

// The gains of a grain on n outputs, in output order, into out[0 .. n-1]. The pan is raised to 0
// when below 0 and the spread lowered to 1 when above 1. n = 1 writes 1.0 when single_gain is set
// (carvell~) and nothing otherwise (brindel~); n other than 1, 2, 4, 6, 8 writes nothing. Returns
// the number of gains written.
int32_t pan_gains(int32_t n, float pan, float dist, bool single_gain, float *out) noexcept;

} // namespace toolkit
