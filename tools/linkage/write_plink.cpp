#include <cmath>
#include <string>

#include "writers.h"

namespace linkage {

namespace {

// PLINK holds biallelic variants only; refuse before any file is opened so
// that nothing is left half-written.
void check_biallelic(const study& s, const std::string& file)
{
    for (const marker& mk : s.markers)
        if (mk.alleles.size() > 2)
            throw write_error("cannot write " + file + ": marker " + mk.name + " has " +
                              std::to_string(mk.alleles.size()) + " alleles, and PLINK files hold two at most");
}

// 0, PLINK's "unknown", where the product is beyond a 64-bit integer.
std::string base_pairs(double cm)
{
    const double bp = std::round(cm * 1e6);
    return std::to_string(std::fabs(bp) < 0x1p62 ? static_cast<long long>(bp) : 0LL);
}

bool plink_allele(std::string_view a) { return !a.empty() && a != "0"; }
bool plink_no_parent(std::string_view id) { return id == "0"; }

// Everything that could be refused, before any file is opened.
struct prepared {
    std::vector<std::string> labels;
    detail::allele_table names;
};
prepared prepare(const study& s, const std::string& file)
{
    check_biallelic(s, file);
    detail::check_parents(s, plink_no_parent, file);
    prepared p;
    for (const marker& mk : s.markers)
        p.labels.push_back(detail::chromosome_label(mk, true, file));
    p.names = detail::allele_names(s, plink_allele);
    return p;
}

void put_map_columns(output_file& out, const marker& mk, const std::string& label)
{
    out.put(label);
    out.put(' ');
    out.put(mk.name);
    out.put(' ');
    out.put(shortest(mk.cm));
    out.put(' ');
    out.put(base_pairs(mk.cm));
}

// Two bits per person, lowest first: 00 homozygous allele 1, 01 missing,
// 10 heterozygous, 11 homozygous allele 2.
unsigned bed_code(const genotype& g)
{
    if (g.missing())
        return 1u;
    if (g.a != g.b)
        return 2u;
    return g.a == 1 ? 0u : 3u;
}

}  // namespace

void write_plink_binary(const study& s, const std::string& prefix)
{
    const prepared p = prepare(s, prefix + ".bed");
    output_file bed(prefix + ".bed"), bim(prefix + ".bim"), fam(prefix + ".fam");

    for (const family& f : s.families)
        for (const person& p : f.persons) {
            detail::put_person(fam, f, p);
            fam.put('\n');
        }

    for (std::size_t m = 0; m < s.markers.size(); ++m) {
        const marker& mk = s.markers[m];
        put_map_columns(bim, mk, p.labels[m]);
        bim.put(' ');
        bim.put(mk.alleles.size() > 0 ? std::string_view(p.names[m][1]) : std::string_view("0"));
        bim.put(' ');
        bim.put(mk.alleles.size() > 1 ? std::string_view(p.names[m][2]) : std::string_view("0"));
        bim.put('\n');
    }

    bed.put(std::string_view("\x6c\x1b\x01", 3));
    for (std::size_t m = 0; m < s.markers.size(); ++m) {
        unsigned byte = 0;
        int filled = 0;
        for (const family& f : s.families)
            for (std::size_t i = 0; i < f.persons.size(); ++i) {
                byte |= bed_code(f.at(m, i)) << (2 * filled);
                if (++filled == 4) {
                    bed.put(static_cast<char>(byte));
                    byte = 0;
                    filled = 0;
                }
            }
        if (filled)
            bed.put(static_cast<char>(byte));
    }

    bed.close();
    bim.close();
    fam.close();
    bed.commit();
    bim.commit();
    fam.commit();
}

void write_plink_text(const study& s, const std::string& prefix)
{
    const prepared p = prepare(s, prefix + ".ped");
    output_file ped(prefix + ".ped"), map(prefix + ".map");
    for (const family& f : s.families)
        for (std::size_t i = 0; i < f.persons.size(); ++i) {
            detail::put_person(ped, f, f.persons[i]);
            detail::put_genotypes(ped, s, f, i, p.names);
            ped.put('\n');
        }
    for (std::size_t m = 0; m < s.markers.size(); ++m) {
        put_map_columns(map, s.markers[m], p.labels[m]);
        map.put('\n');
    }
    ped.close();
    map.close();
    ped.commit();
    map.commit();
}

}  // namespace linkage
