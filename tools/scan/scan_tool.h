// brell-scan: a genome scan in one command — brell-ibd, then brell on every
// chromosome under each model — with genome-wide significance from null
// replicates of the study.
#pragma once

#include <cstdio>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "fingerprint.h"
#include "ibd_tool.h"
#include "plot.h"

namespace scan {

inline constexpr const char* PROGRAM = "brell-scan";
// What a replicate's scan leaves in its folder, for a later --gather.
inline constexpr const char* REPLICATE_RESULT = "scan-result.tsv";

struct options {
    ibd::options ibd;                // the study, brell-ibd's options and OUTDIR
    std::vector<std::string> models;  // "LIN", "EXP", in that order
    std::vector<std::string> grid;   // DMIN DMAX N, passed to brell as given; empty: golden section
    double grid_min = 0.0, grid_max = 0.0;  // the grid as brell reads it
    int grid_n = 0;
    std::string replicates;          // REPDIR
    bool gather = false;             // read each replicate's scan-result.tsv instead of scanning it
    std::string scan_replicate;      // scan this one replicate folder only
};

options parse_options(int argc, const char* const argv[]);
const char* usage_text();

// The options that shape a scan's results, as (name, value) in a fixed
// order: a replicate's result must have been made with the same to count.
using settings = std::vector<std::pair<std::string, std::string>>;
settings scan_settings(const options& o);
// The settings that differ, as "--score pairs --step 1 (this scan: --score
// all --step 0)"; empty when none do.
std::string settings_difference(const settings& theirs, const settings& ours);

// One model's brell results on one chromosome.
struct model_run {
    std::vector<double> npl_z, zlr, lod, delta;
};

// The study's brell-ibd folders, then brell under each model on each of them
// (in-process; results and messages kept beside the inputs as lin.out and
// lin.log, exp.out and exp.log). Returns the scan as the figure and the
// summary take it, each LOD with the sign of its delta. Unless quiet_brell,
// warns on log of a grid beyond the linear model's bound.
brell_plot::genome_scan scan_study(const options& o, const linkage::study& s, const std::string& out_dir,
                                   std::FILE* log, bool quiet_brell);

// scan.tsv: one row per chromosome and position, full precision.
std::string scan_table(const brell_plot::genome_scan& g);

// What significance needs of one replicate, per model: its genome-wide
// maximum and, for counting how often a LOD is exceeded, every excursion
// of its LOD curves above 0 as (peak height, height where it merges with a
// higher one; -inf for a chromosome's highest).
struct replicate_model {
    double max_lod = std::numeric_limits<double>::quiet_NaN();  // NaN: no LOD at all
    std::string chromosome;
    double pos = std::numeric_limits<double>::quiet_NaN();
    std::vector<std::pair<double, double>> excursions;
};
struct replicate_result {
    std::vector<replicate_model> models;  // in options::models order
};
replicate_result summarise_replicate(const brell_plot::genome_scan& g);
// Refuses, naming the replicate, a maximum that is not a finite number.
void check_finite(const options& o, const replicate_result& r, const std::string& name);
std::string replicate_text(const options& o, const replicate_result& r);
// The result lines of a scan-result.tsv (its header is read_result's).
replicate_result parse_replicate(const options& o, const std::string& text, const std::string& name);

// Persistence of a curve's peaks: (birth, death) per excursion, NaN a gap.
std::vector<std::pair<double, double>> excursions(const std::vector<double>& lod);

// The rank of the empirical 5% threshold among n replicate maxima (1: the
// smallest): with the study as one of n + 1 exchangeable scans, a LOD
// beyond it has p(genome) <= 0.05. 0 when n is below
// brell_plot::MIN_REPLICATES_5.
std::size_t rank_of_5(std::size_t n);

// significance.tsv from the replicates' results and the observed scan.
brell_plot::significance significance_of(const options& o, const brell_plot::genome_scan& observed,
                                         const std::vector<std::string>& ids,
                                         const std::vector<replicate_result>& reps);
std::string significance_table(const brell_plot::significance& sig);

// ---- Replicates and what they must match ---------------------------------

// The study as read, and the fingerprint its replicates must carry: of the
// study as analysed, inconsistent genotypes dropped with --drop-inconsistent.
struct prepared_study {
    linkage::study study;
    linkage::fingerprint fingerprint;
};
prepared_study prepare_study(const options& o, bool with_fingerprint);

// A replicate folder's manifest, refused (naming the folder and what
// differs) unless it is one of this study as analysed.
linkage::replicate_manifest check_manifest(const std::string& dir, const linkage::fingerprint& study);

struct replicate_entry {
    std::string id;   // its folder's number, as significance.tsv names it
    std::string dir;
    linkage::replicate_manifest manifest;
    replicate_result gathered;  // with --gather, its scan-result.tsv
};
// Every replicate of o.replicates, checked before any scan: folders,
// duplicate numbers and draws, manifests and, with --gather, their results.
std::vector<replicate_entry> check_replicates(const options& o, const prepared_study& p);

// scan-result.tsv: the settings, the replicate and its study, then the
// result lines.
std::string result_text(const options& o, const linkage::replicate_manifest& m, const replicate_result& r);
// Refuses a result made with other settings, of another study or of
// another replicate than m.
replicate_result read_result(const options& o, const linkage::replicate_manifest& m, const std::string& text,
                             const std::string& name);

// Scans one replicate folder of the study in scratch (its files checked
// against its manifest first), on the chromosomes the study's scan analyses.
replicate_result scan_one(const options& o, const replicate_entry& e, const std::string& scratch,
                          const linkage::study& study);

// Scans every replicate (or takes its gathered result) on the chromosomes
// that the study's own scan analyses; scratch folders go under work.
std::vector<replicate_result> scan_replicates(const options& o, const linkage::study& study,
                                              const std::vector<replicate_entry>& reps, const std::string& work,
                                              bool progress);

// The chromosomes the study's scan analyses.
std::set<std::string> autosomes(const linkage::study& s);

// ---- The output folder ---------------------------------------------------

// A run's output folder: refused before any work if it cannot be one;
// locked against a second run; everything written into a stage inside it
// and moved into place by commit(), replacing what an earlier run left and
// removing what this run did not write. Until then (an error, an interrupt)
// the folder stays as it was. Files it does not own are never touched.
class run_folder {
public:
    enum class kind { scan, replicate };  // OUTDIR, or a replicate's folder
    // Refuses a folder that is not one, or whose results cannot be replaced.
    static void check(const std::string& dir, kind k);
    run_folder(const std::string& dir, kind k);
    ~run_folder();
    run_folder(const run_folder&) = delete;
    run_folder& operator=(const run_folder&) = delete;
    const std::string& stage() const { return stage_; }
    void commit();

private:
    void take(kind k);
    void release();
    std::string dir_, stage_, lock_;
    kind kind_;
    int lock_fd_ = -1;
    std::vector<std::string> made_;  // folders this run created, innermost last
};

// From here on SIGINT, SIGTERM and SIGHUP remove the stages of unfinished
// run folders before the program ends. Call before any thread starts.
void clean_up_on_interrupt();

int run(const options& o);

}  // namespace scan
