// audio_file.cpp: libsndfile reading and writing, with the temporary-file-then-rename commit.
#include "audio_file.hpp"

#include <sndfile.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace ghtool {

std::vector<float> AudioData::channel(int ch) const {
    std::vector<float> out(static_cast<size_t>(frames));
    if (ch < 1 || ch > channels)
        return out;
    for (int64_t i = 0; i < frames; ++i)
        out[static_cast<size_t>(i)] =
            samples[static_cast<size_t>(i) * static_cast<size_t>(channels) + static_cast<size_t>(ch - 1)];
    return out;
}

AudioData read_audio(const std::string &path, int64_t max_samples) {
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        // libsndfile words "no such file" as "System error : No such file or directory."
        std::string why = sf_strerror(nullptr);
        throw AudioError(path + ": cannot read: " + why);
    }
    AudioData d;
    d.channels = info.channels;
    d.sample_rate = info.samplerate;
    // A float per sample in memory: refuse files that would not fit the budget left.
    if (info.channels <= 0 || info.frames < 0 ||
        static_cast<double>(info.frames) * info.channels > static_cast<double>(max_samples)) {
        sf_close(f);
        throw AudioError(path + ": cannot read: too long (more than " + std::to_string(max_samples) +
                         " samples" + (max_samples < max_held_samples ? " left of the " +
                         std::to_string(max_held_samples) + " that buffers and inputs may hold" : "") + ")");
    }
    d.samples.resize(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    sf_count_t got = sf_readf_float(f, d.samples.data(), info.frames);
    sf_close(f);
    if (got < 0)
        got = 0;
    d.frames = got;
    d.samples.resize(static_cast<size_t>(got) * static_cast<size_t>(info.channels));
    return d;
}

namespace {

std::string extension_of(const std::string &path) {
    auto slash = path.rfind('/');
    auto dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return "";
    std::string e = path.substr(dot + 1);
    for (auto &c : e)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return e;
}

} // namespace

OutputFormat output_format(const std::string &path, int bits) {
    OutputFormat f;
    std::string e = extension_of(path);
    if (e == "wav")
        f.major = SF_FORMAT_WAV;
    else if (e == "flac")
        f.major = SF_FORMAT_FLAC;
    else if (e == "aif" || e == "aiff")
        f.major = SF_FORMAT_AIFF;
    else
        throw AudioError(path + ": expected an output name ending in .wav, .flac or .aiff");
    if (bits == 0)
        bits = f.major == SF_FORMAT_FLAC ? 24 : 32;
    if (bits == 16)
        f.sample = SampleFormat::Pcm16;
    else if (bits == 24)
        f.sample = SampleFormat::Pcm24;
    else if (bits == 32 && f.major != SF_FORMAT_FLAC)
        f.sample = SampleFormat::Float32;
    else if (bits == 32)
        throw AudioError(path + ": FLAC holds 16 or 24-bit samples, not 32-bit float; expected --bits 16 or 24");
    else
        throw AudioError(path + ": expected 16, 24 or 32 bits");
    return f;
}

void check_output_size(const std::string &path, const OutputFormat &format, int64_t frames, int channels) {
    if (format.major == SF_FORMAT_FLAC)
        return;
    const int64_t width = format.sample == SampleFormat::Pcm16 ? 2 : format.sample == SampleFormat::Pcm24 ? 3 : 4;
    // 4 GiB less room for the header chunks.
    const int64_t limit = (int64_t(1) << 32) - 4096;
    const double bytes = static_cast<double>(frames) * channels * static_cast<double>(width);
    if (bytes > static_cast<double>(limit)) {
        char text[64];
        std::snprintf(text, sizeof text, "%.1f GiB", bytes / 1073741824.0);
        throw AudioError(path + ": expected at most 4 GiB of samples in a " +
                         (format.major == SF_FORMAT_WAV ? "WAV" : "AIFF") + " file, got " + text +
                         " (a shorter duration, fewer channels or bits, or a .flac name)");
    }
}

struct AudioWriter::Impl {
    std::string path;
    std::string temp;
    SNDFILE *file = nullptr;
    bool committed = false;
};

AudioWriter::AudioWriter(const std::string &path, int channels, int sample_rate, OutputFormat format)
    : impl_(std::make_unique<Impl>()) {
    impl_->path = path;
    // The temporary file sits in the same folder, so that the rename is atomic and stays on one
    // file system; its name starts with a dot and carries the final name, to be recognisable.
    auto slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string templ = dir + "." + base + ".partial-XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        int err = errno;
        throw AudioError(path + ": cannot write: " + std::strerror(err));
    }
    impl_->temp = name.data();
    SF_INFO info{};
    info.channels = channels;
    info.samplerate = sample_rate;
    int sub = format.sample == SampleFormat::Pcm16   ? SF_FORMAT_PCM_16
            : format.sample == SampleFormat::Pcm24 ? SF_FORMAT_PCM_24
                                                   : SF_FORMAT_FLOAT;
    // WAVE_FORMAT_EXTENSIBLE above two channels, where it is the standard form (it carries the
    // channel layout); the plain form otherwise, which every reader takes.
    int major = format.major;
    if (major == SF_FORMAT_WAV && channels > 2)
        major = SF_FORMAT_WAVEX;
    info.format = major | sub;
    if (!sf_format_check(&info)) {
        ::close(fd);
        std::remove(impl_->temp.c_str());
        throw AudioError(path + ": cannot write: this format does not take " + std::to_string(channels) +
                         " channels at " + std::to_string(sample_rate) + " Hz");
    }
    impl_->file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!impl_->file) {
        std::string why = sf_strerror(nullptr);
        ::close(fd);
        std::remove(impl_->temp.c_str());
        throw AudioError(path + ": cannot write: " + why);
    }
    // Integer formats: clip out-of-range floats instead of letting them wrap around.
    sf_command(impl_->file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // NB: libsndfile adds a PEAK chunk to float files that carries the time of writing; without it
    // the same render gives the same bytes whenever it runs.
    sf_command(impl_->file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
}

AudioWriter::~AudioWriter() {
    if (impl_->file)
        sf_close(impl_->file);
    if (!impl_->committed && !impl_->temp.empty())
        std::remove(impl_->temp.c_str());
}

void AudioWriter::write(const float *interleaved, int64_t frames) {
    if (frames <= 0)
        return;
    sf_count_t put = sf_writef_float(impl_->file, interleaved, frames);
    if (put != frames) {
        std::string why = sf_strerror(impl_->file);
        throw AudioError(impl_->path + ": cannot write: " + why);
    }
}

void AudioWriter::commit() {
    sf_write_sync(impl_->file);
    int rc = sf_close(impl_->file);
    impl_->file = nullptr;
    if (rc != 0)
        throw AudioError(impl_->path + ": cannot write: " + sf_error_number(rc));
    // mkstemp makes the file 0600; give it the usual permissions for a new file.
    mode_t mask = umask(0);
    umask(mask);
    chmod(impl_->temp.c_str(), 0666 & ~mask);
    if (std::rename(impl_->temp.c_str(), impl_->path.c_str()) != 0) {
        int err = errno;
        throw AudioError(impl_->path + ": cannot write: " + std::strerror(err));
    }
    impl_->committed = true;
}

} // namespace ghtool
