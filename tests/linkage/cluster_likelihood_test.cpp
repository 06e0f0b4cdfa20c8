#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "cluster_likelihood.h"
#include "cluster_oracle.h"
#include "cluster_testing.h"

namespace {

using namespace linkage;
using cluster_testing::person_spec;

const person_spec untyped_founder{-1, -1, false, false}, typed_founder{-1, -1, false, true};

const struct {
    const char* name;
    std::vector<person_spec> persons;
    int labels;  // founder genes: the oracle's work grows as haplotypes^labels
} pedigrees[] = {
    {"sib pair, parents untyped", {untyped_founder, untyped_founder, {0, 1, true, true}, {0, 1, true, true}}, 4},
    {"sib pair and typed parents", {typed_founder, typed_founder, {0, 1, true, true}, {0, 1, true, true}}, 4},
    {"three sibs, mother typed",
     {untyped_founder, typed_founder, {0, 1, true, true}, {0, 1, true, true}, {0, 1, false, true}},
     4},
    {"three generations, an untyped uncle",
     {typed_founder,
      untyped_founder,
      {0, 1, true, true},
      typed_founder,
      {2, 3, true, true},
      {2, 3, true, true},
      {0, 1, false, false}},
     6},
    {"children of a brother and sister",
     {untyped_founder, untyped_founder, {0, 1, false, true}, {0, 1, false, true}, {2, 3, true, true},
      {2, 3, true, true}},
     4},
};

// P(data | v) up to one factor for all v: founders without children are
// left out, as a constant; the multipoint pass scales it away.
void expect_agrees(const char* what, const kindred& k, const family& f, const cluster_oracle::pedigree& o,
                   const cluster_oracle::locus_model& l, detail::shape sh, const std::vector<double>& e)
{
    SCOPED_TRACE(what);
    const std::uint64_t N = k.vectors();
    std::vector<double> want(N);
    double total = 0;
    for (std::uint32_t v = 0; v < N; ++v)
        total += want[v] = o.likelihood(f, l, o.full_vector(k, v));
    if (total == 0) {
        EXPECT_EQ(sh, detail::shape::impossible);
        return;
    }
    ASSERT_NE(sh, detail::shape::impossible);
    if (sh == detail::shape::flat) {
        for (double w : want)
            EXPECT_NEAR(w, want[0], 1e-12 * want[0]);
        return;
    }
    double got = 0;
    for (double x : e)
        got += x;
    for (std::uint32_t v = 0; v < N; ++v)
        EXPECT_NEAR(e[v] / got, want[v] / total, 1e-12) << "vector " << v;
}

TEST(ClusterLikelihood, AgreesWithEveryHaplotypeOfEveryFounderGene)
{
    const struct {
        const char* name;
        std::vector<int> alleles;  // of the cluster's markers
        int keep;                  // haplotypes kept of every one there is (0: all)
        int max_labels;            // pedigrees small enough for the oracle
    } clusters[] = {
        {"three SNPs, five haplotypes", {2, 2, 2}, 5, 6},
        {"two and three alleles, every haplotype", {2, 3}, 0, 6},
        {"seven SNPs, 128 haplotypes", {2, 2, 2, 2, 2, 2, 2}, 0, 4},
    };
    for (const auto& pc : pedigrees)
        for (const auto& cc : clusters) {
            if (pc.labels > cc.max_labels)
                continue;
            for (double missing : {0.0, 0.3})
                for (std::uint64_t seed = 1; seed <= 3; ++seed) {
                    SCOPED_TRACE(std::string(pc.name) + ", " + cc.name + ", missing " + std::to_string(missing) +
                                 ", seed " + std::to_string(seed));
                    std::mt19937_64 rng(seed);
                    // The cluster's markers 0.1 cM apart, then a marker alone.
                    std::vector<double> cms;
                    std::vector<int> alleles = cc.alleles, markers;
                    for (std::size_t j = 0; j < cc.alleles.size(); ++j) {
                        cms.push_back(0.1 * double(j));
                        markers.push_back(static_cast<int>(j));
                    }
                    cms.push_back(10.0);
                    alleles.push_back(3);
                    study s = cluster_testing::make_study(pc.persons, cms, alleles);
                    cluster c = cluster_testing::all_haplotypes(s, markers, rng);
                    if (cc.keep) {
                        std::shuffle(c.freq.begin(), c.freq.end(), rng);  // which ones go
                        c.freq.resize(cc.keep);
                        c.haplotypes.resize(cc.keep * c.size());
                        double t = 0;
                        for (double x : c.freq)
                            t += x;
                        for (double& x : c.freq)
                            x /= t;
                    }
                    const int alone = static_cast<int>(markers.size());
                    cluster single = cluster_testing::all_haplotypes(s, {alone}, rng);
                    s.markers[alone].freq = single.freq;
                    cluster_testing::drop(s, pc.persons, {c, single}, missing, rng);
                    const family& f = s.families[0];

                    const kindred k = make_kindred(f, score_kind::pairs);
                    const cluster_oracle::pedigree o(f);
                    std::vector<double> e(k.vectors());
                    detail::cluster_likelihood lik(k);
                    expect_agrees("cluster", k, f, o, cluster_oracle::of_cluster(s, c), lik.compute(f, s, c, e.data()),
                                  e);

                    // The marker alone, and as a cluster of itself with its
                    // haplotypes in another order: the same, to the bit.
                    detail::marker_likelihood ml(k);
                    std::vector<double> e1(k.vectors());
                    const detail::shape sh = ml.compute(f, s.markers[alone], alone, e1.data());
                    expect_agrees("marker alone", k, f, o, cluster_oracle::alone(s, alone), sh, e1);
                    std::vector<double> e2(k.vectors());
                    cluster reversed = single;
                    std::reverse(reversed.haplotypes.begin(), reversed.haplotypes.end());
                    std::reverse(reversed.freq.begin(), reversed.freq.end());
                    EXPECT_EQ(lik.compute(f, s, reversed, e2.data()), sh);
                    if (sh != detail::shape::flat) {
                        EXPECT_EQ(std::memcmp(e1.data(), e2.data(), e1.size() * sizeof(double)), 0);
                    }
                }
        }
}

// With every haplotype at the product of its alleles' frequencies the
// markers of a cluster are independent given v, so its likelihood is the
// product of theirs: a check on pedigrees too large for the oracle, whose
// graphs have long cycles and need several labels fixed.
TEST(ClusterLikelihood, ProductOfMarkersUnderLinkageEquilibrium)
{
    const person_spec u = untyped_founder, t = typed_founder;
    const struct {
        const char* name;
        std::vector<person_spec> persons;
    } large[] = {
        {"children of first cousins",
         {u, u, {0, 1, false, false}, {0, 1, false, true}, t, u, {2, 4, false, true}, {5, 3, false, true},
          {6, 7, true, true}, {6, 7, true, true}, {6, 7, true, true}}},
        {"grandparents, three children with spouses, six grandchildren",
         {u, t, {0, 1, true, true}, u, {0, 1, false, true}, t, {0, 1, true, false}, u, {2, 3, true, true},
          {2, 3, true, true}, {5, 4, true, true}, {5, 4, false, true}, {6, 7, true, true}, {6, 7, true, true}}},
    };
    for (const auto& pc : large)
        for (std::uint64_t seed = 1; seed <= 4; ++seed) {
            SCOPED_TRACE(std::string(pc.name) + ", seed " + std::to_string(seed));
            std::mt19937_64 rng(seed);
            study s = cluster_testing::make_study(pc.persons, {0.0, 0.1, 0.2}, {2, 3, 4});
            cluster c = cluster_testing::all_haplotypes(s, {0, 1, 2}, rng);
            std::vector<cluster> alone;
            for (int m = 0; m < 3; ++m) {
                alone.push_back(cluster_testing::all_haplotypes(s, {m}, rng));
                s.markers[m].freq = alone.back().freq;
            }
            for (std::size_t h = 0; h < c.count(); ++h) {
                c.freq[h] = 1.0;
                for (int m = 0; m < 3; ++m)
                    c.freq[h] *= s.markers[m].freq[c.haplotype(h)[m] - 1];
            }
            cluster_testing::drop(s, pc.persons, {c}, 0.25, rng);
            const family& f = s.families[0];
            const kindred k = make_kindred(f, score_kind::all);
            const std::uint64_t N = k.vectors();
            std::vector<double> want(N, 1.0), e(N);
            detail::marker_likelihood ml(k);
            for (int m = 0; m < 3; ++m)
                if (ml.compute(f, s.markers[m], m, e.data()) != detail::shape::flat)
                    for (std::uint64_t v = 0; v < N; ++v)
                        want[v] *= e[v];
            detail::cluster_likelihood lik(k);
            ASSERT_EQ(lik.compute(f, s, c, e.data()), detail::shape::varying);
            double te = 0, tw = 0;
            for (std::uint64_t v = 0; v < N; ++v) {
                te += e[v];
                tw += want[v];
            }
            for (std::uint64_t v = 0; v < N; ++v)
                ASSERT_NEAR(e[v] / te, want[v] / tw, 1e-12) << "vector " << v;
        }
}

// Genotypes that no pair of haplotypes shows, or that no inheritance passes
// on, are impossible for every vector; a person the haplotypes cannot explain
// is so even as a founder without children.
TEST(ClusterLikelihood, ImpossibleGenotypes)
{
    using G = genotype;
    const std::vector<person_spec> trio_and_spouse = {
        typed_founder, typed_founder, {0, 1, true, true}, {0, 1, true, true}, typed_founder};
    // Two SNPs in complete LD: haplotypes 11 and 22 only.
    const cluster c = cluster_testing::make_cluster({0, 1}, {{1, 1}, {2, 2}}, {0.6, 0.4});
    const struct {
        const char* name;
        std::vector<std::pair<G, G>> geno;  // per person: marker 1, marker 2
        detail::shape want;
    } cases[] = {
        {"a sib shows 1 1 and 1 2",
         {{{1, 2}, {1, 2}}, {{1, 1}, {1, 1}}, {{1, 1}, {1, 2}}, {}, {}},
         detail::shape::impossible},
        {"parents 11/11, a sib needs a 22",
         {{{1, 1}, {1, 1}}, {{1, 1}, {1, 1}}, {{1, 2}, {1, 2}}, {}, {}},
         detail::shape::impossible},
        {"a founder without children shows 1 1 and 2 2",
         {{}, {}, {{1, 2}, {1, 2}}, {{1, 2}, {1, 2}}, {{1, 1}, {2, 2}}},
         detail::shape::impossible},
        {"parents untyped: possible", {{}, {}, {{1, 2}, {1, 2}}, {{2, 2}, {2, 2}}, {}}, detail::shape::varying},
        {"a missing genotype leaves the other marker", {{}, {}, {{1, 2}, {}}, {{2, 2}, {2, 2}}, {}},
         detail::shape::varying},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.name);
        study s = cluster_testing::make_study(trio_and_spouse, {0.0, 0.1}, {2, 2});
        family& f = s.families[0];
        for (std::size_t i = 0; i < cs.geno.size(); ++i) {
            f.at(0, i) = cs.geno[i].first;
            f.at(1, i) = cs.geno[i].second;
        }
        const kindred k = make_kindred(f, score_kind::all);
        std::vector<double> e(k.vectors());
        detail::cluster_likelihood lik(k);
        const detail::shape sh = lik.compute(f, s, c, e.data());
        EXPECT_EQ(sh, cs.want);
        expect_agrees(cs.name, k, f, cluster_oracle::pedigree(f), cluster_oracle::of_cluster(s, c), sh, e);
    }
}

// The oracle's joint enumeration, which will check the multipoint pass with
// clusters, agrees with the multipoint pass on markers alone.
TEST(ClusterOracle, PosteriorMatchesMultipointOnMarkersAlone)
{
    const std::vector<person_spec> ps = pedigrees[2].persons;
    std::mt19937_64 rng(11);
    study s = cluster_testing::make_study(ps, {0.0, 4.0, 9.0}, {2, 3, 2});
    std::vector<cluster> loci;
    for (int m = 0; m < 3; ++m) {
        loci.push_back(cluster_testing::all_haplotypes(s, {m}, rng));
        s.markers[m].freq = loci.back().freq;
    }
    cluster_testing::drop(s, ps, loci, 0.2, rng);
    const family& f = s.families[0];
    const chromosome c = chromosomes(s)[0];
    const std::vector<position> pos = positions(s, c, 0.0);
    const kindred k = make_kindred(f, score_kind::pairs);
    const ibd_result r = multipoint(k, f, s, c, pos);

    const cluster_oracle::pedigree o(f);
    std::vector<cluster_oracle::locus_model> models;
    for (int m = 0; m < 3; ++m)
        models.push_back(cluster_oracle::alone(s, m));
    const auto post = o.posterior(f, models);
    // Outcomes of the full vectors, through the reduced vector with the same labels.
    std::vector<std::uint32_t> reduced(o.labels.size(), ~0u);
    for (std::uint32_t v = 0; v < k.vectors(); ++v)
        reduced[o.full_vector(k, v)] = v;
    for (std::size_t p = 0; p < pos.size(); ++p) {
        std::vector<double> want(k.score.size(), 0.0);
        // Each reduced vector stands for 2^(full - reduced bits) full vectors
        // of equal posterior; the full vectors it names carry one share.
        double named = 0;
        for (std::uint32_t v = 0; v < o.labels.size(); ++v)
            if (reduced[v] != ~0u) {
                want[k.outcome[reduced[v]]] += post[p][v];
                named += post[p][v];
            }
        for (std::size_t j = 0; j < want.size(); ++j)
            EXPECT_NEAR(r.probs[p * want.size() + j], want[j] / named, 1e-12) << "position " << p;
    }
}

}  // namespace
