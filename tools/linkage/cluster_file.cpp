// The cluster file, and the loci that clusters make of a chromosome.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "cluster.h"
#include "read_common.h"
#include "writers.h"

namespace linkage {

namespace {

using read::fields;
using read::quote;

std::string cm_text(double x)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", x);
    return buf;
}

// A cluster as it is being read.
struct block {
    cluster c;
    std::vector<int> order;  // file column j holds the marker at map position order[j]
    bool haplo = false;      // has HAPLO lines
    std::unordered_map<std::string, long> seen;  // haplotypes (codes as bytes) and their lines
};

// Each marker's chromosome and rank in that chromosome's map order.
struct map_places {
    std::vector<chromosome> chroms;
    std::vector<int> chrom, rank;

    explicit map_places(const study& s) : chroms(chromosomes(s)), chrom(s.markers.size()), rank(s.markers.size())
    {
        for (std::size_t c = 0; c < chroms.size(); ++c)
            for (std::size_t r = 0; r < chroms[c].markers.size(); ++r) {
                chrom[chroms[c].markers[r]] = static_cast<int>(c);
                rank[chroms[c].markers[r]] = static_cast<int>(r);
            }
    }
};

std::string too_many(const cluster_limits& lim)
{
    return "more than " + std::to_string(lim.max_haplotypes) + " haplotypes with non-zero frequency (--max-haplotypes)";
}

}  // namespace

void index_clusters(const study& s, cluster_set& cs)
{
    const map_places at(s);
    std::stable_sort(cs.list.begin(), cs.list.end(), [&](const cluster& a, const cluster& b) {
        const int x = a.markers.front(), y = b.markers.front();
        return at.chrom[x] != at.chrom[y] ? at.chrom[x] < at.chrom[y] : at.rank[x] < at.rank[y];
    });
    cs.of_marker.assign(s.markers.size(), -1);
    for (std::size_t i = 0; i < cs.list.size(); ++i)
        for (int m : cs.list[i].markers)
            cs.of_marker[m] = static_cast<int>(i);
}

cluster_set parse_clusters(const std::string& path, std::string_view text, const study& s, const cluster_limits& lim)
{
    const map_places at(s);
    std::unordered_map<std::string_view, int> index;
    for (std::size_t m = 0; m < s.markers.size(); ++m)
        index.emplace(s.markers[m].name, static_cast<int>(m));
    std::vector<long> taken(s.markers.size(), 0);  // CLUSTER line of the marker's cluster

    std::vector<block> blocks;
    auto finish = [&](block& b) {
        if (!b.haplo)
            return;
        double sum = 0.0;
        for (double f : b.c.freq)
            sum += f;
        if (sum == 0.0)
            throw input_error(path, b.c.line, "the cluster's haplotype frequencies sum to 0");
        // Within rounding of 1 it is left alone: a written file reads back to the bit.
        if (std::fabs(sum - 1.0) > 1e-12)
            for (double& f : b.c.freq)
                f /= sum;
    };

    read::lines in(text);
    std::string_view line;
    while (in.next(line)) {
        fields f(line);
        std::string_view key;
        if (!f.next(key) || key.front() == '#')
            continue;
        const long n = in.number();
        if (read::iequals(key, "CLUSTER")) {
            if (!blocks.empty())
                finish(blocks.back());
            block b;
            b.c.line = n;
            std::string_view name;
            while (f.next(name)) {
                const auto it = index.find(name);
                if (it == index.end())
                    throw input_error(path, n, "marker " + std::string(name) + " is not in the study");
                const int m = it->second;
                if (taken[m] == n)
                    throw input_error(path, n, "marker " + std::string(name) + " is listed twice");
                if (taken[m])
                    throw input_error(path, n,
                                      "marker " + std::string(name) + " is already in the cluster on line " +
                                          std::to_string(taken[m]));
                taken[m] = n;
                if (at.chrom[m] != at.chrom[b.c.markers.empty() ? m : b.c.markers.front()])
                    throw input_error(path, n,
                                      "markers " + s.markers[b.c.markers.front()].name + " and " + std::string(name) +
                                          " are on different chromosomes");
                b.c.markers.push_back(m);
            }
            if (b.c.markers.empty())
                throw input_error(path, n, "CLUSTER names no marker");
            std::vector<int> listed = b.c.markers;
            std::sort(b.c.markers.begin(), b.c.markers.end(), [&](int x, int y) { return at.rank[x] < at.rank[y]; });
            for (int m : listed)
                b.order.push_back(static_cast<int>(
                    std::find(b.c.markers.begin(), b.c.markers.end(), m) - b.c.markers.begin()));
            const chromosome& chr = at.chroms[at.chrom[b.c.markers.front()]];
            const marker& first = s.markers[b.c.markers.front()];
            const marker& last = s.markers[b.c.markers.back()];
            for (std::size_t j = 1; j < b.c.markers.size(); ++j) {
                const int gap = at.rank[b.c.markers[j]] - at.rank[b.c.markers[j - 1]];
                if (gap > 1)
                    throw input_error(path, n,
                                      "markers " + s.markers[b.c.markers[j - 1]].name + " and " +
                                          s.markers[b.c.markers[j]].name + " are not consecutive on chromosome " +
                                          chr.name + ": " +
                                          s.markers[chr.markers[at.rank[b.c.markers[j - 1]] + 1]].name +
                                          " lies between them");
            }
            if (last.cm - first.cm > lim.max_cm)
                throw input_error(path, n,
                                  "markers " + first.name + " to " + last.name + " span " +
                                      cm_text(last.cm - first.cm) + " cM, more than --ld-distance " +
                                      cm_text(lim.max_cm) + " cM");
            blocks.push_back(std::move(b));
        } else if (read::iequals(key, "HAPLO")) {
            if (blocks.empty())
                throw input_error(path, n, "HAPLO before the first CLUSTER line");
            block& b = blocks.back();
            b.haplo = true;
            std::string_view v;
            double freq;
            if (!f.next(v))
                throw input_error(path, n, "expected HAPLO FREQUENCY ALLELE...");
            if (!read::parse_number(v, freq))
                throw input_error(path, n, "frequency " + quote(v) + " is not a number");
            if (freq < 0)
                throw input_error(path, n, "frequency " + std::string(v) + " is negative");
            const std::size_t k = b.c.size();
            std::vector<std::uint16_t> h(k, 0);
            std::size_t j = 0;
            std::string_view name;
            const std::string count_text = "expected " + std::to_string(k) + (k == 1 ? " allele" : " alleles") +
                                           ", one per marker of the cluster";
            for (; f.next(name); ++j) {
                if (j == k)
                    throw input_error(path, n, count_text);
                const marker& mk = s.markers[b.c.markers[b.order[j]]];
                const auto a = std::find(mk.alleles.begin(), mk.alleles.end(), name);
                if (a == mk.alleles.end())
                    throw input_error(path, n, "marker " + mk.name + " has no allele " + std::string(name));
                h[b.order[j]] = static_cast<std::uint16_t>(a - mk.alleles.begin() + 1);
            }
            if (j != k)
                throw input_error(path, n, count_text);
            const std::string key_bytes(reinterpret_cast<const char*>(h.data()), 2 * k);
            const auto [it, added] = b.seen.try_emplace(key_bytes, n);
            if (!added)
                throw input_error(path, n, "haplotype listed twice (first on line " + std::to_string(it->second) + ")");
            if (freq == 0.0)
                continue;
            if (b.c.count() == static_cast<std::size_t>(lim.max_haplotypes))
                throw input_error(path, n, "the cluster has " + too_many(lim));
            b.c.haplotypes.insert(b.c.haplotypes.end(), h.begin(), h.end());
            b.c.freq.push_back(freq);
        } else {
            throw input_error(path, n, "unknown keyword " + quote(key) + " (expected CLUSTER or HAPLO)");
        }
    }
    if (!blocks.empty())
        finish(blocks.back());

    cluster_set cs;
    std::vector<sampled> sample;
    bool sampled_yet = false;
    for (block& b : blocks) {
        cluster& c = b.c;
        if (!b.haplo) {
            const marker& mk = s.markers[c.markers.front()];
            if (c.size() == 1 && !mk.freq.empty()) {
                // The marker's own frequencies: the same locus as the marker alone.
                for (std::size_t a = 0; a < mk.freq.size(); ++a)
                    if (mk.freq[a] > 0.0) {
                        c.haplotypes.push_back(static_cast<std::uint16_t>(a + 1));
                        c.freq.push_back(mk.freq[a]);
                    }
            } else {
                for (int m : c.markers)
                    if (s.markers[m].alleles.empty())
                        throw input_error(path, c.line,
                                          "marker " + s.markers[m].name +
                                              " has no alleles (no genotype, no frequency)");
                if (!sampled_yet) {
                    sample = ld_sample(s);
                    sampled_yet = true;
                }
                haplotype_em em(s, sample);
                for (int m : c.markers) {
                    em.add(m);
                    if (em.count() > static_cast<std::size_t>(lim.max_haplotypes))
                        throw input_error(path, c.line, "the cluster's estimated frequencies give " + too_many(lim));
                }
                c.haplotypes = em.haplotypes();
                c.freq = em.freq();
                c.estimated = true;
            }
            if (c.count() > static_cast<std::size_t>(lim.max_haplotypes))
                throw input_error(path, c.line, "the cluster has " + too_many(lim));
        }
        cs.list.push_back(std::move(c));
    }
    index_clusters(s, cs);
    return cs;
}

cluster_set read_clusters(const std::string& path, const study& s, const cluster_limits& lim)
{
    const std::string text = read::slurp(path);
    return parse_clusters(path, text, s, lim);
}

std::string format_clusters(const study& s, const cluster_set& cs)
{
    std::string out;
    for (const cluster& c : cs.list) {
        out += "CLUSTER";
        for (int m : c.markers)
            out += ' ' + s.markers[m].name;
        out += '\n';
        for (std::size_t h = 0; h < c.count(); ++h) {
            out += "HAPLO " + shortest(c.freq[h]);
            for (std::size_t j = 0; j < c.size(); ++j)
                out += ' ' + s.markers[c.markers[j]].alleles[c.haplotype(h)[j] - 1];
            out += '\n';
        }
    }
    return out;
}

void write_clusters(const std::string& path, const study& s, const cluster_set& cs)
{
    output_file out(path);
    out.put(format_clusters(s, cs));
    out.close();
    out.commit();
}

std::vector<locus> loci(const study& s, const chromosome& c, const cluster_set& cs)
{
    std::vector<locus> out;
    for (int m : c.markers) {
        const int k = cs.of_marker.empty() ? -1 : cs.of_marker[m];
        if (k < 0) {
            out.push_back({s.markers[m].cm, m, -1});
        } else if (cs.list[k].markers.front() == m) {
            double sum = 0.0;
            for (int x : cs.list[k].markers)
                sum += s.markers[x].cm;
            out.push_back({sum / static_cast<double>(cs.list[k].size()), -1, k});
        }
    }
    return out;
}

std::vector<int> locus_markers(const cluster_set& cs, int marker)
{
    const int k = cs.of_marker.empty() ? -1 : cs.of_marker[marker];
    return k < 0 ? std::vector<int>{marker} : cs.list[k].markers;
}

std::string locus_name(const study& s, const cluster_set& cs, const locus& l)
{
    if (l.cluster < 0)
        return s.markers[l.marker].name;
    std::string out;
    for (int m : cs.list[l.cluster].markers) {
        if (!out.empty())
            out += ',';
        out += s.markers[m].name;
    }
    return out;
}

}  // namespace linkage
