// validation_support.cpp: the scene of validation_support.h, built and run through grainhost::Host.
#include "validation_support.h"

#include <cmath>

namespace validation {

using grainhost::Atom;

const char *class_name(Ext e) { return e == Ext::brindel ? "brindel~" : "carvell~"; }

std::string describe(const Scene &s) {
    return std::string(class_name(s.ext)) + " outputs " + std::to_string(s.outputs) + " sr " +
           std::to_string(static_cast<int>(s.sr)) + " n " + std::to_string(s.n) +
           (s.alias ? " aliased" : " separate") + (s.voices ? " nvoices " + std::to_string(s.voices) : "");
}

int busy_voices(const grainhost::Host &h, grainhost::BoxId box) {
    auto *r = static_cast<const record_head *>(h.object(box));
    int busy = 0;
    for (int v = 0; v < r->g.voice_capacity; ++v)
        busy += r->g.voice_busy[v].load() != 0;
    return busy;
}

namespace {

std::vector<float> hann(int frames) {
    std::vector<float> v(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i)
        v[static_cast<size_t>(i)] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * M_PI * i / (frames - 1)));
    return v;
}

// Milliseconds that make `samples` samples at rate sr.
double ms_for(double samples, float sr) { return samples * 1000.0 / sr; }

bool is_trigger(int64_t t) {
    for (int k = 0; k < scene_grains; ++k)
        if (t == trigger_at(k))
            return true;
    return false;
}

} // namespace

grainhost::BoxId scene_box(grainhost::Host &h, const Scene &s) {
    h.buffer_create("env", hann(512));
    auto box = h.create(class_name(s.ext), {Atom::sym("env"), Atom::lng(s.outputs)});
    if (!box)
        return 0;
    if (s.voices)
        h.send(*box, "nvoices", {Atom::lng(s.voices)});
    if (s.ext == Ext::brindel) {
        // trigger, frequency and pan from signals; amplitude and length from floats
        for (int inlet : {1, 2, 6})
            h.feed(*box, inlet);
        h.send_float(*box, 4, 0.5);
        h.send_float(*box, 5, ms_for(grain_samples, s.sr));
    } else {
        // live input, trigger, transposition and pan from signals; delay, amplitude, length floats
        for (int inlet : {1, 2, 4, 7})
            h.feed(*box, inlet);
        h.send_float(*box, 3, ms_for(50, s.sr));
        h.send_float(*box, 5, 0.5);
        h.send_float(*box, 6, ms_for(grain_samples, s.sr));
    }
    return *box;
}

void scene_inputs(grainhost::Host &h, grainhost::BoxId box, const Scene &s, int64_t t0) {
    const int n = s.n;
    if (s.ext == Ext::brindel) {
        float *trig = h.input(box, 1), *freq = h.input(box, 2), *pan = h.input(box, 6);
        for (int i = 0; i < n; ++i) {
            const int64_t t = t0 + i;
            trig[i] = is_trigger(t) ? 1.0f : 0.0f;
            freq[i] = static_cast<float>(200.0 + 0.5 * static_cast<double>(t % 1000));
            pan[i] = static_cast<float>(static_cast<double>(t % 1000) / 97.0);
        }
    } else {
        float *in = h.input(box, 1), *trig = h.input(box, 2), *transp = h.input(box, 4), *pan = h.input(box, 7);
        for (int i = 0; i < n; ++i) {
            const int64_t t = t0 + i;
            in[i] = static_cast<float>(0.8 * std::sin(0.013 * 2.0 * M_PI * static_cast<double>(t % 100000)));
            trig[i] = is_trigger(t) ? 1.0f : 0.0f;
            // forwards for the first grains, backwards for the last ones
            transp[i] = static_cast<float>(1.0 - static_cast<double>(t % 1000) / 400.0);
            pan[i] = static_cast<float>(static_cast<double>(t % 1000) / 89.0);
        }
    }
}

Render render(const Scene &s) {
    grainhost::HostOptions opt;
    opt.alias_vectors = s.alias;
    grainhost::Host h(opt);
    Render r;
    grainhost::BoxId box = scene_box(h, s);
    if (box == 0)
        return r;
    h.dsp_start(s.sr, s.n);
    r.out.assign(static_cast<size_t>(s.outputs), {});
    for (int64_t t0 = 0; t0 < scene_samples; t0 += s.n) {
        scene_inputs(h, box, s, t0);
        h.run_vector();
        for (int k = 0; k < s.outputs; ++k) {
            const float *o = h.output(box, k + 1);
            r.out[static_cast<size_t>(k)].insert(r.out[static_cast<size_t>(k)].end(), o, o + s.n);
        }
        r.boundary.push_back(t0 + s.n);
        r.busy.push_back(busy_voices(h, box));
    }
    for (auto &o : r.out)
        o.resize(static_cast<size_t>(scene_samples));
    h.dsp_stop();
    for (auto &l : h.console())
        if (l.box == box)
            r.console.push_back(l.text);
    return r;
}

int expected_busy(const Scene &s, int64_t b) {
    const int usable = s.voices ? s.voices : 63;
    int sounding = 0, started = 0;
    for (int k = 0; k < scene_grains; ++k) {
        const int64_t start = trigger_at(k), end = start + grain_samples;
        if (start >= b)
            break;
        // All grains overlap, so the first `usable` take a voice and the rest are dropped.
        if (started == usable)
            break;
        ++started;
        if (b >= end - 3 && b <= end + 3)
            return -1;
        if (b < end)
            ++sounding;
    }
    return sounding;
}

} // namespace validation
