#include <gtest/gtest.h>

#include <cstring>

#include "cluster_likelihood.h"
#include "cluster_oracle.h"

namespace {

using namespace cluster_oracle;

const person_spec U{-1, -1, false, false}, T{-1, -1, false, true}, A{0, 1, true, true};

// e up to one factor for all v (founders without children are left out as
// constants, which the multipoint pass scales away), against the oracle.
void expect_agrees(const kindred& k, const family& f, const cluster& c, detail::shape sh, const std::vector<double>& e)
{
    const pedigree o(f);
    std::vector<double> want(k.vectors());
    double tw = 0, te = 0;
    for (std::uint32_t v = 0; v < want.size(); ++v) {
        tw += want[v] = o.likelihood(f, c, o.full_vector(k, v));
        te += e[v];
    }
    if (tw == 0 || sh == detail::shape::flat) {
        EXPECT_EQ(sh, tw == 0 ? detail::shape::impossible : detail::shape::flat);
        for (double w : want)
            EXPECT_NEAR(w, want[0], 1e-12 * want[0]);
        return;
    }
    for (std::uint32_t v = 0; v < want.size(); ++v)
        EXPECT_NEAR(e[v] / te, want[v] / tw, 1e-12) << "vector " << v;
}

TEST(ClusterLikelihood, AgreesWithEveryHaplotypeOfEveryFounderGene)
{
    const struct {
        const char* name;
        std::vector<person_spec> persons;
        bool small;  // four founder genes: room for 128 haplotypes
    } pedigrees[] = {
        {"sib pair, parents untyped", {U, U, A, A}, true},
        {"sib pair and typed parents", {T, T, A, A}, true},
        {"three sibs, mother typed", {U, T, A, A, {0, 1, false, true}}, true},
        {"three generations, an untyped uncle", {T, U, A, T, {2, 3, true, true}, {2, 3, true, true}, {0, 1, 0, 0}},
         false},
        {"children of a brother and sister", {U, U, {0, 1, 0, 1}, {0, 1, 0, 1}, {2, 3, 1, 1}, {2, 3, 1, 1}}, true},
    };
    const struct {
        std::vector<int> alleles;
        int keep;  // of every haplotype there is (0: all)
    } clusters[] = {{{2, 2, 2}, 5}, {{2, 3}, 0}, {{2, 2, 2, 2, 2, 2, 2}, 0}};
    for (const auto& pc : pedigrees)
        for (const auto& cc : clusters)
            for (std::uint64_t seed = 1; seed <= 6 && (pc.small || cc.alleles.size() < 7); ++seed) {
                SCOPED_TRACE(std::string(pc.name) + ", " + std::to_string(cc.alleles.size()) + " markers, seed " +
                             std::to_string(seed));
                std::mt19937_64 rng(seed);
                // The cluster's markers 0.1 cM apart, then a marker alone.
                std::vector<double> cms;
                std::vector<int> markers, alleles = cc.alleles;
                for (std::size_t j = 0; j < cc.alleles.size(); ++j) {
                    cms.push_back(0.1 * double(j));
                    markers.push_back(static_cast<int>(j));
                }
                cms.push_back(10.0);
                alleles.push_back(3);
                study s = make_study(pc.persons, cms, alleles);
                cluster c = make_cluster(s, markers, {}, {}, rng);
                if (cc.keep) {  // the first few
                    c.haplotypes.resize(cc.keep * c.size());
                    c.freq.resize(cc.keep);
                    double t = 0;
                    for (double x : c.freq)
                        t += x;
                    for (double& x : c.freq)
                        x /= t;
                }
                const int m = static_cast<int>(markers.size());
                s.markers[m].freq = make_cluster(s, {m}, {}, {}, rng).freq;
                drop(s, pc.persons, {c, alone(s, m)}, seed > 3 ? 0.3 : 0.0, rng);
                const family& f = s.families[0];
                const kindred k = make_kindred(f, score_kind::pairs);
                std::vector<double> e(k.vectors()), e1(k.vectors()), e2(k.vectors());
                detail::cluster_likelihood lik(k);
                expect_agrees(k, f, c, lik.compute(f, s, c, e.data()), e);

                // The marker alone, and as a cluster of itself with its
                // haplotypes in another order: the same, to the bit.
                detail::marker_likelihood ml(k);
                const detail::shape sh = ml.compute(f, s.markers[m], m, e1.data());
                expect_agrees(k, f, alone(s, m), sh, e1);
                cluster reversed = alone(s, m);
                std::reverse(reversed.haplotypes.begin(), reversed.haplotypes.end());
                std::reverse(reversed.freq.begin(), reversed.freq.end());
                EXPECT_EQ(lik.compute(f, s, reversed, e2.data()), sh);
                EXPECT_TRUE(sh == detail::shape::flat || std::memcmp(e1.data(), e2.data(), e1.size() * 8) == 0);
            }
}

// Genotypes that no pair of haplotypes shows, or that no inheritance passes
// on, are impossible for every vector, even in a founder without children.
TEST(ClusterLikelihood, ImpossibleGenotypes)
{
    using G = std::pair<genotype, genotype>;  // at the two SNPs
    const G none{}, het{{1, 2}, {1, 2}}, hom1{{1, 1}, {1, 1}}, hom2{{2, 2}, {2, 2}};
    const struct {
        std::vector<G> geno;  // father, mother, two sibs, a childless founder
        bool possible;
    } cases[] = {
        {{het, hom1, {{1, 1}, {1, 2}}, none, none}, false},
        {{hom1, hom1, het, none, none}, false},
        {{none, none, het, het, {{1, 1}, {2, 2}}}, false},
        {{none, none, het, hom2, none}, true},
        {{none, none, {{1, 2}, {}}, hom2, none}, true},
    };
    std::mt19937_64 rng(1);
    for (const auto& cs : cases) {
        study s = make_study({T, T, A, A, T}, {0.0, 0.1}, {2, 2});
        const cluster c = make_cluster(s, {0, 1}, {{1, 1}, {2, 2}}, {0.6, 0.4}, rng);  // complete LD
        for (std::size_t i = 0; i < cs.geno.size(); ++i)
            std::tie(s.families[0].at(0, i), s.families[0].at(1, i)) = cs.geno[i];
        const kindred k = make_kindred(s.families[0], score_kind::all);
        std::vector<double> e(k.vectors());
        const detail::shape sh = detail::cluster_likelihood(k).compute(s.families[0], s, c, e.data());
        EXPECT_EQ(sh != detail::shape::impossible, cs.possible);
        expect_agrees(k, s.families[0], c, sh, e);
    }
}

// Every haplotype at the product of its alleles' frequencies makes the
// markers independent given v: the cluster's likelihood is then the product
// of theirs. On pedigrees too large for the oracle, whose graphs have long
// cycles and need several labels fixed.
TEST(ClusterLikelihood, ProductOfMarkersUnderLinkageEquilibrium)
{
    const std::vector<person_spec> pedigrees[] = {
        {U, U, {0, 1, 0, 0}, {0, 1, 0, 1}, T, U, {2, 4, 0, 1}, {5, 3, 0, 1}, {6, 7, 1, 1}, {6, 7, 1, 1}, {6, 7, 1, 1}},
        {U, T, A, U, {0, 1, 0, 1}, T, {0, 1, 1, 0}, U, {2, 3, 1, 1}, {2, 3, 1, 1}, {5, 4, 1, 1}, {5, 4, 0, 1},
         {6, 7, 1, 1}, {6, 7, 1, 1}},
    };
    for (const auto& ps : pedigrees)
        for (std::uint64_t seed = 1; seed <= 4; ++seed) {
            std::mt19937_64 rng(seed);
            study s = make_study(ps, {0.0, 0.1, 0.2}, {2, 3, 4});
            cluster c = make_cluster(s, {0, 1, 2}, {}, {}, rng);
            for (int m = 0; m < 3; ++m)
                s.markers[m].freq = make_cluster(s, {m}, {}, {}, rng).freq;
            for (std::size_t h = 0; h < c.count(); ++h)
                for (int m = 0; m < 3; ++m)
                    c.freq[h] = (m ? c.freq[h] : 1.0) * s.markers[m].freq[c.haplotype(h)[m] - 1];
            drop(s, ps, {c}, 0.25, rng);
            const family& f = s.families[0];
            const kindred k = make_kindred(f, score_kind::all);
            std::vector<double> want(k.vectors(), 1.0), e(k.vectors());
            detail::marker_likelihood ml(k);
            for (int m = 0; m < 3; ++m)
                if (ml.compute(f, s.markers[m], m, e.data()) != detail::shape::flat)
                    for (std::size_t v = 0; v < e.size(); ++v)
                        want[v] *= e[v];
            ASSERT_EQ(detail::cluster_likelihood(k).compute(f, s, c, e.data()), detail::shape::varying);
            double te = 0, tw = 0;
            for (std::size_t v = 0; v < e.size(); ++v)
                te += e[v], tw += want[v];
            for (std::size_t v = 0; v < e.size(); ++v)
                ASSERT_NEAR(e[v] / te, want[v] / tw, 1e-12) << "seed " << seed << ", vector " << v;
        }
}

// The oracle's joint enumeration, kept to check the multipoint pass with
// clusters, agrees with it on markers alone.
TEST(ClusterOracle, PosteriorIsTheMultipointOneOnMarkersAlone)
{
    const std::vector<person_spec> ps = {U, T, A, A, {0, 1, false, true}};
    std::mt19937_64 rng(11);
    study s = make_study(ps, {0.0, 4.0, 9.0}, {2, 3, 2});
    std::vector<cluster> loci;
    for (int m = 0; m < 3; ++m) {
        s.markers[m].freq = make_cluster(s, {m}, {}, {}, rng).freq;
        loci.push_back(alone(s, m));
    }
    drop(s, ps, loci, 0.2, rng);
    const family& f = s.families[0];
    const chromosome c = chromosomes(s)[0];
    const kindred k = make_kindred(f, score_kind::pairs);
    const ibd_result r = multipoint(k, f, s, c, positions(s, c, 0.0));
    const pedigree o(f);
    const auto post = o.posterior(f, loci, {0.0, 4.0, 9.0});
    for (std::size_t p = 0; p < 3; ++p) {
        const std::vector<double> want = outcome_posterior(k, o, post[p]);
        for (std::size_t j = 0; j < want.size(); ++j)
            EXPECT_NEAR(r.probs[p * want.size() + j], want[j], 1e-12) << "position " << p;
    }
}

}  // namespace
