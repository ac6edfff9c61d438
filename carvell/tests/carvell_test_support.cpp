// carvell_test_support.cpp: the rig of carvell_test_support.h.
#include "carvell_test_support.h"

#include <algorithm>

namespace carvell_test {

rig::rig(const grainhost::Atoms &args, std::vector<int> fed_params, bool alias, int env_frames)
    : host([&] {
          grainhost::HostOptions o;
          o.alias_vectors = alias;
          return o;
      }()) {
    host.buffer_create("env", std::vector<float>(size_t(env_frames), 1.0f));
    auto id = host.create("carvell~", args);
    if (!id) return;
    box = *id;
    host.feed(box, 1);
    host.feed(box, 2);
    for (int inlet : fed_params) host.feed(box, inlet);
    host.dsp_start(sr, vec);
}

void rig::run(const std::vector<float> &trig, const std::vector<std::pair<int, float>> &params) {
    float *in = host.input(box, 1);
    float *tr = host.input(box, 2);
    for (int s = 0; s < vec; ++s) {
        in[s] = ramp(time + s);
        input_log.push_back(in[s]);
        tr[s] = s < int(trig.size()) ? trig[size_t(s)] : 0.0f;
    }
    for (const auto &[inlet, value] : params) {
        if (float *p = host.input(box, inlet)) std::fill_n(p, vec, value); // fed inlets only
    }
    host.run_vector();
    time += vec;
}

void rig::trigger_at(int i, const std::vector<std::pair<int, float>> &params) {
    std::vector<float> trig(size_t(vec), 0.0f);
    trig[size_t(i)] = 1.0f;
    run(trig, params);
}

std::vector<float> rig::out(int outlet) const {
    const float *o = host.output(box, outlet);
    return std::vector<float>(o, o + vec);
}

int rig::busy_voices() const {
    int busy = 0;
    for (int v = 0; v < carvell_voices; ++v) busy += rec()->pool.voice_busy[v].load() != 0;
    return busy;
}

} // namespace carvell_test
