// Cost of marker clusters on a SNP study, in CPU seconds of one thread:
//   brell-cluster-bench [families] [snps] [haplotypes]
// 500 affected sibships of 2 to 6 with parents untyped, SNPs 0.02 cM apart in
// blocks of 4 with 5 haplotypes each (by default; at most 16), 2% missing. Times
//   markers:     the multipoint pass over every SNP, as brell-ibd runs today;
//   likelihoods: the cluster likelihood of every block in every family;
//   clusters:    the multipoint pass over the blocks as loci, their
//                likelihoods included;
//   EM:          the haplotype frequencies of every block, and clusters found
//                with r^2 > 0.1.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>

#include "cluster.h"
#include "cluster_likelihood.h"
#include "ibd.h"

using namespace linkage;

namespace {

// CPU seconds of this thread: other work on a shared machine does not count.
double cpu_now()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}
double seconds_since(double t) { return cpu_now() - t; }

}  // namespace

int main(int argc, char** argv)
{
    const int families = argc > 1 ? std::atoi(argv[1]) : 500;
    const int snps = argc > 2 ? std::atoi(argv[2]) / 4 * 4 : 10000;
    const int blocks = snps / 4, haps = argc > 3 ? std::min(16, std::atoi(argv[3])) : 5;
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> u(0.0, 1.0);

    study s;
    std::string text;  // CLUSTER lines of the blocks, no HAPLO: the EM's work
    cluster_set cs;
    for (int b = 0; b < blocks; ++b) {
        cluster c;
        std::set<std::vector<std::uint16_t>> seen;
        while (static_cast<int>(seen.size()) < haps) {
            std::vector<std::uint16_t> h(4);
            for (auto& a : h)
                a = static_cast<std::uint16_t>(1 + (u(rng) < 0.5));
            if (seen.insert(h).second)
                c.haplotypes.insert(c.haplotypes.end(), h.begin(), h.end());
        }
        double total = 0;
        for (int h = 0; h < haps; ++h)
            total += c.freq.emplace_back(0.3 + u(rng));
        for (double& f : c.freq)
            f /= total;
        text += "CLUSTER";
        for (int j = 0; j < 4; ++j) {
            const int m = 4 * b + j;
            marker mk;
            mk.name = "s" + std::to_string(m);
            mk.chrom = "1";
            mk.cm = 0.02 * m;
            mk.map_line = m + 1;
            mk.alleles = {"1", "2"};
            mk.freq = {0.0, 0.0};
            for (int h = 0; h < haps; ++h)
                mk.freq[c.haplotype(h)[j] - 1] += c.freq[h];
            s.markers.push_back(mk);
            c.markers.push_back(m);
            text += ' ' + mk.name;
        }
        text += '\n';
        cs.list.push_back(std::move(c));
    }
    index_clusters(s, cs);

    for (int i = 0; i < families; ++i) {
        const int sibs = 2 + i % 5, n = sibs + 2;
        family f;
        f.id = std::to_string(i);
        for (int p = 0; p < n; ++p) {
            person x;
            x.id = std::to_string(p + 1);
            x.father = p < 2 ? -1 : 0;
            x.mother = p < 2 ? -1 : 1;
            x.affection = p < 2 ? status::unknown : status::affected;
            f.persons.push_back(x);
        }
        f.geno.assign(s.markers.size() * n, genotype{});
        std::vector<int> hap(4);  // the parents' genes
        std::vector<int> from(2 * sibs);
        for (int b = 0; b < blocks; ++b) {
            const cluster& c = cs.list[b];
            for (int& h : hap) {
                double x = u(rng);
                h = 0;
                while (h + 1 < haps && (x -= c.freq[h]) >= 0)
                    ++h;
            }
            const double theta = b ? haldane(0.08) : 0.5;
            for (int& g : from)
                if (u(rng) < theta)
                    g ^= 1;
            for (int k = 0; k < sibs; ++k)
                for (int j = 0; j < 4; ++j) {
                    const std::uint16_t a = c.haplotype(hap[from[2 * k]])[j];
                    const std::uint16_t bb = c.haplotype(hap[2 + from[2 * k + 1]])[j];
                    if (u(rng) >= 0.02)
                        f.at(4 * b + j, 2 + k) = {std::min(a, bb), std::max(a, bb)};
                }
        }
        s.families.push_back(std::move(f));
    }
    const chromosome chr = chromosomes(s)[0];
    std::printf("%d sibships of 2-6, parents untyped; %d SNPs in %d blocks of 4 (%d haplotypes each)\n", families,
                blocks * 4, blocks, haps);

    std::vector<kindred> kin;
    for (const family& f : s.families)
        kin.push_back(make_kindred(f, score_kind::all));

    double t = cpu_now();
    double check = 0;
    const std::vector<position> pos = positions(s, chr, 0.0);
    for (std::size_t i = 0; i < s.families.size(); ++i)
        check += multipoint(kin[i], s.families[i], s, chr, pos).entropy[0];
    const double markers_s = seconds_since(t);
    std::printf("markers:     %8.2f s  multipoint over %zu SNPs (check %.6f)\n", markers_s, s.markers.size(), check);

    t = cpu_now();
    std::vector<double> e;
    long varying = 0;
    for (std::size_t i = 0; i < s.families.size(); ++i) {
        detail::cluster_likelihood lik(kin[i]);
        e.resize(kin[i].vectors());
        for (const cluster& c : cs.list)
            varying += lik.compute(s.families[i], s, c, e.data()) == detail::shape::varying;
    }
    const double lik_s = seconds_since(t);
    // The multipoint pass keeps a likelihood vector of up to 256 distinct
    // values in a byte per vector; beyond, it computes it again.
    long many = 0;
    for (std::size_t i = 0; i < s.families.size(); ++i) {
        if (kin[i].vectors() <= 256)
            continue;
        detail::cluster_likelihood lik(kin[i]);
        e.resize(kin[i].vectors());
        for (const cluster& c : cs.list)
            if (lik.compute(s.families[i], s, c, e.data()) == detail::shape::varying)
                many += std::set<double>(e.begin(), e.end()).size() > 256;
    }
    std::printf("likelihoods: %8.2f s  %ld varying of %zu (family, cluster); %ld with more than 256 values\n", lik_s,
                varying, s.families.size() * cs.list.size(), many);

    // The pass over the blocks as loci, their likelihoods included.
    const std::vector<position> lpos = positions(s, chr, cs, 0.0);
    t = cpu_now();
    for (std::size_t i = 0; i < s.families.size(); ++i)
        check += multipoint(kin[i], s.families[i], s, chr, cs, lpos).entropy[0];
    const double loci_s = seconds_since(t);
    std::printf("clusters:    %8.2f s  multipoint over %d clusters, %.2f times the markers' time\n", loci_s, blocks,
                loci_s / markers_s);

    t = cpu_now();
    const cluster_set estimated = parse_clusters("blocks", text, s, {});
    std::printf("EM:          %8.2f s  frequencies of %zu blocks\n", seconds_since(t), estimated.list.size());
    t = cpu_now();
    const cluster_set found = find_clusters(s, 0.1, {});
    std::size_t in = 0;
    for (const cluster& c : found.list)
        in += c.size();
    std::printf("--ld-r2 0.1: %8.2f s  %zu clusters holding %zu SNPs\n", seconds_since(t), found.list.size(), in);
}
