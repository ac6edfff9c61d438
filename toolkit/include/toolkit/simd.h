// simd.h: which vector instruction set the renderers use, chosen once at run time.
//
// The renderers keep one straightforward per-voice path (the reference) and fast paths built for
// SSE2 (the x86-64 baseline), AVX2 and AVX-512. Every path does the same IEEE operations in the same
// order, so all of them give the same bits; the level only changes the speed.
//
// The level is the highest one the CPU and the OS support, lowered by the environment variable
// GRAINHOST_SIMD ("sse2", "avx2", "avx512"; "reference" selects the per-voice path) when the library
// is set up. Benchmarks and tests use it to compare the paths.
#pragma once

#include <cstdint>

namespace toolkit {

enum class simd_level : int32_t { reference = 0, sse2 = 1, avx2 = 2, avx512 = 3 };

// The highest level this machine runs (cpuid and the OS's saved register state).
simd_level simd_supported() noexcept;

// The level the perform routines use now: one relaxed load, audio-safe.
simd_level simd_active() noexcept;

// Sets the level, capped at simd_supported(); returns the level now active. toolkit_setup calls it
// with the level GRAINHOST_SIMD names; tests that link the renderers call it directly.
simd_level simd_select(simd_level wanted) noexcept;

// "reference", "sse2", "avx2", "avx512".
const char *simd_name(simd_level level) noexcept;

// The level a name stands for; false for an unknown name.
bool simd_parse(const char *name, simd_level &level) noexcept;

} // namespace toolkit
