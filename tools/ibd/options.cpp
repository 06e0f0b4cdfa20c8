#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

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
           "  -h, --help                 print this help and exit\n";
}

namespace {

// "--name VALUE" or "--name=VALUE", and for short names "-x VALUE".
bool value_of(int argc, const char* const argv[], int& i, std::string_view shortname, std::string_view longname,
              std::string& value)
{
    const std::string_view a = argv[i];
    if (a == longname || (!shortname.empty() && a == shortname)) {
        if (i + 1 >= argc)
            throw usage_error("option " + std::string(a) + " needs a value");
        value = argv[i + 1];
        i += 2;
        return true;
    }
    if (a.size() > longname.size() + 1 && a.substr(0, longname.size()) == longname && a[longname.size()] == '=') {
        value = std::string(a.substr(longname.size() + 1));
        i += 1;
        return true;
    }
    return false;
}

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

bool take_option(int argc, const char* const argv[], int& i, options& o)
{
    std::string v;
    const std::string_view a = argv[i];
    if (value_of(argc, argv, i, "-p", "--ped", o.files.ped) || value_of(argc, argv, i, "-d", "--dat", o.files.dat) ||
        value_of(argc, argv, i, "-m", "--map", o.files.map) ||
        value_of(argc, argv, i, "-f", "--freq-file", o.files.freq) ||
        value_of(argc, argv, i, "-o", "--out", o.out_dir))
        return true;
    if (value_of(argc, argv, i, "", "--bfile", v)) {
        o.format = input_format::plink_binary;
        o.prefix = v;
        return true;
    }
    if (value_of(argc, argv, i, "", "--file", v)) {
        o.format = input_format::plink_text;
        o.prefix = v;
        return true;
    }
    if (value_of(argc, argv, i, "", "--score", v)) {
        if (v != "all" && v != "pairs")
            throw usage_error("--score takes all or pairs: '" + v + "'");
        o.score = v == "all" ? linkage::score_kind::all : linkage::score_kind::pairs;
        return true;
    }
    if (value_of(argc, argv, i, "", "--freq", v)) {
        if (v != "all" && v != "founders")
            throw usage_error("--freq takes all or founders: '" + v + "'");
        o.freq = v == "all" ? linkage::freq_from::all : linkage::freq_from::founders;
        return true;
    }
    if (value_of(argc, argv, i, "", "--weights", v)) {
        if (v != "none" && v != "pairs")
            throw usage_error("--weights takes none or pairs: '" + v + "'");
        o.pair_weights = v == "pairs";
        return true;
    }
    if (value_of(argc, argv, i, "", "--step", v)) {
        o.step = cm_value("--step", v);
        return true;
    }
    // 2^30 doubles of one family's vector alone are 8 GiB.
    if (value_of(argc, argv, i, "", "--max-bits", v)) {
        o.max_bits = count_value("--max-bits", v, 0, 30);
        return true;
    }
    if (value_of(argc, argv, i, "", "--threads", v)) {
        o.threads = count_value("--threads", v, 1, 1024);
        return true;
    }
    // Clusters of markers in LD.
    if (value_of(argc, argv, i, "", "--clusters", o.clusters) ||
        value_of(argc, argv, i, "", "--write-clusters", o.write_clusters)) {
        if ((a.starts_with("--clusters") ? o.clusters : o.write_clusters).empty())
            throw usage_error(std::string(a.substr(0, a.find('='))) + " takes a file name");
        return true;
    }
    if (value_of(argc, argv, i, "", "--ld-r2", v)) {
        o.ld_r2 = fraction_value("--ld-r2", v);
        return true;
    }
    if (value_of(argc, argv, i, "", "--ld-distance", v)) {
        o.ld.max_cm = cm_value("--ld-distance", v, true);
        return true;
    }
    if (value_of(argc, argv, i, "", "--max-haplotypes", v)) {
        o.ld.max_haplotypes = count_value("--max-haplotypes", v, 1, 4096);
        return true;
    }
    if (a == "--drop-inconsistent")
        o.drop_inconsistent = true;
    else if (a == "--quiet")
        o.quiet = true;
    else if (a == "-h" || a == "--help")
        o.help = true;
    else
        return false;
    ++i;
    return true;
}

void check_options(const options& o)
{
    const bool any_linkage = !o.files.ped.empty() || !o.files.dat.empty() || !o.files.map.empty() ||
                             !o.files.freq.empty();
    if (!o.prefix.empty() && any_linkage)
        throw usage_error("give either -p/-d/-m or a PLINK fileset (--bfile or --file), not both");
    if (o.prefix.empty() && (o.files.ped.empty() || o.files.dat.empty() || o.files.map.empty()))
        throw usage_error("a study is -p PED -d DAT -m MAP, or --bfile PREFIX, or --file PREFIX");
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
    int bfile_or_file = 0;
    for (int i = 1; i < argc;) {
        const std::string_view a = argv[i];
        const bool plink = a.starts_with("--bfile") || a.starts_with("--file");
        if (!take_option(argc, argv, i, o))
            throw usage_error("unknown argument '" + std::string(a) + "'");
        if (plink && ++bfile_or_file > 1)
            throw usage_error("give one PLINK fileset");
    }
    if (!o.help)
        check_options(o);
    return o;
}

}  // namespace ibd
