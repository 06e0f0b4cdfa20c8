// Marker likelihood of every inheritance vector by the founder-allele graph.
//
// The walk assigns members' labels parents first; a genotype joins its two
// labels in the graph. Choosing the allele of one label fixes its whole
// component, so each component keeps at most two options (and the options of
// a component differ at every label). The state of the graph is kept per depth
// of the walk, so a member's constraint is applied once for all the vectors
// that share the meioses up to it, and an impossible constraint rules out
// their whole block at once.
#include <algorithm>
#include <cstring>
#include <utility>

#include "ibd_detail.h"

namespace linkage::detail {

void walk_layout(const kindred& k, std::vector<std::uint32_t>& block, std::vector<int>& lab)
{
    const std::size_t n = k.members.size();
    block.assign(n, 1);
    std::uint32_t below = 1;
    for (std::size_t i = n; i-- > 0;) {
        block[i] = below;
        below <<= (k.members[i].pat_bit >= 0) + (k.members[i].mat_bit >= 0);
    }
    lab.assign(2 * n, -1);
    for (std::size_t i = 0; i < n; ++i)
        if (k.members[i].father < 0) {
            lab[2 * i] = k.members[i].label;
            lab[2 * i + 1] = k.members[i].label + 1;
        }
}

marker_likelihood::marker_likelihood(const kindred& k) : k_(k), L_(k.labels)
{
    const std::size_t n = k.members.size();
    walk_layout(k, block_, lab_);
    ga_.assign(n, 0);
    gb_.assign(n, 0);
    fresh_.assign(n, 0);
    std::size_t depths = 1;
    for (const kindred::member& m : k.members)
        depths += m.pat_bit >= 0 || m.mat_bit >= 0;
    // Per depth: w (2L doubles), s (L), then al (2L uint16), comp, roots and
    // next (L int32 each), opts (L bytes) and the number of roots.
    const std::size_t bytes = (17 * static_cast<std::size_t>(L_) + 3) / 4 * 4 + sizeof(int);
    stride_ = 3 * static_cast<std::size_t>(L_) + (bytes + sizeof(double) - 1) / sizeof(double);
    state_.assign(depths * stride_, 0.0);
}

void marker_likelihood::copy_level(int from, int to)
{
    std::memcpy(&state_[to * stride_], &state_[from * stride_], stride_ * sizeof(double));
}

namespace {
// The allele the other label must carry when one carries x, for genotype {a, b}; 0: none.
inline unsigned partner(unsigned x, unsigned a, unsigned b) { return x == a ? b : x == b ? a : 0; }
}  // namespace

// Adds the constraint "labels l1, l2 carry {a, b}"; false when nothing is left.
bool marker_likelihood::apply(int depth, int l1, int l2, unsigned a, unsigned b)
{
    const graph G = at(depth);
    std::int32_t* comp = G.comp;
    std::uint16_t* al = G.al;
    std::uint8_t* opts = G.opts;
    double* w = G.w;
    double* s = G.s;
    std::int32_t* roots = G.roots;
    std::int32_t* next = G.next;
    const double* f = freq_.data();
    int c1 = comp[l1], c2 = comp[l2];
    auto settle = [&](int r) {
        s[r] = (opts[r] & 1 ? w[2 * r] : 0.0) + (opts[r] & 2 ? w[2 * r + 1] : 0.0);
        return opts[r] != 0;
    };

    if (c1 < 0 && c2 < 0) {
        roots[(*G.nroots)++] = static_cast<std::int32_t>(l1);
        comp[l1] = static_cast<std::int32_t>(l1);
        next[l1] = static_cast<std::int32_t>(l1);
        if (l1 == l2) {  // inbred: both alleles from one founder allele
            if (a != b)
                return false;
            al[2 * l1] = static_cast<std::uint16_t>(a);
            opts[l1] = 1;
            w[2 * l1] = f[a];
            return settle(l1);
        }
        comp[l2] = static_cast<std::int32_t>(l1);
        next[l1] = static_cast<std::int32_t>(l2);
        next[l2] = static_cast<std::int32_t>(l1);
        al[2 * l1] = al[2 * l2 + 1] = static_cast<std::uint16_t>(a);
        al[2 * l1 + 1] = al[2 * l2] = static_cast<std::uint16_t>(b);
        w[2 * l1] = w[2 * l1 + 1] = f[a] * f[b];
        opts[l1] = a == b ? 1 : 3;
        return settle(l1);
    }
    if (c1 < 0) {
        std::swap(l1, l2);
        std::swap(c1, c2);
    }
    if (c2 < 0) {  // l2 joins l1's component
        comp[l2] = static_cast<std::int32_t>(c1);
        next[l2] = next[c1];
        next[c1] = static_cast<std::int32_t>(l2);
        for (int o = 0; o < 2; ++o) {
            if (!(opts[c1] >> o & 1))
                continue;
            const unsigned other = partner(al[2 * l1 + o], a, b);
            if (!other) {
                opts[c1] &= static_cast<std::uint8_t>(~(1u << o));
                continue;
            }
            al[2 * l2 + o] = static_cast<std::uint16_t>(other);
            w[2 * c1 + o] *= f[other];
        }
        return settle(c1);
    }
    if (c1 == c2) {
        for (int o = 0; o < 2; ++o)
            if ((opts[c1] >> o & 1) && partner(al[2 * l1 + o], a, b) != al[2 * l2 + o])
                opts[c1] &= static_cast<std::uint8_t>(~(1u << o));
        return settle(c1);
    }

    // Two components joined: each option of the first allows at most one of the second.
    int n = 0, p1[2], p2[2];
    for (int o1 = 0; o1 < 2; ++o1) {
        if (!(opts[c1] >> o1 & 1))
            continue;
        const unsigned need = partner(al[2 * l1 + o1], a, b);
        for (int o2 = 0; need && o2 < 2; ++o2)
            if ((opts[c2] >> o2 & 1) && al[2 * l2 + o2] == need) {
                p1[n] = o1;
                p2[n] = o2;
                ++n;
                break;
            }
    }
    if (n == 0)
        return false;
    double nw[2];
    for (int j = 0; j < n; ++j)
        nw[j] = w[2 * c1 + p1[j]] * w[2 * c2 + p2[j]];
    // The first component keeps its labels and their option slots (a slot
    // left without an option is simply not set in opts); only the second's
    // labels are rewritten into them. Its root stays in roots, marked dead by
    // comp[c2] != c2, so that the order of the others never changes.
    for (int l = c2;;) {
        const std::uint16_t old[2] = {al[2 * l], al[2 * l + 1]};
        for (int j = 0; j < n; ++j)
            al[2 * l + p1[j]] = old[p2[j]];
        comp[l] = static_cast<std::int32_t>(c1);
        l = next[l];
        if (l == c2)
            break;
    }
    std::swap(next[c1], next[c2]);
    opts[c1] = static_cast<std::uint8_t>((1u << p1[0]) | (n == 2 ? 1u << p1[1] : 0u));
    w[2 * c1 + p1[0]] = nw[0];
    if (n == 2)
        w[2 * c1 + p1[1]] = nw[1];
    else
        w[2 * c1 + 1 - p1[0]] = 0.0;
    return settle(c1);
}

// The likelihood with the constraint "l1, l2 carry {a, b}" added, the state left as it is.
double marker_likelihood::evaluate(int depth, int l1, int l2, unsigned a, unsigned b)
{
    const graph G = at(depth);
    const std::int32_t* comp = G.comp;
    const std::uint16_t* al = G.al;
    const std::uint8_t* opts = G.opts;
    const double* w = G.w;
    const double* s = G.s;
    const std::int32_t* roots = G.roots;
    const double* f = freq_.data();
    int c1 = comp[l1], c2 = comp[l2];
    double joined = 0.0;
    if (c1 < 0 && c2 < 0) {
        if (l1 == l2)
            joined = a == b ? f[a] : 0.0;
        else if (a == b)
            joined = f[a] * f[b];
        else
            joined = f[a] * f[b] + f[a] * f[b];
    } else {
        if (c1 < 0) {
            std::swap(l1, l2);
            std::swap(c1, c2);
        }
        for (int o1 = 0; o1 < 2; ++o1) {
            if (!(opts[c1] >> o1 & 1))
                continue;
            const unsigned need = partner(al[2 * l1 + o1], a, b);
            if (!need)
                continue;
            if (c2 < 0)
                joined += w[2 * c1 + o1] * f[need];
            else if (c1 == c2)
                joined += need == al[2 * l2 + o1] ? w[2 * c1 + o1] : 0.0;
            else
                for (int o2 = 0; o2 < 2; ++o2)
                    if ((opts[c2] >> o2 & 1) && al[2 * l2 + o2] == need)
                        joined += w[2 * c1 + o1] * w[2 * c2 + o2];
        }
    }
    double rest = 1.0;
    for (int i = 0; i < *G.nroots; ++i) {
        const int r = roots[i];
        if (comp[r] == r && r != c1 && r != c2)
            rest *= s[r];
    }
    return rest * joined;
}

void marker_likelihood::walk(int i, int depth, std::uint32_t v, double* e)
{
    // Members without a free meiosis have one option: their genotype goes
    // into this depth's state, in a loop rather than a recursion.
    for (;; ++i) {
        const kindred::member& m = k_.members[i];
        if (m.pat_bit >= 0 || m.mat_bit >= 0)
            break;
        if (m.father >= 0) {
            lab_[2 * i] = lab_[2 * m.father];
            lab_[2 * i + 1] = lab_[2 * m.mother];
        }
        const int l1 = lab_[2 * i], l2 = lab_[2 * i + 1];
        if (i == last_) {
            std::fill_n(e + v, block_[i], evaluate(depth, l1, l2, ga_[i], gb_[i]));
            return;
        }
        if (ga_[i] && !apply(depth, l1, l2, ga_[i], gb_[i])) {
            std::fill_n(e + v, block_[i], 0.0);
            return;
        }
    }
    const kindred::member& m = k_.members[i];
    const unsigned a = ga_[i], b = gb_[i];
    const int np = m.pat_bit >= 0 ? 2 : 1, nm = m.mat_bit >= 0 ? 2 : 1;
    for (int pb = 0; pb < np; ++pb)
        for (int mb = 0; mb < nm; ++mb) {
            lab_[2 * i] = lab_[2 * m.father + pb];
            lab_[2 * i + 1] = lab_[2 * m.mother + mb];
            const std::uint32_t w = v | (static_cast<std::uint32_t>(pb) << (pb ? m.pat_bit : 0)) |
                                    (static_cast<std::uint32_t>(mb) << (mb ? m.mat_bit : 0));
            const int l1 = lab_[2 * i], l2 = lab_[2 * i + 1];
            if (i == last_) {
                std::fill_n(e + w, block_[i], evaluate(depth, l1, l2, a, b));
            } else if (a || fresh_[i]) {
                copy_level(depth, depth + 1);
                if (!a || apply(depth + 1, l1, l2, a, b))
                    walk(i + 1, depth + 1, w, e);
                else
                    std::fill_n(e + w, block_[i], 0.0);
            } else {
                walk(i + 1, depth, w, e);
            }
        }
}

shape marker_likelihood::compute(const family& f, const marker& mk, std::size_t m, double* e)
{
    last_ = -1;
    for (std::size_t i = 0; i < k_.members.size(); ++i) {
        const kindred::member& mb = k_.members[i];
        const genotype& g = f.at(m, mb.person);
        // A founder without children contributes the same factor to every vector.
        const bool counts = !g.missing() && (mb.father >= 0 || mb.has_children);
        ga_[i] = counts ? g.a : 0;
        gb_[i] = counts ? g.b : 0;
        if (counts)
            last_ = static_cast<int>(i);
    }
    if (last_ < 0)
        return shape::flat;
    bool in_place = false;
    for (int i = last_; i-- > 0;) {
        fresh_[i] = in_place;
        const kindred::member& mb = k_.members[i];
        in_place = in_place || (ga_[i] && mb.pat_bit < 0 && mb.mat_bit < 0);
    }
    freq_.assign(1, 0.0);
    freq_.insert(freq_.end(), mk.freq.begin(), mk.freq.end());
    const graph g0 = at(0);
    *g0.nroots = 0;
    std::fill_n(g0.comp, L_, std::int32_t{-1});
    walk(0, 0, 0, e);

    const std::uint64_t n = k_.vectors();
    const double first = e[0];
    if (std::all_of(e, e + n, [first](double x) { return x == first; }))
        return first == 0.0 ? shape::impossible : shape::flat;
    return shape::varying;
}

}  // namespace linkage::detail
