// The likelihood of a cluster's genotypes given each inheritance vector: the
// founder-allele graph with haplotypes in place of alleles.
#pragma once

#include <cstdint>
#include <vector>

#include "cluster.h"
#include "ibd_detail.h"

namespace linkage::detail {

// P(genotypes at a cluster's markers | v) for every inheritance vector: each
// founder gene carries one haplotype with its frequency, and a genotyped
// person's two genes carry haplotypes that together show each of its typed
// genotypes. A cluster of one marker gives what marker_likelihood gives for
// it under the cluster's frequencies, to the bit. Holds its scratch space:
// one per thread.
class cluster_likelihood {
public:
    explicit cluster_likelihood(const kindred& k);

    // Fills e[0 .. 2^bits) unless the result is flat (the same for every
    // vector, including no genotypes at all); `impossible` when it is 0 for
    // every vector.
    shape compute(const family& f, const study& s, const cluster& c, double* e);

    // Whether some vector gives the genotypes a likelihood above 0: the walk
    // stops at the first that does.
    bool possible(const family& f, const study& s, const cluster& c);

private:
    using word = std::uint64_t;
    struct edge {
        int a, b;         // labels, a < b
        const word* rel;  // H rows of W words: row h holds the partners of h
    };
    // The graph after the members up to a depth of the walk.
    struct level {
        std::vector<edge> edges;
        std::vector<word> domain;  // L x W: haplotypes each label may still carry
        std::vector<word> rel;     // the relation this depth made by joining parallel edges
        std::vector<char> touched; // labels some genotype constrains
    };

    bool add(int depth, int l1, int l2, int member);
    double evaluate(const level& g);
    double solve(int nodes, const int* label, const word* domain, int depth);
    double tree(int nodes, const int* label, const int* par, const int* ord, const word* domain);
    void walk(int i, int depth, std::uint32_t v, double* e);

    const kindred& k_;
    marker_likelihood single_;
    marker single_marker_;
    int L_;
    std::vector<std::uint32_t> block_;  // vectors sharing the meioses of members up to i
    std::vector<int> lab_;              // labels of each member in the walk
    int last_ = -1;                     // last member whose genotypes matter
    bool first_only_ = false;           // possible(): stop at the first vector above 0
    bool found_ = false;
    std::vector<double> scratch_;

    // The cluster at hand.
    const cluster* c_ = nullptr;
    int H_ = 0, W_ = 0;
    std::vector<std::size_t> off_;  // per marker: its alleles' rows in carry_
    std::vector<word> carry_;       // per marker and allele: the haplotypes carrying it
    std::vector<word> full_;        // every haplotype
    std::vector<genotype> geno_;    // a member's genotypes in the cluster
    std::vector<word> partners_;    // per counted member: H x W, the pairs its genotypes allow
    std::vector<int> row_of_;     // per member: its block in partners_, -1 when it does not count
    std::vector<level> levels_;

    // Scratch of evaluate and solve: the graph at a leaf, and per depth of
    // solve its union-find and lists of labels, and the domains of a cut.
    const edge* edges_ = nullptr;
    int E_ = 0;
    std::vector<int> ints_, nodes_;
    std::vector<word> cond_;
    std::vector<double> wt_;  // a tree's weights, label by label
};

}  // namespace linkage::detail
