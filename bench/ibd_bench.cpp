// Timing of multipoint IBD on made-up studies, families spread over threads
// as brell-ibd does:
//   brell-ibd-bench sibs [threads]   2,000 sibships of 2-6 affected, half with typed parents, 400 markers of 8 alleles
//   brell-ibd-bench snps [threads]   500 such sibships, 10,000 SNPs
//   brell-ibd-bench big              one pedigree of 20 bits, 200 markers of 8 alleles
//   brell-ibd-bench stream BITS M    the memory-bandwidth floor of a family of BITS bits at M markers:
//                                    per marker, the vectors streamed on two threads as often as the
//                                    forward-backward pass must (forward, one replay from checkpoints,
//                                    backward, and a read for the posterior), nothing computed
// A third argument runs only that many families.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ibd.h"

using namespace linkage;

namespace {

struct member_plan {
    int father, mother;
    bool affected, typed;
};

// Genotypes dropped down the pedigree with Haldane recombination, 2% missing.
family make_family(const study& s, const std::vector<member_plan>& ps, std::mt19937_64& rng, int id)
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    family f;
    f.id = std::to_string(id);
    for (std::size_t i = 0; i < ps.size(); ++i) {
        person p;
        p.id = std::to_string(i + 1);
        p.father = ps[i].father;
        p.mother = ps[i].mother;
        p.affection = ps[i].affected ? status::affected : status::unaffected;
        f.persons.push_back(p);
    }
    const std::size_t M = s.markers.size(), n = ps.size();
    std::vector<std::uint16_t> hap(2 * n * M);  // person, side, marker
    auto h = [&](std::size_t i, int side, std::size_t m) -> std::uint16_t& { return hap[(2 * i + side) * M + m]; };
    for (std::size_t i = 0; i < n; ++i) {
        for (int side = 0; side < 2; ++side) {
            if (ps[i].father < 0) {
                for (std::size_t m = 0; m < M; ++m) {
                    double x = u(rng);
                    std::uint16_t a = 1;
                    for (double q : s.markers[m].freq)
                        if ((x -= q) > 0)
                            ++a;
                    h(i, side, m) = std::min<std::uint16_t>(a, std::uint16_t(s.markers[m].freq.size()));
                }
                continue;
            }
            const std::size_t parent = side ? ps[i].mother : ps[i].father;
            int from = u(rng) < 0.5;
            for (std::size_t m = 0; m < M; ++m) {
                if (m && u(rng) < haldane(s.markers[m].cm - s.markers[m - 1].cm))
                    from ^= 1;
                h(i, side, m) = h(parent, from, m);
            }
        }
    }
    f.geno.assign(M * n, genotype{});
    for (std::size_t m = 0; m < M; ++m)
        for (std::size_t i = 0; i < n; ++i)
            if (ps[i].typed && u(rng) >= 0.02)
                f.at(m, i) = {h(i, 0, m), h(i, 1, m)};
    return f;
}

study make_markers(int count, int alleles, double length, std::mt19937_64& rng)
{
    std::uniform_real_distribution<double> u(0.0, 1.0);
    study s;
    for (int m = 0; m < count; ++m) {
        marker mk;
        mk.name = "m" + std::to_string(m);
        mk.chrom = "1";
        mk.cm = length * m / count;
        mk.map_line = m + 1;
        double total = 0;
        for (int a = 0; a < alleles; ++a) {
            mk.alleles.push_back(std::to_string(a + 1));
            mk.freq.push_back(0.3 + u(rng));
            total += mk.freq.back();
        }
        for (double& q : mk.freq)
            q /= total;
        s.markers.push_back(mk);
    }
    return s;
}

std::vector<member_plan> sibship(int sibs, bool parents_typed)
{
    std::vector<member_plan> ps = {{-1, -1, false, parents_typed}, {-1, -1, false, parents_typed}};
    for (int i = 0; i < sibs; ++i)
        ps.push_back({0, 1, true, true});
    return ps;
}

// Grandparents, four children with spouses, nine grandchildren: 13
// non-founders and 6 founders with children give 20 bits.
std::vector<member_plan> big_pedigree()
{
    std::vector<member_plan> ps = {{-1, -1, false, false}, {-1, -1, false, false}};
    const int kids[] = {3, 2, 2, 2};
    for (int c = 0; c < 4; ++c) {
        const int child = static_cast<int>(ps.size());
        ps.push_back({0, 1, c % 2 == 0, true});
        ps.push_back({-1, -1, false, c < 2});
        for (int g = 0; g < kids[c]; ++g)
            ps.push_back({c % 2 ? child + 1 : child, c % 2 ? child : child + 1, true, true});
    }
    return ps;
}

double seconds_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

// Seven streams of a vector per marker: forward (read and write), its replay
// (read and write), backward (read and write) and the posterior's read.
int stream(int bits, int markers)
{
    const std::size_t n = std::size_t{1} << bits;
    std::vector<double> x(n, 1.0 / double(n)), y(n, 0.0);
    double sink[2] = {0.0, 0.0};
    auto both = [&](auto job) {
        std::thread t([&] { job(n / 2, n, 1); });
        job(0, n / 2, 0);
        t.join();
    };
    const auto start = std::chrono::steady_clock::now();
    for (int m = 0; m < markers; ++m) {
        for (int copy = 0; copy < 3; ++copy)
            both([&](std::size_t lo, std::size_t hi, int) {
                for (std::size_t v = lo; v < hi; ++v)
                    y[v] = x[v] * 0.999;
            });
        both([&](std::size_t lo, std::size_t hi, int t) {
            double s = 0;
            for (std::size_t v = lo; v < hi; ++v)
                s += y[v];
            sink[t] += s;
        });
        std::swap(x, y);
    }
    const double secs = seconds_since(start);
    std::printf("stream: %d bits, %d markers, 7 streams of %.0f MiB per marker (%.6g): %.3f s\n", bits, markers,
                n * 8.0 / 1048576, sink[0] + sink[1], secs);
    return 0;
}

int main(int argc, char** argv)
{
    const std::string what = argc > 1 ? argv[1] : "sibs";
    if (what == "stream" && argc > 3)
        return stream(std::atoi(argv[2]), std::atoi(argv[3]));
    const int threads = argc > 2 ? std::atoi(argv[2]) : 2;
    const int only = argc > 3 ? std::atoi(argv[3]) : 0;  // fewer families, for quick comparisons
    std::mt19937_64 rng(42);
    study s;
    if (what == "sibs" || what == "snps") {
        const bool snps = what == "snps";
        s = make_markers(snps ? 10000 : 400, snps ? 2 : 8, 200.0, rng);
        const int families = only > 0 ? only : snps ? 500 : 2000;
        for (int i = 0; i < families; ++i)
            s.families.push_back(make_family(s, sibship(2 + i % 5, i % 2 == 0), rng, i));
    } else if (what == "big") {
        s = make_markers(200, 8, 200.0, rng);
        s.families.push_back(make_family(s, big_pedigree(), rng, 0));
    } else {
        std::fprintf(stderr, "usage: brell-ibd-bench sibs|snps|big [threads]\n");
        return 2;
    }
    const chromosome c = chromosomes(s)[0];
    const std::vector<position> pos = positions(s, c, 1.0);

    const auto start = std::chrono::steady_clock::now();
    std::atomic<std::size_t> next{0};
    std::atomic<long> vectors{0}, kindred_ms{0};
    double checksum[64] = {};
    auto work = [&](int t) {
        for (std::size_t i; (i = next++) < s.families.size();) {
            const family& f = s.families[i];
            const auto t0 = std::chrono::steady_clock::now();
            const kindred k = make_kindred(f, score_kind::all);
            kindred_ms += static_cast<long>(seconds_since(t0) * 1000);
            const ibd_result r = multipoint(k, f, s, c, pos);
            vectors += static_cast<long>(k.vectors());
            for (double e : r.entropy)
                checksum[t] += e;
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(work, t);
    work(0);
    for (std::thread& t : pool)
        t.join();
    const double secs = seconds_since(start);
    double sum = 0;
    for (double x : checksum)
        sum += x;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("%s: %zu families, %zu markers, %zu positions, %ld vectors in all, %d threads: %.2f s (kindreds %.2f s of CPU), "
                "peak %.0f MiB (entropy sum %.6f)\n",
                what.c_str(), s.families.size(), s.markers.size(), pos.size(), vectors.load(), threads, secs, kindred_ms / 1000.0,
                ru.ru_maxrss / 1024.0, sum);
}
