// Null replicates count only when they are replicates of the study as this
// scan analyses it, each drawn once, and (gathered) scanned as this scan
// scans: a replicate of another study, map or missing pattern, or a result
// made with other options, gives thresholds that look right and are not.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "brell.h"
#include "inconsistent.h"
#include "scan_tool.h"

namespace scan {

namespace {

std::string slurp(const std::string& path, const std::string& missing)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ibd::error(missing);
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad())
        throw ibd::error(path + ": cannot be read");
    return s.str();
}

std::string draw(const linkage::replicate_manifest& m)
{
    return "replicate " + std::to_string(m.replicate) + " of seed " + std::to_string(m.seed);
}

}  // namespace

std::set<std::string> autosomes(const linkage::study& s)
{
    std::set<std::string> out;
    for (const linkage::marker& m : s.markers)
        if (m.kind == linkage::chrom_kind::autosome)
            out.insert(m.chrom);
    return out;
}

prepared_study prepare_study(const options& o, bool with_fingerprint)
{
    prepared_study p{ibd::read_study(o.ibd), {}};
    linkage::print_notes(p.study.notes, PROGRAM, stderr);
    if (with_fingerprint) {
        const int threads = o.ibd.threads > 0 ? o.ibd.threads : brell::default_threads();
        const linkage::cluster_set cs =
            linkage::analysis_clusters(p.study, o.ibd.clusters, o.ibd.ld_r2, o.ibd.ld, o.ibd.max_bits, threads);
        std::vector<linkage::inconsistency> dropped;
        if (o.ibd.drop_inconsistent)
            dropped = linkage::find_inconsistencies(p.study, cs, o.ibd.max_bits, threads);
        p.fingerprint = linkage::fingerprint_of(p.study, dropped, &cs);
    }
    return p;
}

linkage::replicate_manifest check_manifest(const std::string& dir, const linkage::fingerprint& study)
{
    const std::string path = dir + "/" + linkage::MANIFEST_FILE;
    const linkage::replicate_manifest m = linkage::parse_manifest(
        slurp(path, dir + ": no " + linkage::MANIFEST_FILE +
                        ": not a replicate made by brell-sim --drop (or made by an earlier version); make the "
                        "replicates again"),
        path);
    const std::string diff = linkage::fingerprint_difference(m.study, study);
    if (!diff.empty())
        throw ibd::error(dir + ": not a replicate of this study as analysed: " + diff);
    return m;
}

std::vector<replicate_entry> check_replicates(const options& o, const prepared_study& p)
{
    std::error_code ec;
    if (!std::filesystem::is_directory(o.replicates, ec))
        throw ibd::error(o.replicates + ": no such folder (--replicates names the folder of brell-sim --drop)");
    const auto folders = linkage::replicate_folders(o.replicates);
    if (folders.empty())
        throw ibd::error(o.replicates + ": no replicate folders (rep000001, ...); brell-sim --drop makes them");
    std::vector<replicate_entry> out;
    std::map<std::pair<std::uint64_t, long>, std::string> drawn;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const auto& [number, dir] = folders[i];
        if (i > 0 && folders[i - 1].first == number)
            throw ibd::error(o.replicates + ": " + std::filesystem::path(folders[i - 1].second).filename().string() +
                             " and " + std::filesystem::path(dir).filename().string() + " are both replicate " +
                             std::to_string(number));
        replicate_entry e{std::to_string(number), dir, check_manifest(dir, p.fingerprint), {}};
        const auto [at, fresh] = drawn.try_emplace({e.manifest.seed, e.manifest.replicate}, dir);
        if (!fresh)
            throw ibd::error(dir + ": the same draw as " + at->second + " (" + draw(e.manifest) +
                             "): a replicate counted twice");
        if (o.gather) {
            const std::string name = dir + "/" + REPLICATE_RESULT;
            e.gathered = read_result(
                o, e.manifest,
                slurp(name, name + ": cannot open (was the replicate scanned with --scan-replicate?)"), name);
        }
        out.push_back(std::move(e));
    }
    return out;
}

std::string result_text(const options& o, const linkage::replicate_manifest& m, const replicate_result& r)
{
    std::string out = "# brell-scan --scan-replicate: the settings, the replicate, its study, its result\n";
    for (const auto& [name, value] : scan_settings(o))
        out += "setting\t" + name + '\t' + value + '\n';
    out += "replicate\tseed\t" + std::to_string(m.seed) + "\nreplicate\tnumber\t" + std::to_string(m.replicate) + '\n';
    out += linkage::fingerprint_text(m.study, "study\t");
    return out + replicate_text(o, r);
}

replicate_result read_result(const options& o, const linkage::replicate_manifest& m, const std::string& text,
                             const std::string& name)
{
    settings theirs;
    linkage::replicate_manifest made;
    bool seed = false, number = false;
    linkage::fingerprint_reader study(name);
    std::istringstream in(text);
    long n = 0;
    for (std::string line; std::getline(in, line);) {
        ++n;
        const std::size_t a = line.find('\t'), b = a == std::string::npos ? a : line.find('\t', a + 1);
        const std::string kind = line.substr(0, a);
        if (kind != "setting" && kind != "replicate" && kind != "study")
            continue;
        if (b == std::string::npos || line.find('\t', b + 1) != std::string::npos)
            throw ibd::error(name + " line " + std::to_string(n) + ": expected " + kind + "<tab>NAME<tab>VALUE");
        const std::string key = line.substr(a + 1, b - a - 1), value = line.substr(b + 1);
        if (kind == "setting") {
            theirs.emplace_back(key, value);
        } else if (kind == "study") {
            study.take(key, value, n);
        } else if (key == "seed" || key == "number") {
            std::istringstream v(value);
            (key == "seed" ? seed : number) = key == "seed" ? bool(v >> made.seed) : bool(v >> made.replicate);
        }
    }
    // Results of an earlier brell-scan carry no header: their settings are unknown.
    if (theirs.empty())
        throw ibd::error(name + ": no record of the settings it was scanned with (an earlier brell-scan?); "
                                "scan the replicate again");
    const std::string other = settings_difference(theirs, scan_settings(o));
    if (!other.empty())
        throw ibd::error(name + ": scanned with other settings: " + other);
    const std::string diff = linkage::fingerprint_difference(study.finish(n), m.study);
    if (!diff.empty())
        throw ibd::error(name + ": a scan of another study: " + diff);
    if (!seed || !number || made.seed != m.seed || made.replicate != m.replicate)
        throw ibd::error(name + ": a scan of " + (seed && number ? draw(made) : std::string("an unnamed replicate")) +
                         ", not of this folder's " + draw(m));
    replicate_result r = parse_replicate(o, text, name);
    check_finite(o, r, name);
    return r;
}

namespace {

// A replicate is read like the study: its frequency file only where the
// study's scan had one. Its files are LINKAGE-style whatever the study's
// were, where only X is X-linked: the chromosomes the study leaves out (Y,
// MT, XY of a PLINK study) are left out here too.
linkage::study read_replicate(const options& o, const std::string& dir, const linkage::study& study,
                              const std::set<std::string>& analysed, bool& with_freq)
{
    with_freq = o.ibd.format == ibd::input_format::linkage && !o.ibd.files.freq.empty();
    linkage::linkage_files f{dir + "/study.ped", dir + "/study.dat", dir + "/study.map",
                             with_freq ? dir + "/study.freq" : std::string()};
    linkage::study s = linkage::read_linkage(f);
    for (std::size_t k = 0; k < s.markers.size(); ++k) {
        linkage::marker& m = s.markers[k];
        if (!analysed.count(m.chrom))
            m.kind = linkage::chrom_kind::excluded;
        // An allele the draw left out is still one a cluster file may name.
        if (!with_freq && k < study.markers.size() && study.markers[k].name == m.name)
            for (const std::string& a : study.markers[k].alleles)
                if (std::find(m.alleles.begin(), m.alleles.end(), a) == m.alleles.end())
                    m.alleles.push_back(a);
    }
    linkage::count_frequencies(s, o.ibd.freq);
    return s;
}

brell::file_ptr null_log()
{
    brell::file_ptr f(std::fopen("/dev/null", "w"));
    if (!f)
        throw ibd::error("/dev/null: cannot write");
    return f;
}

}  // namespace

replicate_result scan_one(const options& o, const replicate_entry& e, const std::string& scratch,
                          const linkage::study& study)
{
    options ro = o;
    ro.ibd.threads = 1;
    ro.ibd.quiet = true;
    ro.ibd.write_clusters.clear();  // the study's are the ones asked for
    bool with_freq = false;
    const linkage::study s = read_replicate(o, e.dir, study, autosomes(study), with_freq);
    // The files themselves, not only the manifest beside them. Its LD model
    // is found from its own genotypes, as the study's is from the study's.
    linkage::fingerprint files = linkage::fingerprint_of(s);
    files.dropped = e.manifest.study.dropped;
    files.set("clusters", *e.manifest.study.get("clusters"));
    if (!with_freq)  // counted from these genotypes, as the study's are from its own
        files.set("frequencies", *e.manifest.study.get("frequencies"));
    const std::string diff = linkage::fingerprint_difference(files, e.manifest.study);
    if (!diff.empty())
        throw ibd::error(e.dir + ": its files are not the replicate its manifest describes: " + diff);
    brell::file_ptr log = null_log();
    const replicate_result r = summarise_replicate(scan_study(ro, s, scratch, log.get(), true));
    check_finite(o, r, e.dir);
    return r;
}

}  // namespace scan
