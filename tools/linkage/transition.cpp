// Recombination between two loci: the Kronecker product over meioses of
// [[1 - theta, theta], [theta, 1 - theta]], one in-place butterfly per meiosis
// on the vector bits that its recombination flips.
//
// A pair (a, b) becomes (a + d, b - d) with d = theta (b - a): one product,
// and both results keep their relative precision since theta <= 1/2. Pairs
// are handled two doubles at a time (plain vector arithmetic: the same
// operations as scalar code, so the same bits on any machine), or four where
// the CPU has AVX2 (the same operations again). Meioses on low
// bits are all applied to one cache-sized block before the next, and two
// meioses share each pass over the data.
#include <algorithm>
#include <bit>
#include <cstring>

#include "brell.h"
#include "ibd_detail.h"

namespace linkage::detail {

namespace {

constexpr std::uint64_t block = std::uint64_t{1} << 13;  // doubles: 64 KiB

inline std::uint64_t top(std::uint32_t mask) { return std::uint64_t{1} << (31 - std::countl_zero(mask)); }

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

// The bits of x where mask is set, packed to the bottom.
std::uint64_t packed(std::uint64_t x, std::uint64_t mask)
{
    std::uint64_t out = 0;
    for (int to = 0; mask; mask &= mask - 1, ++to)
        out |= (x >> std::countr_zero(mask) & 1) << to;
    return out;
}

// pi(v) of a couple: its bit pairs exchanged, its bits flipped.
std::uint64_t partner(std::uint64_t v, const kindred::couple& c)
{
    for (auto [a, b] : c.swap) {
        const std::uint64_t t = (v >> a ^ v >> b) & 1;
        v ^= t << a | t << b;
    }
    return v ^ c.flip;
}

namespace plain {
typedef double vec __attribute__((vector_size(16)));
#define BRELL_LANES 2
#include "transition_kernel.inc"
#undef BRELL_LANES
}  // namespace plain

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace wide {
typedef double vec __attribute__((vector_size(32)));
#define BRELL_LANES 4
#include "transition_kernel.inc"
#undef BRELL_LANES
}  // namespace wide
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

bool whole_lines(std::uint64_t n, const kindred::couple& c)
{
    if (n < 8)
        return false;
    for (auto [a, b] : c.swap)
        if (a < 3 || b < 3)
            return false;
    return true;
}

// A cache-sized block of the later stages: 2^17 doubles, 1 MiB.
constexpr int stage_bits = 17;

}  // namespace

transition_plan::transition_plan(std::uint64_t n, const std::vector<std::uint32_t>& masks,
                                 const std::vector<kindred::couple>& couples, bool wide)
    : n_(n), wide_(wide && n >= 16), couples_(couples)
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
    // The last couple pairs whole blocks when it exchanges no bit within
    // one: block B with the block of pi(B's first), each pair once.
    if (!couples_.empty() && !low_.empty() && n > block &&
        std::all_of(couples_.back().swap.begin(), couples_.back().swap.end(),
                    [](std::pair<int, int> p) { return std::min(p.first, p.second) >= std::countr_zero(block); }))
        for (std::uint64_t one = 0; one < n / block; ++one) {
            const std::uint64_t other = partner(one * block, couples_.back()) / block;
            if (one <= other)
                pairs_.push_back({one, other});
        }
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
    if (theta == 0.0 || (low_.empty() && stages_.empty() && couples_.empty()) || n_ == 1) {
        if (in != x)
            std::copy_n(in, n_, x);
        return;
    }
    const int threads = pool ? pool->size() : 1;
    auto run_step = [this](const double* src, double* out, std::uint64_t from, std::uint64_t to, const step& s,
                           double t) {
        if (wide_)
            wide::run_step(src, out, from, to, s, t);
        else
            plain::run_step(src, out, from, to, s, t);
    };
    auto share = [&](std::uint64_t count, const auto& job) {
        if (threads == 1 || count < 2) {
            job(0, count);
            return;
        }
        pool->run([&](int t) {
            job(count * static_cast<std::uint64_t>(t) / threads, count * static_cast<std::uint64_t>(t + 1) / threads);
        });
    };
    auto couple_pass = [this](const double* src, double* out, std::uint64_t from, std::uint64_t to,
                              const kindred::couple& c, double t, bool lines, int h = -1) {
        if (wide_)
            wide::couple_pass(src, out, from, to, c, t, lines, h);
        else
            plain::couple_pass(src, out, from, to, c, t, lines, h);
    };
    // The last couple's recombination joins the low meioses' pass where it
    // can (pairs_ not empty): blocks are paired by it, the pair done first
    // and then each block's low meioses, as two passes would do.
    const std::size_t apart = couples_.size() - (pairs_.empty() ? 0 : 1);
    for (std::size_t i = 0; i < apart; ++i) {
        const kindred::couple& c = couples_[i];
        const bool lines = whole_lines(n_, c);
        // Each pair once from its line whose highest flipped bit is 0, when
        // that bit is 3 or above: the threads get equal shares (from the
        // lower line, a high flipped bit would leave one thread idle).
        std::uint32_t swapped = 0;
        for (auto [a, b] : c.swap)
            swapped |= std::uint32_t{1} << a | std::uint32_t{1} << b;
        const int h = 31 - std::countl_zero(c.flip);
        if (lines && h >= 3 && !(swapped >> h & 1))
            share(n_ / 16, [&](std::uint64_t lo, std::uint64_t hi) { couple_pass(in, x, lo, hi, c, theta, true, h); });
        else
            share(n_ / (lines ? 8 : 1), [&](std::uint64_t lo, std::uint64_t hi) {
                const std::uint64_t unit = lines ? 8 : 1;
                couple_pass(in, x, lo * unit, hi * unit, c, theta, lines);
            });
        in = x;
    }
    if (!pairs_.empty()) {
        share(pairs_.size(), [&](std::uint64_t lo, std::uint64_t hi) {
            for (std::uint64_t i = lo; i < hi; ++i) {
                const auto [one, other] = pairs_[i];
                couple_pass(in, x, one * block, one * block + block, couples_.back(), theta, true);
                for (std::uint64_t blk : {one, other}) {
                    for (const step& s : low_)
                        run_step(x, x, blk * block, blk * block + block, s, theta);
                    if (other == one)
                        break;
                }
            }
        });
        in = x;
    } else if (!low_.empty()) {
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

bool wide_kernels() { return __builtin_cpu_supports("avx2"); }

void transition(const double* in, double* x, std::uint64_t n, const std::vector<std::uint32_t>& masks, double theta)
{
    transition_plan(n, masks).apply(in, x, theta, nullptr);
}

void transition(double* x, std::uint64_t n, const std::vector<std::uint32_t>& masks, double theta)
{
    transition(x, x, n, masks, theta);
}

}  // namespace linkage::detail
