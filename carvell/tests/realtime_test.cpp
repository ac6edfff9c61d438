// realtime_test.cpp: the perform routine allocates nothing, and gives the same output whether the
// host's vectors alias or not.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "carvell_test_support.h"

using grainhost::Atom;
using namespace carvell_test;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CARVELL_COUNT_ALLOCATIONS 0 // the sanitizer owns malloc
#else
#define CARVELL_COUNT_ALLOCATIONS 1
#endif

#if CARVELL_COUNT_ALLOCATIONS
// Every malloc of the process (operator new included, and the host's and the external's calls)
// lands here; counted only while the flag is up.
namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
void note() {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);

void *malloc(size_t n) {
    note();
    return __libc_malloc(n);
}
void *calloc(size_t a, size_t b) {
    note();
    return __libc_calloc(a, b);
}
void *realloc(void *p, size_t n) {
    note();
    return __libc_realloc(p, n);
}
void *aligned_alloc(size_t align, size_t n) {
    note();
    return __libc_memalign(align, n);
}
int posix_memalign(void **out, size_t align, size_t n) {
    note();
    *out = __libc_memalign(align, n);
    return *out ? 0 : 12; // ENOMEM
}
void free(void *p) { __libc_free(p); }
}
#endif

namespace {

TEST(CarvellRealtime, PerformAllocatesNothing) {
#if !CARVELL_COUNT_ALLOCATIONS
    GTEST_SKIP() << "allocation counting is off under the sanitizers";
#else
    rig r({Atom::sym("env"), Atom::lng(8)}, {3, 4});
    r.host.send(r.box, "poll", {Atom::lng(1)});
    std::vector<float> trig(size_t(vec), 0.0f);
    for (int i = 0; i < vec; i += 8) trig[size_t(i)] = 1.0f; // 8 grains per vector
    for (int v = 0; v < 20; ++v) r.run(trig, {{3, 5.0f}, {4, 0.75f}}); // warm-up
    for (int v = 0; v < 50; ++v) {
        float *in = r.host.input(r.box, 1);
        float *tr = r.host.input(r.box, 2);
        for (int s = 0; s < vec; ++s) {
            in[s] = ramp(r.time + s);
            tr[s] = trig[size_t(s)];
        }
        r.time += vec;
        counting = true;
        r.host.run_vector();
        counting = false;
        if (v == 10) r.host.send(r.box, "freeze", {Atom::lng(1)});
        if (v == 30) r.host.send(r.box, "clear");
    }
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_GT(r.busy_voices(), 0);
#endif
}

// The same patch, with every outlet sharing memory with the inlet of its number or not.
std::vector<float> render_scenario(bool alias) {
    rig r({Atom::sym("env"), Atom::lng(8)}, {3, 4, 5, 6, 7, 8}, alias);
    std::vector<float> all;
    for (int v = 0; v < 40; ++v) {
        std::vector<float> trig(size_t(vec), -0.5f);
        trig[size_t((v * 13) % vec)] = 1.0f;
        trig[size_t((v * 29 + 7) % vec)] = 0.25f;
        const float k = float(v % 7);
        r.run(trig, {{3, 2.0f + k}, {4, 0.5f + 0.25f * k}, {5, 0.8f}, {6, k < 3 ? -20.0f : 15.0f},
                     {7, 0.1f * k}, {8, 0.5f}});
        for (int q = 1; q <= 8; ++q) {
            const std::vector<float> o = r.out(q);
            all.insert(all.end(), o.begin(), o.end());
        }
    }
    return all;
}

TEST(CarvellRealtime, AliasedAndSeparateVectorsGiveTheSameOutput) {
    const std::vector<float> separate = render_scenario(false);
    const std::vector<float> aliased = render_scenario(true);
    ASSERT_EQ(separate.size(), aliased.size());
    int nonzero = 0;
    for (size_t i = 0; i < separate.size(); ++i) {
        ASSERT_EQ(separate[i], aliased[i]) << i;
        nonzero += separate[i] != 0.0f;
    }
    EXPECT_GT(nonzero, 1000);
}

} // namespace
