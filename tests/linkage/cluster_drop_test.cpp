#include <gtest/gtest.h>

#include <array>
#include <map>

#include "cluster_drop.h"
#include "cluster_oracle.h"

namespace {

using namespace cluster_oracle;

// Grandparents, their child and its spouse, two grandchildren, all typed;
// parents first, so the layout's order is the file's.
const std::vector<person_spec> family3 = {
    {-1, -1, 0, 1}, {-1, -1, 0, 1}, {0, 1, 1, 1}, {-1, -1, 0, 1}, {2, 3, 1, 1}, {2, 3, 1, 1}};

// Markers alone, and a cluster of one marker at its own frequencies, draw
// what gene_drop draws from the same uniforms.
TEST(GeneDropLoci, MarkersAloneDrawAsGeneDropDoes)
{
    study s = make_study(family3, {0.0, 3.0, 9.0}, {2, 4, 3});
    s.markers[1].freq = {0.1, 0.2, 0.3, 0.4};
    const chromosome c = chromosomes(s)[0];
    const meioses mz = meiosis_layout(s.families[0], "test.ped");
    for (const char* text : {"", "CLUSTER M2\n"}) {
        const cluster_set cs = parse_clusters("c.txt", text, s, {});
        for (std::uint64_t seed = 1; seed <= 20; ++seed) {
            std::mt19937_64 g1(seed), g2(seed);
            const uniform_source u1 = [&] { return std::uniform_real_distribution<double>()(g1); };
            const uniform_source u2 = [&] { return std::uniform_real_distribution<double>()(g2); };
            family a = s.families[0], b = s.families[0];
            gene_drop(a, mz, s.markers, c.markers, draw_inheritance(mz.nbits(), {0.0, 3.0, 9.0}, u1), u1);
            gene_drop(b, mz, s.markers, cs, loci(s, c, cs), draw_inheritance(mz.nbits(), {0.0, 3.0, 9.0}, u2), u2);
            for (std::size_t k = 0; k < a.geno.size(); ++k)
                ASSERT_TRUE(a.geno[k].a == b.geno[k].a && a.geno[k].b == b.geno[k].b) << text << seed << " " << k;
        }
    }
}

// Haplotypes 11, 22 and 12 of two SNPs: every pair of them shows other
// genotypes, so founders' haplotypes can be counted. Over 3000 replicates
// they follow the frequencies (each within 3 standard errors), and everyone's
// genotypes come from whole founder haplotypes under the cluster's vector.
TEST(GeneDropLoci, ClusterHaplotypesFollowTheirFrequenciesAndPassDownWhole)
{
    study s = make_study(family3, {0.0, 0.5, 20.0}, {2, 2, 3});
    const cluster_set cs = parse_clusters("c.txt", "CLUSTER M1 M2\nHAPLO .5 1 1\nHAPLO .3 2 2\nHAPLO .2 1 2\n", s, {});
    const cluster& c = cs.list[0];
    const std::vector<locus> l = loci(s, chromosomes(s)[0], cs);
    const meioses mz = meiosis_layout(s.families[0], "test.ped");
    const pedigree o(s.families[0]);
    std::map<std::array<std::uint16_t, 4>, std::pair<int, int>> pair_of;  // by genotypes
    for (int h1 = 0; h1 < 3; ++h1)
        for (int h2 = h1; h2 < 3; ++h2) {
            const std::uint16_t *x = c.haplotype(h1), *y = c.haplotype(h2);
            const std::array<std::uint16_t, 4> g = {std::min(x[0], y[0]), std::max(x[0], y[0]), std::min(x[1], y[1]),
                                                    std::max(x[1], y[1])};
            pair_of[g] = {h1, h2};
        }
    ASSERT_EQ(pair_of.size(), 6u);
    std::mt19937_64 g(9);
    const uniform_source u = [&] { return std::uniform_real_distribution<double>()(g); };
    std::vector<double> count(3, 0.0);
    const int R = 3000;
    for (int r = 0; r < R; ++r) {
        family f = s.families[0];
        const inheritance inh = draw_inheritance(mz.nbits(), {l[0].cm, l[1].cm}, u);
        gene_drop(f, mz, s.markers, cs, l, inh, u);
        std::uint32_t v = 0;
        for (int k = 0; k < inh.nbits; ++k)
            v |= std::uint32_t{inh.at(0)[k]} << k;
        ASSERT_GT(o.likelihood(f, c, v), 0.0) << "replicate " << r;
        for (int i : mz.founders) {
            const auto [h1, h2] = pair_of.at({f.at(0, i).a, f.at(0, i).b, f.at(1, i).a, f.at(1, i).b});
            ++count[h1];
            ++count[h2];
        }
    }
    const double genes = 2.0 * R * mz.founders.size();
    for (int h = 0; h < 3; ++h)
        EXPECT_NEAR(count[h] / genes, c.freq[h], 3 * std::sqrt(c.freq[h] * (1 - c.freq[h]) / genes)) << h;
}

}  // namespace
