// brell-plot: LOD score and delta against map position from brell results
// files, or LOD score across the genome from a brell-scan table, as an SVG
// figure and a summary on standard output.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "plot.h"

namespace {

constexpr const char* PROGRAM = "brell-plot";
constexpr const char* DEFAULT_OUTPUT = "brell.svg";
constexpr const char* DEFAULT_GENOME_OUTPUT = "scan.svg";

std::string help_text()
{
    std::string text(4096, '\0');
    const int n = std::snprintf(text.data(), text.size(),
                 "Usage: %s [-o FILE] [-l LABEL]... RESULTS...\n"
                 "   or: %s --genome SCAN [--significance SIGNIFICANCE] [-o FILE]\n"
                 "Plot LOD score and estimated delta against map position (cM) from one or\n"
                 "more brell results files (brell.out) as an SVG figure, and print for each\n"
                 "file its peak (position, LOD, signed likelihood-ratio Z with its one-sided\n"
                 "normal p-value, delta) and the stretches of the map at or above LOD %g\n"
                 "(suggestive) and %g (significant). A LOD counts with the sign of its\n"
                 "delta: negative where delta < 0, deficit sharing.\n"
                 "\n"
                 "  -o, --output FILE   write the figure to FILE (default: %s)\n"
                 "  -l, --label LABEL   name a results file in the figure and the summary;\n"
                 "                      the n-th label names the n-th file (default: its name)\n"
                 "  -t, --title TITLE   the figure's title (default: what it shows; with\n"
                 "                      --genome, \"Genome scan: \" and the scan file's name)\n"
                 "  -h, --help          print this help and exit\n"
                 "      --version       print the version and exit\n"
                 "\n"
                 "With --genome, plot the LOD score of each model across all chromosomes of a\n"
                 "brell-scan table (scan.tsv), with the information content below, and print\n"
                 "for each model the best peak of every chromosome and the regions at or\n"
                 "above each threshold.\n"
                 "\n"
                 "  --genome SCAN               the scan table (default figure: %s)\n"
                 "  --significance SIGNIFICANCE brell-scan's significance.tsv: its empirical\n"
                 "                              thresholds are drawn and summarised too, with\n"
                 "                              each chromosome peak's genome-wide p-value and\n"
                 "                              its Monte Carlo standard error\n"
                 "\n"
                 "A file named - is read from standard input. The summary goes to standard\n"
                 "output, messages to standard error.\n"
                 "Exit status: 0 on success, 1 on any error.\n",
                 PROGRAM, PROGRAM, brell_plot::LOD_SUGGESTIVE, brell_plot::LOD_SIGNIFICANT, DEFAULT_OUTPUT,
                 DEFAULT_GENOME_OUTPUT);
    text.resize(n > 0 ? std::min<std::size_t>(static_cast<std::size_t>(n), text.size() - 1) : 0);
    return text;
}

struct options {
    std::string output;  // empty: not given
    bool output_given = false;
    std::vector<std::string> labels;
    std::vector<std::string> files;
    bool genome_given = false;
    std::string genome;  // the scan table
    bool significance_given = false;
    std::string significance;
    std::string title;  // empty: the figure's own
};

options parse_args(int argc, char** argv, cli::request& request)
{
    options opt;
    cli::parser p;
    p.value("-o,--output", [&](const std::string& v) { opt.output = v, opt.output_given = true; });
    p.value("-l,--label", [&](const std::string& v) { opt.labels.push_back(v); });
    p.value("-t,--title", [&](const std::string& v) { opt.title = v; });
    p.value("--genome", [&](const std::string& v) { opt.genome = v, opt.genome_given = true; });
    p.value("--significance", [&](const std::string& v) { opt.significance = v, opt.significance_given = true; });
    p.operands([&](const std::string& v) { opt.files.push_back(v); });
    request = p.parse(argc, argv);
    return opt;
}

// The figure appears whole or not at all; a failed run keeps an earlier one.
bool write_file(const std::string& path, const std::string& text, std::string& why)
{
    std::string tmp = path + ".tmp";
    {
        errno = 0;
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (out) {
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            out.close();
        }
        if (!out) {
            why = errno ? std::strerror(errno) : "write failed";
            std::error_code ignored;
            std::filesystem::remove(tmp, ignored);
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        why = ec.message();
        std::filesystem::remove(tmp, ec);
        return false;
    }
    return true;
}

bool same_file(const std::string& a, const std::string& b)
{
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

void usage_message(const char* problem)
{
    std::fputs(cli::usage_message(PROGRAM, problem).c_str(), stderr);
}

bool flush_stdout()
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: standard output could not be written\n", PROGRAM);
        return false;
    }
    return true;
}

const char* genome_problem(const options& opt)
{
    return !opt.files.empty()                                ? "results files cannot be given with --genome"
           : !opt.labels.empty()                             ? "--label cannot be given with --genome"
           : opt.genome.empty()                              ? "empty scan file name"
           : opt.significance_given && opt.significance.empty() ? "empty significance file name"
           : opt.significance_given && opt.genome == "-" && opt.significance == "-"
               ? "standard input cannot be read twice"
           : opt.output.empty() ? "empty output file name"
                                : nullptr;
}

int run_genome(const options& opt)
{
    std::vector<std::string> inputs = {opt.genome};
    if (opt.significance_given)
        inputs.push_back(opt.significance);
    for (const std::string& path : inputs)
        if (same_file(path, opt.output)) {
            std::fprintf(stderr, "%s: %s: is also the output file\n", PROGRAM, path.c_str());
            return 1;
        }

    brell_plot::genome_scan scan;
    brell_plot::significance sig;
    try {
        scan = opt.genome == "-" ? brell_plot::read_scan(std::cin, "standard input")
                                 : brell_plot::read_scan(opt.genome);
        if (opt.significance_given)
            sig = opt.significance == "-" ? brell_plot::read_significance(std::cin, "standard input")
                                          : brell_plot::read_significance(opt.significance);
    } catch (const brell_plot::plot_error& e) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM, e.what());
        return 1;
    }
    const brell_plot::significance* sigp = opt.significance_given ? &sig : nullptr;
    scan.title = opt.title;

    std::string why;
    if (!write_file(opt.output, brell_plot::genome_svg(scan, sigp), why)) {
        std::fprintf(stderr, "%s: %s: could not be written (%s)\n", PROGRAM, opt.output.c_str(), why.c_str());
        return 1;
    }
    std::ostringstream summary;
    brell_plot::genome_summary(summary, scan, sigp);
    const std::string text = summary.str();
    std::fwrite(text.data(), 1, text.size(), stdout);
    return flush_stdout() ? 0 : 1;
}

int run(int argc, char** argv)
{
    options opt;
    cli::request request;
    try {
        opt = parse_args(argc, argv, request);
    } catch (const cli::usage_error& e) {
        usage_message(e.what());
        return 1;
    }
    if (request != cli::request::run)
        return cli::print(request == cli::request::help ? help_text() : cli::version_line(PROGRAM));
    if (!opt.output_given)
        opt.output = opt.genome_given ? DEFAULT_GENOME_OUTPUT : DEFAULT_OUTPUT;
    const char* problem = opt.genome_given ? genome_problem(opt)
                          : opt.significance_given                 ? "--significance needs --genome"
                          : opt.files.empty()                      ? "no results file given"
                          : opt.labels.size() > opt.files.size()  ? "more labels than results files"
                          : opt.output.empty()                     ? "empty output file name"
                                                                   : nullptr;
    if (problem) {
        usage_message(problem);
        return 1;
    }
    if (opt.genome_given)
        return run_genome(opt);

    std::vector<brell_plot::result_set> sets;
    for (std::size_t i = 0; i < opt.files.size(); ++i) {
        const std::string& path = opt.files[i];
        // Writing the figure over a results file would lose the data.
        if (same_file(path, opt.output)) {
            std::fprintf(stderr, "%s: %s: is also the output file\n", PROGRAM, path.c_str());
            return 1;
        }
        try {
            std::vector<brell_plot::result_row> rows =
                path == "-" ? brell_plot::parse_results(std::cin, "standard input") : brell_plot::read_results(path);
            sets.push_back({i < opt.labels.size() ? opt.labels[i] : path, path, std::move(rows)});
        } catch (const brell_plot::plot_error& e) {
            std::fprintf(stderr, "%s: %s\n", PROGRAM, e.what());
            return 1;
        }
    }

    std::string why;
    if (!write_file(opt.output, brell_plot::svg_figure(sets, opt.title), why)) {
        std::fprintf(stderr, "%s: %s: could not be written (%s)\n", PROGRAM, opt.output.c_str(), why.c_str());
        return 1;
    }

    for (std::size_t i = 0; i < sets.size(); ++i) {
        if (i)
            std::fputs("\n", stdout);
        std::fputs(brell_plot::summary(sets[i]).c_str(), stdout);
    }
    return flush_stdout() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    return run(argc, argv);
}
