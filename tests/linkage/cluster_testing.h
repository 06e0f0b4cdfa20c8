// Studies made in memory for the cluster tests: a pedigree from a table,
// markers with named alleles, and genotypes dropped from known haplotypes.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "cluster.h"
#include "study.h"

namespace cluster_testing {

struct person_spec {
    int father, mother;  // rows of the table, parents first; -1 for founders
    bool affected;
    bool typed;
};

// Markers on chromosome 1 at the given positions, k alleles named "1".."k"
// with equal frequencies; one family "F" from the table, nothing typed.
inline linkage::study make_study(const std::vector<person_spec>& ps, const std::vector<double>& cms,
                                 const std::vector<int>& alleles)
{
    linkage::study s;
    s.pedigree_file = "test.ped";
    for (std::size_t m = 0; m < cms.size(); ++m) {
        linkage::marker mk;
        mk.name = "M" + std::to_string(m + 1);
        mk.chrom = "1";
        mk.cm = cms[m];
        mk.map_line = static_cast<long>(m + 1);
        for (int a = 0; a < alleles[m]; ++a) {
            mk.alleles.push_back(std::to_string(a + 1));
            mk.freq.push_back(1.0 / alleles[m]);
        }
        s.markers.push_back(mk);
    }
    linkage::family f;
    f.id = "F";
    for (std::size_t i = 0; i < ps.size(); ++i) {
        linkage::person p;
        p.id = std::to_string(i + 1);
        p.father = ps[i].father;
        p.mother = ps[i].mother;
        p.affection = ps[i].affected ? linkage::status::affected : linkage::status::unaffected;
        p.line = static_cast<long>(i + 1);
        f.persons.push_back(p);
    }
    f.geno.assign(cms.size() * ps.size(), linkage::genotype{});
    s.families.push_back(f);
    return s;
}

inline std::size_t draw(const std::vector<double>& freq, std::mt19937_64& rng)
{
    double x = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
    for (std::size_t h = 0; h + 1 < freq.size(); ++h)
        if ((x -= freq[h]) < 0)
            return h;
    return freq.size() - 1;
}

// Founder genes draw a haplotype of the cluster (a marker alone counts as a
// cluster of itself: pass one per locus), children take one gene of each
// parent at random, independently at each locus; typed persons keep each
// genotype with probability 1 - missing.
inline void drop(linkage::study& s, const std::vector<person_spec>& ps, const std::vector<linkage::cluster>& loci,
                 double missing, std::mt19937_64& rng)
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    linkage::family& f = s.families[0];
    for (const linkage::cluster& c : loci) {
        std::vector<std::size_t> pat(ps.size()), mat(ps.size());
        for (std::size_t i = 0; i < ps.size(); ++i) {
            if (ps[i].father < 0) {
                pat[i] = draw(c.freq, rng);
                mat[i] = draw(c.freq, rng);
            } else {
                pat[i] = u(rng) < 0.5 ? pat[ps[i].father] : mat[ps[i].father];
                mat[i] = u(rng) < 0.5 ? pat[ps[i].mother] : mat[ps[i].mother];
            }
            for (std::size_t j = 0; j < c.size(); ++j)
                if (ps[i].typed && u(rng) >= missing) {
                    const std::uint16_t a = c.haplotype(pat[i])[j], b = c.haplotype(mat[i])[j];
                    f.at(c.markers[j], i) = {std::min(a, b), std::max(a, b)};
                }
        }
    }
}

// A cluster of the given markers with the given haplotypes and frequencies.
inline linkage::cluster make_cluster(std::vector<int> markers, std::vector<std::vector<std::uint16_t>> haps,
                                     std::vector<double> freq)
{
    linkage::cluster c;
    c.markers = std::move(markers);
    for (const auto& h : haps)
        c.haplotypes.insert(c.haplotypes.end(), h.begin(), h.end());
    c.freq = std::move(freq);
    return c;
}

// Every haplotype over the markers' alleles, random frequencies.
inline linkage::cluster all_haplotypes(const linkage::study& s, std::vector<int> markers, std::mt19937_64& rng)
{
    std::vector<std::vector<std::uint16_t>> haps(1);
    for (int m : markers) {
        std::vector<std::vector<std::uint16_t>> next;
        for (const auto& h : haps)
            for (std::size_t a = 1; a <= s.markers[m].alleles.size(); ++a) {
                next.push_back(h);
                next.back().push_back(static_cast<std::uint16_t>(a));
            }
        haps = next;
    }
    std::vector<double> freq;
    double total = 0;
    for (std::size_t h = 0; h < haps.size(); ++h)
        total += freq.emplace_back(0.2 + std::uniform_real_distribution<double>(0.0, 1.0)(rng));
    for (double& x : freq)
        x /= total;
    return make_cluster(std::move(markers), haps, freq);
}

}  // namespace cluster_testing
