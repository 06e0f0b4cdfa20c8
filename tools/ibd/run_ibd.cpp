#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <charconv>
#include <cmath>
#include <optional>

#include "brell.h"
#include "ibd_tool.h"
#include "inconsistent.h"
#include "writers.h"

namespace ibd {

linkage::study read_study(const options& o)
{
    return linkage::read_study(o.format, o.files, o.prefix, o.freq);
}

namespace {

void append(std::string& out, double v)
{
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

// One family's computation at one chromosome, kept until every family is done.
struct family_result {
    linkage::ibd_result ibd;
    std::vector<int> dropped;  // markers treated as missing
    std::vector<int> dropped_blamed;
    std::string probs;         // its rows of probs.dat
};

// Rows `id position score probability`, kindred by kindred, position by
// position, outcomes in the order of nullprobs.dat.
std::string probs_rows(const std::string& id, const linkage::kindred& k, const std::vector<std::string>& pos_text,
                       const std::vector<std::string>& score_text, const std::vector<double>& probs)
{
    std::string out;
    const std::size_t n = k.score.size();
    out.reserve(pos_text.size() * n * (id.size() + 32));
    for (std::size_t p = 0; p < pos_text.size(); ++p)
        for (std::size_t j = 0; j < n; ++j) {
            out += id;
            out += ' ';
            out += pos_text[p];
            out += ' ';
            out += score_text[j];
            out += ' ';
            append(out, probs[p * n + j]);
            out += '\n';
        }
    return out;
}

std::string chromosome_dir(const std::string& out_dir, const std::string& name)
{
    return (out_dir.empty() ? std::string(".") : out_dir) + "/chr" + name;
}

}  // namespace

summary run_ibd(const options& o, const linkage::study& s, std::FILE* log)
{
    summary sum;
    sum.families = static_cast<int>(s.families.size());

    // A family being computed may take this much for its vectors.
    std::uint64_t memory = static_cast<std::uint64_t>(o.max_memory * 1073741824.0);
    if (memory == 0) {
        const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGE_SIZE);
        memory = pages > 0 && page > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page) / 2
                                       : std::uint64_t{4} << 30;
    }
    std::vector<int> used;
    bool any_large = false;
    for (std::size_t f = 0; f < s.families.size(); ++f) {
        const linkage::family& fam = s.families[f];
        const linkage::kindred_size size = linkage::measure(fam);
        if (size.affected < 2) {
            std::fprintf(log, "%s: family %s: %d affected, fewer than two: left out\n", o.program, linkage::visible(fam.id).c_str(),
                         size.affected);
        } else if (size.bits > o.max_bits) {
            std::fprintf(log, "%s: family %s: %d bits, above --max-bits %d: left out\n", o.program, linkage::visible(fam.id).c_str(),
                         size.bits, o.max_bits);
        } else if (linkage::least_memory(size.bits) > memory) {
            std::fprintf(log, "%s: family %s: %d bits need %s GiB, above --max-memory %s: left out\n", o.program,
                         linkage::visible(fam.id).c_str(), size.bits,
                         brell::shortest(std::ceil(linkage::least_memory(size.bits) / 1073741824.0 * 1000) / 1000).c_str(),
                         brell::shortest(o.max_memory > 0 ? o.max_memory : std::round(memory / 1073741824.0 * 10) / 10).c_str());
        } else {
            used.push_back(static_cast<int>(f));
            any_large = any_large || size.bits >= linkage::parallel_bits;
            continue;
        }
        ++sum.left_out;
    }

    // A large family takes every thread even when it is the only one.
    const int threads = o.threads > 0 ? o.threads : brell::default_threads();
    const int workers = std::max(1, any_large ? threads : std::min(threads, static_cast<int>(used.size())));
    brell::worker_pool pool(workers);
    // Each job takes families in turn; results land by index, so the output
    // is the same at any number of threads.
    auto each_family = [&](std::size_t first, std::size_t last, const std::function<void(std::size_t)>& job) {
        std::atomic<std::size_t> next{first};
        pool.run([&](int) {
            for (std::size_t u; (u = next.fetch_add(1)) < last;)
                job(u);
        });
    };

    std::vector<linkage::kindred> kindreds(used.size());
    each_family(0, used.size(), [&](std::size_t u) { kindreds[u] = linkage::kindred_layout(s.families[used[u]]); });
    // Families of one shape (a study's many sibships of a size) are scored once.
    std::vector<std::size_t> like(used.size());
    std::vector<std::size_t> shapes;
    for (std::size_t u = 0; u < used.size(); ++u) {
        like[u] = u;
        for (std::size_t first : shapes)
            if (linkage::same_shape(kindreds[first], kindreds[u])) {
                like[u] = first;
                break;
            }
        if (like[u] == u)
            shapes.push_back(u);
    }
    // A large family's scores on every thread, the others a family per thread.
    auto large_shape = [&](std::size_t i) { return workers > 1 && kindreds[shapes[i]].bits >= linkage::parallel_bits; };
    for (std::size_t i = 0; i < shapes.size(); ++i)
        if (large_shape(i))
            linkage::score_kindred(kindreds[shapes[i]], o.score, &pool);
    each_family(0, shapes.size(), [&](std::size_t i) {
        if (!large_shape(i))
            linkage::score_kindred(kindreds[shapes[i]], o.score);
    });
    for (std::size_t u = 0; u < used.size(); ++u)
        if (like[u] != u) {
            kindreds[u].score = kindreds[like[u]].score;
            kindreds[u].nullprob = kindreds[like[u]].nullprob;
            kindreds[u].outcome = kindreds[like[u]].outcome;
        }
    // A score beyond the largest double would make every statistic of the
    // study infinite or NaN in brell.
    std::size_t kept = 0;
    for (std::size_t u = 0; u < used.size(); ++u) {
        const linkage::family& fam = s.families[used[u]];
        if (!std::isfinite(kindreds[u].score.back())) {
            std::fprintf(log, "%s: family %s: %d affected, a score beyond the largest number: left out\n", o.program,
                         linkage::visible(fam.id).c_str(), kindreds[u].affected);
            ++sum.left_out;
            continue;
        }
        if (kindreds[u].bits > sum.largest_bits || sum.largest_family.empty()) {
            sum.largest_bits = kindreds[u].bits;
            sum.largest_couples = static_cast<int>(kindreds[u].couples.size());
            sum.largest_family = fam.id;
        }
        if (kept != u) {
            used[kept] = used[u];
            kindreds[kept] = std::move(kindreds[u]);
        }
        ++kept;
    }
    used.resize(kept);
    kindreds.resize(kept);
    sum.used = static_cast<int>(used.size());
    if (used.empty())
        throw error("no family left to analyse: each needs two or more affected members and at most --max-bits bits");

    // The LD model: clusters read or found, and completed for the families
    // analysed, before any family is.
    linkage::cluster_set cs = linkage::study_clusters(s, o.clusters, o.ld_r2, o.ld);
    linkage::complete_clusters(s, cs, used, kindreds, o.ld, workers);
    for (const linkage::cluster& c : cs.list)
        if (c.size() > 1) {
            ++sum.clusters;
            sum.clustered_markers += static_cast<int>(c.size());
        }
    std::optional<linkage::output_file> clusters_out;
    if (!o.write_clusters.empty()) {
        clusters_out.emplace(o.write_clusters);
        clusters_out->put(linkage::format_clusters(s, cs));
        clusters_out->close();
    }

    // Families that one thread would leave the others idle for; their
    // vectors are shared out instead.
    auto large = [&](std::size_t u) { return workers > 1 && kindreds[u].bits >= linkage::parallel_bits; };

    std::string nullprobs, weights;
    for (std::size_t u = 0; u < used.size(); ++u) {
        const linkage::kindred& k = kindreds[u];
        const std::string& id = s.families[used[u]].id;
        for (std::size_t j = 0; j < k.score.size(); ++j) {
            nullprobs += id + ' ';
            append(nullprobs, k.nullprob[j]);
            nullprobs += ' ';
            append(nullprobs, k.score[j]);
            nullprobs += '\n';
        }
        weights += id + ' ';
        append(weights, std::sqrt(0.5 * k.affected * (k.affected - 1)));
        weights += '\n';
    }

    staged_files staged;
    std::string inconsistent;  // every (family, marker) pair, when not dropping
    const bool progress = !o.quiet && ::isatty(STDERR_FILENO);
    // A message starts on a line of its own, not after the progress line.
    auto clear_progress = [&] {
        if (progress && log == stderr)
            std::fputs("\r\033[K", stderr);
    };
    const std::vector<linkage::chromosome> chroms = linkage::chromosomes(s);
    for (std::size_t ci = 0; ci < chroms.size(); ++ci) {
        const linkage::chromosome& c = chroms[ci];
        if (c.kind != linkage::chrom_kind::autosome) {
            clear_progress();
            std::fprintf(log, "%s: chromosome %s: %zu %s markers left out (not analysed in this version)\n", o.program,
                         c.name.c_str(), c.markers.size(),
                         c.kind == linkage::chrom_kind::x_linked ? "X-linked" : "non-autosomal");
            sum.not_analysed_markers += static_cast<int>(c.markers.size());
            continue;
        }
        const auto started = std::chrono::steady_clock::now();
        auto shown = started - std::chrono::seconds(1);
        // Families done on this chromosome, at most ten times a second.
        auto show_progress = [&](std::size_t done) {
            const auto now = std::chrono::steady_clock::now();
            if (!progress || (now - shown < std::chrono::milliseconds(100) && done < used.size()))
                return;
            shown = now;
            const double seconds = std::chrono::duration<double>(now - started).count();
            std::fprintf(stderr, "\r%s: chromosome %s (%zu of %zu): %zu of %zu families", o.program, c.name.c_str(),
                         ci + 1, chroms.size(), done, used.size());
            if (done > 0 && seconds > 0.5)
                std::fprintf(stderr, ", %.3g per second", static_cast<double>(done) / seconds);
            std::fputs("\033[K", stderr);
        };
        const std::vector<linkage::position> pos = linkage::positions(s, c, cs, o.step);
        if (const double span = pos.back().cm - pos.front().cm; span > 1000.0) {
            clear_progress();
            std::fprintf(log, "%s: chromosome %s: the markers span %s cM: do the positions look like base pairs?\n",
                         o.program, c.name.c_str(), brell::shortest(span).c_str());
        }
        show_progress(0);
        std::vector<std::string> pos_text(pos.size());
        for (std::size_t p = 0; p < pos.size(); ++p)
            pos_text[p] = brell::shortest(pos[p].cm);

        chromosome_done done{c.name, chromosome_dir(o.out_dir, c.name), static_cast<int>(c.markers.size()),
                             static_cast<int>(pos.size()), {}, {}, {}};
        staged.make_dir(done.dir);
        std::FILE* probs = staged.open(done.dir + "/probs.dat");
        // Families in chunks, each written as soon as it is done in order:
        // a genome-scale probs.dat never has to fit in memory.
        std::vector<double> e(pos.size(), 0.0);
        double e0 = 0.0;
        const std::size_t chunk = 64;
        std::vector<family_result> res(std::min(chunk, used.size()));
        for (std::size_t first = 0; first < used.size(); first += chunk) {
            const std::size_t last = std::min(used.size(), first + chunk);
            // Large families one at a time, every thread on each; the others
            // a family per thread, sharing the memory.
            auto compute = [&](std::size_t u, brell::worker_pool* inner) {
                const linkage::family& fam = s.families[used[u]];
                const linkage::kindred& k = kindreds[u];
                family_result& r = res[u - first];
                r = family_result();
                linkage::multipoint_options mo;
                mo.pool = inner;
                mo.memory = inner ? memory : memory / static_cast<std::uint64_t>(workers);
                r.ibd = linkage::multipoint(k, fam, s, c, cs, pos, {}, mo);
                // Inconsistent markers are already left out of the result.
                if (!r.ibd.inconsistent.empty()) {
                    if (!o.drop_inconsistent)
                        return;
                    r.dropped = std::move(r.ibd.inconsistent);
                    r.dropped_blamed = std::move(r.ibd.blamed);
                    r.ibd.inconsistent.clear();
                    r.ibd.blamed.clear();
                }
                std::vector<std::string> score_text(k.score.size());
                for (std::size_t j = 0; j < k.score.size(); ++j)
                    score_text[j] = brell::shortest(k.score[j]);
                r.probs = probs_rows(fam.id, k, pos_text, score_text, r.ibd.probs);
                std::vector<double>().swap(r.ibd.probs);
            };
            std::size_t large_done = 0;
            for (std::size_t u = first; u < last; ++u)
                if (large(u)) {
                    compute(u, &pool);
                    show_progress(first + ++large_done);  // each may take minutes
                }
            each_family(first, last, [&](std::size_t u) {
                if (!large(u))
                    compute(u, nullptr);
            });
            for (std::size_t u = first; u < last; ++u) {
                const linkage::family& fam = s.families[used[u]];
                family_result& r = res[u - first];
                for (std::size_t i = 0; i < r.dropped.size(); ++i) {
                    clear_progress();
                    std::fprintf(log, "%s: %s: genotypes dropped\n", o.program,
                                 linkage::inconsistency_line(s, cs, fam, r.dropped[i], r.dropped_blamed[i]).c_str());
                    ++sum.dropped;
                }
                for (std::size_t i = 0; i < r.ibd.inconsistent.size(); ++i)
                    inconsistent += std::string(o.program) + ": " +
                                    linkage::inconsistency_line(s, cs, fam, r.ibd.inconsistent[i], r.ibd.blamed[i]) + '\n';
                if (!inconsistent.empty())
                    continue;  // nothing will be kept; the rest is still checked
                staged.write(probs, r.probs);
                for (std::size_t p = 0; p < pos.size(); ++p)
                    e[p] += r.ibd.entropy[p];
                e0 += r.ibd.null_entropy;
            }
            show_progress(last);
        }
        if (!inconsistent.empty())
            continue;

        std::string markers = "position\tmarker\tinformation\n";
        for (std::size_t p = 0; p < pos.size(); ++p) {
            const double info = e0 > 0.0 ? 1.0 - e[p] / e0 : 0.0;
            done.pos.push_back(pos[p].cm);
            std::string names;
            for (int m : pos[p].markers)
                names += (names.empty() ? "" : ",") + s.markers[m].name;
            done.marker.push_back(std::move(names));
            done.information.push_back(info);
            markers += pos_text[p] + '\t' + done.marker.back() + '\t';
            append(markers, info);
            markers += '\n';
        }
        const std::string& dir = done.dir;
        staged.add(dir + "/nullprobs.dat", nullprobs);
        staged.add(dir + "/markers.tsv", markers);
        if (o.pair_weights)
            staged.add(dir + "/weights.dat", weights);
        sum.chromosomes.push_back(std::move(done));
    }
    if (progress)
        std::fprintf(stderr, "\r\033[K");
    if (!inconsistent.empty()) {
        inconsistent.pop_back();
        throw error(std::string(linkage::INCONSISTENCIES_FOUND) + '\n' + inconsistent);
    }
    if (sum.chromosomes.empty())
        throw error("no autosomal marker to analyse");
    staged.commit();
    if (clusters_out)
        clusters_out->commit();
    return sum;
}

void print_summary(const summary& sum, double seconds, std::FILE* out)
{
    std::fprintf(out, "%s: %d families: %d used, %d left out\n", PROGRAM, sum.families, sum.used, sum.left_out);
    std::fprintf(out, "%s: largest family %s: %d bits", PROGRAM, linkage::visible(sum.largest_family).c_str(),
                 sum.largest_bits);
    if (sum.largest_couples)
        std::fprintf(out, " (%d before founder-couple symmetry)", sum.largest_bits + sum.largest_couples);
    std::fprintf(out, "\n");
    for (const chromosome_done& c : sum.chromosomes)
        std::fprintf(out, "%s: chromosome %s: %d markers, %d positions -> %s\n", PROGRAM, c.name.c_str(), c.markers,
                     c.positions, c.dir.c_str());
    if (sum.clusters)
        std::fprintf(out, "%s: %d markers in %d LD clusters\n", PROGRAM, sum.clustered_markers, sum.clusters);
    if (sum.not_analysed_markers)
        std::fprintf(out, "%s: %d markers not analysed (X-linked, Y, MT)\n", PROGRAM, sum.not_analysed_markers);
    if (sum.dropped)
        std::fprintf(out, "%s: %d inconsistent genotype sets dropped\n", PROGRAM, sum.dropped);
    std::fprintf(out, "%s: %.2f s\n", PROGRAM, seconds);
}

}  // namespace ibd
