#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "cluster.h"
#include "cluster_testing.h"

namespace {

using namespace linkage;

// Six markers on chromosome 1 (M1-M4 within 0.6 cM, M5 and M6 at 3 cM),
// M7 on chromosome 2; alleles named as a SNP array names them. Twenty
// unrelated founders typed at M3 and M4 from haplotypes in LD.
study snp_study()
{
    std::vector<cluster_testing::person_spec> ps(20, {-1, -1, false, true});
    study s = cluster_testing::make_study(ps, {0.0, 0.2, 0.4, 0.6, 3.0, 3.2, 0.0}, {2, 2, 2, 2, 2, 2, 2});
    const char* names[7][2] = {{"A", "G"}, {"C", "G"}, {"A", "T"}, {"C", "T"}, {"A", "C"}, {"G", "T"}, {"A", "G"}};
    for (std::size_t m = 0; m < 7; ++m)
        s.markers[m].alleles = {names[m][0], names[m][1]};
    s.markers[4].freq = {0.3, 0.7};
    s.markers[6].chrom = "2";
    std::mt19937_64 rng(3);
    cluster_testing::drop(s, ps,
                          {cluster_testing::make_cluster({2, 3}, {{1, 1}, {2, 2}, {1, 2}}, {0.5, 0.3, 0.2})}, 0.1,
                          rng);
    return s;
}

void expect_same(const cluster_set& a, const cluster_set& b)
{
    ASSERT_EQ(a.list.size(), b.list.size());
    EXPECT_EQ(a.of_marker, b.of_marker);
    for (std::size_t i = 0; i < a.list.size(); ++i) {
        EXPECT_EQ(a.list[i].markers, b.list[i].markers);
        EXPECT_EQ(a.list[i].haplotypes, b.list[i].haplotypes);
        EXPECT_EQ(a.list[i].freq, b.list[i].freq);  // to the bit
    }
}

TEST(ClusterFile, ReadsNormalisesAndReadsBackWhatItWrites)
{
    const study s = snp_study();
    const std::string text =
        "# from another program\n"
        "CLUSTER M2 M1\n"       // out of map order: alleles follow the line
        "HAPLO 3 G A\n"
        "HAPLO 1 C G\n"
        "HAPLO 0 C A\n"         // no frequency: left out
        "\n"
        "cluster M5\n"          // one marker, no HAPLO: the marker's frequencies
        "Cluster M3 M4\n";      // frequencies estimated
    const cluster_set cs = parse_clusters("c.txt", text, s, {});
    ASSERT_EQ(cs.list.size(), 3u);
    const cluster& a = cs.list[0];
    EXPECT_EQ(a.markers, (std::vector<int>{0, 1}));
    EXPECT_EQ(a.haplotypes, (std::vector<std::uint16_t>{1, 2, 2, 1}));
    EXPECT_EQ(a.freq, (std::vector<double>{0.75, 0.25}));
    EXPECT_FALSE(a.estimated);
    EXPECT_EQ(cs.list[1].markers, (std::vector<int>{2, 3}));
    EXPECT_TRUE(cs.list[1].estimated);
    EXPECT_EQ(cs.list[2].freq, s.markers[4].freq);
    EXPECT_EQ(cs.of_marker, (std::vector<int>{0, 0, 1, 1, 2, -1, -1}));

    const std::string written = format_clusters(s, cs);
    EXPECT_EQ(written.substr(0, 44), "CLUSTER M1 M2\nHAPLO 0.75 A G\nHAPLO 0.25 G C\n");
    const cluster_set again = parse_clusters("w.txt", written, s, {});
    expect_same(cs, again);
    EXPECT_EQ(format_clusters(s, again), written);

    const std::string path = ::testing::TempDir() + "clusters.txt";
    write_clusters(path, s, cs);
    expect_same(cs, read_clusters(path, s, {}));
    std::remove(path.c_str());

    // Frequencies a printout rounded are normalised; exact ones are kept.
    const cluster_set rounded = parse_clusters("r.txt", "CLUSTER M1 M2\nHAPLO 0.333 A C\nHAPLO 0.333 G G\n", s, {});
    EXPECT_EQ(rounded.list[0].freq, (std::vector<double>{0.5, 0.5}));
}

TEST(ClusterFile, Refusals)
{
    const study s = snp_study();
    const struct {
        const char* text;
        const char* what;
        int max_haplotypes = 128;
    } cases[] = {
        {"CLUSTER M1 X9\n", "c.txt line 1: marker X9 is not in the study"},
        {"CLUSTER M1 M2 M1\n", "c.txt line 1: marker M1 is listed twice"},
        {"CLUSTER M1 M2\nCLUSTER M2 M3\n", "c.txt line 2: marker M2 is already in the cluster on line 1"},
        {"CLUSTER M6 M7\n", "c.txt line 1: markers M6 and M7 are on different chromosomes"},
        {"CLUSTER M3 M1\n",
         "c.txt line 1: markers M1 and M3 are not consecutive on chromosome 1: M2 lies between them"},
        {"CLUSTER M4 M5\n", "c.txt line 1: markers M4 to M5 span 2.4 cM, more than --ld-distance 1 cM"},
        {"CLUSTER\n", "c.txt line 1: CLUSTER names no marker"},
        {"HAPLO 1 A\n", "c.txt line 1: HAPLO before the first CLUSTER line"},
        {"CLUSTER M1 M2\nHAPLO 1 A T\n", "c.txt line 2: marker M2 has no allele T"},
        {"CLUSTER M1 M2\nHAPLO 1 0 C\n", "c.txt line 2: marker M1 has no allele 0"},
        {"CLUSTER M1 M2\nHAPLO 1 A\n", "c.txt line 2: expected 2 alleles, one per marker of the cluster"},
        {"CLUSTER M1 M2\nHAPLO 1 A C G\n", "c.txt line 2: expected 2 alleles, one per marker of the cluster"},
        {"CLUSTER M1 M2\nHAPLO\n", "c.txt line 2: expected HAPLO FREQUENCY ALLELE..."},
        {"CLUSTER M1 M2\nHAPLO x A C\n", "c.txt line 2: frequency 'x' is not a number"},
        {"CLUSTER M1 M2\nHAPLO -0.1 A C\n", "c.txt line 2: frequency -0.1 is negative"},
        {"CLUSTER M1 M2\nHAPLO 0.5 A C\nHAPLO 0 G G\nHAPLO 0.5 A C\n",
         "c.txt line 4: haplotype listed twice (first on line 2)"},
        {"CLUSTER M1 M2\nHAPLO 0 A C\n", "c.txt line 1: the cluster's haplotype frequencies sum to 0"},
        {"CLUSTER M1 M2\nHAPLO 1 A C\nHAPLO 0 A G\nHAPLO 1 G C\nHAPLO 1 G G\n",
         "c.txt line 5: the cluster has more than 2 haplotypes with non-zero frequency (--max-haplotypes)", 2},
        {"CLUSTER M3 M4\n",
         "c.txt line 1: the cluster's estimated frequencies give more than 2 haplotypes with non-zero frequency "
         "(--max-haplotypes)",
         2},
        {"CLUSTR M1\n", "c.txt line 1: unknown keyword 'CLUSTR' (expected CLUSTER or HAPLO)"},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.text);
        cluster_limits lim;
        lim.max_haplotypes = cs.max_haplotypes;
        try {
            parse_clusters("c.txt", cs.text, s, lim);
            ADD_FAILURE() << "accepted";
        } catch (const input_error& e) {
            EXPECT_STREQ(e.what(), cs.what);
        }
    }
}

TEST(ClusterFile, LociInMapOrderAtTheirMarkersMeanPosition)
{
    const study s = snp_study();
    const cluster_set cs = parse_clusters("c.txt", "CLUSTER M5 M6\nCLUSTER M1 M2 M3\n", s, {});
    const std::vector<locus> l = loci(s, chromosomes(s)[0], cs);
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(locus_name(s, cs, l[0]), "M1,M2,M3");
    EXPECT_DOUBLE_EQ(l[0].cm, 0.2);
    EXPECT_EQ(locus_name(s, cs, l[1]), "M4");
    EXPECT_EQ(l[1].cm, 0.6);
    EXPECT_EQ(locus_name(s, cs, l[2]), "M5,M6");
    EXPECT_DOUBLE_EQ(l[2].cm, 3.1);
    // Without clusters, the markers themselves.
    EXPECT_EQ(loci(s, chromosomes(s)[1], {}).front().marker, 6);
}

}  // namespace
