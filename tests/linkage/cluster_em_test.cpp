#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "cluster.h"
#include "cluster_testing.h"

namespace {

using namespace linkage;
using cluster_testing::person_spec;

// One family of n unrelated typed founders.
study founders(int n, const std::vector<double>& cms, const std::vector<int>& alleles)
{
    return cluster_testing::make_study(std::vector<person_spec>(n, {-1, -1, false, true}), cms, alleles);
}

TEST(LdSample, TypedFoundersElseTheMostTypedMember)
{
    // Per family: who is typed at each of two markers (0: neither, 1: the
    // first, 2: both), and who is sampled.
    const struct {
        std::vector<person_spec> persons;
        std::vector<int> typed;
        std::vector<int> want;
    } cases[] = {
        {{{-1, -1, false, true}, {-1, -1, false, true}, {0, 1, true, true}}, {2, 1, 2}, {0, 1}},
        {{{-1, -1, false, false}, {-1, -1, false, true}, {0, 1, true, true}}, {0, 1, 2}, {1}},
        {{{-1, -1, false, false}, {-1, -1, false, false}, {0, 1, true, true}, {0, 1, true, true}, {0, 1, true, true}},
         {0, 0, 1, 2, 2},
         {3}},
        {{{-1, -1, false, false}, {-1, -1, false, false}, {0, 1, true, true}}, {0, 0, 0}, {}},
    };
    study s;
    for (const auto& cs : cases) {
        study one = cluster_testing::make_study(cs.persons, {0.0, 1.0}, {2, 2});
        for (std::size_t i = 0; i < cs.typed.size(); ++i)
            for (int m = 0; m < cs.typed[i]; ++m)
                one.families[0].at(m, i) = {1, 2};
        s.markers = one.markers;
        s.families.push_back(one.families[0]);
    }
    std::vector<std::pair<int, int>> want, got;
    for (std::size_t f = 0; f < std::size(cases); ++f)
        for (int i : cases[f].want)
            want.push_back({static_cast<int>(f), i});
    for (const sampled& x : ld_sample(s))
        got.push_back({x.family, x.person});
    EXPECT_EQ(got, want);
}

// Known haplotypes of four SNPs, among them pairs that unphased genotypes
// cannot tell apart (1111 + 2222 and 1122 + 2211 look the same), 5% of
// genotypes missing. Over 100 samples of 300 founders, each estimate is
// centred on the truth within 3 standard errors of the mean, and its spread
// is close to that of counting phase-known haplotypes: the EM loses little.
TEST(HaplotypeEm, RecoversKnownFrequenciesOfSimulatedFounders)
{
    const cluster truth = cluster_testing::make_cluster(
        {0, 1, 2, 3}, {{1, 1, 1, 1}, {2, 2, 2, 2}, {1, 1, 2, 2}, {2, 2, 1, 1}, {1, 2, 1, 2}},
        {0.35, 0.25, 0.2, 0.15, 0.05});
    const int R = 100, N = 300;
    const std::size_t H = truth.count();
    std::vector<double> sum(H, 0.0), sum2(H, 0.0);
    double other = 0.0;
    std::mt19937_64 rng(17);
    for (int r = 0; r < R; ++r) {
        study s = founders(N, {0.0, 0.1, 0.2, 0.3}, {2, 2, 2, 2});
        cluster_testing::drop(s, std::vector<person_spec>(N, {-1, -1, false, true}), {truth}, 0.05, rng);
        const std::vector<sampled> sample = ld_sample(s);
        ASSERT_EQ(sample.size(), std::size_t(N));
        haplotype_em em(s, sample);
        for (int m = 0; m < 4; ++m)
            em.add(m);
        EXPECT_EQ(em.informative(), N);
        double total = 0.0;
        for (std::size_t i = 0; i < em.count(); ++i) {
            total += em.freq()[i];
            const std::uint16_t* h = &em.haplotypes()[i * 4];
            std::size_t t = 0;
            while (t < H && !std::equal(h, h + 4, truth.haplotype(t)))
                ++t;
            if (t == H) {
                other += em.freq()[i];
                continue;
            }
            sum[t] += em.freq()[i];
            sum2[t] += em.freq()[i] * em.freq()[i];
        }
        EXPECT_NEAR(total, 1.0, 1e-12);
    }
    for (std::size_t t = 0; t < H; ++t) {
        const double mean = sum[t] / R, sd = std::sqrt((sum2[t] - R * mean * mean) / (R - 1));
        const double f = truth.freq[t], counted = std::sqrt(f * (1 - f) / (2.0 * N));
        SCOPED_TRACE("haplotype " + std::to_string(t));
        EXPECT_LT(std::fabs(mean - f), 3 * sd / std::sqrt(double(R)));
        EXPECT_GT(sd, 0.8 * counted);
        EXPECT_LT(sd, 1.5 * counted);
    }
    EXPECT_LT(other / R, 0.005);  // haplotypes that do not exist get next to nothing
}

// Samples whose phase is plain (no one heterozygous at both SNPs): the EM
// returns the counted haplotypes, so r^2 follows from the counts.
TEST(HaplotypeEm, RSquaredFromCountedHaplotypes)
{
    const struct {
        int n11, n12, n21, n22;  // haplotype counts; persons are homozygous where possible
        double want;
    } cases[] = {
        {10, 0, 0, 10, 1.0},
        {12, 4, 6, 2, 0.0},
        {10, 2, 4, 8, (10.0 * 8 - 2.0 * 4) * (10.0 * 8 - 2.0 * 4) / (12.0 * 12 * 14 * 10)},
        {20, 0, 4, 0, 0.0},  // monomorphic second SNP
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.want);
        // Homozygous persons for pairs of equal haplotypes, one left over
        // paired with 11 (heterozygous at one SNP only).
        std::vector<std::vector<std::uint16_t>> persons;
        const int counts[4] = {cs.n11, cs.n12, cs.n21, cs.n22};
        const std::vector<std::uint16_t> hap[4] = {{1, 1}, {1, 2}, {2, 1}, {2, 2}};
        std::vector<std::vector<std::uint16_t>> odd;
        for (int t = 0; t < 4; ++t) {
            for (int c = 0; c + 1 < counts[t]; c += 2)
                persons.push_back({hap[t][0], hap[t][0], hap[t][1], hap[t][1]});
            if (counts[t] % 2)
                odd.push_back(hap[t]);
        }
        ASSERT_TRUE(odd.empty());
        study s = founders(static_cast<int>(persons.size()), {0.0, 0.1}, {2, 2});
        for (std::size_t i = 0; i < persons.size(); ++i) {
            s.families[0].at(0, i) = {persons[i][0], persons[i][1]};
            s.families[0].at(1, i) = {persons[i][2], persons[i][3]};
        }
        EXPECT_NEAR(r_squared(s, ld_sample(s), 0, 1), cs.want, 1e-12);
    }
}

// Blocks of SNPs in complete LD, an independent SNP, a marker of three
// alleles, and how far apart they lie decide the clusters.
TEST(FindClusters, JoinsLinkedMarkersWithinTheDistance)
{
    const std::vector<double> cms = {0.0, 0.2, 0.4, 0.6, 0.8, 1.0, 1.2, 1.3, 2.5};
    const std::vector<int> alleles = {2, 2, 2, 2, 2, 3, 2, 2, 2};
    const int N = 200;
    study s = founders(N, cms, alleles);
    std::mt19937_64 rng(5);
    const std::vector<person_spec> ps(N, {-1, -1, false, true});
    cluster_testing::drop(s, ps,
                          {cluster_testing::make_cluster({0, 1, 2, 3}, {{1, 1, 1, 1}, {2, 2, 2, 2}}, {0.5, 0.5}),
                           cluster_testing::all_haplotypes(s, {4}, rng), cluster_testing::all_haplotypes(s, {5}, rng),
                           cluster_testing::make_cluster({6, 7, 8}, {{1, 1, 2}, {2, 2, 1}}, {0.6, 0.4})},
                          0.0, rng);

    const cluster_set file = parse_clusters("c.txt", "CLUSTER M2 M3\n", s, {});
    const struct {
        const char* name;
        double r2, max_cm;
        int max_haplotypes;
        const cluster_set* fixed;
        std::vector<std::vector<int>> want;
    } cases[] = {
        {"defaults", 0.5, 1.0, 128, nullptr, {{0, 1, 2, 3}, {6, 7}}},
        {"half a cM", 0.5, 0.5, 128, nullptr, {{0, 1, 2}, {6, 7}}},
        {"exactly the distance", 0.5, 0.6, 128, nullptr, {{0, 1, 2, 3}, {6, 7}}},
        {"r2 must exceed the threshold", 1.0, 1.0, 128, nullptr, {}},
        {"one haplotype at most", 0.5, 1.0, 1, nullptr, {}},
        {"two cM: M9 too", 0.5, 2.0, 128, nullptr, {{0, 1, 2, 3}, {6, 7, 8}}},
        {"a cluster from a file stays", 0.5, 1.0, 128, &file, {{1, 2}, {6, 7}}},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.name);
        cluster_limits lim;
        lim.max_cm = cs.max_cm;
        lim.max_haplotypes = cs.max_haplotypes;
        const cluster_set got = find_clusters(s, cs.r2, lim, cs.fixed);
        std::vector<std::vector<int>> markers;
        for (const cluster& c : got.list) {
            markers.push_back(c.markers);
            EXPECT_EQ(c.count(), 2u);  // complete LD: two haplotypes
        }
        EXPECT_EQ(markers, cs.want);
        for (std::size_t i = 0; i < got.list.size(); ++i)
            for (int m : got.list[i].markers)
                EXPECT_EQ(got.of_marker[m], int(i));
    }
}

}  // namespace
