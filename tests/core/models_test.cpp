#include <cmath>

#include <gtest/gtest.h>

#include "test_util.h"

using namespace brell;

namespace {

// A kindred with the given rows, already through the null-file phase.
fam_record kindred(std::vector<double> nullprob, std::vector<double> score, double weight = 1.0)
{
    fam_record r;
    r.nscores = static_cast<int>(score.size());
    r.nullprob = std::move(nullprob);
    r.score = std::move(score);
    r.weight = weight;
    double mean = 0.0;
    for (int k = 0; k < r.nscores; ++k)
        mean = r.nullprob[k] * r.score[k] + mean;
    double var = 0.0;
    for (int k = 0; k < r.nscores; ++k)
        var = ((r.score[k] - mean) * r.nullprob[k]) * (r.score[k] - mean) + var;
    r.mean = mean;
    r.sd = std::sqrt(var);
    return r;
}

// Affected sib pair: IBD 0, 1, 2 with 1/4, 1/2, 1/4.
fam_record asp(double weight = 1.0) { return kindred({.25, .5, .25}, {0, 1, 2}, weight); }

run_data with(std::vector<fam_record> fams, std::vector<std::vector<double>> probs_by_fam)
{
    run_data dat;
    dat.fam = std::move(fams);
    dat.nfam = static_cast<int>(dat.fam.size());
    dat.npos = static_cast<int>(probs_by_fam[0].size() / dat.fam[0].nscores);
    for (int p = 0; p < dat.npos; ++p)
        dat.pos.push_back(5.0 * p);
    for (int i = 0; i < dat.nfam; ++i)
        dat.fam[i].prob.assign(probs_by_fam[i].begin(), probs_by_fam[i].end());
    compute_fam_zscores(dat);
    compute_fam_npl(dat);
    compute_weighted_fam_npl(dat);
    return dat;
}

TEST(KindredScores, StandardiseRowsAndExpectedScores)
{
    run_data dat = with({asp(2.0)}, {{0, 0, 1, 0, 0, 0}});
    const fam_record& r = dat.fam[0];
    const double sd = std::sqrt(0.5);
    EXPECT_EQ(r.zscore, (std::vector<double>{-1.0 / sd, 0.0, 1.0 / sd}));
    EXPECT_EQ(std::vector<double>(r.npl.begin(), r.npl.end()),
              (std::vector<double>{1.0 / sd, -1.0 / sd}));  // all-zero row: -mean / sd
    EXPECT_EQ(std::vector<double>(r.wnpl.begin(), r.wnpl.end()), (std::vector<double>{2.0 / sd, -2.0 / sd}));
}

TEST(LinearBound, SmallestOverKindreds)
{
    // (sd, mean - smin, weight) of (1, 2, 1) and (1, 1, 2) both bound at 0.5.
    fam_record a = kindred({.5, .5}, {-1, 1});
    a.mean = 1.0;
    a.sd = 1.0;
    fam_record b = a;
    b.mean = 0.0;
    b.weight = 2.0;
    run_data dat;
    dat.fam = {a, b};
    EXPECT_EQ(linear_bound(dat), 0.5);
    // No variation: infinite bound for that kindred, the largest double overall.
    dat.fam = {kindred({1.0}, {3.0})};
    dat.fam[0].sd = 1e-8;
    EXPECT_EQ(linear_bound(dat), BIG);
    // A negative weight makes the bound negative, used as it comes.
    dat.fam = {asp(-1.0)};
    EXPECT_EQ(linear_bound(dat), -std::sqrt(0.5));
}

TEST(F1Linear, SumsMinusLogsAndPassesInfinitiesOn)
{
    run_data dat = with({asp(), asp()}, {{0, 0, 1}, {1, 0, 0}});
    eval_point pt;
    const double w = 1.0 / std::sqrt(0.5);
    pt.x = 0.5;
    f1_linear(dat, pt, 0);
    EXPECT_EQ(pt.f, (0.0 - std::log(0.5 * w + 1.0)) - std::log(0.5 * -w + 1.0));
    pt.x = 0.0;
    f1_linear(dat, pt, 0);
    EXPECT_EQ(pt.f, 0.0);
    pt.x = std::sqrt(0.5);  // second kindred's term is exactly 0
    f1_linear(dat, pt, 0);
    EXPECT_EQ(pt.f, INFINITY);
    pt.x = 1.0;
    f1_linear(dat, pt, 0);
    EXPECT_TRUE(std::isnan(pt.f));
}

TEST(F1Exponential, IsLnDMinusLnNAndClampsNearZero)
{
    run_data dat = with({asp(1.5)}, {{0.1, 0.2, 0.7}});
    eval_point pt;
    pt.x = 0.8;
    f1_exponential(dat, pt, 0);
    const fam_record& r = dat.fam[0];
    double d = 0, n = 0;
    for (int k = 0; k < 3; ++k) {
        double e = std::exp(0.8 * 1.5 * r.zscore[k]);
        d = d + e * r.nullprob[k];
        n = n + e * r.prob[k];
    }
    EXPECT_EQ(pt.f, std::log(d) - std::log(n));
    // Probabilities equal to the null ones: 0 at every delta.
    dat = with({asp(), asp()}, {{.25, .5, .25}, {.25, .5, .25}});
    for (double x : {-5.0, -0.3, 0.0, 2.0, 5.0}) {
        pt.x = x;
        f1_exponential(dat, pt, 0);
        EXPECT_EQ(pt.f, 0.0) << x;
        EXPECT_FALSE(std::signbit(pt.f)) << x;
    }
}

TEST(FinalStats, CombinesWeightsAndSignsTheLikelihoodRatio)
{
    run_data dat = with({asp(3.0), asp(4.0)}, {{0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1},
                                               {1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0, 0}});
    ASSERT_EQ(dat.npos, 4);
    dat.lod = {1.0, 1.0, 0.0, -0.0};
    dat.delta = {0.2, -0.2, -0.1, 0.0};
    compute_final_stats(dat);
    const double npl = 1.0 / std::sqrt(0.5);
    EXPECT_EQ(dat.npl_z[0], (0.0 + 3.0 * npl + 4.0 * -npl) / 5.0);
    const double z = std::sqrt(std::log(10.0) + std::log(10.0));
    EXPECT_EQ(dat.zlr[0], z);
    EXPECT_EQ(dat.zlr[1], -z);
    EXPECT_TRUE(std::signbit(dat.zlr[2]));   // +0 LOD, negative delta
    EXPECT_TRUE(std::signbit(dat.zlr[3]));   // -0 LOD, delta 0
    dat.lod[0] = -0.5;
    compute_final_stats(dat);
    EXPECT_TRUE(std::isnan(dat.zlr[0]));
}

TEST(FinalStats, AllWeightsZeroGiveNan)
{
    run_data dat = with({asp(0.0)}, {{0, 0, 1}});
    dat.lod = {0.0};
    dat.delta = {0.0};
    compute_final_stats(dat);
    EXPECT_TRUE(std::isnan(dat.npl_z[0]));
}

}  // namespace
