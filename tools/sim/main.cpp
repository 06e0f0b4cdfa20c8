#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "command_line.h"
#include "sim.h"

int main(int argc, char* argv[])
{
    try {
        const sim::options opt = sim::parse_options(argc, argv);
        if (opt.help || opt.version)
            return cli::print(opt.help ? sim::usage_text() : cli::version_line(sim::PROGRAM));
        if (opt.drop.on) {
            const sim::drop_summary sum = sim::write_replicates(opt);
            linkage::print_notes(sum.notes, sim::PROGRAM, stderr);
            const long n = opt.drop.replicates, first = opt.drop.first;
            const std::string range = sim::replicate_name(first) +
                                      (n > 1 ? " to " + sim::replicate_name(first + n - 1) : std::string());
            std::printf("Wrote %ld replicate%s (%s) of %zu families at %zu markers to %s\n", n, n == 1 ? "" : "s",
                        range.c_str(), sum.families, sum.markers, opt.out_dir.c_str());
            if (sum.dropped)
                std::printf("Missing in every replicate: %zu Mendelian-inconsistent genotype set%s of the study\n",
                            sum.dropped, sum.dropped == 1 ? "" : "s");
            // A scan of the folder uses every replicate in it, not only these.
            if (sum.held != n)
                std::printf("%s now holds %ld replicates of this study and seed (%s to %s), all of which "
                            "brell-scan --replicates uses\n",
                            opt.out_dir.c_str(), sum.held, sim::replicate_name(sum.lowest).c_str(),
                            sim::replicate_name(sum.highest).c_str());
            return 0;
        }
        const sim::study_summary sum = sim::write_study(opt);
        if (sum.removed_stale_weights)
            std::printf("Removed %s/weights.dat of an earlier study (no --weights given)\n", opt.out_dir.c_str());
        if (!sum.removed_stale_genotypes.empty()) {
            std::printf("Removed");
            for (const auto& f : sum.removed_stale_genotypes)
                std::printf(" %s/%s", opt.out_dir.c_str(), f.c_str());
            std::printf(" of an earlier study (not written by this run)\n");
        }
        std::printf("Wrote %ld kindreds at %ld positions to %s:", opt.kindreds, sum.positions, opt.out_dir.c_str());
        for (const auto& f : sum.files)
            std::printf(" %s", f.c_str());
        std::printf("\n");
        return 0;
    } catch (const cli::usage_error& e) {
        std::fputs(cli::usage_message(sim::PROGRAM, e.what()).c_str(), stderr);
    } catch (const sim::inconsistent_study& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", sim::PROGRAM);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", sim::PROGRAM, e.what());
    }
    return 1;
}
