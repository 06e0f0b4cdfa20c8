// Genome scans: reading scan and significance tables, the summary, and
// what the figure shows.

#include <cmath>
#include <sstream>

#include <gtest/gtest.h>

#include "plot.h"

using namespace brell_plot;

namespace {

const char* const LIN_HEADER = "chromosome\tposition\tmarker\tinformation\tlin_npl_z\tlin_zlr\tlin_lod\tlin_delta\n";
const char* const BOTH_HEADER = "chromosome\tposition\tmarker\tinformation\tlin_npl_z\tlin_zlr\tlin_lod\tlin_delta\t"
                                "exp_npl_z\texp_zlr\texp_lod\texp_delta\n";
const char* const SIG_HEADER = "model\tkind\tid\tchromosome\tposition\tlod\tp\n";

genome_scan scan_of(const std::string& text)
{
    std::istringstream in(text);
    return read_scan(in, "s.tsv");
}

significance sig_of(const std::string& text)
{
    std::istringstream in(text);
    return read_significance(in, "g.tsv");
}

template <class Read>
std::string error_of(Read read)
{
    try {
        read();
    } catch (const plot_error& e) {
        return e.what();
    }
    return "(no error)";
}

std::size_t count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace

TEST(ReadScan, ModelsFromTheHeaderNonFiniteSpellingsAndLineEnds)
{
    genome_scan s = scan_of("chromosome\tposition\tmarker\tinformation\texp_npl_z\texp_zlr\texp_lod\texp_delta\r\n"
                            "1\t0\tD1S1\t0.91\t0.5\t0.7\t0.11\t0.05\r\n"
                            "\r\n"
                            "1\t0\t\tNaN\tInf\t-Inf\t-0\t1e-320\r\n"
                            "X\t2.5\tDX S2\t1\t1\t1\t1\t1\r\n");
    ASSERT_EQ(s.models, std::vector<std::string>{"EXP"});
    ASSERT_EQ(s.chromosomes.size(), 2u);
    const scan_chromosome& c = s.chromosomes[0];
    EXPECT_EQ(c.name, "1");
    ASSERT_EQ(c.positions.size(), 2u);  // an equal position is allowed
    EXPECT_EQ(c.positions[0].marker, "D1S1");
    EXPECT_EQ(c.positions[1].marker, "");
    EXPECT_TRUE(std::isnan(c.positions[1].information));
    const result_row& r = c.curves[0][1];
    EXPECT_EQ(r.pos, 0.0);
    EXPECT_EQ(r.npl_z, INFINITY);
    EXPECT_EQ(r.zlr, -INFINITY);
    EXPECT_TRUE(r.lod == 0.0 && std::signbit(r.lod));
    EXPECT_GT(r.delta, 0.0);
    EXPECT_EQ(s.chromosomes[1].name, "X");
    EXPECT_EQ(s.chromosomes[1].positions[0].marker, "DX S2");
}

TEST(ReadScan, MalformedTablesNameFileLineAndReason)
{
    const std::string fixed = "chromosome\tposition\tmarker\tinformation";
    const std::string row = "1\t0\tM\t1\t0\t0\t0\t0\n";
    struct {
        std::string text;
        const char* message;
    } const cases[] = {
        {"", "s.tsv: no header"},
        {"chromosome\tpos\tmarker\tinformation\tlin_npl_z\tlin_zlr\tlin_lod\tlin_delta\n",
         "s.tsv line 1: column 2 is 'pos', expected 'position'"},
        {"chromosome position marker information lin_npl_z lin_zlr lin_lod lin_delta\n",
         "s.tsv line 1: the header is not tab-separated"},
        {fixed + "\n", "s.tsv line 1: header ends after column 4, expected model columns such as 'lin_npl_z'"},
        {fixed + "\tlin_npl_z\tlin_zlr\tlin_lod\n", "s.tsv line 1: header ends after column 7, expected 'lin_delta'"},
        {fixed + "\tlin_npl_z\tlin_zlr\texp_lod\tlin_delta\n", "s.tsv line 1: column 7 is 'exp_lod', expected 'lin_lod'"},
        {fixed + "\tlod\n", "s.tsv line 1: column 5 is 'lod', expected a model's first column such as 'lin_npl_z'"},
        {fixed + "\tlin_npl_z\tlin_zlr\tlin_lod\tlin_delta\tlin_npl_z\n", "s.tsv line 1: column 9 repeats model 'lin'"},
        {LIN_HEADER, "s.tsv: no positions"},
        {LIN_HEADER + std::string("1\t0\tM\t1\t0\t0\t0\n"), "s.tsv line 2: expected 8 fields, found 7"},
        {LIN_HEADER + row + "\n1\t5\tM\t1\t0\t2.5x\t0\t0\n", "s.tsv line 4: field 6 (2.5x) is not a number"},
        {LIN_HEADER + std::string("1\t0\tM\t\t0\t0\t0\t0\n"), "s.tsv line 2: field 4 is empty"},
        {LIN_HEADER + std::string("1\tNaN\tM\t1\t0\t0\t0\t0\n"), "s.tsv line 2: field 2 (NaN) is not a finite position"},
        {LIN_HEADER + std::string("\t0\tM\t1\t0\t0\t0\t0\n"), "s.tsv line 2: field 1 (chromosome) is empty"},
        {LIN_HEADER + std::string("1\t5\tM\t1\t0\t0\t0\t0\n1\t2\tM\t1\t0\t0\t0\t0\n"),
         "s.tsv line 3: position 2 is below the one before it on chromosome 1"},
        {LIN_HEADER + row + "2\t0\tM\t1\t0\t0\t0\t0\n" + row,
         "s.tsv line 4: chromosome 1 appears again after chromosome 2"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(error_of([&] { scan_of(c.text); }), c.message) << c.text;
}

TEST(ReadSignificance, RowsByKindAndMalformedTables)
{
    significance g = sig_of(std::string(SIG_HEADER) +
                            "LIN\treplicate\t1\t3\t45.5\t2.13\t\n"
                            "LIN\treplicate\t2\t\t\tNaN\t\n"
                            "LIN\tthreshold\tsignificant\t\t\t3.29\t\n"
                            "EXP\tpeak\t1\tX\t42\t4.1\t0.003\n");
    ASSERT_EQ(g.replicates.size(), 2u);
    EXPECT_EQ(g.replicates[0].chromosome, "3");
    EXPECT_EQ(g.replicates[0].pos, 45.5);
    EXPECT_TRUE(std::isnan(g.replicates[1].pos));
    ASSERT_EQ(g.thresholds.size(), 1u);
    EXPECT_EQ(g.thresholds[0].id, "significant");
    EXPECT_EQ(g.thresholds[0].lod, 3.29);
    ASSERT_EQ(g.peaks.size(), 1u);
    EXPECT_EQ(g.peaks[0].model, "EXP");
    EXPECT_EQ(g.peaks[0].chromosome, "X");
    EXPECT_EQ(g.peaks[0].p, 0.003);
    EXPECT_TRUE(sig_of(SIG_HEADER).thresholds.empty());

    struct {
        std::string text;
        const char* message;
    } const cases[] = {
        {"", "g.tsv: no header"},
        {"model\tkind\tid\tchromosome\tposition\tLOD\tp\n", "g.tsv line 1: column 6 is 'LOD', expected 'lod'"},
        {"model\tkind\tid\tchromosome\tposition\tlod\tp\tq\n", "g.tsv line 1: the header has 8 columns, expected 7"},
        {SIG_HEADER + std::string("LIN\tthreshold\tsuggestive\t\t\t1.9\n"), "g.tsv line 2: expected 7 fields, found 6"},
        {SIG_HEADER + std::string("LIN\tbogus\t1\t\t\t1\t\n"),
         "g.tsv line 2: field 2 (bogus) is not replicate, threshold or peak"},
        {SIG_HEADER + std::string("LIN\tthreshold\tsuggestive\t\t\t\t\n"), "g.tsv line 2: field 6 is empty"},
        {SIG_HEADER + std::string("LIN\tpeak\t1\t1\t4\t2\tx\n"), "g.tsv line 2: field 7 (x) is not a number"},
        {SIG_HEADER + std::string("LIN\tpeak\t1\t\t4\t2\t0.1\n"), "g.tsv line 2: field 4 (chromosome) is empty"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(error_of([&] { sig_of(c.text); }), c.message) << c.text;
}

TEST(GenomeSummary, HandComputedPeaksRegionsAndEmpiricalValues)
{
    // Z values are normal-table quantiles: upper tails 0.01, 0.001, 1e-4,
    // 1e-5; Z = 1 has 0.158655.
    struct {
        const char* name;
        std::string scan;
        std::string sig;  // empty: none
        const char* summary;
    } const cases[] = {
        {"one model, gaps, ties, a chromosome with no LOD",
         LIN_HEADER + std::string("1\t0\tM1\t0.9\t0\t0.5\t0.05\t0.01\n"
                                  "1\t5\t\t0.5\t0\t2.326348\t1.175\t0.2\n"
                                  "1\t10\tM2\t0.9\t0\t3.090232\t2.07366\t0.3\n"
                                  "1\t15\t\tNaN\tNaN\tNaN\tNaN\tNaN\n"
                                  "1\t20\tM3\t0.9\t0\t3.719016\t3.00336\t0.45\n"
                                  "1\t25\t\t0.8\t0\t2\t1.9\t0.1\n"
                                  "2\t0\tM4\t1\t0\t4.264891\t3.94975\t0.5\n"
                                  "2\t10\t\t1\t0\t4.264891\t3.94975\t0.6\n"
                                  "2\t20\tM5\t1\t0\t-1.959964\t-0.834\t-0.1\n"
                                  "X\t0\tM6\tNaN\tNaN\tNaN\tNaN\tNaN\n"
                                  "X\t1\t\tNaN\tNaN\tInf\tInf\tNaN\n"),
         "",
         "s.tsv: 3 chromosomes, 11 positions, model LIN\n"
         "\n"
         "LIN best peak: chromosome 2 at 0 cM (M4), LOD 3.95\n"
         "  chromosome  cM  marker   LOD  delta  p(Zlr)\n"
         "  1           20  M3      3.00  0.450  0.0001\n"
         "  2            0  M4      3.95  0.500   1e-05\n"
         "  X            -             -      -       -\n"
         "  LOD >= 1.9 (suggestive): 1 (10 cM), 1 (20 to 25 cM), 2 (0 to 10 cM)\n"
         "  LOD >= 3.3 (significant): 2 (0 to 10 cM)\n"},
        {"two models with significance",
         BOTH_HEADER + std::string("1\t0\tA\t1\t0\t1\t0.5\t0.1\t0\t1\t2.5\t0.2\n"
                                   "1\t10\tB\t1\t0\t3.090232\t2.07366\t0.3\t0\t1\t2.5\t0.2\n"
                                   "2\t5\tC\t1\t0\t2.326348\t1.17518\t0.2\t0\t3.719016\t3.00336\t0.4\n"),
         SIG_HEADER + std::string("LIN\treplicate\t1\t2\t5\t1.2\t\n"
                                  "LIN\treplicate\t2\t1\t0\t2.4\t\n"
                                  "EXP\treplicate\t1\t1\t3\t2.9\t\n"
                                  "LIN\tthreshold\tsuggestive\t\t\t1.5\t\n"
                                  "LIN\tthreshold\tsignificant\t\t\t2.05\t\n"
                                  "EXP\tthreshold\tsignificant\t\t\t2.8\t\n"
                                  "DOM\tthreshold\tsignificant\t\t\t0.1\t\n"
                                  "LIN\tpeak\t1\t1\t10\t2.07366\t0.04\n"
                                  "EXP\tpeak\t1\t2\t5\t3.00336\t0.001\n"),
         "s.tsv: 2 chromosomes, 3 positions, models LIN, EXP\n"
         "g.tsv: 2 LIN replicates, 1 EXP replicate\n"
         "\n"
         "LIN best peak: chromosome 1 at 10 cM (B), LOD 2.07\n"
         "  chromosome  cM  marker   LOD  delta  p(Zlr)  p(genome)  s.e.\n"
         "  1           10  B       2.07  0.300   0.001       0.04  0.14\n"
         "  2            5  C       1.18  0.200    0.01\n"
         "  LOD >= 1.9 (suggestive): 1 (10 cM)\n"
         "  LOD >= 3.3 (significant): none\n"
         "  LOD >= 1.5 (empirical suggestive): 1 (10 cM)\n"
         "  LOD >= 2.05 (empirical 5% genome-wide): 1 (10 cM)\n"
         "\n"
         "EXP best peak: chromosome 2 at 5 cM (C), LOD 3.00\n"
         "  chromosome  cM  marker   LOD  delta  p(Zlr)  p(genome)   s.e.\n"
         "  1            0  A       2.50  0.200    0.16\n"
         "  2            5  C       3.00  0.400  0.0001      0.001  0.032\n"
         "  LOD >= 1.9 (suggestive): 1 (0 to 10 cM), 2 (5 cM)\n"
         "  LOD >= 3.3 (significant): none\n"
         "  LOD >= 2.8 (empirical 5% genome-wide): 2 (5 cM)\n"},
        {"deficit sharing counts against linkage; too few replicates for a 5% line",
         LIN_HEADER + std::string("1\t0\tA\t1\t0\t-4.264891\t3.94975\t-0.6\n"
                                  "1\t10\tB\t1\t0\t1\t0.5\t0.1\n"),
         SIG_HEADER + std::string("LIN\treplicate\t1\t1\t0\t0.6\t\n"
                                  "LIN\treplicate\t2\t1\t0\t0.2\t\n"
                                  "LIN\treplicate\t3\t1\t0\t0.3\t\n"
                                  "LIN\tthreshold\tsuggestive\t\t\t0.4\t\n"
                                  "LIN\tthreshold\tsignificant\t\t\tNaN\t\n"
                                  "LIN\tpeak\t1\t1\t10\t0.5\t0.5\n"),
         "s.tsv: 1 chromosome, 2 positions, model LIN\n"
         "g.tsv: 3 LIN replicates\n"
         "\n"
         "LIN best peak: chromosome 1 at 10 cM (B), LOD 0.50\n"
         "  chromosome  cM  marker   LOD  delta  p(Zlr)  p(genome)  s.e.\n"
         "  1           10  B       0.50  0.100    0.16        0.5  0.29\n"
         "  LOD >= 1.9 (suggestive): none\n"
         "  LOD >= 3.3 (significant): none\n"
         "  LOD >= 0.4 (empirical suggestive): 1 (10 cM)\n"
         "  empirical 5% genome-wide: no threshold from 3 replicates (19 or more give one)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        genome_scan s = scan_of(c.scan);
        significance g;
        if (!c.sig.empty())
            g = sig_of(c.sig);
        std::ostringstream out;
        genome_summary(out, s, c.sig.empty() ? nullptr : &g);
        EXPECT_EQ(out.str(), c.summary);
    }
}

TEST(GenomeSvg, GapsThresholdsPeakAndNames)
{
    // LIN on chromosome 1: runs of two and one, a lone point; chromosome 2
    // one run. Information: one run per chromosome.
    genome_scan s = scan_of(LIN_HEADER + std::string("1\t0\tA\t1\t0\t0\t1\t0\n"
                                                     "1\t1\t\t1\t0\t0\t2\t0\n"
                                                     "1\t2\t\t1\t0\t0\tNaN\t0\n"
                                                     "1\t3\t\t1\t0\t0\t2\t0\n"
                                                     "1\t4\t\t1\t0\t0\t-Inf\t0\n"
                                                     "1\t5\t\t1\t0\t0\t1\t0\n"
                                                     "1\t6\t\t1\t0\t0\t1.5\t0\n"
                                                     "2<&>\t0\t\t0.5\t0\t0\t3\t0\n"
                                                     "2<&>\t10\t\t0.5\t0\t0\t3.5\t0\n"));
    significance g = sig_of(std::string(SIG_HEADER) + "LIN\tthreshold\tsignificant\t\t\t3.29\t\n"
                                                      "DOM\tthreshold\tsignificant\t\t\t2.5\t\n");
    std::string svg = genome_svg(s, &g);
    EXPECT_EQ(count(svg, "<polyline"), 3u + 2u);
    EXPECT_EQ(count(svg, "<circle"), 1u + 1u);  // the lone point, the best peak
    EXPECT_EQ(count(svg, ">LIN 5% genome-wide 3.29</text>"), 1u);
    EXPECT_EQ(count(svg, ">suggestive 1.9</text>"), 1u);
    EXPECT_EQ(count(svg, ">significant 3.3</text>"), 1u);
    EXPECT_EQ(count(svg, "DOM"), 0u);
    EXPECT_EQ(count(svg, ">LIN: chromosome 2&lt;&amp;&gt;, 10 cM, LOD 3.5</text>"), 1u);
    EXPECT_EQ(count(svg, ">2&lt;&amp;&gt;</text>"), 1u);  // under its map
    EXPECT_EQ(svg.find("nan"), std::string::npos);
    EXPECT_EQ(count(svg, "inf"), count(svg, "information"));
    // Without significance rows only the fixed thresholds are labelled.
    EXPECT_EQ(count(genome_svg(s, nullptr), "genome-wide"), 0u);
}

namespace {

// The cM tick labels of the genome figure, in drawing order, with their x.
std::vector<std::pair<double, std::string>> cm_labels(const std::string& svg)
{
    std::vector<std::pair<double, std::string>> out;
    const std::size_t group = svg.find("<g font-size=\"9\"");
    const std::size_t end = svg.find("</g>", group);
    for (std::size_t at = svg.find("<text x=\"", group); at < end; at = svg.find("<text x=\"", at + 1)) {
        const std::size_t text = svg.find('>', at) + 1;
        out.emplace_back(std::stod(svg.substr(at + 9)), svg.substr(text, svg.find('<', text) - text));
    }
    return out;
}

}  // namespace

// Each chromosome its own cM ticks from its own start; on a crowded genome
// no label touches another.
TEST(GenomeSvg, CentimorganTicksPerChromosome)
{
    std::string two = LIN_HEADER;
    for (int cm = 0; cm <= 6; ++cm)
        two += "1\t" + std::to_string(cm) + "\t\t1\t0\t0\t1\t0.1\n";
    for (int cm = 0; cm <= 10; ++cm)
        two += "2\t" + std::to_string(cm) + "\t\t1\t0\t0\t1\t0.1\n";
    std::string labels;
    for (const auto& [x, text] : cm_labels(genome_svg(scan_of(two), nullptr)))
        labels += text + " ";
    EXPECT_EQ(labels, "0 1 2 3 4 5 6 0 1 2 3 4 5 6 7 8 9 10 ");

    // Long maps ending on a tick ("10000" beside the next map's "0") and
    // short ones, shown wider than their maps.
    std::string genome = LIN_HEADER;
    for (int c = 1; c <= 22; ++c)
        for (int cm = 0; cm <= (c <= 3 ? 10000 : 2 * c); cm += c <= 3 ? 500 : 1)
            genome += std::to_string(c) + "\t" + std::to_string(cm) + "\t\t1\t0\t0\t1\t0.1\n";
    const std::string svg = genome_svg(scan_of(genome), nullptr);
    const std::size_t group = svg.find("<g font-size=\"9\"");
    EXPECT_GE(count(svg.substr(group, svg.find("</g>", group) - group), "<line"), 22u);  // a tick on each
    const auto crowded = cm_labels(svg);
    ASSERT_GE(crowded.size(), 5u);
    for (std::size_t i = 1; i < crowded.size(); ++i) {
        // A digit at font size 9 is about 5.7 pixels wide.
        const double half_widths = 5.7 * static_cast<double>(crowded[i - 1].second.size() + crowded[i].second.size()) / 2;
        EXPECT_GE(crowded[i].first - crowded[i - 1].first, half_widths) << crowded[i - 1].second << " " << crowded[i].second;
    }
}

// A LOD of -0 (no sharing either way) is no evidence against linkage: no
// "-0" in the figure or the summary. The title is the study's when given.
TEST(GenomeSvg, NoNegativeZeroAndTheStudysTitle)
{
    genome_scan s = scan_of(LIN_HEADER + std::string("1\t0\t\t1\t0\t0\t-0\t-0.5\n"
                                                     "1\t5\t\t1\t0\t0\t-0\t-0.25\n"));
    significance g = sig_of(std::string(SIG_HEADER) + "LIN\tthreshold\tsuggestive\t\t\t-0\t\n");
    s.title = "Genome scan: study";
    const std::string svg = genome_svg(s, &g);
    EXPECT_EQ(svg.find(">-0"), std::string::npos);
    EXPECT_EQ(svg.find(" -0<"), std::string::npos);
    EXPECT_EQ(svg.find("LOD -0"), std::string::npos);
    EXPECT_NE(svg.find("<title>Genome scan: study</title>"), std::string::npos);
    std::ostringstream summary;
    genome_summary(summary, s, &g);
    std::istringstream words(summary.str());
    for (std::string w; words >> w;)
        EXPECT_FALSE(w.starts_with("-0") && w.find_first_not_of("0.", 1) == std::string::npos) << summary.str();
}
