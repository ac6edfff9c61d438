// brindel_test_support.h: a small fixture for driving brindel~ boxes through the embedding API:
// envelopes, fed inlets, one call per vector, and the box's record for white-box checks.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "brindel.h"
#include "grainhost/host.hpp"

namespace brindel_test {

using grainhost::Atom;
using grainhost::Atoms;
using grainhost::BoxId;

inline Atom L(int32_t v) { return Atom::lng(v); }
inline Atom F(float v) { return Atom::flt(v); }
inline Atom S(const std::string &v) { return Atom::sym(v); }

std::vector<float> hann(int frames);
std::vector<float> ones(int frames);

// Arguments of a "grain" message.
Atoms grain_args(float delay_ms, float freq, float phase, float amp, float length_ms, float pan,
                 float dist, float env);

class Brindel : public ::testing::Test {
protected:
    explicit Brindel(grainhost::HostOptions options = {}) : host(std::move(options)) {}

    // Creates a box; fails the test when creation fails.
    BoxId make(const Atoms &args);
    t_brindel *rec(BoxId box) const { return static_cast<t_brindel *>(host.object(box)); }
    // Feeds the given inlets (1-based) and builds the chain.
    void start(float sr, int n, std::vector<std::pair<BoxId, int>> fed = {});
    // Fills inlet `inlet` of `box` with `v` (padded with the last value) and runs one vector.
    void set_input(BoxId box, int inlet, const std::vector<float> &v);
    std::vector<float> out(BoxId box, int outlet) const;
    // Runs `vectors` vectors and returns the concatenated output of one outlet.
    std::vector<float> render(BoxId box, int outlet, int vectors);
    int busy_count(BoxId box) const;

    grainhost::Host host;
    int n = 64;
};

} // namespace brindel_test
