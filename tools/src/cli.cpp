// cli.cpp: option parsing, the built-in demo, and the top of the program: read the patch, render,
// print the summary, map faults to an exit status.
#include "cli.hpp"

#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "audio_file.hpp"

#ifndef GRAINHOST_VERSION
#error "GRAINHOST_VERSION comes from the build (the project version)"
#endif

namespace ghtool {

const char *const demo_patch = R"(# grainhost built-in demo: a cloud of sine grains, granulated again live.
samplerate 44100
duration 6s

buffer env hann 1024

# brindel~: sine grains at 25 per second, random pitch, place and length.
box cloud brindel~ env 2
signal cloud 1 impulse 25
signal cloud 2 noise 220 1320 seed 11
float cloud 4 0.25
signal cloud 5 noise 40 160 seed 12
signal cloud 6 noise 0 1 seed 13

# carvell~: granulates the cloud with a 2 s memory, grains reading up to a second back,
# transposed by up to an octave either way.
box echo carvell~ env 2 2000.0
connect cloud 1 echo 1
signal echo 2 impulse 18
signal echo 3 noise 50 1000 seed 21
signal echo 4 noise 0.5 2 seed 22
signal echo 5 const 0.35
signal echo 6 noise 60 240 seed 23
signal echo 7 noise 0 1 seed 24

# Both for three seconds; the echo's memory freezes at 2.5 s and it goes on alone from 3 s,
# granulating what it holds. The cloud's grains from 3 s on have amplitude 0, so the ones still
# sounding end with their envelopes rather than being cut.
output 1 cloud 1 gain 0.7
output 2 cloud 2 gain 0.7
output 1 echo 1
output 2 echo 2
at 2500ms send echo freeze 1
at 3s float cloud 4 0
)";

std::string help_text() {
    return "usage: grainhost render [PATCH] [options]\n"
           "       grainhost --help | --version\n"
           "\n"
           "Renders PATCH (a grainhost patch file) offline to an audio file; with no PATCH, renders\n"
           "the built-in demo to grainhost-demo.wav.\n"
           "\n"
           "options:\n"
           "  -o, --output FILE     output file; .wav, .flac or .aiff (default: PATCH's name, .wav)\n"
           "  -b, --bits N          16, 24 or 32 (32-bit float); default 32 (FLAC: 24)\n"
           "  -d, --duration TIME   render this long: 4s, 250ms or 44100smp\n"
           "  -r, --rate HZ         sample rate (replaces the patch's samplerate)\n"
           "      --vector N        vector size in samples (replaces the patch's vectorsize)\n"
           "  -i, --input NAME=FILE play FILE through the patch's input NAME; --input FILE\n"
           "                        replaces a patch's only input\n"
           "      --log FILE        write the boxes' console lines and lists to FILE\n"
           "  -q, --quiet           show only errors\n"
           "      --path DIR        look for externals (<class>.so) in DIR first (repeatable)\n"
           "  -h, --help            this text\n"
           "      --version         the version\n"
           "\n"
           "Exit status: 0 on success, 1 when the render fails, 2 for a wrong command line.\n";
}

namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void on_interrupt(int) { interrupted = 1; }

[[noreturn]] void usage_error(const std::string &what) { throw PatchError("grainhost: " + what); }

std::string default_output(const std::string &patch) {
    if (patch.empty())
        return "grainhost-demo.wav";
    auto slash = patch.rfind('/');
    std::string base = slash == std::string::npos ? patch : patch.substr(slash + 1);
    auto dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0)
        base = base.substr(0, dot);
    return base + ".wav";
}

} // namespace

Command parse_command_line(const std::vector<std::string> &args) {
    Command c;
    if (args.empty())
        return c;
    size_t i = 0;
    if (args[0] == "--help" || args[0] == "-h")
        return c;
    if (args[0] == "--version") {
        c.what = Command::What::Version;
        return c;
    }
    if (args[0] != "render")
        usage_error("expected 'render', --help or --version, got '" + args[0] + "'");
    c.what = Command::What::Render;
    ++i;
    bool have_patch = false;
    while (i < args.size()) {
        std::string a = args[i++];
        std::string inline_value;
        bool has_inline = false;
        if (a.rfind("--", 0) == 0) {
            auto eq = a.find('=');
            if (eq != std::string::npos) {
                inline_value = a.substr(eq + 1);
                a = a.substr(0, eq);
                has_inline = true;
            }
        }
        auto value = [&](const std::string &what) -> std::string {
            if (has_inline)
                return inline_value;
            if (i >= args.size())
                usage_error("expected " + what + " after " + a);
            return args[i++];
        };
        auto number = [&](const std::string &what, double lo, double hi) {
            std::string v = value(what);
            char *end = nullptr;
            double d = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(d >= lo && d <= hi))
                usage_error("expected " + what + " after " + a + ", got '" + v + "'");
            return d;
        };
        if (a == "-h" || a == "--help") {
            c.what = Command::What::Help;
            return c;
        } else if (a == "--version") {
            c.what = Command::What::Version;
            return c;
        } else if (a == "-o" || a == "--output") {
            c.options.output = value("an output file");
            c.output_given = true;
            if (c.options.output.empty())
                usage_error("expected an output file after " + a);
        } else if (a == "-b" || a == "--bits") {
            double b = number("16, 24 or 32", 16, 32);
            if (b != 16 && b != 24 && b != 32)
                usage_error("expected 16, 24 or 32 after " + a);
            c.options.bits = static_cast<int>(b);
        } else if (a == "-d" || a == "--duration") {
            std::string v = value("a duration");
            auto t = parse_time(v);
            if (!t)
                usage_error("expected a duration such as 4s, 250ms or 44100smp after " + a + ", got '" + v + "'");
            c.options.duration = *t;
        } else if (a == "-r" || a == "--rate") {
            double hz = number("a sample rate in Hz (a whole number from 1000 to 768000)", 1000, 768000);
            if (hz != std::floor(hz))
                usage_error("expected a sample rate in Hz (a whole number from 1000 to 768000) after " + a);
            c.options.sample_rate = hz;
        } else if (a == "--vector") {
            double n = number("a vector size from 1 to 8192", 1, 8192);
            if (n != static_cast<int>(n))
                usage_error("expected a whole vector size after " + a);
            c.options.vector_size = static_cast<int>(n);
        } else if (a == "-i" || a == "--input") {
            std::string v = value("NAME=FILE or FILE");
            auto eq = v.find('=');
            if (eq == std::string::npos)
                c.options.inputs.emplace_back("", v);
            else if (eq == 0 || eq + 1 == v.size())
                usage_error("expected NAME=FILE after " + a + ", got '" + v + "'");
            else
                c.options.inputs.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        } else if (a == "--log") {
            c.log_path = value("a log file");
        } else if (a == "-q" || a == "--quiet") {
            c.options.quiet = true;
        } else if (a == "--path") {
            c.options.search_path.push_back(value("a folder"));
        } else if (a.size() > 1 && a[0] == '-') {
            usage_error("unknown option '" + a + "' (see grainhost --help)");
        } else if (!have_patch) {
            c.patch = a;
            have_patch = true;
        } else {
            usage_error("expected one patch file, got '" + c.patch + "' and '" + a + "'");
        }
    }
    if (!c.options.search_path.empty()) {
        // The host then searches the given folders only: keep its usual ones after them.
        if (const char *env = std::getenv("GRAINHOST_PATH")) {
            std::string list = env;
            size_t from = 0;
            while (from <= list.size()) {
                size_t colon = list.find(':', from);
                if (colon == std::string::npos)
                    colon = list.size();
                if (colon > from)
                    c.options.search_path.push_back(list.substr(from, colon - from));
                from = colon + 1;
            }
        }
        c.options.search_path.push_back(GRAINHOST_EXTERNALS_DIR);
    }
    if (c.options.output.empty())
        c.options.output = default_output(c.patch);
    return c;
}

int run(const std::vector<std::string> &args) {
    Command c;
    try {
        c = parse_command_line(args);
    } catch (const PatchError &e) {
        std::cerr << e.what() << '\n';
        return 2;
    }
    if (c.what == Command::What::Help) {
        std::cout << help_text();
        return 0;
    }
    if (c.what == Command::What::Version) {
        std::cout << "grainhost " << GRAINHOST_VERSION << '\n';
        return 0;
    }
    try {
        Patch patch = c.patch.empty() ? parse_patch(demo_patch, "(demo)", "") : read_patch(c.patch);
        std::ofstream log;
        ConsoleSink sink{&std::cerr, &std::cerr, true};
        if (!c.log_path.empty()) {
            log.open(c.log_path, std::ios::trunc);
            if (!log)
                throw PatchError(c.log_path + ": cannot write the log");
            sink.lines = &log;
            sink.lines_is_status = false;
        }
        c.options.progress = isatty(2) != 0;
        // Ctrl-C or a kill ends the render between two vectors, so that the temporary file is
        // removed and nothing is left under the output name.
        std::signal(SIGINT, on_interrupt);
        std::signal(SIGTERM, on_interrupt);
        c.options.stop = &interrupted;
        RenderResult r = render(patch, c.options, sink);
        if (!c.options.quiet) {
            std::cerr << "grainhost: wrote " << c.options.output << ": " << summary_line(r) << '\n';
        }
        if (log.is_open()) {
            log << "grainhost: wrote " << c.options.output << ": " << summary_line(r) << '\n';
            log.flush();
            if (!log)
                std::cerr << "grainhost: " << c.log_path << ": cannot write the log\n";
        }
        if (c.patch.empty() && c.options.quiet)
            std::cerr << "grainhost: wrote the demo to " << c.options.output << '\n';
        return 0;
    } catch (const PatchError &e) {
        std::cerr << e.what() << '\n';
    } catch (const AudioError &e) {
        std::cerr << e.what() << '\n';
    } catch (const std::bad_alloc &) {
        std::cerr << "grainhost: out of memory\n";
    } catch (const std::exception &e) {
        std::cerr << "grainhost: " << e.what() << '\n';
    }
    return 1;
}

} // namespace ghtool
