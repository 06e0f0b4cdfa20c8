// Multipoint identity by descent (Lander & Green): for each kindred, the
// distribution of an allele-sharing score over its inheritance vectors, under
// no linkage and given the marker data at each position of a chromosome.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "study.h"

namespace brell {
class worker_pool;
}

namespace linkage {

struct cluster_set;  // cluster.h

enum class score_kind { all, pairs };  // S_all (Whittemore & Halpern) or S_pairs

// One family prepared for the hidden Markov model.
struct kindred {
    // Built from a family: persons carrying no information are trimmed (not
    // genotyped at any marker, not affected, and with no genotyped or affected
    // descendant), then inheritance vectors with founder-phase symmetry:
    // bits = 2 * non-founders - founders with children - couples.
    int bits = 0;
    int affected = 0;               // affected members counted by the score
    std::vector<double> score;      // distinct score values, ascending: the kindred's outcomes
    std::vector<double> nullprob;   // fraction of vectors giving each outcome (count / 2^bits)

    // A kept person, parents first. A founder owns labels 2 * founder and
    // 2 * founder + 1 (paternal, maternal); a non-founder's meiosis takes its
    // parent's first label when the bit is 0, the second when it is 1. The
    // vector bits go to meioses from the top down in member order, so the
    // vectors sharing the meioses of the first members form a contiguous block.
    struct member {
        int person = -1;   // index in family::persons
        int father = -1;   // index in members; -1 for a founder
        int mother = -1;
        int pat_bit = -1;  // vector bit of the paternal meiosis; -1: fixed to 0 by the symmetry
        int mat_bit = -1;
        int label = -1;    // founders: first of its two labels
        bool has_children = false;
        bool affected = false;
    };
    std::vector<member> members;
    int labels = 0;                     // 2 * kept founders
    std::vector<std::uint32_t> masks;   // per meiosis, the vector bits its recombination flips

    // A founder couple alike to the data (each the other's only spouse, the
    // same affection, the same genotype at every marker): exchanging the two
    // maps a vector v to sigma(v), with each child's paternal and maternal
    // bit exchanged and every meiosis from a child to its own children
    // flipped, and changes no likelihood, score or transition probability
    // (a sex-averaged map). One such meiosis b is fixed to 0: vectors then
    // stand for their pairs {v, sigma(v)}, and a recombination at b takes v
    // to pi(v) = sigma(v with b set), which exchanges the bits in `swap` and
    // flips those in `flip`. That holds for vectors invariant under sigma,
    // which the other meioses' butterflies keep only all together.
    struct couple {
        std::vector<std::pair<int, int>> swap;  // a child's paternal and maternal bit
        std::uint32_t flip = 0;
    };
    std::vector<couple> couples;        // each one bit fewer
    // Outcome index of every vector: shared by kindreds of one shape.
    std::shared_ptr<const std::vector<std::uint32_t>> outcome;

    std::uint64_t vectors() const { return std::uint64_t{1} << bits; }
};

// Cheap: number of affected members and bits after trimming, without building
// the vector tables, so the driver can leave out families with < 2 affected or
// bits > max_bits before any big allocation.
struct kindred_size {
    int affected = 0;
    int bits = 0;
    int couples = 0;  // bits saved by founder couples
};
// couples = false: no founder couple reduced (bits as before it).
kindred_size measure(const family& f, bool couples = true);

// Throws std::length_error beyond 30 bits. S_all is exact for any number of
// affected members; a score beyond the largest double comes out infinite.
kindred make_kindred(const family& f, score_kind s, bool couples = true);

// The same in two steps, so that families of one shape are scored once: the
// members, bits and masks alone (no score, outcome or null probability), then
// the scores.
kindred kindred_layout(const family& f, bool couples = true);
// A pool's threads share the scoring of a kindred of parallel_bits or more.
void score_kindred(kindred& k, score_kind s, brell::worker_pool* pool = nullptr);
// Alike but for which persons they hold: the same members in the same order,
// with the same parents, meioses and affection, and so the same scores.
bool same_shape(const kindred& a, const kindred& b);

// Markers closer than this (cM) are one position: no recombination between
// them, and their genotypes all count there. Grid points this close to a
// marker are the marker's position.
inline constexpr double same_position_cm = 1e-9;

// A chromosome holds at most this many positions: a step that would make more
// is refused rather than left to exhaust memory.
inline constexpr std::size_t max_positions = 10'000'000;

// A place on one chromosome where outcome probabilities are wanted.
struct position {
    double cm = 0.0;
    std::vector<int> markers;  // study indices of the markers here, in map order; empty between markers
};

// Each marker's position on the chromosome, in map order: markers within
// same_position_cm of the one before share its position. With clusters, the
// pass walks loci: a cluster is one locus at the mean cM of its markers, all
// of which are at its position, and a locus within same_position_cm of the
// one before shares its position.
std::vector<double> marker_positions(const study& s, const chromosome& c);
std::vector<double> marker_positions(const study& s, const chromosome& c, const cluster_set& cs);

// Positions of a chromosome: each marker position in map order, and with
// step > 0 also every multiple of step (cM) strictly between the first and
// last marker that is not at a marker position. A grid point is the double
// nearest the decimal multiple of step's shortest decimal form, so that it
// prints as that decimal (0.7, not 0.7000000000000001). Throws
// std::length_error beyond max_positions.
std::vector<position> positions(const study& s, const chromosome& c, double step);
std::vector<position> positions(const study& s, const chromosome& c, const cluster_set& cs, double step);

struct ibd_result {
    std::vector<double> probs;      // positions x outcomes: probs[p * score.size() + k]; each row
                                    // sums to 1 (masses divided by their total)
    std::vector<double> entropy;    // per position: entropy (nats) of the posterior over inheritance
                                    // vectors, within [0, null_entropy]
    double null_entropy = 0.0;      // of their uniform prior: bits ln 2 (bits before couples: the
                                    // reduction changes neither entropy)
    std::vector<int> inconsistent;  // markers (study indices, map order; a cluster by its first)
                                    // whose genotypes in this family are impossible under every
                                    // vector; empty when none
    std::vector<int> blamed;        // per inconsistent marker, the person (index in family::persons)
                                    // first in file order whose genotype, with those before, is
                                    // impossible there
};

// Multipoint posterior over inheritance vectors at every position, summed into
// outcomes. Markers listed in `ignore` (sorted study indices) are treated as
// ungenotyped for this family. Haldane map. Thread-safe.
//
// Markers reported as inconsistent are left out of the computation, so the
// result then equals a call with them in `ignore`. A marker is also reported
// when its genotypes are possible alone but not jointly with markers before it
// at the same map position (no recombination between them).
//
// Kindreds of this many bits or more share their work among a pool's threads.
inline constexpr int parallel_bits = 16;

// How the work on one kindred is done: the results do not depend on it, to the bit.
struct multipoint_options {
    // Bytes for the kindred's vectors (and its outcome table); 0: no limit.
    // Forward vectors are recomputed from checkpoints to stay within it; a
    // kindred that cannot be done within it throws std::length_error.
    std::uint64_t memory = 0;
    // Above 0: markers between stored forward vectors, the rest recomputed in
    // the backward pass; 0 chooses from the kindred's size and the memory.
    int segment = 0;
    // Threads that share the work on a large kindred; none: this thread alone.
    brell::worker_pool* pool = nullptr;
    // Skip the blocks of vectors that a marker rules out.
    bool sparse = true;
};

ibd_result multipoint(const kindred& k, const family& f, const study& s, const chromosome& c,
                      const std::vector<position>& pos, const std::vector<int>& ignore = {},
                      const multipoint_options& opt = {});
// The same over the loci of clusters and markers alone (positions from
// positions(s, c, cs, step)). A cluster is ignored, and reported as
// inconsistent, by its first marker.
ibd_result multipoint(const kindred& k, const family& f, const study& s, const chromosome& c, const cluster_set& cs,
                      const std::vector<position>& pos, const std::vector<int>& ignore = {},
                      const multipoint_options& opt = {});

// The least multipoint_options::memory that a kindred of these bits is done
// within, whatever its markers and positions.
std::uint64_t least_memory(int bits);

}  // namespace linkage
