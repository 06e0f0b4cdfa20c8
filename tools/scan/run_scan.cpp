#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>

#include "brell.h"
#include "scan_tool.h"

extern char** environ;

namespace scan {

namespace {

brell::file_ptr null_log()
{
    brell::file_ptr f(std::fopen("/dev/null", "w"));
    if (!f)
        throw ibd::error("/dev/null: cannot write");
    return f;
}

// The chromosomes the study's scan analyses.
std::set<std::string> autosomes(const linkage::study& s)
{
    std::set<std::string> out;
    for (const linkage::marker& m : s.markers)
        if (m.kind == linkage::chrom_kind::autosome)
            out.insert(m.chrom);
    return out;
}

// A replicate is read like the study: its frequency file only where the
// study's scan had one. Its files are LINKAGE-style whatever the study's
// were, where only X is X-linked: the chromosomes the study leaves out (Y,
// MT, XY of a PLINK study) are left out here too.
linkage::study read_replicate(const options& o, const std::string& dir, const std::set<std::string>& analysed)
{
    linkage::linkage_files f{dir + "/study.ped", dir + "/study.dat", dir + "/study.map",
                             o.ibd.files.freq.empty() ? std::string() : dir + "/study.freq"};
    linkage::study s = linkage::read_linkage(f);
    for (linkage::marker& m : s.markers)
        if (!analysed.count(m.chrom))
            m.kind = linkage::chrom_kind::excluded;
    linkage::count_frequencies(s, o.ibd.freq);
    return s;
}

replicate_result scan_one(const options& o, const std::string& dir, const std::string& scratch,
                          const std::set<std::string>& analysed)
{
    options ro = o;
    ro.ibd.threads = 1;
    ro.ibd.quiet = true;
    const linkage::study s = read_replicate(o, dir, analysed);
    brell::file_ptr log = null_log();
    return summarise_replicate(scan_study(ro, s, scratch, log.get(), true));
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw ibd::error(path + ": cannot open (was the replicate scanned with --scan-replicate?)");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// rsvg-convert, where installed, makes the PNG that slides and reports want.
void png_of(const std::string& svg, const std::string& png, bool quiet)
{
    const std::string tmp = png + ".tmp";
    const char* argv[] = {"rsvg-convert", "-o", tmp.c_str(), svg.c_str(), nullptr};
    pid_t pid;
    if (posix_spawnp(&pid, "rsvg-convert", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
        if (!quiet)
            std::fprintf(stderr, "%s: rsvg-convert not found: no %s\n", PROGRAM, png.c_str());
        return;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && std::rename(tmp.c_str(), png.c_str()) == 0)
        return;
    std::remove(tmp.c_str());
    if (!quiet)
        std::fprintf(stderr, "%s: rsvg-convert failed: no %s\n", PROGRAM, png.c_str());
}

}  // namespace

std::vector<replicate_result> scan_replicates(const options& o, const linkage::study& study, std::vector<std::string>& ids,
                                              bool progress)
{
    const std::set<std::string> analysed = autosomes(study);
    const std::vector<std::string> dirs = replicate_dirs(o.replicates);
    ids.clear();
    for (const std::string& d : dirs) {
        const std::string name = std::filesystem::path(d).filename().string();
        ids.push_back(std::to_string(std::stoull(name.substr(3))));
    }
    std::vector<replicate_result> out(dirs.size());
    const int threads = o.ibd.threads > 0 ? o.ibd.threads : brell::default_threads();
    const int workers = std::max(1, std::min(threads, static_cast<int>(dirs.size())));
    const std::string work = (o.ibd.out_dir.empty() ? std::string(".") : o.ibd.out_dir) + "/.replicate-work";
    std::atomic<std::size_t> next{0}, done{0};
    {
        brell::worker_pool pool(workers);
        pool.run([&](int t) {
            const std::string scratch = work + "/w" + std::to_string(t);
            for (std::size_t r; (r = next.fetch_add(1)) < dirs.size();) {
                const std::string name = dirs[r] + "/" + REPLICATE_RESULT;
                // Both ways go through the same text, so that gathering
                // scans made elsewhere gives the same bytes.
                const std::string text = o.gather ? slurp(name) : replicate_text(o, scan_one(o, dirs[r], scratch, analysed));
                out[r] = parse_replicate(o, text, name);
                const std::size_t d = ++done;
                if (progress && t == 0)
                    std::fprintf(stderr, "\r%s: replicate %zu of %zu\033[K", PROGRAM, d, dirs.size());
            }
        });
    }
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    if (progress)
        std::fprintf(stderr, "\r\033[K");
    return out;
}

int run(const options& o)
{
    if (!o.scan_replicate.empty()) {
        const std::string scratch = o.scan_replicate + "/.scan-work";
        const std::string text =
            replicate_text(o, scan_one(o, o.scan_replicate, scratch, autosomes(ibd::read_study(o.ibd))));
        std::error_code ec;
        std::filesystem::remove_all(scratch, ec);
        ibd::staged_files out;
        out.add(o.scan_replicate + "/" + REPLICATE_RESULT, text);
        out.commit();
        return 0;
    }

    const bool progress = !o.ibd.quiet && ::isatty(STDERR_FILENO);
    const linkage::study s = ibd::read_study(o.ibd);
    const std::string& dir = o.ibd.out_dir;
    const brell_plot::genome_scan g = scan_study(o, s, dir, stderr, false);

    std::unique_ptr<brell_plot::significance> sig;
    if (!o.replicates.empty()) {
        std::vector<std::string> ids;
        const std::vector<replicate_result> reps = scan_replicates(o, s, ids, progress);
        sig = std::make_unique<brell_plot::significance>(significance_of(o, g, ids, reps));
    }

    ibd::staged_files out;
    out.add(dir + "/scan.tsv", scan_table(g));
    if (sig)
        out.add(dir + "/significance.tsv", significance_table(*sig));
    out.add(dir + "/scan.svg", brell_plot::genome_svg(g, sig.get()));
    out.commit();
    png_of(dir + "/scan.svg", dir + "/scan.png", o.ibd.quiet);

    std::ostringstream summary;
    brell_plot::genome_summary(summary, g, sig.get());
    std::fputs(summary.str().c_str(), stdout);
    return 0;
}

}  // namespace scan
