// Recombination between two loci: the Kronecker product over meioses of
// [[1 - theta, theta], [theta, 1 - theta]], one in-place butterfly per meiosis
// on the vector bits that its recombination flips.
//
// A pair (a, b) becomes (a + d, b - d) with d = theta (b - a): one product,
// and both results keep their relative precision since theta <= 1/2. Pairs
// are handled two doubles at a time (plain vector arithmetic: the same
// operations as scalar code, so the same bits on any machine). Meioses on low
// bits are all applied to one cache-sized block before the next, and two
// meioses share each pass over the data.
#include <algorithm>
#include <bit>
#include <cstring>

#include "brell.h"
#include "ibd_detail.h"

namespace linkage::detail {

namespace {

typedef double v2d __attribute__((vector_size(16)));

inline v2d load(const double* p)
{
    v2d v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store(double* p, v2d v) { std::memcpy(p, &v, sizeof v); }
inline v2d swapped(v2d v) { return v2d{v[1], v[0]}; }
inline v2d maybe_swapped(v2d v, bool s) { return s ? swapped(v) : v; }

constexpr std::uint64_t block = std::uint64_t{1} << 13;  // doubles: 64 KiB

inline std::uint64_t top(std::uint32_t mask) { return std::uint64_t{1} << (31 - std::countl_zero(mask)); }

// One meiosis over [from, to), a range aligned to twice its top bit, from
// src (which may be x) into x.
void pass(const double* src, double* x, std::uint64_t from, std::uint64_t to, std::uint32_t mask, double t)
{
    const v2d T = {t, t};
    const std::uint64_t half = top(mask);
    if (half == 1) {  // partners side by side
        for (std::uint64_t i = from; i < to; i += 2) {
            const v2d a = load(src + i);
            store(x + i, a + T * (swapped(a) - a));
        }
        return;
    }
    // For an even i, the partners of i and i + 1 are j and j + 1, or j + 1 and j.
    const std::uint32_t even = mask & ~1u;
    const bool s = mask & 1u;
    for (std::uint64_t base = from; base < to; base += 2 * half)
        for (std::uint64_t i = base; i < base + half; i += 2) {
            const std::uint64_t j = i ^ even;
            const v2d a = load(src + i), b = maybe_swapped(load(src + j), s);
            const v2d d = T * (b - a);
            store(x + i, a + d);
            store(x + j, maybe_swapped(b - d, s));
        }
}

// Two meioses with distinct top bits (m1's the higher) in one pass: each
// group {i, i^m1, i^m2, i^m1^m2} gets m1's butterflies and then m2's, as two
// passes would do.
void pass2(const double* src, double* x, std::uint64_t from, std::uint64_t to, std::uint32_t m1, std::uint32_t m2,
           double t)
{
    const v2d T = {t, t};
    const std::uint64_t h1 = top(m1), h2 = top(m2);
    const std::uint32_t e1 = m1 & ~1u, e2 = m2 & ~1u;
    const bool s1 = m1 & 1u, s2 = m2 & 1u, s12 = s1 != s2;
    for (std::uint64_t a = from; a < to; a += 2 * h1)
        for (std::uint64_t c = a; c < a + h1; c += 2 * h2)
            for (std::uint64_t i = c; i < c + h2; i += 2) {
                const std::uint64_t i1 = i ^ e1, i2 = i ^ e2, i3 = i ^ e1 ^ e2;
                v2d v0 = load(src + i), v1 = maybe_swapped(load(src + i1), s1);
                v2d v2 = maybe_swapped(load(src + i2), s2), v3 = maybe_swapped(load(src + i3), s12);
                const v2d d01 = T * (v1 - v0), d23 = T * (v3 - v2);
                const v2d w0 = v0 + d01, w1 = v1 - d01, w2 = v2 + d23, w3 = v3 - d23;
                const v2d d02 = T * (w2 - w0), d13 = T * (w3 - w1);
                v0 = w0 + d02;
                v2 = w2 - d02;
                v1 = w1 + d13;
                v3 = w3 - d13;
                store(x + i, v0);
                store(x + i1, maybe_swapped(v1, s1));
                store(x + i2, maybe_swapped(v2, s2));
                store(x + i3, maybe_swapped(v3, s12));
            }
}

// Masks as the passes take them: two at a time where their top bits differ
// and neither is the lowest bit, the higher one first. Every element sees
// the same operations in the same order however the work is cut up.
std::vector<step> steps_of(const std::uint32_t* m, int count)
{
    std::vector<step> out;
    for (int i = 0; i < count;) {
        if (i + 1 < count && m[i] > 1 && m[i + 1] > 1 && top(m[i]) != top(m[i + 1])) {
            const bool first_higher = top(m[i]) > top(m[i + 1]);
            out.push_back({first_higher ? m[i] : m[i + 1], first_higher ? m[i + 1] : m[i]});
            i += 2;
        } else {
            out.push_back({m[i], 0});
            i += 1;
        }
    }
    return out;
}

void run_step(const double* src, double* x, std::uint64_t from, std::uint64_t to, const step& s, double t)
{
    if (s.m2)
        pass2(src, x, from, to, s.m1, s.m2, t);
    else
        pass(src, x, from, to, s.m1, t);
}

// The bits of x where mask is set, packed to the bottom.
std::uint64_t packed(std::uint64_t x, std::uint64_t mask)
{
    std::uint64_t out = 0;
    for (int to = 0; mask; mask &= mask - 1, ++to)
        out |= (x >> std::countr_zero(mask) & 1) << to;
    return out;
}

// A cache-sized block of the later stages: 2^17 doubles, 1 MiB.
constexpr int stage_bits = 17;

}  // namespace

transition_plan::transition_plan(std::uint64_t n, const std::vector<std::uint32_t>& masks) : n_(n)
{
    if (masks.empty() || n <= 1)
        return;
    // Meioses on low bits go first, block by block in a fast cache; the
    // others after them, in blocks of the bits they touch.
    const std::uint64_t b = std::min(n, block);
    std::vector<std::uint32_t> low, high;
    for (std::uint32_t m : masks)
        (m < b ? low : high).push_back(m);
    low_ = steps_of(low.data(), static_cast<int>(low.size()));
    const std::vector<step> hs = steps_of(high.data(), static_cast<int>(high.size()));
    const int nbits = std::countr_zero(n);
    for (std::size_t i = 0; i < hs.size();) {
        stage st;
        std::uint64_t touched = 0;
        std::size_t j = i;
        for (; j < hs.size(); ++j) {
            const std::uint64_t t = touched | hs[j].m1 | hs[j].m2;
            if (j > i && std::popcount(t) > stage_bits - 1)
                break;
            touched = t;
        }
        // Contiguous runs of the lowest bits make the blocks' reads stream.
        int runs = stage_bits - std::popcount(touched);
        std::uint64_t span = touched;
        for (int bit = 0; bit < nbits && runs > 0; ++bit)
            if (!(span >> bit & 1)) {
                span |= std::uint64_t{1} << bit;
                --runs;
            }
        span |= 1;
        st.span = span;
        st.run = std::countr_one(span);
        // Within a block gathered into one buffer the meioses act on the
        // span's bits packed together: the same pairs, the same order.
        for (std::size_t t = i; t < j; ++t)
            st.steps.push_back({static_cast<std::uint32_t>(packed(hs[t].m1, span)),
                                static_cast<std::uint32_t>(packed(hs[t].m2, span))});
        stages_.push_back(std::move(st));
        i = j;
    }
}

void transition_plan::apply(const double* in, double* x, double theta, brell::worker_pool* pool) const
{
    if (theta == 0.0 || (low_.empty() && stages_.empty()) || n_ == 1) {
        if (in != x)
            std::copy_n(in, n_, x);
        return;
    }
    const int threads = pool ? pool->size() : 1;
    auto share = [&](std::uint64_t count, const auto& job) {
        if (threads == 1 || count < 2) {
            job(0, count);
            return;
        }
        pool->run([&](int t) {
            job(count * static_cast<std::uint64_t>(t) / threads, count * static_cast<std::uint64_t>(t + 1) / threads);
        });
    };
    if (!low_.empty()) {
        const std::uint64_t b = std::min(n_, block);
        share(n_ / b, [&](std::uint64_t lo, std::uint64_t hi) {
            for (std::uint64_t blk = lo; blk < hi; ++blk) {
                const double* src = in;
                for (const step& s : low_) {
                    run_step(src, x, blk * b, blk * b + b, s, theta);
                    src = x;
                }
            }
        });
        in = x;
    }
    for (const stage& st : stages_) {
        // Blocks: the indices outside the span, counted as the subsets of
        // its complement; each gathered run by run into a buffer that a
        // cache holds (in place, its power-of-two strides would crowd a few
        // of the cache's sets), worked on, and put back.
        const std::uint64_t outside = (n_ - 1) & ~st.span;
        const std::uint64_t blocks = std::uint64_t{1} << std::popcount(outside);
        const std::uint64_t runs = st.span & ~((std::uint64_t{1} << st.run) - 1);
        const std::uint64_t size = std::uint64_t{1} << std::popcount(st.span), len = std::uint64_t{1} << st.run;
        share(blocks, [&](std::uint64_t lo, std::uint64_t hi) {
            thread_local std::vector<double> buf;
            if (buf.size() < size)
                buf.resize(size);
            double* b = buf.data();
            // The lo-th subset of `outside`, then the next ones in order.
            std::uint64_t base = 0;
            for (std::uint64_t r = lo, bit = 1; r; bit <<= 1)
                if (outside & bit) {
                    if (r & 1)
                        base |= bit;
                    r >>= 1;
                }
            for (std::uint64_t blk = lo; blk < hi; ++blk) {
                for (std::uint64_t sub = 0, at = 0;; sub = (sub - runs) & runs, at += len) {
                    std::copy_n(in + (base | sub), len, b + at);
                    if (sub == runs)
                        break;
                }
                for (const step& s : st.steps)
                    run_step(b, b, 0, size, s, theta);
                for (std::uint64_t sub = 0, at = 0;; sub = (sub - runs) & runs, at += len) {
                    std::copy_n(b + at, len, x + (base | sub));
                    if (sub == runs)
                        break;
                }
                base = (base - outside) & outside;
            }
        });
        in = x;
    }
}

void transition(const double* in, double* x, std::uint64_t n, const std::vector<std::uint32_t>& masks, double theta)
{
    transition_plan(n, masks).apply(in, x, theta, nullptr);
}

void transition(double* x, std::uint64_t n, const std::vector<std::uint32_t>& masks, double theta)
{
    transition(x, x, n, masks, theta);
}

}  // namespace linkage::detail
