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
    const linkage::person& p = f.persons[person];
    return input_error(s.pedigree_file, p.line,
                       "family " + f.id + " person " + p.id + ": marker " + s.markers[marker].name +
                           ": Mendelian inconsistency")
        .what();
}

std::vector<inconsistency> find_inconsistencies(const study& s, int max_bits, int threads)
{
    std::vector<int> used;
    for (std::size_t f = 0; f < s.families.size(); ++f) {
        const kindred_size size = measure(s.families[f]);
        if (size.affected >= 2 && size.bits <= max_bits)
            used.push_back(static_cast<int>(f));
    }
    std::vector<chromosome> chroms;
    for (chromosome& c : chromosomes(s))
        if (c.kind == chrom_kind::autosome)
            chroms.push_back(std::move(c));

    // Which score is counted changes no likelihood; pairs is the cheaper.
    std::vector<ibd_result> found(used.size() * chroms.size());
    std::atomic<std::size_t> next{0};
    std::exception_ptr failed;
    std::mutex failed_mutex;
    auto work = [&] {
        try {
            for (std::size_t u; (u = next.fetch_add(1)) < used.size();) {
                const family& fam = s.families[used[u]];
                const kindred k = make_kindred(fam, score_kind::pairs);
                for (std::size_t c = 0; c < chroms.size(); ++c) {
                    ibd_result r = multipoint(k, fam, s, chroms[c], positions(s, chroms[c], 0.0));
                    r.probs.clear();
                    r.probs.shrink_to_fit();
                    found[c * used.size() + u] = std::move(r);
                }
            }
        } catch (...) {
            std::lock_guard<std::mutex> lock(failed_mutex);
            if (!failed)
                failed = std::current_exception();
            next = used.size();
        }
    };
    const int n = std::max(1, std::min(threads, static_cast<int>(used.size())));
    {
        std::vector<std::jthread> pool;
        for (int t = 1; t < n; ++t)
            pool.emplace_back(work);
        work();
    }
    if (failed)
        std::rethrow_exception(failed);

    std::vector<inconsistency> out;
    for (std::size_t c = 0; c < chroms.size(); ++c)
        for (std::size_t u = 0; u < used.size(); ++u)
            for (std::size_t i = 0; const int m : found[c * used.size() + u].inconsistent)
                out.push_back({used[u], m, found[c * used.size() + u].blamed[i++]});
    return out;
}

void drop_genotypes(study& s, const std::vector<inconsistency>& found)
{
    for (const inconsistency& i : found) {
        family& f = s.families[i.family];
        for (std::size_t p = 0; p < f.persons.size(); ++p)
            f.at(i.marker, p) = {};
    }
}

}  // namespace linkage
