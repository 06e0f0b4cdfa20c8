// brell-plot: figures and summaries of brell results files, and of
// genome-wide scans.
//
// Reading, summarising and drawing are separate steps over one in-memory
// copy of each file, so that a bad file is refused before anything is
// printed or written.
#pragma once

#include <cmath>
#include <cstddef>
#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace brell_plot {

// Commonly used genome-scan thresholds for suggestive and significant
// linkage.
inline constexpr double LOD_SUGGESTIVE = 1.9;
inline constexpr double LOD_SIGNIFICANT = 3.3;
// The fewest null replicates that give an empirical 5% genome-wide
// threshold: the ceil(0.95 (N + 1))-th smallest of N maxima exists from 19.
inline constexpr std::size_t MIN_REPLICATES_5 = 19;

// One line of a results file, in its column order.
struct result_row {
    double pos;    // cM
    double npl_z;  // combined weighted NPL Z
    double zlr;    // signed likelihood-ratio Z
    double lod;    // with the sign of delta (signed_lod), as read
    double delta;
};

// A position's LOD as evidence of linkage: excess sharing only. Where delta
// < 0 the kindreds share less than chance would have them, which argues
// against a locus there however well the model fits: such a LOD counts
// negative, as the established packages print it. Applying it twice
// changes nothing.
inline double signed_lod(double lod, double delta)
{
    return delta < 0 ? -std::fabs(lod) : lod;
}

struct result_set {
    std::string label;  // shown in the legend and the summary
    std::string path;   // as named on the command line
    std::vector<result_row> rows;
};

// A file that cannot be used; the text names the file and, where there is
// one, the line.
struct plot_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// name serves only for messages.
std::vector<result_row> parse_results(std::istream& in, const std::string& name);
std::vector<result_row> read_results(const std::string& path);

// Maximal runs of rows [first, last] that satisfy keep, broken wherever the
// map position (Row::pos) fails to increase (a new map, or a map out of
// order).
struct row_run {
    std::size_t first;
    std::size_t last;
};
template <class Row, class Keep>
std::vector<row_run> runs_of(const std::vector<Row>& rows, Keep keep);

struct peak_info {
    bool found = false;  // false when no row has a finite position and LOD
    std::size_t row = 0;
    double pos = 0.0;
    double lod = 0.0;
    double zlr = 0.0;
    double p = 0.0;  // one-sided normal p-value of zlr
    double delta = 0.0;
};

// Highest finite LOD; the first row wins a tie.
peak_info find_peak(const std::vector<result_row>& rows);

// P(Z >= z) for a standard normal Z.
double upper_tail_p(double z);

struct stretch {
    double from;
    double to;
    std::size_t count;  // positions in the stretch
};
// Stretches of the map whose LOD is at or above threshold.
std::vector<stretch> stretches_above(const std::vector<result_row>& rows, double threshold);

std::string summary(const result_set& set);

// title empty: a title that says what is drawn.
std::string svg_figure(const std::vector<result_set>& sets, const std::string& title = {});

// Text made safe for XML character data and attribute values: markup
// characters escaped, invalid UTF-8 and forbidden control characters
// replaced.
std::string xml_text(std::string_view s);

// Axis range widened to round tick values.
struct axis {
    double lo;
    double hi;
    double step;
    std::vector<double> ticks;
};
axis nice_axis(double lo, double hi);
// Enough digits to tell neighbouring ticks apart.
std::string tick_label(double t, const axis& a);

// A number's text without the sign of a zero: "-0" or "-0.00" on a LOD
// would read as evidence against linkage where there is none.
std::string unsigned_zero(std::string text);

// ---- Genome scans -------------------------------------------------------
//
// A scan table (brell-scan's scan.tsv) holds, for every chromosome and map
// position, the marker there (if any), the information content, and the
// statistics of each model that was run. Every reader below throws
// plot_error with "NAME line N: reason"; nothing is printed or exits.

struct scan_position {
    double pos;          // cM, finite, not decreasing within a chromosome
    std::string marker;  // empty between markers
    double information;  // 0 to 1; NaN when unknown
};

struct scan_chromosome {
    std::string name;                              // as written: "1", "X", ...
    std::vector<scan_position> positions;
    std::vector<std::vector<result_row>> curves;  // [model][position]; result_row::pos repeats the position
};

struct genome_scan {
    std::string name;                          // the file, for messages and the summary
    std::string title;                         // the figure's; empty: "Genome scan: " and the name
    std::vector<std::string> models;          // column prefixes upper-cased ("LIN", "EXP"), in column order
    std::vector<scan_chromosome> chromosomes;  // in file order, each named once
};

// The header names the models: after "chromosome position marker
// information" come groups "<m>_npl_z <m>_zlr <m>_lod <m>_delta", one per
// model. name serves only for messages.
genome_scan read_scan(std::istream& in, const std::string& name);
genome_scan read_scan(const std::string& path);

// Genome-wide significance from null replicates (brell-scan's
// significance.tsv). Numbers absent from a row are NaN.
struct significance {
    struct replicate {
        std::string model;  // "LIN", "EXP"
        std::string id;
        std::string chromosome;  // where the replicate's genome-wide maximum lies
        double pos;
        double lod;
    };
    struct threshold {
        std::string model;
        std::string id;  // "suggestive" or "significant" (the 5% genome-wide level)
        double lod;
    };
    struct peak {
        std::string model;
        std::string chromosome;  // the observed best peak of this chromosome
        double pos;
        double lod;
        double p;  // its empirical genome-wide p-value
    };
    std::string name;
    std::vector<replicate> replicates;
    std::vector<threshold> thresholds;
    std::vector<peak> peaks;
};

significance read_significance(std::istream& in, const std::string& name);
significance read_significance(const std::string& path);

// The genome figure as a complete SVG document: chromosomes side by side,
// each model's LOD curve, the fixed and (with sig) empirical thresholds,
// the best peak of each model, and the information content below.
// sig may be null. Thresholds of models that the scan lacks are left out.
std::string genome_svg(const genome_scan& scan, const significance* sig);

// Per model: the best peak of each chromosome (position, marker, LOD,
// delta, one-sided p of the signed Zlr, and with sig the empirical
// genome-wide p), then the regions at or above each threshold. sig may be
// null.
void genome_summary(std::ostream& out, const genome_scan& scan, const significance* sig);

// The highest finite LOD of model m over the genome; the first wins a tie.
// chromosome is the index in scan.chromosomes, meaningless when
// !peak.found.
struct genome_peak {
    std::size_t chromosome = 0;
    peak_info peak;
};
genome_peak best_peak(const genome_scan& scan, std::size_t m);

// What a threshold id means, for labels: "5% genome-wide" for significant.
std::string threshold_name(const std::string& id);

template <class Row, class Keep>
std::vector<row_run> runs_of(const std::vector<Row>& rows, Keep keep)
{
    std::vector<row_run> out;
    bool open = false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!keep(rows[i])) {
            open = false;
            continue;
        }
        if (open && rows[i].pos > rows[out.back().last].pos) {
            out.back().last = i;
            continue;
        }
        out.push_back({i, i});
        open = true;
    }
    return out;
}

}  // namespace brell_plot
