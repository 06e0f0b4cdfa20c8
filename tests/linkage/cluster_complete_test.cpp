#include <gtest/gtest.h>

#include <fstream>

#include "cluster_oracle.h"
#include "inconsistent.h"

namespace {

using namespace cluster_oracle;

const person_spec U{-1, -1, false, false}, T{-1, -1, false, true}, A{0, 1, true, true};

// Sib pairs with parents untyped: the estimate sees one sib of each, and
// with it two haplotypes, 11 and 22. A second sib of the last family carries
// 12, which no sampled sib shows; another family has a true inconsistency at
// the first SNP. The estimate gains 12 only, at a hundredth of a copy in
// the sample; the true inconsistency stays, named by the cluster's markers.
TEST(CompleteClusters, AFamilyGetsTheHaplotypeItNeedsAndATrueInconsistencyStays)
{
    const std::vector<std::vector<genotype>> sibs = {
        // first sib's genotypes at the two SNPs, then the second's
        {{1, 1}, {1, 1}, {1, 1}, {1, 1}}, {{2, 2}, {2, 2}, {1, 2}, {1, 2}}, {{1, 1}, {1, 1}, {2, 2}, {2, 2}},
        {{2, 2}, {2, 2}, {2, 2}, {2, 2}}, {{1, 1}, {1, 1}, {1, 2}, {1, 2}}, {{1, 2}, {1, 2}, {1, 1}, {1, 2}},
    };
    study s = make_study({U, U, A, A}, {0.0, 0.1}, {2, 2});
    const family blank = s.families[0];
    s.families.clear();
    for (std::size_t i = 0; i < sibs.size(); ++i) {
        family f = blank;
        f.id = "F" + std::to_string(i + 1);
        for (int m = 0; m < 2; ++m) {
            f.at(m, 2) = sibs[i][m];
            f.at(m, 3) = sibs[i][2 + m];
        }
        s.families.push_back(f);
    }
    // Both parents typed 11 at the first SNP, a child 22.
    study bad = make_study({T, T, A, A}, {0.0, 0.1}, {2, 2});
    family& b = bad.families[0];
    b.id = "B";
    for (int i = 0; i < 4; ++i)
        b.at(0, i) = b.at(1, i) = {1, 1};
    b.at(0, 3) = {2, 2};
    b.persons[3].line = 9;
    s.families.push_back(b);
    s.pedigree_file = "study.ped";

    const cluster estimated = parse_clusters("c.txt", "CLUSTER M1 M2\n", s, {}).list[0];
    ASSERT_EQ(estimated.count(), 2u);
    const std::string path = ::testing::TempDir() + "complete-clusters.txt";
    {
        std::ofstream(path) << "CLUSTER M1 M2\n";
    }
    const cluster_set cs = analysis_clusters(s, path, std::nullopt, {}, 24, 2);
    const auto found = find_inconsistencies(s, cs, 24, 2);

    const cluster& c = cs.list[0];
    ASSERT_EQ(c.count(), 3u);
    const double floor = 0.01 / (2.0 * 8);  // 8 sampled: a sib of each pair, B's parents
    const std::uint16_t want[][2] = {{1, 1}, {1, 2}, {2, 2}};
    double sum = 0;
    for (std::size_t h = 0; h < 3; ++h) {
        EXPECT_EQ(c.haplotype(h)[0], want[h][0]);
        EXPECT_EQ(c.haplotype(h)[1], want[h][1]);
        sum += c.freq[h];
    }
    EXPECT_NEAR(c.freq[1], floor / (1 + floor), 1e-15);
    EXPECT_NEAR(c.freq[0], estimated.freq[0] / (1 + floor), 1e-15);
    EXPECT_NEAR(sum, 1.0, 1e-15);

    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].family, 6);
    EXPECT_EQ(found[0].marker, 0);
    EXPECT_EQ(found[0].person, 3);
    EXPECT_EQ(inconsistency_line(s, cs, s.families[6], found[0].marker, found[0].person),
              "study.ped line 9: family B person 4: markers M1,M2: Mendelian inconsistency");
}

}  // namespace
