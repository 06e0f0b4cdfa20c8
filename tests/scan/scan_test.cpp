// brell-scan: the genome scan against brell run by hand, and empirical
// significance against brute-force definitions.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "brell.h"
#include "scan_tool.h"
#include "test_util.h"

using simtest::run_in;
using simtest::slurp;
using simtest::temp_dir;

namespace {

const std::string SCAN = BRELL_SCAN_BIN;
const std::string EXAMPLE = std::string(BRELL_SOURCE_DIR) + "/examples/ibd/study";
const std::string STUDY = " -p " + EXAMPLE + ".ped -d " + EXAMPLE + ".dat -m " + EXAMPLE + ".map";

// Each chromosome's results are what brell itself writes there, and
// scan.tsv carries the same numbers at full precision.
TEST(ScanCli, ResultsAreBrellsOwnAndTheTableHoldsThem)
{
    temp_dir d("scan");
    auto r = run_in(d.path(), SCAN + STUDY + " -o out --model both --step 2.5 --quiet");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("LIN best peak: chromosome 1 at 45 cM (M10), LOD 4.01"), std::string::npos) << r.out;
    const auto chr = d.path() / "out/chr1";
    for (const char* model : {"LIN", "EXP"}) {
        auto b = run_in(chr, std::string(BRELL_BIN) + " " + model);
        ASSERT_EQ(b.status, 0);
        const std::string name = model[0] == 'L' ? "lin" : "exp";
        EXPECT_EQ(slurp(chr / "brell.out"), slurp(chr / (name + ".out"))) << model;
        EXPECT_EQ(b.out, slurp(chr / (name + ".log"))) << model;
    }
    std::istringstream tsv(slurp(d.path() / "out/scan.tsv"));
    std::istringstream lin(slurp(chr / "lin.out")), exp(slurp(chr / "exp.out"));
    std::string line;
    std::getline(tsv, line);
    EXPECT_EQ(line,
              "chromosome\tposition\tmarker\tinformation\tlin_npl_z\tlin_zlr\tlin_lod\tlin_delta\t"
              "exp_npl_z\texp_zlr\texp_lod\texp_delta");
    int rows = 0;
    while (std::getline(tsv, line)) {
        std::vector<std::string> f;
        std::istringstream fs(line);
        for (std::string x; std::getline(fs, x, '\t');)
            f.push_back(x);
        ASSERT_EQ(f.size(), 12u) << line;
        std::string lin_line, exp_line;
        std::getline(lin, lin_line);
        std::getline(exp, exp_line);
        auto as_brell = [&](int first) {
            std::string s = brell::format("%12.5le", std::stod(f[1]));
            for (int k = first; k < first + 4; ++k)
                s += brell::format("  %12.5le", f[k] == "NaN" ? NAN : std::stod(f[k]));
            return s;
        };
        EXPECT_EQ(as_brell(4), lin_line);
        EXPECT_EQ(as_brell(8), exp_line);
        ++rows;
    }
    EXPECT_EQ(rows, 41);  // 0 to 100 cM by 2.5
    const std::string svg = slurp(d.path() / "out/scan.svg");
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    if (std::string(XMLLINT).find("NOTFOUND") == std::string::npos) {
        EXPECT_EQ(run_in(d.path(), std::string(XMLLINT) + " --noout out/scan.svg").status, 0);
    }
}

// Number of maximal runs of the curve at or above t.
int runs_above(const std::vector<double>& lod, double t)
{
    int n = 0;
    bool in = false;
    for (double v : lod) {
        const bool above = v >= t;
        n += above && !in;
        in = above;
    }
    return n;
}

// An excursion counts at t when it reaches t and has not yet merged: for
// every t, as many as the curve has runs at or above t.
TEST(Significance, ExcursionsCountTheRunsAboveEveryHeight)
{
    std::mt19937_64 gen(5);
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<double> lod(1 + gen() % 40);
        for (double& v : lod)
            v = gen() % 7 == 0 ? NAN : std::round(std::normal_distribution<>(0.5, 1.0)(gen) * 4) / 4;
        const auto ex = scan::excursions(lod);
        for (double t = 0.125; t < 4; t += 0.125) {  // at the values themselves too
            int counted = 0;
            for (const auto& [peak, end] : ex)
                counted += peak >= t && end < t;
            ASSERT_EQ(counted, runs_above(lod, t)) << "trial " << trial << " t " << t;
        }
    }
}

// Thresholds and p-values of made-up replicates against their definitions.
TEST(Significance, ThresholdsAndPValuesByTheirDefinitions)
{
    std::mt19937_64 gen(7);
    scan::options o;
    o.models = {"LIN"};
    std::vector<std::vector<double>> curves;
    std::vector<scan::replicate_result> reps;
    std::vector<std::string> ids;
    for (int r = 0; r < 200; ++r) {
        std::vector<double> lod(30);
        for (double& v : lod)
            v = std::round(std::max(0.0, std::normal_distribution<>(0.0, 1.2)(gen)) * 8) / 8;  // ties too
        brell_plot::genome_scan g;
        g.models = {"LIN"};
        brell_plot::scan_chromosome c;
        c.name = "1";
        std::vector<brell_plot::result_row> rows;
        for (std::size_t p = 0; p < lod.size(); ++p)
            rows.push_back({double(p), 0, 0, lod[p], 0});
        c.curves = {rows};
        g.chromosomes = {c};
        reps.push_back(scan::summarise_replicate(g));
        curves.push_back(lod);
        ids.push_back(std::to_string(r + 1));
    }
    brell_plot::genome_scan observed;
    observed.models = {"LIN"};
    brell_plot::scan_chromosome c;
    c.name = "7";
    c.curves = {{{1.0, 0, 0, 2.5, 0.1}, {2.0, 0, 0, 3.1, 0.2}}};
    observed.chromosomes = {c};
    const brell_plot::significance sig = scan::significance_of(o, observed, ids, reps);

    // Suggestive: no LOD from it upwards is exceeded more than once a scan
    // on average, and the next lower candidate would be.
    auto mean_runs = [&](double t) {
        double n = 0;
        for (const auto& lod : curves)
            n += runs_above(lod, t);
        return n / curves.size();
    };
    const double sugg = sig.thresholds[0].lod;
    std::vector<double> candidates;
    for (const auto& lod : curves)
        for (double v : lod)
            if (v > 0)
                candidates.push_back(v);
    std::sort(candidates.begin(), candidates.end());
    for (double t : candidates) {
        if (t >= sugg) {
            ASSERT_LE(mean_runs(t), 1.0) << t;
        }
    }
    const auto below = std::lower_bound(candidates.begin(), candidates.end(), sugg);
    ASSERT_NE(below, candidates.begin());
    EXPECT_GT(mean_runs(*(below - 1)), 1.0);

    std::vector<double> maxima;
    for (const auto& lod : curves)
        maxima.push_back(*std::max_element(lod.begin(), lod.end()));
    std::sort(maxima.begin(), maxima.end());
    EXPECT_EQ(sig.thresholds[1].lod, maxima[190]);  // the 191st of 200: ceil(0.95 * 201)
    const double reaching = std::count_if(maxima.begin(), maxima.end(), [](double m) { return m >= 3.1; });
    ASSERT_EQ(sig.peaks.size(), 1u);
    EXPECT_EQ(sig.peaks[0].chromosome, "7");
    EXPECT_EQ(sig.peaks[0].pos, 2.0);
    EXPECT_DOUBLE_EQ(sig.peaks[0].p, (1 + reaching) / 201.0);
}

// For every number of replicates, the study's maximum lies at or above the
// empirical 5% line just when its p(genome) is at most 0.05 (maxima without
// ties, the study's anywhere between them); below 19 replicates there is no
// line, and then no p is that small either.
TEST(Significance, TheFivePercentLineAgreesWithThePValueForEveryN)
{
    scan::options o;
    o.models = {"LIN"};
    std::mt19937_64 gen(11);
    for (std::size_t n = 1; n <= 400; ++n) {
        std::vector<scan::replicate_result> reps(n);
        std::vector<std::string> ids(n, "r");
        std::vector<double> maxima;
        for (auto& r : reps) {
            r.models.resize(1);
            r.models[0].max_lod = std::uniform_real_distribution<>(0, 5)(gen);
            maxima.push_back(r.models[0].max_lod);
        }
        std::sort(maxima.begin(), maxima.end());
        // The study's maximum below, between and above all the replicates'.
        std::vector<double> studies = {maxima.front() / 2, maxima.back() + 1};
        for (std::size_t i = 0; i + 1 < n; ++i)
            studies.push_back((maxima[i] + maxima[i + 1]) / 2);
        for (double lod : studies) {
            brell_plot::genome_scan observed;
            observed.models = o.models;
            observed.chromosomes = {{"1", {{0, "", 1}}, {{{0, 0, 0, lod, 0.1}}}}};
            const brell_plot::significance sig = scan::significance_of(o, observed, ids, reps);
            const double line = sig.thresholds[1].lod, p = sig.peaks[0].p;
            ASSERT_EQ(std::isnan(line), n < 19) << n;
            if (n < 19)
                ASSERT_GT(p, 0.05) << n;
            else
                ASSERT_EQ(lod >= line, p <= 0.05) << "n " << n << " lod " << lod << " line " << line << " p " << p;
        }
    }
}

// A grid's warnings are brell-scan's own, on standard error: not only in
// the logs of the chromosomes' runs.
TEST(ScanCli, GridWarningsAreItsOwn)
{
    temp_dir d("scan-grid");
    auto r = run_in(d.path(), SCAN + STUDY + " -o out --grid -1 2 30 --quiet");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "brell-scan: warning: --grid: DMIN -1 is below 0: negative deltas model deficit sharing, which "
                     "counts against linkage (a negative LOD)\n"
                     "brell-scan: warning: --grid: DMAX 2 exceeds the linear model's bound " +
                         brell::shortest(std::sqrt(0.5)) +
                         ": its likelihood is negative beyond it, and those deltas never win\n");
}

// What brell-ibd's work and the reading of the study say is brell-scan's
// to say: one program's name on every line.
TEST(ScanCli, MessagesAreItsOwn)
{
    temp_dir d("scan-messages");
    std::string lone = "F41 1 0 0 1 2";  // one affected, ungenotyped
    for (int m = 0; m < 21; ++m)
        lone += " 0 0";
    std::ofstream(d.path() / "s.ped") << slurp(EXAMPLE + ".ped") << lone << "\n";
    std::ofstream(d.path() / "s.map") << slurp(EXAMPLE + ".map") << "1 M99 50\n";
    std::ofstream(d.path() / "s.dat") << slurp(EXAMPLE + ".dat");
    const auto r = run_in(d.path(), SCAN + " -p s.ped -d s.dat -m s.map -o out --quiet");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "brell-scan: s.map: 1 marker not in the data file s.dat (M99): left out\n"
                     "brell-scan: family F41: 1 affected, fewer than two: left out\n");
}

TEST(ScanCli, CommandLineMistakes)
{
    temp_dir d("scan-usage");
    for (const char* l : {"", " --model both", "STUDY -o out --model all", "STUDY -o out --grid 0 1",
                          "STUDY -o out --gather", "STUDY --scan-replicate r --replicates q"}) {
        std::string args = l;
        if (auto at = args.find("STUDY"); at != std::string::npos)
            args.replace(at, 5, STUDY);
        SCOPED_TRACE(args);
        auto r = run_in(d.path(), SCAN + " " + args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("(see --help)"), std::string::npos) << r.err;
    }
}

}  // namespace

namespace {

// Replicates of a PLINK study come back as LINKAGE files, where Y is an
// autosome by name; they are scanned on the study's own chromosomes all the
// same.
TEST(ScanCli, ReplicatesOfAPlinkStudyKeepItsChromosomes)
{
    temp_dir d("scan-plink");
    ASSERT_EQ(run_in(d.path(), std::string(BRELL_SIM_BIN) +
                                   " --kindreds 15 --sibs 2-3 --freqs snp --plink --length 30 --spacing 2 --seed 3"
                                   " --out .")
                  .status,
              0);
    // All but two markers moved to chromosome 24 (Y), which is not analysed:
    // scanned, it would hold most replicates' maxima.
    std::string bim = slurp(d.path() / "study.bim"), moved;
    std::istringstream lines(bim);
    int n = 0;
    for (std::string l; std::getline(lines, l); ++n)
        moved += (n >= 2 ? "24" + l.substr(l.find_first_of(" \t")) : l) + "\n";
    std::ofstream(d.path() / "study.bim") << moved;
    ASSERT_EQ(run_in(d.path(), std::string(BRELL_SIM_BIN) + " --drop --bfile study --replicates 5 --out reps").status,
              0);
    auto r = run_in(d.path(), SCAN + " --bfile study --replicates reps -o out --quiet");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string sig = slurp(d.path() / "out/significance.tsv");
    EXPECT_EQ(std::count(sig.begin(), sig.end(), '\n'), 1 + 5 + 2 + 1) << sig;
    std::istringstream rows(sig);
    for (std::string l; std::getline(rows, l);)
        if (l.starts_with("LIN\treplicate\t")) {
            EXPECT_EQ(l.substr(l.find('\t', 14) + 1, 2), "1\t") << l;
        }
}

}  // namespace
