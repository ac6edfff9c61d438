// lifecycle_test.cpp: brindel~ loading, creation by argument, defaults, failed creations, the texts of
// "tellme" and "assist", the float inlets and the envelope table as the box sees it.
#include <algorithm>

#include "brindel_test_support.h"

namespace brindel_test {
namespace {

using Lifecycle = Brindel;

bool has_line(const std::vector<std::string> &lines, const std::string &text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

TEST_F(Lifecycle, LoadPostsBannerWithVersionAndBuildLine) {
    ASSERT_TRUE(host.load("brindel~"));
    const auto lines = host.console_text();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [](const std::string &l) { return l.find("v2.0") != std::string::npos; }));
    EXPECT_TRUE(has_line(lines, std::string("build ") + __DATE__));
}

struct CreationCase {
    const char *what;
    Atoms args;
    int signal_outlets;
    const char *slot0;
    const char *line; // expected console line, or nullptr
};

TEST_F(Lifecycle, CreationArgumentsByType) {
    const CreationCase cases[] = {
        {"outputs then name", {L(4), S("env")}, 4, "env", nullptr},
        {"name then outputs", {S("env"), L(4)}, 4, "env", nullptr},
        {"two symbols: the last names slot 0", {S("a"), S("b")}, 2, "b", nullptr},
        {"two integers: the last wins", {L(8), L(1)}, 1, "empty_buffer", nullptr},
        {"float argument", {S("env"), F(2.5f)}, 2, "env",
         "argument 1 is a float : 2.500000, not assigned"},
        {"3 outputs", {L(3)}, 4, "empty_buffer", nullptr},
        {"9 outputs", {L(9)}, 8, "empty_buffer", nullptr},
        {"1 output", {L(1)}, 1, "empty_buffer", nullptr},
        {"0 outputs", {L(0)}, 1, "empty_buffer", nullptr},
        {"5 outputs", {L(5)}, 6, "empty_buffer", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        host.clear_console();
        auto box = host.create("brindel~", c.args);
        ASSERT_TRUE(box);
        EXPECT_EQ(host.signal_inlets(*box), 7);
        EXPECT_EQ(host.signal_outlets(*box), c.signal_outlets);
        EXPECT_EQ(host.outlets(*box), c.signal_outlets + 1);
        const t_brindel *x = rec(*box);
        EXPECT_STREQ(x->g.env.name[0].load()->s_name, c.slot0);
        if (c.line) EXPECT_EQ(host.console_text(*box), std::vector<std::string>{c.line});
        else EXPECT_TRUE(host.console_text(*box).empty());
    }
}

TEST_F(Lifecycle, NoArgumentsCreatesNothing) {
    EXPECT_FALSE(host.create("brindel~", {}));
    EXPECT_TRUE(has_line(host.console_text(),
                         "Missing arg #1 Envelop Buffer Name #2 Outputs number (1-2-4-6-8)"));
}

TEST_F(Lifecycle, FailedAllocationsCreateNothingAndReleaseWhatWasObtained) {
    // 24 voice arrays, then the interpolation table; the sanitizer build checks the release.
    const struct {
        int after;
        const char *line;
    } cases[] = {{0, "error brindel~ : not enough memory to instanciate"},
                 {10, "error brindel~ : not enough memory to instanciate"},
                 {24, "brindel~ : not enough memory to instanciate"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.after);
        host.clear_console();
        host.fail_allocations_after(c.after);
        EXPECT_FALSE(host.create("brindel~", {S("env")}));
        EXPECT_TRUE(has_line(host.console_text(), c.line));
    }
    host.fail_allocations_after(-1);
    EXPECT_TRUE(host.create("brindel~", {S("env")}));
}

TEST_F(Lifecycle, DefaultsOfAFreshBox) {
    for (int outputs : {1, 2, 4, 6, 8}) {
        SCOPED_TRACE(outputs);
        const t_brindel *x = rec(make({L(outputs), S("env")}));
        EXPECT_EQ(x->g.num_outputs, outputs);
        EXPECT_EQ(x->g.voice_limit.load(), 64);
        EXPECT_EQ(x->g.sinterp_flag.load(), 1);
        EXPECT_EQ(x->g.poll_flag.load(), 0);
        EXPECT_EQ(x->g.bang_pending.load(), 0);
        EXPECT_EQ(x->inlet_freq.load(), 440.0f);
        EXPECT_EQ(x->inlet_phase.load(), 0.0f);
        EXPECT_EQ(x->g.inlet_amp.load(), 1.0f);
        EXPECT_EQ(x->g.inlet_length.load(), 100.0f);
        EXPECT_EQ(x->g.length_dir.load(), 1);
        EXPECT_EQ(x->g.inlet_pan.load(), 0.0f);
        EXPECT_EQ(x->g.inlet_dist.load(), 1.0f);
        EXPECT_EQ(x->g.prev_trigger, 0.0f);
        EXPECT_EQ(x->g.sample_rate, sys_getsr());
        EXPECT_EQ(x->g.env.count.load(), 1);
        EXPECT_EQ(x->g.env.active.load(), 0);
        EXPECT_EQ(x->g.env.name[1].load(), nullptr);
        EXPECT_EQ(x->g.env.frames[0], -1);
        for (int v = 0; v < brindel_voices; ++v) {
            ASSERT_EQ(x->voice_busy[v].load(), 0);
            ASSERT_EQ(x->voice_env_value[v], 0.0f);
        }
        const float *t = x->g.interp_table;
        EXPECT_EQ(t[0], 1.0f);
        EXPECT_EQ(t[1], 0.0f);
        EXPECT_EQ(t[2 * 512], 0.5f);
        EXPECT_EQ(t[2 * 1023], 1.0f / 1024.0f);
        EXPECT_EQ(t[2 * 1023 + 1], 1023.0f / 1024.0f);
    }
}

TEST_F(Lifecycle, FloatInletsStoreByRule) {
    const BoxId box = make({S("env")});
    const t_brindel *x = rec(box);
    host.send_float(box, 2, 1e300); // beyond the float range: infinite (and starts no grain)
    EXPECT_EQ(x->inlet_freq.load(), INFINITY);
    host.send_float(box, 2, 220.5);
    EXPECT_EQ(x->inlet_freq.load(), 220.5f);
    const struct {
        double in;
        float stored;
    } phases[] = {{1.25, 0.25f}, {-0.25, 0.75f}, {3.0, 0.0f}};
    for (const auto &p : phases) {
        host.send_float(box, 3, p.in);
        EXPECT_EQ(x->inlet_phase.load(), p.stored) << p.in;
    }
    host.send_float(box, 4, -1.0);
    EXPECT_EQ(x->g.inlet_amp.load(), 0.0f);
    const struct {
        double in;
        float length;
        int dir;
    } lengths[] = {{0.0, 0.1f, 1}, {-0.05, 0.1f, -1}, {-250.0, 250.0f, -1}, {250.0, 250.0f, 1}};
    for (const auto &l : lengths) {
        host.send_float(box, 5, l.in);
        EXPECT_EQ(x->g.inlet_length.load(), l.length) << l.in;
        EXPECT_EQ(x->g.length_dir.load(), l.dir) << l.in;
    }
    host.send_float(box, 6, 0.3);
    host.send_float(box, 7, 0.2);
    EXPECT_EQ(x->g.inlet_pan.load(), 0.3f);
    EXPECT_EQ(x->g.inlet_dist.load(), 0.2f);
    host.clear_console();
    host.send_float(box, 1, 1.0);
    EXPECT_EQ(host.console_text(box), std::vector<std::string>{"a float in first inlet don't do anything"});
}

TEST_F(Lifecycle, TellmeAndAssistTexts) {
    host.buffer_create("env", hann(16));
    const BoxId box = make({L(4), S("env")});
    host.send(box, "setenv", {L(5), S("other")}); // no such buffer~: named all the same
    host.send(box, "nvoices", {L(10)});
    host.send(box, "envbuffer", {L(2)});
    host.clear_console();
    host.send(box, "tellme");
    const std::vector<std::string> expected = {
        "  ",
        "_______brindel~'s State_______",
        "::global settings::",
        "outputs : 4",
        "voices : 11",
        "________________________________",
        "::envelope buffers::",
        "-- Active envelope buffer : 3 --",
        "-- Number of envelope buffers : 6 --",
        "   envelope buffer~ 1 name : env",
        "   envelope buffer~ 6 name : other",
        "________________________________",
    };
    EXPECT_EQ(host.console_text(box), expected);

    const char *inlets[] = {" bang,set, signal zero X-ing, et cetera)", " freq (float & signal) ",
                            " phase (float & signal) ", " amp (float & signal) ",
                            " length (float & signal) ", " pan (float & signal) ",
                            " dist (float & signal) "};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(host.assist(box, 1, i), inlets[i]);
    EXPECT_EQ(host.assist(box, 1, 7), "");
    const char *outlets[] = {"(signal) Output 1", "(signal) Output 2", "(signal) Output 3",
                             "(signal) Output 4", "info out (voices...)"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(host.assist(box, 2, i), outlets[i]);
    EXPECT_EQ(host.assist(box, 2, 4), outlets[4]);
    EXPECT_EQ(host.assist(box, 3, 0), "");
}

// ---- the envelope table through the box ----------------------------------------------------------

TEST_F(Lifecycle, SetenvNamesSlotsAndReports) {
    host.buffer_create("env", hann(16));
    host.buffer_create("b3", hann(8));
    const BoxId box = make({L(2)});
    const t_brindel *x = rec(box);
    host.send(box, "poll", {L(1)});
    start(44100.0f, 64);

    const struct {
        const char *what;
        Atoms args;
        const char *line; // console line or nullptr
        bool is_error;
        int count;
    } cases[] = {
        {"one symbol", {S("env")}, "brindel~ : error setenv <#buffer> <buffer name> ", false, 1},
        {"out of range 64", {L(64), S("b3")}, "brindel~ : <#buffer> out of range", false, 1},
        {"out of range -1", {L(-1), S("b3")}, "brindel~ : <#buffer> out of range", false, 1},
        {"two numbers", {L(2), L(5)}, nullptr, false, 1},
        {"no such buffer", {L(3), S("nothing")}, "brindel~: no buffer~ nothing", true, 4},
        {"63.9 is slot 63", {F(63.9f), S("b3")}, nullptr, false, 64},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        host.clear_console();
        host.send(box, "setenv", c.args);
        const auto lines = host.console();
        if (c.line) {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0].text, c.line);
            EXPECT_EQ(lines[0].is_error, c.is_error);
        } else {
            EXPECT_TRUE(lines.empty());
        }
        EXPECT_EQ(x->g.env.count.load(), c.count);
    }
    EXPECT_STREQ(x->g.env.name[63].load()->s_name, "b3");

    // -0.5 truncates to slot 0; a symbol index reads as 0, so two symbols bind slot 0 to the second
    host.send(box, "setenv", {F(-0.5f), S("b3")});
    EXPECT_STREQ(x->g.env.name[0].load()->s_name, "b3");
    host.send(box, "setenv", {S("x"), S("env")});
    EXPECT_STREQ(x->g.env.name[0].load()->s_name, "env");

    // a successful setenv reports with poll on: the active slot, then every named slot
    host.clear_lists(box);
    host.send(box, "setenv", {L(0), S("env")});
    const auto lists = host.lists(box);
    ASSERT_EQ(lists.size(), 4u);
    for (const auto &l : lists) EXPECT_EQ(l.outlet, 3);
    EXPECT_EQ(lists[0].atoms, (Atoms{S("active_env"), F(1.0f)}));
    EXPECT_EQ(lists[1].atoms, (Atoms{S("envbuffer"), L(0), S("env")}));
    EXPECT_EQ(lists[2].atoms, (Atoms{S("envbuffer"), L(3), S("nothing")}));
    EXPECT_EQ(lists[3].atoms, (Atoms{S("envbuffer"), L(63), S("b3")}));

    // "info" acts for 1 and -1 only; "envbuffer" clamps
    const struct {
        Atoms args;
        size_t lists;
    } infos[] = {{{L(1)}, 4}, {{L(-1)}, 4}, {{L(0)}, 0}, {{L(2)}, 0}, {{}, 0}};
    for (const auto &i : infos) {
        host.clear_lists(box);
        host.send(box, "info", i.args);
        EXPECT_EQ(host.lists(box).size(), i.lists);
    }
    host.send(box, "envbuffer", {L(-5)});
    EXPECT_EQ(x->g.env.active.load(), 0);
    host.send(box, "envbuffer", {L(200)});
    EXPECT_EQ(x->g.env.active.load(), 63);
}

TEST_F(Lifecycle, RefreshFollowsBuffersByName) {
    const BoxId box = make({S("env")});
    const t_brindel *x = rec(box);
    host.send(box, "setenv", {L(3), S("late")});
    start(44100.0f, 64);
    host.run_vector();
    EXPECT_EQ(x->g.env.buffer_obj[0], nullptr); // no buffer~ "env" yet
    EXPECT_EQ(x->g.env.buffer_obj[3], nullptr);

    host.buffer_create("env", hann(32));
    host.buffer_create("late", hann(16));
    host.run_vector();
    ASSERT_NE(x->g.env.buffer_obj[0], nullptr);
    EXPECT_EQ(x->g.env.frames[0], 32);
    ASSERT_NE(x->g.env.buffer_obj[3], nullptr);
    EXPECT_EQ(x->g.env.frames[3], 16);

    host.buffer_resize("late", 100);
    host.run_vector();
    EXPECT_EQ(x->g.env.frames[3], 100);

    host.buffer_set_inuse("late", true); // being changed: not bound
    host.run_vector();
    EXPECT_EQ(x->g.env.buffer_obj[3], nullptr);
    host.buffer_set_inuse("late", false);
    host.run_vector();
    EXPECT_NE(x->g.env.buffer_obj[3], nullptr);

    host.buffer_delete("late");
    host.run_vector();
    EXPECT_EQ(x->g.env.buffer_obj[3], nullptr);
    host.buffer_set_valid("env", false);
    host.run_vector();
    EXPECT_NE(x->g.env.buffer_obj[0], nullptr); // slot 0 keeps its fields; the vector is silent
}

TEST_F(Lifecycle, InfoOutletIsEachBoxsRightmost) {
    host.buffer_create("env", hann(16));
    const BoxId a = make({L(2), S("env")});
    const BoxId b = make({L(4), S("env")});
    const BoxId c = make({L(1), S("env")});
    host.send(a, "poll", {L(1)});
    host.send(c, "poll", {L(1)});
    start(44100.0f, 64);
    host.run_vector();
    ASSERT_EQ(host.lists(a).size(), 1u);
    EXPECT_EQ(host.lists(a)[0].outlet, 3);
    EXPECT_EQ(host.lists(a)[0].atoms, (Atoms{S("voices"), L(0)}));
    EXPECT_TRUE(host.lists(b).empty()); // poll is per box
    ASSERT_EQ(host.lists(c).size(), 1u);
    EXPECT_EQ(host.lists(c)[0].outlet, 2);
}

} // namespace
} // namespace brindel_test
