#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <map>
#include <random>
#include <set>

#include "brell.h"
#include "ibd.h"
#include "ibd_detail.h"

namespace {

using namespace linkage;

struct person_spec {
    int father, mother;  // indices in the table, -1 for founders
    bool affected;
    bool typed;  // genotyped, some markers missing at random
};

study make_study(const std::vector<person_spec>& ps, const std::vector<double>& cms,
                 const std::vector<int>& alleles)
{
    study s;
    family f;
    f.id = "F";
    for (std::size_t i = 0; i < ps.size(); ++i) {
        person p;
        p.id = std::to_string(i + 1);
        p.father = ps[i].father;
        p.mother = ps[i].mother;
        p.affection = ps[i].affected ? status::affected : status::unaffected;
        f.persons.push_back(p);
    }
    for (std::size_t m = 0; m < cms.size(); ++m) {
        marker mk;
        mk.name = "M" + std::to_string(m);
        mk.chrom = "1";
        mk.cm = cms[m];
        mk.map_line = static_cast<long>(m + 1);
        for (int a = 0; a < alleles[m]; ++a) {
            mk.alleles.push_back(std::to_string(a + 1));
            mk.freq.push_back(1.0 / alleles[m]);
        }
        s.markers.push_back(mk);
    }
    f.geno.assign(cms.size() * ps.size(), genotype{});
    s.families.push_back(f);
    return s;
}

// Random frequencies, genotypes dropped down the pedigree (so consistent),
// then some of them taken away.
void drop_genes(study& s, const std::vector<person_spec>& ps, std::uint64_t seed, double missing)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    family& f = s.families[0];
    std::vector<std::pair<bool, bool>> from(ps.size());
    for (std::size_t m = 0; m < s.markers.size(); ++m) {
        marker& mk = s.markers[m];
        double total = 0;
        for (double& q : mk.freq)
            total += q = 0.2 + u(rng);
        for (double& q : mk.freq)
            q /= total;
        auto draw = [&] {
            double x = u(rng);
            for (std::size_t a = 0; a + 1 < mk.freq.size(); ++a)
                if ((x -= mk.freq[a]) < 0)
                    return static_cast<std::uint16_t>(a + 1);
            return static_cast<std::uint16_t>(mk.freq.size());
        };
        std::vector<genotype> g(ps.size());
        // Markers at one position share their inheritance.
        const bool same = m > 0 && mk.cm - s.markers[m - 1].cm <= same_position_cm;
        for (std::size_t i = 0; i < ps.size(); ++i) {  // the tables list parents first
            if (ps[i].father < 0) {
                g[i] = {draw(), draw()};
            } else {
                const genotype& fa = g[ps[i].father];
                const genotype& mo = g[ps[i].mother];
                const bool pat = u(rng) < 0.5, mat = u(rng) < 0.5;
                if (!same)
                    from[i] = {pat, mat};
                g[i] = {from[i].first ? fa.a : fa.b, from[i].second ? mo.a : mo.b};
            }
            if (ps[i].typed && u(rng) >= missing)
                f.at(m, i) = g[i];
        }
    }
}

// Everything by enumeration on full vectors (two bits per non-founder, no
// trimming, no symmetry), all loci jointly, marker likelihoods by summing over
// the founders' alleles.
struct oracle {
    std::vector<std::vector<std::pair<int, int>>> labels;  // per vector, per person
    int bits = 0;

    explicit oracle(const family& f)
    {
        std::vector<int> nonfounders;
        for (std::size_t i = 0; i < f.persons.size(); ++i)
            if (f.persons[i].father >= 0)
                nonfounders.push_back(static_cast<int>(i));
        bits = 2 * static_cast<int>(nonfounders.size());
        for (std::uint32_t v = 0; v < (1u << bits); ++v) {
            std::vector<std::pair<int, int>> lab(f.persons.size());
            for (std::size_t i = 0, founder = 0; i < f.persons.size(); ++i) {
                const person& p = f.persons[i];
                if (p.father < 0) {
                    lab[i] = {int(2 * founder), int(2 * founder + 1)};
                    ++founder;
                    continue;
                }
                const int j = int(std::find(nonfounders.begin(), nonfounders.end(), int(i)) - nonfounders.begin());
                const auto& fa = lab[p.father];
                const auto& mo = lab[p.mother];
                lab[i] = {(v >> (2 * j) & 1) ? fa.second : fa.first, (v >> (2 * j + 1) & 1) ? mo.second : mo.first};
            }
            labels.push_back(lab);
        }
    }

    std::vector<double> likelihood(const family& f, const marker& mk, std::size_t m) const
    {
        std::vector<double> e;
        for (const auto& lab : labels) {
            std::map<int, int> allele;
            std::vector<std::size_t> typed;
            for (std::size_t i = 0; i < f.persons.size(); ++i)
                if (!f.at(m, i).missing())
                    typed.push_back(i);
            // Depth-first over the labels of typed persons.
            auto sum = [&](auto& self, std::size_t t, int side) -> double {
                if (t == typed.size())
                    return 1.0;
                const int l = side ? lab[typed[t]].second : lab[typed[t]].first;
                auto next = [&]() -> double {
                    if (side == 0)
                        return self(self, t, 1);
                    const genotype& g = f.at(m, typed[t]);
                    const int x = allele[lab[typed[t]].first], y = allele[lab[typed[t]].second];
                    if (!((x == g.a && y == g.b) || (x == g.b && y == g.a)))
                        return 0.0;
                    return self(self, t + 1, 0);
                };
                if (allele.count(l))
                    return next();
                double total = 0;
                for (int a = 1; a <= int(mk.freq.size()); ++a) {
                    allele[l] = a;
                    total += mk.freq[a - 1] * next();
                }
                allele.erase(l);
                return total;
            };
            e.push_back(sum(sum, 0, 0));
        }
        return e;
    }

    // 2^a S_all or S_pairs, as an integer.
    double score(const family& f, std::uint32_t v, score_kind kind) const
    {
        std::vector<std::pair<int, int>> aff;
        for (std::size_t i = 0; i < f.persons.size(); ++i)
            if (f.persons[i].affection == status::affected)
                aff.push_back(labels[v][i]);
        double total = 0;
        if (kind == score_kind::pairs) {
            for (std::size_t i = 0; i < aff.size(); ++i)
                for (std::size_t j = i + 1; j < aff.size(); ++j) {
                    std::multiset<int> x{aff[i].first, aff[i].second};
                    for (int l : {aff[j].first, aff[j].second})
                        if (auto it = x.find(l); it != x.end()) {
                            x.erase(it);
                            ++total;
                        }
                }
            return total;
        }
        for (std::uint32_t h = 0; h < (1u << aff.size()); ++h) {
            std::map<int, int> count;
            for (std::size_t i = 0; i < aff.size(); ++i)
                ++count[(h >> i & 1) ? aff[i].second : aff[i].first];
            double product = 1;
            for (auto [l, c] : count)
                for (int j = 2; j <= c; ++j)
                    product *= j;
            total += product;
        }
        return std::ldexp(total, -int(aff.size()));
    }

    // Posterior of every full vector at every position.
    std::vector<std::vector<double>> posterior(const study& s, const std::vector<position>& pos) const
    {
        const family& f = s.families[0];
        const std::size_t n = labels.size(), T = pos.size();
        std::vector<std::vector<double>> e(T), post(T, std::vector<double>(n, 0.0));
        for (std::size_t t = 0; t < T; ++t) {
            e[t].assign(n, 1.0);
            for (int m : pos[t].markers) {
                const std::vector<double> em = likelihood(f, s.markers[m], m);
                for (std::size_t v = 0; v < n; ++v)
                    e[t][v] *= em[v];
            }
        }
        std::vector<std::uint32_t> path(T);
        auto walk = [&](auto& self, std::size_t t, double w) -> void {
            if (t == T) {
                for (std::size_t u = 0; u < T; ++u)
                    post[u][path[u]] += w;
                return;
            }
            const double theta = t ? haldane(pos[t].cm - pos[t - 1].cm) : 0.0;
            for (std::uint32_t v = 0; v < n; ++v) {
                double x = w * e[t][v];
                if (t) {
                    const int flips = std::popcount(v ^ path[t - 1]);
                    x *= std::pow(theta, flips) * std::pow(1 - theta, bits - flips);
                }
                if (x == 0)
                    continue;
                path[t] = v;
                self(self, t + 1, x);
            }
        };
        walk(walk, 0, 1.0);
        for (auto& p : post) {
            double total = 0;
            for (double x : p)
                total += x;
            for (double& x : p)
                x /= total;
        }
        return post;
    }
};

struct pedigree_case {
    const char* name;
    std::vector<person_spec> persons;
    std::vector<double> cms;
    double step;  // full bits times loci stays within 24
    int bits;     // after trimming and the founder symmetry, before any couple's
};

const std::vector<pedigree_case> pedigrees = {
    {"affected sib pair, parents typed, three markers at one position",
     {{-1, -1, false, true}, {-1, -1, false, true}, {0, 1, true, true}, {0, 1, true, true}},
     {0.0, 7.0, 7.0, 7.0 + 5e-10, 20.0},
     5.0,
     2},
    {"affected sib pair, parents untyped",
     {{-1, -1, false, false}, {-1, -1, false, false}, {0, 1, true, true}, {0, 1, true, true}},
     {0.0, 12.0, 30.0},
     10.0,
     2},
    {"three affected sibs, parents typed",
     {{-1, -1, false, true}, {-1, -1, false, true}, {0, 1, true, true}, {0, 1, true, true}, {0, 1, true, true}},
     {0.0, 15.0, 22.5},
     12.0,
     4},
    {"half-sibs through the father",
     {{-1, -1, false, true},
      {-1, -1, false, false},
      {-1, -1, true, true},
      {0, 1, true, true},
      {0, 1, false, true},
      {0, 2, true, true},
      {0, 2, true, false}},
     {5.0, 25.0},
     12.5,
     5},
    {"grandparents, an uninformative uncle, an affected spouse",
     {{-1, -1, false, true},
      {-1, -1, false, false},
      {0, 1, true, true},
      {0, 1, false, false},
      {-1, -1, true, true},
      {2, 4, true, true},
      {2, 4, true, false}},
     {0.0, 18.0},
     9.0,
     3},
    {"children of first cousins",
     {{-1, -1, false, false},
      {-1, -1, false, false},
      {0, 1, false, false},
      {0, 1, false, false},
      {-1, -1, false, true},
      {-1, -1, false, true},
      {2, 4, false, false},
      {5, 3, false, false},
      {6, 7, true, true},
      {6, 7, true, true}},
     {0.0, 9.0},
     0.0,
     8},
};

TEST(Multipoint, AgreesWithEnumerationOfFullVectorsAtAllLociJointly)
{
    // Biallelic markers with everyone typed leave two options in components
    // of the founder-allele graph, which later genotypes tell apart (seed 7).
    const struct {
        std::vector<int> alleles;
        double missing;
        std::uint64_t seed;
    } data[] = {{{2, 4, 3}, 0.1, 6}, {{5, 2, 6}, 0.4, 2}, {{2, 2, 2}, 0.0, 7}};
    for (const pedigree_case& pc : pedigrees)
        for (const auto& d : data) {
            SCOPED_TRACE(std::string(pc.name) + ", seed " + std::to_string(d.seed));
            std::vector<int> alleles(pc.cms.size());
            for (std::size_t m = 0; m < alleles.size(); ++m)
                alleles[m] = d.alleles[m % d.alleles.size()];
            study s = make_study(pc.persons, pc.cms, alleles);
            drop_genes(s, pc.persons, d.seed, d.missing);
            const family& f = s.families[0];
            const chromosome c = chromosomes(s)[0];
            const std::vector<position> pos = positions(s, c, pc.step);
            ASSERT_EQ(pos.size() > pc.cms.size(), pc.step > 0);

            const oracle o(f);
            const auto post = o.posterior(s, pos);
            for (score_kind kind : {score_kind::pairs, score_kind::all}) {
                const kindred k = make_kindred(f, kind);
                const int couples = static_cast<int>(k.couples.size());
                EXPECT_EQ(k.bits + couples, pc.bits);
                EXPECT_EQ(measure(f).bits, k.bits);
                EXPECT_EQ(measure(f).couples, couples);
                EXPECT_EQ(measure(f).affected, k.affected);

                std::vector<double> score(o.labels.size());
                std::map<double, double> null;
                for (std::uint32_t v = 0; v < o.labels.size(); ++v)
                    null[score[v] = o.score(f, v, kind)] += 1.0 / double(o.labels.size());
                ASSERT_EQ(k.score.size(), null.size());
                std::size_t i = 0;
                for (auto [value, p] : null) {
                    EXPECT_EQ(k.score[i], value);
                    EXPECT_NEAR(k.nullprob[i], p, 1e-15);
                    ++i;
                }

                const ibd_result r = multipoint(k, f, s, c, pos);
                EXPECT_TRUE(r.inconsistent.empty());
                for (std::size_t p = 0; p < pos.size(); ++p) {
                    std::vector<double> want(k.score.size(), 0.0);
                    for (std::uint32_t v = 0; v < o.labels.size(); ++v)
                        want[std::lower_bound(k.score.begin(), k.score.end(), score[v]) - k.score.begin()] +=
                            post[p][v];
                    for (std::size_t j = 0; j < want.size(); ++j)
                        EXPECT_NEAR(r.probs[p * k.score.size() + j], want[j], 1e-12) << "position " << p;
                    // Over full vectors the founder phases and trimmed persons'
                    // meioses add a uniform bit each (a couple's is counted).
                    double full = 0;
                    for (double x : post[p])
                        full -= x > 0 ? x * std::log(x) : 0.0;
                    EXPECT_NEAR(r.entropy[p], full - (o.bits - pc.bits) * std::log(2.0), 1e-10);
                }
                // Recomputing forward vectors from checkpoints changes nothing.
                for (int segment : {1, 2}) {
                    const ibd_result q = multipoint(k, f, s, c, pos, {}, {.segment = segment});
                    EXPECT_EQ(q.probs, r.probs);
                    EXPECT_EQ(q.entropy, r.entropy);
                }
            }
        }
}

// A founder couple alike to the data saves a bit; the result is that of the
// unreduced vectors to rounding. Shapes where the couple's exchange
// exchanges bits (high and among the lowest three), flips meioses from
// several children, acts with another couple's, on inbred grandchildren;
// and couples that differ to the data, which must not be reduced.
TEST(Multipoint, CoupleBitsChangeNothingButTheBits)
{
    const person_spec U{-1, -1, false, false}, T{-1, -1, false, true};
    auto child = [](int father, int mother, bool affected) { return person_spec{father, mother, affected, true}; };
    const struct {
        const char* name;
        std::vector<person_spec> persons;
        int couples;
        bool same_founders = false;  // both typed alike at every marker
    } shapes[] = {
        {"one child with children", {U, U, child(0, 1, false), T, child(2, 3, true), child(2, 3, true)}, 1},
        {"three children, two with children",
         {U, U, child(0, 1, false), child(0, 1, true), child(0, 1, false), T, child(2, 5, true), child(2, 5, true),
          U, child(4, 8, true), child(4, 8, true)},
         1},
        {"two couples' children married",
         {U, U, U, U, child(0, 1, false), child(0, 1, true), child(2, 3, false), child(4, 6, true),
          child(4, 6, true)},
         2},
        {"the couple's children's children", {U, U, child(0, 1, false), child(0, 1, false), child(2, 3, true),
                                               child(3, 2, true)}, 1},
        {"exchanged bits the lowest", {U, U, child(0, 1, true), child(0, 1, true), child(0, 1, false), T,
                                       child(4, 5, true)}, 1},
        {"founders typed alike", {T, T, child(0, 1, false), T, child(2, 3, true), child(2, 3, true)}, 1, true},
        {"one founder typed", {T, U, child(0, 1, false), T, child(2, 3, true), child(2, 3, true)}, 0},
        {"one founder affected", {{-1, -1, true, false}, U, child(0, 1, true), T, child(2, 3, true),
                                  child(2, 3, true)}, 0},
    };
    for (const auto& sh : shapes)
        for (std::uint64_t seed : {1, 2, 3}) {
            SCOPED_TRACE(std::string(sh.name) + ", seed " + std::to_string(seed));
            study s = make_study(sh.persons, {0.0, 8.0, 8.0, 21.0, 30.0}, {4, 3, 2, 5, 4});
            drop_genes(s, sh.persons, seed, 0.1);
            family& f = s.families[0];
            if (sh.same_founders)
                for (std::size_t m = 0; m < s.markers.size(); ++m)
                    f.at(m, 1) = f.at(m, 0);
            const chromosome c = chromosomes(s)[0];
            const std::vector<position> pos = positions(s, c, 4.0);
            for (score_kind kind : {score_kind::pairs, score_kind::all}) {
                const kindred k = make_kindred(f, kind), full = make_kindred(f, kind, false);
                ASSERT_EQ(static_cast<int>(k.couples.size()), sh.couples);
                EXPECT_EQ(k.bits + sh.couples, full.bits);
                EXPECT_EQ(k.score, full.score);
                EXPECT_EQ(k.nullprob, full.nullprob);
                const ibd_result r = multipoint(k, f, s, c, pos), want = multipoint(full, f, s, c, pos);
                EXPECT_EQ(r.inconsistent, want.inconsistent);
                ASSERT_EQ(r.probs.size(), want.probs.size());
                for (std::size_t i = 0; i < r.probs.size(); ++i)
                    EXPECT_NEAR(r.probs[i], want.probs[i], 1e-12) << i;
                for (std::size_t p = 0; p < pos.size(); ++p)
                    EXPECT_NEAR(r.entropy[p], want.entropy[p], 1e-12) << p;
                EXPECT_NEAR(r.null_entropy, want.null_entropy, 1e-12);
            }
        }
}

// Parents 1/2 and 3/4 make every sib's inheritance plain.
TEST(Multipoint, KnownAnswers)
{
    const std::vector<person_spec> asp = {
        {-1, -1, false, true}, {-1, -1, false, true}, {0, 1, true, true}, {0, 1, true, true}};
    struct {
        genotype sib1, sib2;
        double pairs;
    } cases[] = {{{1, 3}, {1, 3}, 2}, {{1, 3}, {3, 1}, 2}, {{1, 3}, {1, 4}, 1}, {{1, 3}, {2, 4}, 0}};
    for (auto cs : cases) {
        // Marker 1 fully informative; marker 2, far away, untyped.
        study s = make_study(asp, {0.0, 1000.0}, {4, 4});
        family& f = s.families[0];
        f.at(0, 0) = {1, 2};
        f.at(0, 1) = {3, 4};
        f.at(0, 2) = cs.sib1;
        f.at(0, 3) = cs.sib2;
        const chromosome c = chromosomes(s)[0];
        const std::vector<position> pos = {{0.0, {0}}, {500.0, {}}, {1000.0, {1}}};
        const kindred k = make_kindred(f, score_kind::pairs);
        const ibd_result r = multipoint(k, f, s, c, pos);
        for (std::size_t j = 0; j < 3; ++j) {
            EXPECT_EQ(r.probs[j], k.score[j] == cs.pairs ? 1.0 : 0.0);
            EXPECT_NEAR(r.probs[3 + j], k.nullprob[j], 1e-3);  // 500 cM away
        }
        EXPECT_EQ(r.entropy[0], 0.0);  // information 1
        EXPECT_EQ(r.null_entropy, 2 * std::log(2.0));
        EXPECT_NEAR(r.entropy[1], r.null_entropy, 1e-3);

        // No genotypes: the null at every position, information 0.
        std::fill(f.geno.begin(), f.geno.end(), genotype{});
        const ibd_result none = multipoint(k, f, s, c, pos);
        for (std::size_t p = 0; p < 3; ++p) {
            for (std::size_t j = 0; j < 3; ++j)
                EXPECT_NEAR(none.probs[p * 3 + j], k.nullprob[j], 1e-15);
            EXPECT_EQ(none.entropy[p], none.null_entropy);  // information 0, exactly
        }
    }
}

TEST(Kindred, NullDistributionsCountedByHand)
{
    const person_spec F{-1, -1, false, false}, M{-1, -1, false, false}, S{0, 1, true, false};
    struct {
        std::vector<person_spec> persons;
        score_kind kind;
        std::vector<double> score, nullprob;
    } cases[] = {
        {{F, M, S, S}, score_kind::pairs, {0, 1, 2}, {0.25, 0.5, 0.25}},
        {{F, M, S, S}, score_kind::all, {1, 1.25, 1.5}, {0.25, 0.5, 0.25}},
        {{F, M, S, S, S}, score_kind::pairs, {2, 4, 6}, {9 / 16.0, 6 / 16.0, 1 / 16.0}},
        {{F, M, S, S, S}, score_kind::all, {1.5, 2.25, 3}, {9 / 16.0, 6 / 16.0, 1 / 16.0}},
        // An unaffected sib with no genotypes carries nothing.
        {{F, M, S, S, {0, 1, false, false}}, score_kind::pairs, {0, 1, 2}, {0.25, 0.5, 0.25}},
    };
    for (const auto& cs : cases) {
        const study s = make_study(cs.persons, {0.0}, {2});
        const kindred k = make_kindred(s.families[0], cs.kind);
        EXPECT_EQ(k.bits, 2 * int(std::count_if(cs.persons.begin(), cs.persons.end(), [](auto p) {
                                  return p.affected;
                              })) - 2);
        EXPECT_EQ(k.score, cs.score);
        EXPECT_EQ(k.nullprob, cs.nullprob);
    }
}

// S_all beyond 28 affected members, where 2^a S_all outgrows 128 bits.
// Affected founders without children each multiply S_all by exactly 1,
// so a sibship scores the same with them as without; an affected trio of
// founders and their first child multiplies it by 3/2.
TEST(Kindred, AllScoreOfManyAffected)
{
    auto family_of = [](int sibs, int loners, int trios) {
        std::vector<person_spec> ps = {{-1, -1, false, false}, {-1, -1, false, false}};
        for (int i = 0; i < sibs; ++i)
            ps.push_back({0, 1, true, false});
        for (int i = 0; i < loners; ++i)
            ps.push_back({-1, -1, true, false});
        for (int i = 0; i < trios; ++i) {
            const int f = static_cast<int>(ps.size());
            ps.push_back({-1, -1, true, false});
            ps.push_back({-1, -1, true, false});
            ps.push_back({f, f + 1, true, false});
        }
        return make_study(ps, {0.0}, {2});
    };
    for (int sibs : {2, 5}) {
        const kindred alone = make_kindred(family_of(sibs, 0, 0).families[0], score_kind::all);
        for (int loners : {26, 28, 40}) {
            SCOPED_TRACE(std::to_string(sibs) + " sibs, " + std::to_string(loners) + " more");
            const kindred k = make_kindred(family_of(sibs, loners, 0).families[0], score_kind::all);
            EXPECT_EQ(k.affected, sibs + loners);
            EXPECT_EQ(k.score, alone.score);
            EXPECT_EQ(k.nullprob, alone.nullprob);
        }
    }
    const kindred ten = make_kindred(family_of(0, 0, 10).families[0], score_kind::all);
    EXPECT_EQ(ten.affected, 30);
    EXPECT_EQ(ten.score, std::vector<double>{59049.0 / 1024});  // 1.5^10, exact
    const kindred many = make_kindred(family_of(0, 0, 200).families[0], score_kind::all);
    ASSERT_EQ(many.score.size(), 1u);
    EXPECT_NEAR(many.score[0] / std::pow(1.5, 200), 1.0, 1e-13);
    // 1.5^2000 is beyond the doubles: the driver leaves such a family out.
    EXPECT_TRUE(std::isinf(make_kindred(family_of(0, 0, 2000).families[0], score_kind::all).score[0]));
}

// More founders than 16-bit labels can number (the state of the marker
// likelihood once took memory quadratic in the family's size): 8,200
// couples each with a child typed at an uninformative marker, and one
// couple with an affected sib pair typed at an informative one, whose
// posterior is that of the nuclear family alone.
TEST(Multipoint, FamilyBeyondSixteenBitLabels)
{
    const std::vector<person_spec> nuclear = {
        {-1, -1, false, true}, {-1, -1, false, true}, {0, 1, true, true}, {0, 1, true, true}};
    std::vector<person_spec> large = nuclear;
    for (int i = 0; i < 8200; ++i) {
        const int f = static_cast<int>(large.size());
        large.push_back({-1, -1, false, false});
        large.push_back({-1, -1, false, false});
        large.push_back({f, f + 1, false, true});
    }
    study small_s = make_study(nuclear, {0.0, 10.0}, {1, 4});
    study large_s = make_study(large, {0.0, 10.0}, {1, 4});
    const genotype sibs[4] = {{1, 2}, {3, 4}, {1, 3}, {2, 4}};
    for (study* st : {&small_s, &large_s}) {
        family& f = st->families[0];
        for (std::size_t i = 0; i < f.persons.size(); ++i)
            f.at(0, i) = {1, 1};
        for (int i = 0; i < 4; ++i)
            f.at(1, i) = sibs[i];
    }
    const kindred ks = make_kindred(small_s.families[0], score_kind::all);
    const kindred kl = make_kindred(large_s.families[0], score_kind::all);
    EXPECT_EQ(kl.labels, 2 * (2 + 2 * 8200));
    EXPECT_EQ(kl.bits, ks.bits);
    const chromosome cs = chromosomes(small_s)[0], cl = chromosomes(large_s)[0];
    const ibd_result rs = multipoint(ks, small_s.families[0], small_s, cs, positions(small_s, cs, 5.0));
    const ibd_result rl = multipoint(kl, large_s.families[0], large_s, cl, positions(large_s, cl, 5.0));
    ASSERT_EQ(rl.probs.size(), rs.probs.size());
    for (std::size_t i = 0; i < rs.probs.size(); ++i)
        EXPECT_NEAR(rl.probs[i], rs.probs[i], 1e-15) << i;
    EXPECT_EQ(rs.probs[6], 1.0);  // at 10 cM the sibs share nothing for sure
}

TEST(Multipoint, InconsistentMarkersAreReportedAndLeftOut)
{
    const std::vector<person_spec> trio = {
        {-1, -1, false, true}, {-1, -1, false, true}, {0, 1, true, true}, {0, 1, true, true}};
    study s = make_study(trio, {0.0, 5.0, 10.0}, {3, 3, 3});
    drop_genes(s, trio, 3, 0.0);
    family& f = s.families[0];
    f.at(1, 0) = {1, 1};
    f.at(1, 1) = {1, 1};
    f.at(1, 2) = {2, 2};  // neither parent has a 2
    const chromosome c = chromosomes(s)[0];
    const std::vector<position> pos = positions(s, c, 2.0);
    const kindred k = make_kindred(f, score_kind::all);
    const ibd_result r = multipoint(k, f, s, c, pos);
    EXPECT_EQ(r.inconsistent, std::vector<int>{1});
    const ibd_result ignored = multipoint(k, f, s, c, pos, {1});
    EXPECT_TRUE(ignored.inconsistent.empty());
    EXPECT_EQ(r.probs, ignored.probs);
}

// An inconsistency is blamed on the first person, in file order, whose
// genotype with those before leaves no inheritance vector (with the markers
// before at the same position): checked by enumeration after one genotype
// of a consistent family is made up.
TEST(Multipoint, InconsistencyBlamesTheFirstPersonWhoseGenotypeLeavesNoVector)
{
    int blamed = 0, joint = 0;
    for (std::size_t c = 0; c < 4; ++c)
        for (std::uint64_t seed = 1; seed <= 30; ++seed) {
            const pedigree_case& pc = pedigrees[c];
            SCOPED_TRACE(std::string(pc.name) + ", seed " + std::to_string(seed));
            study s = make_study(pc.persons, pc.cms, std::vector<int>(pc.cms.size(), 3));
            drop_genes(s, pc.persons, seed, 0.1);
            family& f = s.families[0];
            std::mt19937_64 rng(seed);
            const std::size_t m = rng() % s.markers.size(), i = rng() % f.persons.size();
            f.at(m, i) = {static_cast<std::uint16_t>(1 + rng() % 3), 3};
            const chromosome ch = chromosomes(s)[0];
            const kindred k = make_kindred(f, score_kind::all);
            const ibd_result r = multipoint(k, f, s, ch, positions(s, ch, 0));
            ASSERT_EQ(r.blamed.size(), r.inconsistent.size());
            const oracle o(f);
            // Sum over vectors of the kept markers before at the position
            // times this marker's likelihood from the first `count` persons.
            auto possible = [&](int marker, std::size_t count) {
                std::vector<double> e(o.labels.size(), 1.0);
                for (int before : ch.markers) {
                    if (before == marker)
                        break;
                    const bool left_out =
                        std::find(r.inconsistent.begin(), r.inconsistent.end(), before) != r.inconsistent.end();
                    if (left_out || s.markers[before].cm - s.markers[marker].cm < -same_position_cm)
                        continue;
                    const std::vector<double> eb = o.likelihood(f, s.markers[before], before);
                    for (std::size_t v = 0; v < e.size(); ++v)
                        e[v] *= eb[v];
                }
                family first = f;
                for (std::size_t p = count; p < f.persons.size(); ++p)
                    first.at(marker, p) = {};
                const std::vector<double> em = o.likelihood(first, s.markers[marker], marker);
                double sum = 0;
                for (std::size_t v = 0; v < e.size(); ++v)
                    sum += e[v] * em[v];
                return sum > 0;
            };
            for (std::size_t q = 0; q < r.inconsistent.size(); ++q) {
                const int mk = r.inconsistent[q], who = r.blamed[q];
                EXPECT_TRUE(possible(mk, who)) << "marker " << mk << " person " << who;
                EXPECT_FALSE(possible(mk, who + 1)) << "marker " << mk << " person " << who;
                ++blamed;
                const std::vector<double> alone = o.likelihood(f, s.markers[mk], mk);
                joint += std::any_of(alone.begin(), alone.end(), [](double x) { return x > 0; });
            }
        }
    // The made-up genotypes often are impossible, a few only jointly with
    // the others at their position.
    EXPECT_GE(blamed, 30);
    EXPECT_GE(joint, 3);
}

// Large enough for the cache blocks and the two-meiosis passes; masks as the
// founder symmetry makes them, some sharing their top bit, some with bit 0.
TEST(Transition, AgreesWithOneMeiosisAtATime)
{
    const int bits = 16;
    const std::vector<std::uint32_t> masks = {1,      2,       4,      8,      16,     32,     64,     128,
                                              256,    512,     1024,   2048,   4096,   8192,   1 << 14, 1 << 15,
                                              0x8003, 0x4100,  0x0005, 0x2041, 0x8000 | 0x1000 | 1};
    std::mt19937_64 rng(5);
    std::vector<double> x(1u << bits);
    for (double& v : x)
        v = std::ldexp(double(rng() % 1000 + 1), -int(rng() % 60));
    std::vector<double> want = x;
    const double theta = 0.13;
    for (std::uint32_t m : masks)
        for (std::uint32_t i = 0; i < want.size(); ++i)
            if (i < (i ^ m)) {
                const double a = want[i], b = want[i ^ m];
                want[i] = (1 - theta) * a + theta * b;
                want[i ^ m] = theta * a + (1 - theta) * b;
            }
    detail::transition(x.data(), x.size(), masks, theta);
    for (std::size_t i = 0; i < x.size(); ++i)
        ASSERT_NEAR(x[i], want[i], 1e-14 * want[i]) << i;
}

// The blocked, threaded transition against one scalar step at a time in the
// order the passes take the masks (two at a time where their top bits differ,
// the higher first), bit for bit, with two doubles to a register and with
// four: 20 bits so that the later stages gather blocks, masks with bits 0 and
// 1 and several bits as the founder symmetry makes them, and a couple's.
TEST(Transition, BlocksAndThreadsGiveTheBitsOfOneStepAtATime)
{
    const int bits = 20;
    const std::uint64_t n = std::uint64_t{1} << bits;
    const std::vector<std::uint32_t> masks = {1,       6,       1u << 19, 1u << 5, 0x90001, 1u << 14, 1u << 17,
                                              1u << 16, 0x4100, 8,        1u << 12, 0xc2000, 1u << 15, 1u << 18,
                                              3,       1u << 13, 0x30,    1u << 11, 1,        5};
    std::mt19937_64 rng(11);
    std::vector<double> x(n);
    for (double& v : x)
        v = std::ldexp(double(rng() % 1000 + 1), -int(rng() % 60));
    const double t = 0.137;
    auto top = [](std::uint32_t m) { return std::uint32_t{1} << (31 - std::countl_zero(m)); };
    std::vector<std::uint32_t> low, high;
    for (std::uint32_t m : masks)
        (m < 8192 ? low : high).push_back(m);
    // A couple's recombination first: pairs {v, pi(v)}, pi exchanging bit
    // pairs and flipping bits (a high bit, or only bits within a line of 8);
    // the last two's pairs are whole blocks, or within one.
    const kindred::couple couples[] = {
        {{{3, 16}, {4, 9}}, 0x80005}, {{{5, 12}}, 0x3}, {{{14, 16}, {18, 15}}, 0x82405}, {{{13, 16}}, 0x405}};
    brell::worker_pool pool(3);
    for (const kindred::couple& couple : couples) {
        std::vector<double> want = x;
        for (std::uint64_t v = 0; v < n; ++v) {
            std::uint64_t w = v;
            for (auto [a, b] : couple.swap)
                w = (w & ~(std::uint64_t{1} << a | std::uint64_t{1} << b)) | (v >> a & 1) << b | (v >> b & 1) << a;
            w ^= couple.flip;
            if (v < w) {
                const double p = want[v], q = want[w], d = t * (q - p);
                want[v] = p + d;
                want[w] = q - d;
            }
        }
        for (const auto* list : {&low, &high})
            for (std::size_t i = 0; i < list->size();) {
                const std::uint32_t a = (*list)[i], b = i + 1 < list->size() ? (*list)[i + 1] : 0;
                if (b > 1 && a > 1 && top(a) != top(b)) {
                    const std::uint32_t m1 = top(a) > top(b) ? a : b, m2 = top(a) > top(b) ? b : a;
                    for (std::uint64_t v = 0; v < n; ++v) {
                        if (v & (top(m1) | top(m2)))
                            continue;
                        double& v0 = want[v];
                        double& v1 = want[v ^ m1];
                        double& v2 = want[v ^ m2];
                        double& v3 = want[v ^ m1 ^ m2];
                        const double d01 = t * (v1 - v0), d23 = t * (v3 - v2);
                        const double w0 = v0 + d01, w1 = v1 - d01, w2 = v2 + d23, w3 = v3 - d23;
                        const double d02 = t * (w2 - w0), d13 = t * (w3 - w1);
                        v0 = w0 + d02, v2 = w2 - d02, v1 = w1 + d13, v3 = w3 - d13;
                    }
                    i += 2;
                } else {
                    for (std::uint64_t v = 0; v < n; ++v)
                        if (!(v & top(a))) {
                            const double p = want[v], q = want[v ^ a], d = t * (q - p);
                            want[v] = p + d;
                            want[v ^ a] = q - d;
                        }
                    i += 1;
                }
            }
        for (bool wide : {false, detail::wide_kernels()}) {
            const detail::transition_plan plan(n, masks, {couple}, wide);
            for (brell::worker_pool* p : {static_cast<brell::worker_pool*>(nullptr), &pool}) {
                SCOPED_TRACE(std::string(wide ? "AVX2" : "SSE2") + (p ? ", threads" : ", one thread") + ", flips " +
                             std::to_string(couple.flip));
                std::vector<double> out(n), in = x;
                plan.apply(x.data(), out.data(), t, p);
                plan.apply(in.data(), in.data(), t, p);
                ASSERT_TRUE(std::equal(out.begin(), out.end(), want.begin()));
                ASSERT_TRUE(std::equal(in.begin(), in.end(), want.begin())) << "in place";
            }
        }
    }
}

// However the work is cut up the bits do not change: checkpoints replayed
// one, two or more levels deep (memory for two forward vectors and no coded
// likelihood), a fixed segment, both threads of a pool, the sparse path on
// and off. A three-generation family of 16 bits (17 less its untyped
// grandparents' couple bit) at 30 markers, once with markers of 8 alleles
// and once of fully informative ones (every vector the data rule out is
// exactly 0 after a marker: the sparse path's case).
TEST(Multipoint, HowTheWorkIsCutUpNeverChangesTheBits)
{
    std::vector<person_spec> ps = {{-1, -1, false, false}, {-1, -1, false, false}};
    for (int c = 0; c < 2; ++c) {
        const int child = static_cast<int>(ps.size());
        ps.push_back({0, 1, false, true});
        ps.push_back({-1, -1, false, true});
        for (int g = 0; g < 4; ++g)
            ps.push_back({child, child + 1, true, true});
        if (c == 0) {  // and a half-sib
            ps.push_back({-1, -1, false, true});
            ps.push_back({child, child + 6, true, true});
        }
    }
    std::vector<double> cms;
    for (int m = 0; m < 30; ++m)
        cms.push_back(m * 3.0);
    brell::worker_pool pool(2);
    for (int alleles : {8, 0}) {
        SCOPED_TRACE(alleles ? "8 alleles" : "fully informative");
        study s = make_study(ps, cms, std::vector<int>(cms.size(), alleles ? alleles : 2 * int(ps.size())));
        drop_genes(s, ps, 21, 0.05);
        if (!alleles)  // founders carry distinct alleles: every meiosis seen
            for (std::size_t m = 0; m < cms.size(); ++m) {
                family& f = s.families[0];
                std::vector<genotype> g(ps.size());
                std::mt19937_64 rng(m);
                for (std::size_t i = 0; i < ps.size(); ++i) {
                    g[i] = ps[i].father < 0 ? genotype{std::uint16_t(2 * i + 1), std::uint16_t(2 * i + 2)}
                                            : genotype{rng() % 2 ? g[ps[i].father].a : g[ps[i].father].b,
                                                       rng() % 2 ? g[ps[i].mother].a : g[ps[i].mother].b};
                    f.at(m, i) = ps[i].typed ? g[i] : genotype{};
                }
            }
        const family& f = s.families[0];
        const chromosome c = chromosomes(s)[0];
        const std::vector<position> pos = positions(s, c, 1.25);
        const kindred k = make_kindred(f, score_kind::all);
        ASSERT_EQ(k.bits, 16);
        kindred shared = kindred_layout(f);  // scored by both threads
        score_kindred(shared, score_kind::all, &pool);
        EXPECT_EQ(shared.score, k.score);
        EXPECT_EQ(shared.nullprob, k.nullprob);
        EXPECT_TRUE(*shared.outcome == *k.outcome);
        const ibd_result want = multipoint(k, f, s, c, pos, {}, {.sparse = false});
        const std::uint64_t least = least_memory(k.bits);
        const multipoint_options cuts[] = {
            {},
            {.memory = least},
            {.memory = least + (std::uint64_t{5} << k.bits)},
            {.memory = least + (std::uint64_t{8} << (k.bits + 2))},
            {.segment = 1},
            {.segment = 7},
            {.pool = &pool},
            {.memory = least, .pool = &pool},
        };
        for (const multipoint_options& o : cuts) {
            SCOPED_TRACE("memory " + std::to_string(o.memory) + ", segment " + std::to_string(o.segment) +
                         (o.pool ? ", threads" : ""));
            const ibd_result r = multipoint(k, f, s, c, pos, {}, o);
            EXPECT_EQ(r.probs, want.probs);
            EXPECT_EQ(r.entropy, want.entropy);
        }
        EXPECT_THROW(multipoint(k, f, s, c, pos, {}, {.memory = least / 2}), std::length_error);
    }
}

TEST(Positions, MarkersInMapOrderAndStepsStrictlyBetween)
{
    using group = std::pair<double, std::vector<int>>;
    struct {
        std::vector<double> cms;
        double step;
        std::vector<group> want;
    } cases[] = {
        {{0, 2, 5, 5, 7.5}, 2.5, {{0, {0}}, {2, {1}}, {2.5, {}}, {5, {2, 3}}, {7.5, {4}}}},
        {{0, 2, 5}, 0, {{0, {0}}, {2, {1}}, {5, {2}}}},
        {{1.2, 3}, 1, {{1.2, {0}}, {2, {}}, {3, {1}}}},
        {{4}, 1, {{4, {0}}}},
        // 3 x 0.1 is not 0.3 in doubles; 0.1 + 0.2 is within the tolerance of it.
        {{0.3, 0.1 + 0.2, 0.6}, 0.1, {{0.3, {0, 1}}, {0.4, {}}, {0.5, {}}, {0.6, {2}}}},
        // A grid point within 1e-9 cM of a marker is the marker's position; a run
        // of markers each within it of the one before is one position.
        {{0, 1 + 5e-10, 2}, 0.5, {{0, {0}}, {0.5, {}}, {1 + 5e-10, {1}}, {1.5, {}}, {2, {2}}}},
        {{-1, 1, 1 + 8e-10, 1 + 16e-10, 1 + 1e-8}, 0.75,
         {{-1, {0}}, {-0.75, {}}, {0, {}}, {0.75, {}}, {1, {1, 2, 3}}, {1 + 1e-8, {4}}}},
    };
    for (const auto& cs : cases) {
        SCOPED_TRACE(cs.step);
        const study s = make_study({{-1, -1, true, false}}, cs.cms, std::vector<int>(cs.cms.size(), 2));
        std::vector<group> got;
        for (const position& p : positions(s, chromosomes(s)[0], cs.step))
            got.push_back({p.cm, p.markers});
        EXPECT_EQ(got, cs.want);
    }
}

// Grid points are the decimal multiples of the step: k * 0.1 in doubles
// prints as 0.7000000000000001 for k = 7.
TEST(Positions, GridPointsAreTheNearestDoublesOfDecimalMultiples)
{
    struct {
        std::int64_t digits;
        int decimals;
        double from, to;
    } cases[] = {{1, 1, -3, 100}, {5, 2, 0, 50}, {3, 1, 0.05, 1000}, {25, 4, 0, 2}, {7, 0, 0, 1e6}};
    for (const auto& cs : cases) {
        const double step = cs.digits / std::pow(10.0, cs.decimals);
        SCOPED_TRACE(step);
        const study s = make_study({{-1, -1, true, false}}, {cs.from, cs.to}, {2, 2});
        const std::vector<position> pos = positions(s, chromosomes(s)[0], step);
        std::int64_t k = static_cast<std::int64_t>(std::floor(cs.from / step)) + 1;
        ASSERT_GT(pos.size(), 2u);
        for (std::size_t p = 1; p + 1 < pos.size(); ++p, ++k) {
            // k x digits with the decimal point put in by hand.
            std::string text = std::to_string(std::abs(k * cs.digits));
            if (cs.decimals > 0) {
                text.insert(0, std::max<int>(0, cs.decimals + 1 - static_cast<int>(text.size())), '0');
                text.insert(text.size() - cs.decimals, ".");
                while (text.back() == '0')
                    text.pop_back();
                if (text.back() == '.')
                    text.pop_back();
            }
            if (k < 0)
                text.insert(0, "-");
            // The double nearest the decimal, which prints as the decimal.
            double want;
            std::from_chars(text.data(), text.data() + text.size(), want);
            ASSERT_EQ(pos[p].cm, want) << text;
            ASSERT_TRUE(pos[p].markers.empty()) << text;
        }
        EXPECT_GE(static_cast<double>(k) * step, cs.to - 1e-9);
    }
}

// A step that would make too many positions, or multiples of the step that
// doubles cannot tell apart (a base-pair position in the cM column), is
// refused at once instead of filling memory or looping for ever.
TEST(Positions, TooManyPositionsAreRefused)
{
    struct {
        std::vector<double> cms;
        double step;
    } cases[] = {{{0, 1e7}, 0.5}, {{0, 2.5e8}, 1}, {{0x1p54, 0x1p54 + 64}, 1}, {{1, 1e300}, 1e-300}};
    for (const auto& cs : cases) {
        const study s = make_study({{-1, -1, true, false}}, cs.cms, {2, 2});
        EXPECT_THROW(positions(s, chromosomes(s)[0], cs.step), std::length_error) << cs.cms[1];
    }
}

}  // namespace
