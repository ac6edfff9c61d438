// harness.h: one fuzz input played against the host and both externals.
//
// The input bytes are a small program: a header (the class of the first box, vector aliasing, the
// sample rate and vector size), then operations until the bytes run out: boxes created and
// destroyed, messages with any selector and atoms, floats and bangs into any inlet, buffer~ objects
// created, replaced, resized, deleted, made invalid or in use, signal connections and fed inlets,
// disabled boxes, chains started and stopped at other rates and sizes, vectors run, assist calls and
// failing allocations. Short reads give zeros, so every byte string is a valid program.
//
// Checked after every vector: every signal output of every box whose inputs stayed within +-1e6
// (creation arguments, message numbers, floats, fed signal samples, the outputs of the boxes
// connected into it, every buffer~ sample) is finite. Crashes and sanitizer findings are the
// caller's to catch (libFuzzer, or the replay test under AddressSanitizer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ghfuzz {

struct options {
    // Non-empty: every box is of this class ("brindel~" or "carvell~"), for runs aimed at one
    // external. Empty: the input chooses.
    std::string only_class;
    bool keep_console = false; // return the console lines in the result
    bool trace = false;        // print every operation and console line to stderr as it comes
};

struct result {
    bool ok = true;
    std::string failure; // what was not finite, where (empty when ok)
    // What the input did, to see that a seed reaches what it was written for.
    int boxes = 0;                  // boxes created
    int vectors = 0;                // vectors run
    long sounding = 0;              // non-zero output samples seen by the check
    std::vector<std::string> console; // console lines, when options.keep_console
};

// Plays one input. The harness owns the process's grainhost::Host (no other may exist while it runs
// inputs) and hands every input a Host in the state of a new one.
result run_one(const uint8_t *data, size_t size, const options &opt = {});

} // namespace ghfuzz
