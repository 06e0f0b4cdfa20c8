#include <cmath>
#include <sstream>

#include <gtest/gtest.h>

#include "plot.h"

using namespace brell_plot;

namespace {

std::vector<result_row> parse(const std::string& text)
{
    std::istringstream in(text);
    return parse_results(in, "r.out");
}

std::string parse_error(const std::string& text)
{
    try {
        parse(text);
    } catch (const plot_error& e) {
        return e.what();
    }
    return "(no error)";
}

std::vector<result_row> lod_curve(std::initializer_list<std::pair<double, double>> pos_lod)
{
    std::vector<result_row> rows;
    for (auto [pos, lod] : pos_lod)
        rows.push_back({pos, 0.0, 0.0, lod, 0.0});
    return rows;
}

}  // namespace

TEST(ParseResults, ReadsEverySpellingThatPrintfGivesNonFiniteAndSignedZero)
{
    auto rows = parse("1 nan -nan inf -0.00000e+00\n");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(std::isnan(rows[0].npl_z));
    EXPECT_TRUE(std::isnan(rows[0].zlr));
    EXPECT_TRUE(std::isinf(rows[0].lod));
    EXPECT_EQ(rows[0].delta, 0.0);
    EXPECT_TRUE(std::signbit(rows[0].delta));
}

TEST(ParseResults, WhiteSpaceAndLineEndsDoNotMatter)
{
    auto unix_rows = parse("0 1 2 3 4\n5 6 7 8 9\n");
    for (const char* text :
         {"0 1 2 3 4\r\n5 6 7 8 9\r\n", "\n0\t1 2  3 4\n\n  \n5 6 7 8 9", "0 1 2 3 4\n5 6 7 8 9\n\n"}) {
        SCOPED_TRACE(text);
        auto rows = parse(text);
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[1].pos, unix_rows[1].pos);
        EXPECT_EQ(rows[1].delta, unix_rows[1].delta);
    }
}

TEST(ParseResults, MalformedInputNamesFileAndLine)
{
    struct {
        const char* text;
        const char* message;
    } const cases[] = {
        {"0 1 2 3 4\n0 1 2 3\n", "r.out line 2: expected 5 numbers, found 4 fields"},
        {"0 1 2 3 4 5\n", "r.out line 1: expected 5 numbers, found 6 fields"},
        {"0 1 2 3 4\n\n5 6 7 abc 9\n", "r.out line 3: field 4 (abc) is not a number"},
        {"2.5x 1 2 3 4\n", "r.out line 1: field 1 (2.5x) is not a number"},
        {"0 1 2 3 1e999\n", "r.out line 1: field 5 (1e999) is not a number"},
        {"0 1 2 3 4\x01\n", "r.out line 1: field 5 (4\\x01) is not a number"},
        {"", "r.out: no positions"},
        {"  \n\r\n\n", "r.out: no positions"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse_error(c.text), c.message) << c.text;
}

TEST(UpperTailP, MatchesNormalTableQuantiles)
{
    struct {
        double z;
        double p;
    } const table[] = {
        {0.0, 0.5},          {1.644854, 0.05},  {2.326348, 0.01},   {3.090232, 0.001},
        {3.719016, 1e-4},    {4.264891, 1e-5},  {-1.959964, 0.975}, {-0.0, 0.5},
    };
    for (const auto& t : table)
        EXPECT_NEAR(upper_tail_p(t.z) / t.p, 1.0, 2e-6) << "z = " << t.z;
    // Far in the tail the value must stay positive, not round to zero.
    EXPECT_GT(upper_tail_p(20.0), 0.0);
    EXPECT_LT(upper_tail_p(20.0), 1e-88);
    EXPECT_TRUE(std::isnan(upper_tail_p(NAN)));
}

TEST(FindPeak, HighestFiniteLodFirstOnTies)
{
    auto rows = lod_curve({{0, 1.0}, {5, NAN}, {10, 3.5}, {15, INFINITY}, {20, 3.5}, {NAN, 9.0}});
    rows[2].zlr = 4.014;
    rows[2].delta = 0.25;
    peak_info pk = find_peak(rows);
    ASSERT_TRUE(pk.found);
    EXPECT_EQ(pk.row, 2u);
    EXPECT_EQ(pk.pos, 10.0);
    EXPECT_EQ(pk.lod, 3.5);
    EXPECT_EQ(pk.delta, 0.25);
    EXPECT_NEAR(pk.p, 2.98e-5, 0.01e-5);  // 1 - Phi(4.014)

    EXPECT_FALSE(find_peak(lod_curve({{0, NAN}, {NAN, 2.0}})).found);
    EXPECT_EQ(find_peak(lod_curve({{0, -0.5}, {1, -0.25}})).pos, 1.0);
}

TEST(StretchesAbove, RunsAtOrAboveThresholdBrokenByGapsAndNewMaps)
{
    auto rows = lod_curve({{0, 1.0},
                           {5, 1.9},  // exactly at the threshold counts
                           {10, 2.5},
                           {15, NAN},  // unknown breaks a stretch
                           {20, 2.0},
                           {25, 1.0},
                           {30, 4.0},
                           {0, 4.0},  // the position goes back: a new map
                           {5, 4.0}});
    auto st = stretches_above(rows, 1.9);
    ASSERT_EQ(st.size(), 4u);
    EXPECT_EQ(st[0].from, 5.0);
    EXPECT_EQ(st[0].to, 10.0);
    EXPECT_EQ(st[0].count, 2u);
    EXPECT_EQ(st[1].from, 20.0);
    EXPECT_EQ(st[1].count, 1u);
    EXPECT_EQ(st[2].from, 30.0);
    EXPECT_EQ(st[2].count, 1u);
    EXPECT_EQ(st[3].from, 0.0);
    EXPECT_EQ(st[3].to, 5.0);
    EXPECT_TRUE(stretches_above(rows, 4.5).empty());
}

TEST(Summary, HandComputedPeakPValueAndStretches)
{
    // Z values are normal-table quantiles; each LOD is Z^2 / (2 ln 10). At
    // 30 cM brell's LOD is high but its delta below 0: deficit sharing,
    // which is no peak and no region.
    result_set set{"LIN", "run/brell.out",
                   parse("0 0.1 0.5 0.0543 0.02\n"
                         "5 1.2 2.326348 1.17518 0.2\n"
                         "10 2.0 3.090232 2.07366 0.3\n"
                         "15 nan nan nan nan\n"
                         "20 2.9 3.719016 3.00336 0.45\n"
                         "25 2.8 -1.959964 -0.834 -0.1\n"
                         "30 -3.5 -4.264891 3.94975 -0.6\n")};
    EXPECT_EQ(set.rows.back().lod, -3.94975);
    EXPECT_EQ(summary(set),
              "LIN (run/brell.out): 7 positions\n"
              "  peak: position 20 cM, LOD 3.00336, Z 3.71902, p 0.0001, delta 0.45\n"
              "  LOD >= 1.9 (suggestive): 10 cM, 20 cM\n"
              "  LOD >= 3.3 (significant): none\n");

    result_set blank{"x.out", "x.out", parse("1 nan nan nan nan\n")};
    EXPECT_EQ(summary(blank),
              "x.out: 1 position\n"
              "  peak: none (no finite LOD)\n"
              "  LOD >= 1.9 (suggestive): none\n"
              "  LOD >= 3.3 (significant): none\n");
}

TEST(NiceAxis, CoversTheRangeWithRoundFiniteTicks)
{
    struct {
        double lo, hi;
    } const cases[] = {{0, 100}, {-0.3, 0.7}, {0, 3.3}, {2, 2}, {0, 0}, {1e6, 1e6 + 0.5}, {0, 5e-324}, {1e6, 1e6 + 1e-9},
                       {-7.8e307, 3.3}, {-1.7e308, 1.7e308}, {NAN, 1}, {5, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.lo << " .. " << c.hi);
        axis a = nice_axis(c.lo, c.hi);
        ASSERT_TRUE(std::isfinite(a.lo) && std::isfinite(a.hi));
        ASSERT_LT(a.lo, a.hi);
        if (std::isfinite(c.lo) && c.lo <= c.hi) {
            EXPECT_LE(a.lo, c.lo);
            EXPECT_GE(a.hi, c.hi);
        }
        ASSERT_GE(a.ticks.size(), 2u);
        EXPECT_LE(a.ticks.size(), 12u);
        for (std::size_t i = 0; i < a.ticks.size(); ++i) {
            double t = a.ticks[i];
            EXPECT_TRUE(a.lo <= t && t <= a.hi);
            EXPECT_LE(std::fabs(std::remainder(t, a.step)), 1e-9 * std::max(std::fabs(t), a.step));
            if (i > 0) {
                EXPECT_NE(tick_label(t, a), tick_label(a.ticks[i - 1], a));
            }
        }
    }
    axis lod = nice_axis(-0.3, 4.1);
    EXPECT_NE(std::find(lod.ticks.begin(), lod.ticks.end(), 0.0), lod.ticks.end());
}

TEST(XmlText, EscapesMarkupAndRepairsEncoding)
{
    struct {
        const char* in;
        const char* out;
    } const cases[] = {
        {"a<b>&\"c'", "a&lt;b&gt;&amp;&quot;c&apos;"},
        {"d\xc3\xa9lta \xce\xb4", "d\xc3\xa9lta \xce\xb4"},  // valid UTF-8 is kept
        {"bad\xff byte", "bad\xef\xbf\xbd byte"},
        {"cut \xe2\x82", "cut \xef\xbf\xbd\xef\xbf\xbd"},
        {"overlong \xc0\xaf", "overlong \xef\xbf\xbd\xef\xbf\xbd"},
        {"surrogate \xed\xa0\x80", "surrogate \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {"tab\there\x01", "tab here "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(xml_text(c.in), c.out) << c.in;
}

TEST(SvgFigure, NotANumberLeavesGapsNotLines)
{
    // LOD: two runs of two and a lone point; delta: one run of five.
    result_set set{"a", "a", parse("0 0 0 1 0.1\n1 0 0 2 0.1\n2 0 0 nan 0.1\n3 0 0 2 0.1\n4 0 0 -nan 0.1\n"
                                   "5 0 0 1 nan\n6 0 0 1.5 nan\n")};
    std::string svg = svg_figure({set});
    auto count = [&](const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = svg.find(what); at != std::string::npos; at = svg.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("<polyline"), 3u);
    EXPECT_EQ(count("<circle"), 1u + 2u);  // the lone point and the two peak markers
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_EQ(svg.find("inf"), std::string::npos);
}
