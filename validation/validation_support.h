// validation_support.h: one short, fully determined scene per external, rendered through the host
// with any output count, vector size, sample rate and vector layout, and what it left behind (the
// outlets, the busy voices after every vector, the console).
//
// The scene: eight grains triggered at fixed samples (100, 123, ... 261), each about 300 samples
// long at every rate, all overlapping, with parameters that differ from grain to grain (signals that
// depend only on the sample index, so every vector size sees the same values at a trigger).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "grainhost/host.hpp"
#include "toolkit/common.h"

namespace validation {

enum class Ext { brindel, carvell };
const char *class_name(Ext e);

struct Scene {
    Ext ext = Ext::brindel;
    int outputs = 2;
    float sr = 44100.0f;
    int n = 64;          // vector size
    bool alias = false;  // a box's outlet k shares memory with its inlet k
    int voices = 0;      // "nvoices" argument; 0 leaves the default (63 usable)
};

constexpr int scene_grains = 8;
constexpr int grain_samples = 300; // nominal grain length at every rate
constexpr int64_t trigger_at(int k) { return 100 + 23 * int64_t(k); }
// Samples a scene renders (rounded up to whole vectors by render()): the grains and a quiet tail.
constexpr int64_t scene_samples = trigger_at(scene_grains - 1) + grain_samples + 200;

struct Render {
    std::vector<std::vector<float>> out; // per signal outlet, scene_samples (the rest cut)
    std::vector<int64_t> boundary;       // sample index at the end of each vector
    std::vector<int> busy;               // busy voices after each vector
    std::vector<std::string> console;    // every console line of the run
};

// The record's common head: both records start { t_pxobject; grain_common; }.
struct record_head {
    t_pxobject ob;
    toolkit::grain_common g;
};
int busy_voices(const grainhost::Host &h, grainhost::BoxId box);

// Creates the box of the scene in `h` (buffer "env" made first) and feeds its inlets; the chain is
// not started.
grainhost::BoxId scene_box(grainhost::Host &h, const Scene &s);
// Fills the fed inlets of a scene box for the vector starting at sample `t0`.
void scene_inputs(grainhost::Host &h, grainhost::BoxId box, const Scene &s, int64_t t0);
// Renders a scene in a Host of its own.
Render render(const Scene &s);

// Samples at which each grain of the scene ends (nominal), for the busy-voice expectation: the
// number of grains sounding at a vector boundary b, with the voice limit applied in trigger order.
// -1 when b lies within a few samples of a nominal end (the exact end is the external's business).
int expected_busy(const Scene &s, int64_t b);

std::string describe(const Scene &s);

} // namespace validation
