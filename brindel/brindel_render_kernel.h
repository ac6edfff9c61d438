// brindel_render_kernel.h: the vector kernel of brindel~'s fast renderer, included once per
// instruction set by brindel_render_simd.cpp inside its own namespace, after that namespace has
// defined:
//   W  doubles per vector vd (lanes of the oscillator pass), G  vectors run side by side,
//   F  floats per vector vf (output pass), transpose(lanes, rows, groups, steps), and
//   dload, dset1, osc_step (one recurrence step of W lanes, storing the W float outputs),
//   values (F output values from F envelope values and F oscillator values), fset1, floadu,
//   fstoreu, fadd (a + b, a the first operand), fmul, and block_outputs: true when the namespace
//   defines block_pass (after this file) to sum the outputs block by block.
// No #include here: everything is compiled for the including namespace's instruction set.
//
// Arithmetic, the same IEEE operations in the same order as the per-voice reference:
//   y = float(coef * y1 - y2) in double (no fused multiply-add: the build forbids contraction),
//   v = float(double(env) * double(y) * amp), left to right,
//   out[o] = out[o] + v * gain[o] in float (one output: out + v), voices in ascending slot order.

// The oscillators of the first Gu vectors of lanes over `steps` samples, each lane from its own
// state; the float outputs go to s.lanes[vector][sample][lane]. The state is not updated here.
template <int Gu>
void oscillators(const batch &b, scratch &s, int steps) noexcept {
    vd c[Gu], y1[Gu], y2[Gu];
#pragma GCC unroll 16
    for (int g = 0; g < Gu; ++g) {
        c[g] = dload(b.coef + g * W);
        y1[g] = dload(b.y1 + g * W);
        y2[g] = dload(b.y2 + g * W);
    }
    float *dst = s.lanes;
    // two samples per round (steps is even), the newest value taking the register of the oldest
    for (int t = 0; t < steps; t += 2) {
#pragma GCC unroll 16
        for (int g = 0; g < Gu; ++g) osc_into(c[g], y1[g], y2[g], dst + g * chunk * W);
#pragma GCC unroll 16
        for (int g = 0; g < Gu; ++g) osc_into(c[g], y2[g], y1[g], dst + W + g * chunk * W);
        dst += 2 * W;
    }
}

void oscillators_dispatch(const batch &b, scratch &s, int groups, int steps) noexcept {
    static_assert(G <= 16);
    switch (groups) {
#define BR_CASE(k) case k: oscillators<k <= G ? k : G>(b, s, steps); break;
    BR_CASE(1) BR_CASE(2) BR_CASE(3) BR_CASE(4) BR_CASE(5) BR_CASE(6) BR_CASE(7) BR_CASE(8)
    BR_CASE(9) BR_CASE(10) BR_CASE(11) BR_CASE(12) BR_CASE(13) BR_CASE(14) BR_CASE(15)
#undef BR_CASE
    default: oscillators<G>(b, s, steps); break;
    }
}

// out[t] (+)= v[t] (* gain) for one voice's samples: the rows of the oscillator and the envelope.
template <int N>
void voice_add(const float *y, const float *env, double amp, const float *gain, t_sample *const *dst,
               int count) noexcept {
    int t = 0;
    const vd a = dset1(amp);
    vf g[N];
    for (int k = 0; k < N; ++k) g[k] = fset1(gain[k]);
    for (; t + F <= count; t += F) {
        const vf v = values(env + t, y + t, a);
        // (v * gain) + out: the operand order of the reference's compiled add, which decides
        // which NaN comes out when both are NaN
        if constexpr (N == 1) {
            fstoreu(dst[0] + t, fadd(v, floadu(dst[0] + t)));
        } else {
#pragma GCC unroll 8
            for (int k = 0; k < N; ++k) fstoreu(dst[k] + t, fadd(fmul(v, g[k]), floadu(dst[k] + t)));
        }
    }
    for (; t < count; ++t) {
        const float v = float(double(env[t]) * double(y[t]) * amp);
        if constexpr (N == 1) {
            dst[0][t] += v;
        } else {
            for (int k = 0; k < N; ++k) dst[k][t] += v * gain[k];
        }
    }
}

// block_pass: where the namespace sets block_outputs, the voices' values of one pass are formed
// first (s.vals), then the outputs are summed block by block in registers; defined by the
// namespace.
template <int N>
void block_pass(batch &b, scratch &s, const int *from, const int *count, t_sample *const *out,
                int s0, int len, bool interp, const float *interp_table) noexcept;

// Where the namespace sets vector_bookkeeping, it defines these (after this file): each voice's
// part of the pass (returns the most samples of a voice), and the state update after the pass.
int pass_parts(const batch &b, int s0, int s1, int *from, int *count) noexcept;
void pass_state(batch &b, const scratch &s, const int *count, int run) noexcept;

template <int N>
void render_batch(batch &b, scratch &s, t_sample *const *out, int n, bool interp,
                  const float *interp_table) noexcept {
    const int groups = (b.count + W - 1) / W;
    for (int s0 = 0; s0 < n; s0 += chunk) {
        const int s1 = n - s0 < chunk ? n : s0 + chunk;
        // Each voice's part of this pass: output samples [from, from + count).
        int from[lanes_max], count[lanes_max];
        int steps;
        if constexpr (vector_bookkeeping) {
            steps = pass_parts(b, s0, s1, from, count);
        } else {
            steps = 0;
            for (int j = 0; j < b.count; ++j) {
                const int a = b.first[j] > s0 ? b.first[j] : s0;
                const int e = b.first[j] + b.length[j] < s1 ? b.first[j] + b.length[j] : s1;
                from[j] = a;
                count[j] = e > a ? e - a : 0;
                if (count[j] > steps) steps = count[j];
            }
        }
        if (steps == 0) continue;
        // Whole blocks of 8 samples for the transposition; the extra samples are never used.
        const int run = (steps + 7) & ~7;
        oscillators_dispatch(b, s, groups, run);
        transpose(s.lanes, s.rows, groups, run);

        // Every lane ran `run` samples: a voice that sounds through them takes the oscillators'
        // end state, the others their state after their own c samples, from their row.
        if constexpr (vector_bookkeeping) {
            pass_state(b, s, count, run);
        } else {
            for (int j = 0; j < b.count; ++j) {
                const int c = count[j];
                if (c == 0) continue;
                const float *row = s.rows + j * chunk;
                b.y2[j] = c >= 2 ? double(row[c - 2]) : b.y1[j];
                b.y1[j] = double(row[c - 1]);
            }
        }

        if constexpr (block_outputs) {
            block_pass<N>(b, s, from, count, out, s0, s1 - s0, interp, interp_table);
        } else {
            for (int j = 0; j < b.count; ++j) {
                const int c = count[j];
                if (c == 0) continue;
                toolkit::env_cursor_read(b.cursor[j], c, interp, interp_table, s.env);
                b.env_last[j] = s.env[c - 1];
                float gain[N];
                t_sample *dst[N];
                for (int k = 0; k < N; ++k) {
                    gain[k] = N > 1 ? b.gain[k][j] : 1.0f;
                    dst[k] = out[k] + from[j];
                }
                voice_add<N>(s.rows + j * chunk, s.env, b.amp[j], gain, dst, c);
            }
        }
    }
}
