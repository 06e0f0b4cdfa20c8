// Simulated genotypes carried through brell-ibd to brell: what brell-ibd
// infers must keep brell's statistics where theory puts them. Seeds are
// fixed, so each check gives the same figures on every run; the bounds come
// from the sampling error of the figure checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using simtest::moments;
using simtest::moments_of;
using simtest::read_results;
using simtest::result_row;

// Simulates a study with genotypes into dir, infers its IBD with brell-ibd
// from the true allele frequencies, and returns brell's results. One shell
// for the three programs and one thread for brell-ibd keep the many small
// runs cheap on a shared machine.
std::vector<result_row> chain(const simtest::temp_dir& dir, const std::string& sim_args, const std::string& ibd_args,
                              const char* model)
{
    const auto run = simtest::run_in(
        dir.path(), std::string(BRELL_SIM_BIN) + " " + sim_args + " --out . >/dev/null && " + BRELL_IBD_BIN +
                        " -p study.ped -d study.dat -m study.map -f study.freq -o ibd --threads 1 --quiet " +
                        ibd_args + " && cd ibd/chr1 && " + BRELL_BIN + " " + model);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    return read_results(dir.path() / "ibd" / "chr1" / "brell.out");
}


constexpr int null_studies = 250;
constexpr double null_mid = 20;  // cM; the position read in each null study

// The same null studies (same inheritance, as the seeds are shared) seen
// through markers of different worth. brell LIN gives both the NPL Z and a
// one-sided LOD at the middle of a 40 cM map.
struct null_figures {
    std::vector<double> npl_z, lod;
};

null_figures null_replicates(const std::string& marker_args)
{
    simtest::temp_dir dir("ibd-null");
    null_figures f;
    for (int rep = 0; rep < null_studies; ++rep) {
        const auto rows = chain(dir,
                                "--kindreds 30 --sibs 2-4 --length 40 " + marker_args + " --seed " +
                                    std::to_string(3000 + rep),
                                "", "LIN");
        const auto mid = std::find_if(rows.begin(), rows.end(), [](const result_row& r) { return r.pos == null_mid; });
        if (mid == rows.end()) {
            ADD_FAILURE() << "no result at " << null_mid << " cM in study " << rep;
            return f;
        }
        f.npl_z.push_back(mid->npl_z);
        f.lod.push_back(mid->lod);
    }
    return f;
}

const std::string dense_markers = "--spacing 4 --markers 8 --parents genotyped";
const std::string sparse_snps = "--spacing 20 --freqs snp --parents missing";

// Two tests read the dense studies; they are run once.
const null_figures& dense_replicates()
{
    static const null_figures f = null_replicates(dense_markers);
    return f;
}

TEST(IbdNullStudies, NplZIsStandardNormalWithDenseInformativeMarkers)
{
    const auto& f = dense_replicates();
    const moments m = moments_of(f.npl_z);
    const double se_mean = m.sd / std::sqrt(double(null_studies));
    // Normal data: the sd's standard error is near 1 / sqrt(2n), 0.045 here.
    const double se_sd = 1 / std::sqrt(2.0 * null_studies);
    std::printf("dense 8-allele markers, parents genotyped: NPL Z mean %.3f (se %.3f) sd %.3f (se %.3f)\n", m.mean,
                se_mean, m.sd, se_sd);
    EXPECT_NEAR(m.mean, 0.0, 4 * se_mean);
    // 0.12 is under 3 se: these markers leave almost no sharing unseen, and
    // wrong sharing probabilities move the sd by more than that.
    EXPECT_NEAR(m.sd, 1.0, 0.12);
}

// Incomplete inheritance information shrinks the NPL score toward 0: its
// expectation given the markers has the same mean and a smaller variance.
TEST(IbdNullStudies, SparseSnpsWithoutParentsShrinkNplZ)
{
    const auto dense = moments_of(dense_replicates().npl_z);
    const auto sparse = moments_of(null_replicates(sparse_snps).npl_z);
    const double se_sd = 1 / std::sqrt(2.0 * null_studies);
    std::printf("SNPs every 20 cM, parents missing: NPL Z mean %.3f sd %.3f; dense markers sd %.3f\n", sparse.mean,
                sparse.sd, dense.sd);
    EXPECT_NEAR(sparse.mean, 0.0, 4 * sparse.sd / std::sqrt(double(null_studies)));
    EXPECT_LT(sparse.sd, 1.0 + 4 * se_sd);
    // The studies share their inheritance, so the comparison is paired and
    // far tighter than either sd's own error.
    EXPECT_LT(sparse.sd, dense.sd);
}

// The LIN LOD is one-sided: under the null it is 0 half the time, and 0.588
// (chi-square 2.706) is its 5% point.
TEST(IbdNullStudies, LinLodPassesItsFivePercentPointInFivePercentOfStudies)
{
    const auto& f = dense_replicates();
    const auto hits = std::count_if(f.lod.begin(), f.lod.end(), [](double lod) { return lod >= 0.588; });
    const auto zeros = std::count_if(f.lod.begin(), f.lod.end(), [](double lod) { return lod <= 1e-9; });
    const double n = null_studies, frac = double(hits) / n;
    const double se = std::sqrt(0.05 * 0.95 / n);
    std::printf("LIN LOD >= 0.588 in %ld of %d null studies (%.3f, se %.3f); LOD 0 in %ld\n", long(hits),
                null_studies, frac, se, long(zeros));
    EXPECT_NEAR(frac, 0.05, 4 * se);
    EXPECT_NEAR(double(zeros) / n, 0.5, 4 * std::sqrt(0.25 / n));
}

// A strong locus between markers: brell's LOD peak must find it, and with
// the pairs score (the score the simulated tilt uses) the EXP estimate of
// delta must match the simulated one.
TEST(IbdLinkedStudies, ExponentialModelRecoversLocusAndDelta)
{
    const double locus = 42.5, delta = 0.5;
    simtest::temp_dir dir("ibd-linked");
    const auto rows = chain(dir,
                            "--kindreds 300 --sibs 2-4 --length 80 --spacing 2.5 --markers 8 --locus 42.5"
                            " --model exp --delta 0.5 --seed 77",
                            "--score pairs", "EXP");
    ASSERT_FALSE(rows.empty());
    const auto peak = std::max_element(rows.begin(), rows.end(),
                                       [](const result_row& a, const result_row& b) { return a.lod < b.lod; });
    const auto at = std::find_if(rows.begin(), rows.end(), [&](const result_row& r) { return r.pos == locus; });
    ASSERT_NE(at, rows.end());
    // The likelihood-ratio Z is the estimate over its standard error.
    const double se = std::fabs(at->delta / at->zlr);
    std::printf("linked, delta %.2f at %.1f cM: LOD peak %.2f at %g cM; estimate %.4f (se %.4f, LOD %.2f) at the "
                "locus\n",
                delta, locus, peak->lod, peak->pos, at->delta, se, at->lod);
    EXPECT_LE(std::fabs(peak->pos - locus), 5.0);
    EXPECT_GT(peak->lod, 3.0);
    EXPECT_NEAR(at->delta, delta, 4 * se);
    // Far from the locus most sibships have recombined.
    EXPECT_LT(rows.front().lod, peak->lod / 2);
}

}  // namespace
