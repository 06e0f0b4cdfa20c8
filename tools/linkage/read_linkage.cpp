#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <unordered_map>
#include <utility>

#include "read_common.h"
#include "readers.h"

namespace linkage {

namespace {

using namespace read;

struct sv_hash {
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
template <class T>
using by_name = std::unordered_map<std::string_view, T, sv_hash>;

// A column group of the pedigree file, as the data file lists it.
struct column {
    enum kind_t { affection, marker, skip } kind;
    long width;  // fields, for skip
};

struct data_file {
    std::vector<column> columns;
    std::vector<std::string> markers;
    std::vector<long> lines;  // of each marker
    long fields = 5;          // expected per pedigree row, a genotype counting two
};

// A field that starts with # starts a comment, but names are taken whole:
// a marker or allele may be called rs12#3, or even #3. (Numbers end at a #.)
bool comment(std::string_view field) { return field.front() == '#'; }

data_file read_data(const std::string& path)
{
    const std::string text = slurp(path);
    data_file d;
    by_name<long> seen;
    lines in(text);
    std::string_view line;
    while (in.next(line)) {
        fields f(line);
        std::string_view code, name;
        if (!f.next(code) || comment(code))
            continue;
        f.next(name);
        const char c = code.front();
        const std::string_view rest = code.substr(1);
        long width = 1;
        // A pedigree row cannot hold more columns than a long can count.
        if ((c == 'S' || c == 's') && !rest.empty() &&
            (!parse_count(rest, width) || width < 1 || width > std::numeric_limits<long>::max() / 2 - d.fields))
            throw input_error(path, in.number(), "cannot skip " + quote(rest) + " columns");
        if (rest.empty() && (c == 'E' || c == 'e'))
            break;
        if (rest.empty() && (c == 'A' || c == 'a')) {
            d.columns.push_back({column::affection, 1});
        } else if (rest.empty() && (c == 'M' || c == 'm')) {
            if (name.empty())
                throw input_error(path, in.number(), "marker without a name");
            const auto [it, added] = seen.try_emplace(name, in.number());
            if (!added)
                throw input_error(path, in.number(),
                                  "marker " + std::string(name) + " is listed twice (first on line " +
                                      std::to_string(it->second) + ")");
            d.columns.push_back({column::marker, 2});
            d.markers.emplace_back(name);
            d.lines.push_back(in.number());
        } else if (rest.empty() && (c == 'T' || c == 't' || c == 'C' || c == 'c')) {
            d.columns.push_back({column::skip, 1});
        } else if (c == 'S' || c == 's') {
            d.columns.push_back({column::skip, width});
        } else {
            throw input_error(path, in.number(), "unknown code " + quote(code) + " (expected A, M, T, C, S or E)");
        }
        d.fields += d.columns.back().width;
    }
    if (d.columns.empty())
        throw input_error(path, 0,
                          "empty: a data file lists the pedigree file's columns, A for the affection status and M "
                          "NAME for each marker");
    if (std::none_of(d.columns.begin(), d.columns.end(), [](const column& c) { return c.kind == column::affection; }))
        throw input_error(path, 0,
                          "no affection status column (a line A NAME): without it no one is affected, and only "
                          "affected relatives are analysed");
    return d;
}

struct map_entry {
    std::string_view chrom;
    double cm;
    long line;
};

by_name<map_entry> read_map(const std::string& path, const std::string& text)
{
    by_name<map_entry> map;
    lines in(text);
    std::string_view line;
    bool first = true;
    while (in.next(line)) {
        fields f(line);
        std::string_view chrom, name, pos;
        if (!f.next(chrom) || chrom.front() == '#')
            continue;
        if (std::exchange(first, false) && (iequals(chrom, "chr") || iequals(chrom, "chromosome")))
            continue;
        if (!f.next(name) || !f.next(pos))
            throw input_error(path, in.number(), "expected CHROMOSOME MARKER POSITION");
        double cm;
        if (!parse_number(pos, cm))
            throw input_error(path, in.number(),
                              "position " + quote(pos) + " of marker " + std::string(name) + " is not a number");
        const auto [it, added] = map.try_emplace(name, map_entry{chrom, cm, in.number()});
        if (!added)
            throw input_error(path, in.number(),
                              "marker " + std::string(name) + " is listed twice (first on line " +
                                  std::to_string(it->second.line) + ")");
    }
    if (map.empty())
        throw input_error(path, 0, empty_file("markers"));
    return map;
}

struct freq_entry {
    bool numbered = false;  // F lines: allele k is the name "k"
    std::vector<std::string> alleles;
    std::vector<double> freq;
    by_name<std::uint16_t> code;  // A lines
    long line = 0;
};

void check_sum(const std::string& path, std::string_view name, const freq_entry& e)
{
    if (e.freq.empty())
        throw input_error(path, e.line, "marker " + std::string(name) + " has no frequencies");
    double sum = 0.0;
    for (double f : e.freq)
        sum += f;
    if (std::fabs(sum - 1.0) > 1e-6) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.9g", sum);
        throw input_error(path, e.line, "frequencies of marker " + std::string(name) + " sum to " + buf + ", not 1");
    }
}

double frequency(const std::string& path, long line, std::string_view s)
{
    double v;
    if (!parse_number(s, v))
        throw input_error(path, line, "frequency " + quote(s) + " is not a number");
    if (v < 0)
        throw input_error(path, line, "frequency " + std::string(s) + " is negative");
    return v;
}

by_name<freq_entry> read_freq(const std::string& path, const std::string& text)
{
    by_name<freq_entry> out;
    lines in(text);
    std::string_view line, current;
    freq_entry* e = nullptr;
    while (in.next(line)) {
        fields f(line);
        std::string_view code, v;
        if (!f.next(code) || comment(code))
            continue;
        if (code == "M" || code == "m") {
            if (e)
                check_sum(path, current, *e);
            if (!f.next(current))
                throw input_error(path, in.number(), "marker without a name");
            const auto [it, added] = out.try_emplace(current);
            if (!added)
                throw input_error(path, in.number(),
                                  "marker " + std::string(current) + " is listed twice (first on line " +
                                      std::to_string(it->second.line) + ")");
            e = &it->second;
            e->line = in.number();
            continue;
        }
        const bool numbered = code == "F" || code == "f";
        if (!numbered && code != "A" && code != "a")
            throw input_error(path, in.number(), "unknown code " + quote(code) + " (expected M, F or A)");
        if (!e)
            throw input_error(path, in.number(), "frequencies before the first M line");
        if (!e->freq.empty() && e->numbered != numbered)
            throw input_error(path, in.number(), "marker " + std::string(current) + " mixes F and A lines");
        e->numbered = numbered;
        if (numbered) {
            // Numbers hold no #: one ends the list wherever it is.
            for (bool more = true; more && f.next(v);) {
                if (const std::size_t hash = v.find('#'); hash != std::string_view::npos) {
                    v = v.substr(0, hash);
                    more = false;
                    if (v.empty())
                        break;
                }
                e->freq.push_back(frequency(path, in.number(), v));
                e->alleles.push_back(std::to_string(e->freq.size()));
            }
        } else {
            std::string_view allele;
            if (!f.next(allele) || !f.next(v) || (v = v.substr(0, v.find('#'))).empty())
                throw input_error(path, in.number(), "expected A ALLELE FREQUENCY");
            if (!e->code.try_emplace(allele, static_cast<std::uint16_t>(e->freq.size() + 1)).second)
                throw input_error(path, in.number(),
                                  "allele " + std::string(allele) + " of marker " + std::string(current) +
                                      " is listed twice");
            e->freq.push_back(frequency(path, in.number(), v));
            e->alleles.emplace_back(allele);
        }
        if (e->freq.size() > max_alleles)
            throw input_error(path, in.number(), "marker " + std::string(current) + " has more than 65535 alleles");
    }
    if (e)
        check_sum(path, current, *e);
    else
        throw input_error(path, 0, empty_file("allele frequencies"));
    return out;
}

bool no_parent(std::string_view s) { return s == "0" || s == "." || s == "x"; }
bool missing_allele(std::string_view s)
{
    return s.size() == 1 && (s[0] == '0' || s[0] == 'x' || s[0] == 'X' || s[0] == '.' || s[0] == '-' || s[0] == 'N');
}

}  // namespace

study read_linkage(const linkage_files& files)
{
    const data_file dat = read_data(files.dat);
    const std::size_t nmark = dat.markers.size();

    study s;
    s.pedigree_file = files.ped;
    s.markers.resize(nmark);
    {
        const std::string text = slurp(files.map);
        const by_name<map_entry> map = read_map(files.map, text);
        for (std::size_t m = 0; m < nmark; ++m) {
            const auto it = map.find(dat.markers[m]);
            if (it == map.end())
                throw input_error(files.dat, dat.lines[m],
                                  "marker " + dat.markers[m] + " is not in the map file " + files.map);
            marker& mk = s.markers[m];
            mk.name = dat.markers[m];
            mk.cm = it->second.cm;
            mk.map_line = it->second.line;
            name_chromosome(it->second.chrom, false, mk);
            check_chromosome_name(files.map, mk);
        }
        if (map.size() > nmark) {
            std::vector<std::pair<long, std::string>> unused;
            by_name<bool> in_data;
            for (const std::string& m : dat.markers)
                in_data[m] = true;
            for (const auto& [name, e] : map)
                if (!in_data.count(name))
                    unused.emplace_back(e.line, std::string(name));
            std::sort(unused.begin(), unused.end());
            std::vector<std::string> names;
            for (const auto& u : unused)
                names.push_back(u.second);
            s.notes.push_back(files.map + ": " + std::to_string(names.size()) + " marker" +
                              (names.size() == 1 ? "" : "s") + " not in the data file " + files.dat + " (" +
                              some_names(names) + "): left out");
        }
    }

    std::string freq_text;
    by_name<freq_entry> freq;
    if (!files.freq.empty()) {
        freq_text = slurp(files.freq);
        freq = read_freq(files.freq, freq_text);
    }

    const std::string text = slurp(files.ped);
    const std::string& path = files.ped;
    std::vector<person_row> rows;
    std::vector<std::uint16_t> raw;  // row-major, two local codes per marker
    std::vector<allele_names> names(nmark);
    lines in(text);
    std::string_view line;
    long end_line = 0;
    while (in.next(line)) {
        fields f(line);
        if (f.at_end())
            continue;
        if (end_line)
            throw input_error(path, in.number(), "data after the end line " + std::to_string(end_line));
        person_row r;
        r.line = in.number();
        std::string_view sex_field;
        f.next(r.family);
        if (iequals(r.family, "end") && f.at_end()) {
            end_line = r.line;
            continue;
        }
        const std::string expect = " columns (expected " + std::to_string(dat.fields) + ")";
        if (!f.next(r.id) || !f.next(r.father) || !f.next(r.mother) || !f.next(sex_field))
            throw input_error(path, r.line, "too few" + expect);
        auto where = [&] { return "family " + std::string(r.family) + " person " + std::string(r.id) + ": "; };
        if (!parse_sex(sex_field, r.sex))
            throw input_error(path, r.line, where() + "sex " + quote(sex_field) + " is not 1, m, 2, f or 0");
        bool affection_set = false;
        std::size_t m = 0;
        for (const column& c : dat.columns) {
            std::string_view v, a, b;
            if (c.kind == column::marker) {
                bool bad;
                if (!f.genotype(a, b, bad))
                    throw input_error(path, r.line, where() + "too few" + expect);
                if (bad)
                    throw input_error(path, r.line,
                                      where() + "marker " + dat.markers[m] + ": malformed genotype " +
                                          quote(std::string(a) + "/" + std::string(b)));
                const bool ma = missing_allele(a), mb = missing_allele(b);
                if (ma != mb)
                    throw input_error(path, r.line,
                                      where() + "marker " + dat.markers[m] + ": genotype " + std::string(a) + "/" +
                                          std::string(b) + " has one allele missing");
                std::uint16_t ca = 0, cb = 0;
                if (!ma) {
                    ca = names[m].code(a);
                    cb = names[m].code(b);
                    if (!ca || !cb)
                        throw input_error(path, r.line,
                                          where() + "marker " + dat.markers[m] + " has more than 65535 alleles");
                }
                raw.push_back(ca);
                raw.push_back(cb);
                ++m;
                continue;
            }
            for (long k = 0; k < c.width; ++k)
                if (!f.next(v))
                    throw input_error(path, r.line, where() + "too few" + expect);
            if (c.kind == column::affection) {
                status st;
                if (!parse_affection(v, st))
                    throw input_error(path, r.line,
                                      where() + "affection status " + quote(v) + " is not 2, 1, 0, x, . or -9");
                // Only the first affection column is analysed; the others are checked all the same.
                if (!std::exchange(affection_set, true))
                    r.affection = st;
            }
        }
        if (!f.at_end())
            throw input_error(path, r.line, where() + "too many" + expect);
        rows.push_back(r);
    }

    if (rows.empty())
        throw input_error(path, 0, empty_file("persons"));
    std::vector<place> where;
    s.families = assemble(rows, path, no_parent, where);

    // Final allele codes: the frequency file's order, or natural order.
    std::vector<std::vector<std::uint16_t>> recode(nmark);
    for (std::size_t m = 0; m < nmark; ++m) {
        marker& mk = s.markers[m];
        const std::vector<std::string>& seen = names[m].names();
        const auto fe = freq.find(mk.name);
        if (fe == freq.end()) {
            mk.alleles = natural_order(seen, recode[m]);
            continue;
        }
        const freq_entry& e = fe->second;
        mk.alleles = e.alleles;
        mk.freq = e.freq;
        recode[m].assign(seen.size() + 1, 0);
        for (std::size_t k = 0; k < seen.size(); ++k) {
            long code = 0;
            if (e.numbered) {
                if (!parse_count(seen[k], code) || code < 1 || code > static_cast<long>(e.freq.size()))
                    code = 0;
            } else if (const auto it = e.code.find(seen[k]); it != e.code.end()) {
                code = it->second;
            }
            if (code) {
                recode[m][k + 1] = static_cast<std::uint16_t>(code);
                continue;
            }
            // The first row that shows the allele, for the message.
            std::size_t r = 0;
            while (raw[(r * nmark + m) * 2] != k + 1 && raw[(r * nmark + m) * 2 + 1] != k + 1)
                ++r;
            throw input_error(path, rows[r].line,
                              "family " + std::string(rows[r].family) + " person " + std::string(rows[r].id) +
                                  ": marker " + mk.name + ": allele " + seen[k] + " is not in the frequency file " +
                                  files.freq);
        }
    }

    store_genotypes(s.families, where, raw, recode);
    return s;
}

}  // namespace linkage
