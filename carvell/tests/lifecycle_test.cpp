// lifecycle_test.cpp: creation, destruction and the message handlers of carvell~ through the host.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "carvell.h"
#include "grainhost/host.hpp"

using grainhost::Atom;
using grainhost::Atoms;
using grainhost::Host;

namespace {

const char *const missing_line =
    "Missing Arguments Name 1 Envelope Buffer Name 2 Outputs number (1-2-4-6-8)";
const char *const memory_line = "error carvell~ : not enough memory to instanciate";

t_carvell *record(Host &h, grainhost::BoxId b) { return static_cast<t_carvell *>(h.object(b)); }

bool has_line(const std::vector<std::string> &lines, const std::string &text) {
    for (const std::string &l : lines)
        if (l == text) return true;
    return false;
}

TEST(CarvellLifecycle, LoadPostsBannerAndBuildLine) {
    Host h;
    ASSERT_TRUE(h.load("carvell~"));
    const auto lines = h.console_text();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[lines.size() - 2].find("v2.0"), std::string::npos);
    EXPECT_EQ(lines.back().rfind("build ", 0), 0u);
}

TEST(CarvellLifecycle, FewerThanTwoArgumentsCreateNothing) {
    for (const Atoms &args : {Atoms{}, Atoms{Atom::sym("env")}, Atoms{Atom::lng(2)}}) {
        Host h;
        h.load("carvell~");
        h.clear_console();
        EXPECT_FALSE(h.create("carvell~", args).has_value());
        EXPECT_EQ(h.console_text(), std::vector<std::string>{missing_line});
    }
}

TEST(CarvellLifecycle, ArgumentsByTypeAndPosition) {
    Host h;
    const auto a = h.create("carvell~", {Atom::sym("myenv"), Atom::lng(4)});
    const auto b = h.create("carvell~", {Atom::lng(4), Atom::sym("myenv")});
    ASSERT_TRUE(a && b);
    EXPECT_EQ(h.signal_outlets(*a), 4);
    EXPECT_EQ(h.outlets(*a), 5);
    EXPECT_EQ(h.signal_outlets(*b), 4);
    EXPECT_STREQ(record(h, *a)->g.env.name[0].load()->s_name, "myenv");
    // A symbol names slot k; only slot 0 keeps its name.
    EXPECT_STREQ(record(h, *b)->g.env.name[0].load()->s_name, "empty_buffer");
    EXPECT_EQ(record(h, *b)->g.env.name[1].load(), nullptr);
    EXPECT_EQ(record(h, *b)->g.env.count.load(), 1);
    EXPECT_EQ(h.signal_inlets(*a), 8);

    // Defaults of a fresh box.
    t_carvell *x = record(h, *a);
    EXPECT_EQ(x->rec.ring_length, 441000);
    EXPECT_EQ(x->g.voice_limit.load(), 64);
    EXPECT_EQ(x->g.inlet_pan.load(), 0.0f);
    EXPECT_EQ(x->inlet_transp.load(), 1.0f);
    EXPECT_EQ(x->inlet_delay.load(), 0.0f);
    EXPECT_EQ(x->constraint_flag.load(), 1);
    EXPECT_EQ(x->rec.freeze_flag, 0);
    EXPECT_EQ(x->g.prev_trigger, 0.0f);
    // Unrecorded material is silence.
    EXPECT_EQ(x->rec.ring[0], 0.0f);
    EXPECT_EQ(x->rec.ring[440999], 0.0f);
    // The interpolation table: (1 - k/1024, k/1024).
    EXPECT_EQ(x->g.interp_table[0], 1.0f);
    EXPECT_EQ(x->g.interp_table[1], 0.0f);
    EXPECT_EQ(x->g.interp_table[2 * 512], 0.5f);
    EXPECT_EQ(x->g.interp_table[2 * 1023 + 1], 1023.0f / 1024.0f);
}

TEST(CarvellLifecycle, RingLengthFromAFloatArgument) {
    struct row { float ms; int32_t samples; const char *line; };
    const row rows[] = {
        {1000.0f, 44100, "carvell~ : set buffer size to     1000.0 ms"},
        {100.0f, 22050, "carvell~ : set buffer size to      500.0 ms"},
        {200000.0f, 4410000, "carvell~ : set buffer size to   100000.0 ms"},
        {std::numeric_limits<float>::quiet_NaN(), 22050, "carvell~ : set buffer size to      500.0 ms"},
    };
    for (const row &r : rows) {
        Host h;
        h.load("carvell~");
        h.clear_console();
        const auto b = h.create("carvell~", {Atom::sym("env"), Atom::lng(2), Atom::flt(r.ms)});
        ASSERT_TRUE(b);
        EXPECT_EQ(record(h, *b)->rec.ring_length, r.samples);
        EXPECT_EQ(h.console_text(), std::vector<std::string>{r.line});
    }
    Host h;
    h.load("carvell~");
    h.clear_console();
    ASSERT_TRUE(h.create("carvell~", {Atom::sym("env"), Atom::lng(2)}));
    EXPECT_TRUE(h.console_text().empty());
}

TEST(CarvellLifecycle, OutputCounts) {
    struct row { int32_t asked; int made; bool switched; };
    const row rows[] = {{1, 1, false}, {2, 2, false}, {4, 4, false}, {6, 6, false},
                        {8, 8, false}, {3, 2, true},  {0, 2, true},  {9, 2, true}};
    for (const row &r : rows) {
        Host h;
        h.load("carvell~");
        h.clear_console();
        const auto b = h.create("carvell~", {Atom::sym("env"), Atom::lng(r.asked)});
        ASSERT_TRUE(b);
        EXPECT_EQ(h.signal_outlets(*b), r.made) << r.asked;
        EXPECT_EQ(h.outlets(*b), r.made + 1);
        EXPECT_EQ(record(h, *b)->g.num_outputs, r.made);
        const std::vector<std::string> switched = {"carvell~ : outputs num must be 1, 2, 4, 6 or 8",
                                                   "\t Switching to default 2 outputs"};
        EXPECT_EQ(h.console_text(), r.switched ? switched : std::vector<std::string>{}) << r.asked;
    }
}

// Every block creation obtains; a refusal at any of them fails the creation with the line (the
// sanitizer build checks that what was obtained before is released).
TEST(CarvellLifecycle, AllocationFailureAtEveryBlock) {
    for (int outputs : {1, 8}) {
        const int blocks = 2 + 13 + 1 + outputs + 1; // interp, ring, voice arrays, gains, dsp_args
        for (int n = 0; n <= blocks; ++n) {
            Host h;
            h.load("carvell~");
            h.clear_console();
            h.fail_allocations_after(n);
            const auto b = h.create("carvell~", {Atom::sym("env"), Atom::lng(outputs)});
            EXPECT_EQ(b.has_value(), n == blocks) << outputs << " outputs, " << n << " blocks";
            if (n < blocks) {
                EXPECT_TRUE(has_line(h.console_text(), memory_line));
            }
        }
    }
}

TEST(CarvellLifecycle, SetenvForms) {
    Host h;
    h.buffer_create("other", std::vector<float>(16, 1.0f));
    const auto b = h.create("carvell~", {Atom::lng(2), Atom::lng(2)});
    ASSERT_TRUE(b);
    t_carvell *x = record(h, *b);
    h.clear_console();

    h.send(*b, "setenv", {Atom::lng(3)}); // one number: nothing
    EXPECT_TRUE(h.console_text().empty());
    EXPECT_STREQ(x->g.env.name[0].load()->s_name, "empty_buffer");

    h.send(*b, "setenv", {Atom::sym("other")}); // one symbol: slot 0
    EXPECT_TRUE(h.console_text().empty());
    EXPECT_STREQ(x->g.env.name[0].load()->s_name, "other");

    h.send(*b, "setenv", {Atom::lng(1), Atom::sym("other"), Atom::lng(2)});
    EXPECT_EQ(h.console_text(),
              std::vector<std::string>{"carvell~ : error setenv <#buffer> <buffer name> "});
    h.clear_console();

    h.send(*b, "setenv", {Atom::lng(2), Atom::sym("nothing_here")});
    const auto lines = h.console();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].is_error);
    EXPECT_EQ(lines[0].text, "carvell~: no buffer~ nothing_here");
    EXPECT_EQ(x->g.env.count.load(), 3);
}

TEST(CarvellLifecycle, TellmeAndAssist) {
    Host h;
    const auto b = h.create("carvell~", {Atom::sym("env"), Atom::lng(4)});
    ASSERT_TRUE(b);
    h.send(*b, "nvoices", {Atom::lng(10)});
    h.clear_console();
    h.send(*b, "tellme");
    const std::vector<std::string> expected = {
        "  ",
        "_______carvell~'s State_______",
        "::global settings::",
        "outputs : 4",
        "voices : 11",
        "buffer length : 441000",
        "________________________________",
        "::envelope buffers::",
        "-- Active envelope buffer : 1 --",
        "-- Number of envelope buffers : 1 --",
        "   envelope buffer~ 1 name : env",
        "________________________________",
    };
    EXPECT_EQ(h.console_text(), expected);

    const char *const inlets[] = {" Input Signal",
                                  " bang ,set , signal zero X-ing, ...",
                                  " delay (float & signal) ",
                                  " transpos (float & signal) ",
                                  " amp (float & signal) ",
                                  " length (float & signal) ",
                                  " pan (float & signal) ",
                                  " dist (float & signal) "};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(h.assist(*b, ASSIST_INLET, i), inlets[i]);
    EXPECT_EQ(h.assist(*b, ASSIST_INLET, 8), "");
    EXPECT_EQ(h.assist(*b, ASSIST_OUTLET, 3), "(signal) Output 4");
    EXPECT_EQ(h.assist(*b, ASSIST_OUTLET, 4), "info out (voices...)");
}

TEST(CarvellLifecycle, FloatInletMap) {
    const float inf = std::numeric_limits<float>::infinity();
    struct row {
        int inlet;
        double value;
        float delay, transp, amp, length, pan, dist;
        int32_t dir;
        bool notice;
    };
    // Defaults: delay 0, transp 1, amp 1, length 100 forward, pan 0, dist 1.
    const row rows[] = {
        {1, 5.0, 0, 1, 1, 100, 0, 1, 1, false},      // live input: ignored silently
        {2, 5.0, 0, 1, 1, 100, 0, 1, 1, true},       // trigger: the notice
        {3, 25.0, 25, 1, 1, 100, 0, 1, 1, false},
        {3, -10.0, 0, 1, 1, 100, 0, 1, 1, false},
        {3, std::nan(""), 0, 1, 1, 100, 0, 1, 1, false},
        {4, -0.5, 0, -0.5f, 1, 100, 0, 1, 1, false},
        {4, 1e300, 0, inf, 1, 100, 0, 1, 1, false},
        {5, 0.25, 0, 1, 0.25f, 100, 0, 1, 1, false},
        {5, -1.0, 0, 1, 0, 100, 0, 1, 1, false},
        {6, -250.0, 0, 1, 1, 250, 0, 1, -1, false},
        {6, -0.05, 0, 1, 1, 0.1f, 0, 1, -1, false},
        {6, 0.0, 0, 1, 1, 0.1f, 0, 1, 1, false},
        {7, 0.75, 0, 1, 1, 100, 0.75f, 1, 1, false},
        {8, 0.3, 0, 1, 1, 100, 0, 0.3f, 1, false},
    };
    for (const row &r : rows) {
        Host h;
        const auto b = h.create("carvell~", {Atom::sym("env"), Atom::lng(2)});
        ASSERT_TRUE(b);
        h.clear_console();
        h.send_float(*b, r.inlet, r.value);
        const t_carvell *x = record(h, *b);
        SCOPED_TRACE(testing::Message() << "inlet " << r.inlet << " value " << r.value);
        EXPECT_EQ(x->inlet_delay.load(), r.delay);
        EXPECT_EQ(x->inlet_transp.load(), r.transp);
        EXPECT_EQ(x->g.inlet_amp.load(), r.amp);
        EXPECT_EQ(x->g.inlet_length.load(), r.length);
        EXPECT_EQ(x->g.length_dir.load(), r.dir);
        EXPECT_EQ(x->g.inlet_pan.load(), r.pan);
        EXPECT_EQ(x->g.inlet_dist.load(), r.dist);
        EXPECT_EQ(h.console_text(),
                  r.notice ? std::vector<std::string>{"a float in first inlet don't do anything"}
                           : std::vector<std::string>{});
    }
}

TEST(CarvellLifecycle, ConstraintAndNvoicesMessages) {
    Host h;
    const auto b = h.create("carvell~", {Atom::sym("env"), Atom::lng(2)});
    ASSERT_TRUE(b);
    const t_carvell *x = record(h, *b);
    const std::pair<int32_t, int32_t> constraint[] = {{0, 0}, {-1, 1}, {0, 0}, {5, 1}};
    for (auto [arg, flag] : constraint) {
        h.send(*b, "constraint", {Atom::lng(arg)});
        EXPECT_EQ(x->constraint_flag.load(), flag);
    }
    const std::pair<int32_t, int32_t> nvoices[] = {{0, 2}, {-3, 2}, {255, 256}, {300, 256}, {10, 11}};
    for (auto [arg, limit] : nvoices) {
        h.send(*b, "nvoices", {Atom::lng(arg)});
        EXPECT_EQ(x->g.voice_limit.load(), limit);
    }
}

} // namespace
