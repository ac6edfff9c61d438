// patch.cpp: the patch reader: words, numbers, times, and one parser per statement.
//
// Every fault throws PatchError "FILE:LINE: expected <what>, got <word>" at the first word that
// does not fit, so the user sees the place and the remedy. Single-threaded.
#include "patch.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sstream>

namespace ghtool {

namespace {

bool is_identifier(const std::string &w) {
    if (w.empty() || !(std::isalpha(static_cast<unsigned char>(w[0])) || w[0] == '_'))
        return false;
    for (char c : w)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.'))
            return false;
    return true;
}

// Whole-word number parsers: no trailing text, finite.
std::optional<double> to_double(const std::string &w) {
    if (w.empty())
        return std::nullopt;
    const char *b = w.c_str();
    char *e = nullptr;
    errno = 0;
    double v = std::strtod(b, &e);
    if (e != b + w.size() || errno == ERANGE || !std::isfinite(v))
        return std::nullopt;
    // strtod also takes "inf", "nan" and hex floats; a patch number is decimal.
    for (char c : w)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' ||
              c == 'e' || c == 'E'))
            return std::nullopt;
    return v;
}

std::optional<int64_t> to_integer(const std::string &w) {
    if (w.empty())
        return std::nullopt;
    const char *b = w.c_str();
    char *e = nullptr;
    errno = 0;
    long long v = std::strtoll(b, &e, 10);
    if (e != b + w.size() || errno == ERANGE)
        return std::nullopt;
    return v;
}

// A word that a patcher types as a number but that no atom holds: an integer beyond the 32-bit
// range of a long, or a number beyond the float range (1e400, 1e39). The host would turn these into
// a float of another value or an infinity; in a patch file they are typing errors.
bool atom_out_of_range(const std::string &w) {
    grainhost::Atom a = grainhost::parse_atom(w);
    if (a.type == grainhost::Atom::Type::Symbol)
        return false;
    if (a.type == grainhost::Atom::Type::Long)
        return false;
    if (!std::isfinite(a.f))
        return true;
    // An integer word that became a float because it does not fit a long.
    const char *b = w.c_str();
    char *e = nullptr;
    errno = 0;
    (void)std::strtoll(b, &e, 10);
    return *e == '\0' && e != b;
}

// A cursor over the words of one statement; each take_* names what it expects.
class Line {
public:
    Line(const Patch &p, int line, std::vector<std::string> words)
        : file_(p.file), line_(line), words_(std::move(words)) {}

    [[noreturn]] void fail(const std::string &expected) const {
        std::string got = pos_ < words_.size() ? "'" + words_[pos_] + "'" : "end of line";
        throw PatchError(file_ + ":" + std::to_string(line_) + ": expected " + expected + ", got " +
                         got);
    }
    [[noreturn]] void fail_here(const std::string &what) const {
        throw PatchError(file_ + ":" + std::to_string(line_) + ": expected " + what);
    }

    bool done() const { return pos_ >= words_.size(); }
    const std::string &peek() const { return words_[pos_]; }
    bool peek_is(const char *w) const { return !done() && words_[pos_] == w; }
    void end() const {
        if (!done())
            fail("end of line");
    }
    std::string take_word(const std::string &what) {
        if (done())
            fail(what);
        return words_[pos_++];
    }
    std::string take_id(const std::string &what) {
        if (done() || !is_identifier(words_[pos_]))
            fail(what);
        return words_[pos_++];
    }
    double take_number(const std::string &what) {
        auto v = done() ? std::nullopt : to_double(words_[pos_]);
        if (!v)
            fail(what);
        ++pos_;
        return *v;
    }
    int64_t take_int(const std::string &what, int64_t lo, int64_t hi) {
        auto v = done() ? std::nullopt : to_integer(words_[pos_]);
        if (!v || *v < lo || *v > hi)
            fail(what);
        ++pos_;
        return *v;
    }
    PatchTime take_time(const std::string &what) {
        auto t = done() ? std::nullopt : parse_time(words_[pos_]);
        if (!t)
            fail(what);
        ++pos_;
        return *t;
    }
    int line() const { return line_; }
    std::vector<std::string> rest() {
        std::vector<std::string> r(words_.begin() + static_cast<std::ptrdiff_t>(pos_), words_.end());
        pos_ = words_.size();
        return r;
    }
    // The remaining words as message atoms; a number that no atom holds is a fault at its word.
    grainhost::Atoms take_atoms() {
        grainhost::Atoms atoms;
        while (!done()) {
            if (atom_out_of_range(words_[pos_]))
                fail("an argument within range (a long from -2147483648 to 2147483647, or a float "
                     "within +-3.4e38)");
            atoms.push_back(grainhost::parse_atom(words_[pos_++]));
        }
        return atoms;
    }

private:
    std::string file_;
    int line_;
    std::vector<std::string> words_;
    size_t pos_ = 0;
};

const char *const shape_names = "a shape (hann, triangle, rectangle, rampup, rampdown, gaussian, "
                                "expdecay, tukey) or 'file'";

std::string resolve(const std::string &dir, const std::string &path) {
    if (path.empty() || path[0] == '/' || dir.empty())
        return path;
    return dir + "/" + path;
}

class Reader {
public:
    explicit Reader(Patch &p) : p_(p) {}

    void statement(Line &l) {
        std::string kw = l.take_word("a statement");
        if (kw == "samplerate")
            setting(l, p_.sample_rate,
                    [&] { return static_cast<double>(l.take_int("a sample rate in Hz (a whole number from 1000 to 768000)", 1000, 768000)); },
                    [](double) { return true; }, "");
        else if (kw == "vectorsize")
            setting(l, p_.vector_size,
                    [&] { return static_cast<int>(l.take_int("a vector size from 1 to 8192", 1, 8192)); },
                    [](int) { return true; }, "");
        else if (kw == "duration") {
            setting(l, p_.duration, [&] { return l.take_time("a duration such as 4s, 250ms or 44100smp"); },
                    [](const PatchTime &) { return true; }, "");
            p_.duration_line = l.line();
        }
        else if (kw == "channels")
            setting(l, p_.channels,
                    [&] { return static_cast<int>(l.take_int("an output channel count from 1 to 64", 1, 64)); },
                    [](int) { return true; }, "");
        else if (kw == "input")
            input(l);
        else if (kw == "buffer")
            p_.buffers.push_back({l.take_id("a buffer name"), buffer_source(l), l.line()});
        else if (kw == "box")
            box(l);
        else if (kw == "signal")
            signal(l);
        else if (kw == "connect")
            connect(l);
        else if (kw == "output")
            output(l);
        else if (kw == "at") {
            PatchTime t = l.take_time("a time such as 2s, 250ms or 1024smp");
            std::string what = l.take_word("an event (send, float, bang, disable, enable, buffer, "
                                           "replace, resize, delete)");
            if (!event(l, what, t, true))
                l.fail_here("an event (send, float, bang, disable, enable, buffer, replace, resize, "
                            "delete) after the time, got '" + what + "'");
        } else if (!event(l, kw, PatchTime{}, false)) {
            l.fail_here("a statement (samplerate, vectorsize, duration, channels, input, buffer, box, "
                        "signal, connect, output, at, send, float, bang, disable, enable, replace, "
                        "resize, delete), got '" + kw + "'");
        }
        l.end();
    }

private:
    template <class T, class Take, class Ok>
    void setting(Line &l, std::optional<T> &slot, Take take, Ok ok, const std::string &what) {
        if (slot)
            l.fail_here("each setting once; this one was given before");
        T v = take();
        if (!ok(v))
            l.fail_here(what);
        slot = v;
    }

    void input(Line &l) {
        InputDecl d;
        d.name = l.take_id("an input name");
        for (auto &i : p_.inputs)
            if (i.name == d.name)
                l.fail_here("a new input name; '" + d.name + "' is declared at line " +
                            std::to_string(i.line));
        d.path = resolve(p_.dir, l.take_word("an audio file path"));
        d.line = l.line();
        p_.inputs.push_back(std::move(d));
    }

    BufferSource buffer_source(Line &l) {
        BufferSource s;
        std::string kind = l.take_word(shape_names);
        if (kind == "file") {
            s.from_file = true;
            s.path = resolve(p_.dir, l.take_word("an audio file path"));
            if (l.peek_is("channel")) {
                l.take_word("channel");
                s.channel = static_cast<int>(l.take_int("a channel number from 1", 1, 1024));
            }
            return s;
        }
        static const std::set<std::string> shapes = {"hann", "triangle", "rectangle", "rampup",
                                                     "rampdown", "gaussian", "expdecay", "tukey"};
        if (!shapes.count(kind)) {
            l.fail_here(std::string(shape_names) + ", got '" + kind + "'");
        }
        s.shape.kind = kind;
        s.shape.frames = static_cast<int32_t>(
            l.take_int("a frame count from 1 to " + std::to_string(max_buffer_frames), 1, max_buffer_frames));
        if (kind == "tukey") {
            s.shape.param = l.take_number("a taper ratio from 0 to 1");
            if (s.shape.param < 0.0 || s.shape.param > 1.0)
                l.fail_here("a taper ratio from 0 to 1");
        } else if (kind == "gaussian") {
            s.shape.param = 0.15;
            if (!l.done()) {
                s.shape.param = l.take_number("a width (standard deviation as a fraction of the length) above 0");
                if (!(s.shape.param > 0.0))
                    l.fail_here("a width (standard deviation as a fraction of the length) above 0");
            }
        } else if (kind == "expdecay") {
            s.shape.param = 5.0;
            if (!l.done()) {
                s.shape.param = l.take_number("a decay rate from 0 to 1000");
                if (s.shape.param < 0.0 || s.shape.param > 1000.0)
                    l.fail_here("a decay rate from 0 to 1000");
            }
        }
        return s;
    }

    const BoxDecl &known_box(Line &l) {
        std::string id = l.take_id("a box id");
        if (const BoxDecl *b = p_.box(id))
            return *b;
        l.fail_here("a box declared above, got '" + id + "'");
    }

    void box(Line &l) {
        BoxDecl b;
        b.id = l.take_id("a box id (a word starting with a letter)");
        if (const BoxDecl *prev = p_.box(b.id))
            l.fail_here("a new box id; '" + b.id + "' is declared at line " + std::to_string(prev->line));
        b.class_name = l.take_word("a class name such as brindel~");
        b.args = l.take_atoms();
        b.line = l.line();
        p_.boxes.push_back(std::move(b));
    }

    void signal(Line &l) {
        FeedDecl f;
        f.box = known_box(l).id;
        f.inlet = static_cast<int>(l.take_int("an inlet number from 1", 1, 1024));
        SignalDef &s = f.signal;
        std::string kind = l.take_word("a signal (const, sine, phasor, impulse, noise, input)");
        if (kind == "const") {
            s.kind = SignalDef::Kind::Const;
            s.value = l.take_number("a value");
        } else if (kind == "sine" || kind == "phasor" || kind == "impulse") {
            s.kind = kind == "sine" ? SignalDef::Kind::Sine
                   : kind == "phasor" ? SignalDef::Kind::Phasor : SignalDef::Kind::Impulse;
            s.value = l.take_number("a frequency in Hz");
            if (kind == "impulse" && !(s.value > 0.0))
                l.fail_here("a frequency above 0 Hz for an impulse train");
        } else if (kind == "noise") {
            s.kind = SignalDef::Kind::Noise;
            s.value = l.take_number("a low bound");
            s.high = l.take_number("a high bound");
            if (s.high < s.value)
                l.fail_here("a high bound not below the low bound");
            s.seed = static_cast<uint64_t>(l.line());
        } else if (kind == "input") {
            s.kind = SignalDef::Kind::Input;
            s.input = l.take_id("an input name");
            if (!p_.input(s.input))
                l.fail_here("an input declared above, got '" + s.input + "'");
        } else {
            l.fail_here("a signal (const, sine, phasor, impulse, noise, input), got '" + kind + "'");
        }
        // Options, any order.
        while (!l.done()) {
            std::string opt = l.peek();
            bool periodic = s.kind == SignalDef::Kind::Sine || s.kind == SignalDef::Kind::Phasor ||
                            s.kind == SignalDef::Kind::Impulse;
            if (opt == "gain") {
                l.take_word("");
                s.gain = l.take_number("a gain");
            } else if (opt == "offset") {
                l.take_word("");
                s.offset = l.take_number("an offset");
            } else if (opt == "phase" && periodic) {
                l.take_word("");
                s.phase = l.take_number("a start phase in cycles");
            } else if (opt == "seed" && s.kind == SignalDef::Kind::Noise) {
                l.take_word("");
                s.seed = static_cast<uint64_t>(l.take_int("a seed from 0", 0, INT64_MAX));
            } else if (opt == "channel" && s.kind == SignalDef::Kind::Input) {
                l.take_word("");
                s.channel = static_cast<int>(l.take_int("a channel number from 1", 1, 1024));
            } else if (opt == "loop" && s.kind == SignalDef::Kind::Input) {
                l.take_word("");
                s.loop = true;
            } else {
                std::string opts = "gain, offset";
                if (periodic)
                    opts += ", phase";
                if (s.kind == SignalDef::Kind::Noise)
                    opts += ", seed";
                if (s.kind == SignalDef::Kind::Input)
                    opts += ", channel, loop";
                l.fail("an option (" + opts + ") or end of line");
            }
        }
        f.line = l.line();
        p_.feeds.push_back(std::move(f));
    }

    void connect(Line &l) {
        ConnectDecl c;
        c.src = known_box(l).id;
        c.outlet = static_cast<int>(l.take_int("an outlet number from 1", 1, 1024));
        c.dst = known_box(l).id;
        c.inlet = static_cast<int>(l.take_int("an inlet number from 1", 1, 1024));
        c.line = l.line();
        p_.connects.push_back(std::move(c));
    }

    void output(Line &l) {
        OutputDecl o;
        if (!l.done() && is_identifier(l.peek())) {
            o.box = known_box(l).id;
        } else {
            o.channel = static_cast<int>(l.take_int("an output channel from 1 to 64 or a box id", 1, 64));
            o.box = known_box(l).id;
            o.outlet = static_cast<int>(l.take_int("an outlet number from 1", 1, 1024));
        }
        if (l.peek_is("gain")) {
            l.take_word("");
            o.gain = l.take_number("a gain");
        }
        o.line = l.line();
        p_.outputs.push_back(std::move(o));
    }

    // Statements that run at a vector boundary. false when `kw` is none of them.
    bool event(Line &l, const std::string &kw, PatchTime at, bool timed) {
        Event e;
        e.at = at;
        e.line = l.line();
        if (kw == "send") {
            e.kind = Event::Kind::Send;
            e.box = known_box(l).id;
            e.selector = l.take_word("a message selector such as poll");
            if (auto number = to_double(e.selector)) {
                // A message box holding one number sends it as a float to inlet 1.
                e.kind = Event::Kind::Float;
                e.inlet = 1;
                e.value = *number;
                e.selector.clear();
                if (!l.done())
                    l.fail("end of line after a number sent as a float (a selector is a word)");
                return push(e);
            }
            e.atoms = l.take_atoms();
        } else if (kw == "float") {
            e.kind = Event::Kind::Float;
            e.box = known_box(l).id;
            e.inlet = static_cast<int>(l.take_int("an inlet number from 1", 1, 1024));
            e.value = l.take_number("a number");
        } else if (kw == "bang") {
            e.kind = Event::Kind::Bang;
            e.box = known_box(l).id;
            if (!l.done())
                e.inlet = static_cast<int>(l.take_int("an inlet number from 1", 1, 1024));
        } else if (kw == "disable" || kw == "enable") {
            e.kind = kw == "disable" ? Event::Kind::Disable : Event::Kind::Enable;
            e.box = known_box(l).id;
        } else if ((kw == "buffer" && timed) || kw == "replace") {
            e.kind = kw == "buffer" ? Event::Kind::BufferCreate : Event::Kind::BufferReplace;
            e.buffer = l.take_id("a buffer name");
            e.source = buffer_source(l);
        } else if (kw == "resize") {
            e.kind = Event::Kind::BufferResize;
            e.buffer = l.take_id("a buffer name");
            e.frames = static_cast<int32_t>(
                l.take_int("a frame count from 1 to " + std::to_string(max_buffer_frames), 1, max_buffer_frames));
        } else if (kw == "delete") {
            e.kind = Event::Kind::BufferDelete;
            e.buffer = l.take_id("a buffer name");
        } else {
            return false;
        }
        return push(e);
    }

    bool push(Event &e) {
        p_.events.push_back(std::move(e));
        return true;
    }

    Patch &p_;
};

} // namespace

int64_t PatchTime::first_sample(double sample_rate) const {
    double s = unit == Unit::Samples ? value
             : unit == Unit::Millis  ? value * sample_rate / 1000.0
                                     : value * sample_rate;
    // NB: 0.1 s at 44100 Hz is 4410.000000000001 in doubles; a millionth of a sample of slack keeps
    // such a time on its own sample instead of the next one.
    double c = std::ceil(s - 1e-6);
    if (c < 0.0)
        return 0;
    if (c > 9.0e18)
        return INT64_MAX;
    return static_cast<int64_t>(c);
}

int64_t PatchTime::samples(double sample_rate) const {
    double s = unit == Unit::Samples ? value
             : unit == Unit::Millis  ? value * sample_rate / 1000.0
                                     : value * sample_rate;
    double r = std::floor(s + 0.5);
    if (r > 9.0e18)
        return INT64_MAX;
    return static_cast<int64_t>(r);
}

std::optional<PatchTime> parse_time(const std::string &word) {
    PatchTime t;
    std::string num;
    auto ends_with = [&](const char *suffix) {
        std::string s(suffix);
        if (word.size() > s.size() && word.compare(word.size() - s.size(), s.size(), s) == 0) {
            num = word.substr(0, word.size() - s.size());
            return true;
        }
        return false;
    };
    if (ends_with("ms"))
        t.unit = PatchTime::Unit::Millis;
    else if (ends_with("smp"))
        t.unit = PatchTime::Unit::Samples;
    else if (ends_with("s"))
        t.unit = PatchTime::Unit::Seconds;
    else
        return std::nullopt;
    if (t.unit == PatchTime::Unit::Samples) {
        auto v = to_integer(num);
        // A day at the highest sample rate; the renderer bounds it by a day at the patch's rate.
        if (!v || *v < 0 || *v > max_time_samples)
            return std::nullopt;
        t.value = static_cast<double>(*v);
        return t;
    }
    auto v = to_double(num);
    // Beyond a day of sound a time is a typing error; the bound also keeps sample counts in range.
    if (!v || *v < 0.0 || *v > (t.unit == PatchTime::Unit::Millis ? 86400e3 : 86400.0))
        return std::nullopt;
    t.value = *v;
    return t;
}

const BoxDecl *Patch::box(const std::string &id) const {
    for (auto &b : boxes)
        if (b.id == id)
            return &b;
    return nullptr;
}

InputDecl *Patch::input(const std::string &name) {
    for (auto &i : inputs)
        if (i.name == name)
            return &i;
    return nullptr;
}

std::optional<std::vector<std::string>> split_words(const std::string &line) {
    std::vector<std::string> words;
    size_t i = 0, n = line.size();
    while (i < n) {
        char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '#')
            break;
        std::string w;
        if (c == '"') {
            ++i;
            bool closed = false;
            while (i < n) {
                char d = line[i++];
                if (d == '\\' && i < n && (line[i] == '"' || line[i] == '\\')) {
                    w += line[i++];
                } else if (d == '"') {
                    closed = true;
                    break;
                } else {
                    w += d;
                }
            }
            if (!closed)
                return std::nullopt;
        } else {
            while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#')
                w += line[i++];
        }
        words.push_back(std::move(w));
    }
    return words;
}

std::optional<size_t> bad_text_byte(const std::string &line) {
    const auto *b = reinterpret_cast<const unsigned char *>(line.data());
    const size_t n = line.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = b[i];
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7f)
                return i;
            ++i;
            continue;
        }
        // A UTF-8 sequence: lead byte, then 1 to 3 continuation bytes; no overlong forms, no
        // surrogates, nothing above U+10FFFF.
        size_t len = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
        if (len == 0 || i + len > n)
            return i;
        for (size_t k = 1; k < len; ++k)
            if ((b[i + k] & 0xc0) != 0x80)
                return i;
        if ((c == 0xe0 && b[i + 1] < 0xa0) || (c == 0xed && b[i + 1] > 0x9f) || (c == 0xf0 && b[i + 1] < 0x90) ||
            (c == 0xf4 && b[i + 1] > 0x8f))
            return i;
        i += len;
    }
    return std::nullopt;
}

Patch parse_patch(const std::string &text, const std::string &file, const std::string &dir) {
    Patch p;
    p.file = file;
    p.dir = dir;
    Reader reader(p);
    // A byte-order mark some editors write at the start of a UTF-8 file is not part of the text.
    std::istringstream in(text.compare(0, 3, "\xef\xbb\xbf") == 0 ? text.substr(3) : text);
    std::string raw;
    int line = 0;
    while (std::getline(in, raw)) {
        ++line;
        // NB: the words of a line reappear in messages; a line of binary garbage (NUL bytes, escape
        // sequences, broken UTF-8) is refused whole so that no message carries it to the terminal.
        if (auto at = bad_text_byte(raw)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned>(static_cast<unsigned char>(raw[*at])));
            throw PatchError(file + ":" + std::to_string(line) +
                             ": expected text (UTF-8 without control characters), got byte " + hex +
                             " at column " + std::to_string(*at + 1));
        }
        auto words = split_words(raw);
        if (!words)
            throw PatchError(file + ":" + std::to_string(line) + ": expected a closing '\"'");
        if (words->empty())
            continue;
        Line l(p, line, std::move(*words));
        reader.statement(l);
    }
    return p;
}

Patch read_patch(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw PatchError(path + ": cannot read: " + std::string(std::strerror(EISDIR)));
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        int err = errno;
        throw PatchError(path + ": cannot read: " + std::string(std::strerror(err)));
    }
    // Read at most one byte beyond the bound: /dev/zero or a sound file named by mistake must not
    // fill the memory.
    std::string text;
    char chunk[65536];
    while (in && text.size() <= max_patch_bytes) {
        in.read(chunk, sizeof chunk);
        text.append(chunk, static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        // A folder opens as a stream and fails at the first read.
        int err = errno;
        throw PatchError(path + ": cannot read: " + std::string(err ? std::strerror(err) : "read error"));
    }
    if (text.size() > max_patch_bytes)
        throw PatchError(path + ": cannot read: more than " + std::to_string(max_patch_bytes >> 20) +
                         " MiB, too large for a patch file");
    std::string dir;
    auto slash = path.rfind('/');
    if (slash != std::string::npos)
        dir = slash == 0 ? "/" : path.substr(0, slash);
    return parse_patch(text, path, dir);
}

} // namespace ghtool
