// bench_carvell.cpp: cost of carvell~'s perform routine per grain-sample, through the host.
//
// About 100 voices sound at once (a 100 ms grain every 44 samples), each reading the recording at
// its own speed between 0.5 and 2, on 64-sample vectors at 44100 Hz. Arguments: interpolation (1/0)
// and the number of outputs (2/8). The counter "grain_sample" is the time per sample of one voice.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "grainhost/host.hpp"

namespace {

using grainhost::Atom;

constexpr float sample_rate = 44100.0f;
constexpr int vec = 64;
constexpr int trigger_interval = 44; // samples between grains: 4410 / 44 = about 100 voices

struct scene {
    grainhost::Host host;
    grainhost::BoxId box = 0;
    int64_t time = 0;
    uint32_t seed = 12345;

    scene(bool interp, int outputs) {
        std::vector<float> hann(1024);
        for (size_t k = 0; k < hann.size(); ++k)
            hann[k] = float(0.5 - 0.5 * std::cos(2.0 * 3.141592653589793 * double(k) / 1023.0));
        host.buffer_create("env", hann);
        box = *host.create("carvell~", {Atom::sym("env"), Atom::lng(outputs)});
        host.send(box, "nvoices", {Atom::lng(255)});
        host.send(box, "sinterp", {Atom::lng(interp ? 1 : 0)});
        host.send_float(box, 3, 50.0); // delay, ms
        host.send_float(box, 7, 0.3);  // pan
        host.send_float(box, 8, 0.7);  // dist
        host.feed(box, 1);
        host.feed(box, 2);
        host.feed(box, 4); // transposition
        host.dsp_start(sample_rate, vec);
        make_signals();
    }

    // The signals are computed once (1100 vectors, a whole number of trigger periods) and copied
    // in, so the timing holds the perform routine and not the signal generation.
    static constexpr int cycle = 1100 * vec;
    std::vector<float> input_cycle, trigger_cycle, transp_cycle;

    void make_signals() {
        input_cycle.resize(cycle);
        trigger_cycle.resize(cycle);
        transp_cycle.resize(cycle);
        for (int t = 0; t < cycle; ++t) {
            seed = seed * 1664525u + 1013904223u;
            input_cycle[size_t(t)] = float(std::sin(double(t) * 0.0137)) * 0.5f;
            trigger_cycle[size_t(t)] = t % trigger_interval == 0 ? 1.0f : -1.0f;
            transp_cycle[size_t(t)] = 0.5f + 1.5f * (float(seed >> 8) / float(1u << 24));
        }
    }

    void fill() {
        const size_t at = size_t(time % cycle);
        std::copy_n(input_cycle.data() + at, vec, host.input(box, 1));
        std::copy_n(trigger_cycle.data() + at, vec, host.input(box, 2));
        std::copy_n(transp_cycle.data() + at, vec, host.input(box, 4));
        time += vec;
    }
};

void BM_carvell_perform(benchmark::State &state) {
    const bool interp = state.range(0) != 0;
    const int outputs = int(state.range(1));
    scene sc(interp, outputs);

    // Warm up to the steady state, then count the voices sounding per vector with "poll".
    for (int v = 0; v < 200; ++v) {
        sc.fill();
        sc.host.run_vector();
    }
    sc.host.send(sc.box, "poll", {Atom::lng(1)});
    sc.host.clear_lists(sc.box);
    int64_t voice_vectors = 0;
    int vectors = 0;
    for (int v = 0; v < 200; ++v) {
        sc.fill();
        sc.host.run_vector();
    }
    for (const auto &l : sc.host.lists(sc.box)) {
        if (l.atoms.size() == 2 && l.atoms[0].s == "voices") {
            voice_vectors += l.atoms[1].l;
            ++vectors;
        }
    }
    sc.host.send(sc.box, "poll", {Atom::lng(0)});
    const double voices = vectors > 0 ? double(voice_vectors) / double(vectors) : 0.0;

    for (auto _ : state) {
        sc.fill();
        sc.host.run_vector();
    }
    state.counters["voices"] = voices;
    state.counters["grain_sample"] = benchmark::Counter(double(state.iterations()) * voices * vec,
                                                        benchmark::Counter::kIsRate |
                                                            benchmark::Counter::kInvert);
}

BENCHMARK(BM_carvell_perform)
    ->ArgNames({"interp", "outputs"})
    ->Args({1, 2})
    ->Args({0, 2})
    ->Args({1, 8})
    ->Args({0, 8});

} // namespace

BENCHMARK_MAIN();
