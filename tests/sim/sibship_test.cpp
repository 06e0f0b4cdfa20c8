#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "sim.h"

namespace {

// Hand counts: a sibship's paternal sharing P and maternal sharing M are
// independent and alike, and the pairs score is P + M. With a of the s sibs
// carrying one paternal allele, P = C(a,2) + C(s-a,2); counting the 2^s
// paternal patterns and convolving P with itself gives these tables.
struct null_case {
    int sibs;
    std::vector<int> score;
    std::vector<int> count;  // out of 4^sibs
};

const null_case null_cases[] = {
    {2, {0, 1, 2}, {4, 8, 4}},
    {3, {2, 4, 6}, {36, 24, 4}},
    {4, {4, 5, 6, 8, 9, 12}, {36, 96, 64, 24, 32, 4}},
    {5, {8, 10, 12, 14, 16, 20}, {400, 400, 100, 80, 40, 4}},
    {6, {12, 13, 14, 16, 17, 20, 21, 22, 25, 30}, {400, 1200, 900, 480, 720, 144, 80, 120, 48, 4}},
};

TEST(Sibship, NullDistributionMatchesHandCounts)
{
    for (const auto& c : null_cases) {
        SCOPED_TRACE(c.sibs);
        const sim::sibship sh = sim::enumerate_sibship(c.sibs);
        EXPECT_EQ(sh.nvectors, 1 << (2 * c.sibs));
        EXPECT_EQ(sh.score, c.score);
        EXPECT_EQ(sh.count, c.count);
        for (std::size_t k = 0; k < sh.score.size(); ++k) {
            EXPECT_EQ(sh.nullprob[k], static_cast<double>(c.count[k]) / sh.nvectors);
            EXPECT_EQ(static_cast<int>(sh.vectors[k].size()), c.count[k]);
            for (auto v : sh.vectors[k])
                EXPECT_EQ(sim::pairs_score(c.sibs, v), c.score[k]);
        }
        // Pair sharings are pairwise independent with mean 1 and variance
        // 1/2, so the score has mean C(s,2) and variance C(s,2)/2.
        const double pairs = c.sibs * (c.sibs - 1) / 2.0;
        EXPECT_NEAR(sh.mean, pairs, 1e-12);
        EXPECT_NEAR(sh.sd, std::sqrt(pairs / 2), 1e-12);
        for (std::size_t k = 0; k < sh.score.size(); ++k)
            EXPECT_NEAR(sh.zscore[k], (c.score[k] - pairs) / std::sqrt(pairs / 2), 1e-12);
    }
}

TEST(Tilt, ZeroDeltaGivesTheNullDistribution)
{
    for (int s = sim::MIN_SIBS; s <= sim::MAX_SIBS; ++s) {
        const sim::sibship sh = sim::enumerate_sibship(s);
        for (auto m : {sim::model::exponential, sim::model::linear}) {
            const auto t = sim::tilted_probs(sh, m, 0.0, 1.0);
            for (std::size_t k = 0; k < t.size(); ++k)
                EXPECT_NEAR(t[k], sh.nullprob[k], 1e-15);
        }
    }
}

TEST(Tilt, OutcomesAreReweightedByTheModelFactor)
{
    struct tilt_case {
        int sibs;
        double delta, weight;
    };
    const tilt_case cases[] = {{2, 0.5, 1.0}, {4, 0.5, 1.0}, {6, -0.05, 2.0}, {3, 0.2, std::sqrt(3.0)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sibs);
        const sim::sibship sh = sim::enumerate_sibship(c.sibs);
        const auto e = sim::tilted_probs(sh, sim::model::exponential, c.delta, c.weight);
        const auto l = sim::tilted_probs(sh, sim::model::linear, c.delta, c.weight);
        EXPECT_NEAR(std::accumulate(e.begin(), e.end(), 0.0), 1.0, 1e-14);
        EXPECT_NEAR(std::accumulate(l.begin(), l.end(), 0.0), 1.0, 1e-14);
        for (std::size_t k = 0; k < sh.score.size(); ++k) {
            const double wz = c.weight * sh.zscore[k];
            EXPECT_NEAR(e[k] / e[0], sh.nullprob[k] / sh.nullprob[0] * std::exp(c.delta * (wz - c.weight * sh.zscore[0])),
                        1e-12 * e[k] / e[0]);
            // The standardised score has null mean 0, so no normalisation.
            EXPECT_NEAR(l[k], sh.nullprob[k] * (1 + c.delta * wz), 1e-15);
        }
    }
}

TEST(Tilt, ExtremeDeltasStayFinite)
{
    const sim::sibship sh = sim::enumerate_sibship(6);
    const auto up = sim::tilted_probs(sh, sim::model::exponential, 1000.0, 1.0);
    const auto down = sim::tilted_probs(sh, sim::model::exponential, -1000.0, 1.0);
    EXPECT_DOUBLE_EQ(up.back(), 1.0);
    EXPECT_DOUBLE_EQ(down.front(), 1.0);
}

TEST(LinearBound, IsBrellsBoundAndEmptiesTheLowestScore)
{
    // sd / (mean - smin): s = 2 gives sqrt(1/2) / 1.
    const double expected_hi[] = {0, 0, std::sqrt(0.5), std::sqrt(1.5), std::sqrt(3.0) / 2, std::sqrt(5.0) / 2,
                                  std::sqrt(7.5) / 3};
    for (int s = sim::MIN_SIBS; s <= sim::MAX_SIBS; ++s) {
        SCOPED_TRACE(s);
        const sim::sibship sh = sim::enumerate_sibship(s);
        const sim::delta_range r = sim::linear_delta_range(sh, 1.0);
        EXPECT_NEAR(r.hi, expected_hi[s], 1e-14);
        EXPECT_NEAR(r.lo, -sh.sd / (sh.score.back() - sh.mean), 1e-14);
        EXPECT_NEAR(sim::linear_delta_range(sh, 2.0).hi, r.hi / 2, 1e-14);
        const auto at_hi = sim::tilted_probs(sh, sim::model::linear, r.hi, 1.0);
        const auto at_lo = sim::tilted_probs(sh, sim::model::linear, r.lo, 1.0);
        EXPECT_EQ(at_hi.front(), 0.0);
        EXPECT_EQ(at_lo.back(), 0.0);
        for (double p : at_hi)
            EXPECT_GE(p, 0.0);
    }
}

std::array<sim::sibship, sim::MAX_SIBS + 1> all_tables()
{
    std::array<sim::sibship, sim::MAX_SIBS + 1> t;
    for (int s = sim::MIN_SIBS; s <= sim::MAX_SIBS; ++s)
        t[s] = sim::enumerate_sibship(s);
    return t;
}

TEST(LinearBound, RefusesDeltasOutsideEverySizeDrawn)
{
    const auto tables = all_tables();
    struct bound_case {
        std::vector<const char*> args;
        const char* message;  // empty: accepted
    };
    const bound_case cases[] = {
        {{"--sibs", "2-4", "--delta", "0.2"}, ""},
        {{"--sibs", "3", "--delta", "1.2"}, ""},
        {{"--sibs", "3", "--delta", "-0.4"}, ""},
        {{"--sibs", "2-4", "--delta", "0.8"},
         "--delta: 0.8 is beyond the linear model's bound for sibships of 2 (1 + delta w z would be negative at "
         "their lowest score); the largest allowed delta is 0.7071067811865476"},
        {{"--sibs", "3,5", "--delta", "1.2", "--weights", "pairs"},
         "--delta: 1.2 is beyond the linear model's bound for sibships of 5 (1 + delta w z would be negative at "
         "their lowest score); the largest allowed delta is 0.35355339059327373"},
        {{"--sibs", "2", "--delta", "-0.8"},
         "--delta: -0.8 is beyond the linear model's bound for sibships of 2 (1 + delta w z would be negative at "
         "their highest score); the smallest allowed delta is -0.7071067811865476"},
        // A size of frequency 0 is never drawn and sets no bound.
        {{"--sibs", "2:0,3:1", "--delta", "1.2"}, ""},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv{"brell-sim", "--model", "lin", "--locus", "5", "--length", "10"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const sim::options opt = sim::parse_options(static_cast<int>(argv.size()), argv.data());
        SCOPED_TRACE(c.args[1]);
        if (*c.message == '\0') {
            EXPECT_NO_THROW(sim::check_linear_delta(opt, tables));
            continue;
        }
        try {
            sim::check_linear_delta(opt, tables);
            ADD_FAILURE() << "accepted";
        } catch (const sim::error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(LinearBound, TheReportedBoundIsItselfAccepted)
{
    const auto tables = all_tables();
    const std::string hi = sim::shortest(sim::linear_delta_range(tables[2], 1.0).hi);
    const char* argv[] = {"brell-sim", "--model", "lin", "--locus", "0", "--sibs", "2-6", "--delta", hi.c_str()};
    const sim::options opt = sim::parse_options(9, argv);
    EXPECT_NO_THROW(sim::check_linear_delta(opt, tables));
}

}  // namespace
