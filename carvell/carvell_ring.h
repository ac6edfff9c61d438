// carvell_ring.h: the live-input ring of carvell~ with its freeze and the grain bounds.
//
// The perform routine (audio thread) owns every field of carvell_ring: it records each input vector
// (ring_write), applies the freeze requests of the "freeze" message at the start of a vector
// (freeze_apply) and asks grain_bounds for the limits of every grain it starts. The message thread
// only computes a new request word (freeze_request_next) and stores it. Plain functions on plain
// values, so tests call them without a host.
#pragma once

#include <cstdint>

namespace carvell {

constexpr int32_t ring_min_samples = 22050;    // 500 ms at 44100 Hz
constexpr int32_t ring_max_samples = 4410000;  // 100 s at 44100 Hz
constexpr int32_t ring_default_samples = 441000;
constexpr int32_t freeze_samples = 11025;      // what the recorder still writes once frozen
constexpr int32_t grain_max_samples = 4646000; // length bound when nothing else bounds a grain

// The recording. Positions are counted without wrap-around; position p lives in ring[p mod L].
struct carvell_ring {
    int32_t ring_length;      // L, samples; fixed at creation
    float *ring;              // L samples of recorded input
    int32_t write_index;      // W: one past the newest sample recorded while not frozen, 0 to L
    int32_t freeze_index;     // S: where the recorder writes next while frozen; W after a normal vector
    int32_t freeze_flag;      // 1 while frozen
    int32_t freeze_countdown; // R: samples the frozen recorder may still write
    int32_t freeze_written;   // N: samples recorded since the freeze started; 0 while not frozen
};

// Records n input samples: at W while recording; while frozen at S, until the countdown is spent.
void ring_write(carvell_ring &r, const float *in, int32_t n) noexcept;

// The freeze starts: the present stays at W, the recorder goes on from W for 11025 samples.
void freeze_start(carvell_ring &r) noexcept;
// The freeze ends: recording resumes where the frozen recorder stopped (W := S).
void freeze_end(carvell_ring &r) noexcept;

// "freeze" requests travel as one word: (number of freezes started << 1) | (1 while frozen). The
// message thread is its only writer; the perform routine compares it with the word it applied last.
// NB: counting the starts keeps "end then start again" between two vectors distinct from "no change".
uint32_t freeze_request_next(uint32_t request, int32_t a) noexcept;
// Audio thread, start of a vector: brings the ring to the state `request` asks for, as if each message
// had been handled between the previous vector and this one.
void freeze_apply(carvell_ring &r, uint32_t &applied, uint32_t request) noexcept;

// "constraint": on for any non-zero argument.
inline int32_t constraint_value(int32_t a) noexcept { return a != 0 ? 1 : 0; }

struct grain_limits {
    int32_t dmin; // a delay below dmin becomes delay + dmin
    int32_t dmax; // otherwise a delay above dmax becomes dmax
    int32_t gmax; // the grain's length is at most gmax
};

// Bounds of a grain with delay d (samples, 0 or more), length g (samples, 0 or more) and read speed
// t. With the constraint the delay moves so the grain stays inside the recorded material; without it
// the length is cut where the grain would leave it. Float arithmetic, results truncated toward zero
// (saturating).
grain_limits grain_bounds(const carvell_ring &r, int32_t constraint, int32_t d, int32_t g,
                          float t) noexcept;

} // namespace carvell
