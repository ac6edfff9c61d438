// carvell_test_support.h: a carvell~ box in a host, fed with a live input and a trigger signal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "carvell.h"
#include "grainhost/host.hpp"

namespace carvell_test {

constexpr float sr = 44100.0f;
constexpr int vec = 64;

// The live input used by most tests: a distinct value for every absolute sample t.
inline float ramp(int64_t t) { return float(t % 10007) * 0.0001f + 0.01f; }

// A box with an envelope "env" of `env_frames` frames of 1.0, its live input and trigger fed by the
// test, and optionally some parameter inlets fed too. Absolute sample time runs on from 0.
struct rig {
    grainhost::Host host;
    grainhost::BoxId box = 0;
    int64_t time = 0;              // absolute index of the next input sample
    std::vector<float> input_log;  // every input sample given, by absolute time

    explicit rig(const grainhost::Atoms &args = {grainhost::Atom::sym("env"), grainhost::Atom::lng(1)},
                 std::vector<int> fed_params = {}, bool alias = false, int env_frames = 512);

    t_carvell *rec() const { return static_cast<t_carvell *>(host.object(box)); }
    // Runs one vector with input ramp(t) (or `in`), trigger values `trig` (missing: 0), and the fed
    // parameter inlets' values from `params` (inlet -> value for the whole vector).
    void run(const std::vector<float> &trig = {}, const std::vector<std::pair<int, float>> &params = {});
    // Runs a vector that triggers exactly at sample i (trigger 0 before, 1 from i on, then back).
    void trigger_at(int i, const std::vector<std::pair<int, float>> &params = {});
    std::vector<float> out(int outlet) const;
    int busy_voices() const;
};

} // namespace carvell_test
