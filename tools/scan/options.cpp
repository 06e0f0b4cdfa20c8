#include <algorithm>
#include <charconv>
#include <cmath>
#include <tuple>
#include <string_view>

#include "brell.h"
#include "scan_tool.h"

namespace scan {

const char* usage_text()
{
    return "Usage: brell-scan -p PED -d DAT -m MAP [-f FREQ] -o OUTDIR [options]\n"
           "       brell-scan --bfile PREFIX -o OUTDIR [options]\n"
           "       brell-scan --file PREFIX -o OUTDIR [options]\n"
           "A genome scan: brell-ibd into OUTDIR/chrN, brell on every chromosome,\n"
           "OUTDIR/scan.tsv, the figure OUTDIR/scan.svg (and scan.png where rsvg-convert\n"
           "is installed) and a summary on standard output; with --replicates also\n"
           "OUTDIR/significance.tsv, empirical genome-wide significance. A LOD counts\n"
           "with the sign of its delta: deficit sharing is no evidence of linkage.\n"
           "OUTDIR gets this run's results only, all at once at its end.\n"
           "\n"
           "  --model LIN|EXP|both     allele-sharing model(s) (default LIN)\n"
           "  --grid DMIN DMAX N       brell's grid search instead of the golden section\n"
           "  --replicates REPDIR      null replicates made by brell-sim --drop, each\n"
           "                           checked by its manifest and scanned exactly like\n"
           "                           the study\n"
           "  --gather                 with --replicates: take each replicate's scan from\n"
           "                           its scan-result.tsv (left by --scan-replicate)\n"
           "  --scan-replicate DIR     scan the one replicate in DIR and leave its\n"
           "                           scan-result.tsv there (no -o needed)\n"
           "  brell-ibd's options: --score all|pairs  --step CM  --freq all|founders\n"
           "                       --weights none|pairs  --max-bits N  --drop-inconsistent\n"
           "                       --threads N  --quiet\n"
           "  and its LD clusters, for the study and the replicates alike:\n"
           "                       --clusters FILE  --ld-r2 R  --ld-distance CM\n"
           "                       --max-haplotypes N  --write-clusters FILE (the study's)\n"
           "  -h, --help               print this help and exit\n";
}

namespace {

// As brell reads its grid, but whole words only: "1x" is a mistake here,
// not 1.
void check_grid(options& o)
{
    const std::string &lo = o.grid[0], &hi = o.grid[1], &n = o.grid[2];
    for (const auto& [word, v, name] : {std::tuple{&lo, &o.grid_min, "DMIN"}, {&hi, &o.grid_max, "DMAX"}})
        if (!brell::parse_number(*word, *v) || !std::isfinite(*v))
            throw ibd::usage_error("--grid: " + std::string(name) + " '" + *word + "' is not a finite number");
    if (!(o.grid_min < o.grid_max))
        throw ibd::usage_error("--grid: DMIN " + lo + " is not below DMAX " + hi);
    auto r = std::from_chars(n.data(), n.data() + n.size(), o.grid_n);
    if (r.ec != std::errc() || r.ptr != n.data() + n.size() || o.grid_n < 1)
        throw ibd::usage_error("--grid: N '" + n + "' is not a whole number of intervals from 1 to 2147483647");
}

}  // namespace

settings scan_settings(const options& o)
{
    const ibd::options& i = o.ibd;
    std::string models;
    for (const std::string& m : o.models)
        models += (models.empty() ? "" : ",") + m;
    settings out = {{"model", models},
                    {"grid", o.grid.empty() ? "none"
                                            : brell::shortest(o.grid_min) + " " + brell::shortest(o.grid_max) + " " +
                                                  std::to_string(o.grid_n)},
                    {"score", i.score == linkage::score_kind::all ? "all" : "pairs"},
                    {"step", brell::shortest(i.step)},
                    {"freq", i.freq == linkage::freq_from::all ? "all" : "founders"},
                    // Replicates are read with their frequency file where the study has one.
                    {"frequencies",
                     i.format == ibd::input_format::linkage && !i.files.freq.empty() ? "file" : "counted"},
                    {"weights", i.pair_weights ? "pairs" : "none"},
                    {"max-bits", std::to_string(i.max_bits)},
                    {"drop-inconsistent", i.drop_inconsistent ? "yes" : "no"}};
    // LD clusters, only where asked for: results made without them read as before.
    if (!i.clusters.empty() || i.ld_r2) {
        out.emplace_back("clusters", i.clusters.empty() ? "none" : "file");
        out.emplace_back("ld-r2", i.ld_r2 ? brell::shortest(*i.ld_r2) : "none");
        out.emplace_back("ld-distance", brell::shortest(i.ld.max_cm));
        out.emplace_back("max-haplotypes", std::to_string(i.ld.max_haplotypes));
    }
    return out;
}

std::string settings_difference(const settings& theirs, const settings& ours)
{
    auto shown = [](const std::pair<std::string, std::string>& s) {
        if (s.first == "frequencies")
            return std::string(s.second == "file" ? "a frequency file (-f)" : "frequencies counted (no -f)");
        if (s.first == "drop-inconsistent")
            return std::string(s.second == "yes" ? "--drop-inconsistent" : "no --drop-inconsistent");
        if (s.first == "model" && s.second.find(',') != std::string::npos)
            return std::string("--model both");
        if (s.first == "clusters")
            return std::string(s.second == "file" ? "a --clusters file" : "no --clusters file");
        return "--" + s.first + " " + s.second;
    };
    std::string a, b;
    for (const auto& t : theirs) {
        const auto o = std::find_if(ours.begin(), ours.end(), [&](const auto& x) { return x.first == t.first; });
        if (o != ours.end() && o->second == t.second)
            continue;
        a += (a.empty() ? "" : " ") + shown(t);
        if (o != ours.end())
            b += (b.empty() ? "" : " ") + shown(*o);
    }
    for (const auto& o : ours)
        if (std::none_of(theirs.begin(), theirs.end(), [&](const auto& x) { return x.first == o.first; }))
            b += (b.empty() ? "" : " ") + shown(o);
    return a.empty() && b.empty() ? std::string() : (a.empty() ? "other settings" : a) + " (this scan: " + b + ")";
}

options parse_options(int argc, const char* const argv[])
{
    options o;
    bool model_given = false;
    for (int i = 1; i < argc;) {
        const std::string_view a = argv[i];
        auto value = [&](int n) {
            if (i + n >= argc)
                throw ibd::usage_error("option " + std::string(a) + " needs " + std::to_string(n) +
                                       (n == 1 ? " value" : " values"));
        };
        if (a == "--model") {
            value(1);
            const std::string_view m = argv[i + 1];
            if (m == "LIN" || m == "lin")
                o.models = {"LIN"};
            else if (m == "EXP" || m == "exp")
                o.models = {"EXP"};
            else if (m == "both")
                o.models = {"LIN", "EXP"};
            else
                throw ibd::usage_error("--model takes LIN, EXP or both: '" + std::string(m) + "'");
            model_given = true;
            i += 2;
        } else if (a == "--grid") {
            value(3);
            o.grid = {argv[i + 1], argv[i + 2], argv[i + 3]};
            check_grid(o);
            i += 4;
        } else if (a == "--replicates") {
            value(1);
            o.replicates = argv[i + 1];
            i += 2;
        } else if (a == "--scan-replicate") {
            value(1);
            o.scan_replicate = argv[i + 1];
            i += 2;
        } else if (a == "--gather") {
            o.gather = true;
            ++i;
        } else if (!ibd::take_option(argc, argv, i, o.ibd)) {
            throw ibd::usage_error("unknown argument '" + std::string(a) + "'");
        }
    }
    if (!model_given)
        o.models = {"LIN"};
    if (o.ibd.help)
        return o;
    if (o.gather && o.replicates.empty())
        throw ibd::usage_error("--gather goes with --replicates");
    if (!o.scan_replicate.empty()) {
        if (!o.replicates.empty())
            throw ibd::usage_error("--scan-replicate scans one replicate; --replicates all of them");
        // The study's own files are not read, but its options must name one,
        // so that the workflow passes the very options of the study's scan.
        ibd::options check = o.ibd;
        if (check.out_dir.empty())
            check.out_dir = o.scan_replicate;
        ibd::check_options(check);
        return o;
    }
    ibd::check_options(o.ibd);
    return o;
}

}  // namespace scan
