// Multipoint posterior of the inheritance vectors along a chromosome: the
// forward-backward algorithm of the Lander-Green hidden Markov model.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "brell.h"
#include "cluster.h"
#include "cluster_likelihood.h"
#include "ibd_detail.h"
#include "writers.h"

namespace linkage {


namespace {

const cluster_set no_clusters;

// Each locus's position: loci within same_position_cm of the one before
// share its position. Gaps, not distances to the first of a run: no two
// positions are ever within the tolerance of each other.
std::vector<double> locus_positions(const std::vector<locus>& loci)
{
    std::vector<double> cms(loci.size());
    for (std::size_t j = 0; j < cms.size(); ++j) {
        const double x = loci[j].cm;
        cms[j] = j > 0 && x - loci[j - 1].cm <= same_position_cm ? cms[j - 1] : x;
    }
    return cms;
}

}  // namespace

std::vector<double> marker_positions(const study& s, const chromosome& c, const cluster_set& cs)
{
    const std::vector<locus> ls = loci(s, c, cs);
    const std::vector<double> at = locus_positions(ls);
    std::vector<double> cms(c.markers.size());
    for (std::size_t i = 0, j = 0; i < cms.size(); ++i) {
        const int m = c.markers[i];
        const int k = cs.of_marker.empty() ? -1 : cs.of_marker[m];
        // The locus of marker i: its own, or its cluster's (met at its first marker).
        while (ls[j].cluster < 0 ? ls[j].marker != m : ls[j].cluster != k)
            ++j;
        cms[i] = at[j];
    }
    return cms;
}

std::vector<double> marker_positions(const study& s, const chromosome& c)
{
    return marker_positions(s, c, no_clusters);
}

namespace {

// A step as digits × 10^exponent, from its shortest decimal form.
struct decimal {
    std::uint64_t digits = 0;
    int exponent = 0;
};

decimal decimal_of(double step)
{
    char text[32];
    const char* end = std::to_chars(text, text + sizeof text, step).ptr;
    decimal d;
    const char* p = text;
    bool fraction = false;
    for (; p < end && *p != 'e'; ++p) {
        if (*p == '.') {
            fraction = true;
            continue;
        }
        d.digits = d.digits * 10 + static_cast<std::uint64_t>(*p - '0');
        d.exponent -= fraction;
    }
    if (p < end) {
        const bool negative = p[1] == '-';
        int e = 0;
        for (p += 2; p < end; ++p)
            e = e * 10 + (*p - '0');
        d.exponent += negative ? -e : e;
    }
    return d;
}

__extension__ typedef unsigned __int128 u128;

// k × step to the nearest double: k × digits is exact, and then one
// correctly rounded operation (or a correctly rounded conversion of its
// decimal text) gives the double that prints as the decimal.
double grid_point(std::int64_t k, decimal step)
{
    static constexpr double pow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                       1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const bool negative = k < 0;
    const u128 n = u128{negative ? 0 - static_cast<std::uint64_t>(k) : static_cast<std::uint64_t>(k)} * step.digits;
    double v;
    if (n <= u128{1} << 53 && step.exponent >= -22 && step.exponent <= 0) {
        v = static_cast<double>(n) / pow10[-step.exponent];
    } else if (n <= u128{1} << 53 && step.exponent > 0 && step.exponent <= 22) {
        v = static_cast<double>(n) * pow10[step.exponent];
    } else {
        char text[64];
        char* p = text + 40;
        u128 m = n;
        do {
            *--p = static_cast<char>('0' + static_cast<int>(m % 10));
            m /= 10;
        } while (m);
        const std::size_t digits = static_cast<std::size_t>(text + 40 - p);
        std::memmove(text, p, digits);
        char* end = text + digits;
        *end++ = 'e';
        end = std::to_chars(end, text + sizeof text, step.exponent).ptr;
        std::from_chars(text, end, v);
    }
    return negative ? -v : v;
}

}  // namespace

std::vector<position> positions(const study& s, const chromosome& c, double step)
{
    return positions(s, c, no_clusters, step);
}

std::vector<position> positions(const study& s, const chromosome& c, const cluster_set& cs, double step)
{
    std::vector<position> out;
    if (c.markers.empty())
        return out;
    const std::vector<double> cms = marker_positions(s, c, cs);
    const std::size_t M = cms.size();
    std::size_t places = 1;
    for (std::size_t j = 1; j < M; ++j)
        places += cms[j] != cms[j - 1];
    const double first = cms.front(), last = cms.back();

    // Grid indices [k, k_end): every multiple of step from below the first
    // marker to above the last, counted before any is made.
    std::int64_t k = 0, k_end = 0;
    decimal d;
    if (step > 0.0 && last > first) {
        const double between = (last - first) / step;
        if (!(between + static_cast<double>(places) <= static_cast<double>(max_positions)))
            throw std::length_error("chromosome " + c.name + ": a step of " + shortest(step) + " cM from " +
                                    shortest(first) + " to " + shortest(last) + " cM makes more than " +
                                    std::to_string(max_positions) + " positions");
        const double lo = std::floor(first / step), hi = std::floor(last / step) + 2;
        if (!(std::fabs(lo) < 0x1p53 && std::fabs(hi) < 0x1p53))
            throw std::length_error("chromosome " + c.name + ": positions near " + shortest(first) +
                                    " cM are beyond 2^53 steps of " + shortest(step) + " cM");
        k = static_cast<std::int64_t>(lo);
        k_end = static_cast<std::int64_t>(hi);
        d = decimal_of(step);
        out.reserve(places + static_cast<std::size_t>(between) + 1);
    } else {
        out.reserve(places);
    }

    double prev = -HUGE_VAL;
    for (std::size_t j = 0; j < M;) {
        const double x = cms[j];
        for (; k < k_end; ++k) {
            const double g = grid_point(k, d);
            if (g > x + same_position_cm)
                break;
            if (g < x - same_position_cm && g > first + same_position_cm && g > prev) {
                out.push_back({g, {}});
                prev = g;
            }
        }
        position p{x, {}};
        for (; j < M && cms[j] == x; ++j)
            p.markers.push_back(c.markers[j]);
        out.push_back(std::move(p));
        prev = x;
    }
    return out;
}

namespace {

// Forward vectors beyond these bytes are recomputed from checkpoints (at
// least six vectors' worth): a large family trades work for memory.
constexpr std::uint64_t lean_bytes = std::uint64_t{1} << 30;
// Small kindreds keep every forward vector when they fit a fast cache.
constexpr std::uint64_t cache_doubles = 32 * 1024;
// Vectors in blocks of this many: a block a marker rules out whole is skipped.
constexpr std::uint64_t zero_block = 512;

// Buffers reused from one call to the next on a thread: fresh memory costs
// page faults and zeroing comparable to the work on a small kindred. The
// largest are given back after the call.
class workspace {
public:
    template <class T>
    T* get(int which, std::size_t n)
    {
        buffer& b = buf_[which];
        const std::size_t words = (n * sizeof(T) + sizeof(double) - 1) / sizeof(double);
        if (b.size < words) {
            b.data.reset();
            b.data.reset(new double[words]);
            b.size = words;
        }
        return reinterpret_cast<T*>(b.data.get());
    }
    void trim()
    {
        for (buffer& b : buf_)
            if (b.size * sizeof(double) > 64u * 1024 * 1024) {
                b.data.reset();
                b.size = 0;
            }
    }

private:
    struct buffer {
        std::unique_ptr<double[]> data;
        std::size_t size = 0;
    };
    buffer buf_[8];
};
enum { slot_buf, code_buf, e_buf, g_buf, left_buf, right_buf };

// Markers a replay over free slots can cover, `depth` forward passes deep:
// the first part keeps every slot, each later part one fewer (the
// checkpoints of the parts after it), and a part with none is one marker.
std::uint64_t reach(int free, int depth)
{
    if (depth <= 1 || free == 0)
        return static_cast<std::uint64_t>(free) + 1;
    std::uint64_t n = 0;
    for (int q = 0; q <= free; ++q)
        n = std::min<std::uint64_t>(n + reach(q == 0 ? free : free - q, depth - 1), std::uint64_t{1} << 40);
    return n;
}

// Entropy of the posterior w[v] / total, w[v] = x[v] y[v] (or x[v]), over
// the vectors. A run of equal terms (vectors alike to the data; all of them
// without data) takes one logarithm, and the uniform posterior comes out as
// exactly the logarithm of the number of vectors.
template <bool product>
double posterior_entropy(const double* x, const double* y, std::uint64_t n, double total, const std::uint64_t* zero,
                         std::uint64_t Z)
{
    auto w = [&](std::uint64_t v) { return product ? x[v] * y[v] : x[v]; };
    double h = 0.0;
    for (std::uint64_t v = 0; v < n;) {
        // A block the marker rules out is all +0: no term, and no run of
        // positive terms reaches into it.
        if (zero && v % Z == 0 && (zero[v / Z / 64] >> (v / Z % 64) & 1)) {
            v += Z;
            continue;
        }
        const double here = w(v);
        std::uint64_t run = 1;
        while (v + run < n && w(v + run) == here)
            ++run;
        if (here > 0.0) {
            const double p = here / total;
            h -= static_cast<double>(run) * (p * std::log(p));
        }
        v += run;
    }
    return h;
}

// A marker's likelihood vector as one byte per vector, an index into its
// distinct values: few for most markers, as they are products of a few
// frequencies. False when there are more than 256.
bool encode(const double* e, std::uint64_t n, std::uint8_t* code, std::vector<double>& table)
{
    constexpr int slots = 512;
    std::uint64_t key[slots];
    std::int16_t index[slots];
    std::fill_n(index, slots, std::int16_t{-1});
    const std::size_t first = table.size();
    std::uint64_t last = 0;
    std::uint8_t last_code = 0;
    for (std::uint64_t v = 0; v < n; ++v) {
        const std::uint64_t bits = std::bit_cast<std::uint64_t>(e[v]);
        if (v > 0 && bits == last) {  // vectors in a block share their value
            code[v] = last_code;
            continue;
        }
        unsigned h = static_cast<unsigned>((bits * 0x9e3779b97f4a7c15u) >> 55);
        while (index[h] >= 0 && key[h] != bits)
            h = (h + 1) % slots;
        if (index[h] < 0) {
            if (table.size() - first == 256) {
                table.resize(first);
                return false;
            }
            key[h] = bits;
            index[h] = static_cast<std::int16_t>(table.size() - first);
            table.push_back(e[v]);
        }
        code[v] = last_code = static_cast<std::uint8_t>(index[h]);
        last = bits;
    }
    return true;
}

}  // namespace

// The outcome table, g and e, left and right, and two forward vectors.
std::uint64_t least_memory(int bits)
{
    return (sizeof(std::uint32_t) + 6 * sizeof(double)) << bits;
}

ibd_result multipoint(const kindred& k, const family& f, const study& s, const chromosome& c,
                      const std::vector<position>& pos, const std::vector<int>& ignore, const multipoint_options& opt)
{
    return multipoint(k, f, s, c, no_clusters, pos, ignore, opt);
}

ibd_result multipoint(const kindred& k, const family& f, const study& s, const chromosome& c, const cluster_set& cs,
                      const std::vector<position>& pos, const std::vector<int>& ignore, const multipoint_options& opt)
{
    const std::size_t K = k.score.size();
    const std::uint64_t N = k.vectors();
    // The pass walks loci: markers alone and clusters.
    const std::vector<locus> loc = loci(s, c, cs);
    const int M = static_cast<int>(loc.size());
    ibd_result r;
    r.probs.assign(pos.size() * K, 0.0);
    r.entropy.assign(pos.size(), 0.0);
    // The same logarithm as of a uniform posterior: no data, no information, exactly.
    const double reduced_null = -std::log(std::ldexp(1.0, -k.bits));
    // A reduced couple halves every posterior and the prior alike (each vector
    // stands for two of equal mass): ln 2 back on both, so that neither
    // depends on the reduction.
    const double couple_entropy = static_cast<double>(k.couples.size()) * std::log(2.0);
    r.null_entropy = reduced_null + couple_entropy;

    // Where each position falls: at marker j, between j and j + 1, or outside.
    std::vector<int> index_of(s.markers.size(), -1);
    for (int j = 0; j < M; ++j) {
        if (loc[j].cluster < 0)
            index_of[loc[j].marker] = j;
        else
            for (int m : cs.list[loc[j].cluster].markers)
                index_of[m] = j;
    }
    // Loci at one position follow each other with no recombination between them.
    const std::vector<double> cms = locus_positions(loc);
    auto cm = [&](int j) { return cms[j]; };
    // Positions by place: 0 before the first marker, 2j + 1 at marker j,
    // 2j + 2 between markers j and j + 1 (or after the last).
    std::vector<std::pair<int, std::size_t>> place(pos.size());
    for (std::size_t p = 0; p < pos.size(); ++p) {
        const position& x = pos[p];
        if (!x.markers.empty()) {
            int j = -1;
            for (int m : x.markers) {
                if (m < 0 || static_cast<std::size_t>(m) >= index_of.size() || index_of[m] < 0)
                    throw std::invalid_argument("multipoint: a position's marker is not on the chromosome");
                j = std::max(j, index_of[m]);
            }
            // After the last marker at the position: the forward pass has
            // then taken in every genotype there.
            while (j + 1 < M && cms[j + 1] == cms[j])
                ++j;
            place[p] = {2 * j + 1, p};
            continue;
        }
        const int j = static_cast<int>(std::upper_bound(cms.begin(), cms.end(), x.cm) - cms.begin()) - 1;
        place[p] = {2 * j + 2, p};
    }
    std::sort(place.begin(), place.end());
    auto at_place = [&](int code) {
        auto lo = std::lower_bound(place.begin(), place.end(), std::pair<int, std::size_t>{code, 0});
        std::vector<std::size_t> out;
        for (; lo != place.end() && lo->first == code; ++lo)
            out.push_back(lo->second);
        return out;
    };

    // Four partial sums per outcome (by v mod 4): neighbouring vectors often
    // share an outcome, and one running sum would make each add wait for the last.
    std::vector<double> mass(4 * K);
    // zero: blocks of Z vectors where x is +0, to be skipped; or none.
    const std::uint64_t Z = std::min(N, zero_block);
    auto record = [&](std::size_t p, const double* x, const double* y, const std::uint64_t* zero) {
        std::fill(mass.begin(), mass.end(), 0.0);
        const std::uint32_t* out = k.outcome->data();
        auto add = [&](std::uint64_t from, std::uint64_t to) {
            if (y) {
                for (std::uint64_t v = from; v < to; v += 4)
                    for (int i = 0; i < 4; ++i)
                        mass[4 * out[v + i] + i] += x[v + i] * y[v + i];
            } else {
                for (std::uint64_t v = from; v < to; v += 4)
                    for (int i = 0; i < 4; ++i)
                        mass[4 * out[v + i] + i] += x[v + i];
            }
        };
        if (N < 4) {
            for (std::uint64_t v = 0; v < N; ++v)
                mass[4 * out[v]] += y ? x[v] * y[v] : x[v];
        } else if (!zero) {
            add(0, N);
        } else {
            for (std::uint64_t b = 0; b < N / Z; ++b)
                if (!(zero[b / 64] >> (b % 64) & 1))
                    add(b * Z, b * Z + Z);
        }
        double total = 0.0;
        for (std::size_t o = 0; o < K; ++o) {
            mass[o] = (mass[4 * o] + mass[4 * o + 1]) + (mass[4 * o + 2] + mass[4 * o + 3]);
            total += mass[o];
        }
        double* row = &r.probs[p * K];
        for (std::size_t i = 0; i < K; ++i)
            row[i] = mass[i] / total;
        // Bounded by the prior's entropy in exact arithmetic; the bound keeps
        // rounding from making information negative.
        const double h = y ? posterior_entropy<true>(x, y, N, total, zero, Z)
                           : posterior_entropy<false>(x, y, N, total, zero, Z);
        r.entropy[p] = std::min(h, reduced_null) + couple_entropy;
    };
    if (M == 0) {
        for (std::size_t p = 0; p < pos.size(); ++p) {
            std::copy(k.nullprob.begin(), k.nullprob.end(), &r.probs[p * K]);
            r.entropy[p] = r.null_entropy;
        }
        return r;
    }

    // How each marker's likelihood is kept between the passes.
    enum class kept : std::uint8_t { flat, coded, recomputed };
    std::vector<kept> how(M, kept::flat);
    std::vector<std::size_t> table_at(M, 0), code_at(M, 0);
    std::vector<double> table;
    // Per varying marker, its blocks of vectors that it rules out whole.
    const std::uint64_t blocks = N / Z;
    std::vector<std::vector<std::uint64_t>> zero(M);
    auto ruled_out = [&](int j, std::uint64_t b) { return !zero[j].empty() && (zero[j][b / 64] >> (b % 64) & 1); };

    brell::worker_pool* pool = opt.pool && opt.pool->size() > 1 && k.bits >= parallel_bits ? opt.pool : nullptr;
    const detail::transition_plan plan(N, k.masks, k.couples);
    auto transition = [&](const double* in, double* out, double theta) { plan.apply(in, out, theta, pool); };
    // Element by element over [0, n) on every thread: the bits never depend on how it is cut.
    auto each_part = [&](std::uint64_t n, const auto& job) {
        if (!pool) {
            job(std::uint64_t{0}, n);
            return;
        }
        const int T = pool->size();
        pool->run([&](int t) { job(n * static_cast<std::uint64_t>(t) / T, n * static_cast<std::uint64_t>(t + 1) / T); });
    };

    // Memory: the vectors it cannot do without, then forward vectors kept
    // (slots), then coded likelihoods, within opt.memory when given.
    bool between = false;
    for (const auto& pl : place)
        between = between || pl.first % 2 == 0;
    const std::uint64_t vec = N * sizeof(double);
    const std::uint64_t fixed = N * sizeof(std::uint32_t) + 2 * vec + (between ? 2 * vec : 0);
    const std::uint64_t room = opt.memory ? (opt.memory > fixed ? opt.memory - fixed : 0) : UINT64_MAX;
    const int least = std::min(M, 2);
    if (room / vec < static_cast<std::uint64_t>(least))
        throw std::length_error("family " + f.id + ": " + std::to_string(k.bits) + " bits need " +
                                std::to_string((fixed + least * vec + (1u << 20) - 1) >> 20) +
                                " MiB at least");
    int slots;
    if (opt.segment > 0) {
        slots = std::min(M, opt.segment + (M - 1) / opt.segment);
    } else {
        const std::uint64_t want = std::min(room, std::max(lean_bytes, 6 * vec)) / vec;
        slots = static_cast<int>(std::min<std::uint64_t>(M, std::max<std::uint64_t>(least, want)));
        if (static_cast<std::uint64_t>(M) * N <= cache_doubles)
            slots = M;
        else
            for (int d = 1; d < M; ++d)  // the fewest slots for the fewest passes
                if (reach(slots - 1, d) >= static_cast<std::uint64_t>(M)) {
                    while (slots > least && reach(slots - 2, d) >= static_cast<std::uint64_t>(M))
                        --slots;
                    break;
                }
    }
    const std::uint64_t code_room =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(M) * N, opt.memory ? room - slots * vec : UINT64_MAX) / N * N;

    thread_local workspace ws;
    struct trim_at_exit {
        workspace& w;
        ~trim_at_exit() { w.trim(); }
    } trim{ws};
    double* slot_mem = ws.get<double>(slot_buf, std::size_t(slots) * N);
    auto slot = [&](int i) { return slot_mem + std::size_t(i) * N; };
    std::uint8_t* code = ws.get<std::uint8_t>(code_buf, code_room);
    std::uint64_t code_used = 0;
    double* e = ws.get<double>(e_buf, N);
    double* g = ws.get<double>(g_buf, N);
    double* left = between ? ws.get<double>(left_buf, N) : nullptr;
    double* right = between ? ws.get<double>(right_buf, N) : nullptr;
    detail::marker_likelihood lik(k);
    std::optional<detail::cluster_likelihood> clik;
    auto cluster_of = [&](int j) { return loc[j].cluster < 0 ? nullptr : &cs.list[loc[j].cluster]; };
    // The likelihood of locus j's genotypes for every vector.
    auto compute = [&](int j, double* out) {
        if (const cluster* x = cluster_of(j)) {
            if (!clik)
                clik.emplace(k);
            return clik->compute(f, s, *x, out);
        }
        const int m = loc[j].marker;
        return lik.compute(f, s.markers[m], static_cast<std::size_t>(m), out);
    };
    // A cluster is known by its first marker.
    auto key = [&](int j) { return loc[j].cluster < 0 ? loc[j].marker : cs.list[loc[j].cluster].markers.front(); };

    // e_j into e, unless flat or coded (coded ones are read in place) or there already.
    int in_e = -1;
    auto likelihood = [&](int j) {
        if (how[j] == kept::recomputed && in_e != j) {
            compute(j, e);
            in_e = j;
        }
    };
    // Calls job(from, to, value) over the stretches of vectors that marker j
    // may allow, in order; value(v) is its likelihood. Ruled-out blocks go
    // to none(from, to) instead, when the sparse path may skip them.
    auto over = [&](int j, bool sparse, const auto& job, const auto& none) {
        const bool skip = sparse && opt.sparse && !zero[j].empty();
        auto run = [&](std::uint64_t from, std::uint64_t to) {
            if (how[j] == kept::coded) {
                const std::uint8_t* cj = &code[code_at[j]];
                const double* t = &table[table_at[j]];
                job(from, to, [cj, t](std::uint64_t v) { return t[cj[v]]; });
            } else {
                job(from, to, [e](std::uint64_t v) { return e[v]; });
            }
        };
        if (!skip) {
            run(0, N);
            return;
        }
        for (std::uint64_t b = 0; b < blocks;) {
            std::uint64_t c2 = b;
            const bool out = ruled_out(j, b);
            while (c2 < blocks && ruled_out(j, c2) == out)
                ++c2;
            if (out)
                none(b * Z, c2 * Z);
            else
                run(b * Z, c2 * Z);
            b = c2;
        }
    };

    // alpha_j = T alpha_{j-1} * e_j, scaled to sum 1, from `prev` into a
    // (prev may be a). Returns false when that product is 0 everywhere
    // (alpha_j is then T alpha_{j-1} alone).
    auto step_forward = [&](int j, const double* prev, double* a) {
        if (j == 0)
            each_part(N, [&](std::uint64_t lo, std::uint64_t hi) { std::fill(a + lo, a + hi, 1.0 / double(N)); });
        else
            transition(prev, a, haldane(cm(j) - cm(j - 1)));
        if (how[j] == kept::flat)
            return true;
        likelihood(j);
        double sum = 0.0;
        over(
            j, true,
            [&](std::uint64_t from, std::uint64_t to, auto ej) {
                for (std::uint64_t v = from; v < to; ++v)
                    sum += a[v] * ej(v);
            },
            [](std::uint64_t, std::uint64_t) {});
        if (sum == 0.0)
            return false;
        const double inv = 1.0 / sum;
        // A ruled-out vector comes out +0 either way while inv is finite.
        const bool sparse = std::isfinite(inv);
        each_part(blocks, [&](std::uint64_t lo, std::uint64_t hi) {
            auto scale = [&](std::uint64_t from, std::uint64_t to, auto ej) {
                for (std::uint64_t v = std::max(from, lo * Z); v < std::min(to, hi * Z); ++v)
                    a[v] = a[v] * ej(v) * inv;
            };
            auto clear = [&](std::uint64_t from, std::uint64_t to) {
                if (std::max(from, lo * Z) < std::min(to, hi * Z))
                    std::fill(a + std::max(from, lo * Z), a + std::min(to, hi * Z), 0.0);
            };
            over(j, sparse, scale, clear);
        });
        return true;
    };

    // The person an inconsistency at marker j is blamed on: the first, in
    // pedigree file order, whose genotype with those before leaves no vector
    // possible (weighed by `prior`, the data before j, when the marker fails
    // only jointly with others at its position). Only on the way to an error.
    auto blame = [&](int j, const double* prior) {
        const std::size_t n = f.persons.size();
        // The locus's markers alone, in a study of their own.
        const cluster* x = cluster_of(j);
        const std::vector<int> ms = x ? x->markers : std::vector<int>{loc[j].marker};
        study own;
        for (int m : ms)
            own.markers.push_back(s.markers[m]);
        std::optional<cluster> renumbered;
        if (x) {
            renumbered = *x;
            for (std::size_t i = 0; i < ms.size(); ++i)
                renumbered->markers[i] = static_cast<int>(i);
        }
        family first;
        first.id = f.id;
        first.persons = f.persons;
        std::vector<double> em(N);
        auto impossible = [&](std::size_t count) {
            first.geno.assign(ms.size() * n, genotype{});
            for (std::size_t q = 0; q < ms.size(); ++q)
                for (std::size_t i = 0; i < count; ++i)
                    first.at(q, i) = f.at(ms[q], i);
            const detail::shape sh = x ? clik->compute(first, own, *renumbered, em.data())
                                       : lik.compute(first, own.markers[0], 0, em.data());
            if (sh != detail::shape::varying)
                return sh == detail::shape::impossible;
            double sum = 0.0;
            for (std::uint64_t v = 0; prior && v < N; ++v)
                sum += prior[v] * em[v];
            return prior && sum == 0.0;
        };
        std::size_t lo = 1, hi = n;  // impossible(hi) holds
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (impossible(mid))
                hi = mid;
            else
                lo = mid + 1;
        }
        r.inconsistent.push_back(key(j));
        r.blamed.push_back(static_cast<int>(hi - 1));
    };

    // The first forward pass: each marker's likelihood computed, coded where
    // it can be, inconsistencies found. It keeps alpha_0 in slot 0 and the
    // top level's checkpoints; the rest go through g, free until the backward pass.
    struct part {
        int from, to;
    };
    // Parts of [lo, hi) for `free` slots beyond its first vector's: the first
    // `free` + 1 markers, or parts each `depth` - 1 deep.
    auto split = [&](int lo, int hi, int free) {
        std::vector<part> parts;
        const int n = hi - lo;
        if (opt.segment > 0 && lo == 0 && hi == M) {
            for (int x = 0; x < M; x += opt.segment)
                parts.push_back({x, std::min(M, x + opt.segment)});
            return parts;
        }
        if (n - 1 <= free) {
            parts.push_back({lo, hi});
            return parts;
        }
        int depth = 2;
        while (reach(free, depth) < static_cast<std::uint64_t>(n))
            ++depth;
        for (int q = 0, x = lo; x < hi; ++q) {
            const int size = static_cast<int>(std::min<std::uint64_t>(
                reach(q == 0 ? free : free - q, depth - 1), static_cast<std::uint64_t>(hi - x)));
            parts.push_back({x, x + size});
            x += size;
        }
        return parts;
    };
    const std::vector<part> top = split(0, M, slots - 1);
    auto ignored = [&](int j) {
        const cluster* x = cluster_of(j);
        if (!x)
            return std::binary_search(ignore.begin(), ignore.end(), loc[j].marker);
        return std::any_of(x->markers.begin(), x->markers.end(),
                           [&](int m) { return std::binary_search(ignore.begin(), ignore.end(), m); });
    };
    double* prev_here = nullptr;
    for (int j = 0, q = 0; j < M; ++j) {
        if (!ignored(j)) {
            const detail::shape sh = compute(j, e);
            in_e = j;
            if (sh == detail::shape::varying) {
                how[j] = kept::recomputed;
                table_at[j] = table.size();
                code_at[j] = code_used;
                if (code_used < code_room && encode(e, N, &code[code_used], table)) {
                    how[j] = kept::coded;
                    code_used += N;
                }
                zero[j].assign((blocks + 63) / 64, 0);
                bool any = false;
                for (std::uint64_t b = 0; b < blocks; ++b) {
                    const double* x = e + b * Z;
                    if (std::all_of(x, x + Z, [](double y) { return y == 0.0; })) {
                        zero[j][b / 64] |= std::uint64_t{1} << (b % 64);
                        any = true;
                    }
                }
                if (!any)
                    zero[j].clear();
            }
            if (sh == detail::shape::impossible)
                blame(j, nullptr);
        }
        // Where alpha_j goes: every one in its slot, or slot 0 and the
        // checkpoints in theirs and the rest through g.
        while (q + 1 < static_cast<int>(top.size()) && top[q + 1].from <= j)
            ++q;
        double* here = top.size() == 1 ? slot(j) : j == top[q].from ? slot(q) : g;
        double* prev = prev_here;
        prev_here = here;
        if (!step_forward(j, prev, here)) {
            blame(j, here);
            how[j] = kept::flat;
            zero[j].clear();
            step_forward(j, prev, here);
        }
    }

    // Backward: g holds beta_j (the data after marker j), then e_j * beta_j.
    auto visit = [&](int j, const double* a) {
        if (j == M - 1) {
            for (std::size_t p : at_place(2 * M)) {
                transition(a, left, haldane(pos[p].cm - cm(M - 1)));
                record(p, left, nullptr, nullptr);
            }
            each_part(N, [&](std::uint64_t lo, std::uint64_t hi) { std::fill(g + lo, g + hi, 1.0 / double(N)); });
        } else {
            for (std::size_t p : at_place(2 * j + 2)) {
                transition(a, left, haldane(pos[p].cm - cm(j)));
                transition(g, right, haldane(cm(j + 1) - pos[p].cm));
                record(p, left, right, nullptr);
            }
            transition(g, g, haldane(cm(j + 1) - cm(j)));
        }
        for (std::size_t p : at_place(2 * j + 1))
            record(p, a, g, how[j] != kept::flat && opt.sparse && !zero[j].empty() ? zero[j].data() : nullptr);
        if (how[j] != kept::flat) {
            likelihood(j);
            double sum = 0.0;
            over(
                j, true,
                [&](std::uint64_t from, std::uint64_t to, auto ej) {
                    for (std::uint64_t v = from; v < to; ++v) {
                        g[v] *= ej(v);
                        sum += g[v];
                    }
                },
                [&](std::uint64_t from, std::uint64_t to) { std::fill(g + from, g + to, 0.0); });
            const double inv = 1.0 / sum;
            const bool sparse = std::isfinite(inv);
            each_part(blocks, [&](std::uint64_t lo, std::uint64_t hi) {
                for (std::uint64_t b = lo; b < hi; ++b)
                    if (!sparse || !opt.sparse || !ruled_out(j, b))
                        for (std::uint64_t v = b * Z; v < b * Z + Z; ++v)
                            g[v] *= inv;
            });
        }
    };

    // Visits [lo, hi) from the last marker down with alpha_lo in `base` and
    // the slots `free` to spare; `ready`: the top level, whose checkpoints
    // the first pass has made.
    auto descend = [&](auto& self, int lo, int hi, int base, std::vector<int> free, bool ready) -> void {
        const std::vector<part> parts = split(lo, hi, static_cast<int>(free.size()));
        if (parts.size() == 1) {  // every vector of the range at once
            for (int j = lo + 1; j < hi && !ready; ++j)
                step_forward(j, j - 1 == lo ? slot(base) : slot(free[j - lo - 2]), slot(free[j - lo - 1]));
            for (int j = hi - 1; j > lo; --j)
                visit(j, slot(ready ? j : free[j - lo - 1]));
            visit(lo, slot(base));
            return;
        }
        // Checkpoints at the parts' first markers.
        const int P = static_cast<int>(parts.size());
        if (!ready) {
            const double* at = slot(base);
            for (int q = 1; q < P; ++q) {
                double* to = slot(free[q - 1]);
                for (int j = parts[q - 1].from + 1; j <= parts[q].from; ++j)
                    step_forward(j, j == parts[q - 1].from + 1 ? at : to, to);
                at = to;
            }
        }
        for (int q = P - 1; q >= 0; --q)
            self(self, parts[q].from, parts[q].to, q == 0 ? base : free[q - 1],
                 std::vector<int>(free.begin() + q, free.end()), false);
    };
    std::vector<int> rest;
    for (int i = 1; i < slots; ++i)
        rest.push_back(i);
    descend(descend, 0, M, 0, rest, true);
    for (std::size_t p : at_place(0)) {
        transition(g, left, haldane(cm(0) - pos[p].cm));
        record(p, left, nullptr, nullptr);
    }
    return r;
}

}  // namespace linkage
