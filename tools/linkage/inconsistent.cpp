#include "inconsistent.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

#include "ibd.h"

namespace linkage {

std::string inconsistency_line(const study& s, const family& f, int marker, int person)
{
    return inconsistency_line(s, cluster_set{}, f, marker, person);
}

std::string inconsistency_line(const study& s, const cluster_set& cs, const family& f, int marker, int person)
{
    const linkage::person& p = f.persons[person];
    const std::vector<int> ms = locus_markers(cs, marker);
    std::string names;
    for (int m : ms)
        names += (names.empty() ? "" : ",") + s.markers[m].name;
    return input_error(s.pedigree_file, p.line,
                       "family " + f.id + " person " + p.id + (ms.size() > 1 ? ": markers " : ": marker ") + names +
                           ": Mendelian inconsistency")
        .what();
}

namespace {

// Runs job(0 .. n) on up to `threads` threads; the first exception ends the
// work and is thrown again.
template <class Job>
void in_parallel(std::size_t n, int threads, const Job& job)
{
    std::atomic<std::size_t> next{0};
    std::exception_ptr failed;
    std::mutex failed_mutex;
    auto work = [&] {
        try {
            for (std::size_t u; (u = next.fetch_add(1)) < n;)
                job(u);
        } catch (...) {
            std::lock_guard<std::mutex> lock(failed_mutex);
            if (!failed)
                failed = std::current_exception();
            next = n;
        }
    };
    const int t = std::max(1, std::min(threads, static_cast<int>(n)));
    {
        std::vector<std::jthread> pool;
        for (int i = 1; i < t; ++i)
            pool.emplace_back(work);
        work();
    }
    if (failed)
        std::rethrow_exception(failed);
}

// The families brell-ibd analyses: two or more affected, at most max_bits bits.
std::vector<int> analysed(const study& s, int max_bits)
{
    std::vector<int> used;
    for (std::size_t f = 0; f < s.families.size(); ++f) {
        const kindred_size size = measure(s.families[f]);
        if (size.affected >= 2 && size.bits <= max_bits)
            used.push_back(static_cast<int>(f));
    }
    return used;
}

}  // namespace

cluster_set analysis_clusters(const study& s, const std::string& path, std::optional<double> r2,
                              const cluster_limits& lim, int max_bits, int threads)
{
    cluster_set cs = study_clusters(s, path, r2, lim);
    if (std::none_of(cs.list.begin(), cs.list.end(), [](const cluster& c) { return c.estimated && c.size() > 1; }))
        return cs;
    const std::vector<int> used = analysed(s, max_bits);
    // Which score is counted changes no likelihood; pairs is the cheaper.
    std::vector<kindred> kindreds(used.size());
    in_parallel(used.size(), threads,
                [&](std::size_t u) { kindreds[u] = make_kindred(s.families[used[u]], score_kind::pairs); });
    complete_clusters(s, cs, used, kindreds, lim, threads);
    return cs;
}

std::vector<inconsistency> find_inconsistencies(const study& s, int max_bits, int threads)
{
    return find_inconsistencies(s, cluster_set{}, max_bits, threads);
}

std::vector<inconsistency> find_inconsistencies(const study& s, const cluster_set& cs, int max_bits, int threads)
{
    const std::vector<int> used = analysed(s, max_bits);
    std::vector<chromosome> chroms;
    for (chromosome& c : chromosomes(s))
        if (c.kind == chrom_kind::autosome)
            chroms.push_back(std::move(c));

    std::vector<ibd_result> found(used.size() * chroms.size());
    in_parallel(used.size(), threads, [&](std::size_t u) {
        const family& fam = s.families[used[u]];
        const kindred k = make_kindred(fam, score_kind::pairs);
        for (std::size_t c = 0; c < chroms.size(); ++c) {
            ibd_result r = multipoint(k, fam, s, chroms[c], cs, positions(s, chroms[c], cs, 0.0));
            r.probs.clear();
            r.probs.shrink_to_fit();
            found[c * used.size() + u] = std::move(r);
        }
    });

    std::vector<inconsistency> out;
    for (std::size_t c = 0; c < chroms.size(); ++c)
        for (std::size_t u = 0; u < used.size(); ++u)
            for (std::size_t i = 0; const int m : found[c * used.size() + u].inconsistent)
                out.push_back({used[u], m, found[c * used.size() + u].blamed[i++]});
    return out;
}

void drop_genotypes(study& s, const std::vector<inconsistency>& found)
{
    drop_genotypes(s, cluster_set{}, found);
}

void drop_genotypes(study& s, const cluster_set& cs, const std::vector<inconsistency>& found)
{
    for (const inconsistency& i : found) {
        family& f = s.families[i.family];
        for (int m : locus_markers(cs, i.marker))
            for (std::size_t p = 0; p < f.persons.size(); ++p)
                f.at(m, p) = {};
    }
}

}  // namespace linkage
