// Brute force for loci of several markers: every full inheritance vector
// (two bits per non-founder, no trimming, no symmetry), every assignment of
// haplotypes to founder genes, and the vectors at all loci jointly.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "cluster.h"
#include "ibd.h"

namespace cluster_oracle {

// Markers that share one inheritance vector, with the haplotypes their
// founder genes carry. A marker alone is a locus whose haplotypes are its alleles.
struct locus_model {
    double cm = 0.0;
    std::vector<int> markers;
    std::vector<std::vector<std::uint16_t>> haps;
    std::vector<double> freq;
};

inline locus_model alone(const linkage::study& s, int m)
{
    locus_model l{s.markers[m].cm, {m}, {}, {}};
    for (std::size_t a = 0; a < s.markers[m].freq.size(); ++a) {
        l.haps.push_back({static_cast<std::uint16_t>(a + 1)});
        l.freq.push_back(s.markers[m].freq[a]);
    }
    return l;
}

inline locus_model of_cluster(const linkage::study& s, const linkage::cluster& c)
{
    locus_model l;
    for (int m : c.markers)
        l.cm += s.markers[m].cm / static_cast<double>(c.size());
    l.markers = c.markers;
    for (std::size_t h = 0; h < c.count(); ++h) {
        l.haps.emplace_back(c.haplotype(h), c.haplotype(h) + c.size());
        l.freq.push_back(c.freq[h]);
    }
    return l;
}

struct pedigree {
    int bits = 0;
    int founders = 0;
    std::vector<int> nonfounders;                          // persons, file order: bits 2j (paternal), 2j + 1
    std::vector<std::vector<std::pair<int, int>>> labels;  // per full vector, per person

    explicit pedigree(const linkage::family& f)
    {
        std::vector<int> founder_of(f.persons.size(), -1);
        for (std::size_t i = 0; i < f.persons.size(); ++i) {
            if (f.persons[i].father >= 0)
                nonfounders.push_back(static_cast<int>(i));
            else
                founder_of[i] = founders++;
        }
        bits = 2 * static_cast<int>(nonfounders.size());
        const std::vector<int> order = linkage::parents_first(f, "");
        for (std::uint32_t v = 0; v < (1u << bits); ++v) {
            std::vector<std::pair<int, int>> lab(f.persons.size());
            for (int i : order) {
                const linkage::person& p = f.persons[i];
                if (p.father < 0) {
                    lab[i] = {2 * founder_of[i], 2 * founder_of[i] + 1};
                    continue;
                }
                const int j =
                    static_cast<int>(std::find(nonfounders.begin(), nonfounders.end(), i) - nonfounders.begin());
                const auto& fa = lab[p.father];
                const auto& mo = lab[p.mother];
                lab[i] = {(v >> (2 * j) & 1) ? fa.second : fa.first, (v >> (2 * j + 1) & 1) ? mo.second : mo.first};
            }
            labels.push_back(lab);
        }
    }

    // The full vector a kindred's vector stands for: meioses fixed by the
    // founder symmetry, and those of persons the kindred leaves out, take 0.
    std::uint32_t full_vector(const linkage::kindred& k, std::uint32_t v) const
    {
        std::uint32_t out = 0;
        for (const linkage::kindred::member& m : k.members) {
            if (m.father < 0)
                continue;
            const int j =
                static_cast<int>(std::find(nonfounders.begin(), nonfounders.end(), m.person) - nonfounders.begin());
            if (m.pat_bit >= 0 && (v >> m.pat_bit & 1))
                out |= 1u << (2 * j);
            if (m.mat_bit >= 0 && (v >> m.mat_bit & 1))
                out |= 1u << (2 * j + 1);
        }
        return out;
    }

    // P(every genotype at the locus | full vector v): the sum over the
    // haplotypes of all founder genes of the product of their frequencies,
    // over the assignments under which every typed person's two genes show
    // its genotypes. Labels are taken in turn; a branch stops as soon as a
    // person whose genes are all assigned disagrees (its terms are all 0),
    // and a gene skips haplotypes its carriers cannot show.
    double likelihood(const linkage::family& f, const locus_model& l, std::uint32_t v) const
    {
        const auto& lab = labels[v];
        const int L = 2 * founders;
        std::vector<int> typed;
        for (std::size_t i = 0; i < f.persons.size(); ++i)
            for (int m : l.markers)
                if (!f.at(m, i).missing()) {
                    typed.push_back(static_cast<int>(i));
                    break;
                }
        // Persons checked once their later label is assigned.
        std::vector<std::vector<int>> check(L);
        for (int i : typed)
            check[std::max(lab[i].first, lab[i].second)].push_back(i);
        // A gene can only carry haplotypes with one of each allele its
        // carriers show: the others' terms are 0.
        auto fits = [&](int i, std::size_t h) {
            for (std::size_t j = 0; j < l.markers.size(); ++j) {
                const linkage::genotype g = f.at(l.markers[j], i);
                if (!g.missing() && l.haps[h][j] != g.a && l.haps[h][j] != g.b)
                    return false;
            }
            return true;
        };
        std::vector<std::vector<char>> allowed(L, std::vector<char>(l.haps.size(), 1));
        for (int i : typed)
            for (std::size_t h = 0; h < l.haps.size(); ++h)
                if (!fits(i, h))
                    allowed[lab[i].first][h] = allowed[lab[i].second][h] = 0;
        std::vector<int> hap(L, -1);
        auto shows = [&](int i) {
            const auto& x = l.haps[hap[lab[i].first]];
            const auto& y = l.haps[hap[lab[i].second]];
            for (std::size_t j = 0; j < l.markers.size(); ++j) {
                const linkage::genotype g = f.at(l.markers[j], i);
                if (!g.missing() && !((x[j] == g.a && y[j] == g.b) || (x[j] == g.b && y[j] == g.a)))
                    return false;
            }
            return true;
        };
        auto sum = [&](auto& self, int label) -> double {
            if (label == L)
                return 1.0;
            double total = 0.0;
            for (std::size_t h = 0; h < l.haps.size(); ++h) {
                if (!allowed[label][h])
                    continue;
                hap[label] = static_cast<int>(h);
                if (std::all_of(check[label].begin(), check[label].end(), shows))
                    total += l.freq[h] * self(self, label + 1);
            }
            return total;
        };
        return sum(sum, 0);
    }

    // Posterior of every full vector at each locus (in map order): the sum
    // over all paths of vectors through the loci, Haldane's fraction per
    // meiosis between neighbours.
    std::vector<std::vector<double>> posterior(const linkage::family& f, const std::vector<locus_model>& loci) const
    {
        const std::size_t n = labels.size(), T = loci.size();
        std::vector<std::vector<double>> e(T, std::vector<double>(n)), post(T, std::vector<double>(n, 0.0));
        for (std::size_t t = 0; t < T; ++t)
            for (std::uint32_t v = 0; v < n; ++v)
                e[t][v] = likelihood(f, loci[t], v);
        std::vector<std::uint32_t> path(T);
        auto walk = [&](auto& self, std::size_t t, double w) -> void {
            if (t == T) {
                for (std::size_t u = 0; u < T; ++u)
                    post[u][path[u]] += w;
                return;
            }
            const double theta = t ? linkage::haldane(loci[t].cm - loci[t - 1].cm) : 0.0;
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

}  // namespace cluster_oracle
