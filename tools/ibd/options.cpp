#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "ibd_tool.h"

namespace ibd {

const char* usage_text()
{
    return "Usage: brell-ibd -p PED -d DAT -m MAP [-f FREQ] -o OUTDIR [options]\n"
           "       brell-ibd --bfile PREFIX -o OUTDIR [options]   (PLINK PREFIX.bed/.bim/.fam)\n"
           "       brell-ibd --file PREFIX -o OUTDIR [options]    (PLINK PREFIX.ped/.map)\n"
           "Multipoint identity by descent (Lander-Green) of every family at every marker,\n"
           "written as the nullprobs.dat and probs.dat that brell reads, one folder\n"
           "OUTDIR/chrN per chromosome.\n"
           "\n"
           "  -p, --ped FILE        LINKAGE-style pedigree file\n"
           "  -d, --dat FILE        data file naming the pedigree file's columns\n"
           "  -m, --map FILE        map file: CHROMOSOME MARKER POSITION(cM)\n"
           "  -f, --freq-file FILE  allele frequencies (default: counted from the genotypes)\n"
           "      --bfile PREFIX    PLINK binary fileset\n"
           "      --file PREFIX     PLINK text fileset\n"
           "  -o, --out DIR         output folder\n"
           "      --score all|pairs      allele-sharing score: S_all or S_pairs (default all)\n"
           "      --step CM              also positions every CM cM between markers\n"
           "      --freq all|founders    count allele frequencies over all genotyped\n"
           "                             persons or founders only (default all)\n"
           "      --weights none|pairs   write weights.dat: sqrt(affected pairs) (default none)\n"
           "      --max-bits N           leave out families above N bits (default 24)\n"
           "      --max-memory GIB       memory for the vectors of the families being computed,\n"
           "                             in GiB; a large family recomputes more to stay within\n"
           "                             it (default: half of the machine's memory)\n"
           "      --drop-inconsistent    treat a family's genotypes at a marker where they are\n"
           "                             Mendelian-inconsistent as missing, and list them\n"
           "      --clusters FILE        markers in LD inherited as one locus: CLUSTER and\n"
           "                             HAPLO lines (frequencies estimated where none given)\n"
           "      --ld-r2 R              also cluster markers whose r^2 with one of the\n"
           "                             cluster's exceeds R\n"
           "      --ld-distance CM       most cM from a cluster's first marker to its last\n"
           "                             (default 1)\n"
           "      --max-haplotypes N     most haplotypes of a cluster (default 128)\n"
           "      --write-clusters FILE  write the clusters used and their frequencies\n"
           "      --threads N            families computed at once (default: every core)\n"
           "      --quiet                no summary or progress on standard error\n"
           "  -h, --help                 print this help and exit\n"
           "      --version              print the version and exit\n";
}

namespace {

// Above 0: no step at all is the default, not a value. A cluster may hold
// markers at one position only.
double cm_value(const std::string& opt, const std::string& v, bool zero = false)
{
    char* end = nullptr;
    errno = 0;
    const double d = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(d) || !(d > 0 || (zero && d == 0)))
        throw usage_error(opt + " takes a distance in cM " + (zero ? "of 0 or more" : "above 0") + ": '" + v + "'");
    return d;
}

double fraction_value(const std::string& opt, const std::string& v)
{
    char* end = nullptr;
    errno = 0;
    const double d = std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || errno == ERANGE || !(d >= 0 && d <= 1))
        throw usage_error(opt + " takes a number from 0 to 1: '" + v + "'");
    return d;
}

int count_value(const std::string& opt, const std::string& v, long lo, long hi)
{
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || errno == ERANGE || n < lo || n > hi)
        throw usage_error(opt + " takes a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                          ": '" + v + "'");
    return static_cast<int>(n);
}

}  // namespace

void add_options(cli::parser& p, options& o)
{
    p.value("-p,--ped", [&](const std::string& v) { o.files.ped = v; });
    p.value("-d,--dat", [&](const std::string& v) { o.files.dat = v; });
    p.value("-m,--map", [&](const std::string& v) { o.files.map = v; });
    p.value("-f,--freq-file", [&](const std::string& v) { o.files.freq = v; });
    p.value("-o,--out", [&](const std::string& v) { o.out_dir = v; });
    p.value("--bfile", [&](const std::string& v) { o.format = input_format::plink_binary, o.prefix = v, ++o.filesets; });
    p.value("--file", [&](const std::string& v) { o.format = input_format::plink_text, o.prefix = v, ++o.filesets; });
    p.value("--score", [&](const std::string& v) {
        if (v != "all" && v != "pairs")
            throw usage_error("--score takes all or pairs: '" + v + "'");
        o.score = v == "all" ? linkage::score_kind::all : linkage::score_kind::pairs;
    });
    p.value("--freq", [&](const std::string& v) {
        if (v != "all" && v != "founders")
            throw usage_error("--freq takes all or founders: '" + v + "'");
        o.freq = v == "all" ? linkage::freq_from::all : linkage::freq_from::founders;
    });
    p.value("--weights", [&](const std::string& v) {
        if (v != "none" && v != "pairs")
            throw usage_error("--weights takes none or pairs: '" + v + "'");
        o.pair_weights = v == "pairs";
    });
    p.value("--step", [&](const std::string& v) { o.step = cm_value("--step", v); });
    // 2^30 doubles of one family's vector alone are 8 GiB.
    p.value("--max-bits", [&](const std::string& v) { o.max_bits = count_value("--max-bits", v, 0, 30); });
    // Fractions of a GiB too; a petabyte is beyond any machine.
    p.value("--max-memory", [&](const std::string& v) {
        char* end = nullptr;
        errno = 0;
        const double gib = std::strtod(v.c_str(), &end);
        if (v.empty() || *end != '\0' || errno == ERANGE || !(gib >= 0.001 && gib <= 1e6))
            throw usage_error("--max-memory takes GiB from 0.001 to 1000000: '" + v + "'");
        o.max_memory = gib;
    });
    p.value("--threads", [&](const std::string& v) { o.threads = count_value("--threads", v, 1, 1024); });
    // Clusters of markers in LD.
    auto file_name = [](const char* opt, std::string& to) {
        return [opt, &to](const std::string& v) {
            if (v.empty())
                throw usage_error(std::string(opt) + " takes a file name");
            to = v;
        };
    };
    p.value("--clusters", file_name("--clusters", o.clusters));
    p.value("--write-clusters", file_name("--write-clusters", o.write_clusters));
    p.value("--ld-r2", [&](const std::string& v) { o.ld_r2 = fraction_value("--ld-r2", v); });
    p.value("--ld-distance", [&](const std::string& v) { o.ld.max_cm = cm_value("--ld-distance", v, true); });
    p.value("--max-haplotypes",
            [&](const std::string& v) { o.ld.max_haplotypes = count_value("--max-haplotypes", v, 1, 4096); });
    p.flag("--drop-inconsistent", [&] { o.drop_inconsistent = true; });
    p.flag("--quiet", [&] { o.quiet = true; });
}

void check_options(const options& o)
{
    const std::string problem = linkage::study_options_problem(o.format, o.files, o.prefix, o.filesets);
    if (!problem.empty())
        throw usage_error(problem);
    if (o.out_dir.empty())
        throw usage_error("-o OUTDIR is needed");
    const linkage::cluster_limits defaults;
    if (o.clusters.empty() && !o.ld_r2) {
        const char* alone = !o.write_clusters.empty()                        ? "--write-clusters"
                            : o.ld.max_cm != defaults.max_cm                 ? "--ld-distance"
                            : o.ld.max_haplotypes != defaults.max_haplotypes ? "--max-haplotypes"
                                                                             : nullptr;
        if (alone)
            throw usage_error(std::string(alone) + " goes with --clusters or --ld-r2");
    }
}

options parse_options(int argc, const char* const argv[])
{
    options o;
    cli::parser p;
    add_options(p, o);
    const cli::request r = p.parse(argc, argv);
    o.help = r == cli::request::help;
    o.version = r == cli::request::version;
    if (r == cli::request::run)
        check_options(o);
    return o;
}

}  // namespace ibd
