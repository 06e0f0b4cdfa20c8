// Every format written reads back as the study: random studies with allele,
// marker, person and family names chosen to be awkward for one format or
// another, written and read again.
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "readers.h"
#include "writers.h"

using namespace linkage;

namespace {

struct scratch {
    std::string dir;
    scratch()
    {
        char t[] = "/tmp/brell-roundtrip-XXXXXX";
        dir = ::mkdtemp(t);
    }
    ~scratch() { std::filesystem::remove_all(dir); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
};

// What the LINKAGE pedigree reader would take for a missing allele or a separator.
bool linkage_readable(const std::string& a)
{
    static const std::set<std::string> missing = {"0", "x", "X", ".", "-", "N"};
    return !missing.count(a) && a.find('/') == std::string::npos;
}

// Same study: everything but the lines things were read from. Allele names
// the format cannot hold may come back renamed, each to a name of its own.
void expect_same(const study& back, const study& s, bool (*readable)(const std::string&))
{
    ASSERT_EQ(back.markers.size(), s.markers.size());
    for (std::size_t m = 0; m < s.markers.size(); ++m) {
        const marker &a = back.markers[m], &b = s.markers[m];
        SCOPED_TRACE("marker " + b.name);
        EXPECT_EQ(a.name, b.name);
        EXPECT_EQ(a.chrom, b.chrom);
        EXPECT_EQ(a.kind, b.kind);
        EXPECT_EQ(a.cm, b.cm);
        EXPECT_EQ(a.freq, b.freq);
        ASSERT_EQ(a.alleles.size(), b.alleles.size());
        for (std::size_t k = 0; k < b.alleles.size(); ++k) {
            if (readable(b.alleles[k]))
                EXPECT_EQ(a.alleles[k], b.alleles[k]);
            else
                EXPECT_TRUE(readable(a.alleles[k])) << a.alleles[k];
        }
        EXPECT_EQ(std::set<std::string>(a.alleles.begin(), a.alleles.end()).size(), a.alleles.size());
    }
    ASSERT_EQ(back.families.size(), s.families.size());
    for (std::size_t f = 0; f < s.families.size(); ++f) {
        const family &a = back.families[f], &b = s.families[f];
        SCOPED_TRACE("family " + b.id);
        EXPECT_EQ(a.id, b.id);
        ASSERT_EQ(a.persons.size(), b.persons.size());
        for (std::size_t i = 0; i < b.persons.size(); ++i) {
            const person &x = a.persons[i], &y = b.persons[i];
            EXPECT_EQ(std::tie(x.id, x.father, x.mother, x.sex, x.affection),
                      std::tie(y.id, y.father, y.mother, y.sex, y.affection));
        }
        ASSERT_EQ(a.geno.size(), b.geno.size());
        for (std::size_t g = 0; g < b.geno.size(); ++g)
            EXPECT_TRUE(a.geno[g].a == b.geno[g].a && a.geno[g].b == b.geno[g].b) << g;
    }
}

template <class T>
const T& pick(std::mt19937_64& rng, const std::vector<T>& v)
{
    return v[rng() % v.size()];
}

// Family and person identifiers: unique in a family; those a pedigree file
// reads as "no parent" only for persons without children.
std::vector<family> random_families(std::mt19937_64& rng)
{
    const std::vector<std::string> families = {"F1", "end", "#f", "f/1", "F-2"};
    const std::vector<std::string> parents = {"p", "#q", "N", "-"};
    const std::vector<std::string> children = {"x", ".", "0", "X"};
    std::vector<family> out(2 + rng() % 3);
    for (std::size_t f = 0; f < out.size(); ++f) {
        family& fam = out[f];
        fam.id = families[f];
        // Children first or last in the files: parents may follow them.
        const int kids = 1 + static_cast<int>(rng() % 4), first = rng() % 2 ? kids : 0;
        for (int i = 0; i < 2 + kids; ++i) {
            person p;
            const int parent = (i - first + 2 + kids) % (2 + kids);  // 0 father, 1 mother, then children
            p.id = parent < 2 ? parents[parent + 2 * (rng() % 2)] : children[parent - 2];
            p.sex = parent == 0 ? sex::male : parent == 1 ? sex::female : static_cast<sex>(rng() % 3);
            p.affection = static_cast<status>(rng() % 3);
            if (parent >= 2) {
                p.father = first;
                p.mother = (first + 1) % (2 + kids);
            }
            fam.persons.push_back(p);
        }
    }
    return out;
}

// Chromosomes as a study names them, with the kind both readers give them.
struct chrom_case {
    const char* name;
    chrom_kind kind;
    bool plink;  // PLINK reads the name back as itself
};
const chrom_case chroms[] = {
    {"1", chrom_kind::autosome, true},   {"22", chrom_kind::autosome, true}, {"X", chrom_kind::x_linked, true},
    {"XY", chrom_kind::x_linked, true},  {"Y", chrom_kind::excluded, true},  {"MT", chrom_kind::excluded, true},
    {"0", chrom_kind::excluded, true},   {"Un_7", chrom_kind::autosome, true}, {"chr9", chrom_kind::autosome, true},
    {"23", chrom_kind::autosome, false}, {"01", chrom_kind::autosome, false},
};

// A study as a lab's LINKAGE files give it: any number of alleles, in any
// order of codes, some that no genotype shows, a marker without genotypes,
// markers at one position written in another order than the map's.
study random_linkage_study(std::uint64_t seed, bool plink_names)
{
    std::mt19937_64 rng(seed);
    const std::vector<std::string> names = {"1",  "2",   "10", "152", "154", "A",   "C",   "-",   ".",  "x",
                                            "X",  "N",    "0",  "A/B", "/",   "a#b", "#c",  "%2D", "%2F", "%",
                                            "%2D%", "01", "I",  "D"};
    const std::vector<std::string> marker_names = {"rs1", "rs#2", "#3", "a/b", "x", "M.6", "0", "chr"};
    study s;
    s.families = random_families(rng);
    const std::size_t M = 3 + rng() % 5;
    std::vector<long> lines(M);
    for (std::size_t m = 0; m < M; ++m)
        lines[m] = static_cast<long>(m + 2);
    std::shuffle(lines.begin(), lines.end(), rng);
    for (std::size_t m = 0; m < M; ++m) {
        marker mk;
        mk.name = marker_names[m % marker_names.size()] + (m >= marker_names.size() ? std::to_string(m) : "");
        const chrom_case* c;
        do
            c = &chroms[rng() % std::size(chroms)];
        while (plink_names && !c->plink);
        mk.chrom = c->name;
        mk.kind = c->kind;
        mk.cm = std::vector<double>{0.5, 1.25, 3, 3, 3 + 5e-10, 7.125}[rng() % 6];
        mk.map_line = lines[m];
        std::vector<std::string> pool = names;
        std::shuffle(pool.begin(), pool.end(), rng);
        const std::size_t k = m == 1 ? 0 : 1 + rng() % 5;  // marker 1: no genotype at all
        mk.alleles.assign(pool.begin(), pool.begin() + static_cast<long>(k));
        double total = 0;
        for (std::size_t a = 0; a < k; ++a)
            total += static_cast<double>(a + 1);
        for (std::size_t a = 0; a < k; ++a)
            mk.freq.push_back(static_cast<double>(k - a) / total);
        s.markers.push_back(mk);
    }
    for (family& f : s.families) {
        f.geno.assign(M * f.persons.size(), genotype{});
        for (std::size_t m = 0; m < M; ++m)
            for (std::size_t i = 0; i < f.persons.size(); ++i) {
                const auto k = static_cast<std::uint16_t>(s.markers[m].alleles.size());
                if (k == 0 || rng() % 5 == 0)
                    continue;
                // Only the first alleles are ever seen: the others stay in the frequencies only.
                const auto seen = static_cast<std::uint16_t>(std::max(1, k - 1));
                std::uint16_t a = static_cast<std::uint16_t>(1 + rng() % seen), b = static_cast<std::uint16_t>(1 + rng() % seen);
                f.at(m, i) = {std::min(a, b), std::max(a, b)};
            }
    }
    return s;
}

TEST(RoundTrip, LinkageFilesReadBackAsTheStudy)
{
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        const study s = random_linkage_study(seed, false);
        scratch d;
        const linkage_files files{d.path("r.ped"), d.path("r.dat"), d.path("r.map"), d.path("r.freq")};
        write_linkage(s, files.ped, files.dat, files.map, files.freq);
        const study back = read_study(study_format::linkage, files, "", freq_from::all);
        expect_same(back, s, linkage_readable);
        // Markers at one position keep their order on the map.
        const std::vector<chromosome> a = chromosomes(back), b = chromosomes(s);
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t c = 0; c < a.size(); ++c)
            EXPECT_EQ(a[c].markers, b[c].markers);
    }
}

// A PLINK study (two alleles, codes in natural order, frequencies counted)
// written in each format; a PLINK text file is what it is read from.
TEST(RoundTrip, PlinkStudiesReadBackAsThemselvesInEveryFormat)
{
    const std::vector<std::string> pool = {"A", "C", "-", ".", "x", "X", "N", "A/B", "/", "152", "01", "a#b", "#c",
                                           "%2D", "I", "D", "TTA"};
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937_64 rng(seed);
        study made = random_linkage_study(seed, true);
        // As text first: PLINK names its alleles itself and counts the frequencies.
        std::string ped, map;
        std::vector<std::array<std::string, 2>> pair(made.markers.size());
        for (std::size_t m = 0; m < made.markers.size(); ++m) {
            marker& mk = made.markers[m];
            do {
                pair[m] = {pick(rng, pool), pick(rng, pool)};
            } while (pair[m][0] == pair[m][1]);
            map += std::string(rng() % 2 ? "chr" : "") + mk.chrom + " " + mk.name + " " + shortest(mk.cm + 1) + " 0\n";
        }
        for (const family& f : made.families)
            for (std::size_t i = 0; i < f.persons.size(); ++i) {
                const person& p = f.persons[i];
                ped += f.id + " " + p.id + " " + (p.father < 0 ? "0" : f.persons[p.father].id) + " " +
                       (p.mother < 0 ? "0" : f.persons[p.mother].id) + " " + std::to_string(int(p.sex)) + " " +
                       (p.affection == status::affected ? "2" : p.affection == status::unaffected ? "1" : "-9");
                for (std::size_t m = 0; m < made.markers.size(); ++m) {
                    const genotype& g = f.at(m, i);
                    const bool flip = rng() % 2;
                    ped += g.missing() ? " 0 0"
                                       : " " + pair[m][(flip ? g.b : g.a) % 2] + " " + pair[m][(flip ? g.a : g.b) % 2];
                }
                ped += "\n";
            }
        scratch d;
        std::ofstream(d.path("t.ped")) << ped;
        std::ofstream(d.path("t.map")) << map;
        const study s = read_study(study_format::plink_text, {}, d.path("t"), freq_from::all);

        write_plink_text(s, d.path("w"));
        expect_same(read_study(study_format::plink_text, {}, d.path("w"), freq_from::all), s,
                    [](const std::string&) { return true; });
        write_plink_binary(s, d.path("b"));
        expect_same(read_study(study_format::plink_binary, {}, d.path("b"), freq_from::all), s,
                    [](const std::string&) { return true; });
        const linkage_files files{d.path("r.ped"), d.path("r.dat"), d.path("r.map"), d.path("r.freq")};
        write_linkage(s, files.ped, files.dat, files.map, files.freq);
        expect_same(read_study(study_format::linkage, files, "", freq_from::all), s, linkage_readable);
    }
}

// What a format cannot hold is refused before any file is made.
TEST(RoundTrip, WhatAFormatCannotHoldIsRefusedUpFront)
{
    study s = random_linkage_study(3, false);
    for (marker& mk : s.markers) {  // what PLINK holds
        mk.alleles.resize(std::min<std::size_t>(mk.alleles.size(), 2));
        mk.freq.assign(mk.alleles.size(), 0.5);
        mk.chrom = "1";
        mk.kind = chrom_kind::autosome;
    }
    for (family& g : s.families)
        for (genotype& x : g.geno)
            if (x.b > 2)
                x = {};
    const std::vector<person>& persons = s.families[0].persons;
    const int father = std::find_if(persons.begin(), persons.end(), [](const person& p) { return p.father >= 0; })->father;
    struct {
        const char* father;
        const char* chrom;
        bool linkage, plink;  // refused
    } cases[] = {{"x", "1", true, false}, {".", "1", true, false}, {"0", "1", true, true}, {"p", "23", false, true},
                 {"p", "01", false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.father) + " " + c.chrom);
        study t = s;
        t.families[0].persons[father].id = c.father;
        t.markers[0].chrom = c.chrom;
        scratch d;
        auto refused = [&](auto&& write) {
            try {
                write();
            } catch (const write_error&) {
                return true;
            }
            return false;
        };
        EXPECT_EQ(refused([&] { write_linkage(t, d.path("r.ped"), d.path("r.dat"), d.path("r.map"), d.path("r.f")); }),
                  c.linkage);
        EXPECT_EQ(refused([&] { write_plink_binary(t, d.path("b")); }), c.plink);
        EXPECT_EQ(refused([&] { write_plink_text(t, d.path("t")); }), c.plink);
        const auto files = std::distance(std::filesystem::directory_iterator(d.dir), std::filesystem::directory_iterator());
        EXPECT_EQ(files, (c.linkage ? 0 : 4) + (c.plink ? 0 : 5));
    }
}

}  // namespace
