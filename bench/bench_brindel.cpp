// bench_brindel.cpp: cost of brindel~'s rendering, in nanoseconds per grain-sample (one output
// frame of one grain).
// - BM_brindel_render: 1, 2 and 8 outputs with interpolated and plain envelope reads: about 100
//   voices sounding, 64-sample vectors at 44100 Hz, Hann envelope of 1024 frames, through the host
//   (the rendering path the external picked: the best one, or GRAINHOST_SIMD).
// - BM_brindel_full: 511 voices on 8 outputs at 48 kHz, vectors of 64, through the host; core_share
//   is the time of one vector over its duration (64 / 48000 s): the share of one core it takes.
// - BM_brindel_idle: a box with no voice, through the host, beside BM_clear_outputs, a plain clear
//   of the same outputs (the least a perform routine writing its outputs can cost).
// - BM_brindel_path: the renderer alone (render_voices, as the perform routine calls it), 2 outputs,
//   100 voices, at each rendering path this machine runs: reference against the fast ones.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "brindel.h"
#include "grainhost/host.hpp"
#include "toolkit/common.h"
#include "toolkit/simd.h"

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

// args: voices, outputs, sample rate, vector size
void BM_brindel_full(benchmark::State &state) {
    const int voices = int(state.range(0));
    const int outputs = int(state.range(1));
    const float sr = float(state.range(2));
    const int n = int(state.range(3));

    grainhost::Host host;
    host.buffer_create("env", hann(1024));
    auto box = host.create("brindel~", {Atom::lng(outputs), Atom::sym("env")});
    if (!box) {
        state.SkipWithError("brindel~ could not be created");
        return;
    }
    host.send(*box, "nvoices", {Atom::lng(511)});
    host.dsp_start(sr, n);
    constexpr float length_ms = 10000.0f;
    const long samples_per_grain = long(double(length_ms) * sr / 1000.0);
    auto start_all = [&] {
        host.send(*box, "clear");
        host.run_vector(); // applies the clear
        for (int v = 0; v < voices; ++v) {
            host.send(*box, "grain",
                      {Atom::flt(0), Atom::flt(100.0f + 3.0f * float(v)), Atom::flt(0.003f * float(v)),
                       Atom::flt(0.01f), Atom::flt(length_ms), Atom::flt(0.37f * float(v)),
                       Atom::flt(0.8f), Atom::flt(0)});
        }
        host.run_vector(); // starts them
    };
    start_all();
    long rendered = 0;
    for (auto _ : state) {
        if (rendered + n > samples_per_grain - 2 * n) {
            state.PauseTiming();
            start_all();
            rendered = n;
            state.ResumeTiming();
        }
        host.run_vector();
        rendered += n;
        benchmark::DoNotOptimize(host.output(*box, 1)[n - 1]);
    }
    const double vectors = double(state.iterations());
    state.counters["per_grain_sample"] = benchmark::Counter(
        vectors * voices * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    // seconds of CPU per second of audio
    state.counters["core_share"] = benchmark::Counter(
        vectors * n / double(sr), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// args: outputs
void BM_brindel_idle(benchmark::State &state) {
    const int outputs = int(state.range(0));
    constexpr int n = 64;
    grainhost::Host host;
    host.buffer_create("env", hann(1024));
    auto box = host.create("brindel~", {Atom::lng(outputs), Atom::sym("env")});
    if (!box) {
        state.SkipWithError("brindel~ could not be created");
        return;
    }
    host.send(*box, "nvoices", {Atom::lng(511)});
    host.dsp_start(44100.0f, n);
    for (auto _ : state) {
        host.run_vector();
        benchmark::DoNotOptimize(host.output(*box, 1)[n - 1]);
    }
}

// args: outputs
void BM_clear_outputs(benchmark::State &state) {
    const int outputs = int(state.range(0));
    constexpr int n = 64;
    std::vector<std::vector<float>> out(size_t(outputs), std::vector<float>(n, 1.0f));
    for (auto _ : state) {
        for (auto &o : out) {
            std::memset(o.data(), 0, n * sizeof(float));
            benchmark::ClobberMemory();
        }
    }
}

// args: simd level (0 reference .. 3 avx512), sinterp
void BM_brindel_path(benchmark::State &state) {
    const auto level = toolkit::simd_level(state.range(0));
    const bool interp = state.range(1) != 0;
    if (int(toolkit::simd_supported()) < int(level)) {
        state.SkipWithError("this machine does not run that level");
        return;
    }
    constexpr int outputs = 2;
    constexpr int n = 64;
    constexpr int voices = 100;
    grainhost::Host host;
    host.buffer_create("env", hann(1024));
    auto box = host.create("brindel~", {Atom::lng(outputs), Atom::sym("env")});
    if (!box) {
        state.SkipWithError("brindel~ could not be created");
        return;
    }
    host.dsp_start(44100.0f, n);
    host.run_vector(); // binds the envelope
    auto *x = static_cast<t_brindel *>(host.object(*box));

    // Grains in slots 1 to 100 sweeping the middle of the envelope very slowly, so they outlast
    // any run; restarted if they do not.
    constexpr float length = 1.0e8f;
    auto start_all = [&] {
        for (int v = 1; v <= voices; ++v) {
            grain_setup gs{};
            gs.freq = 200.0f + 17.0f * float(v);
            gs.phase = 0.01f * float(v);
            grain_osc_setup(gs, 44100.0);
            gs.amp = 0.01f;
            gs.length = length;
            gs.env_slot = 0;
            grain_env_setup(gs, 1024, 1);
            gs.env_pos = 100.0f + 3.0f * float(v);
            gs.pan = 0.01f * float(v);
            gs.dist = 0.8f;
            gs.delay = 0;
            grain_start(x, v, gs);
        }
    };
    start_all();
    std::vector<float> o1(n), o2(n);
    t_sample *out[outputs] = {o1.data(), o2.data()};
    toolkit::denormal_guard ftz;
    toolkit::simd_select(level); // the envelope reads follow the same level
    long rendered = 0;
    for (auto _ : state) {
        if (rendered + n > long(length) - n) {
            state.PauseTiming();
            start_all();
            rendered = 0;
            state.ResumeTiming();
        }
        std::fill_n(o1.data(), n, 0.0f);
        std::fill_n(o2.data(), n, 0.0f);
        render_voices(x, outputs, out, n, 512, interp, level);
        rendered += n;
        benchmark::DoNotOptimize(o1[n - 1]);
    }
    toolkit::simd_select(toolkit::simd_supported());
    state.SetLabel(toolkit::simd_name(level));
    state.counters["per_grain_sample"] =
        benchmark::Counter(double(state.iterations()) * voices * n,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(BM_brindel_full)
    ->ArgNames({"voices", "outputs", "sr", "n"})
    ->Args({511, 8, 48000, 64});
BENCHMARK(BM_brindel_idle)->ArgNames({"outputs"})->Arg(2)->Arg(8);
BENCHMARK(BM_clear_outputs)->ArgNames({"outputs"})->Arg(2)->Arg(8);
BENCHMARK(BM_brindel_path)
    ->ArgNames({"level", "sinterp"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({2, 1})
    ->Args({3, 1})
    ->Args({0, 0})
    ->Args({3, 0});
BENCHMARK(BM_brindel_render)
    ->ArgNames({"outputs", "sinterp"})
    ->Args({1, 1})
    ->Args({1, 0})
    ->Args({2, 1})
    ->Args({2, 0})
    ->Args({8, 1})
    ->Args({8, 0});

BENCHMARK_MAIN();
