#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <string_view>

#include "brell.h"
#include "command_line.h"
#include "sim.h"

namespace sim {

namespace {

// Beyond these a run is almost surely a typing slip; the identifiers and the
// position count also stay well inside what brell reads.
constexpr long MAX_KINDREDS = 9999999;
constexpr double MAX_POSITIONS = 1e7;

[[noreturn]] void bad_value(std::string_view name, std::string_view text, std::string_view expected)
{
    throw error("--" + std::string(name) + ": '" + std::string(text) + "' is not " + std::string(expected));
}

template <class T>
bool parse_whole(std::string_view text, T& v)
{
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    return ec == std::errc() && end == text.data() + text.size();
}

bool parse_real(std::string_view text, double& v)
{
    // from_chars takes no leading '+'; a user may well write one.
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    return ec == std::errc() && end == text.data() + text.size() && std::isfinite(v);
}

double real_at_least(std::string_view name, std::string_view text, double lo, bool open, std::string_view expected)
{
    double v;
    if (!parse_real(text, v) || v < lo || (open && v == lo))
        bad_value(name, text, expected);
    return v;
}

// "3", "2-6" (every size in the range alike), "2:5,3:3,4:2" (relative
// frequencies), or lists of these.
std::array<double, MAX_SIBS + 1> parse_sib_mix(std::string_view text)
{
    constexpr std::string_view expected =
        "a sibship size from 2 to 6, a range such as 2-6, or a list such as 2:5,3:3,4:2";
    std::array<double, MAX_SIBS + 1> mix{};
    std::array<bool, MAX_SIBS + 1> seen{};
    double total = 0.0;
    std::string_view rest = text;
    while (true) {
        std::size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        int lo, hi;
        double w = 1.0;
        std::size_t dash = item.find('-');
        std::size_t colon = item.find(':');
        if (dash != std::string_view::npos) {
            if (!parse_whole(item.substr(0, dash), lo) || !parse_whole(item.substr(dash + 1), hi) || lo > hi)
                bad_value("sibs", text, expected);
        } else {
            if (!parse_whole(item.substr(0, colon), lo))
                bad_value("sibs", text, expected);
            hi = lo;
            if (colon != std::string_view::npos && (!parse_real(item.substr(colon + 1), w) || w < 0))
                bad_value("sibs", text, expected);
        }
        if (lo < MIN_SIBS || hi > MAX_SIBS)
            bad_value("sibs", text, expected);
        for (int s = lo; s <= hi; ++s) {
            if (seen[s])
                throw error("--sibs: size " + std::to_string(s) + " is given twice in '" + std::string(text) + "'");
            seen[s] = true;
            mix[s] = w;
            total += w;
        }
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    if (!(total > 0))
        bad_value("sibs", text, "a mix with some size of non-zero frequency");
    return mix;
}

// Options that shape the simulated study, which a replicate takes from the
// study it copies, and options that only mean something with --drop.
constexpr std::string_view SIMULATION_ONLY[] = {"--kindreds", "--sibs", "--length", "--spacing", "--locus",
                                                "--model", "--delta", "--informativeness", "--weights", "--markers",
                                                "--freqs", "--parents", "--missing", "--pedigree", "--plink", "--ld"};
constexpr std::string_view DROP_ONLY[] = {"--ped", "--dat", "--map", "--freq-file", "--bfile", "--file",
                                          "--replicates", "--first", "--freq", "--max-bits", "--drop-inconsistent",
                                          "--clusters", "--ld-r2", "--ld-distance", "--max-haplotypes",
                                          "--write-clusters"};

bool listed(std::string_view name, const auto& names)
{
    for (std::string_view n : names)
        if (n == name)
            return true;
    return false;
}

void check_drop(const drop_options& d)
{
    if (const std::string problem = linkage::study_options_problem(d.format, d.files, d.prefix, d.filesets);
        !problem.empty())
        throw error("--drop: " + problem);
    if (d.replicates == 0)
        throw error("--drop needs --replicates N");
    const linkage::cluster_limits defaults;
    if (d.clusters.empty() && !d.ld_r2) {
        const char* alone = !d.write_clusters.empty()                        ? "--write-clusters"
                            : d.ld.max_cm != defaults.max_cm                 ? "--ld-distance"
                            : d.ld.max_haplotypes != defaults.max_haplotypes ? "--max-haplotypes"
                                                                             : nullptr;
        if (alone)
            throw error(std::string(alone) + " goes with --clusters or --ld-r2");
    }
    if (d.replicates - 1 > MAX_REPLICATE - d.first)
        throw error("--first " + std::to_string(d.first) + " --replicates " + std::to_string(d.replicates) +
                    ": replicate numbers go beyond " + std::to_string(MAX_REPLICATE));
}

}  // namespace

const char* usage_text()
{
    return "Usage: brell-sim [OPTION]...\n"
           "       brell-sim --drop -p PED -d DAT -m MAP [-f FREQ] --replicates N\n"
           "                 [OPTION]...\n"
           "       brell-sim --drop --bfile|--file PREFIX --replicates N [OPTION]...\n"
           "Simulates a linkage study of affected sibships and writes its nullprobs.dat,\n"
           "probs.dat and, if asked, weights.dat for brell.\n"
           "\n"
           "  --kindreds N          number of sibships (default 100)\n"
           "  --sibs MIX            affected sibs per sibship, 2 to 6: a size (3), a range\n"
           "                        drawn uniformly (2-6), or sizes with relative\n"
           "                        frequencies (2:5,3:3,4:2) (default 2)\n"
           "  --length CM           map length in cM (default 100)\n"
           "  --spacing CM          distance between map positions in cM (default 1)\n"
           "  --locus CM|none       trait locus position on the map, or none for a null\n"
           "                        study (default none)\n"
           "  --model exp|lin       how the locus tilts allele sharing: by exp(delta w z)\n"
           "                        or by 1 + delta w z, z the standardised pairs score\n"
           "                        and w the kindred weight (default exp)\n"
           "  --delta D             effect size at the locus (default 0)\n"
           "  --informativeness F   chance that a position's inheritance is fully\n"
           "                        observed, from 0 to 1 (default 1)\n"
           "  --weights pairs|W     also write weights.dat: the square root of the number\n"
           "                        of affected pairs, or the same weight W > 0 for all\n"
           "  --out DIR             directory for the files, created if missing\n"
           "                        (default .)\n"
           "  --seed N              seed of the random draws, 0 to 2^64-1 (default 1)\n"
           "\n"
           "Genotypes (written as study.ped, study.dat, study.map and study.freq, besides\n"
           "the files above):\n"
           "  --markers K           a marker with K alleles, 2 to 255, at every map\n"
           "                        position (default none: no genotypes)\n"
           "  --freqs uniform|skewed|snp\n"
           "                        allele frequencies: 1/K each; proportional to K,\n"
           "                        K-1, ..., 1; or SNPs (two alleles) with a minor allele\n"
           "                        frequency drawn per marker from 0.1 to 0.5\n"
           "                        (default uniform)\n"
           "  --parents genotyped|missing|mixed\n"
           "                        whether the sibs' parents (and grandparents) are\n"
           "                        genotyped; mixed: in families F1, F3, F5, ...\n"
           "                        only (default genotyped)\n"
           "  --missing RATE        chance, from 0 to 1, that a genotyped person's\n"
           "                        genotype at a marker is missing (default 0)\n"
           "  --pedigree sibship|grandparents\n"
           "                        parents and sibs, or also the four grandparents\n"
           "                        (default sibship)\n"
           "  --plink               also write study.bed, study.bim and study.fam\n"
           "                        (two alleles per marker only)\n"
           "  --ld BLOCK:HAPS       linkage disequilibrium: founder haplotypes drawn block\n"
           "                        by block, BLOCK consecutive markers from HAPS\n"
           "                        ancestral haplotypes with random frequencies (the\n"
           "                        markers' frequencies are then theirs)\n"
           "\n"
           "Null replicates of a study (written as REPDIR/rep000001, rep000002, ...,\n"
           "each holding study.ped, study.dat, study.map and study.freq):\n"
           "  --drop                drop genotypes without linkage down the pedigrees of\n"
           "                        the study given, keeping its affection status, map,\n"
           "                        allele frequencies and missing genotypes\n"
           "  -p, --ped FILE        LINKAGE-style pedigree file of the study\n"
           "  -d, --dat FILE        its data file\n"
           "  -m, --map FILE        its map file\n"
           "  -f, --freq-file FILE  its allele frequencies (default: counted from the\n"
           "                        genotypes)\n"
           "  --bfile PREFIX        or a PLINK binary fileset PREFIX.bed/.bim/.fam\n"
           "  --file PREFIX         or a PLINK text fileset PREFIX.ped/.map\n"
           "  --freq all|founders   count frequencies over all genotyped persons or\n"
           "                        founders only (default all)\n"
           "  --drop-inconsistent   leave the genotypes that brell-ibd finds Mendelian-\n"
           "                        inconsistent missing in every replicate, as brell-ibd\n"
           "                        --drop-inconsistent treats them (without it such a\n"
           "                        study is refused with the list)\n"
           "  --max-bits N          the largest families brell-ibd analyses, whose\n"
           "                        inconsistencies count (default 24, as brell-ibd's)\n"
           "  --clusters FILE, --ld-r2 R, --ld-distance CM, --max-haplotypes N\n"
           "                        brell-ibd's clusters of markers in LD: their founder\n"
           "                        haplotypes are drawn whole from their frequencies\n"
           "  --write-clusters FILE write those clusters and their frequencies\n"
           "  --replicates N        number of replicates\n"
           "  --first R             number of the first replicate (default 1); replicate\n"
           "                        r depends only on the seed and r\n"
           "  -o, --out REPDIR      folder of the replicates, created if missing\n"
           "                        (default .); replicates of another study or seed\n"
           "                        there are refused\n"
           "Each replicate also holds manifest.tsv: the seed, its number and a\n"
           "fingerprint of the study as analysed, which brell-scan checks.\n"
           "With --drop, --seed and --out apply; the options that shape a simulated\n"
           "study do not.\n"
           "\n"
           "  -h, --help            print this text and exit\n"
           "  --version             print the version and exit\n";
}

options parse_options(int argc, const char* const argv[])
{
    options opt;
    opt.sib_mix[2] = 1.0;
    bool delta_given = false;
    std::string genotype_option;  // the last option that only means something with genotypes
    std::string simulation_option, drop_option;  // the first of each, as typed
    cli::parser p;
    p.watch([&](const std::string& typed, const std::string& name) {
        if (simulation_option.empty() && listed(name, SIMULATION_ONLY))
            simulation_option = typed;
        if (drop_option.empty() && listed(name, DROP_ONLY))
            drop_option = typed;
    });
    // Messages name an option by its long name, however it was typed.
    auto value = [&](std::string_view names, std::function<void(std::string_view name, std::string_view v)> take) {
        const std::string name(names.substr(names.find("--") + 2));
        p.value(names, [name, take](const std::string& v) { take(name, v); });
    };

    value("--kindreds", [&](std::string_view name, std::string_view v) {
        if (!parse_whole(v, opt.kindreds) || opt.kindreds < 1 || opt.kindreds > MAX_KINDREDS)
            bad_value(name, v, "a whole number from 1 to " + std::to_string(MAX_KINDREDS));
    });
    value("--sibs", [&](std::string_view, std::string_view v) { opt.sib_mix = parse_sib_mix(v); });
    value("--length", [&](std::string_view name, std::string_view v) {
        opt.length = real_at_least(name, v, 0.0, false, "a length of 0 cM or more");
    });
    value("--spacing", [&](std::string_view name, std::string_view v) {
        opt.spacing = real_at_least(name, v, 0.0, true, "a distance above 0 cM");
    });
    value("--locus", [&](std::string_view name, std::string_view v) {
        opt.has_locus = v != "none";
        if (opt.has_locus)
            opt.locus = real_at_least(name, v, 0.0, false, "a position of 0 cM or more, or none");
    });
    value("--model", [&](std::string_view name, std::string_view v) {
        // Read as brell reads its model word: exp, EXP, Exponential, lin...
        const int m = brell::get_model(std::string(v).c_str());
        if (m == brell::MODEL_EXP)
            opt.model = model::exponential;
        else if (m == brell::MODEL_LIN)
            opt.model = model::linear;
        else
            bad_value(name, v, "exp or lin");
    });
    value("--delta", [&](std::string_view name, std::string_view v) {
        if (!parse_real(v, opt.delta))
            bad_value(name, v, "a finite number");
        delta_given = true;
    });
    value("--informativeness", [&](std::string_view name, std::string_view v) {
        if (!parse_real(v, opt.informativeness) || opt.informativeness < 0 || opt.informativeness > 1)
            bad_value(name, v, "a probability from 0 to 1");
    });
    value("--weights", [&](std::string_view name, std::string_view v) {
        opt.write_weights = true;
        opt.pair_weights = v == "pairs";
        if (!opt.pair_weights)
            opt.weight_value = real_at_least(name, v, 0.0, true, "pairs or a weight above 0");
    });
    value("-o,--out", [&](std::string_view name, std::string_view v) {
        if (v.empty())
            bad_value(name, v, "a directory name");
        opt.out_dir = v;
    });
    value("--seed", [&](std::string_view name, std::string_view v) {
        if (!parse_whole(v, opt.seed))
            bad_value(name, v, "a whole number from 0 to 18446744073709551615");
    });
    value("--markers", [&](std::string_view name, std::string_view v) {
        if (!parse_whole(v, opt.alleles) || opt.alleles < 2 || opt.alleles > MAX_ALLELES)
            bad_value(name, v, "a number of alleles from 2 to " + std::to_string(MAX_ALLELES));
    });
    value("--freqs", [&](std::string_view name, std::string_view v) {
        if (v == "uniform")
            opt.freqs = allele_freqs::uniform;
        else if (v == "skewed")
            opt.freqs = allele_freqs::skewed;
        else if (v == "snp")
            opt.freqs = allele_freqs::snp;
        else
            bad_value(name, v, "uniform, skewed or snp");
        genotype_option = name;
    });
    value("--parents", [&](std::string_view name, std::string_view v) {
        if (v == "genotyped")
            opt.parents = parents_mode::genotyped;
        else if (v == "missing")
            opt.parents = parents_mode::missing;
        else if (v == "mixed")
            opt.parents = parents_mode::mixed;
        else
            bad_value(name, v, "genotyped, missing or mixed");
        genotype_option = name;
    });
    value("--missing", [&](std::string_view name, std::string_view v) {
        if (!parse_real(v, opt.missing) || opt.missing < 0 || opt.missing > 1)
            bad_value(name, v, "a probability from 0 to 1");
        genotype_option = name;
    });
    value("--ld", [&](std::string_view name, std::string_view v) {
        const std::size_t colon = v.find(':');
        if (colon == std::string_view::npos || !parse_whole(v.substr(0, colon), opt.ld_block) ||
            !parse_whole(v.substr(colon + 1), opt.ld_haplotypes) || opt.ld_block < 1 || opt.ld_block > MAX_LD ||
            opt.ld_haplotypes < 2 || opt.ld_haplotypes > MAX_LD)
            bad_value(name, v,
                      "BLOCK:HAPS, markers per block from 1 and ancestral haplotypes from 2, up to " +
                          std::to_string(MAX_LD));
        genotype_option = name;
    });
    value("--pedigree", [&](std::string_view name, std::string_view v) {
        if (v == "sibship")
            opt.pedigree = pedigree_shape::sibship;
        else if (v == "grandparents")
            opt.pedigree = pedigree_shape::grandparents;
        else
            bad_value(name, v, "sibship or grandparents");
        genotype_option = name;
    });
    p.flag("--plink", [&] { opt.plink = true; });

    p.flag("--drop", [&] { opt.drop.on = true; });
    linkage::linkage_files& f = opt.drop.files;
    // Captures by init: clang 14 cannot capture structured bindings.
    for (const auto& o : {std::pair{"-p,--ped", &f.ped}, {"-d,--dat", &f.dat}, {"-m,--map", &f.map},
                          {"-f,--freq-file", &f.freq}, {"--clusters", &opt.drop.clusters},
                          {"--write-clusters", &opt.drop.write_clusters}})
        value(o.first, [file = o.second](std::string_view name, std::string_view v) {
            if (v.empty())
                bad_value(name, v, "a file name");
            *file = v;
        });
    for (const auto& o : {std::pair{"--bfile", study_format::plink_binary}, {"--file", study_format::plink_text}})
        value(o.first, [&opt, format = o.second](std::string_view name, std::string_view v) {
            if (v.empty())
                bad_value(name, v, "a fileset prefix");
            opt.drop.format = format;
            opt.drop.prefix = v;
            ++opt.drop.filesets;
        });
    for (const auto& o : {std::pair{"--replicates", &opt.drop.replicates}, {"--first", &opt.drop.first}})
        value(o.first, [n = o.second](std::string_view name, std::string_view v) {
            if (!parse_whole(v, *n) || *n < 1 || *n > MAX_REPLICATE)
                bad_value(name, v, "a whole number from 1 to " + std::to_string(MAX_REPLICATE));
        });
    value("--max-bits", [&](std::string_view name, std::string_view v) {
        if (!parse_whole(v, opt.drop.max_bits) || opt.drop.max_bits < 0 || opt.drop.max_bits > MAX_BITS)
            bad_value(name, v, "a whole number from 0 to " + std::to_string(MAX_BITS));
    });
    value("--ld-r2", [&](std::string_view name, std::string_view v) {
        double r2;
        if (!parse_real(v, r2) || r2 < 0 || r2 > 1)
            bad_value(name, v, "a number from 0 to 1");
        opt.drop.ld_r2 = r2;
    });
    value("--ld-distance", [&](std::string_view name, std::string_view v) {
        opt.drop.ld.max_cm = real_at_least(name, v, 0.0, false, "a distance of 0 cM or more");
    });
    value("--max-haplotypes", [&](std::string_view name, std::string_view v) {
        if (!parse_whole(v, opt.drop.ld.max_haplotypes) || opt.drop.ld.max_haplotypes < 1 ||
            opt.drop.ld.max_haplotypes > 4096)
            bad_value(name, v, "a whole number from 1 to 4096");
    });
    value("--freq", [&](std::string_view name, std::string_view v) {
        if (v == "all")
            opt.drop.freq = linkage::freq_from::all;
        else if (v == "founders")
            opt.drop.freq = linkage::freq_from::founders;
        else
            bad_value(name, v, "all or founders");
    });
    p.flag("--drop-inconsistent", [&] { opt.drop.drop_inconsistent = true; });

    const cli::request r = p.parse(argc, argv);
    opt.help = r == cli::request::help;
    opt.version = r == cli::request::version;
    if (r != cli::request::run)
        return opt;

    if (opt.drop.on) {
        if (!simulation_option.empty())
            throw error(simulation_option +
                        " does not go with --drop: the replicates keep the study's own pedigrees, map and "
                        "frequencies");
        check_drop(opt.drop);
        return opt;
    }
    if (!drop_option.empty())
        throw error(drop_option + " needs --drop: without it a study is simulated, not read");
    if (opt.plink)
        genotype_option = "plink";

    if (opt.has_locus && opt.locus > opt.length)
        throw error("--locus: " + shortest(opt.locus) + " cM lies beyond the map (0 to " + shortest(opt.length) +
                    " cM)");
    // A forgotten --locus would otherwise quietly give a null study.
    if (delta_given && opt.delta != 0.0 && !opt.has_locus)
        throw error("--delta needs --locus: without a trait locus the study is null");
    if (opt.length / opt.spacing >= MAX_POSITIONS)
        throw error("--spacing: a map of " + shortest(opt.length) + " cM at " + shortest(opt.spacing) +
                    " cM has too many positions (10000000 at most)");

    if (opt.freqs == allele_freqs::snp) {
        if (opt.alleles == 0)
            opt.alleles = 2;
        else if (opt.alleles != 2)
            throw error("--freqs snp: SNPs have two alleles, not " + std::to_string(opt.alleles) + " (--markers " +
                        std::to_string(opt.alleles) + ")");
    }
    // Settings of genotypes that are not written would be silently lost.
    if (opt.alleles == 0 && !genotype_option.empty())
        throw error("--" + genotype_option + " needs --markers: without it no genotypes are written");
    if (opt.plink && opt.alleles > 2)
        throw error("--plink: PLINK files hold two alleles per marker, not " + std::to_string(opt.alleles) +
                    " (--markers " + std::to_string(opt.alleles) + ")");
    if (opt.alleles > 0) {
        int sibs = MIN_SIBS;
        for (int s = MIN_SIBS; s <= MAX_SIBS; ++s)
            if (opt.sib_mix[s] > 0)
                sibs = s;
        const int persons = sibs + (opt.pedigree == pedigree_shape::grandparents ? 6 : 2);
        const double positions = std::floor(opt.length / opt.spacing) + 1;
        if (static_cast<double>(opt.kindreds) * persons * positions > MAX_GENOTYPES)
            throw error("--markers: " + std::to_string(opt.kindreds) + " kindreds of up to " + std::to_string(persons) +
                        " persons at " + shortest(positions) +
                        " positions are too many genotypes to hold (" +
                        std::to_string(static_cast<long>(MAX_GENOTYPES)) + " at most)");
    }
    return opt;
}

}  // namespace sim
