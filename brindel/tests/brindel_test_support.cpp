// brindel_test_support.cpp: the fixture of brindel_test_support.h.
#include "brindel_test_support.h"

namespace brindel_test {

std::vector<float> hann(int frames) {
    std::vector<float> v(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i)
        v[size_t(i)] = float(0.5 - 0.5 * std::cos(6.283185307179586 * i / (frames - 1)));
    return v;
}

std::vector<float> ones(int frames) { return std::vector<float>(size_t(frames), 1.0f); }

Atoms grain_args(float delay_ms, float freq, float phase, float amp, float length_ms, float pan,
                 float dist, float env) {
    return {F(delay_ms), F(freq), F(phase), F(amp), F(length_ms), F(pan), F(dist), F(env)};
}

BoxId Brindel::make(const Atoms &args) {
    auto box = host.create("brindel~", args);
    EXPECT_TRUE(box.has_value());
    return box.value_or(0);
}

void Brindel::start(float sr, int vector_size, std::vector<std::pair<BoxId, int>> fed) {
    n = vector_size;
    for (auto [box, inlet] : fed) host.feed(box, inlet);
    host.dsp_start(sr, vector_size);
}

void Brindel::set_input(BoxId box, int inlet, const std::vector<float> &v) {
    float *in = host.input(box, inlet);
    for (int i = 0; i < n; ++i)
        in[i] = v.empty() ? 0.0f : v[std::min(size_t(i), v.size() - 1)];
}

std::vector<float> Brindel::out(BoxId box, int outlet) const {
    const float *o = host.output(box, outlet);
    return std::vector<float>(o, o + n);
}

std::vector<float> Brindel::render(BoxId box, int outlet, int vectors) {
    std::vector<float> all;
    for (int v = 0; v < vectors; ++v) {
        host.run_vector();
        const float *o = host.output(box, outlet);
        all.insert(all.end(), o, o + n);
    }
    return all;
}

int Brindel::busy_count(BoxId box) const {
    const t_brindel *x = rec(box);
    int busy = 0;
    for (int v = 0; v < brindel_voices; ++v) busy += x->voice_busy[v].load() != 0;
    return busy;
}

} // namespace brindel_test
