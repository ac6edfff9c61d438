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
