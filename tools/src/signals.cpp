// signals.cpp: the generators. Phases are doubles in cycles, wrapped into [0, 1) every sample, so
// long renders keep their frequency.
#include "signals.hpp"

#include <cmath>
#include <numbers>

namespace ghtool {

namespace {

double wrap(double x) {
    x -= std::floor(x);
    return x >= 1.0 ? 0.0 : x;
}

class Constant final : public Generator {
public:
    explicit Constant(float v) : v_(v) {}
    void add_to(float *out, int n) override {
        for (int i = 0; i < n; ++i)
            out[i] += v_;
    }

private:
    float v_;
};

// Sine, phasor and impulse train share the phase: start + k * increment at sample k, computed
// from k rather than accumulated, so that 100 Hz at 1000 Hz wraps on every tenth sample exactly
// and long renders do not drift.
class Periodic final : public Generator {
public:
    Periodic(SignalDef::Kind kind, double freq, double phase, double sr, double gain, double offset)
        : kind_(kind), inc_(freq / sr), start_(wrap(phase)), gain_(gain), offset_(offset) {}
    void add_to(float *out, int n) override {
        for (int i = 0; i < n; ++i, ++k_) {
            const double x = start_ + static_cast<double>(k_) * inc_;
            const double cycle = std::floor(x);
            double v;
            if (kind_ == SignalDef::Kind::Sine) {
                v = std::sin(2.0 * std::numbers::pi * (x - cycle));
            } else if (kind_ == SignalDef::Kind::Phasor) {
                v = x - cycle;
            } else {
                // 1 on the sample where a new cycle begins (and on the first one when the start
                // phase is 0): a rising edge from 0, which is what a trigger inlet counts.
                v = (k_ == 0 ? start_ == 0.0 : cycle != last_cycle_) ? 1.0 : 0.0;
            }
            last_cycle_ = cycle;
            out[i] += static_cast<float>(offset_ + gain_ * v);
        }
    }

private:
    SignalDef::Kind kind_;
    double inc_;   // cycles per sample
    double start_; // cycles, [0, 1)
    double gain_, offset_;
    int64_t k_ = 0;           // samples generated so far
    double last_cycle_ = 0.0; // whole cycles at the previous sample
};

class Noise final : public Generator {
public:
    Noise(double lo, double hi, uint64_t seed, double gain, double offset)
        : lo_(lo), span_(hi - lo), rng_{seed}, gain_(gain), offset_(offset) {}
    void add_to(float *out, int n) override {
        for (int i = 0; i < n; ++i)
            out[i] += static_cast<float>(offset_ + gain_ * (lo_ + span_ * rng_.uniform()));
    }

private:
    double lo_, span_;
    SplitMix64 rng_;
    double gain_, offset_;
};

class FileInput final : public Generator {
public:
    FileInput(const std::vector<float> *data, bool loop, double gain, double offset)
        : data_(data), loop_(loop), gain_(static_cast<float>(gain)), offset_(static_cast<float>(offset)) {}
    void add_to(float *out, int n) override {
        const size_t size = data_->size();
        for (int i = 0; i < n; ++i) {
            float v = 0.0f;
            if (pos_ < size) {
                v = (*data_)[pos_++];
                if (loop_ && pos_ == size)
                    pos_ = 0;
            }
            out[i] += offset_ + gain_ * v;
        }
    }

private:
    const std::vector<float> *data_;
    bool loop_;
    float gain_, offset_;
    size_t pos_ = 0;
};

} // namespace

std::unique_ptr<Generator> make_generator(const SignalDef &s, double sample_rate,
                                          const std::vector<float> *file) {
    switch (s.kind) {
    case SignalDef::Kind::Const:
        return std::make_unique<Constant>(static_cast<float>(s.offset + s.gain * s.value));
    case SignalDef::Kind::Sine:
    case SignalDef::Kind::Phasor:
    case SignalDef::Kind::Impulse:
        return std::make_unique<Periodic>(s.kind, s.value, s.phase, sample_rate, s.gain, s.offset);
    case SignalDef::Kind::Noise:
        return std::make_unique<Noise>(s.value, s.high, s.seed, s.gain, s.offset);
    case SignalDef::Kind::Input:
        return std::make_unique<FileInput>(file, s.loop, s.gain, s.offset);
    }
    return std::make_unique<Constant>(0.0f);
}

} // namespace ghtool
