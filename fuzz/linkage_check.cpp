#include "linkage_check.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

#include "brell.h"
#include "ibd_tool.h"
#include "inconsistent.h"
#include "readers.h"
#include "sim.h"
#include "writers.h"

namespace linkage_fuzz {

namespace {

namespace fs = std::filesystem;

// Caps that keep one run to milliseconds; past them the study is still read
// and written back, but not analysed.
constexpr std::size_t WORDS_CAP = 12;
constexpr std::size_t PERSONS_CAP = 400;
constexpr std::size_t MARKERS_CAP = 300;
constexpr double WORK_CAP = 4e5;  // inheritance vectors x positions, over the families analysed
constexpr int BITS_CAP = 14;
constexpr double POSITIONS_CAP = 20000;  // grid points of a chromosome

struct fuzz_case {
    std::string format;
    std::vector<std::string> words;
    std::map<std::string, std::string> files;  // by section
};

const std::map<std::string, std::vector<std::string>> SECTIONS = {{"linkage", {"ped", "dat", "map", "freq", "clusters"}},
                                                                 {"plink", {"ped", "map", "clusters"}},
                                                                 {"bed", {"bed", "bim", "fam", "clusters"}}};

std::vector<std::string> words_of(std::string_view line)
{
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        const std::size_t space = line.find(' ', i);
        const std::size_t end = space == std::string_view::npos ? line.size() : space;
        if (end > i)
            out.emplace_back(line.substr(i, end - i));
        i = end + 1;
    }
    return out;
}

// False for inputs that are not a case at all.
bool parse(std::string_view input, fuzz_case& c)
{
    std::size_t nl = input.find('\n');
    c.words = words_of(input.substr(0, nl));
    if (c.words.empty() || !SECTIONS.count(c.words.front()) || c.words.size() > WORDS_CAP)
        return false;
    c.format = c.words.front();
    c.words.erase(c.words.begin());
    const std::vector<std::string>& allowed = SECTIONS.at(c.format);
    std::string* into = nullptr;
    while (nl != std::string_view::npos) {
        const std::size_t start = nl + 1;
        nl = input.find('\n', start);
        const std::string_view line =
            input.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start + 1);
        if (line.starts_with("==")) {
            std::string name(line.substr(2));
            while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
                name.pop_back();
            if (std::find(allowed.begin(), allowed.end(), name) == allowed.end())
                return false;
            into = &c.files[name];
            continue;
        }
        if (into)
            into->append(line);
    }
    // Only brell-ibd's analysis options: the files and the folder are the harness's.
    static const std::set<std::string> value = {"--step",     "--score", "--freq",        "--weights",
                                                "--max-bits", "--ld-r2", "--ld-distance", "--max-haplotypes"};
    for (std::size_t i = 0; i < c.words.size(); ++i) {
        const std::string& w = c.words[i];
        const std::string name = w.substr(0, w.find('='));
        if (value.count(w))
            ++i;
        else if (!(value.count(name) && name != w) && w != "--drop-inconsistent")
            return false;
    }
    return true;
}

template <class... T>
std::string cat(const T&... parts)
{
    std::string out;
    (out += ... += parts);
    return out;
}

std::string slurp(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Lines as the readers number them: a last line without its '\n' counts.
long lines_of(const std::string& text)
{
    return static_cast<long>(std::count(text.begin(), text.end(), '\n') + (!text.empty() && text.back() != '\n'));
}

std::vector<std::string_view> split(std::string_view text, char sep)
{
    std::vector<std::string_view> out;
    std::size_t i = 0;
    for (;;) {
        const std::size_t j = text.find(sep, i);
        out.push_back(text.substr(i, j == std::string_view::npos ? std::string_view::npos : j - i));
        if (j == std::string_view::npos)
            return out;
        i = j + 1;
    }
}

bool number(std::string_view text, double& v)
{
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

bool shortest_text(std::string_view text)
{
    double v;
    return number(text, v) && brell::shortest(v) == text;
}

// What a pedigree file of LINKAGE style reads as an allele.
bool linkage_allele(const std::string& a)
{
    static const std::set<std::string> missing = {"0", "x", "X", ".", "-", "N"};
    return !a.empty() && !missing.count(a) && a.find('/') == std::string::npos;
}

bool folder_name(const std::string& c)
{
    return c != "." && c != ".." && !c.empty() && std::all_of(c.begin(), c.end(), [](char x) {
               return (x >= 'a' && x <= 'z') || (x >= 'A' && x <= 'Z') || (x >= '0' && x <= '9') || x == '_' ||
                      x == '-' || x == '.';
           });
}

// ---- A study as every reader promises it ----------------------------------

std::string check_study(const linkage::study& s)
{
    for (const linkage::marker& mk : s.markers) {
        if (!folder_name(mk.chrom))
            return cat("chromosome '", mk.chrom, "' read, which cannot name a folder");
        if (mk.freq.size() != mk.alleles.size())
            return cat("marker ", mk.name, ": ", std::to_string(mk.freq.size()), " frequencies for ",
                       std::to_string(mk.alleles.size()), " alleles");
        double sum = 0;
        for (double f : mk.freq) {
            if (!(f >= 0 && f <= 1))
                return cat("marker ", mk.name, ": frequency ", brell::shortest(f));
            sum += f;
        }
        if (!mk.freq.empty() && std::fabs(sum - 1) > 1e-6)
            return cat("marker ", mk.name, ": frequencies sum to ", brell::shortest(sum));
        if (std::set<std::string>(mk.alleles.begin(), mk.alleles.end()).size() != mk.alleles.size())
            return cat("marker ", mk.name, ": an allele named twice");
    }
    std::set<std::string> families;
    for (const linkage::family& f : s.families) {
        if (!families.insert(f.id).second)
            return cat("family ", f.id, " twice");
        const std::size_t n = f.persons.size();
        if (f.geno.size() != n * s.markers.size())
            return cat("family ", f.id, ": genotypes for ", std::to_string(f.geno.size()), " places");
        std::set<std::string> ids;
        for (const linkage::person& p : f.persons) {
            if (!ids.insert(p.id).second)
                return cat("family ", f.id, ": person ", p.id, " twice");
            if ((p.father < 0) != (p.mother < 0) || p.father >= static_cast<int>(n) || p.mother >= static_cast<int>(n))
                return cat("family ", f.id, ": person ", p.id, ": parents ", std::to_string(p.father), " ",
                           std::to_string(p.mother));
            if (p.father >= 0 && (p.father == p.mother || f.persons[p.father].sex == linkage::sex::female ||
                                  f.persons[p.mother].sex == linkage::sex::male))
                return cat("family ", f.id, ": person ", p.id, ": parents of the wrong sex");
        }
        try {
            linkage::parents_first(f, "");
        } catch (const linkage::input_error&) {
            return cat("family ", f.id, ": someone is his own ancestor");
        }
        for (std::size_t m = 0; m < s.markers.size(); ++m)
            for (std::size_t i = 0; i < n; ++i) {
                const linkage::genotype g = f.at(m, i);
                if (g.a > g.b || (g.a == 0) != (g.b == 0) || g.b > s.markers[m].alleles.size())
                    return cat("family ", f.id, ": genotype ", std::to_string(g.a), "/", std::to_string(g.b),
                               " at marker ", s.markers[m].name);
            }
    }
    return "";
}

// The same study, but for the lines things were read from. Allele names the
// format could not hold come back renamed, each to a name of its own.
std::string differ(const linkage::study& back, const linkage::study& s, bool renamed)
{
    if (back.markers.size() != s.markers.size())
        return "a different number of markers";
    for (std::size_t m = 0; m < s.markers.size(); ++m) {
        const linkage::marker &a = back.markers[m], &b = s.markers[m];
        if (a.name != b.name || a.chrom != b.chrom || a.kind != b.kind || a.cm != b.cm)
            return cat("marker ", b.name, " came back as ", a.name, " on ", a.chrom, " at ", brell::shortest(a.cm));
        if (a.freq != b.freq)
            return cat("marker ", b.name, ": other frequencies");
        if (a.alleles.size() != b.alleles.size())
            return cat("marker ", b.name, ": other alleles");
        for (std::size_t k = 0; k < a.alleles.size(); ++k)
            if (renamed && !linkage_allele(b.alleles[k]) ? !linkage_allele(a.alleles[k])
                                                         : a.alleles[k] != b.alleles[k])
                return cat("marker ", b.name, ": allele ", b.alleles[k], " came back as ", a.alleles[k]);
    }
    if (back.families.size() != s.families.size())
        return "a different number of families";
    for (std::size_t f = 0; f < s.families.size(); ++f) {
        const linkage::family &a = back.families[f], &b = s.families[f];
        if (a.id != b.id || a.persons.size() != b.persons.size())
            return cat("family ", b.id, " came back as ", a.id);
        for (std::size_t i = 0; i < a.persons.size(); ++i) {
            const linkage::person &x = a.persons[i], &y = b.persons[i];
            if (x.id != y.id || x.father != y.father || x.mother != y.mother || x.sex != y.sex ||
                x.affection != y.affection)
                return cat("family ", b.id, ": person ", y.id, " came back otherwise");
        }
        for (std::size_t g = 0; g < a.geno.size(); ++g)
            if (a.geno[g].a != b.geno[g].a || a.geno[g].b != b.geno[g].b)
                return cat("family ", b.id, ": a genotype came back otherwise");
    }
    return "";
}

// ---- brell-ibd's folders --------------------------------------------------

std::vector<std::string_view> lines(const std::string& text)
{
    std::vector<std::string_view> out = split(text, '\n');
    if (!out.empty() && out.back().empty())
        out.pop_back();
    return out;
}

std::string check_chromosome(const fs::path& dir, const linkage::study& s, const linkage::chromosome& c,
                             const ibd::options& o)
{
    std::set<std::string> want = {"nullprobs.dat", "probs.dat", "markers.tsv"};
    if (o.pair_weights)
        want.insert("weights.dat");
    std::set<std::string> have;
    for (const fs::directory_entry& e : fs::directory_iterator(dir))
        have.insert(e.path().filename().string());
    if (have != want)
        return cat(dir.string(), " holds other files than brell's input");

    // markers.tsv: positions and the markers at them.
    const std::string tsv = slurp(dir / "markers.tsv");
    const std::vector<std::string_view> rows = lines(tsv);
    if (rows.empty() || rows[0] != "position\tmarker\tinformation")
        return "markers.tsv: no header";
    std::vector<std::string_view> pos_text;
    std::vector<double> pos;
    std::string names, want_names;
    bool prev_marker = false;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const std::vector<std::string_view> f = split(rows[r], '\t');
        double x, info;
        if (f.size() != 3 || !number(f[0], x) || !number(f[2], info))
            return cat("markers.tsv line ", std::to_string(r + 1), ": not three fields");
        if (!shortest_text(f[0]))
            return cat("markers.tsv: position ", std::string(f[0]), " is not its shortest decimal");
        if (!(info >= 0 && info <= 1))
            return cat("markers.tsv: information ", std::string(f[2]), " outside [0, 1]");
        const bool marker = !f[1].empty();
        if (!pos.empty() && !(x > pos.back()))
            return cat("markers.tsv: position ", std::string(f[0]), " after ", std::string(pos_text.back()));
        if (!pos.empty() && (marker || prev_marker) && !(x - pos.back() > linkage::same_position_cm))
            return cat("markers.tsv: positions ", std::string(pos_text.back()), " and ", std::string(f[0]),
                       " within 1e-9 cM, one a marker's");
        if (marker)
            names += (names.empty() ? "" : ",") + std::string(f[1]);
        prev_marker = marker;
        pos.push_back(x);
        pos_text.push_back(f[0]);
    }
    for (int m : c.markers)
        want_names += (want_names.empty() ? "" : ",") + s.markers[m].name;
    if (names != want_names)
        return cat("markers.tsv names the markers ", names, ", not ", want_names);

    // nullprobs.dat: each family's outcomes, ascending, summing to 1.
    const std::string null = slurp(dir / "nullprobs.dat");
    struct kin {
        std::string_view id;
        std::vector<std::string_view> score;
    };
    std::vector<kin> kins;
    double sum = 0, last = 0;
    auto close = [&]() { return kins.empty() || std::fabs(sum - 1) <= 1e-12; };
    for (std::string_view row : lines(null)) {
        const std::vector<std::string_view> f = split(row, ' ');
        double p, score;
        if (f.size() != 3 || !number(f[1], p) || !number(f[2], score) || !(p > 0 && p <= 1) || !std::isfinite(score))
            return cat("nullprobs.dat: row '", std::string(row), "'");
        if (kins.empty() || kins.back().id != f[0]) {
            if (!close())
                return cat("nullprobs.dat: family ", std::string(kins.back().id), " sums to ", brell::shortest(sum));
            kins.push_back({f[0], {}});
            sum = 0;
        } else if (!(score > last)) {
            return cat("nullprobs.dat: family ", std::string(f[0]), ": scores not ascending");
        }
        kins.back().score.push_back(f[2]);
        sum += p;
        last = score;
    }
    if (!close() || kins.empty())
        return "nullprobs.dat: no family, or the last one's probabilities do not sum to 1";

    // probs.dat: family by family, position by position, every outcome once.
    const std::string probs = slurp(dir / "probs.dat");
    const std::vector<std::string_view> prow = lines(probs);
    std::size_t r = 0;
    for (const kin& k : kins)
        for (std::string_view x : pos_text) {
            double total = 0;
            for (std::string_view score : k.score) {
                if (r >= prow.size())
                    return "probs.dat: rows missing";
                const std::vector<std::string_view> f = split(prow[r++], ' ');
                double p;
                if (f.size() != 4 || f[0] != k.id || f[1] != x || f[2] != score || !number(f[3], p) ||
                    !(p >= 0 && p <= 1))
                    return cat("probs.dat line ", std::to_string(r), ": not ", std::string(k.id), " ",
                               std::string(x), " ", std::string(score));
                total += p;
            }
            if (std::fabs(total - 1) > 1e-9)
                return cat("probs.dat: family ", std::string(k.id), " at ", std::string(x), " sums to ",
                           brell::shortest(total));
        }
    if (r != prow.size())
        return "probs.dat: rows left over";

    // brell reads the folder as it stands.
    char* text = nullptr;
    std::size_t size = 0;
    FILE* log = open_memstream(&text, &size);
    brell::run_data dat;
    dat.dir = dir.string();
    dat.out = log;
    const char* argv[] = {"brell", "LIN"};
    const int status = brell::run_brell(2, argv, dat);
    std::fclose(log);
    const std::string said(text, size);
    std::free(text);
    fs::remove(dir / brell::RESULTS_FILE);
    if (status != 0 || dat.npos != static_cast<int>(pos.size()))
        return cat("brell LIN in ", dir.string(), ": status ", std::to_string(status), ": ", said);
    return "";
}

// A Mendelian inconsistency at the line of the person it names, at a marker
// or a cluster (its markers' names joined).
std::string check_inconsistencies(const std::string& what, const linkage::study& s,
                                  const std::set<std::string>& clusters)
{
    const std::string head = "Mendelian inconsistencies (--drop-inconsistent treats them as missing):\n";
    if (!what.starts_with(head))
        return cat("brell-ibd failed: ", what);
    std::map<long, std::pair<const linkage::family*, const linkage::person*>> at;
    for (const linkage::family& f : s.families)
        for (const linkage::person& p : f.persons)
            at[p.line] = {&f, &p};
    std::set<std::string> markers;
    for (const linkage::marker& mk : s.markers)
        markers.insert(linkage::visible(mk.name));
    const std::string lead = cat("brell-ibd: ", linkage::visible(s.pedigree_file), " line ");
    const std::string tail = ": Mendelian inconsistency";
    for (std::string_view l : split(std::string_view(what).substr(head.size()), '\n')) {
        long line = 0;
        const auto [end, ec] = std::from_chars(l.data() + std::min(l.size(), lead.size()), l.data() + l.size(), line);
        const auto it = at.find(line);
        if (!l.starts_with(lead) || ec != std::errc() || !l.ends_with(tail) || it == at.end())
            return cat("brell-ibd: inconsistency not at a person's line: ", std::string(l));
        const std::string who = cat(": family ", linkage::visible(it->second.first->id), " person ",
                                    linkage::visible(it->second.second->id), ": marker");
        const std::string_view rest(end, static_cast<std::size_t>(l.data() + l.size() - end));
        // A marker, or a cluster's markers.
        const bool several = rest.starts_with(who + "s ");
        const std::size_t from = who.size() + 1 + several;
        const bool named = rest.starts_with(who + (several ? "s " : " ")) && rest.size() >= from + tail.size() &&
                           (several ? clusters : markers)
                               .count(std::string(rest.substr(from, rest.size() - from - tail.size())));
        if (!named)
            return cat("brell-ibd: inconsistency names another person than its line's: ", std::string(l));
    }
    return "";
}

// The clusters brell-ibd analyses with, each by its markers' names joined.
std::set<std::string> cluster_names(const linkage::study& s, const ibd::options& o)
{
    std::set<std::string> out;
    if (o.clusters.empty() && !o.ld_r2)
        return out;
    for (const linkage::cluster& c : linkage::analysis_clusters(s, o.clusters, o.ld_r2, o.ld, o.max_bits, 1).list) {
        std::string names;
        for (int m : c.markers)
            names += (names.empty() ? "" : ",") + linkage::visible(s.markers[m].name);
        if (c.size() > 1)
            out.insert(names);
    }
    return out;
}

// Inheritance vectors times positions that brell-ibd would go through, or
// -1 when the positions themselves are refused.
double ibd_work(const linkage::study& s, const ibd::options& o)
{
    double positions = 0;
    for (const linkage::chromosome& c : linkage::chromosomes(s)) {
        if (c.kind != linkage::chrom_kind::autosome)
            continue;
        // A grid of millions of positions is legitimate work, not a fault;
        // beyond the limit it is refused before anything is allocated.
        std::vector<double> cms = linkage::marker_positions(s, c);
        const double grid = o.step > 0 ? (cms.back() - cms.front()) / o.step : 0;
        const double places = static_cast<double>(std::unique(cms.begin(), cms.end()) - cms.begin());
        if (grid > POSITIONS_CAP && grid + places <= linkage::max_positions)
            return WORK_CAP + 1;
        try {
            positions += static_cast<double>(linkage::positions(s, c, o.step).size());
        } catch (const std::length_error&) {
            return -1;
        }
    }
    double work = 0;
    for (const linkage::family& f : s.families) {
        const linkage::kindred_size k = linkage::measure(f);
        if (k.affected >= 2 && k.bits <= o.max_bits)
            work += std::ldexp(positions + 1, k.bits);
    }
    return work;
}

}  // namespace

harness::harness()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string t = std::string(tmp && *tmp ? tmp : "/tmp") + "/brell-linkage-fuzz-XXXXXX";
    if (!::mkdtemp(t.data()))
        throw std::runtime_error("linkage_fuzz: cannot make a scratch folder");
    dir_ = t;
}

harness::~harness()
{
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

verdict harness::run(std::string_view input)
{
    verdict v;
    fuzz_case c;
    if (!parse(input, c)) {
        v.skipped = true;
        return v;
    }
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(dir_))
        fs::remove_all(e.path(), ec);
    const fs::path dir(dir_);

    // The files, and brell-ibd's command line for them.
    const std::string stem = c.format == "linkage" ? "s" : c.format == "plink" ? "p" : "b";
    std::vector<std::string> args = {"brell-ibd"};
    std::set<std::string> inputs;
    for (const auto& [section, text] : c.files) {
        const std::string path = (dir / (stem + "." + section)).string();
        std::ofstream(path, std::ios::binary) << text;
        inputs.insert(path);
        if (section == "clusters")
            args.insert(args.end(), {"--clusters", path});
        else if (c.format == "linkage")
            args.insert(args.end(), {section == "ped" ? "-p" : section == "dat" ? "-d" : section == "map" ? "-m" : "-f",
                                     path});
    }
    if (c.format == "linkage") {
        for (const char* need : {"ped", "dat", "map"})
            if (!c.files.count(need))
                args.insert(args.end(), {std::string("-") + need[0], (dir / (stem + "." + need)).string()});
    } else {
        args.insert(args.end(), {c.format == "bed" ? "--bfile" : "--file", (dir / stem).string()});
    }
    const std::string out = (dir / "out").string();
    args.insert(args.end(), {"-o", out, "--threads", "1", "--quiet"});
    args.insert(args.end(), c.words.begin(), c.words.end());
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    ibd::options o;
    try {
        o = ibd::parse_options(static_cast<int>(argv.size()), argv.data());
    } catch (const ibd::usage_error&) {
        v.skipped = true;
        return v;
    }
    o.max_bits = std::min(o.max_bits, BITS_CAP);

    // Reading: a study as promised, or one message at a line the file has.
    linkage::study s;
    try {
        s = ibd::read_study(o);
    } catch (const linkage::input_error& e) {
        const std::string what = e.what();
        if (!inputs.count(e.file) && !(e.line == 0 && e.reason.starts_with("cannot open")))
            v.violation = cat("a refusal names ", e.file, ", not an input file: ", what);
        else if (e.line < 0 || (inputs.count(e.file) && e.line > lines_of(c.files[e.file.substr(e.file.rfind('.') + 1)])))
            v.violation = cat("a refusal at a line the file has not: ", what);
        else if (what.find('\0') != std::string::npos ||
                 what != linkage::visible(e.line ? cat(e.file, " line ", std::to_string(e.line), ": ", e.reason)
                                                : cat(e.file, ": ", e.reason)))
            v.violation = cat("a refusal not as FILE line N: REASON: ", linkage::visible(what));
        return v;
    } catch (const std::exception& e) {
        v.violation = cat("reading ended in ", e.what());
        return v;
    }
    if (std::string bad = check_study(s); !bad.empty()) {
        v.violation = "read: " + bad;
        return v;
    }

    // brell-ibd on studies small enough: its folders, or one of its messages and nothing left.
    std::size_t persons = 0;
    for (const linkage::family& f : s.families)
        persons += f.persons.size();
    const double work = persons <= PERSONS_CAP && s.markers.size() <= MARKERS_CAP ? ibd_work(s, o) : WORK_CAP + 1;
    if (work <= WORK_CAP) {
        char* text = nullptr;
        std::size_t size = 0;
        FILE* log = open_memstream(&text, &size);
        std::string failed;
        try {
            const ibd::summary sum = ibd::run_ibd(o, s, log);
            std::set<std::string> dirs;
            for (const fs::directory_entry& e : fs::directory_iterator(out))
                dirs.insert(e.path().filename().string());
            std::set<std::string> want;
            for (const ibd::chromosome_done& done : sum.chromosomes)
                want.insert("chr" + done.name);
            if (dirs != want)
                v.violation = "brell-ibd wrote other folders than one per chromosome analysed";
            for (const linkage::chromosome& ch : linkage::chromosomes(s))
                if (v.violation.empty() && want.count("chr" + ch.name))
                    v.violation = check_chromosome(fs::path(out) / ("chr" + ch.name), s, ch, o);
        } catch (const ibd::error& e) {
            failed = e.what();
            if (!failed.starts_with("no family left") && !failed.starts_with("no autosomal marker"))
                v.violation = check_inconsistencies(failed, s, cluster_names(s, o));
        } catch (const linkage::input_error& e) {
            // Only the cluster file is read there, at one of its lines.
            failed = e.what();
            const auto it = c.files.find("clusters");
            if (it == c.files.end() || !inputs.count(e.file) || !e.file.ends_with(".clusters") || e.line < 1 ||
                e.line > lines_of(it->second) ||
                failed != linkage::visible(cat(e.file, " line ", std::to_string(e.line), ": ", e.reason)))
                v.violation = cat("brell-ibd refused not as CLUSTERS line N: REASON: ", linkage::visible(failed));
        } catch (const std::length_error& e) {
            failed = e.what();
            if (work >= 0 || !failed.starts_with("chromosome "))
                v.violation = cat("brell-ibd ended in ", failed);
        } catch (const std::exception& e) {
            v.violation = cat("brell-ibd ended in ", e.what());
        }
        std::fclose(log);
        const std::string said(text, size);
        std::free(text);
        for (std::string_view l : lines(said))
            if (v.violation.empty() && !l.starts_with("brell-ibd: "))
                v.violation = cat("brell-ibd said '", std::string(l), "'");
        if (v.violation.empty() && !failed.empty() && fs::exists(out))
            v.violation = cat("brell-ibd failed (", failed, ") and left ", out);
        if (!v.violation.empty())
            return v;
    }
    // Nothing but the inputs and the results.
    for (const fs::directory_entry& e : fs::directory_iterator(dir))
        if (!inputs.count(e.path().string()) && e.path().string() != out) {
            v.violation = cat("left behind: ", e.path().string());
            return v;
        }
    fs::remove_all(out, ec);

    // Written back: the study as LINKAGE files (what replicates are), and in
    // its own PLINK format; and a null replicate of it.
    const fs::path back = dir / "back";
    fs::create_directory(back, ec);
    const auto file = [&](const char* name) { return (back / name).string(); };
    const linkage::linkage_files files{file("r.ped"), file("r.dat"), file("r.map"), file("r.freq")};
    auto linkage_round = [&](const linkage::study& st, const char* what) {
        try {
            linkage::write_linkage(st, files.ped, files.dat, files.map, files.freq);
        } catch (const linkage::write_error& e) {
            bool parent = false;
            for (const linkage::family& f : st.families)
                for (const linkage::person& p : f.persons)
                    for (int q : {p.father, p.mother})
                        parent = parent || (q >= 0 && (f.persons[q].id == "0" || f.persons[q].id == "." ||
                                                       f.persons[q].id == "x"));
            return parent ? std::string() : cat(what, " refused: ", e.what());
        }
        try {
            const std::string d = differ(linkage::read_study(linkage::study_format::linkage, files, "", o.freq), st, true);
            return d.empty() ? d : cat(what, " as LINKAGE files: ", d);
        } catch (const std::exception& e) {
            return cat(what, " as LINKAGE files: ", e.what());
        }
    };
    v.violation = linkage_round(s, "the study");
    // PLINK files hold two alleles a marker (a .ped may show more).
    const bool biallelic = std::all_of(s.markers.begin(), s.markers.end(),
                                       [](const linkage::marker& mk) { return mk.alleles.size() <= 2; });
    if (v.violation.empty() && c.format != "linkage" && biallelic) {
        const bool binary = c.format == "bed";
        try {
            binary ? linkage::write_plink_binary(s, file("w")) : linkage::write_plink_text(s, file("w"));
            const std::string d = differ(
                linkage::read_study(binary ? linkage::study_format::plink_binary : linkage::study_format::plink_text, {},
                                    file("w"), o.freq),
                s, false);
            if (!d.empty())
                v.violation = cat("the study in its own format: ", d);
        } catch (const std::exception& e) {
            v.violation = cat("the study in its own format: ", e.what());
        }
    }
    if (v.violation.empty())
        v.violation = linkage_round(sim::drop_replicate(s, 1, 1), "a replicate");
    fs::remove_all(back, ec);
    return v;
}

}  // namespace linkage_fuzz
