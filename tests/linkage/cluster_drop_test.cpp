#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>

#include "cluster_drop.h"
#include "cluster_oracle.h"
#include "cluster_testing.h"

namespace {

using namespace linkage;
using cluster_testing::person_spec;

// Grandparents, their typed child and its spouse, two grandchildren:
// listed parents first, so the layout's order is the file's.
const std::vector<person_spec> three_generations = {{-1, -1, false, true}, {-1, -1, false, true}, {0, 1, true, true},
                                                    {-1, -1, false, true}, {2, 3, true, true},   {2, 3, true, true}};

TEST(GeneDropLoci, MarkersAloneDrawAsGeneDropDoes)
{
    study s = cluster_testing::make_study(three_generations, {0.0, 3.0, 9.0}, {2, 4, 3});
    s.markers[1].freq = {0.1, 0.2, 0.3, 0.4};
    const chromosome c = chromosomes(s)[0];
    const meioses mz = meiosis_layout(s.families[0], "test.ped");
    // No clusters, and a cluster of one marker at its own frequencies.
    for (const char* text : {"", "CLUSTER M2\n"}) {
        SCOPED_TRACE(text);
        const cluster_set cs = parse_clusters("c.txt", text, s, {});
        const std::vector<locus> l = loci(s, c, cs);
        std::vector<double> cms;
        for (const locus& x : l)
            cms.push_back(x.cm);
        for (std::uint64_t seed = 1; seed <= 20; ++seed) {
            std::mt19937_64 g1(seed), g2(seed);
            std::uniform_real_distribution<double> u;
            family a = s.families[0], b = s.families[0];
            const uniform_source u1 = [&] { return u(g1); }, u2 = [&] { return u(g2); };
            gene_drop(a, mz, s.markers, c.markers, draw_inheritance(mz.nbits(), cms, u1), u1);
            gene_drop(b, mz, s.markers, cs, l, draw_inheritance(mz.nbits(), cms, u2), u2);
            ASSERT_EQ(a.geno.size(), b.geno.size());
            for (std::size_t k = 0; k < a.geno.size(); ++k)
                ASSERT_TRUE(a.geno[k].a == b.geno[k].a && a.geno[k].b == b.geno[k].b) << k;
        }
    }
}

// Haplotypes 11, 22 and 12 of two SNPs: every pair of them shows different
// genotypes, so founders' haplotypes can be counted from their genotypes.
// Over 3000 replicates they follow the frequencies (each within 3 standard
// errors), and everyone's genotypes in the cluster come from the founders'
// whole haplotypes under the one inheritance vector drawn for the cluster.
TEST(GeneDropLoci, ClusterHaplotypesFollowTheirFrequenciesAndPassDownWhole)
{
    study s = cluster_testing::make_study(three_generations, {0.0, 0.5, 20.0}, {2, 2, 3});
    const cluster_set cs =
        parse_clusters("c.txt", "CLUSTER M1 M2\nHAPLO 0.5 1 1\nHAPLO 0.3 2 2\nHAPLO 0.2 1 2\n", s, {});
    const chromosome c = chromosomes(s)[0];
    const std::vector<locus> l = loci(s, c, cs);
    ASSERT_EQ(l.size(), 2u);
    const meioses mz = meiosis_layout(s.families[0], "test.ped");
    const cluster_oracle::pedigree o(s.families[0]);
    const cluster_oracle::locus_model model = cluster_oracle::of_cluster(s, cs.list[0]);

    // Genotype codes at M1, M2 of each pair of haplotypes.
    const auto code = [](const genotype& x, const genotype& y) { return (x.a * 3 + x.b) * 9 + y.a * 3 + y.b; };
    std::map<int, std::pair<int, int>> pair_of;
    for (int h1 = 0; h1 < 3; ++h1)
        for (int h2 = h1; h2 < 3; ++h2) {
            const std::uint16_t* x = cs.list[0].haplotype(h1);
            const std::uint16_t* y = cs.list[0].haplotype(h2);
            const genotype g1{std::min(x[0], y[0]), std::max(x[0], y[0])};
            const genotype g2{std::min(x[1], y[1]), std::max(x[1], y[1])};
            ASSERT_TRUE(pair_of.emplace(code(g1, g2), std::pair{h1, h2}).second);
        }

    std::mt19937_64 g(9);
    std::uniform_real_distribution<double> u;
    const uniform_source draw = [&] { return u(g); };
    std::vector<double> count(3, 0.0);
    const int R = 3000;
    for (int r = 0; r < R; ++r) {
        family f = s.families[0];
        const inheritance inh = draw_inheritance(mz.nbits(), {l[0].cm, l[1].cm}, draw);
        gene_drop(f, mz, s.markers, cs, l, inh, draw);
        std::uint32_t v = 0;
        for (int k = 0; k < inh.nbits; ++k)
            v |= std::uint32_t{inh.at(0)[k]} << k;
        ASSERT_GT(o.likelihood(f, model, v), 0.0) << "replicate " << r;
        for (int i : mz.founders) {
            const auto [h1, h2] = pair_of.at(code(f.at(0, i), f.at(1, i)));
            ++count[h1];
            ++count[h2];
        }
        ASSERT_FALSE(f.at(2, 0).missing());
    }
    const double genes = 2.0 * R * mz.founders.size();
    for (int h = 0; h < 3; ++h) {
        const double p = cs.list[0].freq[h];
        EXPECT_NEAR(count[h] / genes, p, 3 * std::sqrt(p * (1 - p) / genes)) << "haplotype " << h;
    }
}

}  // namespace
