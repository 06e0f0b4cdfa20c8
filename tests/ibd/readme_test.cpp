// The README's genotype example, run: its output block must be what the
// commands print.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "test_util.h"

namespace {

// The fenced block after the line `marker`, and the command block before it.
void blocks_around(const std::string& text, const std::string& marker, std::string& command, std::string& output)
{
    const std::size_t at = text.find(marker);
    ASSERT_NE(at, std::string::npos) << marker;
    const std::size_t cmd_end = text.rfind("```\n", at);
    const std::size_t cmd_start = text.rfind("```sh\n", cmd_end);
    command = text.substr(cmd_start + 6, cmd_end - cmd_start - 6);
    const std::size_t out_start = text.find("```text\n", at) + 8;
    output = text.substr(out_start, text.find("```\n", out_start) - out_start);
}

TEST(Readme, GenotypeExampleOutputIsWhatTheCommandsPrint)
{
    std::ifstream in(std::string(BRELL_SOURCE_DIR) + "/README.md");
    std::stringstream readme;
    readme << in.rdbuf();
    std::string command, shown;
    blocks_around(readme.str(), "<!-- brell-ibd example output -->", command, shown);
    EXPECT_EQ(command,
              "cd examples/ibd && ../../build/tools/ibd/brell-ibd -p study.ped -d study.dat -m study.map -o out "
              "--quiet && cd out/chr1 && ../../../../build/brell LIN >/dev/null && "
              "../../../../build/tools/plot/brell-plot brell.out\n");

    simtest::temp_dir d("readme");
    for (const char* f : {"study.ped", "study.dat", "study.map"})
        std::filesystem::copy_file(std::string(BRELL_SOURCE_DIR) + "/examples/ibd/" + f, d.path() / f);
    auto r = simtest::run_in(d.path(), std::string(BRELL_IBD_BIN) +
                                           " -p study.ped -d study.dat -m study.map -o out --quiet && cd out/chr1 && " +
                                           BRELL_BIN + " LIN >/dev/null && " + BRELL_PLOT_BIN + " brell.out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, shown);
}

}  // namespace
