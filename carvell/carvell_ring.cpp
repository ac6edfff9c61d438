// carvell_ring.cpp: recording into the live-input ring, the freeze and the grain bounds.
//
// Everything here runs on the audio thread except freeze_request_next (message thread), which only
// computes the word the "freeze" handler stores.
#include "carvell_ring.h"

#include <algorithm>
#include <cstring>

#include "toolkit/common.h"

namespace carvell {

namespace {

// p reduced into 0 to L - 1 (p - L * floor(p / L) on integers).
int32_t wrap(int64_t p, int32_t length) noexcept {
    int64_t q = p % length;
    if (q < 0) q += length;
    return int32_t(q);
}

} // namespace

void ring_write(carvell_ring &r, const float *in, int32_t n) noexcept {
    const int32_t length = r.ring_length;
    if (n <= 0 || length <= 0) return;

    if (r.freeze_flag == 0) {
        int32_t w = r.write_index;
        int32_t done = 0;
        while (done < n) {
            // Only W = L (or a W that was never reduced) wraps: the next sample goes to position 0.
            if (w >= length || w < 0) w = wrap(w, length);
            const int32_t run = std::min(n - done, length - w);
            std::memcpy(r.ring + w, in + done, size_t(run) * sizeof(float));
            w += run;
            done += run;
        }
        r.write_index = w;
        r.freeze_index = w;
        r.freeze_written = 0;
        return;
    }

    // Frozen: the recorder goes on at S while the countdown lasts; W stays where the freeze began.
    int32_t s = r.freeze_index;
    int32_t done = 0;
    while (done < n && r.freeze_countdown > 0) {
        if (s >= length || s < 0) s = wrap(s, length);
        const int32_t run = std::min({n - done, length - s, r.freeze_countdown});
        std::memcpy(r.ring + s, in + done, size_t(run) * sizeof(float));
        s += run;
        done += run;
        r.freeze_countdown -= run;
        r.freeze_written += run;
    }
    r.freeze_index = s;
}

void freeze_start(carvell_ring &r) noexcept {
    r.freeze_written = 0;
    r.freeze_flag = 1;
    r.freeze_countdown = freeze_samples;
    r.freeze_index = r.write_index;
}

void freeze_end(carvell_ring &r) noexcept {
    r.freeze_flag = 0;
    r.write_index = r.freeze_index;
}

uint32_t freeze_request_next(uint32_t request, int32_t a) noexcept {
    uint32_t starts = request >> 1;
    bool frozen = (request & 1u) != 0;
    if (a > 0) {
        // A freeze while frozen ends it, as "freeze 0" would.
        if (frozen) {
            frozen = false;
        } else {
            frozen = true;
            ++starts; // wraps after 2^31 freezes; only equality with the applied word matters
        }
    } else {
        frozen = false;
    }
    return (starts << 1) | (frozen ? 1u : 0u);
}

void freeze_apply(carvell_ring &r, uint32_t &applied, uint32_t request) noexcept {
    if (request == applied) return;
    const bool want_frozen = (request & 1u) != 0;
    if ((request >> 1) != (applied >> 1)) {
        // At least one freeze started since the last vector: any freeze in force ended first. A freeze
        // that both started and ended in between left nothing behind (it ended with W := S = W).
        if (r.freeze_flag != 0) freeze_end(r);
        if (want_frozen) freeze_start(r);
    } else if (!want_frozen && r.freeze_flag != 0) {
        freeze_end(r);
    }
    applied = request;
}

grain_limits grain_bounds(const carvell_ring &r, int32_t constraint, int32_t d, int32_t g,
                          float t) noexcept {
    grain_limits lim{0, r.ring_length - 1, grain_max_samples};
    const int32_t length = r.ring_length;
    const int32_t written = r.freeze_written;
    const bool exhausted = r.freeze_flag != 0 && r.freeze_countdown == 0;
    const float gf = float(g);
    // Integer sums are formed in 64 bits (a saturated delay plus N must not overflow), then become
    // floats as in the float expressions they enter.
    const float n_plus_d = float(int64_t(written) + d);
    const float n_minus_l_plus_d = float(int64_t(written) - length + d);
    const float l_minus_n = float(int64_t(length) - written);

    if (constraint != 0) {
        if (exhausted) {
            if (t > 0.0f)
                lim.dmin = toolkit::trunc_i32(gf * t - float(written));
            else
                lim.dmax = toolkit::trunc_i32(l_minus_n + gf * t);
        } else if (t > 1.0f) {
            lim.dmin = toolkit::trunc_i32((t - 1.0f) * gf - float(written));
        } else if (t < 1.0f) {
            lim.dmax = toolkit::trunc_i32(l_minus_n + (t - 1.0f) * gf);
        }
    } else {
        if (exhausted) {
            // t exactly 0: the grain stays at one position of the fixed material and never leaves it,
            // so no bound beyond the general one applies.
            if (t > 0.0f)
                lim.gmax = toolkit::trunc_i32(n_plus_d / t);
            else if (t < 0.0f)
                lim.gmax = toolkit::trunc_i32(n_minus_l_plus_d / t);
        } else if (t > 1.0f) {
            lim.gmax = toolkit::trunc_i32(n_plus_d / (t - 1.0f));
        } else if (t < 1.0f) {
            lim.gmax = toolkit::trunc_i32(n_minus_l_plus_d / (t - 1.0f));
        }
    }
    return lim;
}

} // namespace carvell
