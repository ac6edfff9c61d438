// host_chain_test.cpp: the signal chain through grainhost::Host and hostprobe~: the "dsp" calls and
// their counts, perform argument vectors and order, aliased and separate vectors, fan-in, cycles,
// detaching, the disabled word, lists sent from perform routines, run_vector allocating nothing,
// run_vector on its own thread while messages arrive, and the threaded mode.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "grainhost/host.hpp"
#include "probe_record.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define GH_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define GH_SANITIZED 1
#endif
#endif

// ---- a malloc counter for the thread that runs vectors (not under sanitizers, which own malloc) ---
#ifndef GH_SANITIZED
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
namespace {
thread_local bool tl_counting = false;
std::atomic<int> allocations{0};
} // namespace
extern "C" void *malloc(size_t n) {
    if (tl_counting) allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t k, size_t n) {
    if (tl_counting) allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(k, n);
}
extern "C" void *realloc(void *p, size_t n) {
    if (tl_counting) allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
#endif

using grainhost::Atom;
using grainhost::BoxId;
using grainhost::Host;
using grainhost::HostOptions;
using ::testing::Each;
using ::testing::ElementsAre;

namespace {

HostOptions options(bool alias) {
    HostOptions o;
    o.search_path = {GH_TEST_EXTERNALS_DIR};
    o.alias_vectors = alias;
    return o;
}

class ChainTest : public ::testing::TestWithParam<bool> {
protected:
    Host host{options(GetParam())};

    BoxId probe(int ins, int outs) {
        auto id = host.create("hostprobe~", {Atom::lng(ins), Atom::lng(outs)});
        EXPECT_TRUE(id.has_value());
        return id.value_or(0);
    }
    t_hostprobe *rec(BoxId id) { return static_cast<t_hostprobe *>(host.object(id)); }
    std::vector<float> out(BoxId id, int outlet) {
        const float *v = host.output(id, outlet);
        return v ? std::vector<float>(v, v + host.vector_size()) : std::vector<float>{};
    }
};

INSTANTIATE_TEST_SUITE_P(Vectors, ChainTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Aliased" : "Separate"; });

// Source A (no inlets, two outlets at the constant `bias`) feeds B twice into inlet 1 and once into
// inlet 2, which the embedder also feeds.
TEST_P(ChainTest, DspCountsVectorsAndFanInSums) {
    const BoxId a = probe(0, 2);
    const BoxId b = probe(2, 2);
    EXPECT_FLOAT_EQ(host.sample_rate(), 44100.0f);
    ASSERT_TRUE(host.connect(a, 1, b, 1));
    ASSERT_TRUE(host.connect(a, 2, b, 1));
    ASSERT_TRUE(host.connect(a, 1, b, 2));
    host.feed(b, 2);
    host.dsp_start(48000.0f, 8);
    EXPECT_FLOAT_EQ(sys_getsr(), 48000.0f);
    host.dsp_stop(); // the rate stays
    EXPECT_FLOAT_EQ(sys_getsr(), 48000.0f);
    host.dsp_start(48000.0f, 8);
    EXPECT_FLOAT_EQ(host.sample_rate(), 48000.0f);

    t_hostprobe *xa = rec(a), *xb = rec(b);
    EXPECT_EQ(xb->dsp_calls, 2);
    EXPECT_EQ(xb->dsp_n, 8);
    EXPECT_FLOAT_EQ(xb->dsp_sr, 48000.0f);
    // Counts: inlets then outlets; a fed inlet counts one more.
    EXPECT_THAT(std::vector<short>(xb->counts, xb->counts + 4), ElementsAre(2, 2, 0, 0));
    EXPECT_THAT(std::vector<short>(xa->counts, xa->counts + 2), ElementsAre(2, 1));
    // Aliasing: outlet k of B uses the memory of inlet k only when asked.
    EXPECT_EQ(xb->vecs[2] == xb->vecs[0], GetParam());
    EXPECT_EQ(xb->vecs[3] == xb->vecs[1], GetParam());
    EXPECT_NE(xa->vecs[0], xa->vecs[1]);
    EXPECT_EQ(host.output(b, 1), xb->vecs[2]);

    host.send(a, "bias", {Atom::flt(1.0f)});
    host.send(b, "gain", {Atom::flt(2.0f)});
    float *feed = host.input(b, 2);
    ASSERT_NE(feed, nullptr);
    EXPECT_EQ(host.input(b, 1), nullptr); // not fed
    for (int v = 0; v < 3; ++v) {
        for (int i = 0; i < 8; ++i) feed[i] = static_cast<float>(i);
        host.run_vector();
    }
    EXPECT_EQ(host.vectors_run(), 3u);
    EXPECT_THAT(out(a, 1), Each(1.0f));
    EXPECT_THAT(out(b, 1), Each(4.0f)); // (1 + 1) * 2
    EXPECT_THAT(out(b, 2), ElementsAre(2, 4, 6, 8, 10, 12, 14, 16)); // (i + 1) * 2
}

TEST_P(ChainTest, UnconnectedInletsReadZeroEveryVector) {
    const BoxId b = probe(1, 1);
    host.send(b, "bias", {Atom::flt(1.0f)});
    host.dsp_start(44100.0f, 4);
    for (int v = 0; v < 3; ++v) host.run_vector();
    // With aliasing the outlet's last vector must not leak into the next input.
    EXPECT_THAT(out(b, 1), Each(1.0f));
}

TEST_P(ChainTest, PerformWordsAndOrder) {
    // The consumer is made first; the chain still runs its source before it.
    const BoxId consumer = probe(1, 1);
    const BoxId loose = probe(0, 1);
    const BoxId source = probe(0, 1);
    ASSERT_TRUE(host.connect(source, 1, consumer, 1));
    host.dsp_start(44100.0f, 16);
    host.run_vector();
    host.run_vector();
    for (BoxId id : {consumer, loose, source}) {
        EXPECT_EQ(rec(id)->w1_seen, reinterpret_cast<t_int>(rec(id))); // w[1] is the first word
        EXPECT_EQ(rec(id)->performs, 2);
        EXPECT_EQ(rec(id)->marks, 2); // the second routine ran right after the first, every vector
    }
    EXPECT_LT(rec(source)->stamp, rec(consumer)->stamp);
    EXPECT_LT(rec(loose)->stamp, rec(source)->stamp); // ties go by creation order
    // The "dsp" handler's console lines carry its box.
    EXPECT_THAT(host.console_text(consumer), ::testing::Contains("dsp 16"));
    EXPECT_THAT(host.console_text(0), ::testing::Not(::testing::Contains("dsp 16")));
}

TEST_P(ChainTest, ConnectRejectsCyclesAndBadEnds) {
    const BoxId a = probe(1, 1);
    const BoxId b = probe(1, 1);
    const BoxId c = probe(1, 1);
    EXPECT_TRUE(host.connect(a, 1, b, 1));
    EXPECT_TRUE(host.connect(b, 1, c, 1));
    EXPECT_FALSE(host.connect(c, 1, a, 1)); // closes a -> b -> c -> a
    EXPECT_FALSE(host.connect(a, 1, a, 1));
    EXPECT_FALSE(host.connect(a, 1, b, 1)); // already there
    EXPECT_FALSE(host.connect(a, 2, c, 1)); // the information outlet carries no signal
    EXPECT_FALSE(host.connect(a, 0, c, 1));
    EXPECT_FALSE(host.connect(a, 3, c, 1));
    EXPECT_FALSE(host.connect(a, 1, c, 2));
    EXPECT_FALSE(host.connect(a, 1, c, 0));
    EXPECT_FALSE(host.connect(a, 1, 99, 1));
    EXPECT_FALSE(host.connect(99, 1, a, 1));
}

TEST_P(ChainTest, DetachedBoxRunsNoMoreAndChangesRebuildTheChain) {
    const BoxId a = probe(0, 1);
    const BoxId b = probe(1, 1);
    ASSERT_TRUE(host.connect(a, 1, b, 1));
    host.send(a, "bias", {Atom::flt(3.0f)});
    host.dsp_start(44100.0f, 4);
    host.run_vector();
    host.send(a, "dspfree");
    host.run_vector();
    EXPECT_EQ(rec(a)->performs, 1);
    EXPECT_THAT(out(b, 1), Each(0.0f)); // a detached source reads as silence
    EXPECT_EQ(rec(b)->performs, 2);

    // A new box while running: "dsp" again for every box, same rate and size.
    const BoxId c = probe(1, 1);
    EXPECT_EQ(rec(b)->dsp_calls, 2);
    EXPECT_EQ(rec(c)->dsp_calls, 1);
    EXPECT_EQ(rec(c)->dsp_n, 4);
    host.run_vector();
    EXPECT_EQ(rec(a)->performs, 2); // the rebuild attached it again
    EXPECT_THAT(out(b, 1), Each(3.0f));

    host.destroy(a);
    EXPECT_EQ(rec(b)->dsp_calls, 3);
    host.run_vector();
    EXPECT_THAT(out(b, 1), Each(0.0f));
    host.feed(b, 1);
    EXPECT_EQ(rec(b)->dsp_calls, 4);
    EXPECT_EQ(rec(b)->counts[0], 1);

    host.dsp_stop();
    EXPECT_FALSE(host.dsp_running());
    host.run_vector(); // nothing runs
    EXPECT_EQ(rec(b)->performs, 4);
    EXPECT_EQ(host.output(b, 1), nullptr);
}

TEST_P(ChainTest, DisabledWordIsSeenByThePerformRoutine) {
    const BoxId a = probe(0, 1);
    host.dsp_start(44100.0f, 4);
    host.set_disabled(a, true);
    host.run_vector();
    EXPECT_EQ(rec(a)->disabled_seen, 1);
    EXPECT_EQ(z_isdisabled(&rec(a)->ob), 1);
    host.set_disabled(a, false);
    host.run_vector();
    EXPECT_EQ(rec(a)->disabled_seen, 0);
}

TEST_P(ChainTest, ListsFromPerformRoutinesKeepOrderAndVectorNumbers) {
    const BoxId a = probe(0, 1);
    host.send(a, "emit", {Atom::lng(2)});
    host.dsp_start(44100.0f, 4);
    host.run_vector();
    host.send(a, "list", {Atom::sym("between")});
    host.run_vector();
    auto lists = host.lists(a);
    ASSERT_EQ(lists.size(), 5u);
    const uint64_t vectors[] = {0, 0, 1, 1, 1};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(lists[i].vector, vectors[i]) << i;
        EXPECT_EQ(lists[i].outlet, 2);
    }
    EXPECT_THAT(lists[0].atoms, ElementsAre(Atom::lng(1), Atom::sym("tick")));
    EXPECT_THAT(lists[2].atoms, ElementsAre(Atom::sym("between")));
    EXPECT_THAT(lists[4].atoms, ElementsAre(Atom::lng(2), Atom::sym("tick")));
    EXPECT_EQ(host.lists_dropped(), 0u);
}

TEST_P(ChainTest, ListsBeyondTheCaptureSpaceAreCountedNotStored) {
    const BoxId a = probe(0, 1);
    host.send(a, "emit", {Atom::lng(40000)});
    host.dsp_start(44100.0f, 4);
    host.run_vector();
    host.run_vector();
    EXPECT_EQ(host.lists(a).size() + host.lists_dropped(), 80000u);
    EXPECT_GT(host.lists_dropped(), 0u);
    // Space is free again once the lists were collected.
    host.clear_lists(a);
    host.send(a, "emit", {Atom::lng(1)});
    const uint64_t dropped = host.lists_dropped();
    host.run_vector();
    EXPECT_EQ(host.lists(a).size(), 1u);
    EXPECT_EQ(host.lists_dropped(), dropped);
}

TEST_P(ChainTest, RunVectorAllocatesNothing) {
#ifdef GH_SANITIZED
    GTEST_SKIP() << "the sanitizers replace malloc";
#else
    const BoxId a = probe(0, 2);
    const BoxId b = probe(2, 2);
    ASSERT_TRUE(host.connect(a, 1, b, 1));
    ASSERT_TRUE(host.connect(a, 2, b, 1));
    host.feed(b, 2);
    host.send(a, "emit", {Atom::lng(3)});
    host.buffer_create("alloc_env", {1.f, 2.f});
    host.dsp_start(44100.0f, 64);
    host.run_vector();
    allocations.store(0);
    tl_counting = true;
    for (int v = 0; v < 16; ++v) host.run_vector();
    tl_counting = false;
    EXPECT_EQ(allocations.load(), 0);
    // The counter does see the runtime's allocations: collecting the lists allocates.
    tl_counting = true;
    const size_t collected = host.lists(a).size();
    tl_counting = false;
    EXPECT_GT(allocations.load(), 0);
    EXPECT_EQ(collected, 17u * 3u);
#endif
}

// run_vector on an audio thread while the message thread sends messages, changes buffers and
// collects lists: no vector is lost and every list arrives once, in vector order.
TEST_P(ChainTest, VectorsOnAnotherThreadWhileMessagesArrive) {
    const BoxId a = probe(0, 1);
    const BoxId b = probe(1, 1);
    ASSERT_TRUE(host.connect(a, 1, b, 1));
    host.send(b, "emit", {Atom::lng(1)});
    host.buffer_create("thread_env", {1.f, 1.f});
    host.send(a, "watch", {Atom::sym("thread_env")});
    host.dsp_start(44100.0f, 32);
    constexpr int vectors = 2000;
    std::atomic<bool> done{false};
    std::thread audio([&] {
        for (int v = 0; v < vectors; ++v) host.run_vector();
        done.store(true);
    });
    int round = 0;
    size_t collected = 0;
    while (!done.load()) {
        host.send(a, "bias", {Atom::flt(static_cast<float>(round % 7))});
        host.send_float(b, 1, 0.5);
        // Every buffer change lands between vectors: the perform routine reading all samples of
        // the buffer never sees freed or shortened memory (AddressSanitizer would say so).
        switch (round % 4) {
        case 0: host.buffer_resize("thread_env", 20000 + round % 50); break;
        case 1: host.buffer_replace("thread_env", std::vector<float>(30000 + round % 70, 1.0f)); break;
        case 2: host.buffer_delete("thread_env"); break;
        case 3: host.buffer_create("thread_env", std::vector<float>(10000 + round % 30, 1.0f)); break;
        }
        const size_t now = host.lists(b).size(); // collects while the audio thread sends
        EXPECT_GE(now, collected);
        collected = now;
        ++round;
    }
    audio.join();
    EXPECT_EQ(host.vectors_run(), static_cast<uint64_t>(vectors));
    host.buffer_replace("thread_env", std::vector<float>(10, 1.0f));
    host.run_vector();
    const auto seen = host.lists(b);
    EXPECT_EQ(rec(a)->watch_frames, 10);
    EXPECT_FLOAT_EQ(rec(a)->watch_sum, 10.0f);
    EXPECT_EQ(rec(b)->performs, vectors + 1);
    ASSERT_EQ(seen.size() + host.lists_dropped(), static_cast<size_t>(vectors) + 1);
    for (size_t i = 1; i < seen.size(); ++i) ASSERT_LT(seen[i - 1].vector, seen[i].vector);
}

} // namespace

namespace {

// The threaded mode: the host's audio thread runs vectors back to back with the hooks around each
// one, while this thread sends messages, changes buffers and rebuilds the chain. Every vector runs
// its hooks once, in order, with the output of that very vector; a dsp_stop idles the thread; a
// waiting change gets the lock (the loop below would never end if the audio thread kept it).
TEST_P(ChainTest, ThreadedModeRunsHooksAroundEveryVector) {
    const BoxId a = probe(1, 1);
    host.feed(a, 1);
    host.buffer_create("thread_env", {1.f, 1.f});
    host.send(a, "watch", {Atom::sym("thread_env")});
    host.dsp_start(44100.0f, 16);

    std::atomic<uint64_t> hook_vectors{0}; // written by the audio thread only
    std::atomic<bool> fault{false};
    uint64_t last_before = ~uint64_t{0}; // audio thread only
    float *in = host.input(a, 1);
    host.start_audio_thread(
        [&](uint64_t v) {
            if (last_before != ~uint64_t{0} && v != last_before + 1) fault.store(true);
            last_before = v;
            for (int i = 0; i < 16; ++i) in[i] = static_cast<float>((v + static_cast<uint64_t>(i)) & 1023);
        },
        [&](uint64_t v) {
            const float *out = host.output(a, 1);
            for (int i = 0; i < 16; ++i) {
                if (!out || out[i] != static_cast<float>((v + static_cast<uint64_t>(i)) & 1023)) fault.store(true);
            }
            if (v != last_before) fault.store(true);
            hook_vectors.fetch_add(1);
        });
    EXPECT_TRUE(host.audio_thread_running());
    int round = 0;
    while (host.vectors_run() < 3000) {
        switch (round % 4) {
        case 0: host.buffer_resize("thread_env", 2000 + round % 50); break;
        case 1: host.buffer_replace("thread_env", std::vector<float>(3000 + round % 70, 1.0f)); break;
        case 2: host.buffer_delete("thread_env"); break;
        case 3: host.buffer_create("thread_env", std::vector<float>(1000 + round % 30, 1.0f)); break;
        }
        host.send(a, "emit", {Atom::lng(round % 2)});
        if (round % 50 == 25) host.dsp_start(44100.0f, 16); // a rebuild while the thread runs
        ++round;
    }
    host.dsp_stop();
    const uint64_t stopped_at = host.vectors_run();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(host.vectors_run(), stopped_at);
    host.stop_audio_thread();
    EXPECT_FALSE(host.audio_thread_running());
    EXPECT_FALSE(fault.load());
    EXPECT_EQ(hook_vectors.load(), stopped_at);

    // The calling thread runs vectors again as before.
    host.dsp_start(44100.0f, 16);
    host.run_vector();
    EXPECT_EQ(host.vectors_run(), stopped_at + 1);
    // A second start and stop work, and the destructor stops a running thread.
    host.start_audio_thread();
    while (host.vectors_run() < stopped_at + 10) std::this_thread::yield();
}

} // namespace
