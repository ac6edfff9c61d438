// shared_word.h: one word shared between the message thread and the audio thread.
//
// Instance records are plain host records (allocated and zero-filled by newobject), so their shared
// fields cannot be std::atomic members with constructors. shared_word<T> is a trivial wrapper whose
// value is only reached through atomic loads and stores (std::atomic_ref): relaxed by default, with
// release/acquire where a record is published. A zero-filled shared_word holds T{}.
#pragma once

#include <atomic>
#include <type_traits>

namespace toolkit {

template <class T>
class shared_word {
    static_assert(std::is_trivially_copyable_v<T>);
    static_assert(std::atomic_ref<T>::is_always_lock_free, "shared words must be lock-free");

public:
    T load(std::memory_order order = std::memory_order_relaxed) const noexcept {
        return std::atomic_ref<T>(value_).load(order);
    }
    void store(T v, std::memory_order order = std::memory_order_relaxed) noexcept {
        std::atomic_ref<T>(value_).store(v, order);
    }
    T exchange(T v, std::memory_order order = std::memory_order_acq_rel) noexcept {
        return std::atomic_ref<T>(value_).exchange(v, order);
    }
    bool compare_exchange(T &expected, T desired,
                          std::memory_order order = std::memory_order_acq_rel) noexcept {
        return std::atomic_ref<T>(value_).compare_exchange_strong(expected, desired, order);
    }
    T fetch_add(T v, std::memory_order order = std::memory_order_acq_rel) noexcept {
        return std::atomic_ref<T>(value_).fetch_add(v, order);
    }

private:
    alignas(std::atomic_ref<T>::required_alignment) mutable T value_;
};

} // namespace toolkit
