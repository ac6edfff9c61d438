// Whole renders through the grainhost program: the same patch rendered twice gives the same file,
// byte for byte, for both externals and a chain of them.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int run(const std::string &cmd) {
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

} // namespace

TEST(Repeat, SamePatchRenderedTwiceGivesTheSameFile) {
    struct Case {
        const char *name;
        const char *patch;
    } cases[] = {
        {"cloud8", "samplerate 96000\nvectorsize 3\nduration 150ms\nbuffer env hann 300\n"
                   "box b brindel~ env 8\nsignal b 1 impulse 200\nsignal b 2 noise 100 4000\n"
                   "signal b 6 noise 0 8\nsignal b 5 const 20\nsignal b 4 const 0.2\n"},
        {"chain6", "samplerate 8000\nvectorsize 1000\nduration 700ms\nbuffer env tukey 256 0.5\n"
                   "box src brindel~ env 1\nsignal src 1 impulse 30\nsignal src 2 noise 200 900\n"
                   "box g carvell~ env 6 1000.0\nconnect src 1 g 1\nsignal g 2 impulse 90\n"
                   "signal g 3 noise 0 200\nsignal g 4 noise -2 2\nsignal g 7 noise 0 6\n"
                   "at 300ms send g freeze 1\nat 350ms send src nvoices 2\n"},
    };
    char templ[] = "/tmp/grainhost-validation-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    const fs::path dir = templ;
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path patch = dir / (std::string(c.name) + ".ghp");
        std::ofstream(patch) << c.patch;
        std::string files[2];
        for (int k = 0; k < 2; ++k) {
            const fs::path out = dir / (std::string(c.name) + std::to_string(k) + ".wav");
            ASSERT_EQ(run("'" GRAINHOST_BIN "' render -q '" + patch.string() + "' -o '" + out.string() + "'"), 0);
            files[k] = slurp(out);
        }
        // More than a header: the render sounds (some byte of the samples is not zero).
        ASSERT_GT(files[0].size(), 1000u);
        EXPECT_NE(files[0].find_first_not_of('\0', 100), std::string::npos);
        EXPECT_TRUE(files[0] == files[1]) << "two renders differ";
    }
    fs::remove_all(dir);
}
