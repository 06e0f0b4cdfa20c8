#include <cmath>

#include <gtest/gtest.h>

#include "test_util.h"

using namespace brell;

namespace {

struct reader_fixture : ::testing::Test {
    brell_test::scratch_dir dir;
    brell_test::capture cap;
    run_data dat;

    reader_fixture()
    {
        dat.dir = dir.path();
        dat.out = cap.file();
    }
    void nullprobs(const std::string& text)
    {
        dir.write("nullprobs.dat", text);
        process_nullprobs(dat);
    }
};

using NullProbs = reader_fixture;

TEST_F(NullProbs, NormalisesAndTakesMoments)
{
    nullprobs("A 1 0\nA 2 1\nA 1 2\n\n\nB 0.3 2\nC 0 1\nC 0 3\n");
    ASSERT_EQ(dat.nfam, 3);
    const fam_record& a = dat.fam[0];
    EXPECT_EQ(a.nullprob, (std::vector<double>{0.25, 0.5, 0.25}));
    EXPECT_EQ(a.mean, 1.0);
    EXPECT_EQ(a.sd, std::sqrt(0.5));
    // One row: probability 1, no variance, sd held at its floor.
    EXPECT_EQ(dat.fam[1].nullprob, std::vector<double>{1.0});
    EXPECT_EQ(dat.fam[1].mean, 2.0);
    EXPECT_EQ(dat.fam[1].sd, 1e-8);
    // All zero: left as read.
    EXPECT_EQ(dat.fam[2].nullprob, (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(dat.fam[2].mean, 0.0);
    EXPECT_EQ(dat.fam[2].sd, 1e-8);
}

TEST_F(NullProbs, KindredsAreRunsOfOneIdentifier)
{
    nullprobs("A .5 0\nA .5 1\nB 1 0\nA 1 4\n");
    ASSERT_EQ(dat.nfam, 3);
    EXPECT_EQ(dat.fam[0].name, "A");
    EXPECT_EQ(dat.fam[0].nscores, 2);
    EXPECT_EQ(dat.fam[2].name, "A");
    EXPECT_EQ(dat.fam[2].score, std::vector<double>{4.0});
}

TEST_F(NullProbs, LongIdentifiersAreComparedWhole)
{
    // Equal in their first 23 characters, and the line is past 999.
    std::string a(30, 'k'), b = a;
    b.back() = 'j';
    std::string pad(1200, ' ');
    nullprobs(a + " 1 0" + pad + "\n" + b + " 1 1\n");
    ASSERT_EQ(dat.nfam, 2);
    EXPECT_EQ(dat.fam[0].name, a);
    EXPECT_EQ(dat.fam[1].name, b);
}

TEST_F(NullProbs, CarriageReturnsTabsAndBlankLinesReadLikeUnix)
{
    nullprobs("  \r\n\r\nA\t0.25\t0\r\n \t \r\nA 0.75 1\r\n");
    ASSERT_EQ(dat.nfam, 1);
    EXPECT_EQ(dat.fam[0].score, (std::vector<double>{0.0, 1.0}));
    EXPECT_EQ(dat.fam[0].nullprob, (std::vector<double>{0.25, 0.75}));
}

TEST_F(NullProbs, RejectsWhatWouldShiftLaterValues)
{
    struct { const char* text; const char* error; } cases[] = {
        {"A 1 0\nA 1\n", "line 2: expected 3 fields, found 2"},
        {"A 1 0 7\n", "line 1: expected 3 fields, found 4"},
        {"A 1 2.5x\n", "line 1: '2.5x' is not a number"},
        {"\nA 1,5 0\n", "line 2: '1,5' is not a number"},
        {"A 1e 0\n", "line 1: '1e' is not a number"},
        {"A nan(1) 0\n", "line 1: 'nan(1)' is not a number"},
        {"", "line 1: no kindreds"},
        {"\n \n\t\n", "line 4: no kindreds"},
    };
    for (const auto& c : cases) {
        std::string err = brell_test::error_of([&] { nullprobs(c.text); });
        EXPECT_EQ(err, std::string("Run-time error:  file (nullprobs.dat) ") + c.error + "\n") << c.text;
    }
}

TEST_F(NullProbs, ALineLongerThanTheReadBufferIsReadWhole)
{
    // 6 MB in one field: the buffer grows to hold it, the message quotes a
    // short head of it.
    std::string big(6 << 20, '7');
    big += "x";
    std::string err = brell_test::error_of([&] { nullprobs("A 1 0\nA 1 " + big + "\n"); });
    EXPECT_EQ(err, "Run-time error:  file (nullprobs.dat) line 2: '" + std::string(40, '7') + "...' is not a number\n");
    nullprobs("A 1 0\n" + std::string(5 << 20, ' ') + "A 1 2\n");
    EXPECT_EQ(dat.fam[0].score, (std::vector<double>{0.0, 2.0}));
}

TEST_F(NullProbs, ControlBytesInAFieldAreShownNotPrinted)
{
    std::string err = brell_test::error_of([&] { nullprobs(std::string("A .5\0\x1b 0\n", 9)); });
    EXPECT_EQ(err, "Run-time error:  file (nullprobs.dat) line 1: '.5\\x00\\x1b' is not a number\n");
}

TEST_F(NullProbs, MissingFileStopsTheRun)
{
    EXPECT_EQ(brell_test::error_of([&] { process_nullprobs(dat); }),
              "Run-time error:  file (nullprobs.dat) could not be opened\n");
}

using Weights = reader_fixture;

TEST_F(Weights, SetsNamedKindredsAndWarnsOfUnknownOnes)
{
    nullprobs("K1 1 0\nK2 1 0\nK1 1 0\nK3 1 0\n");
    dir.write("weights.dat", "\nK2 3.5\nk1 9\nK1 2.0 extra words\nK2 -1.5e0x\nK9 4\n");
    weights(dat);
    EXPECT_EQ(dat.fam[0].weight, 2.0);
    EXPECT_EQ(dat.fam[1].weight, -1.5);  // the later line wins
    EXPECT_EQ(dat.fam[2].weight, 1.0);   // only the first K1 is weighted
    EXPECT_EQ(dat.fam[3].weight, 1.0);
    EXPECT_EQ(cap.text(),
              "Warning: kindred (k1) not found, no weight assigned\n"
              "Warning: kindred (K9) not found, no weight assigned\n");
}

TEST_F(Weights, NoFileMeansWeightOneAndSilence)
{
    nullprobs("K1 1 0\n");
    weights(dat);
    EXPECT_EQ(dat.fam[0].weight, 1.0);
    EXPECT_EQ(cap.text(), "");
}

TEST_F(Weights, CrlfFileReadsLikeItsUnixTwin)
{
    nullprobs("K1 1 0\nK2 1 0\n");
    dir.write("weights.dat", "\r\nK1 2\r\n\r\nK2 3\r\n");
    weights(dat);
    EXPECT_EQ(dat.fam[0].weight, 2.0);
    EXPECT_EQ(dat.fam[1].weight, 3.0);
}

TEST_F(Weights, LinesWithoutANumberStopTheRun)
{
    for (const char* text : {"K1 abc\n", "K1\n", "K1 2\n   \nK1 3\n", "K1 2\n\t\r\n"}) {
        nullprobs("K1 1 0\n");
        dir.write("weights.dat", text);
        EXPECT_EQ(brell_test::error_of([&] { weights(dat); }),
                  "Run-time error: 'weights.dat' improperly formatted\n")
            << text;
    }
}

struct Probs : reader_fixture {
    // K1 has two outcome rows, K2 three.
    void SetUp() override { nullprobs("K1 .5 0\nK1 .5 1\nK2 .25 0\nK2 .5 1\nK2 .25 2\n"); }
    std::string read(const std::string& text)
    {
        dir.write("probs.dat", text);
        return brell_test::error_of([&] { process_probs(dat); });
    }
};

const char* const GOOD =
    "K1 0 0 .1\nK1 0 1 .9\nK1 5 0 .2\nK1 5 1 .8\n"
    "K2 0 0 .3\nK2 0 1 .3\nK2 0 2 .4\nK2 5 0 .5\nK2 5 1 .25\nK2 5 2 .25\n";

TEST_F(Probs, MapComesFromTheFirstKindred)
{
    ASSERT_EQ(read(GOOD), "");
    EXPECT_EQ(dat.npos, 2);
    EXPECT_EQ(dat.pos, (std::vector<double>{0.0, 5.0}));
    EXPECT_EQ(std::vector<double>(dat.fam[0].prob.begin(), dat.fam[0].prob.end()),
              (std::vector<double>{.1, .9, .2, .8}));
    EXPECT_EQ(std::vector<double>(dat.fam[1].prob.begin(), dat.fam[1].prob.end()),
              (std::vector<double>{.3, .3, .4, .5, .25, .25}));
}

TEST_F(Probs, AReturningPositionIsANewOne)
{
    nullprobs("K1 1 0\n");
    ASSERT_EQ(read("\n  \nK1 0 0 1\n\nK1 5 0 1\r\nK1 0 0 1\n"), "");
    EXPECT_EQ(dat.pos, (std::vector<double>{0.0, 5.0, 0.0}));
}

TEST_F(Probs, RowsMustFollowTheNullFile)
{
    struct { std::string text; const char* error; } cases[] = {
        {"", "line 1: no rows"},
        {"\n\n", "line 3: no rows"},
        {"K1 0 0\n", "line 1: expected 4 fields, found 3"},
        {"K1 0 0 .1 .2\n", "line 1: expected 4 fields, found 5"},
        {"K1 0 x .1\n", "line 1: 'x' is not a number"},
        {"K2 0 0 .1\n", "line 1: expected kindred 'K1', found 'K2'"},
        // K1 at position 0 has a third row: it belongs to K2.
        {"K1 0 0 .1\nK1 0 1 .9\nK1 0 1 .9\n", "line 3: expected kindred 'K2', found 'K1'"},
        {"K1 0 0 .1\nK1 5 1 .9\nK1 5 0 .2\nK1 5 1 .8\n", "line 2: expected position 0, found 5"},
        {"K1 0 0 .1\nK1 0 1 .9\nK1 5 0 .2\nK2 0 0 .3\n", "line 4: expected kindred 'K1', found 'K2'"},
        {std::string(GOOD).substr(0, 40) + "K2 0 0 .3\nK2 0 1 .3\nK2 0.5 2 .4\n",
         "line 7: expected position 0, found 0.5"},
        {std::string(GOOD) + "K2 5 2 .25\n", "line 11: more rows than the expected 10"},
        {std::string(GOOD).substr(0, 40) + "K2 0 0 .3\n\n", "line 7: file ends early: expected 10 rows, found 5"},
        {"K1 0 0 .1\nK1 0 1 .9\nK1 5 0 .2\n", "line 4: file ends early: expected 10 rows, found 3"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(read(c.text), std::string("Run-time error:  file (probs.dat) ") + c.error + "\n") << c.text;
}

TEST_F(Probs, AShortFileClaimingAHugeMapFailsOnItsRows)
{
    // 100,000 positions times K2's 100,000 outcomes would be 80 GB of
    // probabilities, from files of a few megabytes.
    const int n = 100000;
    std::string null = "K1 1 0\n";
    for (int k = 0; k < n; ++k)
        null += "K2 1 " + std::to_string(k) + "\n";
    nullprobs(null);
    std::string text;
    for (int p = 0; p < n; ++p)
        text += "K1 " + std::to_string(p) + " 0 1\n";
    EXPECT_EQ(read(text), "Run-time error:  file (probs.dat) line 100001: file ends early: "
                          "expected 10000100000 rows, found 100000\n");
}

}  // namespace

namespace {

// A study large enough to be read in parallel blocks.
struct ParallelProbs : ::testing::Test {
    brell_test::scratch_dir dir;
    std::vector<std::string> lines;

    void SetUp() override
    {
        std::string null;
        for (int i = 0; i < 30; ++i)
            for (int k = 0; k < 3 + i % 4; ++k)
                null += "K" + std::to_string(i) + " 1 " + std::to_string(k) + "\n";
        dir.write("nullprobs.dat", null);
        for (int i = 0; i < 30; ++i)
            for (int p = 0; p < 400; ++p)
                for (int k = 0; k < 3 + i % 4; ++k)
                    lines.push_back("K" + std::to_string(i) + " " + std::to_string(p * 0.25) + " " +
                                    std::to_string(k) + " " + std::to_string((i * 7 + p * 3 + k) % 101 / 100.0));
    }

    // The error (or "") and the probabilities read with the given threads.
    std::pair<std::string, std::vector<double>> read(const std::vector<std::string>& text, int threads)
    {
        std::string all;
        for (const std::string& l : text)
            all += l + "\n";
        dir.write("probs.dat", all);
        run_data dat;
        dat.dir = dir.path();
        dat.threads = threads;
        process_nullprobs(dat);
        std::string err = brell_test::error_of([&] { process_probs(dat); });
        std::vector<double> probs;
        if (err.empty())
            for (const fam_record& r : dat.fam)
                probs.insert(probs.end(), r.prob.begin(), r.prob.end());
        return {err, probs};
    }
};

TEST_F(ParallelProbs, ThreadsReadTheSameValuesAndStopAtTheSameLine)
{
    const std::size_t n = lines.size();
    ASSERT_GT(n * 12, 65536u * 4);
    struct { std::size_t at; std::string line; bool insert; bool same_row = false; } edits[] = {
        {0, "", false},                            // unchanged
        {n / 2, "", true},                         // a blank line mid-file
        {n - 3, "K29 99.5 0 0.5", false},          // position off the map
        {n * 3 / 4, "K1 0 0 0.5", false},          // wrong kindred
        {n * 2 / 3, "K20 0 x 0.5", false},         // not a number
        {n - 1, "K29 99.75 6 0.5 1", false},       // five fields
        {n, "K29 99.75 6 0.5", true},              // one row too many
        {n / 3, "\t \r", true},                    // blanks
        {n / 5, " \t" + lines[n / 5], false, true},  // a row that starts with blanks
        {n / 7, lines[n / 7] + "\r", false, true},   // and one that ends in a CR
    };
    for (const auto& e : edits) {
        std::vector<std::string> text = lines;
        if (e.insert)
            text.insert(text.begin() + static_cast<std::ptrdiff_t>(e.at), e.line);
        else if (!e.line.empty())
            text[e.at] = e.line;
        auto one = read(text, 1);
        auto three = read(text, 3);
        EXPECT_EQ(three.first, one.first) << e.line;
        EXPECT_EQ(three.second, one.second) << e.line;
        if (e.line.find_first_not_of(" \t\r") == std::string::npos || e.same_row)
            EXPECT_EQ(one.first, "") << e.line;
        else
            EXPECT_NE(one.first, "") << e.line;
    }
    // Cut short, mid-way through a kindred.
    std::vector<std::string> cut(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(n - 5));
    EXPECT_EQ(read(cut, 3).first, read(cut, 1).first);
    EXPECT_EQ(read(cut, 3).first,
              "Run-time error:  file (probs.dat) line " + std::to_string(n - 4) + ": file ends early: expected " +
                  std::to_string(n) + " rows, found " + std::to_string(n - 5) + "\n");
}

}  // namespace
