// The built program, run in a scratch folder on real files.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "test_util.h"

using brell_test::run_binary;
using brell_test::scratch_dir;

namespace {

const std::string USAGE = std::string("Usage: ") + BRELL_BIN + " LIN\n       " + BRELL_BIN +
                          " LIN GRID dmin dmax numintervals\n       " + BRELL_BIN + " EXP\n       " + BRELL_BIN +
                          " EXP GRID dmin dmax numintervals\n";

// One affected sib pair: sure to share both alleles at 0 cM, no information
// at 5 cM, sure to share none at 10 cM.
const char* const ASP_NULL = "F 0.25 0\nF 0.5 1\nF 0.25 2\n";
const char* const ASP_PROBS =
    "F 0 0 0\nF 0 1 0\nF 0 2 1\n"
    "F 5 0 .25\nF 5 1 .5\nF 5 2 .25\n"
    "F 10 0 1\nF 10 1 0\nF 10 2 0\n";

struct E2e : ::testing::Test {
    scratch_dir dir;
    void asp()
    {
        dir.write("nullprobs.dat", ASP_NULL);
        dir.write("probs.dat", ASP_PROBS);
    }
};

TEST_F(E2e, LinearGoldenSectionByHand)
{
    asp();
    auto r = run_binary(dir.path(), {"LIN"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Golden-section search maximizes on [max] boundary for pos =  0.00000e+00\n"
              "Golden-section search maximizes on [min] boundary for pos =  1.00000e+01\n");
    // Bound sd / mean = 1/sqrt 2. At 0 cM the likelihood 1 + delta * sqrt 2
    // is best at the bound: LOD log10 2, Z sqrt(2 ln 2). At 5 cM the
    // objective is flat: first interior point r * bound, LOD -0. At 10 cM
    // delta 0 is best.
    EXPECT_EQ(dir.read("brell.out"),
              " 0.00000e+00   1.41421e+00   1.17741e+00   3.01030e-01   7.07107e-01\n"
              " 5.00000e+00   0.00000e+00  -0.00000e+00  -0.00000e+00   2.70091e-01\n"
              " 1.00000e+01  -1.41421e+00  -0.00000e+00  -0.00000e+00   0.00000e+00\n");
}

TEST_F(E2e, FlatPositionsUnderEachShape)
{
    dir.write("nullprobs.dat", ASP_NULL);
    dir.write("probs.dat", "F 2.5 0 .25\nF 2.5 1 .5\nF 2.5 2 .25\n");
    struct { std::vector<std::string> args; std::string out; std::string line; } cases[] = {
        {{"EXP"},
         "NOTICE:  If the golden-section search maximizes on the boundary,\n"
         "         consider using a GRID search\n",
         " 2.50000e+00   0.00000e+00   0.00000e+00  -0.00000e+00  -1.18034e+00\n"},
        {{"EXP", "GRID", "-1", "1", "4"},
         "Warning: User-supplied dmin (-1.00000e+00) is smaller than 0\n"
         "         Negative delta's model deficit sharing and should be used with caution\n"
         "Grid search maximizes on [min] boundary for pos =  2.50000e+00\n",
         " 2.50000e+00   0.00000e+00  -0.00000e+00   0.00000e+00  -1.00000e+00\n"},
        {{"lin", "Grid", "0.25", "2", "7"},
         "Warning: User-supplied dmax ( 2.00000e+00) exceeds theoretical bound ( 7.07107e-01)\n"
         "Grid search maximizes on [min] boundary for pos =  2.50000e+00\n",
         " 2.50000e+00   0.00000e+00   0.00000e+00   0.00000e+00   2.50000e-01\n"},
    };
    for (const auto& c : cases) {
        auto r = run_binary(dir.path(), c.args);
        EXPECT_EQ(r.status, 0) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(dir.read("brell.out"), c.line) << c.args[0];
    }
}

TEST_F(E2e, InvalidCommandLines)
{
    struct { std::vector<std::string> args; std::string out; } cases[] = {
        {{}, USAGE},
        {{"LI"}, USAGE},
        {{"LIN", "GRID", "0", "1"}, USAGE},
        {{"LIN", "Grid", "1", "1", "5"}, "Error: dmin must be less than dmax\n" + USAGE},
        {{"EXP", "GRID", "-1", "1", "0"}, "Error: numintervals must be a positive integer\n" + USAGE},
        {{"EXP", "GRID", "-1", "1", "4294967297"}, USAGE},
        {{"EXP", "GRID", "-1", "inf", "4"}, USAGE},
    };
    for (const auto& c : cases) {
        auto r = run_binary(dir.path(), c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out);
    }
}

TEST_F(E2e, FatalErrorsLeaveEarlierResultsAlone)
{
    struct { const char* nullprobs; const char* probs; std::string out; } cases[] = {
        {nullptr, ASP_PROBS, "Run-time error:  file (nullprobs.dat) could not be opened\n"},
        {ASP_NULL, nullptr, "Run-time error:  file (probs.dat) could not be opened\n"},
        {"", ASP_PROBS, "Run-time error:  file (nullprobs.dat) line 1: no kindreds\n"},
        {ASP_NULL, "", "Run-time error:  file (probs.dat) line 1: no rows\n"},
        {ASP_NULL, "F 0 0 0\nF 0 1 0\nF 0 2 1 x\n", "Run-time error:  file (probs.dat) line 3: expected 4 fields, found 5\n"},
        {"F .5 0\nF .5 1\nG 1 0\n", "F 0 0 .5\nF 0 1 .5\nF 1 0 .5\nF 1 1 .5\nG 0 0 1\nG 0.0 0 1\n",
         "Run-time error:  file (probs.dat) line 6: expected position 1, found 0\n"},
    };
    for (const auto& c : cases) {
        scratch_dir d;
        if (c.nullprobs)
            d.write("nullprobs.dat", c.nullprobs);
        if (c.probs)
            d.write("probs.dat", c.probs);
        d.write("brell.out", "earlier results\n");
        auto r = run_binary(d.path(), {"LIN"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(d.read("brell.out"), "earlier results\n");
    }
}

TEST_F(E2e, WeightsFormatErrorStopsBeforeAnyResult)
{
    asp();
    dir.write("weights.dat", "F 2\nG 1\nF abc\n");
    auto r = run_binary(dir.path(), {"EXP"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "Warning: kindred (G) not found, no weight assigned\n"
              "Run-time error: 'weights.dat' improperly formatted\n");
    EXPECT_FALSE(dir.exists("brell.out"));
}

TEST_F(E2e, UnwritableResultsAreReportedAndNothingIsLeftHalfDone)
{
    asp();
    mkdir(dir.file("brell.out").c_str(), 0755);  // rename cannot replace a folder
    auto r = run_binary(dir.path(), {"LIN"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(r.out.rfind("Run-time")), "Run-time error:  file (brell.out) could not be written\n");
    std::error_code ec;
    int entries = 0;
    for (auto it = std::filesystem::directory_iterator(dir.path()); it != std::filesystem::directory_iterator(); ++it)
        ++entries;
    EXPECT_EQ(entries, 3);  // the inputs and the folder, no temporary file
}

TEST_F(E2e, ResultsGoThroughALinkNamedBrellOut)
{
    asp();
    dir.write("kept.out", "old\n");
    ASSERT_EQ(symlink("kept.out", dir.file("brell.out").c_str()), 0);
    auto r = run_binary(dir.path(), {"LIN"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("brell.out")));
    EXPECT_EQ(dir.read("kept.out").substr(0, 12), " 0.00000e+00");
}

TEST_F(E2e, ReplacedResultsKeepTheirPermissions)
{
    asp();
    dir.write("brell.out", "private\n");
    ASSERT_EQ(chmod(dir.file("brell.out").c_str(), 0600), 0);
    EXPECT_EQ(run_binary(dir.path(), {"LIN"}).status, 0);
    struct stat st;
    ASSERT_EQ(stat(dir.file("brell.out").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(dir.read("brell.out"), "private\n");
}

TEST_F(E2e, WindowsLineEndsReadLikeUnix)
{
    auto crlf = [](std::string s) {
        std::string out;
        for (char c : s)
            out += c == '\n' ? std::string("\r\n") : std::string(1, c);
        return out;
    };
    asp();
    dir.write("weights.dat", "F 1.5\n");
    auto unix_run = run_binary(dir.path(), {"EXP", "GRID", "-2", "3", "10"});
    std::string unix_out = dir.read("brell.out");
    dir.write("nullprobs.dat", crlf(ASP_NULL));
    dir.write("probs.dat", crlf(ASP_PROBS));
    dir.write("weights.dat", "\r\nF 1.5\r\n");
    auto dos_run = run_binary(dir.path(), {"EXP", "GRID", "-2", "3", "10"});
    EXPECT_EQ(dos_run.status, 0);
    EXPECT_EQ(dos_run.out, unix_run.out);
    EXPECT_EQ(dir.read("brell.out"), unix_out);
}

TEST_F(E2e, ThreadCountChangesNoByte)
{
    for (const char* name : {"nullprobs.dat", "probs.dat", "weights.dat"}) {
        scratch_dir src;
        (void)src;
        std::ifstream in(std::string(BRELL_SOURCE_DIR) + "/examples/" + name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        dir.write(name, s.str());
    }
    std::vector<std::vector<std::string>> shapes = {
        {"LIN"}, {"EXP"}, {"LIN", "GRID", "-0.5", "1", "30"}, {"EXP", "GRID", "-1", "2", "100"}};
    for (const auto& args : shapes) {
        auto one = run_binary(dir.path(), args, {"BRELL_THREADS=1"});
        std::string one_out = dir.read("brell.out");
        auto three = run_binary(dir.path(), args, {"BRELL_THREADS=3"});
        EXPECT_EQ(one.status, 0);
        EXPECT_EQ(three.status, 0);
        EXPECT_EQ(three.out, one.out) << args[0];
        EXPECT_EQ(dir.read("brell.out"), one_out) << args[0];
        EXPECT_EQ(std::count(one_out.begin(), one_out.end(), '\n'), 13);
    }
}

TEST_F(E2e, ThreadCountChangesNoByteOfALargerStudy)
{
    // Large enough that probs.dat is read in parallel blocks.
    std::string null, probs;
    for (int i = 0; i < 40; ++i)
        for (int k = 0; k < 3 + i % 4; ++k)
            null += "K" + std::to_string(i) + " " + std::to_string(1 + (i + k) % 3) + " " + std::to_string(k) + "\n";
    unsigned state = 12345;
    for (int i = 0; i < 40; ++i)
        for (int p = 0; p < 300; ++p)
            for (int k = 0; k < 3 + i % 4; ++k) {
                state = state * 1103515245u + 12345u;
                probs += "K" + std::to_string(i) + " " + std::to_string(p) + " " + std::to_string(k) + " " +
                         std::to_string((state >> 16) % 1000 / 1000.0) + "\n";
            }
    ASSERT_GT(probs.size(), 4u << 20 >> 4);
    dir.write("nullprobs.dat", null);
    dir.write("probs.dat", probs);
    dir.write("weights.dat", "K3 2\nK7 0.5\n");
    std::vector<std::vector<std::string>> shapes = {
        {"LIN"}, {"EXP"}, {"LIN", "GRID", "-0.2", "0.9", "25"}, {"EXP", "GRID", "-2", "2", "40"}};
    for (const auto& args : shapes) {
        auto one = run_binary(dir.path(), args, {"BRELL_THREADS=1"});
        std::string one_out = dir.read("brell.out");
        EXPECT_EQ(one.status, 0);
        EXPECT_EQ(std::count(one_out.begin(), one_out.end(), '\n'), 300);
        for (const char* threads : {"BRELL_THREADS=2", "BRELL_THREADS=5"}) {
            auto many = run_binary(dir.path(), args, {threads});
            EXPECT_EQ(many.out, one.out) << args[0] << " " << threads;
            EXPECT_EQ(dir.read("brell.out"), one_out) << args[0] << " " << threads;
        }
    }
}

}  // namespace
