// brell-sim: simulated allele-sharing studies of affected sibships, written
// as the input files of brell; and null replicates of a real study, its
// genotypes dropped afresh down its own pedigrees.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cluster.h"
#include "fingerprint.h"
#include "gene_drop.h"
#include "readers.h"

namespace sim {

inline constexpr const char* PROGRAM = "brell-sim";
inline constexpr int MIN_SIBS = 2;
inline constexpr int MAX_SIBS = 6;

// Anything that stops a run: the driver prints the text once and exits 1.
struct error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class model { exponential, linear };
enum class allele_freqs { uniform, skewed, snp };
enum class parents_mode { genotyped, missing, mixed };
enum class pedigree_shape { sibship, grandparents };

inline constexpr int MAX_ALLELES = 255;
inline constexpr int MAX_LD = 1000;  // markers per --ld block, and its ancestral haplotypes
// Genotypes are held in memory until written (PLINK files are marker-major).
inline constexpr double MAX_GENOTYPES = 5e8;

using study_format = linkage::study_format;

// Null replicates of a study read from files (--drop).
struct drop_options {
    bool on = false;
    study_format format = study_format::linkage;
    linkage::linkage_files files;  // LINKAGE-style input
    std::string prefix;            // PLINK fileset
    int filesets = 0;              // --bfile and --file given
    long replicates = 0;
    long first = 1;                // replicates first .. first + replicates - 1
    linkage::freq_from freq = linkage::freq_from::all;  // when no frequency file gives them
    bool drop_inconsistent = false;  // leave brell-ibd's inconsistent genotypes missing
    int max_bits = 24;               // brell-ibd's --max-bits: which families it checks
    // brell-ibd's LD clusters, whose founder haplotypes the replicates draw.
    std::string clusters;
    std::optional<double> ld_r2;
    linkage::cluster_limits ld;
    std::string write_clusters;
};
inline constexpr int MAX_BITS = 30;
// Keeps replicate numbers, and so the folder names, within reason.
inline constexpr long MAX_REPLICATE = 999999999;

struct options {
    long kindreds = 100;
    std::array<double, MAX_SIBS + 1> sib_mix{};  // relative frequency by sibship size
    double length = 100.0;                       // cM
    double spacing = 1.0;                        // cM
    bool has_locus = false;
    double locus = 0.0;                          // cM
    sim::model model = model::exponential;
    double delta = 0.0;
    double informativeness = 1.0;                // chance a position is fully observed
    bool write_weights = false;
    bool pair_weights = false;                   // weight sqrt(pairs) rather than weight_value
    double weight_value = 1.0;
    std::string out_dir = ".";
    std::uint64_t seed = 1;
    int alleles = 0;                             // per marker; 0 writes no genotypes
    allele_freqs freqs = allele_freqs::uniform;
    parents_mode parents = parents_mode::genotyped;
    double missing = 0.0;                        // chance a genotyped person's genotype is lost
    pedigree_shape pedigree = pedigree_shape::sibship;
    int ld_block = 0;                            // --ld BLOCK:HAPS; 0: alleles drawn independently
    int ld_haplotypes = 0;
    bool plink = false;
    drop_options drop;
    bool help = false;
    bool version = false;
};

// Throws sim::error naming the option and the accepted values.
options parse_options(int argc, const char* const argv[]);
const char* usage_text();

// Null distribution of the pairs score of one affected sibship. With the
// parents' four alleles distinct, a vector of 2s meiosis bits (bit 2j: sib j's
// paternal allele, bit 2j+1: its maternal one) fixes all IBD sharing.
struct sibship {
    int sibs = 0;
    int nvectors = 0;                   // 4^sibs, all equally likely without linkage
    std::vector<int> score;             // distinct pairs scores, ascending
    std::vector<int> count;             // vectors giving each score
    std::vector<double> nullprob;       // count / nvectors
    std::vector<std::uint8_t> outcome;  // outcome index of every vector
    std::vector<std::vector<std::uint16_t>> vectors;  // the vectors of each outcome
    double mean = 0.0;
    double sd = 0.0;
    std::vector<double> zscore;         // (score - mean) / sd, as brell computes it
};

int pairs_score(int sibs, unsigned vector);
sibship enumerate_sibship(int sibs);

// Kindred weight written to weights.dat and used in the tilt.
double kindred_weight(const options& opt, int sibs);

// Outcome probabilities at the trait locus: the null probabilities tilted by
// exp(delta w z) or 1 + delta w z.
std::vector<double> tilted_probs(const sibship& sh, sim::model m, double delta, double weight);

// Range of delta that keeps every linear-model probability non-negative.
struct delta_range {
    double lo;
    double hi;
};
delta_range linear_delta_range(const sibship& sh, double weight);

// Refuses a linear-model delta outside the range of any sibship size the
// study may draw.
void check_linear_delta(const options& opt, const std::array<sibship, MAX_SIBS + 1>& tables);

// Small, fast generator with a fixed algorithm (xoshiro256**), so a seed
// gives the same study on every platform and standard library.
class rng {
public:
    rng(std::uint64_t seed, std::uint64_t kindred, std::uint64_t stream);
    std::uint64_t next();
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)

private:
    std::array<std::uint64_t, 4> s_;
};

// Streams of a kindred: separate, so that changing one setting (say the
// informativeness) leaves the others' draws as they were.
enum stream : std::uint64_t {
    STREAM_SIZE = 0,
    STREAM_INHERITANCE = 1,
    STREAM_MARKERS = 2,
    STREAM_PEDIGREE = 3,     // the sibs' sexes
    STREAM_MEIOSES = 4,      // the parents' own meioses in three generations
    STREAM_ALLELES = 5,      // founder alleles
    STREAM_MISSING = 6,      // lost genotypes
    STREAM_FREQUENCIES = 7,  // SNP frequencies, drawn once for the study
    STREAM_DROP = 8,         // a null replicate of a study read from files, indexed by replicate
    STREAM_LD = 9,           // --ld's ancestral haplotypes, drawn once for the study
};
// Kindred index of the study-wide draws: no kindred has it.
inline constexpr std::uint64_t STUDY_WIDE = UINT64_MAX;

// Recombination fraction of Haldane's map function, d in cM.
double haldane(double d_cm);

// Flips each of nbits meioses independently with probability theta.
unsigned recombine(unsigned vector, int nbits, double theta, rng& r);

struct map {
    std::vector<double> pos;  // cM
};
map make_map(const options& opt);

// One kindred's draw: its size and, at every map position, the outcome index
// of its inheritance vector, or -1 where the markers tell nothing.
struct kindred_sample {
    int sibs = 0;
    std::vector<unsigned> vector;  // per position
    std::vector<int> observed;     // per position
};

int draw_sibship_size(const options& opt, rng& r);
void simulate_kindred(const options& opt, const std::array<sibship, MAX_SIBS + 1>& tables,
                      const map& m, long index, kindred_sample& out);

std::string kindred_name(long index, long kindreds);

// The genotyped markers: one at every map position, on chromosome 1, named
// M1, M2, ..., with alleles named 1 to K; with --ld, the frequencies its
// ancestral haplotypes give them.
std::vector<linkage::marker> make_markers(const options& opt, const map& m);

// --ld's blocks: BLOCK consecutive markers each (the last may be fewer), with
// HAPS ancestral haplotypes whose alleles are drawn from the markers'
// frequencies (--freqs; each marker polymorphic among them) and whose
// frequencies are uniform on the simplex. Empty without --ld.
std::vector<linkage::cluster> make_ld(const options& opt, const map& m);

// A kindred as a pedigree. Persons are numbered from 1: father 1, mother 2
// and the sibs from 3; with grandparents the father's parents 1 and 2, the
// mother's 3 and 4, father 5, mother 6 and the sibs from 7.
struct kindred_pedigree {
    linkage::family family;
    linkage::meioses meioses;
    linkage::inheritance inheritance;  // at every map position
};

// The kindred's genotypes, dropped along the inheritance of its sample (the
// sibs' meioses) and, in three generations, the parents' own meioses drawn
// without linkage.
// With --ld each founder gene draws an ancestral haplotype per block (ld:
// make_ld's, made here when not given), which passes down marker by marker.
void simulate_pedigree(const options& opt, const std::vector<linkage::marker>& markers, const map& m, long index,
                       const kindred_sample& ks, kindred_pedigree& out,
                       const std::vector<linkage::cluster>* ld = nullptr);

// Shortest text that reads back as the same double.
std::string shortest(double v);

struct study_summary {
    long positions = 0;
    std::vector<std::string> files;
    bool removed_stale_weights = false;
    std::vector<std::string> removed_stale_genotypes;  // genotype files of an earlier study
};

// Writes nullprobs.dat, probs.dat and, if asked, weights.dat and the
// genotype files into opt.out_dir.
study_summary write_study(const options& opt);

// --drop: the study as read, with the frequencies of markers that the files
// give none counted from its genotypes. Throws linkage::input_error.
linkage::study read_drop_study(const drop_options& d);

// Replicate r of a study: the same pedigrees, affection, map and frequencies,
// the genotypes dropped without linkage, chromosome by chromosome, and then
// missing wherever the study's are. Its draws depend only on (seed, r). A
// cluster's founder genes draw whole haplotypes from its frequencies, with no
// recombination inside it; without clusters the replicate is the one of
// drop_replicate(s, seed, r).
linkage::study drop_replicate(const linkage::study& s, std::uint64_t seed, long r);
linkage::study drop_replicate(const linkage::study& s, const linkage::cluster_set& cs, std::uint64_t seed, long r);

// "rep" and r, zero-padded to six digits.
std::string replicate_name(long r);

struct drop_summary {
    std::size_t families = 0;
    std::size_t markers = 0;
    std::size_t dropped = 0;  // inconsistent genotype sets left missing
    long held = 0;            // replicates in the folder once written, this run's among them
    long lowest = 0, highest = 0;  // their numbers
    std::vector<std::string> notes;  // the study's, as read
};

// A study brell-ibd would refuse for its Mendelian inconsistencies: the
// text is its list, each line after the program's name.
struct inconsistent_study : error {
    using error::error;
};

// The study as its replicates copy it: read, checked for inconsistencies
// (refused, or with --drop-inconsistent those genotypes left missing), and
// its fingerprint.
struct drop_study {
    linkage::study study;
    linkage::fingerprint fingerprint;
    std::size_t dropped = 0;
    linkage::cluster_set clusters;  // as brell-ibd analyses the study
};
drop_study prepare_drop_study(const drop_options& d);

// Refuses a folder that holds anything but replicates of this study made
// with this seed; returns how many it holds.
long check_replicate_folder(const std::string& dir, const linkage::fingerprint& f, std::uint64_t seed);

// Reads the study and writes replicates first .. first + replicates - 1 as
// OUT/repNNNNNN/study.{ped,dat,map,freq} and manifest.tsv, each replicate
// put in place whole.
drop_summary write_replicates(const options& opt);

}  // namespace sim
