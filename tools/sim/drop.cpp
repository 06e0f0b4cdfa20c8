#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "sim.h"
#include "cluster_drop.h"
#include "inconsistent.h"
#include "writers.h"

namespace sim {

linkage::study read_drop_study(const drop_options& d)
{
    // Read as brell-ibd reads it, so that the replicates carry the
    // frequencies that the study itself is analysed with.
    return linkage::read_study(d.format, d.files, d.prefix, d.freq);
}

linkage::study drop_replicate(const linkage::study& s, std::uint64_t seed, long r)
{
    return drop_replicate(s, linkage::cluster_set{}, seed, r);
}

linkage::study drop_replicate(const linkage::study& s, const linkage::cluster_set& cs, std::uint64_t seed, long r)
{
    linkage::study out = s;
    const std::vector<linkage::chromosome> chroms = linkage::chromosomes(s);
    std::vector<std::vector<double>> cm(chroms.size());
    std::vector<std::vector<linkage::locus>> loci(chroms.size());
    for (std::size_t c = 0; c < chroms.size(); ++c) {
        loci[c] = linkage::loci(s, chroms[c], cs);
        for (const linkage::locus& l : loci[c])
            cm[c].push_back(l.cm);
    }

    // One generator for the whole replicate, walked in a fixed order
    // (families in file order, chromosomes in map order), so that a
    // replicate is the same whichever others are made with it.
    rng g(seed, static_cast<std::uint64_t>(r), STREAM_DROP);
    const linkage::uniform_source u = [&] { return g.uniform(); };
    for (std::size_t fi = 0; fi < s.families.size(); ++fi) {
        linkage::family& f = out.families[fi];
        const linkage::meioses mz = linkage::meiosis_layout(f, s.pedigree_file);
        for (std::size_t c = 0; c < chroms.size(); ++c) {
            // Chromosomes other than autosomes are dropped as autosomes too:
            // nothing downstream analyses them, but they stay in the files.
            const linkage::inheritance inh = linkage::draw_inheritance(mz.nbits(), cm[c], u);
            if (cs.list.empty())
                linkage::gene_drop(f, mz, out.markers, chroms[c].markers, inh, u);
            else
                linkage::gene_drop(f, mz, out.markers, cs, loci[c], inh, u);
        }
        const linkage::family& orig = s.families[fi];
        for (std::size_t k = 0; k < f.geno.size(); ++k)
            if (orig.geno[k].missing())
                f.geno[k] = {};
    }
    return out;
}

std::string replicate_name(long r)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "rep%06ld", r);
    return buf;
}

drop_study prepare_drop_study(const drop_options& d)
{
    drop_study out{read_drop_study(d), {}, 0, {}};
    const unsigned cores = std::thread::hardware_concurrency();
    const int threads = cores ? static_cast<int>(cores) : 1;
    out.clusters = linkage::analysis_clusters(out.study, d.clusters, d.ld_r2, d.ld, d.max_bits, threads);
    const std::vector<linkage::inconsistency> found =
        linkage::find_inconsistencies(out.study, out.clusters, d.max_bits, threads);
    if (!found.empty() && !d.drop_inconsistent) {
        std::string text = std::string(PROGRAM) + ": " + linkage::INCONSISTENCIES_FOUND;
        for (const linkage::inconsistency& i : found)
            text += std::string("\n") + PROGRAM + ": " +
                    linkage::inconsistency_line(out.study, out.clusters, out.study.families[i.family], i.marker,
                                                i.person);
        throw inconsistent_study(text);
    }
    linkage::drop_genotypes(out.study, out.clusters, found);
    out.dropped = found.size();
    out.fingerprint = linkage::fingerprint_of(out.study, found, &out.clusters);
    return out;
}

long check_replicate_folder(const std::string& dir, const linkage::fingerprint& f, std::uint64_t seed)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_directory(dir, ec))
        throw error(dir + " is not a folder");
    const std::string advice = ": choose another folder or empty it";
    long held = 0;
    for (const auto& [number, path] : linkage::replicate_folders(dir)) {
        // A workflow makes a replicate's folder before the replicate.
        if (fs::is_empty(path, ec))
            continue;
        const std::string manifest = path + "/" + linkage::MANIFEST_FILE;
        std::ifstream in(manifest, std::ios::binary);
        if (!in) {
            // Another run may be putting this replicate in place right now.
            if (!fs::exists(path, ec) || fs::is_empty(path, ec))
                continue;
            throw error(dir + " holds " + path + " without a " + linkage::MANIFEST_FILE +
                        " (not made by this brell-sim --drop)" + advice);
        }
        std::ostringstream text;
        text << in.rdbuf();
        const linkage::replicate_manifest m = linkage::parse_manifest(text.str(), manifest);
        const std::string diff = linkage::fingerprint_difference(m.study, f);
        if (!diff.empty())
            throw error(dir + " holds replicates of another study (" + path + ": " + diff + ")" + advice);
        if (m.seed != seed)
            throw error(dir + " holds replicates made with seed " + std::to_string(m.seed) + " (" + path +
                        "), not " + std::to_string(seed) + advice);
        ++held;
    }
    return held;
}

namespace {

// A folder beside path that no other writer uses, made as mkdir makes any.
std::string fresh_folder(const std::string& path)
{
    static std::atomic<unsigned long> serial{0};
    for (;;) {
        std::string name = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
        if (::mkdir(name.c_str(), 0777) == 0)
            return name;
        if (errno != EEXIST)
            throw error("cannot create folder " + name + ": " + std::strerror(errno));
    }
}

}  // namespace

drop_summary write_replicates(const options& opt)
{
    namespace fs = std::filesystem;
    const drop_options& d = opt.drop;
    const drop_study st = prepare_drop_study(d);
    const linkage::study& s = st.study;
    check_replicate_folder(opt.out_dir, st.fingerprint, opt.seed);

    const fs::path dir(opt.out_dir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir))
        throw error("cannot create directory " + dir.string() + (ec ? ": " + ec.message() : ": not a directory"));
    for (long r = d.first; r < d.first + d.replicates; ++r) {
        // Written aside and renamed into place whole, so that no folder is
        // ever seen as a replicate without its manifest.
        const std::string rep = (dir / replicate_name(r)).string();
        const std::string hidden = (dir / ("." + replicate_name(r))).string();
        const std::string stage = fresh_folder(hidden);
        try {
            const linkage::study out = drop_replicate(s, st.clusters, opt.seed, r);
            linkage::write_linkage(out, stage + "/study.ped", stage + "/study.dat", stage + "/study.map",
                                   stage + "/study.freq");
            linkage::output_file manifest(stage + "/" + linkage::MANIFEST_FILE);
            manifest.put(linkage::manifest_text({opt.seed, r, st.fingerprint}));
            manifest.close();
            manifest.commit();
            // An earlier copy of this replicate goes whole, with any scan of it.
            std::string old;
            if (fs::exists(rep, ec)) {
                old = fresh_folder(hidden);
                fs::rename(rep, old + "/" + replicate_name(r));
            }
            fs::rename(stage, rep);
            if (!old.empty())
                fs::remove_all(old, ec);
        } catch (const fs::filesystem_error& e) {
            fs::remove_all(stage, ec);
            throw error("cannot write " + rep + ": " + e.code().message());
        } catch (...) {
            fs::remove_all(stage, ec);
            throw;
        }
    }

    if (!d.write_clusters.empty())
        linkage::write_clusters(d.write_clusters, s, st.clusters);
    drop_summary sum{s.families.size(), s.markers.size(), st.dropped, 0, 0, 0, s.notes};
    for (const auto& [number, path] : linkage::replicate_folders(opt.out_dir))
        if (!fs::is_empty(path, ec)) {
            sum.lowest = sum.held++ ? sum.lowest : static_cast<long>(number);
            sum.highest = static_cast<long>(number);
        }
    return sum;
}

}  // namespace sim
