// Empirical genome-wide significance checked against what it estimates:
// uniform p-values and a 5% line passed by 5% of null studies under both
// models, the 5% and suggestive thresholds of a dense, fully informative
// genome against Lander & Kruglyak's theory, a small p at a real locus and
// none for deficit sharing. Seeds are fixed, so every run prints the same
// figures; the bounds come from the sampling error of the figure checked.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <sstream>

#include <unistd.h>

#include <gtest/gtest.h>

#include "brell.h"
#include "scan_tool.h"
#include "sim.h"
#include "test_util.h"

namespace {

using simtest::run_in;
using simtest::temp_dir;

const std::string SIM = BRELL_SIM_BIN;
const std::string SCAN = BRELL_SCAN_BIN;

// A scan of replicates is many small files: kept in memory where the system
// offers a place for them, four times as fast as on this disk.
const bool IN_MEMORY = [] {
    if (!std::getenv("TMPDIR") && ::access("/dev/shm", W_OK | X_OK) == 0)
        ::setenv("TMPDIR", "/dev/shm", 1);
    return true;
}();

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct peak_row {
    std::string chromosome;
    double pos, lod, p;
};

// The peak rows of a significance.tsv.
std::vector<peak_row> peaks_of(const std::string& tsv)
{
    std::vector<peak_row> out;
    std::istringstream in(tsv);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        std::istringstream fs(line);
        for (std::string x; std::getline(fs, x, '\t');)
            f.push_back(x);
        if (f.size() == 7 && f[1] == "peak")
            out.push_back({f[3], std::stod(f[4]), std::stod(f[5]), std::stod(f[6])});
    }
    return out;
}

// A simulated study with genotypes in dir, n null replicates of it, and
// brell-scan over both; returns significance.tsv.
std::string scan_with_replicates(const temp_dir& dir, const std::string& sim_args, int n, std::uint64_t seed,
                                 const std::string& scan_args, const std::string& drop_args = "")
{
    const std::string study = " -p study.ped -d study.dat -m study.map -f study.freq";
    const auto r = run_in(dir.path(), "rm -rf reps out && " + SIM + " " + sim_args + " --seed " +
                                          std::to_string(seed) + " --out . >/dev/null && " + SIM + " --drop" +
                                          study + " " + drop_args + " --replicates " + std::to_string(n) + " --seed " +
                                          std::to_string(seed + 1) + " --out reps >/dev/null && " + SCAN + study +
                                          " -o out --replicates reps --quiet " + scan_args + " >/dev/null");
    EXPECT_EQ(r.status, 0) << r.err;
    return simtest::slurp(dir.path() / "out" / "significance.tsv");
}

// Kolmogorov-Smirnov distance of p-values to the uniform on {1, ..., N +
// 1} / (N + 1), at each support point and just below it (where both CDFs
// step), and Kolmogorov's 0.1% point for that many p-values (Stephens'
// finite-n form; for a discrete distribution the test is conservative).
std::pair<double, double> ks_uniform(std::vector<double> ps, int n)
{
    std::sort(ps.begin(), ps.end());
    const double m = double(ps.size());
    double d = 0;
    for (int k = 0; k <= n + 1; ++k) {
        const double u = double(k) / (n + 1);
        const double at = double(std::upper_bound(ps.begin(), ps.end(), u + 1e-12) - ps.begin()) / m;
        const double below = double(std::lower_bound(ps.begin(), ps.end(), u - 1e-12) - ps.begin()) / m;
        d = std::max({d, std::fabs(at - u), std::fabs(below - (k == 0 ? 0.0 : double(k - 1) / (n + 1)))});
    }
    const double rn = std::sqrt(m);
    return {d, std::sqrt(-0.5 * std::log(0.001 / 2)) / (rn + 0.12 + 0.11 / rn)};
}

// Null studies with 200 replicates each, scanned under both models, their
// significance taken again from the first 20, 99 and 200 replicates. The
// study and its replicates are exchangeable, so its p(genome), (1 +
// replicates reaching it) / (N + 1), is uniform on {1, ..., N + 1} / (N +
// 1), and p <= 0.05 in a share floor(0.05 (N + 1)) / (N + 1) of studies: by
// the p-value and by the 5% line alike. The suggestive line is the LOD
// exceeded once per scan on average: an average of N scans, which needs no
// such correction; the studies' own excursions above it say whether it is
// one.
TEST(ScanCalibration, NullStudiesUnderBothModels)
{
    const auto t0 = std::chrono::steady_clock::now();
    constexpr int studies = 200, n = 200;
    const int sizes[] = {20, 99, 200};
    const std::vector<std::string> models = {"LIN", "EXP"};
    temp_dir dir("calib-null");
    // [model][size]: p-values, and whether the study passed the 5% line.
    std::vector<std::vector<std::vector<double>>> ps(2, std::vector<std::vector<double>>(3));
    std::vector<std::vector<int>> line_passed(2, std::vector<int>(3, 0)), percentile_passed = line_passed;
    std::vector<int> nothing_above_0(2, 0);
    std::vector<std::vector<double>> above_suggestive(2);
    for (int s = 0; s < studies; ++s) {
        std::istringstream tsv(scan_with_replicates(
            dir, "--kindreds 30 --sibs 2-3 --length 100 --spacing 5 --markers 6", n, 7000 + 2 * s,
            "--model both --threads 2"));
        const brell_plot::significance full = brell_plot::read_significance(tsv, "significance.tsv");
        const brell_plot::genome_scan observed = brell_plot::read_scan((dir.path() / "out" / "scan.tsv").string());
        ASSERT_EQ(observed.chromosomes.size(), 1u);
        for (std::size_t m = 0; m < models.size(); ++m) {
            std::vector<scan::replicate_result> reps;
            for (const auto& r : full.replicates)
                if (r.model == models[m]) {
                    reps.push_back({{scan::replicate_model{}}});
                    reps.back().models[0].max_lod = r.lod;
                }
            ASSERT_EQ(reps.size(), std::size_t(n));
            scan::options o;
            o.models = {models[m]};
            brell_plot::genome_scan one;
            one.models = o.models;
            one.chromosomes = {{"1", observed.chromosomes[0].positions, {observed.chromosomes[0].curves[m]}}};
            const double lod = brell_plot::find_peak(one.chromosomes[0].curves[0]).lod;
            nothing_above_0[m] += lod <= 0;
            for (int k = 0; k < 3; ++k) {
                const std::vector<scan::replicate_result> first(reps.begin(), reps.begin() + sizes[k]);
                const brell_plot::significance sig =
                    scan::significance_of(o, one, std::vector<std::string>(sizes[k], "r"), first);
                const double p = sig.peaks.at(0).p, line = sig.thresholds.at(1).lod;
                ps[m][k].push_back(p);
                line_passed[m][k] += lod >= line;
                // The two rules agree study by study.
                ASSERT_EQ(lod >= line, p <= 0.05) << "study " << s << " " << models[m] << " N " << sizes[k];
                if (k == 2) {
                    ASSERT_EQ(p, full.peaks.at(m).p);  // as brell-scan itself found
                }
                // For comparison: the ceil(0.95 N)-th maximum, as the 95th
                // percentile of the replicates alone would have it.
                std::vector<double> maxima;
                for (const auto& r : first)
                    maxima.push_back(r.models[0].max_lod);
                std::sort(maxima.begin(), maxima.end());
                percentile_passed[m][k] += lod >= maxima[(95 * sizes[k] + 99) / 100 - 1];
            }
            double sugg = NAN;
            for (const auto& t : full.thresholds)
                if (t.model == models[m] && t.id == "suggestive")
                    sugg = t.lod;
            std::vector<double> curve;
            for (const auto& row : one.chromosomes[0].curves[0])
                curve.push_back(row.lod);
            double count = 0;
            for (const auto& [peak, end] : scan::excursions(curve))
                count += peak >= sugg && end < sugg;
            above_suggestive[m].push_back(count);
        }
    }
    const double se5 = std::sqrt(0.05 * 0.95 / studies);
    for (std::size_t m = 0; m < models.size(); ++m) {
        for (int k = 0; k < 3; ++k) {
            const auto [d, crit] = ks_uniform(ps[m][k], sizes[k]);
            const double share = double(line_passed[m][k]) / studies;
            std::printf("%s, %d replicates: KS distance %.4f (0.1%% point %.4f); p(genome) <= 0.05 and LOD >= the "
                        "5%% line in %.1f%% of %d null studies (exact %.2f%%, se %.1f%%; the replicates' 95th "
                        "percentile: %.1f%%)\n",
                        models[m].c_str(), sizes[k], d, crit, 100 * share, studies,
                        100 * std::floor(0.05 * (sizes[k] + 1)) / (sizes[k] + 1), 100 * se5,
                        100.0 * percentile_passed[m][k] / studies);
            EXPECT_LT(d, crit) << models[m] << " N " << sizes[k];
            EXPECT_LE(std::fabs(share - 0.05), 2 * se5) << models[m] << " N " << sizes[k];
        }
        const simtest::moments c = simtest::moments_of(above_suggestive[m]);
        std::printf("%s: excursions above the empirical suggestive line per null study %.3f (se %.3f; 1 by its "
                    "definition); best LOD <= 0 in %d studies\n",
                    models[m].c_str(), c.mean, c.sd / std::sqrt(double(studies)), nothing_above_0[m]);
        EXPECT_NEAR(c.mean, 1.0, 3 * c.sd / std::sqrt(double(studies))) << models[m];
    }
    std::printf("%.1f s\n", seconds_since(t0));
}

// A study of deficit sharing at a locus (the exponential model's delta -0.6,
// 100 sibships: enough that its LOD there, unsigned, would pass 3.3): strong
// evidence against linkage there, and no evidence for it anywhere.
TEST(ScanCalibration, DeficitSharingIsNoPeakNoRegionAndNoSmallP)
{
    const auto t0 = std::chrono::steady_clock::now();
    constexpr int n = 99;
    temp_dir dir("calib-deficit");
    const auto peaks = peaks_of(scan_with_replicates(
        dir, "--kindreds 100 --sibs 2-3 --length 100 --spacing 5 --markers 6 --locus 50 --delta -0.6", n, 91,
        "--model both"));
    const brell_plot::genome_scan g = brell_plot::read_scan((dir.path() / "out" / "scan.tsv").string());
    ASSERT_EQ(peaks.size(), 2u);
    const brell_plot::result_row& locus = g.chromosomes.at(0).curves.at(1).at(10);
    ASSERT_EQ(locus.pos, 50);
    std::printf("deficit sharing at 50 cM, %d replicates: EXP LOD there %.2f (delta %.3f); best peaks LIN %.2f at %g "
                "cM (p %.3f), EXP %.2f at %g cM (p %.3f); %.1f s\n",
                n, locus.lod, locus.delta, peaks[0].lod, peaks[0].pos, peaks[0].p, peaks[1].lod, peaks[1].pos,
                peaks[1].p, seconds_since(t0));
    EXPECT_LT(locus.delta, 0);
    // The evidence, signed: against a locus. Unsigned it would pass 3.3.
    EXPECT_LT(locus.lod, -brell_plot::LOD_SIGNIFICANT);
    for (const peak_row& pk : peaks) {
        EXPECT_LT(pk.lod, brell_plot::LOD_SUGGESTIVE);
        EXPECT_GT(pk.p, 0.05);
    }
    // No region at any line but the suggestive one, which a null scan passes
    // once on average: never at the locus.
    const brell_plot::significance sig =
        brell_plot::read_significance((dir.path() / "out" / "significance.tsv").string());
    for (std::size_t m = 0; m < 2; ++m) {
        const auto& curve = g.chromosomes[0].curves[m];
        for (double t : {brell_plot::LOD_SUGGESTIVE, brell_plot::LOD_SIGNIFICANT, sig.thresholds.at(2 * m + 1).lod})
            EXPECT_TRUE(brell_plot::stretches_above(curve, t).empty()) << g.models[m] << " at " << t;
        for (const auto& st : brell_plot::stretches_above(curve, sig.thresholds.at(2 * m).lod))
            EXPECT_TRUE(st.to < 40 || st.from > 60) << g.models[m] << " " << st.from << " to " << st.to;
    }
}

// Null LOD curves of a genome of C chromosomes and G Morgans on a grid of
// spacing Delta, seen as a Gaussian Z score whose correlation decays as
// exp(-beta d): for fully informative sib pairs the pairs score is the
// number of alleles shared, whose four meioses give beta 4 per Morgan.
struct null_genome {
    double chromosomes, morgans, spacing, beta = 4.0;

    static double tail(double z) { return 0.5 * std::erfc(z / std::sqrt(2.0)); }
    static double density(double z) { return std::exp(-0.5 * z * z) / std::sqrt(2 * std::numbers::pi); }
    // Siegmund's correction of the continuous-map rate for a grid.
    static double nu(double x)
    {
        if (x == 0)
            return 1.0;
        const double h = x / 2, cdf = 1 - tail(h);
        return (2 / x) * (cdf - 0.5) / (h * cdf + density(h));
    }
    // Lander & Kruglyak: the maximum passes z when a Poisson number of
    // clumps of this mean is not 0.
    double clumps(double z) const
    {
        return chromosomes * tail(z) + beta * morgans * z * density(z) * nu(z * std::sqrt(2 * beta * spacing));
    }
    // Runs of the grid above z, which the suggestive level counts: one where
    // a chromosome starts above z, and one at every step from at or below z
    // to above it, P(Z1 <= z < Z2) = int_z^inf phi(y) Phi((z - r y) / s) dy.
    double runs(double z) const
    {
        const double r = std::exp(-beta * spacing), s = std::sqrt(1 - r * r);
        const int steps = 2000;
        const double h = 10.0 / steps;
        double up = 0;
        for (int i = 0; i <= steps; ++i) {
            const double y = z + i * h, f = density(y) * (1 - tail((z - r * y) / s));
            up += f * (i == 0 || i == steps ? 1 : i % 2 ? 4 : 2);
        }
        return chromosomes * tail(z) + morgans / spacing * up * h / 3;
    }
    // The LOD, Z^2 / (2 ln 10), at which the decreasing count reaches m.
    template <class Count>
    static double lod_at(Count count, double m)
    {
        double lo = 0.5, hi = 8;
        for (int i = 0; i < 100; ++i)
            (count((lo + hi) / 2) > m ? lo : hi) = (lo + hi) / 2;
        return lo * lo / (2 * std::log(10.0));
    }
    double significant() const
    {
        return lod_at([&](double z) { return clumps(z); }, -std::log(0.95));
    }
    double suggestive() const
    {
        return lod_at([&](double z) { return runs(z); }, 1.0);
    }
};

// Order statistics (1-based) bracketing the q quantile of n draws with
// confidence at least 1 - a: the count of draws below it is binomial.
std::pair<int, int> quantile_interval(int n, double q, double a)
{
    std::vector<double> pmf(n + 1);
    for (int k = 0; k <= n; ++k)
        pmf[k] = std::exp(std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(n - k + 1.0) + k * std::log(q) +
                          (n - k) * std::log1p(-q));
    int lo = 0;
    for (double below = 0; lo < n && below + pmf[lo] <= a / 2; ++lo)
        below += pmf[lo];
    int hi = n;
    for (double above = 0; hi > 0 && above + pmf[hi] <= a / 2; --hi)
        above += pmf[hi];
    return {std::max(lo, 1), std::min(hi + 1, n)};
}

// Sex-averaged lengths of the human autosomes, cM, roughly as the genetic
// maps of the 1990s give them.
constexpr int AUTOSOME_CM[22] = {286, 268, 223, 214, 204, 192, 187, 168, 166, 181, 158,
                                 174, 126, 119, 141, 134, 128, 129, 110, 98,  62,  74};

// Null genome scans of fully informative sib pairs on a 1 cM grid: brell-sim
// draws each chromosome's inheritance, brell LIN scores it, both in-process,
// and the replicates are summarised and thresholded as brell-scan does.
TEST(ScanCalibration, DenseInformativeGenomeThresholdsMatchTheory)
{
    const auto t0 = std::chrono::steady_clock::now();
    constexpr int scans = 200, pairs = 100;
    constexpr double spacing = 1.0;
    temp_dir dir("calib-genome");
    std::vector<scan::replicate_result> reps(scans);
    std::atomic<int> next{0};
    brell::worker_pool pool(2);
    pool.run([&](int t) {
        const std::string work = (dir.path() / ("w" + std::to_string(t))).string();
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> quiet(std::fopen("/dev/null", "w"), std::fclose);
        for (int r; (r = next.fetch_add(1)) < scans;) {
            brell_plot::genome_scan g;
            g.models = {"LIN"};
            for (int c = 0; c < 22; ++c) {
                const std::string len = std::to_string(AUTOSOME_CM[c]), seed = std::to_string(100 * r + c + 1);
                const std::string kin = std::to_string(pairs), step = brell::shortest(spacing);
                const char* sim_argv[] = {"brell-sim", "--kindreds", kin.c_str(),  "--length", len.c_str(),
                                          "--spacing", step.c_str(), "--seed",     seed.c_str(), "--out",
                                          work.c_str()};
                sim::write_study(sim::parse_options(11, sim_argv));
                const char* brell_argv[] = {"brell", "LIN"};
                brell::run_data dat;
                dat.dir = work;
                dat.out = quiet.get();
                if (brell::run_brell(2, brell_argv, dat) != 0)
                    throw std::runtime_error("brell LIN failed in " + work);
                brell_plot::scan_chromosome sc;
                sc.name = std::to_string(c + 1);
                std::vector<brell_plot::result_row> rows;
                for (int p = 0; p < dat.npos; ++p)
                    rows.push_back({dat.pos[p], dat.npl_z[p], dat.zlr[p], dat.lod[p], dat.delta[p]});
                sc.curves = {rows};
                g.chromosomes.push_back(std::move(sc));
            }
            reps[r] = scan::summarise_replicate(g);
        }
    });

    scan::options o;
    o.models = {"LIN"};
    std::vector<std::string> ids;
    for (int r = 0; r < scans; ++r)
        ids.push_back(std::to_string(r + 1));
    brell_plot::genome_scan none;
    none.models = o.models;
    const brell_plot::significance sig = scan::significance_of(o, none, ids, reps);
    ASSERT_EQ(sig.thresholds.size(), 2u);
    const double suggestive = sig.thresholds[0].lod, significant = sig.thresholds[1].lod;

    double morgans = 0;
    for (int cm : AUTOSOME_CM)
        morgans += cm / 100.0;
    const null_genome theory{22, morgans, spacing / 100};
    const double theory_5 = theory.significant(), theory_sugg = theory.suggestive();
    const null_genome continuous{22, morgans, 0};

    std::vector<double> maxima;
    for (const auto& r : reps)
        maxima.push_back(r.models[0].max_lod);
    std::sort(maxima.begin(), maxima.end());
    const auto [lo, hi] = quantile_interval(scans, 0.95, 0.01);
    const double ci_lo = maxima[lo - 1], ci_hi = maxima[hi - 1];

    // The suggestive threshold's error, by the delta method: the mean count
    // of excursions above it per scan, over the slope of that mean.
    auto mean_count = [&](double t) {
        double n = 0, sq = 0;
        for (const auto& r : reps) {
            double k = 0;
            for (const auto& [peak, end] : r.models[0].excursions)
                k += peak >= t && end < t;
            n += k;
            sq += k * k;
        }
        return std::pair{n / scans, std::sqrt((sq / scans - (n / scans) * (n / scans)) / (scans - 1))};
    };
    const double h = 0.2;
    const double slope = (mean_count(suggestive - h).first - mean_count(suggestive + h).first) / (2 * h);
    const double se_sugg = mean_count(suggestive).second / slope;

    std::printf("%d null genome scans (%d sib pairs, fully informative, 22 autosomes, %.1f M, every %g cM): 5%% "
                "threshold LOD %.3f, 99%% CI of the 95th percentile [%.3f, %.3f] (order statistics %d and %d); "
                "theory %.3f (continuous map %.3f)\n",
                scans, pairs, morgans, spacing, significant, ci_lo, ci_hi, lo, hi, theory_5,
                continuous.significant());
    std::printf("suggestive LOD %.3f (se %.3f), theory %.3f (clumps on a continuous map %.3f); %.1f s\n",
                suggestive, se_sugg, theory_sugg,
                null_genome::lod_at([&](double z) { return continuous.clumps(z); }, 1.0), seconds_since(t0));
    EXPECT_GE(significant, ci_lo);
    EXPECT_LE(significant, ci_hi);
    EXPECT_GE(theory_5, ci_lo);
    EXPECT_LE(theory_5, ci_hi);
    EXPECT_NEAR(suggestive, theory_sugg, 4 * se_sugg);
}

// A strong locus: its LOD lies far above every null replicate's
// genome-wide maximum (the 5% threshold of these studies is near 1.5), so
// its p is the smallest that N replicates can give.
TEST(ScanCalibration, LinkedStudyGetsTheSmallestPAtItsLocus)
{
    const auto t0 = std::chrono::steady_clock::now();
    constexpr int n = 99;
    temp_dir dir("calib-linked");
    const auto peaks = peaks_of(scan_with_replicates(
        dir, "--kindreds 50 --sibs 2-3 --length 100 --spacing 5 --markers 6 --locus 50 --delta 0.8", n, 77,
        "--threads 2"));
    ASSERT_EQ(peaks.size(), 1u);
    std::printf("linked study, locus at 50 cM, %d replicates: peak LOD %.3f at %g cM, p %.4f; %.1f s\n", n,
                peaks[0].lod, peaks[0].pos, peaks[0].p, seconds_since(t0));
    EXPECT_DOUBLE_EQ(peaks[0].p, 1.0 / (n + 1));
    EXPECT_LE(std::fabs(peaks[0].pos - 50), 10);
}

// ---- Markers in linkage disequilibrium -----------------------------------

// Null studies of 150 affected sib pairs, parents untyped, 200 SNPs with
// founder haplotypes drawn in blocks (brell-sim --ld), scanned in-process
// three ways: as independent markers, with clusters, and (the reference)
// the same pedigrees and missing genotypes with each SNP's alleles dropped
// independently at the same frequencies, a replicate of brell-sim --drop.
struct ld_figures {
    std::vector<double> study_mean[3];  // per study, its NPL Z mean over positions
    double sum[3] = {}, sum2[3] = {};
    long positions[3] = {};
    int above_588[3] = {}, above_1[3] = {};
};

ld_figures null_ld_studies(int studies, const std::string& ld, double spacing, double ld_distance,
                           std::uint64_t first_seed)
{
    temp_dir dir("calib-ld");
    ld_figures f;
    for (auto& v : f.study_mean)
        v.resize(studies);
    std::vector<std::array<double, 3>> max_lod(studies);
    std::vector<std::array<double, 6>> sums(studies);  // sum and sum of squares per way
    std::vector<std::array<long, 3>> counts(studies);
    std::atomic<int> next{0};
    brell::worker_pool pool(2);
    pool.run([&](int w) {
        const std::string work = (dir.path() / ("w" + std::to_string(w))).string();
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> quiet(std::fopen("/dev/null", "w"), std::fclose);
        for (int k; (k = next.fetch_add(1)) < studies;) {
            const std::string seed = std::to_string(first_seed + k), step = brell::shortest(spacing),
                              length = brell::shortest(199 * spacing);
            const char* argv[] = {"brell-sim", "--kindreds", "150",        "--sibs",   "2",      "--length",
                                  length.c_str(), "--spacing", step.c_str(), "--freqs", "snp",  "--parents",
                                  "missing",   "--ld",      ld.c_str(),   "--seed",  seed.c_str(), "--out",
                                  work.c_str()};
            sim::write_study(sim::parse_options(19, argv));
            scan::options o;
            o.models = {"LIN"};
            o.ibd.files = {work + "/study.ped", work + "/study.dat", work + "/study.map", work + "/study.freq"};
            o.ibd.threads = 1;
            const linkage::study s = ibd::read_study(o.ibd);
            scan::options with = o;  // --ld-r2 0.1 --ld-distance ld_distance
            with.ibd.ld_r2 = 0.1;
            with.ibd.ld.max_cm = ld_distance;
            const linkage::study indep = sim::drop_replicate(s, first_seed + k, 1);
            const std::pair<const scan::options*, const linkage::study*> ways[3] = {
                {&o, &s}, {&with, &s}, {&o, &indep}};
            for (int way = 0; way < 3; ++way) {
                const brell_plot::genome_scan g =
                    scan::scan_study(*ways[way].first, *ways[way].second, work + "/scan", quiet.get(), true);
                double best = -HUGE_VAL, sum = 0, sum2 = 0;
                long n = 0;
                for (const brell_plot::result_row& r : g.chromosomes.at(0).curves.at(0)) {
                    best = std::max(best, r.lod);
                    sum += r.npl_z;
                    sum2 += r.npl_z * r.npl_z;
                    ++n;
                }
                max_lod[k][way] = best;
                sums[k][2 * way] = sum;
                sums[k][2 * way + 1] = sum2;
                counts[k][way] = n;
            }
        }
    });
    for (int k = 0; k < studies; ++k)
        for (int way = 0; way < 3; ++way) {
            f.study_mean[way][k] = sums[k][2 * way] / counts[k][way];
            f.sum[way] += sums[k][2 * way];
            f.sum2[way] += sums[k][2 * way + 1];
            f.positions[way] += counts[k][way];
            f.above_588[way] += max_lod[k][way] >= 0.588;
            f.above_1[way] += max_lod[k][way] >= 1.0;
        }
    return f;
}

// Without clusters the null studies' sharing is inflated; with them the NPL
// Z has mean 0 (within 0.1) and sd at most 1.05 over all positions, and the
// maximum LOD passes 0.588 and 1 as often as with independent SNPs (within
// two standard errors of the difference). Blocks of 4 SNPs 0.25 cM apart lie
// within the default --ld-distance; the moderate LD, blocks of 4
// SNPs 0.5 cM apart (1.5 cM), needs --ld-distance 2.
TEST(LdCalibration, NullStudiesAreInflatedWithoutClustersAndNotWithThem)
{
    const auto t0 = std::chrono::steady_clock::now();
    constexpr int studies = 200;
    const struct {
        const char* name;
        const char* ld;
        double spacing, distance;
    } designs[] = {
        {"blocks of 4 SNPs 0.25 cM apart, 5 haplotypes", "4:5", 0.25, 1.0},
        {"blocks of 4 SNPs 0.5 cM apart, 5 haplotypes", "4:5", 0.5, 2.0},
    };
    const char* way[] = {"no clusters", "clusters by --ld-r2 0.1", "independent SNPs"};
    for (const auto& d : designs) {
        SCOPED_TRACE(d.name);
        const ld_figures f = null_ld_studies(studies, d.ld, d.spacing, d.distance, 9000);
        double mean[3], se[3], sd[3], p588[3], p1[3];
        for (int w = 0; w < 3; ++w) {
            mean[w] = f.sum[w] / f.positions[w];
            sd[w] = std::sqrt(f.sum2[w] / f.positions[w] - mean[w] * mean[w]);
            se[w] = simtest::moments_of(f.study_mean[w]).sd / std::sqrt(double(studies));
            p588[w] = double(f.above_588[w]) / studies;
            p1[w] = double(f.above_1[w]) / studies;
            std::printf("%s, %s (--ld-distance %g): NPL Z mean %.3f (se %.3f) sd %.3f; max LOD >= 0.588 in %.3f, >= 1 "
                        "in %.3f of %d null studies\n",
                        d.name, way[w], d.distance, mean[w], se[w], sd[w], p588[w], p1[w], studies);
        }
        auto se_diff = [&](double a, double b) { return std::sqrt((a * (1 - a) + b * (1 - b)) / studies); };
        EXPECT_GT(mean[0] - mean[2], 5 * std::hypot(se[0], se[2])) << "inflation without clusters";
        EXPECT_GT(p1[0] - p1[2], 3 * se_diff(p1[0], p1[2])) << "inflation without clusters";
        EXPECT_LE(std::fabs(mean[1]), 0.1);
        EXPECT_LE(sd[1], 1.05);
        EXPECT_LE(std::fabs(p588[1] - p588[2]), 2 * se_diff(p588[1], p588[2]));
        EXPECT_LE(std::fabs(p1[1] - p1[2]), 2 * se_diff(p1[1], p1[2]));
    }
    std::printf("%.1f s\n", seconds_since(t0));
}

// Null LD studies with null replicates made and scanned with clusters: the
// study and its replicates are exchangeable (up to what the cluster model
// leaves out), so p(genome) is uniform under the exponential model. The
// linear model's LOD is 0 wherever sharing is not in excess, in a third of
// these short scans everywhere, and p is then 1: there p must only never be
// small too often, the one-sided half of the test.
TEST(LdCalibration, EmpiricalPValuesWithClustersAreUniform)
{
    const auto t0 = std::chrono::steady_clock::now();
    constexpr int studies = 100, n = 39;
    temp_dir dir("calib-ld-p");
    std::vector<double> ps[2];
    for (int s = 0; s < studies; ++s) {
        const auto peaks = peaks_of(scan_with_replicates(
            dir, "--kindreds 60 --sibs 2 --length 24.75 --spacing 0.25 --freqs snp --parents missing --ld 4:5", n,
            5000 + 2 * s, "--model both --ld-r2 0.1 --threads 2", "--ld-r2 0.1"));
        ASSERT_EQ(peaks.size(), 2u);
        for (int m = 0; m < 2; ++m)
            ps[m].push_back(peaks[m].p);
    }
    for (int m = 0; m < 2; ++m) {
        const auto [d, crit] = ks_uniform(ps[m], n);
        // The largest excess of p-values at or below a support point.
        std::vector<double> q = ps[m];
        std::sort(q.begin(), q.end());
        double excess = 0;
        for (int k = 1; k <= n + 1; ++k) {
            const double u = double(k) / (n + 1);
            const double at = double(std::upper_bound(q.begin(), q.end(), u + 1e-12) - q.begin()) / studies;
            excess = std::max(excess, at - u);
        }
        std::printf("%s: %d null LD studies, %d replicates each, clusters by --ld-r2 0.1: KS distance %.4f, excess of "
                    "small p %.4f (0.1%% point %.4f); p(genome) <= 0.05 in %.1f%%, p 1 in %.1f%%\n",
                    m ? "EXP" : "LIN", studies, n, d, excess, crit,
                    100.0 * std::count_if(q.begin(), q.end(), [](double p) { return p <= 0.05; }) / studies,
                    100.0 * std::count(q.begin(), q.end(), 1.0) / studies);
        if (m == 1) {
            EXPECT_LT(d, crit);
        }
        EXPECT_LT(excess, crit) << (m ? "EXP" : "LIN");
    }
    std::printf("%.1f s\n", seconds_since(t0));
}

// A locus in a study with LD: with clusters its peak stays within 5 cM.
TEST(LdCalibration, LinkedStudyPeaksAtItsLocusWithClusters)
{
    temp_dir dir("calib-ld-linked");
    for (const int seed : {1, 2, 3}) {
        const auto r = run_in(dir.path(), SIM + " --kindreds 150 --sibs 2 --length 49.75 --spacing 0.25 --freqs snp "
                                                "--parents missing --ld 4:5 --locus 31.1 --delta 0.6 --seed " +
                                              std::to_string(seed) + " --out . >/dev/null && " + SCAN +
                                              " -p study.ped -d study.dat -m study.map -o out --ld-r2 0.1 --quiet");
        ASSERT_EQ(r.status, 0) << r.err;
        const brell_plot::genome_scan g = brell_plot::read_scan((dir.path() / "out" / "scan.tsv").string());
        const brell_plot::genome_peak best = brell_plot::best_peak(g, 0);
        std::printf("locus at 31.1 cM, seed %d: peak LOD %.2f at %g cM\n", seed, best.peak.lod, best.peak.pos);
        EXPECT_GT(best.peak.lod, brell_plot::LOD_SIGNIFICANT);
        EXPECT_LE(std::fabs(best.peak.pos - 31.1), 5);
    }
}

}  // namespace
