// probe_record.h: the record of the test external hostprobe~, shared by the probe and the tests
// that read it (white-box) through Host::object().
#pragma once

#include <cstdint>

#include "ext_host.h"

struct t_hostprobe {
    t_pxobject ob;
    void *info;             // list outlet, made first (so rightmost)
    void *sig_out[8];       // signal outlets, in the order made
    int32_t n_in;           // signal inlets
    int32_t n_out;          // signal outlets
    void *block;            // a block from sysmem_newptr ("alloc" argument)

    // Written by the "dsp" handler.
    int32_t dsp_calls;
    int32_t dsp_n;
    float dsp_sr;
    short counts[32];       // inlets then outlets
    t_sample *vecs[32];     // inlets then outlets

    // Message thread -> perform routine (atomic access).
    float gain;             // msg -> dsp: out k = in (k mod n_in) * gain + bias
    float bias;             // msg -> dsp
    int32_t emit;           // msg -> dsp: lists sent per vector from the perform routine

    // Written by the perform routines (read by the tests after run_vector).
    int64_t stamp;          // value of a process-wide counter at the last perform
    t_int w1_seen;          // w[1] of the main perform routine
    int32_t performs;       // calls of the main perform routine
    int32_t marks;          // calls of the second routine, which checks it runs after the main one
    int32_t disabled_seen;  // z_isdisabled at the last perform
    t_symbol *watch;        // msg -> dsp: a buffer~ name the perform routine reads every vector
    float watch_sum;        // sum of the watched buffer's samples at the last perform
    int32_t watch_frames;   // its frame count then (-1: nothing bound)
};
