// test_env_table_host.cpp: the envelope table against the host runtime's buffer~ objects, without a
// box: what the per-vector refresh binds and drops, and that "setenv" only names (the refresh binds).
// The console texts and information lists are checked through the externals' own tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "grainhost/host.hpp"
#include "toolkit/common.h"
#include "toolkit/env_table.h"

namespace {

class EnvTableHost : public ::testing::Test {
protected:
    void SetUp() override {
        toolkit::toolkit_setup();
        toolkit::common_init(&g, &self, toolkit::grain_kind::brindel, 512, 2, gensym("env"));
    }
    void setenv(t_atom_long slot, const char *name) {
        t_atom atoms[2];
        atoms[0].a_type = A_LONG;
        atoms[0].a_w.w_long = slot;
        atoms[1].a_type = A_SYM;
        atoms[1].a_w.w_sym = gensym(name);
        toolkit::env_set(&g, gensym("setenv"), 2, atoms);
    }

    grainhost::Host host;
    t_pxobject self{};
    toolkit::grain_common g{};
    const std::vector<float> four{0.0f, 1.0f, 1.0f, 0.0f};
};

TEST_F(EnvTableHost, SlotZeroGatesTheVectorAndKeepsItsLastBinding) {
    EXPECT_EQ(toolkit::env_refresh(&g), 0); // "env" does not exist yet
    EXPECT_EQ(g.env.buffer_obj[0], nullptr);

    host.buffer_create("env", four);
    EXPECT_EQ(toolkit::env_refresh(&g), 1);
    t_object *bound = g.env.buffer_obj[0];
    ASSERT_NE(bound, nullptr);
    EXPECT_EQ(g.env.frames[0], 4);
    EXPECT_EQ(g.env.samples[0], buffer_samples(bound));

    host.buffer_set_inuse("env", true); // being changed: not usable, the binding stays as it was
    EXPECT_EQ(toolkit::env_refresh(&g), 0);
    EXPECT_EQ(g.env.buffer_obj[0], bound);
    host.buffer_set_inuse("env", false);
    host.buffer_set_valid("env", false);
    EXPECT_EQ(toolkit::env_refresh(&g), 0);
    host.buffer_set_valid("env", true);

    host.buffer_resize("env", 9);
    EXPECT_EQ(toolkit::env_refresh(&g), 1);
    EXPECT_EQ(g.env.frames[0], 9);

    self.z_disabled = 1;
    EXPECT_EQ(toolkit::env_refresh(&g), -1);
}

TEST_F(EnvTableHost, HigherSlotsFollowTheirNameAndDropWhenUnusable) {
    host.buffer_create("env", four);
    host.buffer_create("other", std::vector<float>(6, 0.5f));

    setenv(3, "other");
    EXPECT_EQ(g.env.count.load(), 4);
    EXPECT_EQ(g.env.buffer_obj[3], nullptr) << "setenv names the slot; the refresh binds it";
    EXPECT_EQ(toolkit::env_refresh(&g), 1);
    EXPECT_NE(g.env.buffer_obj[3], nullptr);
    EXPECT_EQ(g.env.frames[3], 6);
    EXPECT_EQ(toolkit::env_pick(g.env, 3), 3);

    host.buffer_delete("other");
    EXPECT_EQ(toolkit::env_refresh(&g), 1);
    EXPECT_EQ(g.env.buffer_obj[3], nullptr);
    EXPECT_EQ(toolkit::env_pick(g.env, 3), 0);

    host.buffer_create("other", std::vector<float>(5, 0.5f)); // back under the same name
    EXPECT_EQ(toolkit::env_refresh(&g), 1);
    EXPECT_EQ(g.env.frames[3], 5);

    host.buffer_set_inuse("other", true);
    EXPECT_EQ(toolkit::env_refresh(&g), 1);
    EXPECT_EQ(g.env.buffer_obj[3], nullptr);

    // A name bound to an object of another class is not an envelope.
    t_object not_a_buffer{};
    t_symbol fake{"fake", &not_a_buffer};
    g.env.name[2].store(&fake);
    host.buffer_set_inuse("other", false);
    EXPECT_EQ(toolkit::env_refresh(&g), 1);
    EXPECT_EQ(g.env.buffer_obj[2], nullptr);
    EXPECT_NE(g.env.buffer_obj[3], nullptr);
}

TEST_F(EnvTableHost, SetenvOnAMissingBufferStillNamesTheSlot) {
    host.buffer_create("env", four);
    setenv(5, "later");
    EXPECT_EQ(g.env.count.load(), 6);
    EXPECT_EQ(toolkit::env_refresh(&g), 1);
    EXPECT_EQ(g.env.buffer_obj[5], nullptr);
    host.buffer_create("later", four);
    EXPECT_EQ(toolkit::env_refresh(&g), 1);
    EXPECT_NE(g.env.buffer_obj[5], nullptr);

    // Out of range (and a NaN index) leave the table as it was.
    setenv(64, "x");
    setenv(-1, "x");
    t_atom atoms[2];
    atoms[0].a_type = A_FLOAT;
    atoms[0].a_w.w_float = std::numeric_limits<float>::quiet_NaN();
    atoms[1].a_type = A_SYM;
    atoms[1].a_w.w_sym = gensym("x");
    toolkit::env_set(&g, gensym("setenv"), 2, atoms);
    EXPECT_EQ(g.env.count.load(), 6);
    EXPECT_EQ(g.env.name[0].load(), gensym("env"));
    const auto lines = host.console_text();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("brindel~ : <#buffer> out of range")), 3);
}

} // namespace
