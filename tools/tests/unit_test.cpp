// Unit tests of the renderer's parts that need no host: the patch reader (every statement, and a
// table of faulty lines with the exact message), times, shapes, generators, output formats and the
// command line.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "audio_file.hpp"
#include "cli.hpp"
#include "patch.hpp"
#include "shapes.hpp"
#include "signals.hpp"

using namespace ghtool;
using grainhost::Atom;

namespace {

std::string parse_error(const std::string &text) {
    try {
        parse_patch(text, "p.ghp", "");
    } catch (const PatchError &e) {
        return e.what();
    }
    return "(no error)";
}

struct BadLine {
    const char *text;
    const char *message;
};

const BadLine bad_lines[] = {
    {"frobnicate 3", "p.ghp:1: expected a statement (samplerate, vectorsize, duration, channels, input, buffer, "
                     "box, signal, connect, output, at, send, float, bang, disable, enable, replace, resize, "
                     "delete), got 'frobnicate'"},
    {"samplerate fast", "p.ghp:1: expected a sample rate in Hz (a whole number from 1000 to 768000), got 'fast'"},
    {"samplerate 10", "p.ghp:1: expected a sample rate in Hz (a whole number from 1000 to 768000), got '10'"},
    {"samplerate 44100.5", "p.ghp:1: expected a sample rate in Hz (a whole number from 1000 to 768000), got '44100.5'"},
    {"samplerate 44100\n\nsamplerate 48000", "p.ghp:3: expected each setting once; this one was given before"},
    {"vectorsize 0", "p.ghp:1: expected a vector size from 1 to 8192, got '0'"},
    {"duration 4", "p.ghp:1: expected a duration such as 4s, 250ms or 44100smp, got '4'"},
    {"duration -1s", "p.ghp:1: expected a duration such as 4s, 250ms or 44100smp, got '-1s'"},
    {"channels 2 3", "p.ghp:1: expected end of line, got '3'"},
    {"buffer env hann", "p.ghp:1: expected a frame count from 1 to 16777216, got end of line"},
    {"buffer env hann 0", "p.ghp:1: expected a frame count from 1 to 16777216, got '0'"},
    {"buffer env blob 10", "p.ghp:1: expected a shape (hann, triangle, rectangle, rampup, rampdown, gaussian, "
                           "expdecay, tukey) or 'file', got 'blob'"},
    {"buffer env tukey 512 1.5", "p.ghp:1: expected a taper ratio from 0 to 1"},
    {"buffer env tukey 512", "p.ghp:1: expected a taper ratio from 0 to 1, got end of line"},
    {"box 1x brindel~ env 2", "p.ghp:1: expected a box id (a word starting with a letter), got '1x'"},
    {"box a brindel~ env 2\nbox a carvell~ env 2", "p.ghp:2: expected a new box id; 'a' is declared at line 1"},
    {"box a", "p.ghp:1: expected a class name such as brindel~, got end of line"},
    {"signal ghost 1 const 1", "p.ghp:1: expected a box declared above, got 'ghost'"},
    {"box a x~\nsignal a 0 const 1", "p.ghp:2: expected an inlet number from 1, got '0'"},
    {"box a x~\nsignal a 1 wobble 3", "p.ghp:2: expected a signal (const, sine, phasor, impulse, noise, input), "
                                      "got 'wobble'"},
    {"box a x~\nsignal a 1 noise 5 1", "p.ghp:2: expected a high bound not below the low bound"},
    {"box a x~\nsignal a 1 impulse 0", "p.ghp:2: expected a frequency above 0 Hz for an impulse train"},
    {"box a x~\nsignal a 1 sine 4 seed 3", "p.ghp:2: expected an option (gain, offset, phase) or end of line, "
                                           "got 'seed'"},
    {"box a x~\nsignal a 1 sine nan", "p.ghp:2: expected a frequency in Hz, got 'nan'"},
    {"box a x~\nsignal a 1 input voice", "p.ghp:2: expected an input declared above, got 'voice'"},
    {"input v a.wav\ninput v b.wav", "p.ghp:2: expected a new input name; 'v' is declared at line 1"},
    {"box a x~\nconnect a 1 z 1", "p.ghp:2: expected a box declared above, got 'z'"},
    {"box a x~\noutput 0 a 1", "p.ghp:2: expected an output channel from 1 to 64 or a box id, got '0'"},
    {"box a x~\noutput 1 a", "p.ghp:2: expected an outlet number from 1, got end of line"},
    {"box a x~\nat 2 send a poll 1", "p.ghp:2: expected a time such as 2s, 250ms or 1024smp, got '2'"},
    {"box a x~\nat 1.5smp send a poll 1", "p.ghp:2: expected a time such as 2s, 250ms or 1024smp, got '1.5smp'"},
    {"box a x~\nat 1s explode a", "p.ghp:2: expected an event (send, float, bang, disable, enable, buffer, "
                                  "replace, resize, delete) after the time, got 'explode'"},
    {"box a x~\nat 1s send a", "p.ghp:2: expected a message selector such as poll, got end of line"},
    {"box a x~\nfloat a 2", "p.ghp:2: expected a number, got end of line"},
    {"box a x~\nsend a 2.5 3", "p.ghp:2: expected end of line after a number sent as a float (a selector is a "
                               "word), got '3'"},
    {"resize env 0", "p.ghp:1: expected a frame count from 1 to 16777216, got '0'"},
    {"box a x~ \"unterminated", "p.ghp:1: expected a closing '\"'"},
    {"box a x~ 2147483648", "p.ghp:1: expected an argument within range (a long from -2147483648 to 2147483647, "
                            "or a float within +-3.4e38), got '2147483648'"},
    {"box a x~\nsend a grain -1e39", "p.ghp:2: expected an argument within range (a long from -2147483648 to "
                                     "2147483647, or a float within +-3.4e38), got '-1e39'"},
    {"duration 66355200001smp", "p.ghp:1: expected a duration such as 4s, 250ms or 44100smp, got '66355200001smp'"},
    {"samplerate 44100\nbox a x~ e\x01", "p.ghp:2: expected text (UTF-8 without control characters), got byte "
                                          "0x01 at column 11"},
};

} // namespace

TEST(PatchReader, FaultyLinesNameFileLineAndWhatWasExpected) {
    for (const auto &c : bad_lines)
        EXPECT_EQ(parse_error(c.text), c.message) << c.text;
}

TEST(PatchReader, TextIsUtf8WithoutControlCharacters) {
    struct Case {
        std::string line;
        std::optional<size_t> bad; // offset of the first refused byte
    } cases[] = {
        {"plain words\tand a tab\r", std::nullopt},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e \xf4\x8f\xbf\xbf", std::nullopt}, // up to U+10FFFF
        {std::string("a\0b", 3), 1},
        {"a\x1b[0m", 1},
        {"a\x7f", 1},
        {"ab\x80", 2},            // a continuation byte alone
        {"\xc0\xaf", 0},          // overlong '/'
        {"\xe0\x80\xaf", 0},      // overlong, three bytes
        {"x\xed\xa0\x80", 1},     // a UTF-16 surrogate
        {"\xf4\x90\x80\x80", 0},  // beyond U+10FFFF
        {"\xf5\x80\x80\x80", 0},
        {"ok \xe2\x82", 3},        // cut short at the end of the line
        {"\xe2(\xa1", 0},          // a lead byte without its continuation
    };
    for (auto &c : cases)
        EXPECT_EQ(bad_text_byte(c.line), c.bad) << ::testing::PrintToString(c.line);
}

TEST(PatchReader, ReadsEveryStatement) {
    Patch p = parse_patch(R"(# a comment line
samplerate 48000
vectorsize 32   # trailing comment
duration 250ms
channels 4
input voice sounds/v.wav
buffer env tukey 512 0.25
buffer snd file "my sounds/a b.wav" channel 2
box cloud brindel~ env 2 2.0 -3
box gran carvell~ env 2
signal cloud 2 noise 100 200 seed 9 gain 2 offset 1
signal gran 1 input voice channel 2 loop
connect cloud 1 gran 1
output 3 gran 2 gain 0.5
output cloud
send cloud poll 1
at 1024smp float cloud 2 880
at 1s bang cloud
at 2s replace env hann 64
at 3s disable gran
send cloud 2.5
)", "p.ghp", "/patches");
    EXPECT_EQ(p.sample_rate, 48000.0);
    EXPECT_EQ(p.vector_size, 32);
    ASSERT_TRUE(p.duration);
    EXPECT_EQ(p.duration->samples(48000.0), 12000);
    EXPECT_EQ(p.channels, 4);
    ASSERT_EQ(p.inputs.size(), 1u);
    EXPECT_EQ(p.inputs[0].path, "/patches/sounds/v.wav");
    ASSERT_EQ(p.buffers.size(), 2u);
    EXPECT_EQ(p.buffers[0].source.shape.kind, "tukey");
    EXPECT_EQ(p.buffers[0].source.shape.frames, 512);
    EXPECT_DOUBLE_EQ(p.buffers[0].source.shape.param, 0.25);
    EXPECT_TRUE(p.buffers[1].source.from_file);
    EXPECT_EQ(p.buffers[1].source.path, "/patches/my sounds/a b.wav");
    EXPECT_EQ(p.buffers[1].source.channel, 2);
    // Creation arguments typed as a patcher types them.
    ASSERT_EQ(p.boxes.size(), 2u);
    EXPECT_EQ(p.boxes[0].args,
              (grainhost::Atoms{Atom::sym("env"), Atom::lng(2), Atom::flt(2.0f), Atom::lng(-3)}));
    ASSERT_EQ(p.feeds.size(), 2u);
    EXPECT_EQ(p.feeds[0].signal.kind, SignalDef::Kind::Noise);
    EXPECT_EQ(p.feeds[0].signal.seed, 9u);
    EXPECT_DOUBLE_EQ(p.feeds[0].signal.gain, 2.0);
    EXPECT_DOUBLE_EQ(p.feeds[0].signal.offset, 1.0);
    EXPECT_EQ(p.feeds[1].signal.channel, 2);
    EXPECT_TRUE(p.feeds[1].signal.loop);
    ASSERT_EQ(p.connects.size(), 1u);
    EXPECT_EQ(p.connects[0].dst, "gran");
    ASSERT_EQ(p.outputs.size(), 2u);
    EXPECT_EQ(p.outputs[0].channel, 3);
    EXPECT_EQ(p.outputs[1].channel, 0); // every outlet of cloud
    ASSERT_EQ(p.events.size(), 6u);
    EXPECT_EQ(p.events[0].kind, Event::Kind::Send);
    EXPECT_EQ(p.events[0].at.first_sample(48000.0), 0);
    EXPECT_EQ(p.events[0].atoms, grainhost::Atoms{Atom::lng(1)});
    EXPECT_EQ(p.events[1].kind, Event::Kind::Float);
    EXPECT_EQ(p.events[1].at.first_sample(48000.0), 1024);
    EXPECT_EQ(p.events[2].kind, Event::Kind::Bang);
    EXPECT_EQ(p.events[3].kind, Event::Kind::BufferReplace);
    EXPECT_EQ(p.events[4].kind, Event::Kind::Disable);
    // A lone number is a float to inlet 1, as a message box sends it.
    EXPECT_EQ(p.events[5].kind, Event::Kind::Float);
    EXPECT_EQ(p.events[5].inlet, 1);
    EXPECT_EQ(p.events[5].value, 2.5);
}

TEST(PatchReader, NoiseSeedsDifferPerLineByDefault) {
    Patch p = parse_patch("box a x~\nsignal a 2 noise 0 1\nsignal a 3 noise 0 1\n", "p", "");
    EXPECT_NE(p.feeds[0].signal.seed, p.feeds[1].signal.seed);
}

TEST(Times, UnitsAndTheFirstSampleAtOrAfter) {
    struct Case {
        const char *word;
        double rate;
        int64_t first;
    } cases[] = {
        {"0s", 44100, 0},          {"1s", 44100, 44100}, {"0.1s", 44100, 4410}, // not 4411
        {"1.5ms", 44100, 67},      {"250ms", 48000, 12000}, {"1024smp", 8000, 1024},
        {"1e3ms", 1000, 1000},
    };
    for (auto &c : cases) {
        auto t = parse_time(c.word);
        ASSERT_TRUE(t) << c.word;
        EXPECT_EQ(t->first_sample(c.rate), c.first) << c.word;
    }
    for (const char *bad : {"s", "ms", "1", "-1s", "1.5smp", "inf s", "nans", "1 s", "86401s", "0x10s"})
        EXPECT_FALSE(parse_time(bad)) << bad;
}

TEST(Shapes, EndsPeaksAndRange) {
    auto shape = [](const char *kind, int frames, double param = 0.0) {
        return make_shape(ShapeDef{kind, frames, param});
    };
    auto hann = shape("hann", 1025);
    EXPECT_EQ(hann.front(), 0.0f);
    EXPECT_EQ(hann.back(), 0.0f);
    EXPECT_FLOAT_EQ(hann[512], 1.0f);
    auto tri = shape("triangle", 5);
    EXPECT_EQ(tri, (std::vector<float>{0.0f, 0.5f, 1.0f, 0.5f, 0.0f}));
    EXPECT_EQ(shape("rampup", 3), (std::vector<float>{0.0f, 0.5f, 1.0f}));
    EXPECT_EQ(shape("rampdown", 3), (std::vector<float>{1.0f, 0.5f, 0.0f}));
    EXPECT_EQ(shape("rectangle", 4), (std::vector<float>(4, 1.0f)));
    // Tukey: ratio 0 is the rectangle, ratio 1 the Hann window.
    EXPECT_EQ(shape("tukey", 64, 0.0), shape("rectangle", 64));
    auto t1 = shape("tukey", 65, 1.0), h = shape("hann", 65);
    for (size_t k = 0; k < h.size(); ++k)
        EXPECT_NEAR(t1[k], h[k], 1e-6) << k;
    auto t5 = shape("tukey", 101, 0.5);
    EXPECT_EQ(t5[50], 1.0f);
    EXPECT_EQ(t5[25], 1.0f);
    EXPECT_EQ(t5[0], 0.0f);
    auto g = shape("gaussian", 101, 0.15);
    EXPECT_EQ(g[50], 1.0f);
    EXPECT_NEAR(g[0], std::exp(-0.5 * (0.5 / 0.15) * (0.5 / 0.15)), 1e-7);
    auto e = shape("expdecay", 11, 5.0);
    EXPECT_EQ(e[0], 1.0f);
    EXPECT_NEAR(e[10], std::exp(-5.0), 1e-7);
    // One frame holds 1.0 whatever the shape; every value is within 0..1.
    for (const char *k : {"hann", "triangle", "rectangle", "rampup", "rampdown", "gaussian", "expdecay", "tukey"}) {
        EXPECT_EQ(shape(k, 1, 0.5), std::vector<float>{1.0f}) << k;
        for (float v : shape(k, 333, 0.3))
            ASSERT_TRUE(v >= 0.0f && v <= 1.0f) << k;
    }
}

namespace {
std::vector<float> generate(const SignalDef &s, int n, double sr = 1000.0, const std::vector<float> *file = nullptr) {
    auto g = make_generator(s, sr, file);
    std::vector<float> out(static_cast<size_t>(n), 0.0f);
    // In two calls, as the renderer calls it vector by vector.
    g->add_to(out.data(), n / 2);
    g->add_to(out.data() + n / 2, n - n / 2);
    return out;
}
} // namespace

TEST(Generators, ImpulseTrainRisesFromZeroOncePerPeriod) {
    SignalDef s;
    s.kind = SignalDef::Kind::Impulse;
    s.value = 100.0; // every 10 samples at 1000 Hz
    auto v = generate(s, 100);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(v[static_cast<size_t>(i)], i % 10 == 0 ? 1.0f : 0.0f) << i;
    // A fractional period keeps its average rate: 3 Hz at 1000 Hz gives 3 impulses a second.
    s.value = 3.0;
    auto w = generate(s, 1000);
    EXPECT_EQ(std::count(w.begin(), w.end(), 1.0f), 3);
}

TEST(Generators, SinePhaseGainOffsetAndPhasor) {
    SignalDef s;
    s.kind = SignalDef::Kind::Sine;
    s.value = 250.0;
    s.phase = 0.25;
    s.gain = 2.0;
    s.offset = 1.0;
    auto v = generate(s, 4);
    EXPECT_FLOAT_EQ(v[0], 3.0f);
    EXPECT_NEAR(v[1], 1.0f, 1e-6);
    EXPECT_FLOAT_EQ(v[2], -1.0f);
    s = SignalDef{};
    s.kind = SignalDef::Kind::Phasor;
    s.value = 250.0;
    EXPECT_EQ(generate(s, 6), (std::vector<float>{0.0f, 0.25f, 0.5f, 0.75f, 0.0f, 0.25f}));
}

TEST(Generators, NoiseIsSeededAndWithinItsBounds) {
    SignalDef s;
    s.kind = SignalDef::Kind::Noise;
    s.value = -2.0;
    s.high = 5.0;
    s.seed = 42;
    auto a = generate(s, 5000), b = generate(s, 5000);
    EXPECT_EQ(a, b);
    for (float x : a)
        ASSERT_TRUE(x >= -2.0f && x <= 5.0f);
    EXPECT_LT(*std::min_element(a.begin(), a.end()), -1.9f);
    EXPECT_GT(*std::max_element(a.begin(), a.end()), 4.9f);
    s.seed = 43;
    EXPECT_NE(generate(s, 5000), a);
}

TEST(Generators, InputPlaysOnceOrLoops) {
    std::vector<float> file{1.0f, 2.0f, 3.0f};
    SignalDef s;
    s.kind = SignalDef::Kind::Input;
    EXPECT_EQ(generate(s, 7, 1000.0, &file), (std::vector<float>{1, 2, 3, 0, 0, 0, 0}));
    s.loop = true;
    EXPECT_EQ(generate(s, 7, 1000.0, &file), (std::vector<float>{1, 2, 3, 1, 2, 3, 1}));
}

TEST(OutputFormats, ExtensionAndBits) {
    struct Case {
        const char *path;
        int bits;
        bool ok;
        SampleFormat sample;
    } cases[] = {
        {"a.wav", 0, true, SampleFormat::Float32}, {"a.WAV", 16, true, SampleFormat::Pcm16},
        {"a.flac", 0, true, SampleFormat::Pcm24},  {"a.flac", 16, true, SampleFormat::Pcm16},
        {"a.flac", 32, false, {}},                 {"a.aiff", 24, true, SampleFormat::Pcm24},
        {"a.aif", 0, true, SampleFormat::Float32}, {"a.mp3", 0, false, {}},
        {"dir.wav/a", 0, false, {}},               {"a.wav", 8, false, {}},
    };
    for (auto &c : cases) {
        if (!c.ok) {
            EXPECT_THROW(output_format(c.path, c.bits), AudioError) << c.path << " " << c.bits;
            continue;
        }
        EXPECT_EQ(output_format(c.path, c.bits).sample, c.sample) << c.path << " " << c.bits;
    }
}

TEST(CommandLine, OptionsThatMatter) {
    auto cmd = [](std::vector<std::string> a) { return parse_command_line(a); };
    EXPECT_EQ(cmd({}).what, Command::What::Help);
    EXPECT_EQ(cmd({"--version"}).what, Command::What::Version);
    EXPECT_EQ(cmd({"render", "--help"}).what, Command::What::Help);

    Command demo = cmd({"render"});
    EXPECT_EQ(demo.what, Command::What::Render);
    EXPECT_TRUE(demo.patch.empty());
    EXPECT_EQ(demo.options.output, "grainhost-demo.wav");

    // The output defaults to the patch's name, in the current folder.
    EXPECT_EQ(cmd({"render", "dir/piece.ghp"}).options.output, "piece.wav");

    Command c = cmd({"render", "p.ghp", "-o", "x.flac", "--bits=16", "-d", "250ms", "--rate", "48000",
                     "--vector=128", "--input", "voice=a.wav", "-i", "b.wav", "--log", "l.txt", "-q"});
    EXPECT_EQ(c.patch, "p.ghp");
    EXPECT_EQ(c.options.output, "x.flac");
    EXPECT_EQ(c.options.bits, 16);
    ASSERT_TRUE(c.options.duration);
    EXPECT_EQ(c.options.duration->samples(48000.0), 12000);
    EXPECT_EQ(c.options.sample_rate, 48000.0);
    EXPECT_EQ(c.options.vector_size, 128);
    ASSERT_EQ(c.options.inputs.size(), 2u);
    EXPECT_EQ(c.options.inputs[0], (std::pair<std::string, std::string>{"voice", "a.wav"}));
    EXPECT_EQ(c.options.inputs[1], (std::pair<std::string, std::string>{"", "b.wav"}));
    EXPECT_EQ(c.log_path, "l.txt");
    EXPECT_TRUE(c.options.quiet);

    const std::vector<std::vector<std::string>> wrong = {
        {"play"},
        {"render", "a.ghp", "b.ghp"},
        {"render", "--frobnicate"},
        {"render", "-o"},
        {"render", "-b", "20"},
        {"render", "-d", "3"},
        {"render", "--rate", "0"},
        {"render", "--rate", "44k"},
        {"render", "--rate", "44100.5"},
        {"render", "--vector", "0"},
        {"render", "--vector", "1.5"},
        {"render", "--input", "=a.wav"},
        {"render", "--input", "voice="},
    };
    for (auto &w : wrong) {
        try {
            parse_command_line(w);
            ADD_FAILURE() << "accepted: " << ::testing::PrintToString(w);
        } catch (const PatchError &e) {
            EXPECT_EQ(std::string(e.what()).rfind("grainhost: expected", 0) == 0 ||
                          std::string(e.what()).rfind("grainhost: unknown option", 0) == 0,
                      true)
                << e.what();
        }
    }
}

TEST(Demo, IsAPatchLikeAnyOther) {
    Patch p = parse_patch(demo_patch, "(demo)", "");
    EXPECT_EQ(p.boxes.size(), 2u);
    EXPECT_FALSE(p.connects.empty());
}
