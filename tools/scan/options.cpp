#include <algorithm>
#include <charconv>
#include <cmath>
#include <tuple>

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
           "  -h, --help               print this help and exit\n"
           "      --version            print the version and exit\n";
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
    o.ibd.program = PROGRAM;
    bool model_given = false;
    cli::parser p;
    ibd::add_options(p, o.ibd);
    p.value("--model", [&](const std::string& m) {
        // Read as brell reads its model word: LIN, Lin, Linear, exp...
        if (m == "both")
            o.models = {"LIN", "EXP"};
        else if (const int model = brell::get_model(m.c_str()); model == brell::MODEL_LIN)
            o.models = {"LIN"};
        else if (model == brell::MODEL_EXP)
            o.models = {"EXP"};
        else
            throw ibd::usage_error("--model takes LIN, EXP or both: '" + m + "'");
        model_given = true;
    });
    p.values("--grid", 3, [&](const std::vector<std::string>& v) {
        o.grid = v;
        check_grid(o);
    });
    p.value("--replicates", [&](const std::string& v) { o.replicates = v; });
    p.value("--scan-replicate", [&](const std::string& v) { o.scan_replicate = v; });
    p.flag("--gather", [&] { o.gather = true; });
    const cli::request r = p.parse(argc, argv);
    o.ibd.help = r == cli::request::help;
    o.ibd.version = r == cli::request::version;
    if (!model_given)
        o.models = {"LIN"};
    if (r != cli::request::run)
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
