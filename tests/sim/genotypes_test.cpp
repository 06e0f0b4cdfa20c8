#include <gtest/gtest.h>

#include <cmath>

#include "gene_drop.h"
#include "sim.h"

namespace {

sim::options parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "brell-sim");
    return sim::parse_options(static_cast<int>(args.size()), args.data());
}

// 5 standard errors: a correct simulator exceeds it about once in two
// million checks.
double allowance(double p, double n) { return 5 * std::sqrt(p * (1 - p) / n); }

// A study as brell-sim draws it, one kindred at a time.
struct simulation {
    explicit simulation(std::vector<const char*> args) : opt(parse(std::move(args))), m(sim::make_map(opt))
    {
        for (int s = sim::MIN_SIBS; s <= sim::MAX_SIBS; ++s)
            tables[s] = sim::enumerate_sibship(s);
        markers = sim::make_markers(opt, m);
    }
    const sim::kindred_pedigree& kindred(long i)
    {
        sim::simulate_kindred(opt, tables, m, i, ks);
        sim::simulate_pedigree(opt, markers, m, i, ks, kp);
        return kp;
    }
    sim::options opt;
    sim::map m;
    std::array<sim::sibship, sim::MAX_SIBS + 1> tables;
    std::vector<linkage::marker> markers;
    sim::kindred_sample ks;
    sim::kindred_pedigree kp;
};

bool carries(const linkage::genotype& g, std::uint16_t a) { return g.a == a || g.b == a; }

// Cousins' child, listed before its ancestors: the layout must reorder it
// and the labels of an inbred child may repeat.
linkage::family cousins_child()
{
    linkage::family f;
    f.id = "loop";
    const struct { const char* id; int father, mother; } rows[] = {
        {"child", 1, 2}, {"c1", 3, 4}, {"c2", 6, 5}, {"s1", 7, 8}, {"w1", -1, -1},
        {"s2", 7, 8},    {"w2", -1, -1}, {"gf", -1, -1}, {"gm", -1, -1},
    };
    for (const auto& r : rows) {
        linkage::person p;
        p.id = r.id;
        p.father = r.father;
        p.mother = r.mother;
        f.persons.push_back(p);
    }
    return f;
}

TEST(GeneDrop, ChildrenCarryOneAlleleOfEachParent)
{
    std::vector<linkage::marker> markers(30);
    std::vector<double> cm;
    std::vector<int> columns;
    for (std::size_t k = 0; k < markers.size(); ++k) {
        markers[k].alleles = {"1", "2", "3", "4"};
        markers[k].freq = {0.1, 0.2, 0.3, 0.4};
        cm.push_back(5.0 * static_cast<double>(k));
        columns.push_back(static_cast<int>(k));
    }
    simulation sibship({"--sibs", "2-6", "--length", "20", "--locus", "7", "--delta", "1", "--markers", "3"});
    simulation three({"--sibs", "2-6", "--length", "20", "--markers", "5", "--pedigree", "grandparents"});
    sim::rng r(3, 0, 0);
    const linkage::uniform_source u = [&] { return r.uniform(); };
    double flips = 0, steps = 0;
    for (long rep = 0; rep < 300; ++rep) {
        std::vector<std::pair<linkage::family, std::vector<linkage::marker>>> fams;
        fams.push_back({sibship.kindred(rep).family, sibship.markers});
        fams.push_back({three.kindred(rep).family, three.markers});
        linkage::family loop = cousins_child();
        const linkage::meioses mz = linkage::meiosis_layout(loop, "loop.ped");
        ASSERT_EQ(mz.nbits(), 10);
        const linkage::inheritance inh = linkage::draw_inheritance(mz.nbits(), cm, u);
        linkage::gene_drop(loop, mz, markers, columns, inh, u);
        fams.push_back({loop, markers});
        for (std::size_t k = 1; k < cm.size(); ++k)
            for (int b = 0; b < inh.nbits; ++b, ++steps)
                flips += inh.at(k)[b] != inh.at(k - 1)[b];

        for (const auto& [f, mks] : fams) {
            ASSERT_EQ(f.geno.size(), f.persons.size() * mks.size());
            for (std::size_t k = 0; k < mks.size(); ++k)
                for (const linkage::person& p : f.persons) {
                    const linkage::genotype& g = f.at(k, static_cast<std::size_t>(&p - f.persons.data()));
                    EXPECT_EQ(g.a == 0, g.b == 0);
                    EXPECT_LE(g.a, g.b);
                    EXPECT_LE(g.b, mks[k].alleles.size());
                    if (g.missing() || p.father < 0)
                        continue;
                    const linkage::genotype& fa = f.at(k, p.father);
                    const linkage::genotype& mo = f.at(k, p.mother);
                    if (fa.missing() || mo.missing())
                        continue;
                    EXPECT_TRUE((carries(fa, g.a) && carries(mo, g.b)) || (carries(fa, g.b) && carries(mo, g.a)))
                        << f.id << " person " << p.id << " marker " << k;
                }
        }
    }
    EXPECT_NEAR(flips / steps, linkage::haldane(5), allowance(linkage::haldane(5), steps));

    linkage::family bad = cousins_child();
    bad.persons[3].mother = -1;
    bad.persons[3].line = 4;
    try {
        linkage::meiosis_layout(bad, "loop.ped");
        ADD_FAILURE() << "one parent accepted";
    } catch (const linkage::input_error& e) {
        EXPECT_STREQ(e.what(), "loop.ped line 4: family loop: person s1 has one parent given without the other");
    }
}

TEST(Genotypes, FounderAllelesFollowTheChosenFrequencies)
{
    const std::vector<std::vector<const char*>> cases = {
        {"--markers", "4"},
        {"--markers", "6", "--freqs", "skewed"},
        {"--freqs", "snp", "--missing", "0.3"},
        {"--freqs", "snp", "--ld", "4:3"},  // the haplotypes' frequencies
        {"--markers", "4", "--ld", "3:5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[1]);
        auto args = c;
        for (const char* a : {"--length", "30", "--sibs", "2-3", "--seed", "8"})
            args.push_back(a);
        simulation s(args);
        const std::size_t k = static_cast<std::size_t>(s.opt.alleles);
        std::vector<double> expected(k), seen(k);
        double total = 0;
        for (const auto& mk : s.markers) {
            double sum = 0;
            for (double p : mk.freq)
                sum += p;
            EXPECT_NEAR(sum, 1.0, 1e-15);
            if (s.opt.freqs == sim::allele_freqs::snp && !s.opt.ld_block) {
                EXPECT_GE(mk.freq[1], 0.1);
                EXPECT_LE(mk.freq[1], 0.5);
            }
        }
        for (long i = 0; i < 500; ++i) {
            const linkage::family& f = s.kindred(i).family;
            for (std::size_t m = 0; m < s.markers.size(); ++m)
                for (std::size_t p = 0; p < 2; ++p) {  // the founders
                    const linkage::genotype& g = f.at(m, p);
                    if (g.missing())
                        continue;
                    for (std::size_t a = 0; a < k; ++a)
                        expected[a] += 2 * s.markers[m].freq[a];
                    ++seen[g.a - 1u];
                    ++seen[g.b - 1u];
                    total += 2;
                }
        }
        for (std::size_t a = 0; a < k; ++a) {
            const double p = expected[a] / total;
            EXPECT_NEAR(seen[a] / total, p, allowance(p, total)) << "allele " << a + 1;
        }
        if (s.opt.freqs == sim::allele_freqs::skewed) {
            EXPECT_GT(expected[0], 5 * expected[5]);
        }
    }
}

TEST(Genotypes, MissingGenotypesFollowTheRateAndLeaveTheRestAlone)
{
    const std::vector<const char*> common{"--kindreds", "300", "--sibs", "2-4", "--length", "20", "--locus", "5",
                                          "--delta", "0.5", "--markers", "3", "--pedigree", "grandparents"};
    auto with = [&](std::vector<const char*> extra) {
        extra.insert(extra.begin(), common.begin(), common.end());
        return simulation(extra);
    };
    simulation full = with({}), mixed = with({"--parents", "mixed", "--missing", "0.2"}),
               none = with({"--parents", "missing"});
    double typed = 0, lost = 0;
    for (long i = 0; i < 300; ++i) {
        const linkage::family f = full.kindred(i).family;
        const linkage::family& g = mixed.kindred(i).family;
        const linkage::family& n = none.kindred(i).family;
        ASSERT_EQ(f.persons.size(), g.persons.size());
        const bool ancestors_typed = i % 2 == 0;
        for (std::size_t m = 0; m < full.markers.size(); ++m)
            for (std::size_t p = 0; p < f.persons.size(); ++p) {
                const bool ancestor = f.persons[p].affection != linkage::status::affected;
                EXPECT_FALSE(f.at(m, p).missing());
                EXPECT_EQ(n.at(m, p).missing(), ancestor);
                if (ancestor && !ancestors_typed) {
                    EXPECT_TRUE(g.at(m, p).missing());
                    continue;
                }
                ++typed;
                if (g.at(m, p).missing()) {
                    ++lost;
                    EXPECT_EQ(g.at(m, p).b, 0);
                } else {
                    EXPECT_EQ(g.at(m, p).a, f.at(m, p).a);
                    EXPECT_EQ(g.at(m, p).b, f.at(m, p).b);
                }
            }
    }
    EXPECT_NEAR(lost / typed, 0.2, allowance(0.2, typed));
}

TEST(Genotypes, SibsShareMoreAllelesIdenticalByDescentAtTheLocus)
{
    struct linkage_case {
        std::vector<const char*> args;
        double delta;
    };
    const linkage_case cases[] = {
        {{"--pedigree", "sibship"}, 0.0},
        {{"--pedigree", "sibship", "--locus", "10", "--delta", "1.5"}, 1.5},
        {{"--pedigree", "grandparents", "--locus", "10", "--delta", "1.5"}, 1.5},
        {{"--pedigree", "grandparents", "--locus", "10", "--delta", "-1"}, -1.0},
    };
    const sim::sibship pair = sim::enumerate_sibship(2);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.args[1]) + " " + std::to_string(c.delta));
        auto args = c.args;
        for (const char* a : {"--length", "20", "--markers", "2", "--seed", "21"})
            args.push_back(a);
        simulation s(args);
        const std::vector<double> expected = sim::tilted_probs(pair, sim::model::exponential, c.delta, 1.0);
        std::vector<double> seen(3);
        std::vector<linkage::label_pair> labels;
        const int kindreds = 20000;
        for (long i = 0; i < kindreds; ++i) {
            const sim::kindred_pedigree& kp = s.kindred(i);
            linkage::founder_labels(kp.meioses, kp.family, kp.inheritance.at(10), labels);
            const auto& x = labels[labels.size() - 2];
            const auto& y = labels.back();
            ++seen[(x[0] == y[0]) + (x[1] == y[1])];
        }
        for (std::size_t k = 0; k < 3; ++k)
            EXPECT_NEAR(seen[k] / kindreds, expected[k], allowance(expected[k], kindreds)) << "sharing " << k;
    }
}

}  // namespace
