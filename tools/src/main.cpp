// main.cpp: the grainhost command-line program (see cli.hpp).
#include "cli.hpp"

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return ghtool::run(args);
}
