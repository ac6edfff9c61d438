// bench_brindel.cpp: cost of brindel~'s rendering, in nanoseconds per grain-sample (one output
// frame of one grain), for 1, 2 and 8 outputs with interpolated and plain envelope reads: about 100
// voices sounding, 64-sample vectors at 44100 Hz, Hann envelope of 1024 frames, through the host.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "grainhost/host.hpp"

namespace {

using grainhost::Atom;

std::vector<float> hann(int frames) {
    std::vector<float> v(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i)
        v[size_t(i)] = float(0.5 - 0.5 * std::cos(6.283185307179586 * i / (frames - 1)));
    return v;
}

// args: outputs, sinterp
void BM_brindel_render(benchmark::State &state) {
    const int outputs = int(state.range(0));
    const int sinterp = int(state.range(1));
    constexpr int n = 64;
    constexpr int voices = 100;

    grainhost::Host host;
    host.buffer_create("env", hann(1024));
    auto box = host.create("brindel~", {Atom::lng(outputs), Atom::sym("env")});
    if (!box) {
        state.SkipWithError("brindel~ could not be created");
        return;
    }
    host.send(*box, "nvoices", {Atom::lng(voices)});
    host.send(*box, "sinterp", {Atom::lng(sinterp)});
    host.dsp_start(44100.0f, n);

    // Grains long enough to outlast the run; each "grain" message starts one voice. They are
    // restarted whenever a batch of vectors has used up their length.
    constexpr float length_ms = 10000.0f;
    const long samples_per_grain = long(length_ms * 44.1f);
    auto start_all = [&] {
        host.send(*box, "clear");
        for (int v = 0; v < voices; ++v) {
            host.send(*box, "grain",
                      {Atom::flt(0), Atom::flt(200.0f + 7.0f * float(v)), Atom::flt(0.01f * float(v)),
                       Atom::flt(0.01f), Atom::flt(length_ms), Atom::flt(0.01f * float(v)),
                       Atom::flt(0.8f), Atom::flt(0)});
        }
        host.run_vector(); // starts them
    };
    start_all();
    long rendered = 0;
    long grain_samples = 0;
    for (auto _ : state) {
        if (rendered + n > samples_per_grain - n) {
            state.PauseTiming();
            start_all();
            rendered = n;
            state.ResumeTiming();
        }
        host.run_vector();
        rendered += n;
        grain_samples += long(voices) * n;
        benchmark::DoNotOptimize(host.output(*box, 1)[n - 1]);
    }
    // CPU time per grain-sample, printed with its SI prefix (e.g. "4.5ns").
    state.counters["per_grain_sample"] = benchmark::Counter(
        double(grain_samples), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["voices"] = double(voices);
}

} // namespace

BENCHMARK(BM_brindel_render)
    ->ArgNames({"outputs", "sinterp"})
    ->Args({1, 1})
    ->Args({1, 0})
    ->Args({2, 1})
    ->Args({2, 0})
    ->Args({8, 1})
    ->Args({8, 0});

BENCHMARK_MAIN();
