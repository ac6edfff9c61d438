// audio_file.hpp: every audio file the renderer reads or writes, through libsndfile.
//
// read_audio() loads a whole file as 32-bit floats. AudioWriter writes into a temporary file beside
// the requested name and renames it over that name only in commit(), so a failed render never
// leaves a partial file under the requested name. Message thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace ghtool {

// A file that cannot be read or written: "PATH: reason".
struct AudioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct AudioData {
    int channels = 0;
    int sample_rate = 0;
    int64_t frames = 0;
    std::vector<float> samples; // frame-major, channels interleaved
    // One channel (1-based) as a mono signal.
    std::vector<float> channel(int ch) const;
};

// Samples (frames x channels) held in memory for buffers and inputs, in all: 1 GiB of floats.
inline constexpr int64_t max_held_samples = int64_t(1) << 28;

// Reads a whole file; a file of more than max_samples samples (frames x channels) is refused
// before its samples are read.
AudioData read_audio(const std::string &path, int64_t max_samples = max_held_samples);

enum class SampleFormat { Pcm16, Pcm24, Float32 };

struct OutputFormat {
    int major = 0; // libsndfile major format (SF_FORMAT_WAV, ...)
    SampleFormat sample = SampleFormat::Float32;
};

// The container from the file name's extension (.wav, .flac, .aif/.aiff); `bits` 0 picks the
// default (float, or 24-bit for FLAC). Throws AudioError naming what is possible.
OutputFormat output_format(const std::string &path, int bits);

// Refuses (AudioError "PATH: expected ...") a render whose samples a WAV or AIFF file cannot hold:
// their chunk sizes are 32-bit, so more than 4 GiB of samples would give a file with a broken header.
void check_output_size(const std::string &path, const OutputFormat &format, int64_t frames, int channels);

class AudioWriter {
public:
    AudioWriter(const std::string &path, int channels, int sample_rate, OutputFormat format);
    ~AudioWriter(); // removes the temporary file unless committed
    AudioWriter(const AudioWriter &) = delete;
    AudioWriter &operator=(const AudioWriter &) = delete;

    void write(const float *interleaved, int64_t frames); // throws AudioError
    void commit();                                        // close, then rename into place

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace ghtool
