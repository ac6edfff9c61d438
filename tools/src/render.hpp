// render.hpp: renders a patch offline through the embedded host, as fast as the machine allows.
//
// render() checks everything it can before the first vector (files, inlets, outlets, cycles, box
// creation), then runs the chain vector by vector on the calling thread, applies the timed events at
// vector boundaries, shows the boxes' console lines and information lists, and writes the routed
// outlets to the output file through a temporary file that is renamed into place at the end.
#pragma once

#include <csignal>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "patch.hpp"

namespace ghtool {

struct RenderOptions {
    std::string output;                          // output file; the extension picks the format
    int bits = 0;                                // 16, 24, 32 (float); 0: the format's default
    std::optional<double> sample_rate;           // replaces the patch's samplerate
    std::optional<int> vector_size;              // replaces the patch's vectorsize
    std::optional<PatchTime> duration;            // replaces the patch's duration
    std::vector<std::pair<std::string, std::string>> inputs; // name ("" = the only one) -> file
    std::vector<std::string> search_path;        // folders with <class>.so; empty: the host's default
    bool quiet = false;                          // no post lines, lists, progress or summary on stderr
    bool progress = false;                       // draw a progress bar on stderr (a terminal)
    const volatile std::sig_atomic_t *stop = nullptr; // non-zero (set by a signal handler): give up
};

inline constexpr double default_sample_rate = 44100.0;
inline constexpr int default_vector_size = 64;
inline constexpr double default_duration_s = 5.0;

struct RenderResult {
    int64_t frames = 0;
    int channels = 0;
    double sample_rate = 0.0;
    std::vector<double> peak;     // per channel, linear
    int64_t clipped = 0;          // samples beyond +-1.0 (clipped in integer formats)
    int64_t nonfinite = 0;        // NaN or Inf samples, written as 0
    double wall_seconds = 0.0;
};

// Where the boxes' console lines and lists go: `lines` (stderr or a log file); `status` is stderr
// for the progress bar. Errors from the boxes also reach `status` when `lines` is a log file.
struct ConsoleSink {
    std::ostream *lines = nullptr;
    std::ostream *status = nullptr;
    bool lines_is_status = true;
};

// Throws PatchError or AudioError (nothing is left under the output name then).
RenderResult render(Patch &patch, const RenderOptions &options, const ConsoleSink &sink);

// "5.000 s, 2 ch, 44100 Hz; peak -3.1 / -2.9 dBFS; 12 clipped samples; 38.2x real time"
std::string summary_line(const RenderResult &r);

} // namespace ghtool
