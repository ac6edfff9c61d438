// spsc_queue.h: a fixed-capacity single-producer single-consumer queue of trivial records.
//
// Lives inside a zero-filled host record (no constructor). The producer (message thread) fills a
// record and publishes it with a release store of the tail; the consumer (audio thread) acquires the
// tail, copies the record out and releases the head. Neither side allocates or locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "toolkit/shared_word.h"

namespace toolkit {

template <class T, uint32_t Capacity>
class spsc_queue {
    static_assert(std::is_trivially_copyable_v<T>);
    static_assert((Capacity & (Capacity - 1)) == 0, "capacity must be a power of two");

public:
    // Producer side. false when full: the record is not queued.
    bool push(const T &item) noexcept {
        const uint32_t tail = tail_.load(std::memory_order_relaxed);
        const uint32_t head = head_.load(std::memory_order_acquire);
        if (tail - head >= Capacity) return false;
        items_[tail & (Capacity - 1)] = item;
        tail_.store(tail + 1, std::memory_order_release);
        return true;
    }
    // Consumer side. false when empty.
    bool pop(T &item) noexcept {
        const uint32_t head = head_.load(std::memory_order_relaxed);
        const uint32_t tail = tail_.load(std::memory_order_acquire);
        if (head == tail) return false;
        item = items_[head & (Capacity - 1)];
        head_.store(head + 1, std::memory_order_release);
        return true;
    }
    // Consumer side: the oldest record without removing it.
    const T *peek() const noexcept {
        const uint32_t head = head_.load(std::memory_order_relaxed);
        const uint32_t tail = tail_.load(std::memory_order_acquire);
        return head == tail ? nullptr : &items_[head & (Capacity - 1)];
    }

private:
    shared_word<uint32_t> head_; // dsp -> msg
    shared_word<uint32_t> tail_; // msg -> dsp
    T items_[Capacity];
};

} // namespace toolkit
