// brindel_render_batch.h: what the fast renderer of brindel~ hands to its vector kernels.
//
// The fast path gathers up to lanes_max sounding voices (ascending slot order) into a batch; a
// kernel runs their oscillators side by side in vector lanes, one voice per lane, and then adds each
// voice into the outputs in turn, vectorised over the samples. The kernels exist once per
// instruction set (brindel_render_simd.cpp); this header is plain data, safe for every one of them.
#pragma once

#include <cstdint>

#include "brindel.h"
#include "toolkit/env_read.h"

namespace brindel_render {

constexpr int lanes_max = 128; // voices per batch: 16 vectors of 8 doubles
constexpr int chunk = 64;     // output samples per pass; longer vectors take several

// Lanes from count to the end of the last vector in use are padding: a zero oscillator.
struct batch {
    int32_t count;                  // voices in the batch
    int32_t slot[lanes_max];        // their slots, ascending
    int32_t first[lanes_max];       // output sample of the voice's first sample this vector
    int32_t length[lanes_max];      // samples to render this vector, 1 or more
    alignas(64) double coef[lanes_max]; // 2 cos(w)
    alignas(64) double y1[lanes_max];   // oscillator state: float values held as doubles
    alignas(64) double y2[lanes_max];
    double amp[lanes_max];
    float gain[brindel_max_outputs][lanes_max];
    float env_last[lanes_max];      // last envelope value read
    toolkit::env_cursor cursor[lanes_max];
};

constexpr int vals_stride = chunk + 16; // a row of s.vals: one pass and a vector of slack

// Working memory of one batch pass.
struct scratch {
    // The oscillators' output, [vector][sample][lane]; once transposed into rows, the same memory
    // takes the voices' output values (vals, one row of vals_stride per voice, at the pass's
    // sample positions) where the kernel sums the outputs block by block.
    alignas(64) float lanes[lanes_max * vals_stride];
    alignas(64) float rows[lanes_max * chunk];  // the same, one row of samples per voice
    alignas(64) float env[lanes_max * chunk];   // envelope values, one row per voice

    float *vals() noexcept { return lanes; }
};

// One kernel per instruction set; N outputs. Renders the batch over a vector of n samples into
// out (which holds the earlier voices' sum) and leaves the new oscillator state in the batch.
#define BRINDEL_KERNEL_DECL(ns)                                                                    \
    namespace ns {                                                                                 \
    template <int N>                                                                               \
    void render_batch(batch &b, scratch &s, t_sample *const *out, int n, bool interp,              \
                      const float *interp_table) noexcept;                                         \
    }
BRINDEL_KERNEL_DECL(sse2)
BRINDEL_KERNEL_DECL(avx2)
BRINDEL_KERNEL_DECL(avx512)
#undef BRINDEL_KERNEL_DECL

} // namespace brindel_render
