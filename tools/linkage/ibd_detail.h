// Pieces of the multipoint computation shared between its source files.
#pragma once

#include <cstdint>
#include <vector>

#include "ibd.h"

namespace brell {
class worker_pool;
}

namespace linkage::detail {

// One step of a transition: a meiosis alone, or two whose butterflies share a
// pass (m1's top bit the higher, applied first).
struct step {
    std::uint32_t m1, m2;  // m2 = 0: m1 alone
};

enum class shape { flat, varying, impossible };

// How the likelihood walks lay out a kindred's members: block[i], the vectors
// sharing the meioses of members up to i; lab[2i], lab[2i + 1], a founder's
// two labels (-1 for the others).
void walk_layout(const kindred& k, std::vector<std::uint32_t>& block, std::vector<int>& lab);

// P(genotypes at one marker | v) for every inheritance vector, by the founder-
// allele graph, walking the vectors so that members early in the walk share
// their work. Holds its scratch space: one per thread.
class marker_likelihood {
public:
    explicit marker_likelihood(const kindred& k);

    // Fills e[0 .. 2^bits) unless the result is flat (the same for every
    // vector, including no genotypes at all); `impossible` when it is 0 for
    // every vector.
    shape compute(const family& f, const marker& mk, std::size_t m, double* e);

private:
    struct level;
    const kindred& k_;
    int L_;
    std::vector<std::uint32_t> block_;  // vectors sharing the meioses of members up to i
    std::vector<int> lab_;              // labels of each member in the walk
    std::vector<std::uint16_t> ga_, gb_;  // genotype of each member at this marker, 0 if none
    std::vector<double> freq_;          // by allele code; freq_[0] unused
    int last_ = -1;                     // last member with a genotype that matters
    // Per member with a free meiosis: whether a member after it (before
    // last_) without one adds its genotype in place, so that each of its
    // options needs a fresh copy of the state.
    std::vector<char> fresh_;
    // State of the founder-allele graph per depth of the walk, one block per
    // depth so that a copy is one memcpy. Only members with a free meiosis
    // open a new depth, the others add their genotype in place: at most
    // bits + 1 depths, so that memory stays linear in a large family.
    struct graph {
        double* w;            // roots: w[2r + o], product of the frequencies in option o
        double* s;            // roots: weight of the consistent options
        std::uint16_t* al;    // al[2l + o]: allele of label l in option o of its component
        std::int32_t* comp;   // component (its root label) of each label; -1 untouched
        std::int32_t* roots;  // the components, in order of creation; a root merged into another
                              // stays, with comp[root] != root
        std::int32_t* next;   // the labels of a component in a ring
        std::uint8_t* opts;   // roots: bit o set when option o is consistent
        int* nroots;
    };
    std::vector<double> state_;
    std::size_t stride_ = 0;  // doubles per depth
    graph at(int depth)
    {
        double* base = &state_[depth * stride_];
        auto* bytes = reinterpret_cast<unsigned char*>(base + 3 * L_);
        return {base,
                base + 2 * L_,
                reinterpret_cast<std::uint16_t*>(bytes),
                reinterpret_cast<std::int32_t*>(bytes + 4 * L_),
                reinterpret_cast<std::int32_t*>(bytes + 8 * L_),
                reinterpret_cast<std::int32_t*>(bytes + 12 * L_),
                bytes + 16 * L_,
                reinterpret_cast<int*>(bytes + (17 * L_ + 3) / 4 * 4)};
    }

    void walk(int i, int depth, std::uint32_t v, double* e);
    void copy_level(int from, int to);
    bool apply(int depth, int l1, int l2, unsigned a, unsigned b);
    double evaluate(int depth, int l1, int l2, unsigned a, unsigned b);
};

// Whether this CPU runs the butterflies four doubles at a time (AVX2).
bool wide_kernels();

// Recombination between loci at fraction theta over vectors of n elements,
// prepared once per kindred: the same operations as transition() below, cut
// into blocks that fit a cache and shared among a pool's threads. The bits
// do not depend on the number of threads.
class transition_plan {
public:
    transition_plan() = default;
    // Couples' recombinations (kindred::couple) go first, while the vector
    // is still invariant under their exchange.
    // wide: four doubles to a register (AVX2), the same bits as two.
    transition_plan(std::uint64_t n, const std::vector<std::uint32_t>& masks,
                    const std::vector<kindred::couple>& couples = {}, bool wide = wide_kernels());
    // From `in` into x (in may be x).
    void apply(const double* in, double* x, double theta, brell::worker_pool* pool) const;

private:
    struct stage {
        std::uint64_t span = 0;  // the bits that vary within one block
        int run = 0;             // its lowest bits, all in the span: contiguous runs
        std::vector<step> steps;  // on the span's bits packed together
    };
    std::uint64_t n_ = 1;
    bool wide_ = false;
    std::vector<kindred::couple> couples_;
    std::vector<step> low_;  // within blocks of contiguous elements
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs_;  // blocks the last couple pairs
    std::vector<stage> stages_;
};

// Recombination between loci at fraction theta, applied in place to a vector
// over inheritance vectors: one butterfly per meiosis.
void transition(double* x, std::uint64_t n, const std::vector<std::uint32_t>& masks, double theta);
// The same from `in` into x (in may be x); as fast as in place.
void transition(const double* in, double* x, std::uint64_t n, const std::vector<std::uint32_t>& masks,
                double theta);

}  // namespace linkage::detail
