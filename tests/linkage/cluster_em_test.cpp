#include <gtest/gtest.h>

#include "cluster_oracle.h"

namespace {

using namespace cluster_oracle;

const person_spec F{-1, -1, false, true}, K{0, 1, true, true};

// n unrelated typed founders.
study founders(int n, const std::vector<double>& cms)
{
    return make_study(std::vector<person_spec>(n, F), cms, std::vector<int>(cms.size(), 2));
}

TEST(LdSample, TypedFoundersElseTheMostTypedMember)
{
    // Per family, how many of two markers each person has typed; who is sampled.
    const std::vector<std::vector<int>> typed = {{2, 1, 2}, {0, 1, 2}, {0, 0, 1, 2, 2}, {0, 0, 0}};
    const std::vector<std::pair<int, int>> want = {{0, 0}, {0, 1}, {1, 1}, {2, 3}};
    study s;
    for (const auto& t : typed) {
        study one = make_study(std::vector<person_spec>{F, F, K, K, K}, {0.0, 1.0}, {2, 2});
        one.families[0].persons.resize(t.size());
        one.families[0].geno.assign(2 * t.size(), {});
        for (std::size_t i = 0; i < t.size(); ++i)
            for (int m = 0; m < t[i]; ++m)
                one.families[0].at(m, i) = {1, 2};
        s.markers = one.markers;
        s.families.push_back(one.families[0]);
    }
    std::vector<std::pair<int, int>> got;
    for (const sampled& x : ld_sample(s))
        got.push_back({x.family, x.person});
    EXPECT_EQ(got, want);
}

// Four SNPs whose haplotypes unphased genotypes do not tell apart (1111 +
// 2222 looks like 1122 + 2211), 5% of genotypes missing. Over 100 samples of
// 300 founders each estimate is centred on the truth within 3 standard
// errors of the mean, and spread about as counting phase-known haplotypes
// would be: the EM loses little.
TEST(HaplotypeEm, RecoversKnownFrequenciesOfSimulatedFounders)
{
    std::mt19937_64 rng(17);
    const int R = 100, N = 300;
    study s = founders(N, {0.0, 0.1, 0.2, 0.3});
    const cluster truth =
        make_cluster(s, {0, 1, 2, 3}, {{1, 1, 1, 1}, {2, 2, 2, 2}, {1, 1, 2, 2}, {2, 2, 1, 1}, {1, 2, 1, 2}},
                     {0.35, 0.25, 0.2, 0.15, 0.05}, rng);
    std::vector<double> sum(5, 0.0), sum2(5, 0.0);
    double other = 0.0;
    for (int r = 0; r < R; ++r) {
        std::fill(s.families[0].geno.begin(), s.families[0].geno.end(), genotype{});
        drop(s, std::vector<person_spec>(N, F), {truth}, 0.05, rng);
        const std::vector<sampled> sample = ld_sample(s);
        haplotype_em em(s, sample);
        for (int m = 0; m < 4; ++m)
            em.add(m);
        ASSERT_EQ(em.informative(), N);
        for (std::size_t i = 0; i < em.count(); ++i) {
            const double f = em.freq()[i];
            std::size_t t = 0;
            while (t < 5 && !std::equal(truth.haplotype(t), truth.haplotype(t) + 4, &em.haplotypes()[4 * i]))
                ++t;
            if (t == 5)
                other += f;
            else
                sum[t] += f, sum2[t] += f * f;
        }
    }
    for (std::size_t t = 0; t < 5; ++t) {
        const double mean = sum[t] / R, sd = std::sqrt((sum2[t] - R * mean * mean) / (R - 1));
        const double f = truth.freq[t], counted = std::sqrt(f * (1 - f) / (2.0 * N));
        EXPECT_LT(std::fabs(mean - f), 3 * sd / std::sqrt(double(R))) << t;
        EXPECT_GT(sd, 0.8 * counted) << t;
        EXPECT_LT(sd, 1.5 * counted) << t;
    }
    EXPECT_LT(other / R, 0.005);  // haplotypes that do not exist get next to nothing
}

// No one heterozygous at both SNPs: the EM counts the haplotypes, so r^2
// follows from the counts, D^2 / (pA pa pB pb).
TEST(HaplotypeEm, RSquaredFromCountedHaplotypes)
{
    const struct {
        int n11, n12, n21, n22;  // pairs of persons homozygous for each haplotype
        double want;
    } cases[] = {{5, 0, 0, 5, 1.0}, {6, 2, 3, 1, 0.0}, {5, 1, 2, 4, 18.0 * 18 / (6 * 6 * 7 * 5)}, {10, 0, 2, 0, 0.0}};
    for (const auto& cs : cases) {
        const int n[4] = {cs.n11, cs.n12, cs.n21, cs.n22};
        study s = founders(n[0] + n[1] + n[2] + n[3], {0.0, 0.1});
        for (int t = 0, i = 0; t < 4; ++t)
            for (int c = 0; c < n[t]; ++c, ++i) {
                const std::uint16_t a = t < 2 ? 1 : 2, b = t % 2 ? 2 : 1;
                s.families[0].at(0, i) = {a, a};
                s.families[0].at(1, i) = {b, b};
            }
        EXPECT_NEAR(r_squared(s, ld_sample(s), 0, 1), cs.want, 1e-12) << cs.want;
    }
}

// Blocks of SNPs in complete LD, an independent SNP and one of three alleles
// between them, and the distances decide the clusters.
TEST(FindClusters, JoinsLinkedMarkersWithinTheDistance)
{
    std::mt19937_64 rng(5);
    study s = founders(200, {0.0, 0.2, 0.4, 0.6, 0.8, 1.0, 1.2, 1.3, 2.5});
    s.markers[5].alleles.push_back("3");
    s.markers[5].freq = {0.3, 0.3, 0.4};
    drop(s, std::vector<person_spec>(200, F),
         {make_cluster(s, {0, 1, 2, 3}, {{1, 1, 1, 1}, {2, 2, 2, 2}}, {0.5, 0.5}, rng),
          make_cluster(s, {4}, {}, {}, rng), alone(s, 5),
          make_cluster(s, {6, 7, 8}, {{1, 1, 2}, {2, 2, 1}}, {0.6, 0.4}, rng)},
         0.0, rng);
    const cluster_set file = parse_clusters("c.txt", "CLUSTER M2 M3\n", s, {});
    const struct {
        double r2, max_cm;
        int max_haplotypes;
        const cluster_set* fixed;
        std::vector<std::vector<int>> want;
    } cases[] = {
        {0.5, 1.0, 128, nullptr, {{0, 1, 2, 3}, {6, 7}}}, {0.5, 0.5, 128, nullptr, {{0, 1, 2}, {6, 7}}},
        {0.5, 0.6, 128, nullptr, {{0, 1, 2, 3}, {6, 7}}}, {0.5, 2.0, 128, nullptr, {{0, 1, 2, 3}, {6, 7, 8}}},
        {1.0, 1.0, 128, nullptr, {}},                      {0.5, 1.0, 1, nullptr, {}},
        {0.5, 1.0, 128, &file, {{1, 2}, {6, 7}}},
    };
    for (const auto& cs : cases) {
        const cluster_set got = find_clusters(s, cs.r2, {cs.max_cm, cs.max_haplotypes}, cs.fixed);
        std::vector<std::vector<int>> markers;
        for (std::size_t i = 0; i < got.list.size(); ++i) {
            markers.push_back(got.list[i].markers);
            EXPECT_EQ(got.list[i].count(), 2u);  // complete LD: two haplotypes
            for (int m : got.list[i].markers)
                EXPECT_EQ(got.of_marker[m], int(i));
        }
        EXPECT_EQ(markers, cs.want) << "r2 " << cs.r2 << ", " << cs.max_cm << " cM, " << cs.max_haplotypes;
    }
}

}  // namespace
