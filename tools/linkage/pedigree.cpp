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

u128 checked_mul(u128 x, u128 y)
{
    if (y != 0 && x > ~u128{0} / y)
        throw std::length_error("kindred: S_all does not fit in 128 bits");
    return x * y;
}

// 2^a S_all: sum over the ways of picking one label of each affected member
// of the product of the factorials of the label counts. Picks in different
// components of the affected-label graph are independent, so the sum is a
// product over components, each walked in Gray-code order.
u128 all_value(const std::u16string& key)
{
    const int a = static_cast<int>(key.size() / 2);
    int labels = 0;
    for (int c : key)
        labels = std::max(labels, c + 1);
    std::vector<int> root(labels);
    for (int l = 0; l < labels; ++l)
        root[l] = l;
    auto find = [&](int l) {
        while (root[l] != l)
            l = root[l] = root[root[l]];
        return l;
    };
    for (int i = 0; i < a; ++i)
        root[find(key[2 * i])] = find(key[2 * i + 1]);

    u128 total = 1;
    std::vector<char> done(labels, 0);
    std::vector<int> members;
    std::vector<int> count(labels, 0);
    for (int i = 0; i < a; ++i) {
        const int r = find(key[2 * i]);
        if (done[r])
            continue;
        done[r] = 1;
        members.clear();
        for (int j = i; j < a; ++j)
            if (find(key[2 * j]) == r)
                members.push_back(j);
        const int n = static_cast<int>(members.size());
        if (n > 28)
            throw std::length_error("kindred: too many related affected members for S_all");
        std::fill(count.begin(), count.end(), 0);
        std::vector<char> pick(n, 0);
        u128 product = 1;
        for (int j : members)
            product *= static_cast<u128>(++count[key[2 * j]]);
        u128 sum = product;
        for (std::uint32_t g = 1; g < (std::uint32_t{1} << n); ++g) {
            const int j = std::countr_zero(g);
            const int from = key[2 * members[j] + pick[j]];
            pick[j] ^= 1;
            const int to = key[2 * members[j] + pick[j]];
            if (from != to) {  // an inbred member picks the same label either way
                product /= static_cast<u128>(count[from]--);
                product *= static_cast<u128>(++count[to]);
            }
            sum += product;
        }
        total = checked_mul(total, sum);
    }
    return total;
}

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
