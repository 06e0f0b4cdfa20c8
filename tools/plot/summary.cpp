#include <cmath>
#include <cstdio>

#include "plot.h"

namespace brell_plot {

namespace {

bool plottable_lod(const result_row& r)
{
    return std::isfinite(r.pos) && std::isfinite(r.lod);
}

std::string g(double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

}  // namespace

double upper_tail_p(double z)
{
    // erfc keeps full relative precision far into the tail, where 1 - Phi(z)
    // would round to zero.
    return 0.5 * std::erfc(z / std::sqrt(2.0));
}

peak_info find_peak(const std::vector<result_row>& rows)
{
    peak_info pk;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const result_row& r = rows[i];
        if (!plottable_lod(r) || (pk.found && !(r.lod > pk.lod)))
            continue;
        pk.found = true;
        pk.row = i;
        pk.pos = r.pos;
        pk.lod = r.lod;
        pk.zlr = r.zlr;
        pk.p = upper_tail_p(r.zlr);
        pk.delta = r.delta;
    }
    return pk;
}

std::vector<stretch> stretches_above(const std::vector<result_row>& rows, double threshold)
{
    std::vector<stretch> out;
    auto above = [threshold](const result_row& r) { return plottable_lod(r) && r.lod >= threshold; };
    for (const row_run& run : runs_of(rows, above))
        out.push_back({rows[run.first].pos, rows[run.last].pos, run.last - run.first + 1});
    return out;
}

std::string summary(const result_set& set)
{
    std::string s = set.label;
    if (set.label != set.path)
        s += " (" + set.path + ")";
    s += ": " + std::to_string(set.rows.size()) + (set.rows.size() == 1 ? " position\n" : " positions\n");

    peak_info pk = find_peak(set.rows);
    if (pk.found)
        s += "  peak: position " + g(pk.pos) + " cM, LOD " + g(pk.lod) + ", Z " + g(pk.zlr) + ", p " + g(pk.p) +
             ", delta " + g(pk.delta) + "\n";
    else
        s += "  peak: none (no finite LOD)\n";

    struct {
        double lod;
        const char* name;
    } const levels[] = {{LOD_SUGGESTIVE, "suggestive"}, {LOD_SIGNIFICANT, "significant"}};
    for (const auto& level : levels) {
        s += "  LOD >= " + g(level.lod) + " (" + level.name + "):";
        std::vector<stretch> st = stretches_above(set.rows, level.lod);
        if (st.empty())
            s += " none";
        for (std::size_t i = 0; i < st.size(); ++i) {
            s += i ? ", " : " ";
            s += st[i].count == 1 ? g(st[i].from) + " cM" : g(st[i].from) + " to " + g(st[i].to) + " cM";
        }
        s += "\n";
    }
    return s;
}

}  // namespace brell_plot
