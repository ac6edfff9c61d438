// Whole renders through the built grainhost program: the examples and the demo, faults that need
// the host (inlets, cycles, creation, files), the no-partial-file promise, reproducibility, chain
// order, and events landing on vector boundaries. Short durations keep the suite fast.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/stat.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "audio_file.hpp"

namespace fs = std::filesystem;
using ghtool::AudioData;
using ghtool::read_audio;

namespace {

struct Outcome {
    int status = -1;
    std::string err;
};

// A fresh folder per test, removed afterwards.
class RenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/grainhost-render-test-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string &name) const { return (dir_ / name).string(); }

    std::string write(const std::string &name, const std::string &text) const {
        std::ofstream(path(name)) << text;
        return path(name);
    }

    // Runs grainhost with the words given (quoted for the shell), in the test's folder.
    Outcome grainhost(const std::string &args) const {
        std::string err = path("stderr.txt");
        std::string cmd = "cd '" + dir_.string() + "' && '" GRAINHOST_BIN "' " + args + " 2>'" + err + "'";
        int rc = std::system(cmd.c_str());
        Outcome r;
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        std::ifstream in(err);
        std::stringstream s;
        s << in.rdbuf();
        r.err = s.str();
        return r;
    }

    // Files in the test folder other than the ones the test made on purpose.
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        for (auto &e : fs::directory_iterator(dir_))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir_;
};

double peak(const AudioData &d) {
    double p = 0.0;
    for (float x : d.samples)
        p = std::max(p, static_cast<double>(std::fabs(x)));
    return p;
}

bool all_finite(const AudioData &d) {
    for (float x : d.samples)
        if (!std::isfinite(x))
            return false;
    return true;
}

double channel_peak(const AudioData &d, int ch) {
    double p = 0.0;
    for (float x : d.channel(ch))
        p = std::max(p, static_cast<double>(std::fabs(x)));
    return p;
}

int64_t first_nonzero(const std::vector<float> &v) {
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i] != 0.0f)
            return static_cast<int64_t>(i);
    return -1;
}

} // namespace

// ---- examples and demo -------------------------------------------------------------------------

TEST_F(RenderTest, EveryExampleRendersShortAndSounds) {
    struct Case {
        const char *patch;
        int channels;
        int rate;
        int tenths; // of a second: the ring needs four seconds to take its grains round every output
    } cases[] = {
        {"sine_cloud.ghp", 2, 44100, 6},       {"ring8.ghp", 8, 48000, 40},
        {"live_granulation.ghp", 2, 44100, 6}, {"freeze.ghp", 2, 44100, 6},
        {"envelopes.ghp", 2, 44100, 6},        {"sounds/make_bells.ghp", 1, 44100, 6},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.patch);
        Outcome r = grainhost(std::string("render '" EXAMPLES_DIR "/") + c.patch + "' -o out.wav -q -d " +
                              std::to_string(c.tenths * 100) + "ms");
        ASSERT_EQ(r.status, 0) << r.err;
        AudioData d = read_audio(path("out.wav"));
        EXPECT_EQ(d.channels, c.channels);
        EXPECT_EQ(d.sample_rate, c.rate);
        EXPECT_EQ(d.frames, static_cast<int64_t>(c.rate) * c.tenths / 10);
        EXPECT_TRUE(all_finite(d));
        for (int ch = 1; ch <= d.channels; ++ch)
            EXPECT_GT(channel_peak(d, ch), 1e-3) << "channel " << ch;
        EXPECT_LT(peak(d), 1.0);
    }
}

TEST_F(RenderTest, LiveGranulationTakesAnotherInputFromTheCommandLine) {
    // A 440 Hz sine of our own as the replacement input; the result differs from the shipped one.
    {
        std::vector<float> tone(22050);
        for (size_t i = 0; i < tone.size(); ++i)
            tone[i] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * static_cast<double>(i) / 44100.0));
        ghtool::AudioWriter w(path("tone.wav"), 1, 44100, ghtool::output_format(path("tone.wav"), 16));
        w.write(tone.data(), static_cast<int64_t>(tone.size()));
        w.commit();
    }
    const std::string patch = "'" EXAMPLES_DIR "/live_granulation.ghp' -d 1s -q ";
    ASSERT_EQ(grainhost("render " + patch + "-o a.wav").status, 0);
    Outcome r = grainhost("render " + patch + "-o b.wav --input voice=tone.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    Outcome single = grainhost("render " + patch + "-o c.wav --input tone.wav"); // the only input
    ASSERT_EQ(single.status, 0) << single.err;
    AudioData a = read_audio(path("a.wav")), b = read_audio(path("b.wav")), c = read_audio(path("c.wav"));
    EXPECT_GT(peak(b), 1e-3);
    EXPECT_NE(a.samples, b.samples);
    EXPECT_EQ(b.samples, c.samples);

    Outcome wrong = grainhost("render " + patch + "-o d.wav --input nobody=tone.wav");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.err.find("--input nobody=tone.wav: expected the name of an input of"), std::string::npos)
        << wrong.err;
    Outcome missing = grainhost("render " + patch + "-o d.wav --input voice=absent.wav");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("absent.wav: cannot read:"), std::string::npos) << missing.err;
    EXPECT_FALSE(fs::exists(path("d.wav")));
}

TEST_F(RenderTest, BuiltInDemoRendersAndSaysWhere) {
    Outcome r = grainhost("render -d 1s");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("wrote grainhost-demo.wav"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("dBFS"), std::string::npos) << r.err;
    AudioData d = read_audio(path("grainhost-demo.wav"));
    EXPECT_EQ(d.channels, 2);
    EXPECT_EQ(d.frames, 44100);
    EXPECT_TRUE(all_finite(d));
    EXPECT_GT(channel_peak(d, 1), 1e-3);
    EXPECT_GT(channel_peak(d, 2), 1e-3);
}

TEST_F(RenderTest, HelpAndVersion) {
    Outcome v = grainhost("--version >version.txt");
    EXPECT_EQ(v.status, 0);
    std::ifstream in(path("version.txt"));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "grainhost 2.0.0");
    EXPECT_EQ(grainhost("--help >/dev/null").status, 0);
    EXPECT_EQ(grainhost("render --bogus").status, 2);
}

// ---- faults: nothing is written ------------------------------------------------------------------

TEST_F(RenderTest, PatchFaultsFoundWithTheHostNameLineAndWriteNothing) {
    struct Case {
        const char *text;
        const char *message;
    } cases[] = {
        {"buffer env hann 64\nbox a brindel~ env 2\nsignal a 9 const 1\n",
         "p.ghp:3: expected a signal inlet from 1 to 7 of box 'a' (brindel~), got 9"},
        {"box a brindel~ env 2\noutput 1 a 3\n",
         "p.ghp:2: expected a signal outlet from 1 to 2 of box 'a' (brindel~), got 3"},
        {"box a carvell~ env 2\nbox b carvell~ env 2\nconnect a 1 b 1\nconnect b 2 a 1\n",
         "p.ghp:4: expected a connection that closes no cycle: box 'a' already feeds box 'b'"},
        {"box a brindel~ env 2\nbox b carvell~ env 2\nconnect b 3 a 1\n",
         "p.ghp:3: expected a signal outlet from 1 to 2 of box 'b' (carvell~), got 3"},
        {"box a brindel~ env 2\nat 1s float a 9 2.0\n",
         "p.ghp:2: expected an inlet from 1 to 7 of box 'a' (brindel~), got 9"},
        {"box a brindel~ env 2\nchannels 1\noutput 2 a 1\n",
         "p.ghp:3: expected output channels from 1 to 1 (the `channels` setting), got 2"},
        // A box whose creation fails: its own console line, then the place in the patch.
        {"box a brindel~\n", "p.ghp:1: could not create brindel~ (box 'a')"},
        {"box a carvell~ env\n", "p.ghp:1: could not create carvell~ env (box 'a')"},
        {"box a nosuchclass~ 1\n", "p.ghp:1: could not create nosuchclass~ 1 (box 'a')"},
        {"input v missing.wav\nbox a carvell~ env 2\nsignal a 1 input v\n", "missing.wav: cannot read:"},
        {"buffer e file notaudio.txt\nbox a brindel~ e 2\n", "notaudio.txt: cannot read:"},
        {"box a brindel~ env 2\nsignal a 1 wobble 3\n",
         "p.ghp:2: expected a signal (const, sine, phasor, impulse, noise, input), got 'wobble'"},
        {"samplerate 44100\nbox a brindel~ env 2\nbox a brindel~ env 2\n",
         "p.ghp:3: expected a new box id; 'a' is declared at line 2"},
    };
    write("notaudio.txt", "this is not a sound\n");
    for (auto &c : cases) {
        SCOPED_TRACE(c.text);
        write("p.ghp", c.text);
        Outcome r = grainhost("render p.ghp -o out.wav");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(listing(), (std::vector<std::string>{"notaudio.txt", "p.ghp", "stderr.txt"}));
    }
}

// Malformed patch files through the program: each gives exactly one line on standard error that
// names the file and, where the fault sits on one, the line; exit status 1; and nothing under the
// output name (a file already there keeps its contents).
TEST_F(RenderTest, MalformedPatchFilesGiveOneLineAndNoOutput) {
    using namespace std::string_literals; // "\0"s keeps NUL bytes
    std::string random_bytes = "\x80"; // not text from the first byte on
    for (uint32_t x = 12345, i = 0; i < 4096; ++i) {
        x = x * 1664525u + 1013904223u;
        random_bytes += static_cast<char>(x >> 24);
    }
    std::string big_buffers;
    for (int i = 1; i <= 17; ++i)
        big_buffers += "buffer b" + std::to_string(i) + " rectangle 16777216\n";
    // Seventeen small buffers, each resized to the largest frame count: the sixteenth resize is one
    // too many (a resize of the same buffer again would count once).
    std::string small_buffers, resizes;
    for (int i = 1; i <= 17; ++i) {
        small_buffers += "buffer b" + std::to_string(i) + " hann 64\n";
        resizes += "at 1s resize b" + std::to_string(i) + " 16777216\n";
    }
    const std::string sat = " (a long from -2147483648 to 2147483647, or a float within +-3.4e38)";
    const std::string text = "expected text (UTF-8 without control characters), got byte ";
    struct Case {
        const char *what;
        std::string patch;      // contents of p.ghp
        std::string message;    // the whole line, or its start when `prefix`
        bool prefix = false;
        std::string args = "render p.ghp -o out.wav -q";
    } cases[] = {
        // truncated
        {"cut mid-line at the end, no newline", "buffer env hann 64\nbox a brindel~ env 2\nsignal a 1 impul",
         "p.ghp:3: expected a signal (const, sine, phasor, impulse, noise, input), got 'impul'"},
        {"cut mid-statement", "buffer env hann\nbox a brindel~ env 2\n",
         "p.ghp:1: expected a frame count from 1 to 16777216, got end of line"},
        {"cut inside a quoted path", "input v \"sounds/ta", "p.ghp:1: expected a closing '\"'"},
        {"cut inside a UTF-8 sequence", "box a brindel~ env 2\n# caf\xc3", "p.ghp:2: " + text + "0xc3 at column 6"},
        // binary garbage
        {"NUL byte in a name", "box a brindel~ en\0v 2\n"s, "p.ghp:1: " + text + "0x00 at column 18"},
        {"NUL byte in a keyword", "box a brindel~ env 2\nsig\0nal a 1 impulse 10\n"s, "p.ghp:2: " + text + "0x00 at column 4"},
        {"invalid UTF-8", "box a brindel~ env 2\nsend a \xff\xfe\n", "p.ghp:2: " + text + "0xff at column 8"},
        {"overlong UTF-8", "input v \xc0\xaf.wav\n", "p.ghp:1: " + text + "0xc0 at column 9"},
        {"terminal escape sequence", "box a brindel~ env 2\nsend a \x1b[31mred\n", "p.ghp:2: " + text + "0x1b at column 8"},
        {"random bytes", random_bytes, "p.ghp:1: " + text + "0x80 at column 1"},
        // enormous numbers
        {"duration beyond a day", "duration 99999999999999999999s\n",
         "p.ghp:1: expected a duration such as 4s, 250ms or 44100smp, got '99999999999999999999s'"},
        {"duration 1e400", "duration 1e400s\n", "p.ghp:1: expected a duration such as 4s, 250ms or 44100smp, got '1e400s'"},
        {"duration in samples beyond a day at the rate", "duration 9999999999smp\nbox a brindel~ env 2\n",
         "p.ghp:1: expected a duration of at most a day (3810240000 samples at 44100 Hz), got 9999999999 samples"},
        {"duration beyond what a WAV file holds", "duration 86400s\nbox a brindel~ env 2\n",
         "out.wav: expected at most 4 GiB of samples in a WAV file, got 28.4 GiB (a shorter duration, fewer "
         "channels or bits, or a .flac name)"},
        {"frame count", "buffer e hann 99999999999\n", "p.ghp:1: expected a frame count from 1 to 16777216, got '99999999999'"},
        {"frame counts adding up beyond memory", big_buffers + "box a brindel~ b1 1\n",
         "p.ghp:17: expected at most 268435456 samples of buffers and input files in all (1 GiB), got 285212672 up to "
         "this line"},
        {"resizes adding up beyond memory", small_buffers + "box a brindel~ b1 1\n" + resizes,
         "p.ghp:34: expected at most 268435456 samples of buffers and input files in all (1 GiB), got 268436544 up to "
         "this line"},
        {"sample rate", "samplerate 99999999999999999999\n",
         "p.ghp:1: expected a sample rate in Hz (a whole number from 1000 to 768000), got '99999999999999999999'"},
        {"sample rate 1e400", "samplerate 1e400\n",
         "p.ghp:1: expected a sample rate in Hz (a whole number from 1000 to 768000), got '1e400'"},
        {"vector size", "vectorsize 99999999999999999999\n",
         "p.ghp:1: expected a vector size from 1 to 8192, got '99999999999999999999'"},
        {"message atom 1e400", "box a brindel~ env 2\nsend a grain 1e400 440.0 0.0 0.5 100.0 0.0 1.0 0\n",
         "p.ghp:2: expected an argument within range" + sat + ", got '1e400'"},
        {"creation atom beyond a long", "box a brindel~ 99999999999999999999 env\n",
         "p.ghp:1: expected an argument within range" + sat + ", got '99999999999999999999'"},
        {"float 1e400", "box a brindel~ env 2\nfloat a 2 1e400\n", "p.ghp:2: expected a number, got '1e400'"},
        // unknown statements
        {"unknown statement", "buffer env hann 64\nfrobnicate 3\n",
         "p.ghp:2: expected a statement (samplerate, vectorsize, duration, channels, input, buffer, box, signal, "
         "connect, output, at, send, float, bang, disable, enable, replace, resize, delete), got 'frobnicate'"},
        {"unknown event", "box a brindel~ env 2\nat 1s explode a\n",
         "p.ghp:2: expected an event (send, float, bang, disable, enable, buffer, replace, resize, delete) after the "
         "time, got 'explode'"},
        // cycles
        {"cycle through three boxes",
         "box a carvell~ env 1\nbox b carvell~ env 1\nbox c carvell~ env 1\nconnect a 1 b 1\nconnect b 1 c 1\n"
         "connect c 1 a 1\n",
         "p.ghp:6: expected a connection that closes no cycle: box 'a' already feeds box 'c'"},
        // missing files
        {"missing input file", "input v missing.wav\nbox a carvell~ env 2\nsignal a 1 input v\n",
         "p.ghp:1: missing.wav: cannot read: ", true},
        {"missing buffer file in an event", "box a brindel~ env 2\nat 1s buffer e file nothere.wav\n",
         "p.ghp:2: nothere.wav: cannot read: ", true},
        {"buffer file that is not audio", "buffer e file p.ghp\nbox a brindel~ e 2\n", "p.ghp:1: p.ghp: cannot read: ",
         true},
        {"patch is a folder", "", "folder.ghp: cannot read: Is a directory", false, "render folder.ghp -o out.wav -q"},
        {"patch without end", "", "/dev/zero: cannot read: more than 16 MiB, too large for a patch file", false,
         "render /dev/zero -o out.wav -q"},
        // output
        {"output inside a file", "box a brindel~ env 2\n", "p.ghp/out.wav: cannot write: Not a directory", false,
         "render p.ghp -o p.ghp/out.wav -q"},
        {"output under /proc", "box a brindel~ env 2\n", "/proc/grainhost-test/out.wav: cannot write: No such file or directory",
         false, "render p.ghp -o /proc/grainhost-test/out.wav -q"},
    };
    fs::create_directory(path("folder.ghp"));
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::ofstream(path("p.ghp"), std::ios::binary).write(c.patch.data(), static_cast<std::streamsize>(c.patch.size()));
        write("out.wav", "old");
        Outcome r = grainhost(c.args);
        EXPECT_EQ(r.status, 1);
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.back(), '\n');
        const std::string line = r.err.substr(0, r.err.size() - 1);
        if (c.prefix)
            EXPECT_EQ(line.substr(0, c.message.size()), c.message);
        else
            EXPECT_EQ(line, c.message);
        std::ifstream in(path("out.wav"));
        std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(kept, "old");
        EXPECT_EQ(listing(), (std::vector<std::string>{"folder.ghp", "out.wav", "p.ghp", "stderr.txt"}));
    }
}

TEST_F(RenderTest, TextThatIsNotAFaultRenders) {
    // A last statement without a newline, a byte-order mark, CRLF line ends, UTF-8 in comments and
    // quoted paths, and the largest numbers that fit a long and a float as message atoms.
    struct Case {
        const char *what;
        std::string patch;
    } cases[] = {
        {"no newline at the end", "buffer env hann 64\nbox a brindel~ env 2\nsignal a 1 impulse 10"},
        {"byte-order mark and CRLF", "\xef\xbb\xbf" "buffer env hann 64\r\nbox a brindel~ env 2\r\n"},
        {"UTF-8 text", "# caf\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e\nbuffer env hann 64\nbox a brindel~ env 2\n"},
        {"atoms at the edges of their range",
         "buffer env hann 64\nbox a brindel~ env 2\nsend a nvoices 2147483647\nsend a nvoices -2147483648\n"
         "send a grain 0 3.4e38 0.0 0.5 100.0 0.0 1.0 0\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        write("p.ghp", c.patch);
        Outcome r = grainhost("render p.ghp -o out.wav -q -d 100ms");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(fs::exists(path("out.wav")));
        fs::remove(path("out.wav"));
    }
}

TEST_F(RenderTest, FailedCreationShowsTheBoxConsoleLine) {
    write("p.ghp", "box a brindel~\n");
    Outcome r = grainhost("render p.ghp -o out.wav");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Missing arg #1 Envelop Buffer Name #2 Outputs number (1-2-4-6-8)"), std::string::npos)
        << r.err;
}

TEST_F(RenderTest, UnwritableOutputGivesNonZeroAndNoFile) {
    write("p.ghp", "buffer env hann 64\nbox a brindel~ env 2\nsignal a 1 impulse 10\nduration 100ms\n");
    Outcome nodir = grainhost("render p.ghp -o no/such/dir/out.wav");
    EXPECT_EQ(nodir.status, 1);
    EXPECT_NE(nodir.err.find("no/such/dir/out.wav: cannot write:"), std::string::npos) << nodir.err;

    // The name is taken by a folder: the render runs, the final rename fails, and the temporary
    // file beside it is gone.
    fs::create_directory(path("taken.wav"));
    Outcome taken = grainhost("render p.ghp -o taken.wav");
    EXPECT_EQ(taken.status, 1);
    EXPECT_NE(taken.err.find("taken.wav: cannot write:"), std::string::npos) << taken.err;
    EXPECT_TRUE(fs::is_directory(path("taken.wav")));
    EXPECT_EQ(listing(), (std::vector<std::string>{"p.ghp", "stderr.txt", "taken.wav"}));

    Outcome badext = grainhost("render p.ghp -o out.mp3");
    EXPECT_EQ(badext.status, 1);
    EXPECT_NE(badext.err.find("out.mp3: expected an output name ending in .wav, .flac or .aiff"), std::string::npos);
    EXPECT_FALSE(fs::exists(path("out.mp3")));
}

// ---- behaviour -----------------------------------------------------------------------------------

TEST_F(RenderTest, SamePatchTwiceGivesIdenticalOutput) {
    const std::string patch = "'" EXAMPLES_DIR "/freeze.ghp' -d 2500ms -q ";
    ASSERT_EQ(grainhost("render " + patch + "-o a.wav").status, 0);
    ASSERT_EQ(grainhost("render " + patch + "-o b.wav").status, 0);
    AudioData a = read_audio(path("a.wav")), b = read_audio(path("b.wav"));
    EXPECT_GT(peak(a), 1e-3);
    EXPECT_EQ(a.samples, b.samples);
}

TEST_F(RenderTest, FloatFilesCarryNoTimeOfWriting) {
    // libsndfile's PEAK chunk holds a timestamp, so two renders a second apart differed.
    for (const char *out : {"a.wav", "b.aiff"}) {
        SCOPED_TRACE(out);
        ASSERT_EQ(grainhost(std::string("render -d 50ms -q -b 32 -o ") + out).status, 0);
        std::ifstream in(path(out), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(bytes.find("PEAK"), std::string::npos);
    }
}

TEST_F(RenderTest, ChainOrderDoesNotDependOnFileOrder) {
    // carvell~ granulates brindel~: declared before or after it, the host runs brindel~ first.
    const std::string source = "box src brindel~ env 1\n"
                               "signal src 1 impulse 40\nsignal src 2 noise 200 900 seed 3\n"
                               "signal src 5 const 30\n";
    const std::string gran = "box gran carvell~ env 1 1000.0\n"
                             "signal gran 2 impulse 50\nsignal gran 3 noise 0 30 seed 4\n"
                             "signal gran 6 const 20\n";
    const std::string rest = "connect src 1 gran 1\noutput 1 gran 1\nduration 500ms\nvectorsize 64\n"
                             "buffer env hann 256\n";
    write("a.ghp", source + gran + rest);
    write("b.ghp", gran + source + rest);
    ASSERT_EQ(grainhost("render a.ghp -o a.wav -q").status, 0);
    ASSERT_EQ(grainhost("render b.ghp -o b.wav -q").status, 0);
    AudioData a = read_audio(path("a.wav")), b = read_audio(path("b.wav"));
    EXPECT_GT(peak(a), 1e-3);
    EXPECT_EQ(a.samples, b.samples);
}

TEST_F(RenderTest, EventsLandOnTheVectorBoundaryAtOrAfterTheirTime) {
    // A grain of a flat envelope starting at phase 0.25 (a cosine) sounds from its first sample.
    struct Case {
        const char *at;
        int vector;
        int64_t first;
    } cases[] = {
        {"0s", 64, 0},           {"1000smp", 64, 1024}, {"1024smp", 64, 1024}, {"1000smp", 100, 1000},
        {"1001smp", 100, 1100},  {"10ms", 64, 448},     {"10ms", 1, 441},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(std::string(c.at) + " vector " + std::to_string(c.vector));
        write("p.ghp", "duration 3000smp\nbuffer env rectangle 64\nbox b brindel~ env 1\n"
                       "at " + std::string(c.at) + " send b grain 0 441.0 0.25 0.5 10.0 0.0 1.0 0\n");
        Outcome r = grainhost("render p.ghp -o out.wav -q --vector " + std::to_string(c.vector));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(first_nonzero(read_audio(path("out.wav")).channel(1)), c.first);
    }
}

TEST_F(RenderTest, DisableAndBufferEventsTakeEffectAtTheirVector) {
    // A continuous cloud, silenced by "disable" at 1000smp (vector 16 at 64), and its envelope
    // deleted at 2000smp after "enable" at 1500smp (so silence from 2048 on).
    write("p.ghp", "duration 4000smp\nbuffer env rectangle 64\nbox b brindel~ env 1\n"
                   "signal b 1 impulse 2000\nsignal b 5 const 2\nsignal b 3 const 0.25\n"
                   "at 1000smp disable b\nat 1500smp enable b\nat 2000smp delete env\n");
    Outcome r = grainhost("render p.ghp -o out.wav -q");
    ASSERT_EQ(r.status, 0) << r.err;
    auto v = read_audio(path("out.wav")).channel(1);
    auto quiet_between = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i)
            if (v[i] != 0.0f)
                return false;
        return true;
    };
    EXPECT_FALSE(quiet_between(960, 1024));
    EXPECT_TRUE(quiet_between(1024, 1536));
    EXPECT_FALSE(quiet_between(1536, 2048));
    EXPECT_TRUE(quiet_between(2048, v.size()));
}

TEST_F(RenderTest, ConsoleLinesAndListsShowTheBoxAndGoToTheLog) {
    write("p.ghp", "buffer env hann 64\nbox cloud brindel~ env 2\nsend cloud poll 1\nsend cloud tellme\n"
                   "at 64smp send cloud poll 0\nduration 256smp\n");
    Outcome r = grainhost("render p.ghp -o out.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("cloud: _______brindel~'s State_______"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("cloud: outlet 3: active_env 1"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("cloud: outlet 3: voices 0"), std::string::npos) << r.err;

    Outcome logged = grainhost("render p.ghp -o out.wav --log log.txt");
    ASSERT_EQ(logged.status, 0) << logged.err;
    EXPECT_EQ(logged.err.find("cloud:"), std::string::npos) << logged.err;
    EXPECT_NE(logged.err.find("grainhost: wrote out.wav"), std::string::npos) << logged.err;
    std::ifstream in(path("log.txt"));
    std::stringstream log;
    log << in.rdbuf();
    EXPECT_NE(log.str().find("cloud: outlet 3: voices 0"), std::string::npos) << log.str();

    Outcome quiet = grainhost("render p.ghp -o out.wav -q");
    ASSERT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
}

TEST_F(RenderTest, FormatsAndSampleFormats) {
    struct Case {
        const char *out;
        const char *bits;
        int format;
    } cases[] = {
        {"a.wav", "", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
        {"b.wav", "-b 16", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
        {"c.flac", "", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {"d.aiff", "-b 24", SF_FORMAT_AIFF | SF_FORMAT_PCM_24},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.out);
        Outcome r = grainhost(std::string("render -d 200ms -q -o ") + c.out + " " + c.bits);
        ASSERT_EQ(r.status, 0) << r.err;
        SF_INFO info{};
        SNDFILE *f = sf_open(path(c.out).c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr);
        sf_close(f);
        EXPECT_EQ(info.format, c.format);
        AudioData d = read_audio(path(c.out));
        EXPECT_EQ(d.frames, 8820);
        EXPECT_GT(peak(d), 1e-3);
    }
    EXPECT_EQ(grainhost("render -d 200ms -q -o e.flac -b 32").status, 1);
    EXPECT_FALSE(fs::exists(path("e.flac")));
}

TEST_F(RenderTest, UnreadablePatchNamesTheFileAndTheReason) {
    Outcome r = grainhost("render absent.ghp -o out.wav");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("absent.ghp: cannot read: No such file or directory"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(path("out.wav")));
}

TEST_F(RenderTest, InterruptedRenderLeavesNoFile) {
    // An hour of sound, stopped by SIGTERM as soon as its temporary file exists.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(dir_.c_str()) != 0)
            _exit(99);
        execl(GRAINHOST_BIN, GRAINHOST_BIN, "render", EXAMPLES_DIR "/sine_cloud.ghp", "-o", "long.wav", "-d",
              "3600s", "-q", static_cast<char *>(nullptr));
        _exit(98);
    }
    bool started = false;
    for (int i = 0; i < 2000 && !started; ++i) {
        for (auto &e : fs::directory_iterator(dir_))
            started = started || e.path().filename().string().rfind(".long.wav.partial-", 0) == 0;
        if (!started)
            usleep(5000);
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(started);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_TRUE(listing().empty()) << ::testing::PrintToString(listing());
}

TEST_F(RenderTest, FreezeExampleSoundsOnAfterItsSourceStops) {
    // The melody stops at 2.5 s; the frozen recording keeps the grains sounding until "freeze 0"
    // at 5 s lets the silent present in, and the last grains (at most 1.2 s behind) die away.
    Outcome r = grainhost("render '" EXAMPLES_DIR "/freeze.ghp' -o out.wav -q");
    ASSERT_EQ(r.status, 0) << r.err;
    AudioData d = read_audio(path("out.wav"));
    ASSERT_EQ(d.frames, 7 * 44100);
    for (int ch = 1; ch <= 2; ++ch) {
        auto v = d.channel(ch);
        auto window_peak = [&](double from, double to) {
            float p = 0.0f;
            for (auto i = static_cast<size_t>(from * 44100); i < static_cast<size_t>(to * 44100); ++i)
                p = std::max(p, std::fabs(v[i]));
            return p;
        };
        EXPECT_GT(window_peak(3.0, 5.0), 0.01f) << "channel " << ch;
        EXPECT_EQ(window_peak(6.5, 7.0), 0.0f) << "channel " << ch;
    }
}
