#include <algorithm>
#include <functional>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <numeric>
#include <sstream>

#include "brell.h"
#include "scan_tool.h"

namespace scan {

namespace {

const double NEG_INF = -std::numeric_limits<double>::infinity();

std::string number(double v)
{
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v < 0 ? "-Inf" : "Inf";
    return brell::shortest(v);
}

double parse(const std::string& t, const std::string& name, long line)
{
    if (t == "NaN")
        return std::numeric_limits<double>::quiet_NaN();
    if (t == "Inf" || t == "-Inf")
        return t[0] == '-' ? NEG_INF : -NEG_INF;
    double v = 0.0;
    auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size())
        throw ibd::error(name + " line " + std::to_string(line) + ": '" + t + "' is not a number");
    return v;
}

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> f;
    std::size_t from = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', from);
        f.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
        if (tab == std::string::npos)
            return f;
        from = tab + 1;
    }
}

}  // namespace

// Superlevel sets of the curve, highest position first: a position joins
// its neighbours' excursions, and where two meet, the lower-peaked one ends
// at the current height.
std::vector<std::pair<double, double>> excursions(const std::vector<double>& lod)
{
    const std::size_t n = lod.size();
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isnan(lod[i]))
            order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return lod[a] > lod[b]; });
    std::vector<std::size_t> parent(n, n);  // n: not yet reached
    std::vector<double> peak(n, NEG_INF);
    auto root = [&](std::size_t i) {
        while (parent[i] != i)
            i = parent[i] = parent[parent[i]];
        return i;
    };
    std::vector<std::pair<double, double>> out;
    for (std::size_t i : order) {
        parent[i] = i;
        peak[i] = lod[i];
        for (std::size_t j : {i - 1, i + 1}) {
            if (j >= n || parent[j] == n)
                continue;
            std::size_t a = root(i), b = root(j);
            if (a == b)
                continue;
            if (peak[a] < peak[b])
                std::swap(a, b);
            out.push_back({peak[b], lod[i]});  // b's excursion ends here
            parent[b] = a;
        }
    }
    for (std::size_t i : order)
        if (root(i) == i)
            out.push_back({peak[i], NEG_INF});
    // Only excursions above 0 can matter to a threshold.
    std::erase_if(out, [](const auto& e) { return !(e.first > 0.0); });
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    return out;
}

replicate_result summarise_replicate(const brell_plot::genome_scan& g)
{
    replicate_result r;
    r.models.resize(g.models.size());
    for (std::size_t m = 0; m < g.models.size(); ++m) {
        replicate_model& rm = r.models[m];
        for (const brell_plot::scan_chromosome& c : g.chromosomes) {
            std::vector<double> lod;
            for (const brell_plot::result_row& row : c.curves[m]) {
                lod.push_back(row.lod);
                // An infinite LOD is kept, to be refused: it is no maximum.
                if (!std::isnan(row.lod) && (std::isnan(rm.max_lod) || row.lod > rm.max_lod)) {
                    rm.max_lod = row.lod;
                    rm.chromosome = c.name;
                    rm.pos = row.pos;
                }
            }
            for (const auto& e : excursions(lod))
                rm.excursions.push_back(e);
        }
    }
    return r;
}

void check_finite(const options& o, const replicate_result& r, const std::string& name)
{
    for (std::size_t m = 0; m < o.models.size(); ++m) {
        const double v = r.models[m].max_lod;
        if (std::isnan(v))
            throw ibd::error(name + ": no finite LOD under " + o.models[m] +
                             " (a replicate without one cannot count as a scan)");
        if (std::isinf(v))
            throw ibd::error(name + ": its " + o.models[m] + " maximum LOD is " + number(v));
        for (const auto& [peak, end] : r.models[m].excursions)
            if (std::isnan(peak) || std::isinf(peak) || std::isnan(end) || end == -NEG_INF)
                throw ibd::error(name + ": an " + o.models[m] + " excursion is not finite");
    }
}

// "MODEL max LOD CHROMOSOME POSITION", then "MODEL excursion PEAK END" lines.
std::string replicate_text(const options& o, const replicate_result& r)
{
    std::string out;
    for (std::size_t m = 0; m < o.models.size(); ++m) {
        const replicate_model& rm = r.models[m];
        out += o.models[m] + "\tmax\t" + number(rm.max_lod) + '\t' + rm.chromosome + '\t' + number(rm.pos) + '\n';
        for (const auto& [peak, end] : rm.excursions)
            out += o.models[m] + "\texcursion\t" + number(peak) + '\t' + number(end) + '\n';
    }
    return out;
}

replicate_result parse_replicate(const options& o, const std::string& text, const std::string& name)
{
    replicate_result r;
    r.models.resize(o.models.size());
    std::vector<bool> seen(o.models.size(), false);
    std::istringstream in(text);
    std::string line;
    long n = 0;
    while (std::getline(in, line)) {
        ++n;
        const std::vector<std::string> f = fields(line);
        // The header: read_result's to check.
        if (f[0].empty() || f[0][0] == '#' || f[0] == "setting" || f[0] == "replicate" || f[0] == "study")
            continue;
        const auto m = std::find(o.models.begin(), o.models.end(), f[0]) - o.models.begin();
        if (static_cast<std::size_t>(m) == o.models.size())
            throw ibd::error(name + " line " + std::to_string(n) + ": model '" + f[0] +
                             "' is not among this scan's (was the replicate scanned with other options?)");
        replicate_model& rm = r.models[m];
        if (f.size() == 5 && f[1] == "max") {
            rm.max_lod = parse(f[2], name, n);
            rm.chromosome = f[3];
            rm.pos = parse(f[4], name, n);
            seen[m] = true;
        } else if (f.size() == 4 && f[1] == "excursion") {
            rm.excursions.push_back({parse(f[2], name, n), parse(f[3], name, n)});
        } else {
            throw ibd::error(name + " line " + std::to_string(n) + ": not a replicate result line");
        }
    }
    for (std::size_t m = 0; m < o.models.size(); ++m)
        if (!seen[m])
            throw ibd::error(name + ": no result for model " + o.models[m] +
                             " (was the replicate scanned with other options?)");
    return r;
}

std::size_t rank_of_5(std::size_t n)
{
    // ceil(0.95 (n + 1)) in integers: 0.95 has no exact double.
    const std::size_t k = (95 * (n + 1) + 99) / 100;
    return k <= n ? k : 0;
}

brell_plot::significance significance_of(const options& o, const brell_plot::genome_scan& observed,
                                         const std::vector<std::string>& ids,
                                         const std::vector<replicate_result>& reps)
{
    brell_plot::significance sig;
    sig.name = "significance.tsv";
    const double n = static_cast<double>(reps.size());
    for (std::size_t m = 0; m < o.models.size(); ++m) {
        const std::string& model = o.models[m];
        std::vector<double> maxima;
        std::vector<std::pair<double, double>> all;
        for (std::size_t r = 0; r < reps.size(); ++r) {
            const replicate_model& rm = reps[r].models[m];
            sig.replicates.push_back({model, ids[r], rm.chromosome, rm.pos, rm.max_lod});
            maxima.push_back(rm.max_lod);
            all.insert(all.end(), rm.excursions.begin(), rm.excursions.end());
        }
        // Suggestive: going down from the top, the last candidate height at
        // which the replicates' excursions above it still number at most one
        // a scan on average. Candidates are the excursions' peaks; at height
        // t, those that reach t and have not merged with a higher one by t
        // are the ones reaching t less the ones ending at or above it.
        std::vector<double> peaks, ends;
        for (const auto& [peak, end] : all) {
            peaks.push_back(peak);
            ends.push_back(end);
        }
        std::sort(peaks.begin(), peaks.end(), std::greater<>());
        std::sort(ends.begin(), ends.end(), std::greater<>());
        double suggestive = std::numeric_limits<double>::quiet_NaN();
        std::size_t ended = 0;
        for (std::size_t i = 0; i < peaks.size(); ++i) {
            const double t = peaks[i];
            if (i + 1 < peaks.size() && peaks[i + 1] == t)
                continue;
            while (ended < ends.size() && ends[ended] >= t)
                ++ended;
            if (static_cast<double>(i + 1 - ended) / n > 1.0)
                break;
            suggestive = t;
        }
        // Significant: the study is one of N + 1 exchangeable scans, so a
        // maximum beyond the k-th of the replicates' has p(genome) <= 0.05
        // just when k >= 0.95 (N + 1); the k-th of N (as percentiles go) would
        // pass 9.5% of null studies at N = 20.
        std::sort(maxima.begin(), maxima.end());
        const std::size_t k = rank_of_5(maxima.size());
        const double significant = k ? maxima[k - 1] : std::numeric_limits<double>::quiet_NaN();
        sig.thresholds.push_back({model, "suggestive", suggestive});
        sig.thresholds.push_back({model, "significant", significant});
        // Each chromosome's observed best peak against the replicates'
        // genome-wide maxima.
        for (const brell_plot::scan_chromosome& c : observed.chromosomes) {
            const brell_plot::peak_info pk = brell_plot::find_peak(c.curves[m]);
            if (!pk.found)
                continue;
            const double reaching = static_cast<double>(
                maxima.end() - std::lower_bound(maxima.begin(), maxima.end(), pk.lod));
            sig.peaks.push_back({model, c.name, pk.pos, pk.lod, (1.0 + reaching) / (1.0 + n)});
        }
    }
    return sig;
}

std::string significance_table(const brell_plot::significance& sig)
{
    std::string out = "model\tkind\tid\tchromosome\tposition\tlod\tp\n";
    std::vector<std::string> models;
    for (const auto& t : sig.thresholds)
        if (std::find(models.begin(), models.end(), t.model) == models.end())
            models.push_back(t.model);
    for (const std::string& m : models) {
        for (const auto& r : sig.replicates)
            if (r.model == m)
                out += m + "\treplicate\t" + r.id + '\t' + r.chromosome + '\t' + number(r.pos) + '\t' +
                       number(r.lod) + "\t\n";
        for (const auto& t : sig.thresholds)
            if (t.model == m)
                out += m + "\tthreshold\t" + t.id + "\t\t\t" + number(t.lod) + "\t\n";
        for (const auto& p : sig.peaks)
            if (p.model == m)
                out += m + "\tpeak\t" + p.chromosome + '\t' + p.chromosome + '\t' + number(p.pos) + '\t' +
                       number(p.lod) + '\t' + number(p.p) + '\n';
    }
    return out;
}

}  // namespace scan
