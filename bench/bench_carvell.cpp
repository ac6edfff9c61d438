// bench_carvell.cpp: cost of carvell~ per grain-sample.
//
// BM_carvell_perform: the perform routine through the host. About 100 voices sound at once (a 100 ms
// grain every 44 samples), each reading the recording at its own speed between 0.5 and 2, on
// 64-sample vectors at 44100 Hz. Arguments: interpolation (1/0) and the number of outputs (2/8). The
// rendering path is the external's: the machine's best, or what GRAINHOST_SIMD names.
// BM_carvell_path: the rendering alone (carvell::render on the box's record, this program's copy of
// the renderer), at each level, so the reference and the fast paths are measured side by side.
// BM_carvell_idle / BM_carvell_clear_outputs: a box with no voice next to a plain clear of its
// outputs. The counter "grain_sample" is the time per sample of one voice.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "carvell.h"
#include "carvell_render.h"
#include "grainhost/host.hpp"
#include "toolkit/common.h"
#include "toolkit/simd.h"

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

// A box with no voice sounding: the trigger stays below zero.
void BM_carvell_idle(benchmark::State &state) {
    const int outputs = int(state.range(0));
    grainhost::Host host;
    host.buffer_create("env", std::vector<float>(1024, 1.0f));
    const grainhost::BoxId box = *host.create("carvell~", {Atom::sym("env"), Atom::lng(outputs)});
    host.feed(box, 1);
    host.feed(box, 2);
    host.dsp_start(sample_rate, vec);
    std::fill_n(host.input(box, 2), vec, -1.0f);
    for (int t = 0; t < vec; ++t) host.input(box, 1)[t] = float(t) * 0.01f;
    for (auto _ : state) {
        host.run_vector();
        benchmark::DoNotOptimize(host.output(box, 1)[vec - 1]);
    }
}

// What the idle box must do at least: clear its outputs.
void BM_carvell_clear_outputs(benchmark::State &state) {
    const int outputs = int(state.range(0));
    auto out = std::vector<std::vector<float>>(size_t(outputs), std::vector<float>(size_t(vec), 1.0f));
    for (auto _ : state) {
        for (auto &o : out) {
            std::memset(o.data(), 0, vec * sizeof(float));
            benchmark::ClobberMemory();
        }
    }
}

// The rendering alone, at level state.range(0) (0 reference .. 3 avx512), with state.range(1)
// outputs, interpolation on. 100 grains are started through the host as in W2 (speed 0.5 .. 2,
// delay 0 .. 500 ms, a 2 s ring), then rendered by carvell::render directly on the box's record.
// They are made endless, and every 16 vectors their envelope and ring positions are folded back
// (a few comparisons per voice), so envelope reads stay inside the frames and read positions within
// two ring turns, as in W2's 100 ms grains.
void BM_carvell_path(benchmark::State &state) {
    const auto level = toolkit::simd_level(state.range(0));
    const int outputs = int(state.range(1));
    if (int32_t(toolkit::simd_supported()) < int32_t(level)) {
        state.SkipWithError("this machine does not run that level");
        return;
    }
    constexpr int voices = 100;
    grainhost::Host host;
    std::vector<float> hann(1024);
    for (size_t k = 0; k < hann.size(); ++k)
        hann[k] = float(0.5 - 0.5 * std::cos(2.0 * 3.141592653589793 * double(k) / 1023.0));
    host.buffer_create("env", hann);
    const grainhost::BoxId box =
        *host.create("carvell~", {Atom::sym("env"), Atom::lng(outputs), Atom::flt(2000.0)});
    host.send(box, "nvoices", {Atom::lng(255)});
    host.send(box, "constraint", {Atom::lng(0)});
    host.send_float(box, 6, 1000.0); // length, ms: every grain outlasts the start-up
    host.feed(box, 1);
    host.feed(box, 2);
    host.feed(box, 3); // delay
    host.feed(box, 4); // transposition
    host.feed(box, 7); // pan
    host.dsp_start(sample_rate, vec);
    uint32_t seed = 4321;
    const auto rnd = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return float(seed >> 8) / float(1u << 24);
    };
    // 2.5 s of input, then one grain per vector at sample 0.
    for (int v = 0; v < 1800 + voices; ++v) {
        for (int t = 0; t < vec; ++t) host.input(box, 1)[t] = 2.0f * rnd() - 1.0f;
        std::fill_n(host.input(box, 2), vec, -1.0f);
        if (v >= 1800) host.input(box, 2)[0] = 1.0f;
        std::fill_n(host.input(box, 3), vec, 500.0f * rnd());
        std::fill_n(host.input(box, 4), vec, 0.5f + 1.5f * rnd());
        std::fill_n(host.input(box, 7), vec, rnd());
        host.run_vector();
    }
    auto *x = static_cast<t_carvell *>(host.object(box));
    const float sweep = 1023.0f / 4410.0f;
    for (int32_t v = 0; v < carvell_voices; ++v) {
        if (x->pool.voice_busy[v].load() == 0) continue;
        x->pool.voice_remaining[v] = 1 << 30;
        x->pool.voice_env_inc[v] = sweep;
    }
    const double ring_len = double(x->rec.ring_length);
    const auto fold = [x, ring_len] {
        for (int32_t v = 0; v < carvell_voices; ++v) {
            if (x->pool.voice_env_pos[v] > 1023.0f) x->pool.voice_env_pos[v] -= 1023.0f;
            if (x->pool.voice_read_pos[v] >= ring_len) x->pool.voice_read_pos[v] -= ring_len;
        }
    };
    auto out = std::vector<std::vector<float>>(size_t(outputs), std::vector<float>(size_t(vec)));
    std::vector<t_sample *> outs;
    for (auto &o : out) outs.push_back(o.data());
    const carvell::render_context ctx{&x->pool, x->busy_bits, outputs, x->rec.ring, x->rec.ring_length,
                                      &x->g.env, x->g.interp_table, true};
    toolkit::denormal_guard ftz;
    toolkit::simd_select(level); // the envelope reads follow the same level
    int64_t rendered = 0;
    for (auto _ : state) {
        for (auto &o : out) std::memset(o.data(), 0, vec * sizeof(float));
        carvell::render(ctx, outs.data(), vec, 256, level);
        if ((++rendered & 15) == 0) fold();
        benchmark::DoNotOptimize(out[0][vec - 1]);
    }
    toolkit::simd_select(toolkit::simd_supported());
    int busy = 0;
    for (int32_t v = 0; v < carvell_voices; ++v) busy += x->pool.voice_busy[v].load() != 0 ? 1 : 0;
    state.SetLabel(toolkit::simd_name(level));
    state.counters["voices"] = busy;
    state.counters["grain_sample"] = benchmark::Counter(double(state.iterations()) * busy * vec,
                                                        benchmark::Counter::kIsRate |
                                                            benchmark::Counter::kInvert);
}

BENCHMARK(BM_carvell_idle)->ArgNames({"outputs"})->Arg(2)->Arg(8);
BENCHMARK(BM_carvell_clear_outputs)->ArgNames({"outputs"})->Arg(2)->Arg(8);
BENCHMARK(BM_carvell_path)
    ->ArgNames({"level", "outputs"})
    ->Args({0, 2})
    ->Args({1, 2})
    ->Args({2, 2})
    ->Args({3, 2})
    ->Args({0, 8})
    ->Args({3, 8});

BENCHMARK(BM_carvell_perform)
    ->ArgNames({"interp", "outputs"})
    ->Args({1, 2})
    ->Args({0, 2})
    ->Args({1, 8})
    ->Args({0, 8});

} // namespace

BENCHMARK_MAIN();
