// patch.hpp: the patch file of `grainhost render`, read into plain records.
//
// A patch is text, one statement per line (docs/patch-format.md gives the grammar). read_patch()
// checks every statement on its own (words, numbers, references to boxes declared above) and throws
// PatchError "FILE:LINE: expected ..." at the first fault; what needs the host (inlet counts, cycles,
// creation) is checked by the renderer, with the same kind of message. Single-threaded.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "grainhost/host.hpp"

namespace ghtool {

// A fault in a patch or on the command line, already worded for the user.
struct PatchError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A point in time or a length: seconds ("2s", "1.5s"), milliseconds ("250ms") or samples ("1024smp").
struct PatchTime {
    enum class Unit { Seconds, Millis, Samples };
    Unit unit = Unit::Seconds;
    double value = 0.0; // >= 0, finite
    // The first sample at or after this time at the given rate (never negative).
    int64_t first_sample(double sample_rate) const;
    // The nearest whole number of samples (for lengths such as the duration).
    int64_t samples(double sample_rate) const;
};
std::optional<PatchTime> parse_time(const std::string &word);

// A generated envelope or wave shape for a buffer~.
struct ShapeDef {
    std::string kind;   // hann, triangle, rectangle, rampup, rampdown, gaussian, expdecay, tukey
    int32_t frames = 0; // 1 .. max_buffer_frames
    double param = 0.0; // gaussian: width (std. deviation, fraction of the length); expdecay: rate;
                        // tukey: taper ratio 0..1; unused by the others
};
inline constexpr int32_t max_buffer_frames = 1 << 24;
// Times in samples are at most a day at the highest sample rate (768000 Hz).
inline constexpr int64_t max_time_samples = int64_t(86400) * 768000;
// A patch file is text of a few lines: anything larger is refused unread.
inline constexpr size_t max_patch_bytes = size_t(16) << 20;

// Where a buffer~'s samples come from: a shape, or one channel of an audio file.
struct BufferSource {
    bool from_file = false;
    ShapeDef shape;
    std::string path; // resolved against the patch's folder
    int channel = 1;  // 1-based
};

// A signal fed into an inlet by the renderer.
struct SignalDef {
    enum class Kind { Const, Sine, Phasor, Impulse, Noise, Input };
    Kind kind = Kind::Const;
    double value = 0.0;    // const: the value; sine/phasor/impulse: frequency (Hz); noise: low bound
    double high = 0.0;     // noise: high bound
    double phase = 0.0;    // sine/phasor/impulse: start phase in cycles
    uint64_t seed = 1;     // noise
    std::string input;     // input: name of an `input` statement
    int channel = 1;       // input: 1-based channel of the file
    bool loop = false;     // input: start again at the end instead of silence
    double gain = 1.0;     // every kind: out = offset + gain * signal
    double offset = 0.0;
};

struct BoxDecl {
    std::string id;
    std::string class_name;
    grainhost::Atoms args;
    int line = 0;
};

struct FeedDecl {
    std::string box;
    int inlet = 1;
    SignalDef signal;
    int line = 0;
};

struct ConnectDecl {
    std::string src;
    int outlet = 1;
    std::string dst;
    int inlet = 1;
    int line = 0;
};

// File channel `channel` receives outlet `outlet` of `box` times gain; channel 0 with outlet 0 is
// "every signal outlet of the box to channels 1..n".
struct OutputDecl {
    int channel = 0;
    std::string box;
    int outlet = 0;
    double gain = 1.0;
    int line = 0;
};

struct InputDecl {
    std::string name;
    std::string path; // resolved against the patch's folder
    int line = 0;
};

struct BufferDecl {
    std::string name;
    BufferSource source;
    int line = 0;
};

// Something that happens at a vector boundary (at time 0 when the statement has no `at`).
struct Event {
    enum class Kind { Send, Float, Bang, Disable, Enable, BufferCreate, BufferReplace, BufferResize,
                      BufferDelete };
    Kind kind = Kind::Send;
    PatchTime at;
    std::string box;           // Send, Float, Bang, Disable, Enable
    std::string selector;      // Send
    grainhost::Atoms atoms;    // Send
    int inlet = 1;             // Float, Bang
    double value = 0.0;        // Float
    std::string buffer;        // Buffer*
    BufferSource source;       // BufferCreate, BufferReplace
    int32_t frames = 0;        // BufferResize
    int line = 0;
};

struct Patch {
    std::string file; // as named to the reader: used in every message
    std::string dir;  // folder that relative paths start from
    std::optional<double> sample_rate;   // Hz
    std::optional<int> vector_size;      // samples
    std::optional<PatchTime> duration;
    int duration_line = 0;               // line of the `duration` setting
    std::optional<int> channels;
    std::vector<InputDecl> inputs;
    std::vector<BufferDecl> buffers; // made before any box, in file order
    std::vector<BoxDecl> boxes;      // created in file order
    std::vector<FeedDecl> feeds;
    std::vector<ConnectDecl> connects;
    std::vector<OutputDecl> outputs;
    std::vector<Event> events;       // in file order

    const BoxDecl *box(const std::string &id) const;
    InputDecl *input(const std::string &name);
};

// Reads a patch from text; `file` names it in messages, `dir` anchors relative paths.
Patch parse_patch(const std::string &text, const std::string &file, const std::string &dir);
// Reads a patch file (PatchError "FILE: reason" when it cannot be read).
Patch read_patch(const std::string &path);

// Splits one line into words: blanks separate, `#` outside quotes starts a comment, "double quotes"
// keep blanks and `#` inside one word (\" and \\ escape). nullopt for an unterminated quote.
std::optional<std::vector<std::string>> split_words(const std::string &line);

// The offset of the first byte of `line` that is not UTF-8 text (a control character other than
// tab and carriage return, DEL, or a broken, overlong or out-of-range sequence); nullopt when clean.
std::optional<size_t> bad_text_byte(const std::string &line);

} // namespace ghtool
