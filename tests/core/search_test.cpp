#include <cmath>
#include <functional>

#include <gtest/gtest.h>

#include "brell.h"

using namespace brell;

namespace {

// The objective of a test: any function of delta, with a record of the
// points asked for.
std::function<double(double)> g_fn;
std::vector<double> g_asked;

void test_objective(const run_data&, eval_point& pt, int)
{
    g_asked.push_back(pt.x);
    pt.f = g_fn(pt.x);
}

struct search_fixture : ::testing::Test {
    run_data dat;
    eval_point pt;
    std::string msgs;

    search_fixture()
    {
        dat.npos = 1;
        dat.pos = {12.5};
        dat.delta = {0.0};
        dat.lod = {0.0};
        g_asked.clear();
    }
    void gss_on(double lo, double hi, std::function<double(double)> fn)
    {
        dat.dmin = lo;
        dat.dmax = hi;
        g_fn = std::move(fn);
        gss(dat, 0, test_objective, pt, msgs);
    }
    void grid_on(double lo, double hi, int n, std::function<double(double)> fn)
    {
        dat.dmin = lo;
        dat.dmax = hi;
        dat.numintervals = n;
        g_fn = std::move(fn);
        grid(dat, 0, test_objective, pt, msgs);
    }
};

const double R = (3.0 - std::sqrt(5.0)) * 0.5;

using Gss = search_fixture;

TEST_F(Gss, ConstantObjectiveMakesNoStep)
{
    gss_on(0.0, 2.0, [](double) { return 0.0; });
    EXPECT_EQ(g_asked, (std::vector<double>{0.0, 2.0, R * 2.0, 2.0 - R * 2.0}));
    EXPECT_EQ(dat.delta[0], 0.0 + R * 2.0);
    EXPECT_EQ(dat.lod[0], 0.0);
    EXPECT_TRUE(std::signbit(dat.lod[0]));  // -0 / ln 10
    EXPECT_EQ(msgs, "");
}

TEST_F(Gss, FindsAnInteriorMinimum)
{
    gss_on(-5.0, 5.0, [](double x) { return (x - 1.25) * (x - 1.25) - 2.0; });
    EXPECT_NEAR(dat.delta[0], 1.25, 1e-3);
    EXPECT_NEAR(dat.lod[0], 2.0 / std::log(10.0), 1e-9);
    EXPECT_LE(g_asked.size(), 53u);
    EXPECT_EQ(msgs, "");
}

TEST_F(Gss, EndsWinWhenBetterThanBothInteriorPoints)
{
    gss_on(0.0, 1.0, [](double x) { return -x; });
    EXPECT_EQ(dat.delta[0], 1.0);
    EXPECT_EQ(dat.lod[0], 1.0 / std::log(10.0));
    EXPECT_EQ(msgs, "Golden-section search maximizes on [max] boundary for pos =  1.25000e+01\n");

    msgs.clear();
    gss_on(0.0, 1.0, [](double x) { return x; });
    EXPECT_EQ(dat.delta[0], 0.0);
    EXPECT_EQ(msgs, "Golden-section search maximizes on [min] boundary for pos =  1.25000e+01\n");
}

TEST_F(Gss, StopsAfterFortyNineStepsWithAWarning)
{
    // Steep enough that the interior values never come within 1e-8.
    gss_on(0.0, 1.0, [](double x) { return -1e12 * x; });
    EXPECT_EQ(g_asked.size(), 4u + 49u);
    EXPECT_EQ(msgs,
              "Warning: golden-section search terminated at 50 iterations\n"
              "Golden-section search maximizes on [max] boundary for pos =  1.25000e+01\n");
}

TEST_F(Gss, NanNeverWinsAndTheUpperEndTakesWhatDoesNotCompare)
{
    gss_on(0.0, 1.0, [](double) { return NAN; });
    EXPECT_EQ(g_asked.size(), 4u);
    EXPECT_EQ(dat.delta[0], 1.0);
    EXPECT_TRUE(std::isnan(dat.lod[0]));
    EXPECT_EQ(msgs, "Golden-section search maximizes on [max] boundary for pos =  1.25000e+01\n");

    // A nan interior point fails every test of the lower end too.
    msgs.clear();
    gss_on(0.0, 1.0, [](double x) { return x == 0.0 ? -1.0 : x == 1.0 ? 2.0 : NAN; });
    EXPECT_EQ(dat.delta[0], 1.0);
    EXPECT_EQ(dat.lod[0], -2.0 / std::log(10.0));
    EXPECT_EQ(msgs, "Golden-section search maximizes on [max] boundary for pos =  1.25000e+01\n");
}

TEST_F(Gss, TiesGoToTheFirstInteriorPoint)
{
    // f1 == f2 == fa == fb.
    gss_on(-1.0, 1.0, [](double) { return -3.0; });
    EXPECT_EQ(dat.delta[0], -1.0 + R * 2.0);
    EXPECT_EQ(msgs, "");
}

using Grid = search_fixture;

TEST_F(Grid, VisitsEveryPointThenTheUpperEnd)
{
    grid_on(0.0, 1.0, 4, [](double x) { return (x - 0.5) * (x - 0.5) - 1.0; });
    EXPECT_EQ(g_asked, (std::vector<double>{0.0, 0.25, 0.5, 0.75, 1.0}));
    EXPECT_EQ(dat.delta[0], 0.5);
    EXPECT_EQ(dat.lod[0], 1.0 / std::log(10.0));
    EXPECT_EQ(msgs, "");
}

TEST_F(Grid, OneIntervalIsTwoEvaluations)
{
    grid_on(-2.0, 3.0, 1, [](double x) { return -x; });
    EXPECT_EQ(g_asked, (std::vector<double>{-2.0, 3.0}));
    EXPECT_EQ(dat.delta[0], 3.0);
    EXPECT_EQ(msgs, "Grid search maximizes on [max] boundary for pos =  1.25000e+01\n");
}

TEST_F(Grid, EarliestOfEqualValuesWinsAndTinyLodsAreZero)
{
    grid_on(-1.0, 1.0, 2, [](double) { return -5e-9 * std::log(10.0); });
    EXPECT_EQ(dat.delta[0], -1.0);
    EXPECT_EQ(dat.lod[0], 0.0);
    EXPECT_FALSE(std::signbit(dat.lod[0]));
    EXPECT_EQ(msgs, "Grid search maximizes on [min] boundary for pos =  1.25000e+01\n");

    // Exactly 1e-8 is kept.
    grid_on(-1.0, 1.0, 2, [](double) { return -1e-8 * std::log(10.0); });
    EXPECT_NE(dat.lod[0], 0.0);
}

TEST_F(Grid, AllNanLeavesTheLowerEndAndTheLargestValue)
{
    grid_on(0.5, 1.5, 3, [](double) { return NAN; });
    EXPECT_EQ(dat.delta[0], 0.5);
    EXPECT_EQ(dat.lod[0], -BIG / std::log(10.0));
    EXPECT_EQ(msgs, "Grid search maximizes on [min] boundary for pos =  1.25000e+01\n");
}

}  // namespace
