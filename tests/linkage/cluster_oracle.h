// Brute force for loci of several markers — every full inheritance vector
// (two bits per non-founder, no trimming, no symmetry), every haplotype of
// every founder gene, the vectors at all loci jointly — and the studies the
// cluster tests make in memory.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "cluster.h"
#include "ibd.h"

namespace cluster_oracle {

using namespace linkage;

struct person_spec {
    int father, mother;  // rows of the table, parents first; -1 for founders
    bool affected, typed;
};

// Markers on chromosome 1, alleles "1".."k" at equal frequencies; one
// family "F" from the table, nothing typed.
inline study make_study(const std::vector<person_spec>& ps, const std::vector<double>& cms,
                        const std::vector<int>& alleles)
{
    study s;
    s.markers.resize(cms.size());
    for (std::size_t m = 0; m < cms.size(); ++m) {
        marker& mk = s.markers[m];
        mk.name = "M" + std::to_string(m + 1);
        mk.chrom = "1";
        mk.cm = cms[m];
        mk.map_line = long(m + 1);
        for (int a = 1; a <= alleles[m]; ++a) {
            mk.alleles.push_back(std::to_string(a));
            mk.freq.push_back(1.0 / alleles[m]);
        }
    }
    family& f = s.families.emplace_back();
    f.id = "F";
    f.persons.resize(ps.size());
    for (std::size_t i = 0; i < ps.size(); ++i) {
        f.persons[i].id = std::to_string(i + 1);
        f.persons[i].father = ps[i].father;
        f.persons[i].mother = ps[i].mother;
        f.persons[i].affection = ps[i].affected ? status::affected : status::unaffected;
    }
    f.geno.resize(cms.size() * ps.size());
    return s;
}

// Haplotypes given, or (none given) every one over the markers' alleles;
// frequencies given, or random.
inline cluster make_cluster(const study& s, std::vector<int> markers, std::vector<std::vector<std::uint16_t>> haps,
                            std::vector<double> freq, std::mt19937_64& rng)
{
    if (haps.empty()) {
        haps.assign(1, {});
        for (int m : markers) {
            std::vector<std::vector<std::uint16_t>> next;
            for (const auto& h : haps)
                for (std::uint16_t a = 1; a <= s.markers[m].alleles.size(); ++a) {
                    next.push_back(h);
                    next.back().push_back(a);
                }
            haps = next;
        }
    }
    if (freq.empty()) {
        double total = 0;
        for (std::size_t h = 0; h < haps.size(); ++h)
            total += freq.emplace_back(0.2 + std::uniform_real_distribution<double>(0, 1)(rng));
        for (double& x : freq)
            x /= total;
    }
    cluster c{std::move(markers), {}, std::move(freq)};
    for (const auto& h : haps)
        c.haplotypes.insert(c.haplotypes.end(), h.begin(), h.end());
    return c;
}

// Founder genes draw haplotypes of each cluster in turn (a marker alone is a
// cluster of itself), children take a gene of each parent at random, anew at
// each cluster; typed persons keep each genotype with probability 1 - missing.
inline void drop(study& s, const std::vector<person_spec>& ps, const std::vector<cluster>& loci, double missing,
                 std::mt19937_64& rng)
{
    std::uniform_real_distribution<double> u(0, 1);
    for (const cluster& c : loci) {
        std::vector<std::size_t> gene(2 * ps.size());
        for (std::size_t i = 0; i < ps.size(); ++i)
            for (int side = 0; side < 2; ++side) {
                const int parent = side ? ps[i].mother : ps[i].father;
                std::size_t& g = gene[2 * i + side];
                if (parent >= 0) {
                    g = gene[2 * parent + (u(rng) < 0.5)];
                    continue;
                }
                double x = u(rng);
                for (g = 0; g + 1 < c.count() && (x -= c.freq[g]) >= 0;)
                    ++g;
            }
        for (std::size_t i = 0; i < ps.size(); ++i)
            for (std::size_t j = 0; j < c.size(); ++j)
                if (ps[i].typed && u(rng) >= missing) {
                    const std::uint16_t a = c.haplotype(gene[2 * i])[j], b = c.haplotype(gene[2 * i + 1])[j];
                    s.families[0].at(c.markers[j], i) = {std::min(a, b), std::max(a, b)};
                }
    }
}

// A marker alone is a cluster whose haplotypes are its alleles.
inline cluster alone(const study& s, int m)
{
    cluster c{{m}, {}, s.markers[m].freq};
    for (std::size_t a = 1; a <= c.freq.size(); ++a)
        c.haplotypes.push_back(static_cast<std::uint16_t>(a));
    return c;
}

struct pedigree {
    int bits = 0, labels = 0;
    std::vector<int> nonfounders;                          // file order: bits 2j (paternal), 2j + 1
    std::vector<std::vector<std::pair<int, int>>> genes;  // per full vector, per person

    explicit pedigree(const family& f)
    {
        std::vector<int> first(f.persons.size());
        for (std::size_t i = 0; i < f.persons.size(); ++i) {
            if (f.persons[i].father >= 0)
                nonfounders.push_back(static_cast<int>(i));
            else
                first[i] = (labels += 2) - 2;
        }
        bits = 2 * static_cast<int>(nonfounders.size());
        for (std::uint32_t v = 0; v < (1u << bits); ++v) {
            std::vector<std::pair<int, int>> lab(f.persons.size());
            for (int i : parents_first(f, "")) {
                const person& p = f.persons[i];
                const int j = int(std::find(nonfounders.begin(), nonfounders.end(), i) - nonfounders.begin());
                lab[i] = p.father < 0 ? std::pair{first[i], first[i] + 1}
                                      : std::pair{(v >> 2 * j & 1) ? lab[p.father].second : lab[p.father].first,
                                                  (v >> (2 * j + 1) & 1) ? lab[p.mother].second : lab[p.mother].first};
            }
            genes.push_back(lab);
        }
    }

    // The full vector a kindred's vector stands for: meioses fixed by the
    // founder symmetry, and those of persons the kindred leaves out, take 0.
    std::uint32_t full_vector(const kindred& k, std::uint32_t v) const
    {
        std::uint32_t out = 0;
        for (const kindred::member& m : k.members)
            for (int side = 0; m.father >= 0 && side < 2; ++side) {
                const int bit = side ? m.mat_bit : m.pat_bit;
                const auto j = std::find(nonfounders.begin(), nonfounders.end(), m.person) - nonfounders.begin();
                if (bit >= 0 && (v >> bit & 1))
                    out |= 1u << (2 * j + side);
            }
        return out;
    }

    // P(every genotype at the cluster's markers | full vector v): the sum over
    // the haplotypes of all founder genes, taken in turn, of the product of
    // their frequencies when every typed person's genes show its genotypes.
    // A branch stops once a person whose genes are assigned disagrees, and a
    // gene skips haplotypes without one of each allele of its carriers: their
    // terms are 0.
    double likelihood(const family& f, const cluster& c, std::uint32_t v) const
    {
        const auto& lab = genes[v];
        std::vector<std::vector<int>> check(labels);
        std::vector<std::vector<char>> allowed(labels, std::vector<char>(c.count(), 1));
        for (std::size_t i = 0; i < f.persons.size(); ++i)
            for (std::size_t j = 0; j < c.size(); ++j) {
                const genotype g = f.at(c.markers[j], i);
                if (g.missing())
                    continue;
                if (check[std::max(lab[i].first, lab[i].second)].empty() ||
                    check[std::max(lab[i].first, lab[i].second)].back() != int(i))
                    check[std::max(lab[i].first, lab[i].second)].push_back(int(i));
                for (std::size_t h = 0; h < c.count(); ++h)
                    if (c.haplotype(h)[j] != g.a && c.haplotype(h)[j] != g.b)
                        allowed[lab[i].first][h] = allowed[lab[i].second][h] = 0;
            }
        std::vector<std::size_t> hap(labels);
        auto shows = [&](int i) {
            for (std::size_t j = 0; j < c.size(); ++j) {
                const genotype g = f.at(c.markers[j], i);
                const std::uint16_t x = c.haplotype(hap[lab[i].first])[j], y = c.haplotype(hap[lab[i].second])[j];
                if (!g.missing() && !((x == g.a && y == g.b) || (x == g.b && y == g.a)))
                    return false;
            }
            return true;
        };
        auto sum = [&](auto& self, int l) -> double {
            if (l == labels)
                return 1.0;
            double total = 0.0;
            for (hap[l] = 0; hap[l] < c.count(); ++hap[l])
                if (allowed[l][hap[l]] && std::all_of(check[l].begin(), check[l].end(), shows))
                    total += c.freq[hap[l]] * self(self, l + 1);
            return total;
        };
        return sum(sum, 0);
    }

    // Posterior of every full vector at each locus (clusters in map order):
    // the sum over all paths of vectors through the loci, each meiosis
    // recombining with Haldane's fraction between neighbours.
    std::vector<std::vector<double>> posterior(const family& f, const std::vector<cluster>& loci,
                                               const std::vector<double>& cms) const
    {
        const std::size_t n = genes.size(), T = loci.size();
        std::vector<std::vector<double>> e(T, std::vector<double>(n)), post(T, std::vector<double>(n, 0.0));
        for (std::size_t t = 0; t < T; ++t)
            for (std::uint32_t v = 0; v < n; ++v)
                e[t][v] = likelihood(f, loci[t], v);
        std::vector<std::uint32_t> path(T);
        auto walk = [&](auto& self, std::size_t t, double w) -> void {
            for (std::uint32_t v = 0; t < T && v < n; ++v) {
                const int flips = t ? std::popcount(v ^ path[t - 1]) : 0;
                const double theta = t ? haldane(cms[t] - cms[t - 1]) : 0.0;
                const double x = w * e[t][v] * std::pow(theta, flips) * std::pow(1 - theta, t ? bits - flips : 0);
                path[t] = v;
                if (x != 0)
                    self(self, t + 1, x);
            }
            for (std::size_t u = 0; t == T && u < T; ++u)
                post[u][path[u]] += w;
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

// Each outcome's posterior from the full vectors': a kindred vector stands
// for a class of full vectors of equal posterior.
inline std::vector<double> outcome_posterior(const kindred& k, const pedigree& o, const std::vector<double>& full)
{
    std::vector<double> want(k.score.size(), 0.0);
    double named = 0;
    for (std::uint32_t v = 0; v < k.vectors(); ++v) {
        want[(*k.outcome)[v]] += full[o.full_vector(k, v)];
        named += full[o.full_vector(k, v)];
    }
    for (double& x : want)
        x /= named;
    return want;
}

}  // namespace cluster_oracle
