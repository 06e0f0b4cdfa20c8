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

// Masks in one pass or two at a time (distinct top bits, neither of them the
// lowest bit), over [from, to): the first pass reads src.
void passes(const double* src, double* x, std::uint64_t from, std::uint64_t to, const std::uint32_t* m, int count,
            double t)
{
    for (int i = 0; i < count; src = x) {
        if (i + 1 < count && m[i] > 1 && m[i + 1] > 1 && top(m[i]) != top(m[i + 1])) {
            const bool first_higher = top(m[i]) > top(m[i + 1]);
            pass2(src, x, from, to, first_higher ? m[i] : m[i + 1], first_higher ? m[i + 1] : m[i], t);
            i += 2;
        } else {
            pass(src, x, from, to, m[i], t);
            i += 1;
        }
    }
}

}  // namespace

void transition(const double* in, double* x, std::uint64_t n, const std::vector<std::uint32_t>& masks, double theta)
{
    if (theta == 0.0 || masks.empty() || n == 1) {
        if (in != x)
            std::copy_n(in, n, x);
        return;
    }
    const std::uint64_t b = std::min(n, block);
    std::uint32_t low[64], high[64];  // at most two per vector bit
    int nlow = 0, nhigh = 0;
    for (std::uint32_t m : masks)
        (m < b ? low[nlow++] : high[nhigh++]) = m;
    if (nlow > 0) {
        for (std::uint64_t from = 0; from < n; from += b)
            passes(in, x, from, from + b, low, nlow, theta);
        in = x;
    }
    passes(in, x, 0, n, high, nhigh, theta);
}

void transition(double* x, std::uint64_t n, const std::vector<std::uint32_t>& masks, double theta)
{
    transition(x, x, n, masks, theta);
}

}  // namespace linkage::detail
