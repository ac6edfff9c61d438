// render.cpp: from a parsed patch to an audio file, through grainhost::Host.
//
// Order of work: settings and overrides; every file read (inputs, file buffers); the output format
// checked; buffers made; boxes created in file order (a failure stops the render, as in a host);
// signals, connections and routes checked against the boxes; the chain built; then the vector loop.
// Everything runs on the calling thread, which is both the message and the audio thread here.
#include "render.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "audio_file.hpp"
#include "shapes.hpp"
#include "signals.hpp"

namespace ghtool {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail_at(const Patch &p, int line, const std::string &what) {
    throw PatchError(p.file + ":" + std::to_string(line) + ": " + what);
}

std::string describe(const BoxDecl &b) { return "box '" + b.id + "' (" + b.class_name + ")"; }

// One fed inlet: the generators of every `signal` statement into it, summed.
struct Feed {
    grainhost::BoxId box = 0;
    int inlet = 0;
    std::vector<std::unique_ptr<Generator>> generators;
    float *vec = nullptr;
};

struct Route {
    int channel = 0; // 0-based file channel
    grainhost::BoxId box = 0;
    int outlet = 0;
    float gain = 1.0f;
};

// Shows console lines and information lists as a host console does: the box, then the line.
class ConsoleView {
public:
    ConsoleView(const ConsoleSink &sink, bool quiet) : sink_(sink), quiet_(quiet) {}

    void name_box(grainhost::BoxId id, const std::string &name) { names_[id] = name; }
    void set_progress(class Progress *p) { progress_ = p; }

    // `creating`: the patch id of the box being created, for the lines its creation routine posts
    // before the host has given the box to us (or when it gives none).
    void drain(grainhost::Host &h, const std::vector<grainhost::BoxId> &boxes, const std::string &creating = "");

private:
    std::string who(grainhost::BoxId id, const std::string &creating) const {
        auto it = names_.find(id);
        if (it != names_.end())
            return it->second;
        return creating.empty() ? "#" + std::to_string(id) : creating;
    }
    void emit(const std::string &text, bool is_error);

    ConsoleSink sink_;
    bool quiet_;
    std::map<grainhost::BoxId, std::string> names_;
    class Progress *progress_ = nullptr;
};

// A one-line bar on a terminal, drawn at most ten times a second once the render has run a second.
class Progress {
public:
    Progress(std::ostream *out, bool enabled, int64_t total, double sample_rate)
        : out_(out), enabled_(enabled), total_(total), sr_(sample_rate), start_(Clock::now()) {}

    void update(int64_t done) {
        if (!enabled_)
            return;
        auto now = Clock::now();
        double elapsed = std::chrono::duration<double>(now - start_).count();
        if (elapsed < 1.0 || (shown_ && now - last_ < std::chrono::milliseconds(100)))
            return;
        last_ = now;
        shown_ = true;
        double frac = total_ > 0 ? static_cast<double>(done) / static_cast<double>(total_) : 1.0;
        int width = 30, fill = static_cast<int>(frac * width);
        double speed = elapsed > 0.0 ? static_cast<double>(done) / sr_ / elapsed : 0.0;
        std::ostringstream s;
        s << "\r[" << std::string(static_cast<size_t>(fill), '#')
          << std::string(static_cast<size_t>(width - fill), '.') << "] " << std::setw(3)
          << static_cast<int>(frac * 100.0) << "%  " << std::fixed << std::setprecision(1)
          << static_cast<double>(done) / sr_ << " / " << static_cast<double>(total_) / sr_
          << " s  elapsed " << elapsed << " s  " << speed << "x real time";
        *out_ << s.str() << std::flush;
    }
    // Removes the bar so that a console line or the summary starts on a clean line.
    void clear() {
        if (shown_) {
            *out_ << "\r\033[K" << std::flush;
            shown_ = false;
        }
    }

private:
    std::ostream *out_;
    bool enabled_;
    int64_t total_;
    double sr_;
    Clock::time_point start_, last_{};
    bool shown_ = false;
};

void ConsoleView::emit(const std::string &text, bool is_error) {
    if (progress_)
        progress_->clear();
    if (!quiet_ || is_error || !sink_.lines_is_status)
        *sink_.lines << text << '\n';
    if (is_error && !sink_.lines_is_status)
        *sink_.status << text << '\n';
}

void ConsoleView::drain(grainhost::Host &h, const std::vector<grainhost::BoxId> &boxes,
                        const std::string &creating) {
    auto lines = h.console();
    if (!lines.empty()) {
        h.clear_console();
        for (auto &l : lines) {
            std::string text = l.box == 0 ? l.text : who(l.box, creating) + ": " + l.text;
            if (l.is_error)
                text = (l.box == 0 ? "error: " : who(l.box, creating) + ": error: ") + l.text;
            emit(text, l.is_error);
        }
    }
    for (auto id : boxes) {
        auto lists = h.lists(id);
        if (lists.empty())
            continue;
        h.clear_lists(id);
        for (auto &l : lists) {
            std::string text = who(id, "") + ": outlet " + std::to_string(l.outlet) + ":";
            for (auto &a : l.atoms)
                text += " " + a.str();
            emit(text, false);
        }
    }
}

std::vector<float> buffer_samples(const BufferSource &src, const std::map<std::string, AudioData> &files,
                                  const Patch &p, int line) {
    if (!src.from_file)
        return make_shape(src.shape);
    const AudioData &d = files.at(src.path);
    if (src.channel > d.channels)
        fail_at(p, line, "expected a channel from 1 to " + std::to_string(d.channels) + " of " + src.path +
                             ", got " + std::to_string(src.channel));
    if (d.frames < 1 || d.frames > max_buffer_frames)
        fail_at(p, line, "expected an audio file of 1 to " + std::to_string(max_buffer_frames) +
                             " frames for a buffer, got " + std::to_string(d.frames) + " in " + src.path);
    return d.channel(src.channel);
}

std::string db_text(double peak) {
    if (!(peak > 0.0))
        return "-inf";
    std::ostringstream s;
    s << std::fixed << std::setprecision(1) << 20.0 * std::log10(peak);
    return s.str();
}

} // namespace

RenderResult render(Patch &p, const RenderOptions &opt, const ConsoleSink &sink) {
    // ---- settings and command-line replacements ------------------------------------------------
    const double sr = opt.sample_rate ? *opt.sample_rate : p.sample_rate.value_or(default_sample_rate);
    const int vs = opt.vector_size ? *opt.vector_size : p.vector_size.value_or(default_vector_size);
    PatchTime dur_time = opt.duration ? *opt.duration : p.duration.value_or(PatchTime{PatchTime::Unit::Seconds, default_duration_s});
    const int64_t total = dur_time.samples(sr);
    const std::string dur_where = opt.duration ? std::string("grainhost: --duration")
                                : p.duration ? p.file + ":" + std::to_string(p.duration_line)
                                             : p.file;
    if (total < 1)
        throw PatchError(dur_where + ": expected a duration of at least one sample");
    // Times are at most a day long; a day in samples depends on the rate, so it is checked here.
    const int64_t day = static_cast<int64_t>(86400.0 * sr);
    if (total > day)
        throw PatchError(dur_where + ": expected a duration of at most a day (" + std::to_string(day) +
                         " samples at " + std::to_string(static_cast<int64_t>(sr)) + " Hz), got " +
                         std::to_string(total) + " samples");

    std::set<std::string> overridden; // input files named on the command line, not in the patch
    for (auto &[name, path] : opt.inputs) {
        if (name.empty()) {
            if (p.inputs.size() != 1)
                throw PatchError("--input " + path + ": expected NAME=FILE, since " + p.file + " has " +
                                 std::to_string(p.inputs.size()) + " inputs");
            p.inputs[0].path = path;
            overridden.insert(path);
            continue;
        }
        InputDecl *in = p.input(name);
        if (!in) {
            std::string names;
            for (auto &i : p.inputs)
                names += (names.empty() ? "" : ", ") + i.name;
            throw PatchError("--input " + name + "=" + path + ": expected the name of an input of " + p.file +
                             (names.empty() ? " (it has none)" : " (" + names + ")"));
        }
        in->path = path;
        overridden.insert(in->path);
    }

    const OutputFormat format = output_format(opt.output, opt.bits);

    // ---- every file, read before anything is made ----------------------------------------------
    // Buffers and input files live in memory for the whole render: their samples are counted, and a
    // patch that needs more than max_held_samples is refused before anything large is made.
    int64_t held = 0;
    auto charge = [&](int64_t samples, int line) {
        held += samples;
        if (held > max_held_samples)
            fail_at(p, line, "expected at most " + std::to_string(max_held_samples) +
                                 " samples of buffers and input files in all (1 GiB), got " +
                                 std::to_string(held) + " up to this line");
    };
    for (auto &b : p.buffers)
        if (!b.source.from_file)
            charge(b.source.shape.frames, b.line);
    std::map<std::string, int64_t> resized; // largest resize per buffer name: one copy lives at a time
    for (auto &e : p.events) {
        if ((e.kind == Event::Kind::BufferCreate || e.kind == Event::Kind::BufferReplace) && !e.source.from_file) {
            charge(e.source.shape.frames, e.line);
        } else if (e.kind == Event::Kind::BufferResize && e.frames > resized[e.buffer]) {
            charge(e.frames - resized[e.buffer], e.line);
            resized[e.buffer] = e.frames;
        }
    }

    std::map<std::string, AudioData> files;
    auto need = [&](const std::string &path, int line) {
        if (files.count(path))
            return;
        try {
            files.emplace(path, read_audio(path, max_held_samples - held));
        } catch (const AudioError &err) {
            // The line that names the file, unless the command line named it.
            if (line == 0)
                throw;
            throw AudioError(p.file + ":" + std::to_string(line) + ": " + err.what());
        }
        const AudioData &d = files.at(path);
        charge(d.frames * d.channels, line);
    };
    for (auto &i : p.inputs)
        need(i.path, overridden.count(i.path) ? 0 : i.line);
    for (auto &b : p.buffers)
        if (b.source.from_file)
            need(b.source.path, b.line);
    for (auto &e : p.events)
        if ((e.kind == Event::Kind::BufferCreate || e.kind == Event::Kind::BufferReplace) && e.source.from_file)
            need(e.source.path, e.line);

    std::vector<std::string> notes;
    std::map<std::string, std::vector<float>> input_channels; // "name#channel" -> samples
    for (auto &f : p.feeds) {
        if (f.signal.kind != SignalDef::Kind::Input)
            continue;
        const InputDecl *in = p.input(f.signal.input);
        const AudioData &d = files.at(in->path);
        if (f.signal.channel > d.channels)
            fail_at(p, f.line, "expected a channel from 1 to " + std::to_string(d.channels) + " of " + in->path +
                                   ", got " + std::to_string(f.signal.channel));
        std::string key = in->name + "#" + std::to_string(f.signal.channel);
        const bool first_use = !input_channels.count(key);
        if (first_use)
            input_channels.emplace(key, d.channel(f.signal.channel));
        if (first_use && d.sample_rate != static_cast<int>(sr))
            notes.push_back(in->path + ": recorded at " + std::to_string(d.sample_rate) +
                            " Hz, played sample for sample at " + std::to_string(static_cast<int>(sr)) + " Hz");
    }

    // Every buffer from a file holds a copy of one channel of it.
    for (auto &b : p.buffers)
        if (b.source.from_file)
            charge(files.at(b.source.path).frames, b.line);
    for (auto &e : p.events)
        if ((e.kind == Event::Kind::BufferCreate || e.kind == Event::Kind::BufferReplace) && e.source.from_file)
            charge(files.at(e.source.path).frames, e.line);

    std::vector<std::vector<float>> buffer_data;
    for (auto &b : p.buffers)
        buffer_data.push_back(buffer_samples(b.source, files, p, b.line));
    std::vector<std::vector<float>> event_data(p.events.size());
    for (size_t i = 0; i < p.events.size(); ++i) {
        auto &e = p.events[i];
        if (e.kind == Event::Kind::BufferCreate || e.kind == Event::Kind::BufferReplace)
            event_data[i] = buffer_samples(e.source, files, p, e.line);
    }
    files.clear();

    // ---- the host, buffers and boxes -----------------------------------------------------------
    grainhost::HostOptions hopt;
    hopt.search_path = opt.search_path;
    grainhost::Host h(hopt);
    ConsoleView view(sink, opt.quiet);
    for (auto &n : notes)
        if (!opt.quiet)
            *sink.status << "grainhost: note: " << n << '\n';

    // Classes that read the sample rate when a box is created (the ring length of carvell~ in ms)
    // must see the patch's rate: start an empty chain at that rate before creating any box.
    h.dsp_start(static_cast<float>(sr), vs);
    h.dsp_stop();

    for (size_t i = 0; i < p.buffers.size(); ++i)
        h.buffer_create(p.buffers[i].name, buffer_data[i], 1);

    std::map<std::string, grainhost::BoxId> ids;
    std::vector<grainhost::BoxId> all_boxes;
    for (auto &b : p.boxes) {
        auto id = h.create(b.class_name, b.args);
        if (id)
            view.name_box(*id, b.id);
        view.drain(h, all_boxes, b.id);
        if (!id) {
            std::string args;
            for (auto &a : b.args)
                args += " " + a.str();
            fail_at(p, b.line, "could not create " + b.class_name + args + " (box '" + b.id + "')");
        }
        ids[b.id] = *id;
        all_boxes.push_back(*id);
    }
    auto box_of = [&](const std::string &id) { return ids.at(id); };
    auto inlets_of = [&](grainhost::BoxId id) { return std::max(1, h.signal_inlets(id)); };

    // ---- signals, connections, routes ----------------------------------------------------------
    std::map<std::pair<grainhost::BoxId, int>, Feed> feeds;
    for (auto &f : p.feeds) {
        auto id = box_of(f.box);
        int n = h.signal_inlets(id);
        if (f.inlet > n)
            fail_at(p, f.line, "expected a signal inlet from 1 to " + std::to_string(n) + " of " +
                                   describe(*p.box(f.box)) + ", got " + std::to_string(f.inlet));
        auto &feed = feeds[{id, f.inlet}];
        feed.box = id;
        feed.inlet = f.inlet;
        const std::vector<float> *data = nullptr;
        if (f.signal.kind == SignalDef::Kind::Input)
            data = &input_channels.at(f.signal.input + "#" + std::to_string(f.signal.channel));
        feed.generators.push_back(make_generator(f.signal, sr, data));
    }
    for (auto &c : p.connects) {
        auto src = box_of(c.src), dst = box_of(c.dst);
        int outs = h.signal_outlets(src), ins = h.signal_inlets(dst);
        if (c.outlet > outs)
            fail_at(p, c.line, "expected a signal outlet from 1 to " + std::to_string(outs) + " of " +
                                   describe(*p.box(c.src)) + ", got " + std::to_string(c.outlet));
        if (c.inlet > ins)
            fail_at(p, c.line, "expected a signal inlet from 1 to " + std::to_string(ins) + " of " +
                                   describe(*p.box(c.dst)) + ", got " + std::to_string(c.inlet));
        if (!h.connect(src, c.outlet, dst, c.inlet))
            fail_at(p, c.line, "expected a connection that closes no cycle: box '" + c.dst +
                                   "' already feeds box '" + c.src + "'");
    }

    std::vector<Route> routes;
    int channels = p.channels.value_or(0);
    if (p.outputs.empty()) {
        if (p.boxes.empty())
            throw PatchError(p.file + ": expected at least one box to render");
        auto id = all_boxes.back();
        for (int k = 1; k <= h.signal_outlets(id); ++k)
            routes.push_back({k - 1, id, k, 1.0f});
        if (routes.empty())
            fail_at(p, p.boxes.back().line, "expected a box with signal outlets as the last box, or an `output` statement");
        if (!p.channels)
            channels = static_cast<int>(routes.size());
        routes.erase(std::remove_if(routes.begin(), routes.end(), [&](const Route &r) { return r.channel >= channels; }),
                     routes.end());
    } else {
        int highest = 0;
        for (auto &o : p.outputs) {
            auto id = box_of(o.box);
            int outs = h.signal_outlets(id);
            if (o.channel == 0) {
                if (outs < 1)
                    fail_at(p, o.line, "expected a box with signal outlets, got " + describe(*p.box(o.box)));
                for (int k = 1; k <= outs; ++k)
                    routes.push_back({k - 1, id, k, static_cast<float>(o.gain)});
                highest = std::max(highest, outs);
            } else {
                if (o.outlet > outs)
                    fail_at(p, o.line, "expected a signal outlet from 1 to " + std::to_string(outs) + " of " +
                                           describe(*p.box(o.box)) + ", got " + std::to_string(o.outlet));
                routes.push_back({o.channel - 1, id, o.outlet, static_cast<float>(o.gain)});
                highest = std::max(highest, o.channel);
            }
            if (p.channels && highest > *p.channels)
                fail_at(p, o.line, "expected output channels from 1 to " + std::to_string(*p.channels) +
                                       " (the `channels` setting), got " + std::to_string(highest));
        }
        if (!p.channels)
            channels = highest;
    }

    for (auto &e : p.events) {
        if (e.kind != Event::Kind::Float && e.kind != Event::Kind::Bang)
            continue;
        int n = inlets_of(box_of(e.box));
        if (e.inlet > n)
            fail_at(p, e.line, "expected an inlet from 1 to " + std::to_string(n) + " of " + describe(*p.box(e.box)) +
                                   ", got " + std::to_string(e.inlet));
    }

    // Events in time order (file order among equal vectors); those past the end never happen.
    struct Due {
        int64_t vector;
        size_t index;
    };
    std::vector<Due> due;
    const int64_t vectors = (total + vs - 1) / vs;
    for (size_t i = 0; i < p.events.size(); ++i) {
        int64_t s = p.events[i].at.first_sample(sr);
        int64_t v = s / vs + (s % vs != 0 ? 1 : 0);
        if (v >= vectors) {
            if (!opt.quiet)
                *sink.status << "grainhost: note: " << p.file << ":" << p.events[i].line
                             << ": after the end of the render; not applied\n";
            continue;
        }
        due.push_back({v, i});
    }
    std::stable_sort(due.begin(), due.end(), [](const Due &a, const Due &b) { return a.vector < b.vector; });

    // ---- the chain -----------------------------------------------------------------------------
    for (auto &[key, feed] : feeds)
        h.feed(feed.box, feed.inlet);
    h.dsp_start(static_cast<float>(sr), vs);
    for (auto &[key, feed] : feeds)
        feed.vec = h.input(feed.box, feed.inlet);
    view.drain(h, all_boxes);

    check_output_size(opt.output, format, total, channels);
    AudioWriter writer(opt.output, channels, static_cast<int>(std::lround(sr)), format);
    RenderResult r;
    r.frames = total;
    r.channels = channels;
    r.sample_rate = sr;
    r.peak.assign(static_cast<size_t>(channels), 0.0);

    const int64_t block_frames = std::max<int64_t>(vs, 8192 / vs * vs);
    std::vector<float> block(static_cast<size_t>(block_frames) * static_cast<size_t>(channels));
    std::vector<float> mix(static_cast<size_t>(vs) * static_cast<size_t>(channels));
    int64_t in_block = 0, done = 0;
    size_t next_event = 0;
    Progress progress(sink.status, opt.progress && !opt.quiet, total, sr);
    view.set_progress(&progress);
    const auto start = Clock::now();

    auto apply = [&](size_t i) {
        const Event &e = p.events[i];
        switch (e.kind) {
        case Event::Kind::Send: h.send(box_of(e.box), e.selector, e.atoms); break;
        case Event::Kind::Float: h.send_float(box_of(e.box), e.inlet, e.value); break;
        case Event::Kind::Bang: h.send_bang(box_of(e.box), e.inlet); break;
        case Event::Kind::Disable: h.set_disabled(box_of(e.box), true); break;
        case Event::Kind::Enable: h.set_disabled(box_of(e.box), false); break;
        case Event::Kind::BufferCreate: h.buffer_create(e.buffer, event_data[i], 1); break;
        case Event::Kind::BufferReplace:
            if (!h.buffer_exists(e.buffer) && !opt.quiet)
                *sink.status << "grainhost: note: " << p.file << ":" << e.line << ": no buffer~ " << e.buffer
                             << " to replace; made a new one\n";
            h.buffer_replace(e.buffer, event_data[i], 1);
            break;
        case Event::Kind::BufferResize:
        case Event::Kind::BufferDelete:
            if (!h.buffer_exists(e.buffer)) {
                if (!opt.quiet)
                    *sink.status << "grainhost: note: " << p.file << ":" << e.line << ": no buffer~ " << e.buffer
                             << "; nothing to " << (e.kind == Event::Kind::BufferResize ? "resize" : "delete") << '\n';
                break;
            }
            if (e.kind == Event::Kind::BufferResize)
                h.buffer_resize(e.buffer, e.frames);
            else
                h.buffer_delete(e.buffer);
            break;
        }
    };

    for (int64_t v = 0; v < vectors; ++v) {
        if (opt.stop && *opt.stop) {
            progress.clear();
            throw PatchError("grainhost: interrupted; " + opt.output + " not written");
        }
        while (next_event < due.size() && due[next_event].vector == v)
            apply(due[next_event++].index);
        for (auto &[key, feed] : feeds) {
            std::fill(feed.vec, feed.vec + vs, 0.0f);
            for (auto &g : feed.generators)
                g->add_to(feed.vec, vs);
        }
        h.run_vector();
        view.drain(h, all_boxes);

        std::fill(mix.begin(), mix.end(), 0.0f);
        for (auto &rt : routes) {
            const float *out = h.output(rt.box, rt.outlet);
            float *m = mix.data() + rt.channel;
            for (int i = 0; i < vs; ++i)
                m[static_cast<size_t>(i) * static_cast<size_t>(channels)] += rt.gain * out[i];
        }
        const int64_t take = std::min<int64_t>(vs, total - done);
        float *dst = block.data() + in_block * channels;
        // Counting and peak without branches on the sample values: loud material crosses 1.0
        // at random, which a branch would mispredict half the time.
        for (int64_t i = 0; i < take; ++i) {
            for (int c = 0; c < channels; ++c) {
                float x = mix[static_cast<size_t>(i * channels + c)];
                if (!std::isfinite(x)) {
                    ++r.nonfinite;
                    x = 0.0f;
                }
                const double a = std::fabs(static_cast<double>(x));
                r.clipped += a > 1.0 ? 1 : 0;
                double &peak = r.peak[static_cast<size_t>(c)];
                peak = std::max(peak, a);
                *dst++ = x;
            }
        }
        in_block += take;
        done += take;
        if (in_block + vs > block_frames || done == total) {
            writer.write(block.data(), in_block);
            in_block = 0;
        }
        progress.update(done);
    }
    progress.clear();
    view.set_progress(nullptr);
    if (h.lists_dropped() > 0 && !opt.quiet)
        *sink.status << "grainhost: note: " << h.lists_dropped()
                     << " information lists were lost (more than the host captures in one vector)\n";
    h.dsp_stop();
    writer.commit();
    r.wall_seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return r;
}

std::string summary_line(const RenderResult &r) {
    std::ostringstream s;
    double secs = static_cast<double>(r.frames) / r.sample_rate;
    s << std::fixed << std::setprecision(3) << secs << " s (" << r.frames << " frames), " << r.channels
      << " ch, " << std::setprecision(0) << r.sample_rate << " Hz; peak";
    for (size_t c = 0; c < r.peak.size(); ++c)
        s << (c ? " / " : " ") << db_text(r.peak[c]);
    s << " dBFS";
    if (r.clipped)
        s << "; " << r.clipped << " clipped samples";
    if (r.nonfinite)
        s << "; " << r.nonfinite << " non-finite samples written as 0";
    double speed = r.wall_seconds > 0.0 ? secs / r.wall_seconds : 0.0;
    s << "; " << std::setprecision(1) << speed << "x real time";
    return s.str();
}

} // namespace ghtool
