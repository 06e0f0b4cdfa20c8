#include <gtest/gtest.h>

#include <cstdio>

#include "cluster_oracle.h"

namespace {

using namespace cluster_oracle;

// M1-M4 within 0.6 cM and M5, M6 at 3 cM on chromosome 1, M7 on chromosome
// 2, alleles named as SNP arrays name them; twenty founders typed at M3 and
// M4 from three haplotypes.
study snp_study()
{
    std::mt19937_64 rng(3);
    const std::vector<person_spec> ps(20, {-1, -1, false, true});
    study s = make_study(ps, {0.0, 0.2, 0.4, 0.6, 3.0, 3.2, 0.0}, std::vector<int>(7, 2));
    const char* names[] = {"AG", "CG", "AT", "CT", "AC", "GT", "AG"};
    for (std::size_t m = 0; m < 7; ++m)
        s.markers[m].alleles = {std::string(1, names[m][0]), std::string(1, names[m][1])};
    s.markers[4].freq = {0.3, 0.7};
    s.markers[6].chrom = "2";
    drop(s, ps, {make_cluster(s, {2, 3}, {{1, 1}, {2, 2}, {1, 2}}, {0.5, 0.3, 0.2}, rng)}, 0.1, rng);
    return s;
}

TEST(ClusterFile, ReadsNormalisesAndReadsBackWhatItWrites)
{
    const study s = snp_study();
    const cluster_set cs = parse_clusters("c.txt",
                                          "# from another program\n"
                                          "CLUSTER M2 M1\n"  // out of map order: alleles follow the line
                                          "HAPLO 0.7 G A\nHAPLO 0.2 C G\nHAPLO 0 C A\nHAPLO 0.1 G G\n\n"
                                          "cluster M5\n"        // the marker's own frequencies
                                          "Cluster M3 M4\n"     // estimated
                                          "CLUSTER M6\nHAPLO 3 G\nHAPLO 1 T\n",
                                          s, {});
    ASSERT_EQ(cs.list.size(), 4u);
    EXPECT_EQ(cs.list[0].haplotypes, (std::vector<std::uint16_t>{1, 2, 2, 1, 2, 2}));
    // Within rounding of 1 (their sum is 1 - 2^-53) frequencies are kept, to
    // read back to the bit; others are normalised.
    EXPECT_EQ(cs.list[0].freq, (std::vector<double>{0.7, 0.2, 0.1}));
    EXPECT_EQ(cs.list[3].freq, (std::vector<double>{0.75, 0.25}));
    EXPECT_TRUE(cs.list[1].estimated);
    EXPECT_EQ(cs.list[2].freq, s.markers[4].freq);
    EXPECT_EQ(cs.of_marker, (std::vector<int>{0, 0, 1, 1, 2, 3, -1}));

    const std::string written = format_clusters(s, cs);
    EXPECT_EQ(written.substr(0, 56), "CLUSTER M1 M2\nHAPLO 0.7 A G\nHAPLO 0.2 G C\nHAPLO 0.1 G G\n");
    const std::string path = ::testing::TempDir() + "clusters.txt";
    write_clusters(path, s, cs);
    const cluster_set again = read_clusters(path, s, {});
    std::remove(path.c_str());
    EXPECT_EQ(format_clusters(s, again), written);
    EXPECT_EQ(again.of_marker, cs.of_marker);
    for (std::size_t i = 0; i < cs.list.size(); ++i) {
        EXPECT_EQ(again.list[i].haplotypes, cs.list[i].haplotypes);
        EXPECT_EQ(again.list[i].freq, cs.list[i].freq);  // to the bit
    }
}

TEST(ClusterFile, Refusals)
{
    const study s = snp_study();
    const struct {
        const char* text;
        const char* what;
        int max_haplotypes = 128;
    } cases[] = {
        {"CLUSTER M1 X9\n", "line 1: marker X9 is not in the study"},
        {"CLUSTER M1 M2 M1\n", "line 1: marker M1 is listed twice"},
        {"CLUSTER M1 M2\nCLUSTER M2 M3\n", "line 2: marker M2 is already in the cluster on line 1"},
        {"CLUSTER M6 M7\n", "line 1: markers M6 and M7 are on different chromosomes"},
        {"CLUSTER M3 M1\n", "line 1: markers M1 and M3 are not consecutive on chromosome 1: M2 lies between them"},
        {"CLUSTER M4 M5\n", "line 1: markers M4 to M5 span 2.4 cM, more than --ld-distance 1 cM"},
        {"HAPLO 1 A\n", "line 1: HAPLO before the first CLUSTER line"},
        {"CLUSTER M1 M2\nHAPLO 1 A T\n", "line 2: marker M2 has no allele T"},
        {"CLUSTER M1 M2\nHAPLO 1 A C G\n", "line 2: expected 2 alleles, one per marker of the cluster"},
        {"CLUSTER M1 M2\nHAPLO -0.1 A C\n", "line 2: frequency -0.1 is negative"},
        {"CLUSTER M1 M2\nHAPLO .5 A C\nHAPLO 0 G G\nHAPLO .5 A C\n",
         "line 4: haplotype listed twice (first on line 2)"},
        {"CLUSTER M1 M2\nHAPLO 0 A C\n", "line 1: the cluster's haplotype frequencies sum to 0"},
        {"CLUSTER M1 M2\nHAPLO 1 A C\nHAPLO 0 A G\nHAPLO 1 G C\nHAPLO 1 G G\n",
         "line 5: the cluster has more than 2 haplotypes with non-zero frequency (--max-haplotypes)", 2},
        {"CLUSTER M3 M4\n",
         "line 1: the cluster's estimated frequencies give more than 2 haplotypes with non-zero frequency "
         "(--max-haplotypes)",
         2},
        {"CLUSTR M1\n", "line 1: unknown keyword 'CLUSTR' (expected CLUSTER or HAPLO)"},
    };
    for (const auto& cs : cases) {
        try {
            parse_clusters("c.txt", cs.text, s, {1.0, cs.max_haplotypes});
            ADD_FAILURE() << "accepted " << cs.text;
        } catch (const input_error& e) {
            EXPECT_EQ(e.what(), "c.txt " + std::string(cs.what));
        }
    }
}

TEST(ClusterFile, LociInMapOrderAtTheirMarkersMeanPosition)
{
    const study s = snp_study();
    const cluster_set cs = parse_clusters("c.txt", "CLUSTER M5 M6\nCLUSTER M1 M2 M3\n", s, {});
    std::vector<std::pair<std::string, double>> got;
    for (const locus& l : loci(s, chromosomes(s)[0], cs))
        got.push_back({locus_name(s, cs, l), l.cm});
    const std::vector<std::pair<std::string, double>> want = {
        {"M1,M2,M3", (0.0 + 0.2 + 0.4) / 3}, {"M4", 0.6}, {"M5,M6", (3.0 + 3.2) / 2}};
    EXPECT_EQ(got, want);
}

}  // namespace
