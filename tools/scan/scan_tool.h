// brell-scan: a genome scan in one command — brell-ibd, then brell on every
// chromosome under each model — with genome-wide significance from null
// replicates of the study.
#pragma once

#include <cstdio>
#include <limits>
#include <string>
#include <vector>

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
    std::string replicates;          // REPDIR
    bool gather = false;             // read each replicate's scan-result.tsv instead of scanning it
    std::string scan_replicate;      // scan this one replicate folder only
};

options parse_options(int argc, const char* const argv[]);
const char* usage_text();

// One model's brell results on one chromosome.
struct model_run {
    std::vector<double> npl_z, zlr, lod, delta;
};

// The study's brell-ibd folders, then brell under each model on each of them
// (in-process; results and messages kept beside the inputs as lin.out and
// lin.log, exp.out and exp.log). Returns the scan as the figure and the
// summary take it.
brell_plot::genome_scan scan_study(const options& o, const linkage::study& s, const std::string& out_dir,
                                   std::FILE* log, bool quiet_brell);

// scan.tsv: one row per chromosome and position, full precision.
std::string scan_table(const brell_plot::genome_scan& g);

// What significance needs of one replicate, per model: its genome-wide
// maximum and, for counting how often a LOD is exceeded, every excursion
// of its LOD curves above 0 as (peak height, height where it merges with a
// higher one; -inf for a chromosome's highest).
struct replicate_model {
    double max_lod = -std::numeric_limits<double>::infinity();
    std::string chromosome;
    double pos = std::numeric_limits<double>::quiet_NaN();
    std::vector<std::pair<double, double>> excursions;
};
struct replicate_result {
    std::vector<replicate_model> models;  // in options::models order
};
replicate_result summarise_replicate(const brell_plot::genome_scan& g);
std::string replicate_text(const options& o, const replicate_result& r);
replicate_result parse_replicate(const options& o, const std::string& text, const std::string& name);

// Persistence of a curve's peaks: (birth, death) per excursion, NaN a gap.
std::vector<std::pair<double, double>> excursions(const std::vector<double>& lod);

// The replicate folders of REPDIR (repNNNNNN), in replicate order.
std::vector<std::string> replicate_dirs(const std::string& repdir);

// significance.tsv from the replicates' results and the observed scan.
brell_plot::significance significance_of(const options& o, const brell_plot::genome_scan& observed,
                                         const std::vector<std::string>& ids,
                                         const std::vector<replicate_result>& reps);
std::string significance_table(const brell_plot::significance& sig);

// Scans every replicate of o.replicates (or reads its scan-result.tsv) on
// the chromosomes that the study's own scan analyses.
std::vector<replicate_result> scan_replicates(const options& o, const linkage::study& study, std::vector<std::string>& ids,
                                              bool progress);

int run(const options& o);

}  // namespace scan
