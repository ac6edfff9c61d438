// cli.hpp: the command line of `grainhost`: `grainhost render [PATCH] [options]`, `--help`,
// `--version`. parse_command_line() only reads the words; run() does the work and returns the exit
// status (0 only on success).
#pragma once

#include <string>
#include <vector>

#include "render.hpp"

namespace ghtool {

struct Command {
    enum class What { Help, Version, Render };
    What what = What::Help;
    std::string patch;       // empty: the built-in demo
    std::string log_path;    // --log FILE
    bool output_given = false;
    RenderOptions options;
};

// Throws PatchError "grainhost: ..." for a word it cannot use.
Command parse_command_line(const std::vector<std::string> &args);

// The whole program: parses, renders, reports. args excludes argv[0].
int run(const std::vector<std::string> &args);

extern const char *const demo_patch; // the built-in demo, a patch like any other
std::string help_text();

} // namespace ghtool
