// Multipoint posterior of the inheritance vectors along a chromosome: the
// forward-backward algorithm of the Lander-Green hidden Markov model.
#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <stdexcept>

#include "ibd_detail.h"

namespace linkage {

double haldane(double d) { return -0.5 * std::expm1(-d / 50.0); }

double entropy(const double* p, std::size_t n)
{
    double h = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] > 0.0)
            h -= p[i] * std::log(p[i]);
    return h;
}

std::vector<position> positions(const study& s, const chromosome& c, double step)
{
    std::vector<position> out;
    if (c.markers.empty())
        return out;
    const double first = s.markers[c.markers.front()].cm;
    const double last = s.markers[c.markers.back()].cm;
    // Multiples of step, not sums of it: no drift along a long chromosome.
    std::vector<double> grid;
    if (step > 0.0)
        for (double k = std::floor(first / step); k * step < last; k += 1.0)
            if (k * step > first)
                grid.push_back(k * step);
    std::size_t g = 0;
    for (int m : c.markers) {
        const double x = s.markers[m].cm;
        for (; g < grid.size() && grid[g] <= x; ++g)
            if (grid[g] < x)
                out.push_back({grid[g], -1});
        out.push_back({x, m});
    }
    return out;
}

namespace {

// Forward vectors kept whole up to this size; above it, at checkpoints only.
constexpr double full_storage_bytes = 64.0 * 1024 * 1024;

// Vectors reused from one call to the next on a thread: fresh memory costs
// page faults and zeroing comparable to the work on a small kindred. Larger
// ones are given back after the call.
class workspace {
public:
    double* get(int which, std::size_t n)
    {
        buffer& b = buf_[which];
        if (b.size < n) {
            b.data.reset(new double[n]);
            b.size = n;
        }
        return b.data.get();
    }
    void trim()
    {
        for (buffer& b : buf_)
            if (b.size * sizeof(double) > 16u * 1024 * 1024) {
                b.data.reset();
                b.size = 0;
            }
    }

private:
    struct buffer {
        std::unique_ptr<double[]> data;
        std::size_t size = 0;
    };
    buffer buf_[6];
};
enum { alpha_buf, e_buf, checkpoint_buf, g_buf, left_buf, right_buf };

double scale_to_one(double* x, std::uint64_t n)
{
    double sum = 0.0;
    for (std::uint64_t v = 0; v < n; ++v)
        sum += x[v];
    const double inv = 1.0 / sum;
    for (std::uint64_t v = 0; v < n; ++v)
        x[v] *= inv;
    return sum;
}

}  // namespace

ibd_result multipoint(const kindred& k, const family& f, const study& s, const chromosome& c,
                      const std::vector<position>& pos, const std::vector<int>& ignore, int segment)
{
    const std::size_t K = k.score.size();
    const std::uint64_t N = k.vectors();
    const int M = static_cast<int>(c.markers.size());
    ibd_result r;
    r.probs.assign(pos.size() * K, 0.0);
    r.entropy.assign(pos.size(), 0.0);
    r.null_entropy = entropy(k.nullprob.data(), K);

    // Where each position falls: at marker j, between j and j + 1, or outside.
    std::vector<int> slot(s.markers.size(), -1);
    for (int j = 0; j < M; ++j)
        slot[c.markers[j]] = j;
    std::vector<double> cms(M);
    for (int j = 0; j < M; ++j)
        cms[j] = s.markers[c.markers[j]].cm;
    auto cm = [&](int j) { return cms[j]; };
    std::vector<std::vector<std::size_t>> at(M), between(M);
    std::vector<std::size_t> before;
    for (std::size_t p = 0; p < pos.size(); ++p) {
        const position& x = pos[p];
        if (x.marker >= 0) {
            if (static_cast<std::size_t>(x.marker) >= slot.size() || slot[x.marker] < 0)
                throw std::invalid_argument("multipoint: a position's marker is not on the chromosome");
            at[slot[x.marker]].push_back(p);
            continue;
        }
        const int j = static_cast<int>(std::upper_bound(cms.begin(), cms.end(), x.cm) - cms.begin()) - 1;
        (j < 0 ? before : between[j]).push_back(p);
    }

    std::vector<double> mass(K);
    auto record = [&](std::size_t p, const double* x, const double* y) {
        std::fill(mass.begin(), mass.end(), 0.0);
        for (std::uint64_t v = 0; v < N; ++v)
            mass[k.outcome[v]] += y ? x[v] * y[v] : x[v];
        double total = 0.0;
        for (double m : mass)
            total += m;
        double* row = &r.probs[p * K];
        for (std::size_t i = 0; i < K; ++i)
            row[i] = mass[i] / total;
        r.entropy[p] = entropy(row, K);
    };
    if (M == 0) {
        for (std::size_t p = 0; p < pos.size(); ++p) {
            std::copy(k.nullprob.begin(), k.nullprob.end(), &r.probs[p * K]);
            r.entropy[p] = r.null_entropy;
        }
        return r;
    }

    // Forward vectors are stored for one segment of markers at a time, and at
    // the first marker of every segment; the backward pass recomputes a
    // segment from its checkpoint, with the same operations, so to the bit.
    int seg = segment > 0 ? segment : M;
    if (segment <= 0 && double(M) * double(N) * 16.0 > full_storage_bytes)
        seg = std::max(1, static_cast<int>(std::ceil(std::sqrt(M / 2.0))));
    seg = std::min(seg, M);
    const int nseg = (M + seg - 1) / seg;
    thread_local workspace ws;
    struct trim_at_exit {
        workspace& w;
        ~trim_at_exit() { w.trim(); }
    } trim{ws};
    double* alpha = ws.get(alpha_buf, std::size_t(seg) * N);
    double* ev = ws.get(e_buf, std::size_t(seg) * N);
    double* checkpoint = nseg > 1 ? ws.get(checkpoint_buf, std::size_t(nseg) * N) : nullptr;
    std::vector<char> use(M, 0);  // the marker's likelihood enters the product
    detail::marker_likelihood lik(k);
    auto A = [&](int j) { return &alpha[std::size_t(j % seg) * N]; };
    auto E = [&](int j) { return &ev[std::size_t(j % seg) * N]; };

    // alpha_j = T alpha_{j-1} * e_j, scaled to sum 1. Returns false when that
    // product is 0 everywhere (alpha_j is then T alpha_{j-1} alone).
    auto step_forward = [&](int j) {
        double* a = A(j);
        if (j == 0) {
            std::fill_n(a, N, 1.0 / double(N));
        } else {
            std::copy_n(A(j - 1), N, a);
            detail::transition(a, N, k.masks, haldane(cm(j) - cm(j - 1)));
        }
        if (!use[j])
            return true;
        const double* e = E(j);
        double sum = 0.0;
        for (std::uint64_t v = 0; v < N; ++v)
            sum += a[v] * e[v];
        if (sum == 0.0)
            return false;
        const double inv = 1.0 / sum;
        for (std::uint64_t v = 0; v < N; ++v)
            a[v] = a[v] * e[v] * inv;
        return true;
    };

    for (int j = 0; j < M; ++j) {
        const int m = c.markers[j];
        if (!std::binary_search(ignore.begin(), ignore.end(), m)) {
            const detail::shape sh = lik.compute(f, s.markers[m], m, E(j));
            use[j] = sh == detail::shape::varying;
            if (sh == detail::shape::impossible)
                r.inconsistent.push_back(m);
        }
        if (!step_forward(j)) {
            r.inconsistent.push_back(m);
            use[j] = 0;
            step_forward(j);
        }
        if (nseg > 1 && j % seg == 0)
            std::copy_n(A(j), N, &checkpoint[std::size_t(j / seg) * N]);
    }

    // Backward: g holds beta_j (the data after marker j), then e_j * beta_j.
    double* g = ws.get(g_buf, N);
    double* left = ws.get(left_buf, N);
    double* right = ws.get(right_buf, N);
    for (std::size_t p : between[M - 1]) {
        std::copy_n(A(M - 1), N, left);
        detail::transition(left, N, k.masks, haldane(pos[p].cm - cm(M - 1)));
        record(p, left, nullptr);
    }
    int loaded = nseg - 1;
    for (int j = M - 1; j >= 0; --j) {
        if (j / seg != loaded) {
            loaded = j / seg;
            const int from = loaded * seg;
            std::copy_n(&checkpoint[std::size_t(loaded) * N], N, A(from));
            for (int i = from + 1; i < std::min(M, from + seg); ++i) {
                if (use[i])
                    lik.compute(f, s.markers[c.markers[i]], c.markers[i], E(i));
                step_forward(i);
            }
            if (use[from])
                lik.compute(f, s.markers[c.markers[from]], c.markers[from], E(from));
        }
        if (j == M - 1) {
            std::fill_n(g, N, 1.0 / double(N));
        } else {
            for (std::size_t p : between[j]) {
                std::copy_n(A(j), N, left);
                detail::transition(left, N, k.masks, haldane(pos[p].cm - cm(j)));
                std::copy_n(g, N, right);
                detail::transition(right, N, k.masks, haldane(cm(j + 1) - pos[p].cm));
                record(p, left, right);
            }
            detail::transition(g, N, k.masks, haldane(cm(j + 1) - cm(j)));
        }
        for (std::size_t p : at[j])
            record(p, A(j), g);
        if (use[j]) {
            const double* e = E(j);
            for (std::uint64_t v = 0; v < N; ++v)
                g[v] *= e[v];
            scale_to_one(g, N);
        }
    }
    for (std::size_t p : before) {
        std::copy_n(g, N, left);
        detail::transition(left, N, k.masks, haldane(cm(0) - pos[p].cm));
        record(p, left, nullptr);
    }
    return r;
}

}  // namespace linkage
