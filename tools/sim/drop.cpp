#include <cstdio>
#include <filesystem>
#include <system_error>

#include "sim.h"
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
    linkage::study out = s;
    const std::vector<linkage::chromosome> chroms = linkage::chromosomes(s);
    std::vector<std::vector<double>> cm(chroms.size());
    for (std::size_t c = 0; c < chroms.size(); ++c)
        for (int m : chroms[c].markers)
            cm[c].push_back(s.markers[m].cm);

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
            linkage::gene_drop(f, mz, out.markers, chroms[c].markers, inh, u);
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

drop_summary write_replicates(const options& opt)
{
    namespace fs = std::filesystem;
    const drop_options& d = opt.drop;
    const linkage::study s = read_drop_study(d);

    const fs::path dir(opt.out_dir);
    for (long r = d.first; r < d.first + d.replicates; ++r) {
        const fs::path rep = dir / replicate_name(r);
        std::error_code ec;
        fs::create_directories(rep, ec);
        if (ec || !fs::is_directory(rep))
            throw error("cannot create directory " + rep.string() + (ec ? ": " + ec.message() : ": not a directory"));
        const linkage::study out = drop_replicate(s, opt.seed, r);
        linkage::write_linkage(out, (rep / "study.ped").string(), (rep / "study.dat").string(),
                               (rep / "study.map").string(), (rep / "study.freq").string());
    }
    return {s.families.size(), s.markers.size()};
}

}  // namespace sim
