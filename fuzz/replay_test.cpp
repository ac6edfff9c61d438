// replay_test.cpp: every file of fuzz/corpus and fuzz/regressions played through the fuzz harness in
// the ordinary test build (and so under AddressSanitizer/UBSan in the sanitizer build). A crash fails
// the test binary; a non-finite output with bounded inputs fails the file's case.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_in(const char *dir) {
    std::vector<fs::path> files;
    if (!fs::is_directory(dir)) return files;
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file() && e.path().filename().string()[0] != '.' && e.path().extension() != ".md") {
            files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Inputs found by a run aimed at one class (GH_FUZZ_CLASS) are kept in a folder named after it,
// regressions/brindel/ or regressions/carvell/, and replayed the same way.
ghfuzz::options options_for(const fs::path &file) {
    ghfuzz::options o;
    const std::string folder = file.parent_path().filename().string();
    if (folder == "brindel" || folder == "carvell") o.only_class = folder + "~";
    return o;
}

void replay_all(const char *dir, bool must_exist) {
    const std::vector<fs::path> files = inputs_in(dir);
    if (must_exist) {
        ASSERT_FALSE(files.empty()) << "no inputs in " << dir;
    }
    for (const fs::path &p : files) {
        std::ifstream f(p, std::ios::binary);
        ASSERT_TRUE(f) << p;
        const std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(p.string());
        const ghfuzz::result r =
            ghfuzz::run_one(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), options_for(p));
        EXPECT_TRUE(r.ok) << r.failure;
    }
}

TEST(FuzzReplay, SeedCorpus) { replay_all(GH_FUZZ_CORPUS_DIR, true); }

TEST(FuzzReplay, Regressions) { replay_all(GH_FUZZ_REGRESSIONS_DIR, false); }

// Short inputs read zeros past their end: the empty input is a brindel~ with the default envelope
// at 44100 Hz, vectors of 64, run twice.
TEST(FuzzReplay, EmptyAndTinyInputsRun) {
    for (size_t n = 0; n < 4; ++n) {
        const std::vector<uint8_t> zeros(n, 0);
        EXPECT_TRUE(ghfuzz::run_one(zeros.data(), zeros.size()).ok);
    }
}

} // namespace
