// simd.cpp: the run-time choice of the renderers' instruction set.
#include "toolkit/simd.h"

#include <atomic>
#include <cstring>

namespace toolkit {

namespace {

simd_level detect() noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    // __builtin_cpu_supports checks the OS's saved state (XCR0) as well as the cpuid bits.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return simd_level::avx512;
    if (__builtin_cpu_supports("avx2")) return simd_level::avx2;
    return simd_level::sse2;
#else
    return simd_level::reference;
#endif
}

// Written by simd_select (message thread, tests), read by the perform routines.
std::atomic<int32_t> g_active{-1};

} // namespace

simd_level simd_supported() noexcept {
    static const simd_level level = detect();
    return level;
}

simd_level simd_active() noexcept {
    const int32_t v = g_active.load(std::memory_order_relaxed);
    return v < 0 ? simd_supported() : simd_level(v);
}

simd_level simd_select(simd_level wanted) noexcept {
    const simd_level top = simd_supported();
    const simd_level level = int32_t(wanted) > int32_t(top) ? top : wanted;
    g_active.store(int32_t(level), std::memory_order_relaxed);
    return level;
}

const char *simd_name(simd_level level) noexcept {
    switch (level) {
    case simd_level::reference: return "reference";
    case simd_level::sse2: return "sse2";
    case simd_level::avx2: return "avx2";
    case simd_level::avx512: return "avx512";
    }
    return "reference";
}

bool simd_parse(const char *name, simd_level &level) noexcept {
    if (name == nullptr) return false;
    for (int32_t v = 0; v <= int32_t(simd_level::avx512); ++v) {
        if (std::strcmp(name, simd_name(simd_level(v))) == 0) {
            level = simd_level(v);
            return true;
        }
    }
    return false;
}

} // namespace toolkit
