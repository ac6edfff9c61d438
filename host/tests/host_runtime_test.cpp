// host_runtime_test.cpp: loading, creation, dispatch, outlets, console and buffer~ objects, tested
// through grainhost::Host with the test external hostprobe~.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "grainhost/host.hpp"
#include "probe_record.h"

using grainhost::Atom;
using grainhost::Atoms;
using grainhost::Host;
using grainhost::HostOptions;
using ::testing::ElementsAre;

namespace {

HostOptions probe_options() {
    HostOptions o;
    o.search_path = {"/nonexistent-grainhost-folder", GH_TEST_EXTERNALS_DIR};
    return o;
}

class HostTest : public ::testing::Test {
protected:
    Host host{probe_options()};

    grainhost::BoxId make(const Atoms &args = {}) {
        auto id = host.create("hostprobe~", args);
        EXPECT_TRUE(id.has_value());
        return id.value_or(0);
    }
    std::string last_line(grainhost::BoxId box) {
        auto lines = host.console_text(box);
        return lines.empty() ? std::string("<none>") : lines.back();
    }
};

// ---- loading --------------------------------------------------------------------------------------

TEST(HostLoad, LoadsByNameAndRunsMainOncePerProcess) {
    {
        Host host(probe_options());
        ASSERT_TRUE(host.load("hostprobe~"));
        ASSERT_TRUE(host.load("hostprobe~"));
        auto id = host.create("hostprobe~");
        ASSERT_TRUE(id);
        host.send(*id, "mains");
        EXPECT_EQ(host.console_text(*id).back(), "mains 1");
        // main's banner was posted outside any box.
        auto lines = host.console();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].text, "hostprobe~ main");
        EXPECT_EQ(lines[0].box, 0);
    }
    // A later Host in the same process finds the class without running main again.
    Host host(probe_options());
    auto id = host.create("hostprobe~");
    ASSERT_TRUE(id);
    host.send(*id, "mains");
    EXPECT_EQ(host.console_text(*id).back(), "mains 1");
    EXPECT_TRUE(host.console_text(0).empty());
}

TEST_F(HostTest, MissingLibraryOrMainFailsWithOneLine) {
    EXPECT_FALSE(host.load("nosuchclass~"));
    EXPECT_FALSE(host.create("nosuchclass~").has_value());
    EXPECT_FALSE(host.load("hostbare~"));
    auto lines = host.console();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "nosuchclass~: no such object");
    EXPECT_TRUE(lines[0].is_error);
    EXPECT_EQ(lines[0].box, 0);
    EXPECT_THAT(lines[2].text, ::testing::StartsWith("hostbare~: no main in "));
}

TEST(HostSearch, EnvironmentPathIsUsedWhenNoSearchPathIsGiven) {
    // The build's folder is the last resort; GRAINHOST_PATH comes first.
    setenv("GRAINHOST_PATH", "/nonexistent-a:" GH_TEST_EXTERNALS_DIR, 1);
    Host host;
    EXPECT_TRUE(host.load("hostprobe~"));
    unsetenv("GRAINHOST_PATH");
}

// ---- creation ------------------------------------------------------------------------------------

TEST_F(HostTest, CreationGivesIdsInOrderAndOutletsRightToLeft) {
    auto a = make({Atom::lng(2), Atom::lng(3)});
    auto b = make();
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(host.class_of(a), "hostprobe~");
    EXPECT_EQ(host.signal_inlets(a), 2);
    EXPECT_EQ(host.outlets(a), 4);
    EXPECT_EQ(host.signal_outlets(a), 3);
    auto *x = static_cast<t_hostprobe *>(host.object(a));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(object_classname(x), gensym("hostprobe~"));

    // Outlet made k-th (0 = information outlet, made first) sits at 4 - k from the left.
    for (int k = 0; k <= 3; ++k) host.send(a, "out", {Atom::lng(k)});
    auto lists = host.lists(a);
    ASSERT_EQ(lists.size(), 4u);
    EXPECT_EQ(lists[0].outlet, 4);
    EXPECT_EQ(lists[1].outlet, 3);
    EXPECT_EQ(lists[2].outlet, 2);
    EXPECT_EQ(lists[3].outlet, 1);
    EXPECT_TRUE(host.lists(b).empty());
}

TEST_F(HostTest, FailedCreationGivesNoBoxAndFreesTheRecord) {
    EXPECT_FALSE(host.create("hostprobe~", {Atom::sym("fail")}).has_value());
    // Its lines keep the id it was given; the next box does not reuse it.
    EXPECT_THAT(host.console_text(1), ElementsAre("hostprobe~: refusing"));
    EXPECT_FALSE(host.exists(1));
    EXPECT_EQ(make(), 2);
    // LeakSanitizer checks that the refused record was freed.
}

TEST_F(HostTest, AllocationFailureHookRefusesAfterNSuccesses) {
    host.fail_allocations_after(1);
    auto first = host.create("hostprobe~", {Atom::sym("alloc")});
    EXPECT_TRUE(first.has_value());
    EXPECT_FALSE(host.create("hostprobe~", {Atom::sym("alloc")}).has_value());
    EXPECT_EQ(host.console_text(-1).back(), "hostprobe~: no memory");
    EXPECT_EQ(sysmem_newptr(16), nullptr);
    host.fail_allocations_after(-1);
    EXPECT_TRUE(host.create("hostprobe~", {Atom::sym("alloc")}).has_value());
    EXPECT_EQ(sysmem_newptr(0), nullptr);
    EXPECT_EQ(t_getbytes(-4), nullptr);
    char *p = t_getbytes(8);
    ASSERT_NE(p, nullptr);
    t_freebytes(p, 8);
}

TEST_F(HostTest, DestroyCallsTheDestructionRoutineInTheBoxContext) {
    auto a = make();
    host.clear_console();
    host.destroy(a);
    EXPECT_FALSE(host.exists(a));
    EXPECT_THAT(host.console_text(a), ElementsAre("hostprobe~: free"));
}

// ---- dispatch ------------------------------------------------------------------------------------

struct dispatch_case {
    const char *selector;
    Atoms args;
    const char *line;
};

TEST_F(HostTest, DispatchConvertsArgumentsByRegisteredType) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const dispatch_case cases[] = {
        {"long", {Atom::lng(7)}, "long 7"},
        {"long", {}, "long 0"},
        {"long", {Atom::flt(2.9f)}, "long 2"},
        {"long", {Atom::flt(-2.9f)}, "long -2"},
        {"long", {Atom::flt(1e12f)}, "long 2147483647"},
        {"long", {Atom::flt(-1e12f)}, "long -2147483648"},
        {"long", {Atom::flt(nan)}, "long 0"},
        {"long", {Atom::sym("x")}, "long 0"},
        {"long", {Atom::lng(3), Atom::lng(4)}, "long 3"},
        {"flt", {Atom::flt(0.1f)}, "flt 0.100000001"},
        {"flt", {Atom::lng(-5)}, "flt -5"},
        {"flt", {}, "flt 0"},
        {"flt", {Atom::sym("x")}, "flt 0"},
        {"sym", {Atom::sym("abc")}, "sym 'abc'"},
        {"sym", {}, "sym ''"},
        {"sym", {Atom::lng(3)}, "sym ''"},
        {"none", {Atom::lng(3)}, "none"},
        {"gimme", {}, "gimme gimme 0"},
        {"gimme", {Atom::lng(4), Atom::flt(2.5f), Atom::sym("x")}, "gimme gimme 3 l:4 f:2.5 s:x"},
        {"bang", {}, "bang 0"},
        {"float", {Atom::flt(1.5f)}, "float 1.5 0"},
        {"float", {Atom::lng(3)}, "float 3 0"},
        {"secret", {}, "hostprobe~: no method for 'secret'"},
        {"dsp", {}, "hostprobe~: no method for 'dsp'"},
        {"nosuch", {Atom::lng(1)}, "hostprobe~: no method for 'nosuch'"},
    };
    auto id = make();
    for (const dispatch_case &c : cases) {
        host.send(id, c.selector, c.args);
        EXPECT_EQ(last_line(id), c.line) << c.selector;
    }
}

TEST_F(HostTest, FloatsAndBangsCarryTheirInletNumber) {
    auto id = make({Atom::lng(3)});
    auto *x = static_cast<t_hostprobe *>(host.object(id));
    host.send_float(id, 3, 0.5);
    EXPECT_EQ(last_line(id), "float 0.5 2");
    EXPECT_EQ(x->ob.z_in, 0); // back to the left inlet afterwards
    host.send_bang(id, 2);
    EXPECT_EQ(last_line(id), "bang 1");
    host.send_bang(id);
    EXPECT_EQ(last_line(id), "bang 0");
    host.clear_console();
    host.send_float(id, 4, 1.0);
    host.send_float(id, 0, 1.0);
    EXPECT_THAT(host.console_text(id), ElementsAre("hostprobe~: no inlet 4", "hostprobe~: no inlet 0"));
}

TEST_F(HostTest, AssistReturnsTheHandlersText) {
    auto id = make();
    EXPECT_EQ(host.assist(id, ASSIST_INLET, 0), "in 0");
    EXPECT_EQ(host.assist(id, ASSIST_OUTLET, 2), "out 2");
    EXPECT_EQ(host.assist(id, ASSIST_INLET, 99), "");
}

// ---- console and lists ---------------------------------------------------------------------------

TEST_F(HostTest, ConsoleKeepsOrderBoxIdsAndLongLines) {
    auto a = make();
    auto b = make();
    host.clear_console();
    host.send(b, "long", {Atom::lng(1)});
    host.send(a, "long", {Atom::lng(2)});
    post("outside %s", "boxes");
    const std::string longword(5000, 'w');
    host.send(a, "sym", {Atom::sym(longword)});
    auto lines = host.console();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].box, b);
    EXPECT_EQ(lines[1].box, a);
    EXPECT_EQ(lines[2].box, 0);
    EXPECT_EQ(lines[2].text, "outside boxes");
    EXPECT_FALSE(lines[2].is_error);
    EXPECT_EQ(lines[3].text, "sym '" + longword + "'");
    EXPECT_THAT(host.console_text(b), ElementsAre("long 1"));
}

TEST_F(HostTest, ListsFromMessagesKeepAtomsAndOrder) {
    auto id = make();
    host.send(id, "list", {Atom::lng(1), Atom::flt(2.5f), Atom::sym("three")});
    host.send(id, "list", {});
    auto lists = host.lists(id);
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists[0].outlet, 2);
    EXPECT_EQ(lists[0].vector, 0u);
    EXPECT_THAT(lists[0].atoms, ElementsAre(Atom::lng(1), Atom::flt(2.5f), Atom::sym("three")));
    EXPECT_TRUE(lists[1].atoms.empty());
    host.clear_lists(id);
    EXPECT_TRUE(host.lists(id).empty());
}

TEST(HostAtoms, ParseAndPrint) {
    using grainhost::parse_atom;
    EXPECT_EQ(parse_atom("4"), Atom::lng(4));
    EXPECT_EQ(parse_atom("-12"), Atom::lng(-12));
    EXPECT_EQ(parse_atom("4.0"), Atom::flt(4.0f));
    EXPECT_EQ(parse_atom("1e3"), Atom::flt(1000.0f));
    EXPECT_EQ(parse_atom("-0.5"), Atom::flt(-0.5f));
    EXPECT_EQ(parse_atom("env"), Atom::sym("env"));
    EXPECT_EQ(parse_atom("nan"), Atom::sym("nan"));
    EXPECT_EQ(parse_atom("0x10"), Atom::sym("0x10"));
    EXPECT_EQ(parse_atom("4a"), Atom::sym("4a"));
    EXPECT_EQ(Atom::flt(4.5f).str(), "4.5");
    EXPECT_EQ(Atom::lng(-3).str(), "-3");
    EXPECT_EQ(Atom::sym("x").str(), "x");
    EXPECT_FALSE(Atom::lng(1) == Atom::flt(1.0f));
}

// ---- buffer~ ---------------------------------------------------------------------------------------

TEST_F(HostTest, BuffersAreBoundToTheirNameAndReadThroughTheAccessors) {
    t_symbol *name = gensym("probe_env");
    EXPECT_EQ(symbol_thing(name), nullptr);
    host.buffer_create("probe_env", {0.f, 1.f, 2.f, 3.f, 4.f, 5.f}, 2);
    t_object *b = symbol_thing(name);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(object_classname(b), gensym("buffer~"));
    EXPECT_EQ(buffer_valid(b), 1);
    EXPECT_EQ(buffer_inuse(b), 0);
    EXPECT_EQ(buffer_frames(b), 3);
    EXPECT_EQ(buffer_samples(b)[5], 5.f);

    // Seen the same way from a box's handler.
    auto id = make();
    host.send(id, "buf", {Atom::sym("probe_env")});
    EXPECT_EQ(last_line(id), "buf buffer~ valid 1 inuse 0 frames 3 last 2");

    host.buffer_set_valid("probe_env", false);
    host.buffer_set_inuse("probe_env", true);
    EXPECT_EQ(buffer_valid(b), 0);
    EXPECT_EQ(buffer_inuse(b), 1);

    // Resize keeps what fits and zero-fills the rest, in the same object.
    host.buffer_resize("probe_env", 5);
    EXPECT_EQ(symbol_thing(name), b);
    EXPECT_EQ(buffer_frames(b), 5);
    const float *s = buffer_samples(b);
    EXPECT_THAT(std::vector<float>(s, s + 10), ElementsAre(0, 1, 2, 3, 4, 5, 0, 0, 0, 0));
    host.buffer_resize("probe_env", 1);
    EXPECT_EQ(buffer_frames(b), 1);
    EXPECT_EQ(buffer_samples(b)[1], 1.f);

    // Replace binds a new object; the old one stays readable but empty and invalid.
    host.buffer_replace("probe_env", {9.f, 8.f});
    t_object *b2 = symbol_thing(name);
    ASSERT_NE(b2, nullptr);
    EXPECT_NE(b2, b);
    EXPECT_EQ(buffer_frames(b2), 2);
    EXPECT_EQ(buffer_valid(b2), 1);
    EXPECT_EQ(buffer_valid(b), 0);
    EXPECT_EQ(buffer_frames(b), 0);
    EXPECT_EQ(buffer_samples(b), nullptr);

    // Create on an existing name replaces too.
    host.buffer_create("probe_env", {});
    t_object *b3 = symbol_thing(name);
    EXPECT_NE(b3, b2);
    EXPECT_EQ(buffer_frames(b3), 0);
    EXPECT_NE(buffer_samples(b3), nullptr);

    host.buffer_delete("probe_env");
    EXPECT_FALSE(host.buffer_exists("probe_env"));
    EXPECT_EQ(symbol_thing(name), nullptr);
    host.send(id, "buf", {Atom::sym("probe_env")});
    EXPECT_EQ(last_line(id), "buf none");
}

TEST_F(HostTest, BufferCallsOnMissingNamesAndNonBuffers) {
    host.buffer_resize("missing_buf", 4);
    host.buffer_set_valid("missing_buf", true);
    host.buffer_delete("missing_buf");
    EXPECT_EQ(host.console_text().size(), 2u);
    auto id = make();
    EXPECT_EQ(buffer_valid(static_cast<t_object *>(host.object(id))), 0);
    EXPECT_EQ(buffer_samples(static_cast<t_object *>(host.object(id))), nullptr);
    EXPECT_EQ(buffer_frames(nullptr), 0);
    EXPECT_FALSE(host.create("buffer~").has_value());
}

TEST(HostLifetime, DestroyingTheHostUnbindsBuffers) {
    {
        Host host(probe_options());
        host.buffer_create("lifetime_buf", {1.f});
        EXPECT_NE(symbol_thing(gensym("lifetime_buf")), nullptr);
    }
    EXPECT_EQ(symbol_thing(gensym("lifetime_buf")), nullptr);
    // With no Host: the default rate, no records, console lines on stderr.
    EXPECT_EQ(sys_getsr(), 44100.0f);
    EXPECT_EQ(newobject(nullptr), nullptr);
    ::testing::internal::CaptureStderr();
    post("alone %d", 1);
    error("alone %d", 2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "alone 1\nerror: alone 2\n");
}

} // namespace
