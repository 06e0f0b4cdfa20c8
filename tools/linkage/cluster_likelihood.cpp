// Cluster likelihood of every inheritance vector.
//
// A genotyped person joins its two founder labels by a relation between
// haplotypes: the pairs that show its genotypes. As bit sets, a relation is a
// row of partners per haplotype (symmetric, so either end reads it the same
// way), the partners being the haplotypes that carry, at every typed marker,
// the allele the genotype leaves over. Parallel edges meet in the
// intersection of their relations, so the graph has one edge per pair of
// labels. Each component is then summed exactly: a tree by messages from the
// leaves, anything else by fixing the haplotype of its busiest label in turn,
// which removes that label, until trees are left. Work goes with the
// haplotypes that fit the genotypes, not with the square of their number.
//
// As in marker_likelihood, the walk assigns members' labels parents first and
// keeps the graph per depth, so an impossible edge rules out its whole block
// of vectors at once.
#include <algorithm>
#include <bit>

#include "cluster_likelihood.h"

namespace linkage::detail {

cluster_likelihood::cluster_likelihood(const kindred& k) : k_(k), single_(k), L_(k.labels)
{
    const std::size_t n = k.members.size();
    walk_layout(k, block_, lab_);
    row_of_.assign(n, -1);
}

bool cluster_likelihood::add(int depth, int l1, int l2, int member)
{
    const level& from = levels_[depth];
    level& g = levels_[depth + 1];
    g.edges = from.edges;
    g.domain = from.domain;
    g.touched = from.touched;
    g.touched[l1] = g.touched[l2] = 1;
    const std::size_t W = W_;
    const word* rel = &partners_[static_cast<std::size_t>(row_of_[member]) * H_ * W];
    word* da = &g.domain[l1 * W];
    if (l1 == l2) {  // inbred: one founder gene on both sides
        word any = 0;
        for (int h = 0; h < H_; ++h)
            if (!(rel[h * W + h / 64] >> (h % 64) & 1))
                da[h / 64] &= ~(word{1} << (h % 64));
        for (std::size_t w = 0; w < W; ++w)
            any |= da[w];
        return any != 0;
    }
    const int a = std::min(l1, l2), b = std::max(l1, l2);
    auto it = std::find_if(g.edges.begin(), g.edges.end(), [&](const edge& x) { return x.a == a && x.b == b; });
    if (it != g.edges.end()) {
        word* joined = g.rel.data();
        for (std::size_t x = 0; x < H_ * W; ++x)
            joined[x] = it->rel[x] & rel[x];
        it->rel = joined;
        rel = joined;
    } else {
        g.edges.push_back({a, b, rel});
    }
    // Only haplotypes with a partner stay possible at either end.
    word* d1 = &g.domain[a * W];
    word* d2 = &g.domain[b * W];
    for (int h = 0; h < H_; ++h) {
        const word* row = &rel[h * W];
        word any = 0;
        for (std::size_t w = 0; w < W; ++w)
            any |= row[w];
        if (!any) {
            d1[h / 64] &= ~(word{1} << (h % 64));
            d2[h / 64] &= ~(word{1} << (h % 64));
        }
    }
    word any1 = 0, any2 = 0;
    for (std::size_t w = 0; w < W; ++w) {
        any1 |= d1[w];
        any2 |= d2[w];
    }
    return any1 && any2;
}

// Sum over a tree component's haplotypes: label[0 .. nodes) are its labels
// with each one's parent (par, in that list) first, ord its edge to it.
double cluster_likelihood::tree(int nodes, const int* label, const int* par, const int* ord, const word* domain)
{
    const std::size_t W = W_;
    const double* f = c_->freq.data();
    double* wt = wt_.data();
    for (int i = 0; i < nodes; ++i) {
        double* x = wt + static_cast<std::size_t>(i) * H_;
        const word* d = &domain[label[i] * W];
        for (std::size_t w = 0; w < W; ++w)
            for (word bits = d[w]; bits; bits &= bits - 1) {
                const std::size_t h = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
                x[h] = f[h];
            }
    }
    // Leaves first: each label's weights, times its children's messages, go
    // up to its parent's.
    for (int i = nodes - 1; i > 0; --i) {
        const int p = par[i];
        const word* rel = edges_[ord[i]].rel;
        const double* x = wt + static_cast<std::size_t>(i) * H_;
        double* y = wt + static_cast<std::size_t>(p) * H_;
        const word* dc = &domain[label[i] * W];
        const word* dp = &domain[label[p] * W];
        for (std::size_t w = 0; w < W; ++w)
            for (word bits = dp[w]; bits; bits &= bits - 1) {
                const std::size_t h = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
                const word* row = &rel[h * W];
                double m = 0.0;
                for (std::size_t v = 0; v < W; ++v)
                    for (word b = row[v] & dc[v]; b; b &= b - 1)
                        m += x[v * 64 + static_cast<std::size_t>(std::countr_zero(b))];
                y[h] *= m;
            }
    }
    double total = 0.0;
    const word* d = &domain[label[0] * W];
    for (std::size_t w = 0; w < W; ++w)
        for (word bits = d[w]; bits; bits &= bits - 1)
            total += wt[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))];
    return total;
}

// Product over the components among label[0 .. nodes) of the sum over their
// haplotypes, each label restricted to its domain (L x W words).
double cluster_likelihood::solve(int nodes, const int* label, const word* domain, int depth)
{
    const std::size_t W = W_;
    const int L = L_;
    int* base = &ints_[static_cast<std::size_t>(depth) * 8 * L];
    int *uf = base, *live = base + L, *comp = base + 2 * L, *degree = base + 3 * L, *rest = base + 4 * L,
        *tlabel = base + 5 * L, *par = base + 6 * L, *ord = base + 7 * L;
    std::fill_n(live, L, 0);
    for (int i = 0; i < nodes; ++i) {
        live[label[i]] = 1;
        uf[label[i]] = label[i];
    }
    auto find = [uf](int x) {
        while (uf[x] != x)
            x = uf[x] = uf[uf[x]];
        return x;
    };
    auto alive = [live](const edge& x) { return live[x.a] && live[x.b]; };
    for (int e = 0; e < E_; ++e)
        if (alive(edges_[e])) {
            const int x = find(edges_[e].a), y = find(edges_[e].b);
            if (x != y)
                uf[std::max(x, y)] = std::min(x, y);
        }

    double product = 1.0;
    for (int r = 0; r < nodes; ++r) {
        const int root = label[r];
        if (find(root) != root)
            continue;
        int n = 0;
        for (int i = 0; i < nodes; ++i)
            if (find(label[i]) == root) {
                degree[label[i]] = 0;
                comp[n++] = label[i];
            }
        int edges = 0;
        for (int e = 0; e < E_; ++e)
            if (alive(edges_[e]) && find(edges_[e].a) == root) {
                ++edges;
                ++degree[edges_[e].a];
                ++degree[edges_[e].b];
            }
        double value = 0.0;
        if (edges == n - 1) {
            // Breadth first from the root: parents before children.
            int size = 1;
            tlabel[0] = root;
            par[0] = -1;
            for (int q = 0; q < size; ++q)
                for (int e = 0; e < E_; ++e) {
                    const edge& x = edges_[e];
                    if (!alive(x))
                        continue;
                    const int other = x.a == tlabel[q] ? x.b : x.b == tlabel[q] ? x.a : -1;
                    if (other < 0 || (par[q] >= 0 && tlabel[par[q]] == other))
                        continue;
                    par[size] = q;
                    ord[size] = e;
                    tlabel[size++] = other;
                }
            value = tree(n, tlabel, par, ord, domain);
        } else {
            // A cycle: each haplotype of the busiest label in turn, which
            // leaves its neighbours the partners of that haplotype.
            int x = comp[0];
            for (int i = 1; i < n; ++i)
                if (degree[comp[i]] > degree[x])
                    x = comp[i];
            int m = 0;
            for (int i = 0; i < n; ++i)
                if (comp[i] != x)
                    rest[m++] = comp[i];
            word* d = &cond_[static_cast<std::size_t>(depth) * L * W];
            const word* dx = &domain[x * W];
            for (std::size_t w = 0; w < W; ++w)
                for (word bits = dx[w]; bits; bits &= bits - 1) {
                    const std::size_t h = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
                    std::copy_n(domain, L * W, d);
                    bool empty = false;
                    for (int e = 0; e < E_ && !empty; ++e) {
                        const edge& ed = edges_[e];
                        if (!alive(ed) || (ed.a != x && ed.b != x))
                            continue;
                        const int y = ed.a == x ? ed.b : ed.a;
                        word any = 0;
                        for (std::size_t v = 0; v < W; ++v)
                            any |= d[y * W + v] &= ed.rel[h * W + v];
                        empty = !any;
                    }
                    if (!empty)
                        value += c_->freq[h] * solve(m, rest, d, depth + 1);
                }
        }
        product *= value;
        if (product == 0.0)
            return 0.0;
    }
    return product;
}

double cluster_likelihood::evaluate(const level& g)
{
    edges_ = g.edges.data();
    E_ = static_cast<int>(g.edges.size());
    int n = 0;
    for (int l = 0; l < L_; ++l)
        if (g.touched[l])
            nodes_[n++] = l;
    return solve(n, nodes_.data(), g.domain.data(), 0);
}

void cluster_likelihood::walk(int i, int depth, std::uint32_t v, double* e)
{
    const kindred::member& m = k_.members[i];
    const bool counts = row_of_[i] >= 0;
    const int np = m.pat_bit >= 0 ? 2 : 1, nm = m.mat_bit >= 0 ? 2 : 1;
    for (int pb = 0; pb < np; ++pb)
        for (int mb = 0; mb < nm; ++mb) {
            if (m.father >= 0) {
                lab_[2 * i] = lab_[2 * m.father + pb];
                lab_[2 * i + 1] = lab_[2 * m.mother + mb];
            }
            const std::uint32_t w = v | (static_cast<std::uint32_t>(pb) << (pb ? m.pat_bit : 0)) |
                                    (static_cast<std::uint32_t>(mb) << (mb ? m.mat_bit : 0));
            const int l1 = lab_[2 * i], l2 = lab_[2 * i + 1];
            if (!counts) {
                walk(i + 1, depth, w, e);
                if (found_)
                    return;
                continue;
            }
            const bool ok = add(depth, l1, l2, i);
            if (i == last_) {
                const double x = ok ? evaluate(levels_[depth + 1]) : 0.0;
                if (!first_only_)
                    std::fill_n(e + w, block_[i], x);
                else if ((found_ = x > 0.0))
                    return;
            } else if (ok) {
                walk(i + 1, depth + 1, w, e);
                if (found_)
                    return;
            } else if (!first_only_) {
                std::fill_n(e + w, block_[i], 0.0);
            }
        }
}

bool cluster_likelihood::possible(const family& f, const study& s, const cluster& c)
{
    if (c.size() == 1) {
        scratch_.resize(k_.vectors());
        return compute(f, s, c, scratch_.data()) != shape::impossible;
    }
    first_only_ = true;
    found_ = false;
    const shape sh = compute(f, s, c, nullptr);
    const bool yes = sh == shape::flat || (sh == shape::varying && found_);
    first_only_ = found_ = false;
    return yes;
}

shape cluster_likelihood::compute(const family& f, const study& s, const cluster& c, double* e)
{
    const std::uint64_t N = k_.vectors();
    if (c.size() == 1) {
        // The marker alone, under the cluster's frequencies.
        const marker& mk = s.markers[c.markers[0]];
        single_marker_.freq.assign(mk.alleles.size(), 0.0);
        for (std::size_t h = 0; h < c.count(); ++h)
            single_marker_.freq[c.haplotype(h)[0] - 1] = c.freq[h];
        return single_.compute(f, single_marker_, static_cast<std::size_t>(c.markers[0]), e);
    }

    c_ = &c;
    H_ = static_cast<int>(c.count());
    W_ = (H_ + 63) / 64;
    const std::size_t W = W_, K = c.size();
    // Haplotypes carrying each allele of each marker.
    off_.assign(K + 1, 0);
    for (std::size_t j = 0; j < K; ++j)
        off_[j + 1] = off_[j] + (s.markers[c.markers[j]].alleles.size() + 1) * W;
    carry_.assign(off_[K], 0);
    for (int h = 0; h < H_; ++h)
        for (std::size_t j = 0; j < K; ++j)
            carry_[off_[j] + c.haplotype(h)[j] * W + h / 64] |= word{1} << (h % 64);
    full_.assign(W, ~word{0});
    if (H_ % 64)
        full_[W - 1] = (word{1} << (H_ % 64)) - 1;

    last_ = -1;
    int counted = 0;
    const std::size_t block = static_cast<std::size_t>(H_) * W;
    partners_.resize(k_.members.size() * block);
    geno_.resize(K);
    for (std::size_t i = 0; i < k_.members.size(); ++i) {
        const kindred::member& mb = k_.members[i];
        row_of_[i] = -1;
        bool typed = false;
        for (std::size_t j = 0; j < K; ++j) {
            geno_[j] = f.at(c.markers[j], mb.person);
            typed |= !geno_[j].missing();
        }
        if (!typed)
            continue;
        word* rows = &partners_[counted * block];
        word any = 0;
        for (int h = 0; h < H_; ++h) {
            word* row = &rows[h * W];
            std::copy(full_.begin(), full_.end(), row);
            const std::uint16_t* x = c.haplotype(h);
            for (std::size_t j = 0; j < K; ++j) {
                const genotype g = geno_[j];
                if (g.missing())
                    continue;
                const unsigned other = x[j] == g.a ? g.b : x[j] == g.b ? g.a : 0;
                if (!other) {
                    std::fill_n(row, W, 0);
                    break;
                }
                for (std::size_t w = 0; w < W; ++w)
                    row[w] &= carry_[off_[j] + other * W + w];
            }
            for (std::size_t w = 0; w < W; ++w)
                any |= row[w];
        }
        if (!any) {  // no pair of the cluster's haplotypes shows these genotypes
            if (e)
                std::fill_n(e, N, 0.0);
            return shape::impossible;
        }
        // A founder without children contributes the same factor to every
        // vector: its rows are written over by the next.
        if (mb.father < 0 && !mb.has_children)
            continue;
        row_of_[i] = counted++;
        last_ = static_cast<int>(i);
    }
    if (last_ < 0)
        return shape::flat;

    levels_.resize(counted + 1);
    for (level& g : levels_) {
        g.edges.reserve(counted);
        g.domain.resize(L_ * W);
        g.rel.resize(static_cast<std::size_t>(H_) * W);
        g.touched.resize(L_);
    }
    level& top = levels_[0];
    top.edges.clear();
    for (int l = 0; l < L_; ++l)
        std::copy(full_.begin(), full_.end(), &top.domain[l * W]);
    std::fill(top.touched.begin(), top.touched.end(), 0);
    // Each cut of a cycle removes a label: at most L + 1 depths of solve.
    const std::size_t depths = L_ + 1;
    ints_.resize(depths * 8 * L_);
    cond_.resize(depths * L_ * W);
    nodes_.resize(L_);
    if (wt_.size() < static_cast<std::size_t>(L_) * H_)
        wt_.resize(static_cast<std::size_t>(L_) * H_);
    walk(0, 0, 0, e);
    if (first_only_)
        return shape::varying;  // what the walk found is in found_

    const double first = e[0];
    if (std::all_of(e, e + N, [first](double x) { return x == first; }))
        return first == 0.0 ? shape::impossible : shape::flat;
    return shape::varying;
}

}  // namespace linkage::detail
