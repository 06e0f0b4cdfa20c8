// Simulated studies analysed by brell: the statistics must behave as theory
// says, under the null and under each model. Seeds are fixed, so each check
// gives the same figures on every run; the bounds leave room for any seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "sim.h"
#include "test_util.h"

namespace {

using simtest::moments;
using simtest::moments_of;
using simtest::result_row;

sim::options parse(std::vector<std::string> args)
{
    std::vector<const char*> argv{"brell-sim"};
    for (const auto& a : args)
        argv.push_back(a.c_str());
    return sim::parse_options(static_cast<int>(argv.size()), argv.data());
}

// Simulates a study into dir and returns brell's results for it.
std::vector<result_row> analyse(const simtest::temp_dir& dir, std::vector<std::string> sim_args, const char* model)
{
    sim_args.insert(sim_args.end(), {"--out", dir.str()});
    sim::write_study(parse(sim_args));
    const auto run = simtest::run_in(dir.path(), std::string(BRELL_BIN) + " " + model);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    return simtest::read_results(dir.path() / "brell.out");
}


// Replicate null studies of one position each; brell EXP gives both the
// combined NPL Z and a two-sided likelihood-ratio Z.
void null_replicates(const char* informativeness, std::vector<double>& npl_z, std::vector<double>& zlr)
{
    simtest::temp_dir dir("null");
    for (int rep = 0; rep < 400; ++rep) {
        const auto rows = analyse(dir,
                                  {"--kindreds", "80", "--sibs", "2-6", "--length", "0", "--informativeness",
                                   informativeness, "--seed", std::to_string(1000 + rep)},
                                  "EXP");
        ASSERT_EQ(rows.size(), 1u);
        npl_z.push_back(rows[0].npl_z);
        zlr.push_back(rows[0].zlr);
    }
}

TEST(NullStudies, NplZIsStandardNormalWithFullyInformativeMarkers)
{
    std::vector<double> npl_z, zlr;
    null_replicates("1", npl_z, zlr);
    const moments m = moments_of(npl_z);
    std::printf("full informativeness: NPL Z mean %.3f sd %.3f\n", m.mean, m.sd);
    // 400 replicates: standard errors 0.05 for the mean, 0.035 for the sd.
    EXPECT_NEAR(m.mean, 0.0, 0.2);
    EXPECT_NEAR(m.sd, 1.0, 0.13);
}

TEST(NullStudies, PartialInformativenessShrinksNplZButNotTheLikelihoodRatioZ)
{
    std::vector<double> npl_z, zlr;
    null_replicates("0.5", npl_z, zlr);
    const moments n = moments_of(npl_z), l = moments_of(zlr);
    std::printf("informativeness 0.5: NPL Z mean %.3f sd %.3f; likelihood-ratio Z mean %.3f sd %.3f\n", n.mean,
                n.sd, l.mean, l.sd);
    // Half the kindreds' NPL scores are 0 at a position, so the variance
    // halves: sd sqrt(1/2). The likelihood ratio uses the same data at
    // their true worth and keeps sd 1.
    EXPECT_NEAR(n.mean, 0.0, 0.15);
    EXPECT_NEAR(n.sd, std::sqrt(0.5), 0.1);
    EXPECT_NEAR(l.mean, 0.0, 0.2);
    EXPECT_NEAR(l.sd, 1.0, 0.15);
}

struct linked_case {
    const char* model;
    std::vector<std::string> args;
    double delta;
};

// Large studies with fully informative markers and a locus between map
// positions: brell's estimate at the nearest position and its LOD peak.
void expect_recovered(const std::vector<linked_case>& cases, int seed)
{
    const double locus = 20.4;
    simtest::temp_dir dir("linked");
    for (const auto& c : cases) {
        auto args = c.args;
        args.insert(args.end(), {"--kindreds", "2000", "--length", "40", "--spacing", "1", "--locus",
                                 sim::shortest(locus), "--seed", std::to_string(seed++)});
        const std::string what = std::string(c.model) + " " + args[3] + (args[4] == "--weights" ? " pairs" : "");
        const auto rows = analyse(dir, args, c.model);
        ASSERT_EQ(rows.size(), 41u) << what;
        const auto peak = std::max_element(rows.begin(), rows.end(),
                                           [](const result_row& a, const result_row& b) { return a.lod < b.lod; });
        const result_row& near = rows[20];
        std::printf("%s delta %.2f: estimate %.4f at 20 cM (LOD %.1f); LOD peak %.1f at %g cM\n", what.c_str(),
                    c.delta, near.delta, near.lod, peak->lod, peak->pos);
        // 2000 kindreds give a standard error near 0.025.
        EXPECT_NEAR(near.delta, c.delta, 0.1) << what;
        EXPECT_LE(std::fabs(peak->pos - locus), 2.0) << what;
        // 20 cM away most sibships have recombined; a chain that did not
        // recombine would keep the signal everywhere.
        EXPECT_LT(rows[0].lod, peak->lod / 2) << what;
    }
}

TEST(LinkedStudies, ExponentialModelRecoversDeltaAndLocus)
{
    expect_recovered({{"EXP", {"--model", "exp", "--sibs", "2-6", "--delta", "0.5"}, 0.5},
                      {"EXP", {"--model", "exp", "--sibs", "2-6", "--weights", "pairs", "--delta", "0.2"}, 0.2}},
                     500);
}

TEST(LinkedStudies, LinearModelRecoversDeltaAndLocus)
{
    expect_recovered({{"LIN", {"--model", "lin", "--sibs", "2-4", "--delta", "0.2"}, 0.2}}, 510);
}

// With these weights the bound, rounded, lets 1 + delta w z dip just below 0
// for a sibship of 4 at its lowest score: a likelihood of zero there, which
// must not take the golden-section search to its upper end.
TEST(LinkedStudies, LinearModelWithWeightsRecoversDeltaAndLocus)
{
    expect_recovered({{"LIN", {"--model", "lin", "--sibs", "2-4", "--weights", "pairs", "--delta", "0.15"}, 0.15}},
                     520);
}

}  // namespace
