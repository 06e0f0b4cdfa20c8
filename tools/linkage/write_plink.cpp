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

std::string base_pairs(double cm) { return std::to_string(std::llround(cm * 1e6)); }

void put_map_columns(output_file& out, const marker& mk)
{
    out.put(mk.chrom);
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
    check_biallelic(s, prefix + ".bed");
    output_file bed(prefix + ".bed"), bim(prefix + ".bim"), fam(prefix + ".fam");

    for (const family& f : s.families)
        for (const person& p : f.persons) {
            detail::put_person(fam, f, p);
            fam.put('\n');
        }

    for (const marker& mk : s.markers) {
        put_map_columns(bim, mk);
        bim.put(' ');
        bim.put(mk.alleles.size() > 0 ? std::string_view(mk.alleles[0]) : std::string_view("0"));
        bim.put(' ');
        bim.put(mk.alleles.size() > 1 ? std::string_view(mk.alleles[1]) : std::string_view("0"));
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
    check_biallelic(s, prefix + ".ped");
    output_file ped(prefix + ".ped"), map(prefix + ".map");
    for (const family& f : s.families)
        for (std::size_t i = 0; i < f.persons.size(); ++i) {
            detail::put_person(ped, f, f.persons[i]);
            detail::put_genotypes(ped, s, f, i);
            ped.put('\n');
        }
    for (const marker& mk : s.markers) {
        put_map_columns(map, mk);
        map.put('\n');
    }
    ped.close();
    map.close();
    ped.commit();
    map.commit();
}

}  // namespace linkage
