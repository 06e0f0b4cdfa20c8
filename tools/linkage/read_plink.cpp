#include <algorithm>
#include <array>
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

marker variant_marker(const std::string& path, std::string_view chrom, std::string_view id, double cm, long line)
{
    marker mk;
    mk.name = std::string(id);
    mk.cm = cm;
    mk.map_line = line;
    name_chromosome(chrom, true, mk);
    check_chromosome_name(path, mk, "variant");
    return mk;
}

// The variants of a .map (4 columns) or .bim (6 columns: then `a1`, `a2`
// get the allele names).
std::vector<marker> read_variants(const std::string& path, const std::string& text, bool bim,
                                  std::vector<std::array<std::string_view, 2>>* a12)
{
    std::vector<marker> out;
    std::unordered_map<std::string_view, long, sv_hash> seen;
    lines in(text);
    std::string_view line;
    while (in.next(line)) {
        fields f(line);
        if (f.at_end())
            continue;
        std::string_view chrom, id, cm_field, bp, a1, a2;
        f.next(chrom);
        if (!f.next(id) || !f.next(cm_field) || !f.next(bp) || (bim && (!f.next(a1) || !f.next(a2))))
            throw input_error(path, in.number(),
                              bim ? "expected 6 columns: chromosome, identifier, cM, base-pair position, allele 1, "
                                    "allele 2"
                                  : "expected 4 columns: chromosome, identifier, cM, base-pair position");
        double cm;
        if (!parse_number(cm_field, cm))
            throw input_error(path, in.number(),
                              "position " + quote(cm_field) + " of variant " + std::string(id) + " is not a number");
        const auto [it, added] = seen.try_emplace(id, in.number());
        if (!added)
            throw input_error(path, in.number(),
                              "variant " + std::string(id) + " is listed twice (first on line " +
                                  std::to_string(it->second) + ")");
        if (bim) {
            if (a1 == a2 && a1 != "0")
                throw input_error(path, in.number(),
                                  "variant " + std::string(id) + ": both alleles are " + std::string(a1));
            a12->push_back({a1, a2});
        }
        out.push_back(variant_marker(path, chrom, id, cm, in.number()));
    }

    if (out.empty())
        throw input_error(path, 0, empty_file("variants"));
    // PLINK writes 0 cM when it has no genetic map; positions in base pairs
    // are no substitute. A lone marker's position only labels it.
    std::unordered_map<std::string_view, std::pair<int, bool>, sv_hash> chroms;  // count, some cM not 0
    for (const marker& mk : out) {
        auto& [count, placed] = chroms[mk.chrom];
        ++count;
        placed = placed || mk.cm != 0.0;
    }
    for (const marker& mk : out) {
        const auto& [count, placed] = chroms[mk.chrom];
        if (mk.kind != chrom_kind::excluded && count > 1 && !placed) {
            const std::string prefix = path.substr(0, path.size() - 4);  // less .bim or .map
            throw input_error(path, mk.map_line,
                              "chromosome " + mk.chrom + ": every cM position is 0; a genetic map is needed: PLINK "
                              "adds one, e.g. plink1.9 " + (bim ? "--bfile " : "--file ") + prefix +
                                  " --cm-map genetic_map_chr@.txt " + (bim ? "--make-bed" : "--recode") +
                                  " --out " + prefix + "-cm");
        }
    }
    return out;
}

bool no_parent(std::string_view s) { return s == "0"; }

long count_fields(std::string_view line)
{
    fields f(line);
    std::string_view v;
    long n = 0;
    while (f.next(v))
        ++n;
    return n;
}

// The six columns that .fam and .ped share.
person_row person_columns(const std::string& path, long line_no, std::string_view line, fields& f, long expect)
{
    person_row r;
    r.line = line_no;
    std::string_view sex_field, pheno;
    if (!f.next(r.family) || !f.next(r.id) || !f.next(r.father) || !f.next(r.mother) || !f.next(sex_field) ||
        !f.next(pheno))
        throw input_error(path, line_no,
                          std::to_string(count_fields(line)) + " columns, expected " + std::to_string(expect));
    const std::string where = "family " + std::string(r.family) + " person " + std::string(r.id) + ": ";
    if (!parse_sex(sex_field, r.sex))
        throw input_error(path, line_no, where + "sex " + quote(sex_field) + " is not 1, 2 or 0");
    if (pheno == "2")
        r.affection = status::affected;
    else if (pheno == "1")
        r.affection = status::unaffected;
    else if (pheno != "0" && pheno != "-9")
        throw input_error(path, line_no,
                          where + "phenotype " + quote(pheno) +
                              " is not an affection status (2, 1, 0 or -9); quantitative phenotypes are not read");
    return r;
}

}  // namespace

study read_plink_text(const std::string& prefix)
{
    study s;
    const std::string map_path = prefix + ".map";
    const std::string path = prefix + ".ped";
    s.pedigree_file = path;
    {
        const std::string map_text = slurp(map_path);
        s.markers = read_variants(map_path, map_text, false, nullptr);
    }
    const std::size_t nmark = s.markers.size();
    const long expect = 6 + 2 * static_cast<long>(nmark);

    const std::string text = slurp(path);
    std::vector<person_row> rows;
    std::vector<std::uint16_t> raw;  // row-major, two local codes per variant
    std::vector<allele_names> names(nmark);
    lines in(text);
    std::string_view line;
    while (in.next(line)) {
        fields f(line);
        if (f.at_end())
            continue;
        person_row r = person_columns(path, in.number(), line, f, expect);
        for (std::size_t m = 0; m < nmark; ++m) {
            std::string_view a, b;
            if (!f.next(a) || !f.next(b))
                throw input_error(path, r.line,
                                  "family " + std::string(r.family) + " person " + std::string(r.id) + ": " +
                                      std::to_string(count_fields(line)) + " columns, expected " +
                                      std::to_string(expect));
            if ((a == "0") != (b == "0"))
                throw input_error(path, r.line,
                                  "family " + std::string(r.family) + " person " + std::string(r.id) + ": variant " +
                                      s.markers[m].name + ": genotype " + std::string(a) + " " + std::string(b) +
                                      " has one allele missing");
            std::uint16_t ca = 0, cb = 0;
            if (a != "0") {
                ca = names[m].code(a);
                cb = names[m].code(b);
                if (!ca || !cb)
                    throw input_error(path, r.line, "variant " + s.markers[m].name + " has more than 65535 alleles");
            }
            raw.push_back(ca);
            raw.push_back(cb);
        }
        if (!f.at_end())
            throw input_error(path, r.line,
                              "family " + std::string(r.family) + " person " + std::string(r.id) + ": " +
                                  std::to_string(count_fields(line)) + " columns, expected " + std::to_string(expect));
        rows.push_back(r);
    }
    if (rows.empty())
        throw input_error(path, 0, empty_file("persons"));

    std::vector<place> where;
    s.families = assemble(rows, path, no_parent, where);
    std::vector<std::vector<std::uint16_t>> recode(nmark);
    for (std::size_t m = 0; m < nmark; ++m)
        s.markers[m].alleles = natural_order(names[m].names(), recode[m]);
    store_genotypes(s.families, where, raw, recode);
    return s;
}

study read_plink_binary(const std::string& prefix)
{
    study s;
    const std::string fam_path = prefix + ".fam";
    const std::string bim_path = prefix + ".bim";
    const std::string bed_path = prefix + ".bed";
    s.pedigree_file = fam_path;

    const std::string fam_text = slurp(fam_path);
    std::vector<person_row> rows;
    lines in(fam_text);
    std::string_view line;
    while (in.next(line)) {
        fields f(line);
        if (f.at_end())
            continue;
        rows.push_back(person_columns(fam_path, in.number(), line, f, 6));
        if (!f.at_end())
            throw input_error(fam_path, in.number(), std::to_string(count_fields(line)) + " columns, expected 6");
    }
    if (rows.empty())
        throw input_error(fam_path, 0, empty_file("persons"));
    std::vector<place> where;
    s.families = assemble(rows, fam_path, no_parent, where);

    const std::string bim_text = slurp(bim_path);
    std::vector<std::array<std::string_view, 2>> a12;
    s.markers = read_variants(bim_path, bim_text, true, &a12);
    const std::size_t nmark = s.markers.size();
    const std::size_t n = rows.size();

    const std::string bed = slurp(bed_path);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bed.data());
    if (bed.empty())
        throw input_error(bed_path, 0, "empty: no genotypes");
    if (bed.size() < 3 || p[0] != 0x6c || p[1] != 0x1b)
        throw input_error(bed_path, 0, "not a PLINK .bed file (its first bytes are not 6c 1b)");
    if (p[2] != 0x01)
        throw input_error(bed_path, 0, "individual-major .bed files are not read; rewrite it with plink --make-bed");
    const std::size_t stride = (n + 3) / 4;
    std::size_t expect;
    if (__builtin_mul_overflow(stride, nmark, &expect) || __builtin_add_overflow(expect, 3, &expect))
        throw input_error(bed_path, 0, std::to_string(nmark) + " variants of " + std::to_string(n) +
                                           " persons: more bytes than a file can hold");
    if (bed.size() != expect)
        throw input_error(bed_path, 0,
                          std::to_string(bed.size()) + " bytes, expected " + std::to_string(expect) +
                              " for " + std::to_string(nmark) + " variants of " + std::to_string(n) + " persons");

    // Person i's genotype at marker m is dest[i][m * size[i]]: found once, not per genotype.
    std::vector<genotype*> dest(n);
    std::vector<std::size_t> size(n);
    for (family& fam : s.families)
        fam.geno.resize(fam.persons.size() * nmark);
    for (std::size_t i = 0; i < n; ++i) {
        family& fam = s.families[where[i].family];
        dest[i] = fam.geno.data() + where[i].index;
        size[i] = fam.persons.size();
    }
    std::vector<std::uint8_t> calls(n);
    for (std::size_t m = 0; m < nmark; ++m) {
        const unsigned char* v = p + 3 + m * stride;
        bool seen[4] = {};
        for (std::size_t i = 0; i < n; ++i)
            calls[i] = static_cast<std::uint8_t>((v[i >> 2] >> ((i & 3) * 2)) & 3);
        for (std::size_t k = 0; k < n && !(seen[0] && seen[3]); ++k)
            seen[calls[k]] = true;
        // Only alleles that some genotype shows are named, as from a .ped.
        const bool has1 = seen[0] || seen[2], has2 = seen[3] || seen[2];
        std::vector<std::string> present;
        for (int k : {0, 1})
            if (k == 0 ? has1 : has2) {
                if (a12[m][k] == "0")
                    throw input_error(bim_path, s.markers[m].map_line,
                                      "variant " + s.markers[m].name + ": genotypes show allele " +
                                          std::to_string(k + 1) + " but it is named 0");
                present.emplace_back(a12[m][k]);
            }
        std::vector<std::uint16_t> recode;
        s.markers[m].alleles = natural_order(present, recode);
        const std::uint16_t c1 = has1 ? recode[1] : 0;
        const std::uint16_t c2 = has2 ? recode[has1 ? 2 : 1] : 0;
        const genotype lookup[4] = {{c1, c1}, {0, 0}, {std::min(c1, c2), std::max(c1, c2)}, {c2, c2}};
        for (std::size_t i = 0; i < n; ++i)
            dest[i][m * size[i]] = lookup[calls[i]];
    }
    return s;
}

}  // namespace linkage
