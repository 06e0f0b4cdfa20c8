// Pieces of the multipoint computation shared between its source files.
#pragma once

#include <cstdint>
#include <vector>

#include "ibd.h"

namespace linkage::detail {

enum class shape { flat, varying, impossible };

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
    // State of the founder-allele graph per depth of the walk.
    std::vector<std::int16_t> comp_, roots_;
    std::vector<std::uint16_t> al_;
    std::vector<std::uint8_t> opts_;
    std::vector<double> w_, s_;
    std::vector<int> nroots_;

    void walk(int i, int depth, std::uint32_t v, double* e);
    void copy_level(int from, int to);
    bool apply(int depth, int l1, int l2, unsigned a, unsigned b);
    double evaluate(int depth, int l1, int l2, unsigned a, unsigned b) const;
};

// Recombination between loci at fraction theta, applied in place to a vector
// over inheritance vectors: one butterfly per meiosis.
void transition(double* x, std::uint64_t n, const std::vector<std::uint32_t>& masks, double theta);

}  // namespace linkage::detail
