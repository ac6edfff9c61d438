// signals.hpp: the signals the renderer feeds into inlets: constants, sine, phasor, impulse train,
// seeded uniform noise and audio file inputs. Deterministic: the same statement gives the same samples
// on every run and machine (own random generator, phase kept in doubles). Render thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "patch.hpp"

namespace ghtool {

class Generator {
public:
    virtual ~Generator() = default;
    // Adds the next n samples (offset + gain * signal) to out.
    virtual void add_to(float *out, int n) = 0;
};

// `file` is the input's samples (one channel) for Kind::Input, else ignored; the generator keeps
// its own copy of the pointer, so the data must outlive it.
std::unique_ptr<Generator> make_generator(const SignalDef &signal, double sample_rate,
                                          const std::vector<float> *file);

// splitmix64: a small, well-mixed generator with a fixed definition, for reproducible noise.
struct SplitMix64 {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; } // [0, 1)
};

} // namespace ghtool
