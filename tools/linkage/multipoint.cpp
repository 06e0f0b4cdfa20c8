// Multipoint posterior of the inheritance vectors along a chromosome: the
// forward-backward algorithm of the Lander-Green hidden Markov model.
#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <stdexcept>

#include "ibd_detail.h"

namespace linkage {


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

// Forward vectors of a segment of markers are recomputed from its first one
// in the backward pass. A segment fits in a fast cache when it can; the
// checkpoints and the segment take about the square root of the whole.
constexpr std::uint64_t segment_doubles = 32 * 1024;
// Coded likelihood vectors beyond this are computed again instead.
constexpr std::uint64_t code_bytes = 256u << 20;

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
enum { alpha_buf, checkpoint_buf, code_buf, e_buf, g_buf, left_buf, right_buf };

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
    // Positions by place: 0 before the first marker, 2j + 1 at marker j,
    // 2j + 2 between markers j and j + 1 (or after the last).
    std::vector<std::pair<int, std::size_t>> place(pos.size());
    for (std::size_t p = 0; p < pos.size(); ++p) {
        const position& x = pos[p];
        if (x.marker >= 0) {
            if (static_cast<std::size_t>(x.marker) >= slot.size() || slot[x.marker] < 0)
                throw std::invalid_argument("multipoint: a position's marker is not on the chromosome");
            place[p] = {2 * slot[x.marker] + 1, p};
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
    auto record = [&](std::size_t p, const double* x, const double* y) {
        std::fill(mass.begin(), mass.end(), 0.0);
        const std::uint32_t* out = k.outcome.data();
        if (N < 4) {
            for (std::uint64_t v = 0; v < N; ++v)
                mass[4 * out[v]] += y ? x[v] * y[v] : x[v];
        } else if (y) {
            for (std::uint64_t v = 0; v < N; v += 4)
                for (int i = 0; i < 4; ++i)
                    mass[4 * out[v + i] + i] += x[v + i] * y[v + i];
        } else {
            for (std::uint64_t v = 0; v < N; v += 4)
                for (int i = 0; i < 4; ++i)
                    mass[4 * out[v + i] + i] += x[v + i];
        }
        double total = 0.0;
        for (std::size_t o = 0; o < K; ++o) {
            mass[o] = (mass[4 * o] + mass[4 * o + 1]) + (mass[4 * o + 2] + mass[4 * o + 3]);
            total += mass[o];
        }
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

    // How each marker's likelihood is kept between the passes.
    enum class kept : std::uint8_t { flat, coded, recomputed };
    std::vector<kept> how(M, kept::flat);
    std::vector<std::size_t> table_at(M, 0), code_at(M, 0);
    std::vector<double> table;

    int seg = segment > 0 ? segment
                          : static_cast<int>(std::max<std::uint64_t>(
                                segment_doubles / N, static_cast<std::uint64_t>(std::ceil(std::sqrt(M / 2.0)))));
    seg = std::min(seg, M);
    const int nseg = (M + seg - 1) / seg;
    thread_local workspace ws;
    struct trim_at_exit {
        workspace& w;
        ~trim_at_exit() { w.trim(); }
    } trim{ws};
    double* alpha = ws.get<double>(alpha_buf, std::size_t(seg) * N);
    double* checkpoint = nseg > 1 ? ws.get<double>(checkpoint_buf, std::size_t(nseg - 1) * N) : nullptr;
    const std::uint64_t code_room = std::min<std::uint64_t>(std::uint64_t(M) * N, code_bytes) / N * N;
    std::uint8_t* code = ws.get<std::uint8_t>(code_buf, code_room);
    std::uint64_t code_used = 0;
    double* e = ws.get<double>(e_buf, N);
    detail::marker_likelihood lik(k);
    auto A = [&](int j) { return &alpha[std::size_t(j % seg) * N]; };

    // e_j into e, unless flat.
    auto likelihood = [&](int j) {
        if (how[j] == kept::coded) {
            const std::uint8_t* cj = &code[code_at[j]];
            const double* t = &table[table_at[j]];
            for (std::uint64_t v = 0; v < N; ++v)
                e[v] = t[cj[v]];
        } else if (how[j] == kept::recomputed) {
            const int m = c.markers[j];
            lik.compute(f, s.markers[m], m, e);
        }
    };

    // alpha_j = T alpha_{j-1} * e_j, scaled to sum 1. Returns false when that
    // product is 0 everywhere (alpha_j is then T alpha_{j-1} alone).
    auto step_forward = [&](int j) {
        double* a = A(j);
        if (j == 0)
            std::fill_n(a, N, 1.0 / double(N));
        else
            detail::transition(A(j - 1), a, N, k.masks, haldane(cm(j) - cm(j - 1)));
        if (how[j] == kept::flat)
            return true;
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
            const detail::shape sh = lik.compute(f, s.markers[m], m, e);
            if (sh == detail::shape::varying) {
                how[j] = kept::recomputed;
                table_at[j] = table.size();
                code_at[j] = code_used;
                if (code_used < code_room && encode(e, N, &code[code_used], table)) {
                    how[j] = kept::coded;
                    code_used += N;
                }
            }
            if (sh == detail::shape::impossible)
                r.inconsistent.push_back(m);
        }
        if (!step_forward(j)) {
            r.inconsistent.push_back(m);
            how[j] = kept::flat;
            step_forward(j);
        }
        if (j % seg == 0 && j / seg < nseg - 1)
            std::copy_n(A(j), N, &checkpoint[std::size_t(j / seg) * N]);
    }

    // Backward: g holds beta_j (the data after marker j), then e_j * beta_j.
    double* g = ws.get<double>(g_buf, N);
    double* left = ws.get<double>(left_buf, N);
    double* right = ws.get<double>(right_buf, N);
    for (std::size_t p : at_place(2 * M)) {
        detail::transition(A(M - 1), left, N, k.masks, haldane(pos[p].cm - cm(M - 1)));
        record(p, left, nullptr);
    }
    int loaded = nseg - 1;  // the forward pass left the last segment in place
    for (int j = M - 1; j >= 0; --j) {
        if (j / seg != loaded) {
            loaded = j / seg;
            const int from = loaded * seg;
            std::copy_n(&checkpoint[std::size_t(loaded) * N], N, A(from));
            for (int i = from + 1; i < std::min(M, from + seg); ++i) {
                likelihood(i);
                step_forward(i);
            }
        }
        if (j == M - 1) {
            std::fill_n(g, N, 1.0 / double(N));
        } else {
            for (std::size_t p : at_place(2 * j + 2)) {
                detail::transition(A(j), left, N, k.masks, haldane(pos[p].cm - cm(j)));
                detail::transition(g, right, N, k.masks, haldane(cm(j + 1) - pos[p].cm));
                record(p, left, right);
            }
            detail::transition(g, N, k.masks, haldane(cm(j + 1) - cm(j)));
        }
        for (std::size_t p : at_place(2 * j + 1))
            record(p, A(j), g);
        if (how[j] != kept::flat) {
            likelihood(j);
            for (std::uint64_t v = 0; v < N; ++v)
                g[v] *= e[v];
            scale_to_one(g, N);
        }
    }
    for (std::size_t p : at_place(0)) {
        detail::transition(g, left, N, k.masks, haldane(cm(0) - pos[p].cm));
        record(p, left, nullptr);
    }
    return r;
}

}  // namespace linkage
