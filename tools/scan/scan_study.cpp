#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "brell.h"
#include "scan_tool.h"

namespace scan {

namespace {

// brell under one model in one chromosome's folder, in-process: exactly the
// run `brell LIN` would make there. Its results file and messages are then
// kept under the model's name, so that both models' stay side by side.
brell::run_data run_model(const options& o, const std::string& dir, const std::string& model, bool quiet_brell)
{
    std::string lower = model == "LIN" ? "lin" : "exp";
    std::vector<const char*> argv{"brell", model.c_str()};
    if (!o.grid.empty()) {
        argv.push_back("GRID");
        for (const std::string& g : o.grid)
            argv.push_back(g.c_str());
    }
    const std::string log_path = quiet_brell ? "/dev/null" : dir + "/" + lower + ".log";
    brell::file_ptr log(std::fopen(log_path.c_str(), "w"));
    if (!log)
        throw ibd::error(log_path + ": cannot write");
    brell::run_data dat;
    dat.dir = dir;
    dat.out = log.get();
    dat.threads = o.ibd.threads > 0 ? o.ibd.threads : brell::default_threads();
    const int status = brell::run_brell(static_cast<int>(argv.size()), argv.data(), dat);
    if (std::fflush(log.get()) != 0)
        throw ibd::error(log_path + ": cannot write");
    // The folder is a stage that goes with the failure: its messages travel
    // in the error.
    const std::string chromosome = std::filesystem::path(dir).filename().string();
    if (status != 0) {
        std::string why;
        if (!quiet_brell) {
            std::ifstream in(log_path);
            for (std::string line; std::getline(in, line);)
                why += "\n  " + line;
        }
        throw ibd::error(chromosome + ": brell " + model + " failed" + (why.empty() ? "" : ":" + why));
    }
    const std::string out = dir + "/" + lower + ".out";
    if (std::rename((dir + "/" + brell::RESULTS_FILE).c_str(), out.c_str()) != 0)
        throw ibd::error(chromosome + "/" + lower + ".out: cannot write: " + std::strerror(errno));
    return dat;
}

void append(std::string& out, double v)
{
    // R and pandas both read these.
    if (std::isnan(v)) {
        out += "NaN";
    } else if (std::isinf(v)) {
        out += v < 0 ? "-Inf" : "Inf";
    } else {
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        out.append(buf, r.ptr);
    }
}

// The study as its files name it: "study" for study.ped or a PLINK prefix
// study, without the folders.
std::string study_name(const ibd::options& o)
{
    std::filesystem::path p = o.format == ibd::input_format::linkage ? o.files.ped : o.prefix;
    if (o.format == ibd::input_format::linkage && p.has_extension())
        p.replace_extension();
    return p.filename().string();
}

}  // namespace

brell_plot::genome_scan scan_study(const options& o, const linkage::study& s, const std::string& out_dir,
                                   std::FILE* log, bool quiet_brell)
{
    ibd::options io = o.ibd;
    io.out_dir = out_dir;
    const ibd::summary sum = ibd::run_ibd(io, s, log);
    brell_plot::genome_scan g;
    g.name = "scan.tsv";
    g.title = "Genome scan: " + study_name(o.ibd);
    g.models = o.models;
    bool warned = false;
    for (const ibd::chromosome_done& c : sum.chromosomes) {
        brell_plot::scan_chromosome sc;
        sc.name = c.name;
        for (std::size_t p = 0; p < c.pos.size(); ++p)
            sc.positions.push_back({c.pos[p], c.marker[p], c.information[p]});
        for (const std::string& m : o.models) {
            const brell::run_data dat = run_model(o, c.dir, m, quiet_brell);
            // brell itself finds the bound only from the kindreds, after the IBD.
            if (!quiet_brell && !warned && m == "LIN" && !o.grid.empty() && dat.bound < o.grid_max) {
                std::fprintf(log,
                             "%s: warning: --grid: DMAX %s exceeds the linear model's bound %s: its likelihood is "
                             "negative beyond it, and those deltas never win\n",
                             PROGRAM, o.grid[1].c_str(), brell::shortest(dat.bound).c_str());
                warned = true;
            }
            std::vector<brell_plot::result_row> rows;
            for (int p = 0; p < dat.npos; ++p)
                rows.push_back({dat.pos[p], dat.npl_z[p], dat.zlr[p], brell_plot::signed_lod(dat.lod[p], dat.delta[p]),
                                dat.delta[p]});
            sc.curves.push_back(std::move(rows));
        }
        g.chromosomes.push_back(std::move(sc));
    }
    return g;
}

std::string scan_table(const brell_plot::genome_scan& g)
{
    std::string out = "chromosome\tposition\tmarker\tinformation";
    for (const std::string& m : g.models) {
        const std::string l = m == "LIN" ? "lin" : "exp";
        out += "\t" + l + "_npl_z\t" + l + "_zlr\t" + l + "_lod\t" + l + "_delta";
    }
    out += '\n';
    for (const brell_plot::scan_chromosome& c : g.chromosomes)
        for (std::size_t p = 0; p < c.positions.size(); ++p) {
            out += c.name + '\t';
            append(out, c.positions[p].pos);
            out += '\t' + c.positions[p].marker + '\t';
            append(out, c.positions[p].information);
            for (const auto& curve : c.curves) {
                for (double v : {curve[p].npl_z, curve[p].zlr, curve[p].lod, curve[p].delta}) {
                    out += '\t';
                    append(out, v);
                }
            }
            out += '\n';
        }
    return out;
}

}  // namespace scan
