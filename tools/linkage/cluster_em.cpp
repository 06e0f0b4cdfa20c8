// Haplotype frequencies by EM over unphased genotypes, linkage disequilibrium
// between markers, and clusters found from it.
#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "cluster.h"

namespace linkage {

std::vector<sampled> ld_sample(const study& s)
{
    std::vector<sampled> out;
    const std::size_t M = s.markers.size();
    std::vector<std::size_t> typed;
    for (std::size_t fi = 0; fi < s.families.size(); ++fi) {
        const family& f = s.families[fi];
        const std::size_t n = f.persons.size();
        typed.assign(n, 0);
        for (std::size_t m = 0; m < M; ++m)
            for (std::size_t i = 0; i < n; ++i)
                typed[i] += !f.at(m, i).missing();
        bool founder = false;
        for (std::size_t i = 0; i < n; ++i)
            if (f.persons[i].father < 0 && typed[i]) {
                out.push_back({static_cast<int>(fi), static_cast<int>(i)});
                founder = true;
            }
        if (founder || n == 0)
            continue;
        const std::size_t best = static_cast<std::size_t>(std::max_element(typed.begin(), typed.end()) - typed.begin());
        if (typed[best])
            out.push_back({static_cast<int>(fi), static_cast<int>(best)});
    }
    return out;
}

haplotype_em::haplotype_em(const study& s, const std::vector<sampled>& people) : s_(&s), people_(&people) {}

// Ordered pairs (paternal, maternal) of candidates that agree with each
// pattern: both fit its typed alleles, and together they make its genotypes.
void haplotype_em::enumerate(const std::vector<std::uint16_t>& cand, std::size_t n, std::vector<std::uint32_t>& pairs,
                             std::vector<std::size_t>& start) const
{
    const std::size_t k = markers_.size();
    pairs.clear();
    start.assign(patterns_.size() + 1, 0);
    std::vector<std::uint32_t> fits;
    for (std::size_t p = 0; p < patterns_.size(); ++p) {
        start[p] = pairs.size();
        const std::uint16_t* g = patterns_[p].geno.data();
        fits.clear();
        for (std::size_t h = 0; h < n; ++h) {
            const std::uint16_t* x = &cand[h * k];
            bool ok = true;
            for (std::size_t j = 0; ok && j < k; ++j)
                ok = !g[2 * j] || x[j] == g[2 * j] || x[j] == g[2 * j + 1];
            if (ok)
                fits.push_back(static_cast<std::uint32_t>(h));
        }
        for (std::uint32_t h1 : fits)
            for (std::uint32_t h2 : fits) {
                const std::uint16_t *x = &cand[h1 * k], *y = &cand[h2 * k];
                bool ok = true;
                for (std::size_t j = 0; ok && j < k; ++j) {
                    const std::uint16_t a = g[2 * j], b = g[2 * j + 1];
                    ok = !a || (x[j] == a && y[j] == b) || (x[j] == b && y[j] == a);
                }
                if (ok) {
                    pairs.push_back(h1);
                    pairs.push_back(h2);
                }
            }
    }
    start[patterns_.size()] = pairs.size();
}

void haplotype_em::run(std::vector<std::uint16_t>& cand, std::vector<double>& f, std::vector<std::uint32_t>& pairs,
                       std::vector<std::size_t>& start) const
{
    const std::size_t n = f.size();
    enumerate(cand, n, pairs, start);
    std::vector<double> count(n);
    for (int it = 0; it < max_iterations; ++it) {
        std::fill(count.begin(), count.end(), 0.0);
        double used = 0.0;
        for (std::size_t p = 0; p < patterns_.size(); ++p) {
            double total = 0.0;
            for (std::size_t q = start[p]; q < start[p + 1]; q += 2)
                total += f[pairs[q]] * f[pairs[q + 1]];
            if (total == 0.0)
                continue;
            const double scale = patterns_[p].count / total;
            for (std::size_t q = start[p]; q < start[p + 1]; q += 2) {
                const double w = f[pairs[q]] * f[pairs[q + 1]] * scale;
                count[pairs[q]] += w;
                count[pairs[q + 1]] += w;
            }
            used += patterns_[p].count;
        }
        if (used == 0.0)
            return;
        double moved = 0.0;
        for (std::size_t h = 0; h < n; ++h) {
            const double x = count[h] / (2.0 * used);
            moved = std::max(moved, std::fabs(x - f[h]));
            f[h] = x;
        }
        if (moved <= 1e-10)
            return;
    }
}

void haplotype_em::add(int m)
{
    const study& s = *s_;
    const marker& mk = s.markers[m];
    const std::size_t A = mk.alleles.size();
    if (A == 0)
        throw std::invalid_argument("haplotype_em: marker " + mk.name + " has no alleles");
    markers_.push_back(m);
    const std::size_t k = markers_.size();

    patterns_.clear();
    informative_ = 0;
    std::unordered_map<std::u16string, std::size_t> seen;
    std::u16string key(2 * k, u'\0');
    std::vector<double> alleles(A + 1, 0.0);
    for (const sampled& p : *people_) {
        const family& f = s.families[p.family];
        bool any = false;
        for (std::size_t j = 0; j < k; ++j) {
            const genotype g = f.at(markers_[j], p.person);
            key[2 * j] = static_cast<char16_t>(g.a);
            key[2 * j + 1] = static_cast<char16_t>(g.b);
            any |= !g.missing();
        }
        if (!any)
            continue;
        ++informative_;
        const genotype g = f.at(m, p.person);
        if (!g.missing()) {
            alleles[g.a] += 1;
            alleles[g.b] += 1;
        }
        const auto [it, added] = seen.try_emplace(key, patterns_.size());
        if (added)
            patterns_.push_back({std::vector<std::uint16_t>(key.begin(), key.end()), 0.0});
        patterns_[it->second].count += 1;
    }

    // The new marker's alleles, with a start at linkage equilibrium: as
    // counted in the sample, else as the study gives them.
    double total = 0.0;
    for (double c : alleles)
        total += c;
    if (total > 0.0) {
        for (double& c : alleles)
            c /= total;
    } else if (mk.freq.size() == A) {
        std::copy(mk.freq.begin(), mk.freq.end(), alleles.begin() + 1);
    } else {
        std::fill(alleles.begin() + 1, alleles.end(), 1.0 / static_cast<double>(A));
    }
    std::vector<std::uint16_t> cand;
    std::vector<double> f;
    const std::size_t before = k == 1 ? 1 : freq_.size();
    for (std::size_t h = 0; h < before; ++h)
        for (std::size_t a = 1; a <= A; ++a) {
            if (alleles[a] <= 0.0)
                continue;
            if (k > 1)
                cand.insert(cand.end(), &hap_[h * (k - 1)], &hap_[h * (k - 1)] + (k - 1));
            cand.push_back(static_cast<std::uint16_t>(a));
            f.push_back((k == 1 ? 1.0 : freq_[h]) * alleles[a]);
        }

    std::vector<std::uint32_t> pairs;
    std::vector<std::size_t> start;
    run(cand, f, pairs, start);

    if (informative_ > 0) {
        // Dropped: less than a hundredth of a copy expected in the sample.
        // Kept anyway: the likeliest pair of anyone who would be left without one.
        const double floor = 0.01 / (2.0 * informative_);
        std::vector<char> keep(f.size());
        for (std::size_t h = 0; h < f.size(); ++h)
            keep[h] = f[h] >= floor;
        for (std::size_t p = 0; p < patterns_.size(); ++p) {
            bool possible = false;
            std::size_t best = start[p];
            double best_w = -1.0;
            for (std::size_t q = start[p]; q < start[p + 1]; q += 2) {
                possible |= keep[pairs[q]] && keep[pairs[q + 1]];
                const double w = f[pairs[q]] * f[pairs[q + 1]];
                if (w > best_w) {
                    best_w = w;
                    best = q;
                }
            }
            if (!possible && start[p] < start[p + 1])
                keep[pairs[best]] = keep[pairs[best + 1]] = 1;
        }
        if (std::count(keep.begin(), keep.end(), 0)) {
            std::size_t n = 0;
            double sum = 0.0;
            for (std::size_t h = 0; h < f.size(); ++h) {
                if (!keep[h])
                    continue;
                std::copy_n(&cand[h * k], k, &cand[n * k]);
                f[n++] = f[h];
                sum += f[h];
            }
            cand.resize(n * k);
            f.resize(n);
            for (double& x : f)
                x /= sum;
            run(cand, f, pairs, start);
        }
    }
    hap_.clear();
    freq_.clear();
    for (std::size_t h = 0; h < f.size(); ++h)
        if (f[h] > 0.0) {
            hap_.insert(hap_.end(), &cand[h * k], &cand[h * k] + k);
            freq_.push_back(f[h]);
        }
}

double r_squared(const study& s, const std::vector<sampled>& people, int m1, int m2)
{
    haplotype_em em(s, people);
    em.add(m1);
    em.add(m2);
    const std::vector<std::uint16_t>& h = em.haplotypes();
    const std::vector<double>& f = em.freq();
    if (f.empty())
        return 0.0;
    std::uint16_t A = h[0], B = h[1];
    for (std::size_t i = 0; i < f.size(); ++i)
        B = std::min(B, h[2 * i + 1]);
    double cell[2][2] = {{0.0, 0.0}, {0.0, 0.0}};
    for (std::size_t i = 0; i < f.size(); ++i)
        cell[h[2 * i] != A][h[2 * i + 1] != B] += f[i];
    const double total = (cell[0][0] + cell[0][1]) + (cell[1][0] + cell[1][1]);
    const double pA = (cell[0][0] + cell[0][1]) / total, pB = (cell[0][0] + cell[1][0]) / total;
    const double denom = pA * (1.0 - pA) * pB * (1.0 - pB);
    if (!(denom > 0.0))
        return 0.0;
    const double D = (cell[0][0] * cell[1][1] - cell[0][1] * cell[1][0]) / (total * total);
    return std::min(1.0, D * D / denom);  // rounding can pass 1 in complete LD
}

cluster_set find_clusters(const study& s, double r2, const cluster_limits& lim, const cluster_set* fixed)
{
    const std::vector<sampled> sample = ld_sample(s);
    cluster_set out;
    if (fixed)
        out.list = fixed->list;
    const std::vector<chromosome> chroms = chromosomes(s);
    for (const chromosome& c : chroms) {
        if (c.kind != chrom_kind::autosome)
            continue;
        std::vector<int> run;
        std::optional<haplotype_em> em;
        auto close = [&] {
            if (run.size() > 1) {
                cluster k;
                k.markers = run;
                k.haplotypes = em->haplotypes();
                k.freq = em->freq();
                k.estimated = true;
                out.list.push_back(std::move(k));
            }
            run.clear();
            em.reset();
        };
        for (int m : c.markers) {
            if (fixed && !fixed->of_marker.empty() && fixed->of_marker[m] >= 0) {
                close();
                continue;
            }
            const bool two = s.markers[m].alleles.size() <= 2;
            if (em && two && s.markers[m].cm - s.markers[run.front()].cm <= lim.max_cm) {
                bool linked = false;
                for (auto it = run.rbegin(); !linked && it != run.rend(); ++it)
                    linked = r_squared(s, sample, *it, m) > r2;
                if (linked) {
                    haplotype_em next = *em;
                    next.add(m);
                    if (next.count() <= static_cast<std::size_t>(lim.max_haplotypes)) {
                        em = std::move(next);
                        run.push_back(m);
                        continue;
                    }
                }
            }
            close();
            run.push_back(m);
            // Nothing joins a marker of more alleles or none.
            if (two && !s.markers[m].alleles.empty()) {
                em.emplace(s, sample);
                em->add(m);
            }
        }
        close();
    }
    index_clusters(s, out);
    return out;
}

cluster_set study_clusters(const study& s, const std::string& path, std::optional<double> r2,
                           const cluster_limits& lim)
{
    cluster_set cs;
    if (!path.empty())
        cs = read_clusters(path, s, lim);
    if (r2)
        cs = find_clusters(s, *r2, lim, &cs);
    else
        index_clusters(s, cs);
    return cs;
}

}  // namespace linkage
