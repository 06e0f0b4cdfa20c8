#include <string_view>

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
           "OUTDIR/significance.tsv, empirical genome-wide significance.\n"
           "\n"
           "  --model LIN|EXP|both     allele-sharing model(s) (default LIN)\n"
           "  --grid DMIN DMAX N       brell's grid search instead of the golden section\n"
           "  --replicates REPDIR      null replicates made by brell-sim --drop: scan each\n"
           "                           exactly like the study\n"
           "  --gather                 with --replicates: take each replicate's scan from\n"
           "                           its scan-result.tsv (left by --scan-replicate)\n"
           "  --scan-replicate DIR     scan the one replicate in DIR and leave its\n"
           "                           scan-result.tsv there (no -o needed)\n"
           "  brell-ibd's options: --score all|pairs  --step CM  --freq all|founders\n"
           "                       --weights none|pairs  --max-bits N  --drop-inconsistent\n"
           "                       --threads N  --quiet\n"
           "  -h, --help               print this help and exit\n";
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
