// Haplotypes that an estimate never saw but a family needs.
#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <mutex>
#include <thread>

#include "cluster.h"
#include "cluster_likelihood.h"

namespace linkage {

namespace {

// A haplotype's probability were its markers independent: which missing
// haplotypes to try first.
double prior(const study& s, const cluster& c, const std::uint16_t* h)
{
    double p = 1.0;
    for (std::size_t j = 0; j < c.size(); ++j) {
        const marker& mk = s.markers[c.markers[j]];
        p *= h[j] - 1u < mk.freq.size() ? mk.freq[h[j] - 1] : 1.0;
    }
    return p;
}

// c with the haplotypes `more` added (any frequency above 0 will do for
// telling whether a family is possible).
cluster with(const cluster& c, const std::vector<std::vector<std::uint16_t>>& more, std::size_t n, double freq)
{
    cluster t = c;
    for (std::size_t i = 0; i < n; ++i) {
        t.haplotypes.insert(t.haplotypes.end(), more[i].begin(), more[i].end());
        t.freq.push_back(freq);
    }
    return t;
}

// Adds to c the fewest haplotypes, the likeliest first, that make family f
// possible, if there are such within the limit.
void complete_for(const study& s, cluster& c, const family& f, const kindred& k, detail::cluster_likelihood& lik,
                  const cluster_limits& lim, double floor)
{
    if (c.count() == 0 || lik.possible(f, s, c))
        return;  // what an earlier family needed was enough
    const std::size_t K = c.size();
    // The haplotypes of the alleles the family shows; where it shows none,
    // any allele serves, and the commonest haplotype's is taken.
    const std::size_t common =
        static_cast<std::size_t>(std::max_element(c.freq.begin(), c.freq.end()) - c.freq.begin());
    std::vector<std::vector<std::uint16_t>> alleles(K);
    for (std::size_t j = 0; j < K; ++j) {
        for (const kindred::member& mb : k.members) {
            const genotype g = f.at(c.markers[j], mb.person);
            if (!g.missing())
                alleles[j].insert(alleles[j].end(), {g.a, g.b});
        }
        std::sort(alleles[j].begin(), alleles[j].end());
        alleles[j].erase(std::unique(alleles[j].begin(), alleles[j].end()), alleles[j].end());
        if (alleles[j].empty())
            alleles[j].push_back(c.haplotype(common)[j]);
    }
    // Beyond this many the search would cost more than the family is worth.
    constexpr std::size_t most = 1024;
    std::size_t count = 1;
    for (const auto& a : alleles)
        if ((count *= a.size()) > most)
            return;
    std::map<std::vector<std::uint16_t>, char> known;
    for (std::size_t h = 0; h < c.count(); ++h)
        known.emplace(std::vector<std::uint16_t>(c.haplotype(h), c.haplotype(h) + K), 0);
    std::vector<std::vector<std::uint16_t>> fresh;
    std::vector<std::size_t> digit(K, 0);
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<std::uint16_t> h(K);
        for (std::size_t j = 0; j < K; ++j)
            h[j] = alleles[j][digit[j]];
        if (!known.count(h))
            fresh.push_back(std::move(h));
        for (std::size_t j = K; j-- > 0 && ++digit[j] == alleles[j].size();)
            digit[j] = 0;
    }
    std::stable_sort(fresh.begin(), fresh.end(), [&](const auto& a, const auto& b) {
        return prior(s, c, a.data()) > prior(s, c, b.data());
    });
    if (fresh.empty() || !lik.possible(f, s, with(c, fresh, fresh.size(), floor)))
        return;  // a true inconsistency: no haplotypes explain it
    // The shortest run of the likeliest that does (more haplotypes never
    // make a family impossible), then those of it the family does without.
    std::size_t lo = 1, hi = fresh.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (lik.possible(f, s, with(c, fresh, mid, floor)))
            hi = mid;
        else
            lo = mid + 1;
    }
    fresh.resize(hi);
    for (std::size_t i = hi - 1; i-- > 0;) {
        std::vector<std::vector<std::uint16_t>> less = fresh;
        less.erase(less.begin() + static_cast<std::ptrdiff_t>(i));
        if (lik.possible(f, s, with(c, less, less.size(), floor)))
            fresh = std::move(less);
    }
    if (c.count() + fresh.size() > static_cast<std::size_t>(lim.max_haplotypes))
        return;
    // Added at the floor, the others scaled to keep the sum 1, all in code order.
    const double total = 1.0 + floor * static_cast<double>(fresh.size());
    std::vector<std::pair<std::vector<std::uint16_t>, double>> all;
    for (std::size_t h = 0; h < c.count(); ++h)
        all.emplace_back(std::vector<std::uint16_t>(c.haplotype(h), c.haplotype(h) + K), c.freq[h] / total);
    for (auto& h : fresh)
        all.emplace_back(std::move(h), floor / total);
    std::sort(all.begin(), all.end());
    c.haplotypes.clear();
    c.freq.clear();
    for (const auto& [h, p] : all) {
        c.haplotypes.insert(c.haplotypes.end(), h.begin(), h.end());
        c.freq.push_back(p);
    }
}

}  // namespace

void complete_clusters(const study& s, cluster_set& cs, const std::vector<int>& families,
                       const std::vector<kindred>& kindreds, const cluster_limits& lim, int threads)
{
    std::vector<int> open;
    for (std::size_t i = 0; i < cs.list.size(); ++i)
        if (cs.list[i].estimated && cs.list[i].size() > 1)
            open.push_back(static_cast<int>(i));
    if (open.empty() || families.empty())
        return;

    // Which clusters each family finds impossible, families side by side.
    std::vector<std::vector<int>> impossible(families.size());
    std::atomic<std::size_t> next{0};
    std::exception_ptr failed;
    std::mutex failed_mutex;
    auto work = [&] {
        try {
            for (std::size_t u; (u = next.fetch_add(1)) < families.size();) {
                detail::cluster_likelihood lik(kindreds[u]);
                for (int c : open)
                    if (!lik.possible(s.families[families[u]], s, cs.list[c]))
                        impossible[u].push_back(c);
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(failed_mutex);
            if (!failed)
                failed = std::current_exception();
            next = families.size();
        }
    };
    const int n = std::max(1, std::min(threads, static_cast<int>(families.size())));
    {
        std::vector<std::jthread> pool;
        for (int t = 1; t < n; ++t)
            pool.emplace_back(work);
        work();
    }
    if (failed)
        std::rethrow_exception(failed);

    // Then cluster by cluster, families in file order, so that the result
    // does not depend on the threads.
    std::vector<std::vector<std::size_t>> needs(cs.list.size());
    for (std::size_t u = 0; u < families.size(); ++u)
        for (int c : impossible[u])
            needs[c].push_back(u);
    const double floor = 0.01 / (2.0 * static_cast<double>(std::max<std::size_t>(1, ld_sample(s).size())));
    for (int c : open)
        for (std::size_t u : needs[c]) {
            detail::cluster_likelihood lik(kindreds[u]);
            complete_for(s, cs.list[c], s.families[families[u]], kindreds[u], lik, lim, floor);
        }
}

}  // namespace linkage
