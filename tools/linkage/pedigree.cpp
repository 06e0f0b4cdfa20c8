// Kindreds: trimming, inheritance-vector layout under the founder symmetry,
// and the score of every vector.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <stdexcept>
#include <string>
#include <memory>

#include "brell.h"
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
    std::vector<std::pair<int, int>> couples;  // reduced founder couples: father, mother (member indices)
};

// Founders that two alike members of a couple: each the other's only spouse,
// both affected or both not, and the same genotype at every marker (an
// untyped couple, most often). Exchanging them then changes no likelihood
// and no score.
bool alike(const family& f, const kindred::member& x, const kindred::member& y)
{
    if (x.affected != y.affected)
        return false;
    const std::size_t n = f.persons.size(), markers = n ? f.geno.size() / n : 0;
    for (std::size_t m = 0; m < markers; ++m) {
        const genotype &a = f.at(m, x.person), &b = f.at(m, y.person);
        if (std::minmax(a.a, a.b) != std::minmax(b.a, b.b))
            return false;
    }
    return true;
}

// Keeps the informative persons and their ancestors, parents first, and gives
// each meiosis its vector bit. For each founder with children the first
// meiosis from it is fixed: swapping a founder's two labels changes neither
// likelihoods nor scores. For each founder couple alike to the data whose
// children have children, one meiosis from a child of theirs is fixed too:
// exchanging the two founders flips it (see kindred::couple).
layout trim(const family& f, bool couples)
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

    // Founder couples: each founder's one spouse (-2 for several), and the
    // child of the couple whose meiosis to its own first child gets fixed.
    const int kept = static_cast<int>(out.members.size());
    std::vector<int> spouse(kept, -1);
    std::vector<char> chosen(kept, 0);
    for (const kindred::member& m : out.members)
        if (m.father >= 0) {
            for (auto [x, y] : {std::pair{m.father, m.mother}, std::pair{m.mother, m.father}})
                spouse[x] = spouse[x] == -1 || spouse[x] == y ? y : -2;
        }
    std::vector<char> fixed_from(kept, 0);  // a non-founder whose first meiosis to a child is fixed
    if (couples)
        for (int c = 0; c < kept; ++c) {
            const kindred::member& m = out.members[c];
            const int fa = m.father, mo = m.mother;
            if (fa < 0 || spouse[fa] != mo || spouse[mo] != fa || out.members[fa].father >= 0 ||
                out.members[mo].father >= 0 || chosen[fa] || !m.has_children ||
                !alike(f, out.members[fa], out.members[mo]))
                continue;
            chosen[fa] = 1;  // the couple's first child with children
            fixed_from[c] = 1;
            out.couples.push_back({fa, mo});
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
            const bool founder = out.members[parent].father < 0;
            const bool fix = (founder || fixed_from[parent] == 1) && !fixed[parent];
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

using pattern = std::u32string;  // labels of the affected members, two each

// S_pairs: per label, members carrying it once (c1) or twice (c2, inbred)
// share it min(...) times pairwise: C(c1, 2) + c1 c2 + 2 C(c2, 2).
std::uint64_t pairs_value(const pattern& key, std::vector<std::uint64_t>& once, std::vector<std::uint64_t>& twice)
{
    std::size_t labels = 0;
    for (char32_t c : key)
        labels = std::max<std::size_t>(labels, c + 1);
    once.assign(labels, 0);
    twice.assign(labels, 0);
    for (std::size_t i = 0; i + 1 < key.size(); i += 2) {
        if (key[i] == key[i + 1]) {
            ++twice[key[i]];
        } else {
            ++once[key[i]];
            ++once[key[i + 1]];
        }
    }
    std::uint64_t total = 0;
    for (std::size_t l = 0; l < labels; ++l) {
        const std::uint64_t c1 = once[l], c2 = twice[l];
        total += c1 * (c1 - (c1 > 0)) / 2 + c1 * c2 + c2 * (c2 - (c2 > 0));
    }
    return total;
}

// A non-negative integer of any size: 2^a S_all outgrows 128 bits beyond 28
// affected members.
class big {
public:
    big(std::uint64_t v = 0)
    {
        for (; v; v >>= 32)
            d_.push_back(static_cast<std::uint32_t>(v));
    }
    big& operator+=(const big& o)
    {
        if (d_.size() < o.d_.size())
            d_.resize(o.d_.size(), 0);
        std::uint64_t carry = 0;
        for (std::size_t i = 0; i < d_.size() && (carry || i < o.d_.size()); ++i) {
            carry += std::uint64_t{d_[i]} + (i < o.d_.size() ? o.d_[i] : 0u);
            d_[i] = static_cast<std::uint32_t>(carry);
            carry >>= 32;
        }
        if (carry)
            d_.push_back(static_cast<std::uint32_t>(carry));
        return *this;
    }
    friend big operator+(big a, const big& b) { return a += b; }
    friend big operator*(const big& a, const big& b)
    {
        big r;
        if (a.d_.empty() || b.d_.empty())
            return r;
        r.d_.assign(a.d_.size() + b.d_.size(), 0);
        for (std::size_t i = 0; i < a.d_.size(); ++i) {
            std::uint64_t carry = 0;
            for (std::size_t j = 0; j < b.d_.size(); ++j) {
                carry += std::uint64_t{a.d_[i]} * b.d_[j] + r.d_[i + j];
                r.d_[i + j] = static_cast<std::uint32_t>(carry);
                carry >>= 32;
            }
            r.d_[i + b.d_.size()] = static_cast<std::uint32_t>(carry);
        }
        while (!r.d_.empty() && r.d_.back() == 0)
            r.d_.pop_back();
        return r;
    }
    big& operator*=(const big& o) { return *this = *this * o; }
    friend bool operator==(const big&, const big&) = default;
    friend bool operator<(const big& a, const big& b)
    {
        if (a.d_.size() != b.d_.size())
            return a.d_.size() < b.d_.size();
        return std::lexicographical_compare(a.d_.rbegin(), a.d_.rend(), b.d_.rbegin(), b.d_.rend());
    }
    // The value times 2^e, rounded once to the nearest double: the top 63
    // bits and a sticky bit for all below them.
    double scaled(int e) const
    {
        if (d_.empty())
            return 0.0;
        const long bits = 32 * static_cast<long>(d_.size() - 1) + std::bit_width(d_.back());
        const long shift = std::max(0L, bits - 63);
        std::uint64_t top = 0;
        for (long b = bits - 1; b >= shift; --b)
            top = top << 1 | bit(b);
        bool sticky = false;
        for (long w = 0; w < shift / 32 && !sticky; ++w)
            sticky = d_[w] != 0;
        for (long b = shift / 32 * 32; b < shift && !sticky; ++b)
            sticky = bit(b);
        const std::uint64_t m = shift ? top << 1 | sticky : top;
        return std::ldexp(static_cast<double>(m), static_cast<int>(shift ? shift - 1 : 0) + e);
    }

private:
    std::uint32_t bit(long b) const { return d_[b / 32] >> (b % 32) & 1u; }
    std::vector<std::uint32_t> d_;  // base 2^32, least significant first, no zero on top
};

// The sum as a double times 2^e.
double as_double(u128 x, int e) { return std::ldexp(static_cast<double>(x), e); }
double as_double(const big& x, int e) { return x.scaled(e); }

// 2^a S_all: the sum over the ways of picking one label of each affected
// member of the product over labels of (times picked)!. Seen as a multigraph
// with labels for vertices and members for edges, it is the sum over the
// orientations of the edges of the product of (in-degree)! over vertices.
// Parallel edges are taken together (j of m towards one end: C(m, j) ways),
// loops (inbred members) add to their vertex's in-degree either way, the
// edges outside a spanning forest are split every way, and each tree is then
// summed by dynamic programming from its leaves. Every partial sum is a part
// of the total, which 2^a a! bounds: 128 bits hold it up to 28 members, big
// any number. The tables grow only as far as the largest degree and the
// largest multiplicity of an edge, and the trees are walked without
// recursion: both stay linear in a large family's size.
template <class Int>
class all_score {
public:
    Int operator()(const pattern& key)
    {
        const int a = static_cast<int>(key.size() / 2);
        int V = 0;
        for (char32_t c : key)
            V = std::max(V, static_cast<int>(c) + 1);
        fixed_.assign(V, 0);
        degree_.assign(V, 0);
        root_.resize(V);
        for (int v = 0; v < V; ++v)
            root_[v] = v;
        Int loops = 1;
        edges_.clear();
        for (int i = 0; i < a; ++i) {
            const int x = static_cast<int>(key[2 * i]), y = static_cast<int>(key[2 * i + 1]);
            ++degree_[x];
            ++degree_[y];
            if (x == y) {
                ++fixed_[x];
                loops *= Int{2};
            } else {
                edges_.push_back({x, y, 1});
            }
        }
        int most = 0;
        for (int d : degree_)
            most = std::max(most, d);
        while (static_cast<int>(fact_.size()) <= most + 1)
            fact_.push_back(fact_.empty() ? Int{1} : fact_.back() * Int{fact_.size()});
        std::sort(edges_.begin(), edges_.end());
        std::size_t n = 0;
        for (const edge& e : edges_) {
            if (n && edges_[n - 1].x == e.x && edges_[n - 1].y == e.y)
                ++edges_[n - 1].m;
            else
                edges_[n++] = e;
        }
        edges_.resize(n);
        for (const edge& e : edges_)
            while (static_cast<int>(choose_.size()) <= e.m) {
                const std::size_t r = choose_.size();
                std::vector<Int> row(r + 1, Int{1});
                for (std::size_t k = 1; k < r; ++k)
                    row[k] = choose_[r - 1][k - 1] + choose_[r - 1][k];
                choose_.push_back(std::move(row));
            }
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
    std::vector<Int> fact_;
    std::vector<std::vector<Int>> choose_;
    std::vector<int> fixed_, degree_, root_;
    std::vector<edge> edges_, cycle_;
    std::vector<std::vector<link>> tree_;
    std::vector<int> parent_, parent_m_, order_;
    std::vector<std::vector<Int>> f_;

    int find(int v)
    {
        while (root_[v] != v)
            v = root_[v] = root_[root_[v]];
        return v;
    }

    Int split(std::size_t i)
    {
        if (i == cycle_.size())
            return forest();
        const edge& e = cycle_[i];
        Int sum = 0;
        for (int j = 0; j <= e.m; ++j) {
            fixed_[e.x] += j;
            fixed_[e.y] += e.m - j;
            sum += choose_[e.m][j] * split(i + 1);
            fixed_[e.x] -= j;
            fixed_[e.y] -= e.m - j;
        }
        return sum;
    }

    // Each tree from its leaves up: f_[v][k] is the sum for v's subtree when
    // k of the m edges to its parent point at v.
    Int forest()
    {
        const int V = static_cast<int>(fixed_.size());
        parent_.assign(V, -2);  // -2: not reached yet
        parent_m_.assign(V, 0);
        f_.resize(V);
        Int product = 1;
        for (int start = 0; start < V; ++start) {
            if (parent_[start] != -2)
                continue;
            order_.assign(1, start);
            parent_[start] = -1;
            for (std::size_t i = 0; i < order_.size(); ++i)
                for (const link& c : tree_[order_[i]])
                    if (parent_[c.to] == -2) {
                        parent_[c.to] = order_[i];
                        parent_m_[c.to] = c.m;
                        order_.push_back(c.to);
                    }
            for (std::size_t i = order_.size(); i-- > 0;) {
                const int v = order_[i];
                std::vector<Int> poly{Int{1}};  // by number of child edges pointing at v
                for (const link& c : tree_[v]) {
                    if (c.to == parent_[v])
                        continue;
                    const std::vector<Int>& f = f_[c.to];
                    std::vector<Int> next(poly.size() + c.m, Int{0});
                    for (std::size_t s = 0; s < poly.size(); ++s)
                        for (int j = 0; j <= c.m; ++j)
                            next[s + j] += poly[s] * choose_[c.m][j] * f[c.m - j];
                    poly.swap(next);
                    std::vector<Int>().swap(f_[c.to]);
                }
                const int m = parent_m_[v];
                std::vector<Int> f(m + 1, Int{0});
                for (int k = 0; k <= m; ++k)
                    for (std::size_t s = 0; s < poly.size(); ++s)
                        f[k] += poly[s] * fact_[fixed_[v] + k + s];
                f_[v].swap(f);
            }
            product *= f_[start][0];
            std::vector<Int>().swap(f_[start]);
        }
        return product;
    }
};

// Patterns of the affected members' labels met so far. A pattern is each
// affected member's pair of labels, renumbered by first appearance and
// sorted, packed into a few words: vectors with one pattern have one score,
// so each pattern is scored once. Open addressing on the words, no
// allocation per vector.
class pattern_table {
public:
    explicit pattern_table(int members)
    {
        width_ = std::max(1, static_cast<int>(std::bit_width(static_cast<unsigned>(std::max(1, 2 * members - 1)))));
        per_word_ = 64 / width_;
        words_ = std::max(1, (2 * members + per_word_ - 1) / per_word_);
        key_.assign(words_, 0);
        slot_.assign(64, 0);
    }
    void set(int field, unsigned id)
    {
        std::uint64_t& w = key_[field / per_word_];
        const int shift = field % per_word_ * width_;
        w = (w & ~(((std::uint64_t{1} << width_) - 1) << shift)) | std::uint64_t{id} << shift;
    }
    // Index of the current key, and whether it is new. A slot keeps 32 bits
    // of its key's hash beside the index: a probe rarely reads a stored key
    // that is not the one sought (a read that mostly misses every cache).
    std::uint32_t find(bool& added)
    {
        const std::uint64_t h = hash(key_.data());
        const std::uint64_t tag = h & ~std::uint64_t{0xffffffff};
        const std::size_t mask = slot_.size() - 1;
        for (std::size_t i = (h >> 32) & mask;; i = (i + 1) & mask) {
            const std::uint64_t at = slot_[i];
            if (at == 0) {
                added = true;
                stored_.insert(stored_.end(), key_.begin(), key_.end());
                slot_[i] = tag | ++count_;
                if (2 * count_ > slot_.size())
                    grow();
                return count_ - 1;
            }
            if ((at & ~std::uint64_t{0xffffffff}) != tag)
                continue;
            const std::uint64_t* k = &stored_[std::size_t((at & 0xffffffff) - 1) * words_];
            int w = 0;
            while (w < words_ && k[w] == key_[w])
                ++w;
            if (w == words_) {
                added = false;
                return static_cast<std::uint32_t>((at & 0xffffffff) - 1);
            }
        }
    }
    // The current key as labels, two per member.
    pattern unpack(int members) const
    {
        pattern out(2 * members, 0);
        for (int f = 0; f < 2 * members; ++f)
            out[f] = static_cast<char32_t>(key_[f / per_word_] >> (f % per_word_ * width_) &
                                           ((std::uint64_t{1} << width_) - 1));
        return out;
    }

private:
    std::uint64_t hash(const std::uint64_t* k) const
    {
        std::uint64_t h = 0;
        for (int j = 0; j < words_; ++j)
            h = (h ^ k[j]) * 0x9e3779b97f4a7c15u;
        return h;
    }
    void grow()
    {
        std::vector<std::uint64_t> old(2 * slot_.size(), 0);
        old.swap(slot_);
        const std::size_t mask = slot_.size() - 1;
        for (std::uint64_t at : old) {
            if (at == 0)
                continue;
            std::size_t i = (at >> 32) & mask;
            while (slot_[i])
                i = (i + 1) & mask;
            slot_[i] = at;
        }
    }
    int width_, per_word_, words_;
    std::vector<std::uint64_t> key_, stored_;
    std::vector<std::uint64_t> slot_;  // hash's top 32 bits, index + 1 into stored_; 0 empty
    std::uint32_t count_ = 0;
};

}  // namespace

// Walks the vectors of a kindred, giving each the index of its pattern's
// score among those this walker has met: one walker per thread.
template <class Int>
class score_walk {
public:
    score_walk(const kindred& k, score_kind s, std::uint32_t* outcome) : k_(k), s_(s), outcome_(outcome)
    {
        lab_.assign(2 * k.members.size(), -1);
        // Affected founders take the first places of a pattern (their labels
        // never change), the affected non-founders the rest in member order.
        place_.assign(k.members.size(), -1);
        for (std::size_t i = 0; i < k.members.size(); ++i) {
            const kindred::member& m = k.members[i];
            if (m.father < 0) {
                lab_[2 * i] = m.label;
                lab_[2 * i + 1] = m.label + 1;
                if (m.affected)
                    place_[i] = places_++;
            } else {
                nonfounders_.push_back(static_cast<int>(i));
            }
        }
        for (int i : nonfounders_)
            if (k.members[i].affected)
                place_[i] = places_++;
        raw_.assign(2 * places_ + 1, -1);
        ids_.assign(2 * places_ + 1, 0);
        first_.assign(k.labels, 2 * places_);
        id_.assign(k.labels, 0);
        table_ = std::make_unique<pattern_table>(places_);
        forms_ = std::make_unique<pattern_table>(places_);
    }

    // The vectors v with v >> shift == top (top 0 and shift = bits: all).
    void run(std::uint32_t top, int shift)
    {
        top_ = top;
        shift_ = shift;
        for (std::size_t i = 0; i < k_.members.size(); ++i)
            if (k_.members[i].father < 0 && k_.members[i].affected)
                affected(static_cast<int>(i));
        walk(0, 0);
    }

    std::vector<Int> value;  // per form of pattern met

private:
    const kindred& k_;
    score_kind s_;
    std::uint32_t* outcome_;
    std::uint32_t top_ = 0;
    int shift_ = 0;
    std::vector<int> lab_, place_, nonfounders_;
    int places_ = 0;
    // Renumbering by first appearance along the places: label l first seen
    // at field first_[l] got number id_[l]; an entry is current when that
    // field still holds l (fields before the one being set are this
    // vector's). ids_[f] counts the numbers given before field f.
    std::vector<int> raw_, ids_, first_, id_;
    std::unique_ptr<pattern_table> table_, forms_;
    std::vector<std::uint32_t> form_of_;  // per pattern, its form's index in value
    all_score<Int> all_value_;
    std::vector<std::uint64_t> once_, twice_;
    std::vector<std::uint64_t> pairs_;

    int number(int f, int l)
    {
        int x;
        if (first_[l] < f && raw_[first_[l]] == l) {
            x = id_[l];
            ids_[f + 1] = ids_[f];
        } else {
            x = id_[l] = ids_[f];
            first_[l] = f;
            ids_[f + 1] = ids_[f] + 1;
        }
        raw_[f] = l;
        return x;
    }
    void affected(int i)
    {
        const int p = place_[i];
        const int x = number(2 * p, lab_[2 * i]), y = number(2 * p + 1, lab_[2 * i + 1]);
        table_->set(2 * p, static_cast<unsigned>(std::min(x, y)));
        table_->set(2 * p + 1, static_cast<unsigned>(std::max(x, y)));
    }

    // Patterns that differ only in the order of the members and the
    // numbering of the labels have one score: a pattern's form is its pairs
    // sorted and renumbered in that order, a few times over. Not the same for
    // every such pattern, but never the same for two that differ.
    std::uint32_t form(const pattern& key)
    {
        const std::size_t a = key.size() / 2;
        pairs_.resize(a);
        for (std::size_t i = 0; i < a; ++i)
            pairs_[i] = std::uint64_t{key[2 * i]} << 32 | key[2 * i + 1];
        std::vector<std::uint32_t>& number = form_number_;
        for (int round = 0; round < 4; ++round) {
            std::sort(pairs_.begin(), pairs_.end());
            number.assign(2 * a, UINT32_MAX);
            std::uint32_t next = 0;
            bool same = true;
            for (std::uint64_t& pr : pairs_) {
                std::uint32_t x = static_cast<std::uint32_t>(pr >> 32), y = static_cast<std::uint32_t>(pr);
                for (std::uint32_t* l : {&x, &y})
                    if (number[*l] == UINT32_MAX)
                        number[*l] = next++;
                const std::uint32_t nx = number[x], ny = number[y];
                const std::uint64_t q = std::uint64_t{std::min(nx, ny)} << 32 | std::max(nx, ny);
                same = same && q == pr;
                pr = q;
            }
            if (same)
                break;
        }
        for (std::size_t i = 0; i < a; ++i) {
            forms_->set(static_cast<int>(2 * i), static_cast<unsigned>(pairs_[i] >> 32));
            forms_->set(static_cast<int>(2 * i + 1), static_cast<unsigned>(pairs_[i] & 0xffffffffu));
        }
        bool added = false;
        const std::uint32_t at = forms_->find(added);
        if (added) {
            const pattern f = forms_->unpack(places_);
            value.push_back(s_ == score_kind::pairs ? Int{pairs_value(f, once_, twice_)} : all_value_(f));
        }
        return at;
    }
    std::vector<std::uint32_t> form_number_;

    void leaf(std::uint32_t v)
    {
        bool added = false;
        const std::uint32_t at = table_->find(added);
        if (added)
            form_of_.push_back(form(table_->unpack(places_)));
        outcome_[v] = form_of_[at];
    }

    // Recursion only at members with a free meiosis (30 at most): the
    // others, however many, take their one choice in a loop.
    void walk(std::size_t i, std::uint32_t v)
    {
        for (; i < nonfounders_.size(); ++i) {
            const int me = nonfounders_[i];
            const kindred::member& m = k_.members[me];
            if (m.pat_bit >= 0 || m.mat_bit >= 0)
                break;
            lab_[2 * me] = lab_[2 * m.father];
            lab_[2 * me + 1] = lab_[2 * m.mother];
            if (m.affected)
                affected(me);
        }
        if (i == nonfounders_.size()) {
            leaf(v);
            return;
        }
        const int me = nonfounders_[i];
        const kindred::member& m = k_.members[me];
        // A bit at or above shift is top's.
        auto allowed = [&](int bit, int b) { return bit < shift_ || static_cast<int>(top_ >> (bit - shift_) & 1) == b; };
        for (int pb = 0; pb <= (m.pat_bit >= 0); ++pb)
            for (int mb = 0; mb <= (m.mat_bit >= 0); ++mb) {
                if ((m.pat_bit >= 0 && !allowed(m.pat_bit, pb)) || (m.mat_bit >= 0 && !allowed(m.mat_bit, mb)))
                    continue;
                lab_[2 * me] = lab_[2 * m.father + pb];
                lab_[2 * me + 1] = lab_[2 * m.mother + mb];
                if (m.affected)
                    affected(me);
                const std::uint32_t w = v | (pb ? std::uint32_t{1} << m.pat_bit : 0) |
                                        (mb ? std::uint32_t{1} << m.mat_bit : 0);
                walk(i + 1, w);
            }
    }
};

// The score of every vector, through the patterns of affected labels, and
// the outcomes: the distinct scores, ascending, with their null probabilities.
// A pool's threads each walk parts of the vectors; the result is the same.
template <class Int>
void score_vectors(kindred& k, score_kind s, brell::worker_pool* pool)
{
    const std::uint64_t n = k.vectors();
    std::vector<std::uint32_t> outcome(n, 0);
    const int threads = pool && k.bits >= parallel_bits ? pool->size() : 1;
    // Parts: the vectors of each value of the top bits.
    const int cut = threads > 1 ? std::min(k.bits, 6) : 0, shift = k.bits - cut;
    const std::uint32_t parts = std::uint32_t{1} << cut;
    std::vector<std::unique_ptr<score_walk<Int>>> walker(threads);
    std::vector<int> by(parts, 0);  // the walker of each part
    if (threads == 1) {
        walker[0] = std::make_unique<score_walk<Int>>(k, s, outcome.data());
        walker[0]->run(0, shift);
    } else {
        std::atomic<std::uint32_t> next{0};
        pool->run([&](int t) {
            walker[t] = std::make_unique<score_walk<Int>>(k, s, outcome.data());
            for (std::uint32_t p; (p = next.fetch_add(1)) < parts;) {
                by[p] = t;
                walker[t]->run(p, shift);
            }
        });
    }

    // Outcomes are the distinct values in ascending order.
    std::vector<std::pair<int, std::uint32_t>> rank;  // walker, index
    for (int t = 0; t < threads; ++t)
        for (std::uint32_t i = 0; i < walker[t]->value.size(); ++i)
            rank.push_back({t, i});
    auto value = [&](const std::pair<int, std::uint32_t>& r) -> const Int& { return walker[r.first]->value[r.second]; };
    std::sort(rank.begin(), rank.end(), [&](const auto& x, const auto& y) { return value(x) < value(y); });
    std::vector<std::vector<std::uint32_t>> outcome_of(threads);
    for (int t = 0; t < threads; ++t)
        outcome_of[t].resize(walker[t]->value.size());
    for (std::size_t i = 0; i < rank.size(); ++i) {
        const Int& x = value(rank[i]);
        if (k.score.empty() || !(value(rank[i - 1]) == x))
            k.score.push_back(as_double(x, s == score_kind::all ? -k.affected : 0));
        outcome_of[rank[i].first][rank[i].second] = static_cast<std::uint32_t>(k.score.size() - 1);
    }
    std::vector<std::uint64_t> count(k.score.size(), 0);
    const std::uint64_t size = n >> cut;
    for (std::uint32_t p = 0; p < parts; ++p) {
        const std::vector<std::uint32_t>& to = outcome_of[by[p]];
        for (std::uint64_t v = p * size; v < (p + 1) * size; ++v) {
            std::uint32_t& o = outcome[v];
            o = to[o];
            ++count[o];
        }
    }
    for (std::uint64_t c : count)
        k.nullprob.push_back(std::ldexp(static_cast<double>(c), -k.bits));
    k.outcome = std::make_shared<const std::vector<std::uint32_t>>(std::move(outcome));
}

kindred_size measure(const family& f, bool couples)
{
    const layout l = trim(f, couples);
    return {l.affected, l.bits, static_cast<int>(l.couples.size())};
}

kindred kindred_layout(const family& f, bool couples)
{
    layout l = trim(f, couples);
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
            const int parent = side ? m.mother : m.father;
            if (bit < 0 && k.members[parent].father >= 0)
                continue;  // a couple's: below
            const std::uint32_t mask = bit >= 0 ? std::uint32_t{1} << bit : from[parent];
            if (mask)
                k.masks.push_back(mask);
        }
    }
    // Exchanging a couple exchanges each child's paternal and maternal
    // meiosis and flips every meiosis from a child to its own children.
    for (auto [fa, mo] : l.couples) {
        kindred::couple c;
        for (const kindred::member& m : k.members) {
            if (m.father == fa && (m.pat_bit >= 0) != (m.mat_bit >= 0))
                throw std::logic_error("family " + f.id + ": a couple's child with one meiosis fixed");
            if (m.father == fa && m.pat_bit >= 0)
                c.swap.push_back({m.pat_bit, m.mat_bit});
            if (m.father >= 0 && k.members[m.father].father == fa && m.pat_bit >= 0)
                c.flip |= std::uint32_t{1} << m.pat_bit;
            if (m.mother >= 0 && k.members[m.mother].father == fa && m.mat_bit >= 0)
                c.flip |= std::uint32_t{1} << m.mat_bit;
        }
        k.couples.push_back(std::move(c));
    }
    return k;
}

void score_kindred(kindred& k, score_kind s, brell::worker_pool* pool)
{
    k.score.clear();
    k.nullprob.clear();
    // 2^a S_all fits 128 bits up to 28 affected members; beyond, any size.
    if (s == score_kind::all && k.affected > 28)
        score_vectors<big>(k, s, pool);
    else
        score_vectors<u128>(k, s, pool);
}

kindred make_kindred(const family& f, score_kind s, bool couples)
{
    kindred k = kindred_layout(f, couples);
    score_kindred(k, s);
    return k;
}

bool same_shape(const kindred& a, const kindred& b)
{
    auto alike = [](const kindred::member& x, const kindred::member& y) {
        return x.father == y.father && x.mother == y.mother && x.pat_bit == y.pat_bit && x.mat_bit == y.mat_bit &&
               x.label == y.label && x.has_children == y.has_children && x.affected == y.affected;
    };
    auto same_couple = [](const kindred::couple& x, const kindred::couple& y) {
        return x.swap == y.swap && x.flip == y.flip;
    };
    return a.bits == b.bits && a.labels == b.labels &&
           std::equal(a.couples.begin(), a.couples.end(), b.couples.begin(), b.couples.end(), same_couple) &&
           std::equal(a.members.begin(), a.members.end(), b.members.begin(), b.members.end(), alike);
}

}  // namespace linkage
