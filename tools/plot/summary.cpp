#include <cmath>
#include <algorithm>
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
    return unsigned_zero(buf);
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

namespace brell_plot {

namespace {

std::string fixed(double v, const char* format)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "Inf" : "-Inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return unsigned_zero(buf);
}

// Columns padded to their widest cell; numbers to the right.
class text_table {
public:
    explicit text_table(std::vector<bool> right) : right_(std::move(right)) {}
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    void write(std::ostream& out, const char* indent) const
    {
        std::vector<std::size_t> width(right_.size(), 0);
        for (const auto& row : rows_)
            for (std::size_t c = 0; c < row.size(); ++c)
                width[c] = std::max(width[c], row[c].size());
        for (const auto& row : rows_) {
            std::string line = indent;
            for (std::size_t c = 0; c < row.size(); ++c) {
                std::string pad(width[c] - row[c].size(), ' ');
                line += c ? "  " : "";
                line += right_[c] ? pad + row[c] : row[c] + pad;
            }
            line.erase(line.find_last_not_of(' ') + 1);
            out << line << '\n';
        }
    }

private:
    std::vector<bool> right_;
    std::vector<std::vector<std::string>> rows_;
};

struct level {
    double lod;
    std::string name;
};

}  // namespace

genome_peak best_peak(const genome_scan& scan, std::size_t m)
{
    genome_peak best;
    for (std::size_t i = 0; i < scan.chromosomes.size(); ++i) {
        peak_info pk = find_peak(scan.chromosomes[i].curves[m]);
        if (pk.found && (!best.peak.found || pk.lod > best.peak.lod))
            best = {i, pk};
    }
    return best;
}

std::string threshold_name(const std::string& id)
{
    return id == "significant" ? "5% genome-wide" : id;
}

void genome_summary(std::ostream& out, const genome_scan& scan, const significance* sig)
{
    std::size_t npositions = 0;
    for (const scan_chromosome& c : scan.chromosomes)
        npositions += c.positions.size();
    out << scan.name << ": " << scan.chromosomes.size()
        << (scan.chromosomes.size() == 1 ? " chromosome, " : " chromosomes, ") << npositions
        << (npositions == 1 ? " position" : " positions") << ", model" << (scan.models.size() == 1 ? " " : "s ");
    for (std::size_t m = 0; m < scan.models.size(); ++m)
        out << (m ? ", " : "") << scan.models[m];
    out << '\n';
    if (sig) {
        out << sig->name << ":";
        for (std::size_t m = 0; m < scan.models.size(); ++m) {
            std::size_t n = 0;
            for (const significance::replicate& r : sig->replicates)
                n += r.model == scan.models[m];
            out << (m ? ", " : " ") << n << ' ' << scan.models[m] << (n == 1 ? " replicate" : " replicates");
        }
        out << '\n';
    }

    for (std::size_t m = 0; m < scan.models.size(); ++m) {
        const std::string& model = scan.models[m];
        out << '\n' << model << " best peak: ";
        genome_peak best = best_peak(scan, m);
        if (best.peak.found) {
            const scan_chromosome& c = scan.chromosomes[best.chromosome];
            const std::string& marker = c.positions[best.peak.row].marker;
            out << "chromosome " << c.name << " at " << g(best.peak.pos) << " cM"
                << (marker.empty() ? "" : " (" + marker + ")") << ", LOD " << fixed(best.peak.lod, "%.2f") << '\n';
        } else {
            out << "none (no finite LOD)\n";
        }

        std::size_t nreps = 0;
        if (sig)
            for (const significance::replicate& r : sig->replicates)
                nreps += r.model == model;
        text_table table({false, true, false, true, true, true, true, true});
        std::vector<std::string> head = {"chromosome", "cM", "marker", "LOD", "delta", "p(Zlr)"};
        if (sig) {
            head.push_back("p(genome)");
            head.push_back("s.e.");
        }
        table.add(head);
        for (const scan_chromosome& c : scan.chromosomes) {
            peak_info pk = find_peak(c.curves[m]);
            std::vector<std::string> row = {c.name, "-", "", "-", "-", "-"};
            if (pk.found)
                row = {c.name, g(pk.pos), c.positions[pk.row].marker, fixed(pk.lod, "%.2f"), fixed(pk.delta, "%.3f"),
                       fixed(pk.p, "%.2g")};
            if (sig) {
                row.emplace_back();
                row.emplace_back();
                for (const significance::peak& sp : sig->peaks)
                    if (sp.model == model && sp.chromosome == c.name) {
                        row[row.size() - 2] = fixed(sp.p, "%.3g");
                        // Monte Carlo error of a proportion estimated from N replicates.
                        if (nreps > 0)
                            row.back() = fixed(std::sqrt(sp.p * (1 - sp.p) / double(nreps)), "%.2g");
                        break;
                    }
            }
            table.add(row);
        }
        table.write(out, "  ");

        std::vector<level> levels = {{LOD_SUGGESTIVE, "suggestive"}, {LOD_SIGNIFICANT, "significant"}};
        std::vector<std::string> none;
        if (sig)
            for (const significance::threshold& t : sig->thresholds) {
                if (t.model != model)
                    continue;
                if (std::isfinite(t.lod))
                    levels.push_back({t.lod, "empirical " + threshold_name(t.id)});
                else if (t.id == "significant")
                    none.push_back("  empirical " + threshold_name(t.id) + ": no threshold from " +
                                   std::to_string(nreps) + (nreps == 1 ? " replicate" : " replicates") + " (" +
                                   std::to_string(MIN_REPLICATES_5) + " or more give one)\n");
                else
                    none.push_back("  empirical " + threshold_name(t.id) + ": no threshold (no replicate LOD above 0)\n");
            }
        for (const level& lv : levels) {
            out << "  LOD >= " << fixed(lv.lod, "%.3g") << " (" << lv.name << "):";
            bool any = false;
            for (const scan_chromosome& c : scan.chromosomes)
                for (const stretch& st : stretches_above(c.curves[m], lv.lod)) {
                    out << (any ? ", " : " ") << c.name << " ("
                        << (st.count == 1 ? g(st.from) : g(st.from) + " to " + g(st.to)) << " cM)";
                    any = true;
                }
            out << (any ? "\n" : " none\n");
        }
        for (const std::string& line : none)
            out << line;
    }
}

}  // namespace brell_plot
