// Kindreds: trimming, inheritance-vector layout under the founder symmetry,
// and the score of every vector.
#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "ibd.h"

namespace linkage {

namespace {

constexpr int max_bits = 30;

__extension__ typedef unsigned __int128 u128;

struct layout {
    std::vector<kindred::member> members;
    int labels = 0;
    int bits = 0;
    int affected = 0;
};

// Keeps the informative persons and their ancestors, parents first, and gives
// each meiosis its vector bit. For each founder with children the first
// meiosis from it is fixed: swapping a founder's two labels changes neither
// likelihoods nor scores.
layout trim(const family& f)
{
    const std::size_t n = f.persons.size();
    std::vector<char> keep(n, 0);
    for (std::size_t i = 0; i < n; ++i)
        keep[i] = f.persons[i].affection == status::affected;
    const std::size_t markers = n ? f.geno.size() / n : 0;
    for (std::size_t m = 0; m < markers; ++m)
        for (std::size_t i = 0; i < n; ++i)
            keep[i] |= !f.at(m, i).missing();

    const std::vector<int> order = parents_first(f, "");
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        const person& p = f.persons[*it];
        if (keep[*it] && p.father >= 0) {
            keep[p.father] = 1;
            keep[p.mother] = 1;
        }
    }

    layout out;
    std::vector<int> index(n, -1);
    for (int i : order) {
        if (!keep[i])
            continue;
        const person& p = f.persons[i];
        kindred::member m;
        m.person = i;
        m.affected = p.affection == status::affected;
        if (p.father >= 0) {
            m.father = index[p.father];
            m.mother = index[p.mother];
            out.members[m.father].has_children = true;
            out.members[m.mother].has_children = true;
        } else {
            m.label = out.labels;
            out.labels += 2;
        }
        out.affected += m.affected;
        index[i] = static_cast<int>(out.members.size());
        out.members.push_back(m);
    }

    // Count the free meioses first: bits are handed out from the top.
    std::vector<char> fixed(out.members.size(), 0);
    std::vector<std::pair<int*, bool>> free;  // meiosis, free
    for (kindred::member& m : out.members) {
        if (m.father < 0)
            continue;
        for (int side = 0; side < 2; ++side) {
            const int parent = side ? m.mother : m.father;
            int* bit = side ? &m.mat_bit : &m.pat_bit;
            const bool fix = out.members[parent].father < 0 && !fixed[parent];
            if (fix)
                fixed[parent] = 1;
            free.push_back({bit, !fix});
            out.bits += !fix;
        }
    }
    int next = out.bits;
    for (auto [bit, is_free] : free)
        *bit = is_free ? --next : -1;
    return out;
}

std::uint64_t pairs_value(const std::u16string& key)
{
    const std::size_t a = key.size() / 2;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < a; ++i)
        for (std::size_t j = i + 1; j < a; ++j) {
            const int x1 = key[2 * i], y1 = key[2 * i + 1], x2 = key[2 * j], y2 = key[2 * j + 1];
            // Size of the multiset intersection of {x1, y1} and {x2, y2}.
            if (x1 == y1) {
                total += (x2 == x1) + (y2 == x1);
            } else {
                total += (x1 == x2 || x1 == y2);
                total += (y1 == x2 || y1 == y2);
            }
        }
    return total;
}

// 2^a S_all: the sum over the ways of picking one label of each affected
// member of the product over labels of (times picked)!. Seen as a multigraph
// with labels for vertices and members for edges, it is the sum over the
// orientations of the edges of the product of (in-degree)! over vertices.
// Parallel edges are taken together (j of m towards one end: C(m, j) ways),
// loops (inbred members) add to their vertex's in-degree either way, the
// edges outside a spanning forest are split every way, and each tree is then
// summed by dynamic programming from its leaves. Every partial sum is a part
// of the total, which 2^a a! bounds: 128 bits hold it up to 28 members.
class all_score {
public:
    u128 operator()(const std::u16string& key)
    {
        const int a = static_cast<int>(key.size() / 2);
        if (a > 28)
            throw std::length_error("kindred: more than 28 affected members for S_all");
        while (static_cast<int>(fact_.size()) <= a + 1) {
            const std::size_t n = fact_.size();
            fact_.push_back(n ? fact_.back() * n : 1);
            std::vector<u128> row(n + 1, 1);
            for (std::size_t k = 1; k < n; ++k)
                row[k] = choose_[n - 1][k - 1] + choose_[n - 1][k];
            choose_.push_back(row);
        }
        int V = 0;
        for (int c : key)
            V = std::max(V, c + 1);
        fixed_.assign(V, 0);
        root_.resize(V);
        for (int v = 0; v < V; ++v)
            root_[v] = v;
        u128 loops = 1;
        edges_.clear();
        for (int i = 0; i < a; ++i) {
            const int x = key[2 * i], y = key[2 * i + 1];
            if (x == y) {
                ++fixed_[x];
                loops *= 2;
            } else {
                edges_.push_back({x, y, 1});
            }
        }
        std::sort(edges_.begin(), edges_.end());
        std::size_t n = 0;
        for (const edge& e : edges_) {
            if (n && edges_[n - 1].x == e.x && edges_[n - 1].y == e.y)
                ++edges_[n - 1].m;
            else
                edges_[n++] = e;
        }
        edges_.resize(n);
        tree_.assign(V, {});
        cycle_.clear();
        for (const edge& e : edges_) {
            const int rx = find(e.x), ry = find(e.y);
            if (rx == ry) {
                cycle_.push_back(e);
            } else {
                root_[rx] = ry;
                tree_[e.x].push_back({e.y, e.m});
                tree_[e.y].push_back({e.x, e.m});
            }
        }
        return loops * split(0);
    }

private:
    struct edge {
        int x, y, m;
        bool operator<(const edge& o) const { return x != o.x ? x < o.x : y < o.y; }
    };
    struct link {
        int to, m;
    };
    std::vector<u128> fact_;
    std::vector<std::vector<u128>> choose_;
    std::vector<int> fixed_, root_;
    std::vector<edge> edges_, cycle_;
    std::vector<std::vector<link>> tree_;

    int find(int v)
    {
        while (root_[v] != v)
            v = root_[v] = root_[root_[v]];
        return v;
    }

    u128 split(std::size_t i)
    {
        if (i == cycle_.size())
            return forest();
        const edge& e = cycle_[i];
        u128 sum = 0;
        for (int j = 0; j <= e.m; ++j) {
            fixed_[e.x] += j;
            fixed_[e.y] += e.m - j;
            sum += choose_[e.m][j] * split(i + 1);
            fixed_[e.x] -= j;
            fixed_[e.y] -= e.m - j;
        }
        return sum;
    }

    u128 forest()
    {
        std::vector<char> seen(fixed_.size(), 0);
        u128 product = 1;
        for (std::size_t v = 0; v < fixed_.size(); ++v)
            if (!seen[v])
                product *= subtree(static_cast<int>(v), -1, 0, seen)[0];
        return product;
    }

    // f[k]: the sum for v's subtree when k of the edges to its parent (m of
    // them) point at v.
    std::vector<u128> subtree(int v, int parent, int m, std::vector<char>& seen)
    {
        seen[v] = 1;
        std::vector<u128> poly{1};  // by number of child edges pointing at v
        for (const link& c : tree_[v]) {
            if (c.to == parent)
                continue;
            const std::vector<u128> f = subtree(c.to, v, c.m, seen);
            std::vector<u128> next(poly.size() + c.m, 0);
            for (std::size_t s = 0; s < poly.size(); ++s)
                for (int j = 0; j <= c.m; ++j)
                    next[s + j] += poly[s] * choose_[c.m][j] * f[c.m - j];
            poly.swap(next);
        }
        std::vector<u128> f(m + 1, 0);
        for (int k = 0; k <= m; ++k)
            for (std::size_t s = 0; s < poly.size(); ++s)
                f[k] += poly[s] * fact_[fixed_[v] + k + s];
        return f;
    }
};

}  // namespace

kindred_size measure(const family& f)
{
    const layout l = trim(f);
    return {l.affected, l.bits};
}

kindred make_kindred(const family& f, score_kind s)
{
    layout l = trim(f);
    if (l.bits > max_bits)
        throw std::length_error("family " + f.id + ": " + std::to_string(l.bits) +
                                " bits of inheritance vector are too many");
    kindred k;
    k.bits = l.bits;
    k.affected = l.affected;
    k.labels = l.labels;
    k.members = std::move(l.members);

    // Recombination masks: a free meiosis flips its bit; the fixed meiosis of a
    // founder flips, in the reduced vector, every other meiosis from it.
    std::vector<std::uint32_t> from(k.members.size(), 0);
    for (const kindred::member& m : k.members) {
        if (m.pat_bit >= 0)
            from[m.father] |= std::uint32_t{1} << m.pat_bit;
        if (m.mat_bit >= 0)
            from[m.mother] |= std::uint32_t{1} << m.mat_bit;
    }
    for (const kindred::member& m : k.members) {
        if (m.father < 0)
            continue;
        for (int side = 0; side < 2; ++side) {
            const int bit = side ? m.mat_bit : m.pat_bit;
            const std::uint32_t mask = bit >= 0 ? std::uint32_t{1} << bit : from[side ? m.mother : m.father];
            if (mask)
                k.masks.push_back(mask);
        }
    }

    // Score of every vector, through the patterns of affected labels.
    const std::uint64_t n = k.vectors();
    k.outcome.assign(n, 0);
    std::unordered_map<std::u16string, std::uint32_t> seen;
    std::vector<u128> value;
    std::vector<int> lab(2 * k.members.size(), -1);
    std::vector<int> relabel(k.labels, -1);
    all_score all_value;
    std::vector<int> nonfounders;
    for (std::size_t i = 0; i < k.members.size(); ++i) {
        const kindred::member& m = k.members[i];
        if (m.father < 0) {
            lab[2 * i] = m.label;
            lab[2 * i + 1] = m.label + 1;
        } else {
            nonfounders.push_back(static_cast<int>(i));
        }
    }
    // Affected members' labels relabelled by first appearance, each pair
    // sorted: vectors with the same pattern have the same score, so each
    // pattern is scored once.
    std::u16string key;
    auto leaf = [&](std::uint32_t v) {
        key.clear();
        int next = 0;
        for (std::size_t i = 0; i < k.members.size(); ++i) {
            if (!k.members[i].affected)
                continue;
            int x = lab[2 * i], y = lab[2 * i + 1];
            if (relabel[x] < 0)
                relabel[x] = next++;
            if (relabel[y] < 0)
                relabel[y] = next++;
            x = relabel[x];
            y = relabel[y];
            key.push_back(static_cast<char16_t>(std::min(x, y)));
            key.push_back(static_cast<char16_t>(std::max(x, y)));
        }
        for (std::size_t i = 0; i < k.members.size(); ++i)
            if (k.members[i].affected)
                relabel[lab[2 * i]] = relabel[lab[2 * i + 1]] = -1;
        auto [it, added] = seen.try_emplace(key, static_cast<std::uint32_t>(value.size()));
        if (added)
            value.push_back(s == score_kind::pairs ? u128{pairs_value(key)} : all_value(key));
        k.outcome[v] = it->second;
    };
    auto walk = [&](auto& self, std::size_t i, std::uint32_t v) -> void {
        if (i == nonfounders.size()) {
            leaf(v);
            return;
        }
        const int me = nonfounders[i];
        const kindred::member& m = k.members[me];
        for (int pb = 0; pb <= (m.pat_bit >= 0); ++pb)
            for (int mb = 0; mb <= (m.mat_bit >= 0); ++mb) {
                lab[2 * me] = lab[2 * m.father + pb];
                lab[2 * me + 1] = lab[2 * m.mother + mb];
                const std::uint32_t w = v | (pb ? std::uint32_t{1} << m.pat_bit : 0) |
                                        (mb ? std::uint32_t{1} << m.mat_bit : 0);
                self(self, i + 1, w);
            }
    };
    walk(walk, 0, 0);

    // Outcomes are the distinct values in ascending order.
    std::vector<std::uint32_t> rank(value.size());
    for (std::uint32_t i = 0; i < rank.size(); ++i)
        rank[i] = i;
    std::sort(rank.begin(), rank.end(), [&](std::uint32_t x, std::uint32_t y) { return value[x] < value[y]; });
    std::vector<std::uint32_t> outcome_of(value.size());
    for (std::size_t i = 0; i < rank.size(); ++i) {
        const u128 x = value[rank[i]];
        if (k.score.empty() || value[rank[i - 1]] != x) {
            const double d = static_cast<double>(x);
            k.score.push_back(s == score_kind::all ? std::ldexp(d, -k.affected) : d);
        }
        outcome_of[rank[i]] = static_cast<std::uint32_t>(k.score.size() - 1);
    }
    std::vector<std::uint64_t> count(k.score.size(), 0);
    for (std::uint32_t& o : k.outcome) {
        o = outcome_of[o];
        ++count[o];
    }
    for (std::uint64_t c : count)
        k.nullprob.push_back(std::ldexp(static_cast<double>(c), -k.bits));
    return k;
}

}  // namespace linkage
