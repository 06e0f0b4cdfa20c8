#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
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

// rsvg-convert, where installed, makes the PNG that slides and reports want.
void png_of(const std::string& svg, const std::string& png, bool quiet)
{
    const char* argv[] = {"rsvg-convert", "-o", png.c_str(), svg.c_str(), nullptr};
    // The signals this program waits for itself are the child's to take.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid;
    const int spawned = posix_spawnp(&pid, "rsvg-convert", nullptr, &attr, const_cast<char* const*>(argv), environ);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        if (!quiet)
            std::fprintf(stderr, "%s: rsvg-convert not found: no %s\n", PROGRAM,
                         std::filesystem::path(png).filename().c_str());
        return;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return;
    std::remove(png.c_str());
    if (!quiet)
        std::fprintf(stderr, "%s: rsvg-convert failed: no %s\n", PROGRAM,
                     std::filesystem::path(png).filename().c_str());
}

void write_file(const std::string& path, const std::string& text)
{
    brell::file_ptr f(std::fopen(path.c_str(), "w"));
    if (!f || std::fwrite(text.data(), 1, text.size(), f.get()) != text.size() || std::fclose(f.release()) != 0)
        throw ibd::error(path + ": cannot write: " + std::strerror(errno));
}

// --scan-replicate DIR: its scan-result.tsv, put in place only when whole.
int scan_replicate(const options& o)
{
    run_folder::check(o.scan_replicate, run_folder::kind::replicate);
    const prepared_study p = prepare_study(o, true);
    const replicate_entry e{"", o.scan_replicate, check_manifest(o.scan_replicate, p.fingerprint), {}};
    run_folder out(o.scan_replicate, run_folder::kind::replicate);
    const replicate_result r = scan_one(o, e, out.stage() + "/work", p.study);
    std::error_code ec;
    std::filesystem::remove_all(out.stage() + "/work", ec);
    write_file(out.stage() + "/" + REPLICATE_RESULT, result_text(o, e.manifest, r));
    out.commit();
    return 0;
}

}  // namespace

std::vector<replicate_result> scan_replicates(const options& o, const linkage::study& study,
                                              const std::vector<replicate_entry>& reps, const std::string& work,
                                              bool progress)
{
    std::vector<replicate_result> out(reps.size());
    if (o.gather) {
        for (std::size_t r = 0; r < reps.size(); ++r)
            out[r] = reps[r].gathered;
        return out;
    }
    const int threads = o.ibd.threads > 0 ? o.ibd.threads : brell::default_threads();
    const int workers = std::max(1, std::min(threads, static_cast<int>(reps.size())));
    std::atomic<std::size_t> next{0}, done{0};
    {
        brell::worker_pool pool(workers);
        pool.run([&](int t) {
            const std::string scratch = work + "/w" + std::to_string(t);
            for (std::size_t r; (r = next.fetch_add(1)) < reps.size();) {
                // Through the text a --scan-replicate result holds, so that
                // gathering scans made elsewhere gives the same bytes.
                const std::string name = reps[r].dir + "/" + REPLICATE_RESULT;
                out[r] = parse_replicate(o, replicate_text(o, scan_one(o, reps[r], scratch, study)), name);
                const std::size_t d = ++done;
                if (progress && t == 0)
                    std::fprintf(stderr, "\r%s: replicate %zu of %zu\033[K", PROGRAM, d, reps.size());
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
    clean_up_on_interrupt();
    if (!o.scan_replicate.empty())
        return scan_replicate(o);

    // Everything that can be refused is, before any work.
    const std::string& dir = o.ibd.out_dir;
    run_folder::check(dir, run_folder::kind::scan);
    const prepared_study p = prepare_study(o, !o.replicates.empty());
    std::vector<replicate_entry> reps;
    if (!o.replicates.empty())
        reps = check_replicates(o, p);
    if (!o.grid.empty() && o.grid_min < 0)
        std::fprintf(stderr,
                     "%s: warning: --grid: DMIN %s is below 0: negative deltas model deficit sharing, which "
                     "counts against linkage (a negative LOD)\n",
                     PROGRAM, o.grid[0].c_str());

    const bool progress = !o.ibd.quiet && ::isatty(STDERR_FILENO);
    run_folder out(dir, run_folder::kind::scan);
    const std::string& stage = out.stage();
    const brell_plot::genome_scan g = scan_study(o, p.study, stage, stderr, false);

    std::unique_ptr<brell_plot::significance> sig;
    if (!o.replicates.empty()) {
        std::vector<std::string> ids;
        for (const replicate_entry& e : reps)
            ids.push_back(e.id);
        const std::vector<replicate_result> results =
            scan_replicates(o, p.study, reps, stage + "/.replicate-work", progress);
        sig = std::make_unique<brell_plot::significance>(significance_of(o, g, ids, results));
    }

    write_file(stage + "/scan.tsv", scan_table(g));
    if (sig)
        write_file(stage + "/significance.tsv", significance_table(*sig));
    write_file(stage + "/scan.svg", brell_plot::genome_svg(g, sig.get()));
    png_of(stage + "/scan.svg", stage + "/scan.png", o.ibd.quiet);
    out.commit();

    std::ostringstream summary;
    brell_plot::genome_summary(summary, g, sig.get());
    std::fputs(summary.str().c_str(), stdout);
    return 0;
}

}  // namespace scan
