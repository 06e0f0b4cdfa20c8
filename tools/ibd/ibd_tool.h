// brell-ibd: multipoint identity by descent from pedigree, genotype and map
// files to the files brell reads, one folder per chromosome.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cluster.h"
#include "command_line.h"
#include "ibd.h"
#include "readers.h"

namespace ibd {

inline constexpr const char* PROGRAM = "brell-ibd";

// A fault that is not in one input line: printed after "brell-ibd: ".
struct error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A command line that cannot be run: the text, then a pointer to --help.
using usage_error = cli::usage_error;

using input_format = linkage::study_format;

struct options {
    input_format format = input_format::linkage;
    linkage::linkage_files files;  // -p -d -m -f
    std::string prefix;            // --bfile / --file
    int filesets = 0;              // --bfile and --file given
    std::string out_dir;
    linkage::score_kind score = linkage::score_kind::all;
    double step = 0.0;  // cM, above 0 when given; 0: markers only
    linkage::freq_from freq = linkage::freq_from::all;
    bool pair_weights = false;
    int max_bits = 24;
    double max_memory = 0.0;  // GiB for the vectors of the families being computed; 0: half the machine's memory
    bool drop_inconsistent = false;
    // Markers in linkage disequilibrium: clusters from a file and, given r^2, from the data.
    std::string clusters;
    std::optional<double> ld_r2;
    linkage::cluster_limits ld;  // --ld-distance, --max-haplotypes
    std::string write_clusters;
    int threads = 0;  // 0: every core
    bool quiet = false;
    bool help = false;
    bool version = false;
    // Whose messages: brell-scan runs brell-ibd's work as its own.
    const char* program = PROGRAM;
};

// brell-ibd's options, which brell-scan takes among its own.
void add_options(cli::parser& p, options& o);
// Every argument; throws usage_error.
options parse_options(int argc, const char* const argv[]);
// Checks that the options name one study and an output folder.
void check_options(const options& o);
const char* usage_text();

linkage::study read_study(const options& o);

struct chromosome_done {
    std::string name;
    std::string dir;  // OUTDIR/chrNAME
    int markers = 0;
    int positions = 0;
    // What markers.tsv holds, per position.
    std::vector<double> pos;
    std::vector<std::string> marker;  // empty between markers
    std::vector<double> information;
};

struct summary {
    int families = 0;  // in the study
    int used = 0;
    int left_out = 0;
    int largest_bits = 0;
    int largest_couples = 0;  // bits its founder couples saved
    std::string largest_family;
    std::vector<chromosome_done> chromosomes;  // analysed, in map order
    int not_analysed_markers = 0;              // X-linked, Y, MT
    int dropped = 0;                           // (family, locus) genotypes dropped as inconsistent
    int clusters = 0, clustered_markers = 0;   // LD clusters of more than one marker
};

// Computes and writes every chromosome's files into o.out_dir, all renamed
// into place only once everything has been computed (with the clusters file
// of --write-clusters). Messages about left-out families and dropped
// genotypes go to log.
summary run_ibd(const options& o, const linkage::study& s, std::FILE* log);

void print_summary(const summary& sum, double seconds, std::FILE* out);

// Files of one chromosome, written under temporary names; commit() renames
// them into place, and whatever is not committed is removed.
class staged_files {
public:
    staged_files() = default;
    ~staged_files();
    staged_files(const staged_files&) = delete;
    staged_files& operator=(const staged_files&) = delete;
    // Creates dir and its parents where missing; what it made goes again
    // unless committed.
    void make_dir(const std::string& dir);
    // A temporary file beside path, to be written in pieces.
    std::FILE* open(const std::string& path);
    void write(std::FILE* f, const std::string& text);
    // The whole of a temporary file beside path.
    void add(const std::string& path, const std::string& text);
    void commit();

private:
    struct staged {
        std::string tmp;
        std::string final;
        std::FILE* f;
    };
    std::vector<staged> files_;
    std::vector<std::string> made_dirs_;
    bool committed_ = false;
};

}  // namespace ibd
