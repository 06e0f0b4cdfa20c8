#include <gtest/gtest.h>

#include "cluster_oracle.h"

namespace {

using namespace cluster_oracle;

const person_spec U{-1, -1, false, false}, T{-1, -1, false, true}, A{0, 1, true, true};

// The multipoint pass over clusters and markers alone, against every path of
// full vectors through the loci and every haplotype of every founder gene.
TEST(ClusterMultipoint, AgreesWithTheJointEnumerationOfEveryLocus)
{
    const struct {
        const char* name;
        std::vector<person_spec> persons;
    } pedigrees[] = {
        {"three sibs, parents untyped", {U, U, A, A, A}},
        {"three sibs, mother typed", {U, T, A, A, {0, 1, false, true}}},
        {"three generations", {U, U, {0, 1, false, true}, T, {2, 3, true, true}, {2, 3, true, true}}},
    };
    // Loci by their markers (clusters of 2 and 3, a marker alone); the second
    // map has a cluster and a marker at one position.
    const struct {
        std::vector<double> cms;
        std::vector<std::vector<int>> loci;
        std::vector<int> alleles;
        std::vector<double> locus_cm;
        int keep;  // haplotypes of the first cluster kept (0: all)
    } maps[] = {
        {{0.0, 0.3, 2.0, 4.0, 4.2, 4.5}, {{0, 1}, {2}, {3, 4, 5}}, {2, 3, 4, 2, 2, 2}, {0.15, 2.0, 4.0 + 0.7 / 3}, 4},
        {{1.0, 1.0, 1.0, 3.0, 3.5}, {{0, 1}, {2}, {3, 4}}, {2, 2, 3, 2, 3}, {1.0, 1.0, 3.25}, 0},
    };
    for (const auto& pc : pedigrees)
        for (const auto& mc : maps)
            for (std::uint64_t seed = 1; seed <= 3; ++seed) {
                SCOPED_TRACE(std::string(pc.name) + ", map " + std::to_string(&mc - maps) + ", seed " +
                             std::to_string(seed));
                std::mt19937_64 rng(seed);
                study s = make_study(pc.persons, mc.cms, mc.alleles);
                std::vector<cluster> loci;
                cluster_set cs;
                for (const auto& ms : mc.loci) {
                    if (ms.size() == 1) {
                        s.markers[ms[0]].freq = make_cluster(s, ms, {}, {}, rng).freq;
                        loci.push_back(alone(s, ms[0]));
                        continue;
                    }
                    cluster c = make_cluster(s, ms, {}, {}, rng);
                    if (&ms == &mc.loci[0] && mc.keep) {
                        // A few haplotypes only, as in LD.
                        c.haplotypes.resize(mc.keep * c.size());
                        c.freq.resize(mc.keep);
                        double total = 0;
                        for (double x : c.freq)
                            total += x;
                        for (double& x : c.freq)
                            x /= total;
                    }
                    loci.push_back(c);
                    cs.list.push_back(c);
                }
                index_clusters(s, cs);
                drop(s, pc.persons, loci, 0.25, rng);

                const family& f = s.families[0];
                const chromosome chr = chromosomes(s)[0];
                const kindred k = make_kindred(f, score_kind::pairs);
                const std::vector<position> pos = positions(s, chr, cs, 0.0);
                const ibd_result r = multipoint(k, f, s, chr, cs, pos);
                ASSERT_TRUE(r.inconsistent.empty());
                const pedigree o(f);
                const auto post = o.posterior(f, loci, mc.locus_cm);
                // One position per distinct locus place; loci at one place
                // share their posterior.
                std::size_t p = 0;
                for (std::size_t t = 0; t < loci.size(); ++t) {
                    if (t + 1 < loci.size() && mc.locus_cm[t + 1] == mc.locus_cm[t])
                        continue;
                    ASSERT_LT(p, pos.size());
                    EXPECT_EQ(pos[p].cm, mc.locus_cm[t]);
                    const std::vector<double> want = outcome_posterior(k, o, post[t]);
                    for (std::size_t j = 0; j < want.size(); ++j)
                        EXPECT_NEAR(r.probs[p * want.size() + j], want[j], 1e-12) << "locus " << t;
                    ++p;
                }
                EXPECT_EQ(p, pos.size());
            }
}

}  // namespace
