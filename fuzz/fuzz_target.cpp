// fuzz_target.cpp: the libFuzzer entry points around the harness.
//
// GH_FUZZ_CLASS=brindel~ (or carvell~) in the environment aims every box of a run at one external.
// GH_FUZZ_VERBOSE=1 prints what each input did (console lines, boxes, vectors, sounding samples);
// GH_FUZZ_TRACE=1 prints every operation as it is played, console lines interleaved.
// A non-finite output with bounded inputs traps, so libFuzzer records the input as a crash.
#include <cstdio>
#include <cstdlib>

#include "harness.h"

namespace {
ghfuzz::options fuzz_options;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (const char *c = std::getenv("GH_FUZZ_CLASS")) fuzz_options.only_class = c;
    fuzz_options.keep_console = std::getenv("GH_FUZZ_VERBOSE") != nullptr;
    fuzz_options.trace = std::getenv("GH_FUZZ_TRACE") != nullptr;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const ghfuzz::result r = ghfuzz::run_one(data, size, fuzz_options);
    if (fuzz_options.keep_console) {
        for (const std::string &line : r.console) std::fprintf(stderr, "console: %s\n", line.c_str());
        std::fprintf(stderr, "ghfuzz: %d boxes, %d vectors, %ld sounding samples\n", r.boxes, r.vectors,
                     r.sounding);
    }
    if (!r.ok) {
        std::fprintf(stderr, "ghfuzz: %s\n", r.failure.c_str());
        __builtin_trap();
    }
    return 0;
}
