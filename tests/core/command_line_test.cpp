#include <gtest/gtest.h>

#include "test_util.h"

using namespace brell;

namespace {

const char* const USAGE =
    "Usage: brell LIN\n"
    "       brell LIN GRID dmin dmax numintervals\n"
    "       brell EXP\n"
    "       brell EXP GRID dmin dmax numintervals\n";

TEST(GetModel, ComparesOnlyThreeCharactersInThreeCases)
{
    struct { const char* arg; int model; } cases[] = {
        {"LIN", MODEL_LIN}, {"lin", MODEL_LIN}, {"Lin", MODEL_LIN}, {"Linear", MODEL_LIN},
        {"EXP", MODEL_EXP}, {"exp", MODEL_EXP}, {"Exp", MODEL_EXP}, {"exponential", MODEL_EXP},
        {"LI", -1}, {"lIN", -1}, {"eXp", -1}, {"", -1}, {"GRID", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(get_model(c.arg), c.model) << c.arg;
}

TEST(CheckMainArgs, DecidesInOrderAndPrintsOnlyTheRangeErrors)
{
    struct {
        std::vector<const char*> argv;
        int invalid;
        const char* printed;
    } cases[] = {
        {{"brell"}, 1, ""},
        {{"brell", "LIN"}, 0, ""},
        {{"brell", "exponential"}, 0, ""},
        {{"brell", "LIN", "0.5"}, 1, ""},
        {{"brell", "LIN", "GRID", "0", "1"}, 1, ""},
        {{"brell", "LIN", "GRID", "0", "1", "10", "extra"}, 1, ""},
        {{"brell", "LIN", "GRID", "0", "1", "10"}, 0, ""},
        {{"brell", "LIN", "gRID", "0", "1", "10"}, 1, ""},
        {{"brell", "LIN", "Grid", "1", "1", "5"}, 1, "Error: dmin must be less than dmax\n"},
        {{"brell", "EXP", "GRID", "-1", "1", "0"}, 1, "Error: numintervals must be a positive integer\n"},
        {{"brell", "LIN", "grid", "0", "x", "5"}, 1, ""},
        // Longest prefix, as scanf reads it.
        {{"brell", "EXP", "grid", "2.5x", "3", "3.7"}, 0, ""},
        {{"brell", "EXP", "grid", "0", "1", "-3.7"}, 1, "Error: numintervals must be a positive integer\n"},
        // Values the run could not use are not numbers.
        {{"brell", "EXP", "GRID", "0", "1", "2147483648"}, 1, ""},
        {{"brell", "EXP", "GRID", "0", "1", "-99999999999"}, 1, ""},
        {{"brell", "EXP", "GRID", "0", "1", "2147483647"}, 0, ""},
        {{"brell", "EXP", "GRID", "-inf", "1", "5"}, 1, ""},
        {{"brell", "EXP", "GRID", "0", "nan", "5"}, 1, ""},
        {{"brell", "EXP", "GRID", "0", "1e999", "5"}, 1, ""},
        {{"brell", "EXP", "GRID", "0x1p-2", "1", "5"}, 0, ""},
    };
    for (const auto& c : cases) {
        brell_test::capture cap;
        int argc = static_cast<int>(c.argv.size());
        EXPECT_EQ(check_main_args(argc, c.argv.data(), cap.file()), c.invalid) << c.argv.back();
        EXPECT_EQ(cap.text(), c.printed) << c.argv.back();
    }
}

TEST(GetSearch, StoresTheGridFromTheWords)
{
    run_data dat;
    const char* grid[] = {"brell", "EXP", "GRID", "-1.5", "2.5e0x", "4.9"};
    get_search(dat, 6, grid);
    EXPECT_EQ(dat.search, SEARCH_GRID);
    EXPECT_EQ(dat.dmin, -1.5);
    EXPECT_EQ(dat.dmax, 2.5);
    EXPECT_EQ(dat.numintervals, 4);
    const char* gss[] = {"brell", "LIN"};
    get_search(dat, 2, gss);
    EXPECT_EQ(dat.search, SEARCH_GSS);
    get_search(dat, 3, gss);
    EXPECT_EQ(dat.search, -1);
}

TEST(PrintUsage, NamesTheProgramOnEveryLine)
{
    brell_test::capture cap;
    print_usage("brell", cap.file());
    EXPECT_EQ(cap.text(), USAGE);
}

TEST(RunBrell, InvalidCommandLinePrintsErrorThenUsageAndTouchesNoFile)
{
    brell_test::scratch_dir dir;
    dir.write("brell.out", "earlier\n");
    auto r = brell_test::run_inproc(dir.path(), {"LIN", "GRID", "1", "1", "5"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string("Error: dmin must be less than dmax\n") + USAGE);
    EXPECT_EQ(dir.read("brell.out"), "earlier\n");
}

}  // namespace
