// Kindreds certain of their least sharing: at the linear model's bound their
// likelihood is zero, which rounding can turn into a hair below zero.
#include <cmath>
#include <sstream>

#include <gtest/gtest.h>

#include "test_util.h"

using brell_test::run_inproc;
using brell_test::scratch_dir;

namespace {

// Sibships of four affected sibs: pairs scores with their null probabilities.
const int SCORES[] = {4, 5, 6, 8, 9, 12};
const double NULLP[] = {0.140625, 0.375, 0.25, 0.09375, 0.125, 0.015625};
const char* const PAIR_WEIGHT = "2.449489742783178";  // sqrt(6 pairs)

// Each kindred is certain of one score at the only position.
void write_study(const scratch_dir& dir, const std::vector<int>& sure_of, bool weighted)
{
    std::ostringstream null, probs, w;
    for (std::size_t i = 0; i < sure_of.size(); ++i) {
        const std::string id = "F" + std::to_string(i + 1);
        for (int k = 0; k < 6; ++k) {
            null << id << ' ' << NULLP[k] << ' ' << SCORES[k] << '\n';
            probs << id << " 0 " << SCORES[k] << ' ' << (SCORES[k] == sure_of[i] ? 1 : 0) << '\n';
        }
        w << id << ' ' << PAIR_WEIGHT << '\n';
    }
    dir.write("nullprobs.dat", null.str());
    dir.write("probs.dat", probs.str());
    if (weighted)
        dir.write("weights.dat", w.str());
}

struct result {
    double lod;
    double delta;
};
result read_result(const scratch_dir& dir)
{
    std::istringstream in(dir.read("brell.out"));
    double pos, npl, zlr;
    result r{};
    in >> pos >> npl >> zlr >> r.lod >> r.delta;
    return r;
}

// The likelihood of the linear model maximised by brute force over [0, B],
// a likelihood of zero wherever a term is at or below 0.
result brute_force(const std::vector<int>& sure_of, double weight)
{
    double mean = 0, var = 0;
    for (int k = 0; k < 6; ++k)
        mean += NULLP[k] * SCORES[k];
    for (int k = 0; k < 6; ++k)
        var += NULLP[k] * (SCORES[k] - mean) * (SCORES[k] - mean);
    const double sd = std::sqrt(var);
    const double bound = sd / ((mean - 4) * weight);
    result best{-INFINITY, 0};
    const int n = 200000;
    for (int j = 0; j <= n; ++j) {
        const double x = bound * j / n;
        double ll = 0;
        for (int s : sure_of)
            ll += std::log(std::max(0.0, 1 + x * weight * (s - mean) / sd));
        if (ll / std::log(10.0) > best.lod)
            best = {ll / std::log(10.0), x};
    }
    return best;
}

struct zero_case {
    const char* what;
    std::vector<int> sure_of;
    bool weighted;
    std::vector<std::string> args;
};

// Golden-section and grids up to the bound find the interior maximum; a
// grid reaching beyond the bound still skips its nan points.
TEST(LinearZeroLikelihood, InteriorMaximumDespiteAKindredAtItsLeast)
{
    const zero_case cases[] = {
        {"one low, one high, weighted", {4, 12}, true, {"LIN"}},
        {"one low, one high, unweighted", {4, 12}, false, {"LIN"}},
        {"two low, two high, weighted", {4, 12, 4, 12}, true, {"LIN"}},
        {"one low, three high, weighted", {12, 4, 12, 9}, true, {"LIN"}},
        {"grid to a little past the bound", {4, 12}, true, {"LIN", "GRID", "0", "0.36", "400"}},
        {"grid beyond the bound", {4, 12}, true, {"LIN", "GRID", "0", "1", "1000"}},
    };
    for (const zero_case& c : cases) {
        SCOPED_TRACE(c.what);
        scratch_dir dir;
        write_study(dir, c.sure_of, c.weighted);
        brell_test::outcome o = run_inproc(dir.path(), c.args);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out.find("maximizes on [max]"), std::string::npos) << o.out;
        const result got = read_result(dir);
        const double w = c.weighted ? std::sqrt(6.0) : 1.0;
        const result want = brute_force(c.sure_of, w);
        ASSERT_TRUE(std::isfinite(got.lod));
        const bool grid = c.args.size() > 1;
        EXPECT_NEAR(got.lod, want.lod, grid ? 1e-3 : 1e-5 * want.lod);  // brell.out keeps 6 digits
        EXPECT_NEAR(got.delta, want.delta, grid ? 2e-3 : 1e-4);
    }
}

// At the bound itself a grid point with a kindred at its least sharing
// loses like any likelihood of zero; just past it the term stays nan.
TEST(LinearZeroLikelihood, ObjectiveAtAndBeyondTheBound)
{
    scratch_dir dir;
    write_study(dir, {4, 12}, true);
    brell::run_data dat;
    dat.dir = dir.path();
    brell_test::capture cap;
    dat.out = cap.file();
    brell::process_nullprobs(dat);
    brell::weights(dat);
    brell::process_probs(dat);
    brell::compute_fam_zscores(dat);
    brell::compute_fam_npl(dat);
    brell::compute_weighted_fam_npl(dat);
    const double bound = brell::linear_bound(dat);
    brell::eval_point pt;
    pt.x = bound;
    ASSERT_LT(bound * dat.fam[0].wnpl[0] + 1.0, 0.0) << "the study no longer rounds below 0";
    brell::f1_linear(dat, pt, 0);
    EXPECT_TRUE(std::isnan(pt.f)) << "no bound known yet: the term as it comes";
    dat.bound = bound;
    brell::f1_linear(dat, pt, 0);
    EXPECT_EQ(pt.f, INFINITY);
    pt.x = std::nextafter(bound, 1.0);
    brell::f1_linear(dat, pt, 0);
    EXPECT_TRUE(std::isnan(pt.f));
}

}  // namespace
