// Gene dropping: genotypes of a pedigree from inheritance vectors and
// founder alleles drawn from the allele frequencies. Used by brell-sim for
// its simulated kindreds, and fit for null replicates of any pedigree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "study.h"

namespace linkage {


// Draws uniform in [0, 1). Callers pass their own seeded generator, so that
// a seed fixes every allele dropped.
using uniform_source = std::function<double()>;

// The meioses of a family. Non-founders are taken parents-first; the j-th
// has its paternal meiosis at bit 2j and its maternal one at bit 2j + 1. A
// bit is 0 when the child received the parent's paternal allele, 1 when it
// received the maternal one.
struct meioses {
    std::vector<int> order;        // every person, parents before children
    std::vector<int> founders;     // persons without parents, in that order
    std::vector<int> nonfounders;  // persons with both parents, in that order
    std::vector<int> bit;          // per person: its paternal meiosis bit, -1 for a founder
    int nbits() const { return 2 * static_cast<int>(nonfounders.size()); }
};

// Throws input_error (naming file and line) for a person with one parent
// only or one who is his own ancestor.
meioses meiosis_layout(const family& f, const std::string& file);

// Inheritance vectors at successive markers, one byte per bit.
struct inheritance {
    int nbits = 0;
    std::vector<std::uint8_t> bits;  // marker-major: bits[m * nbits + k]

    std::size_t markers() const { return nbits ? bits.size() / static_cast<std::size_t>(nbits) : 0; }
    const std::uint8_t* at(std::size_t m) const { return bits.data() + m * static_cast<std::size_t>(nbits); }
    std::uint8_t* at(std::size_t m) { return bits.data() + m * static_cast<std::size_t>(nbits); }
};

// Inheritance without linkage to anything, at positions cm (ascending): every
// bit uniform at the first position, then each meiosis flips independently
// with Haldane's fraction for the distance to the next. Draws nbits uniforms
// at the first position and nbits per later one.
inheritance draw_inheritance(int nbits, const std::vector<double>& cm, const uniform_source& u);

// Founder-allele labels (paternal, maternal) of every person under one
// inheritance vector. The k-th founder of the layout carries labels 2k
// (paternal) and 2k + 1 (maternal).
using label_pair = std::array<int, 2>;
void founder_labels(const meioses& mz, const family& f, const std::uint8_t* vector, std::vector<label_pair>& labels);

// Fills every person's genotype at the markers columns[m] (indices into
// markers and into f's genotype rows) from inh.at(m). At each marker, in
// turn, the founders' alleles are drawn from the marker's frequencies, each
// founder's paternal then maternal one, founders in layout order. Genotypes
// are stored with the smaller code first, as an unphased file holds them.
// f.geno is sized to markers.size() rows if it is not already.
void gene_drop(family& f, const meioses& mz, const std::vector<marker>& markers, const std::vector<int>& columns,
               const inheritance& inh, const uniform_source& u);

}  // namespace linkage
