// alloc_test.cpp: no perform routine of brindel~ allocates. malloc is counted while a flag is set,
// around run_vector() after a warm-up; operator new reaches malloc too. Skipped under the
// sanitizers (address, thread), which replace the allocator.
#include <atomic>
#include <cstdlib>

#include "brindel_test_support.h"

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
} // namespace

extern "C" void *malloc(size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t n, size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
    return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
    return __libc_realloc(p, size);
}
#endif

namespace brindel_test {
namespace {

using Alloc = Brindel;

TEST_F(Alloc, PerformAllocatesNothing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer replaces the allocator";
#else
    host.buffer_create("env", hann(1024));
    std::vector<BoxId> boxes;
    for (int outputs : {1, 2, 4, 6, 8}) {
        const BoxId b = make({L(outputs), S("env")});
        host.send(b, "poll", {L(1)});
        host.feed(b, 1);
        boxes.push_back(b);
    }
    host.dsp_start(44100.0f, 64);
    auto run = [&](int vectors) {
        for (int v = 0; v < vectors; ++v) {
            for (BoxId b : boxes) {
                float *t = host.input(b, 1);
                for (int i = 0; i < 64; ++i) t[i] = (i % 16) < 8 ? 1.0f : -1.0f;
                host.send(b, "grain", grain_args(1, 300, 0, 0.1f, 5, 0.3f, 0.5f, 0));
                host.send_bang(b);
            }
            if (v % 5 == 4) host.send(boxes[0], "clear");
            counting = true;
            host.run_vector();
            counting = false;
        }
    };
    run(4); // warm-up
    allocations = 0;
    run(40);
    EXPECT_EQ(allocations.load(), 0);
    EXPECT_GT(busy_count(boxes[1]), 0);
#endif
}

} // namespace
} // namespace brindel_test
