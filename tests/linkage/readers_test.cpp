#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "readers.h"

using namespace linkage;

namespace {

struct scratch {
    std::string dir;
    scratch()
    {
        char t[] = "/tmp/brell-readers-XXXXXX";
        dir = ::mkdtemp(t);
    }
    ~scratch() { std::filesystem::remove_all(dir); }
    std::string write(const std::string& name, const std::string& text) const
    {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
};

// Everything a reader fills, one line per record, for whole-study comparisons.
std::string dump(const study& s)
{
    std::ostringstream o;
    for (const marker& m : s.markers) {
        o << "marker " << m.name << " chr " << m.chrom << " kind " << int(m.kind) << " cm " << m.cm << " line "
          << m.map_line << " alleles";
        for (const std::string& a : m.alleles)
            o << ' ' << a;
        o << " freq";
        for (double f : m.freq)
            o << ' ' << f;
        o << '\n';
    }
    for (const family& f : s.families) {
        o << "family " << f.id << '\n';
        for (std::size_t i = 0; i < f.persons.size(); ++i) {
            const person& p = f.persons[i];
            o << "  " << p.id << ' ' << p.father << ' ' << p.mother << " sex " << int(p.sex) << " aff "
              << int(p.affection) << " line " << p.line << " :";
            for (std::size_t m = 0; m < s.markers.size(); ++m)
                o << ' ' << f.at(m, i).a << '/' << f.at(m, i).b;
            o << '\n';
        }
    }
    return o.str();
}

// "FILE LINE: REASON" with the file's name only, and the what() it came with checked.
template <class F>
std::string error_of(F&& read)
{
    try {
        read();
    } catch (const input_error& e) {
        const std::string where =
            e.line ? e.file + " line " + std::to_string(e.line) + ": " : e.file + ": ";
        EXPECT_EQ(std::string(e.what()), where + e.reason);
        return std::filesystem::path(e.file).filename().string() + " " + std::to_string(e.line) + ": " + e.reason;
    }
    return "no error";
}

const char* const good_dat = "A disease\nM m1\n# a comment\n\nM m2\nE\n";
const char* const good_map = "1 m1 0.0\n1 m2 5.0\n";
const char* const good_ped =
    "F1 1 0 0 1 1 1 2 1 1\n"
    "F1 2 0 0 2 1 1 1 2 2\n"
    "F1 3 1 2 2 2 1 1 1 2\n";

struct linkage_case {
    const char* name;
    const char* ped;  // nullptr: the good file
    const char* dat;
    const char* map;
    const char* freq;  // nullptr: none
    const char* error;
};

TEST(ReadLinkage, RejectsBadInputWithFileLineAndReason)
{
    const linkage_case cases[] = {
        {"unknown parent", "F1 1 0 0 1 1 1 1 1 1\nF1 3 1 9 2 2 1 1 1 2\n", nullptr, nullptr, nullptr,
         "p.ped 2: family F1 person 3: mother 9 is not in the family"},
        {"one parent", "F1 1 0 0 1 1 1 1 1 1\nF1 3 1 0 2 2 1 1 1 2\n", nullptr, nullptr, nullptr,
         "p.ped 2: family F1 person 3: father 1 is given without a mother"},
        {"father female", "F1 3 1 2 2 2 1 1 1 2\nF1 1 0 0 f 1 1 1 1 1\nF1 2 0 0 2 1 1 1 1 1\n", nullptr, nullptr,
         nullptr, "p.ped 1: family F1 person 3: father 1 is female"},
        {"mother male", "F1 1 0 0 1 1 1 1 1 1\nF1 2 0 0 M 1 1 1 1 1\nF1 3 1 2 2 2 1 1 1 2\n", nullptr, nullptr,
         nullptr, "p.ped 3: family F1 person 3: mother 2 is male"},
        {"own ancestor", "F1 1 3 2 1 1 1 1 1 1\nF1 2 0 0 2 1 1 1 1 1\nF1 3 1 2 1 2 1 1 1 2\n", nullptr, nullptr,
         nullptr, "p.ped 1: family F1: person 1 is his own ancestor"},
        {"duplicate person", "F1 1 0 0 1 1 1 1 1 1\nF2 1 0 0 1 1 1 1 1 1\n\nF1 1 0 0 1 1 1 1 1 1\n", nullptr,
         nullptr, nullptr, "p.ped 4: family F1: person 1 is listed twice (first on line 1)"},
        {"half-missing genotype", "F1 1 0 0 1 1 1 1 1 1\nF1 2 0 0 2 1 1 1 x/ 2\n", nullptr, nullptr, nullptr,
         "p.ped 2: family F1 person 2: marker m2: genotype x/2 has one allele missing"},
        {"malformed genotype", "F1 1 0 0 1 1 1//2 1 1\n", nullptr, nullptr, nullptr,
         "p.ped 1: family F1 person 1: marker m1: malformed genotype '1//2'"},
        {"too few columns", "F1 1 0 0 1 1 1 1 1\n", nullptr, nullptr, nullptr,
         "p.ped 1: family F1 person 1: too few columns (expected 10)"},
        {"too many columns", "F1 1 0 0 1 1 1/1 1/1 3\n", nullptr, nullptr, nullptr,
         "p.ped 1: family F1 person 1: too many columns (expected 10)"},
        {"no person columns", "F1 1 0\n", nullptr, nullptr, nullptr, "p.ped 1: too few columns (expected 10)"},
        {"bad sex", "F1 1 0 0 3 1 1 1 1 1\n", nullptr, nullptr, nullptr,
         "p.ped 1: family F1 person 1: sex '3' is not 1, m, 2, f or 0"},
        {"bad affection", "F1 1 0 0 1 0.5 1 1 1 1\n", nullptr, nullptr, nullptr,
         "p.ped 1: family F1 person 1: affection status '0.5' is not 2, 1, 0, x, . or -9"},
        {"data after end", "F1 1 0 0 1 1 1 1 1 1\nend\nF1 2 0 0 2 1 1 1 1 1\n", nullptr, nullptr, nullptr,
         "p.ped 3: data after the end line 2"},
        {"marker not in map", nullptr, "A d\nM m1\nM m2\nM m3\n", nullptr, nullptr,
         "p.dat 4: marker m3 is not in the map file " /* + path */},
        {"marker twice in data", nullptr, "M m1\nT q\nM m1\n", nullptr, nullptr,
         "p.dat 3: marker m1 is listed twice (first on line 1)"},
        {"marker twice in map", nullptr, nullptr, "1 m1 0\n1 m2 1\n2 m1 3\n", nullptr,
         "p.map 3: marker m1 is listed twice (first on line 1)"},
        {"unknown data code", nullptr, "A d\nQ m1\n", nullptr, nullptr,
         "p.dat 2: unknown code 'Q' (expected A, M, T, C, S or E)"},
        {"bad skip count", nullptr, "S0 x\n", nullptr, nullptr, "p.dat 1: cannot skip '0' columns"},
        {"position not a number", nullptr, nullptr, "CHR MARKER CM\n1 m1 0\n1 m2 5cM\n", nullptr,
         "p.map 3: position '5cM' of marker m2 is not a number"},
        {"short map line", nullptr, nullptr, "1 m1 0\n1 m2\n", nullptr,
         "p.map 2: expected CHROMOSOME MARKER POSITION"},
        {"allele not in frequency file", nullptr, nullptr, nullptr, "M m1\nF 0.5 0.5\nM m2\nA 1 1.0\n",
         "p.ped 2: family F1 person 2: marker m2: allele 2 is not in the frequency file " /* + path */},
        {"numbered allele past the frequencies", "F1 1 0 0 1 1 1 3 1 1\n", nullptr, nullptr, "M m1\nF 0.5 0.5\n",
         "p.ped 1: family F1 person 1: marker m1: allele 3 is not in the frequency file " /* + path */},
        {"frequencies not summing to 1", nullptr, nullptr, nullptr, "M m1\nF 0.5 0.4\nM m2\nF 1\n",
         "p.freq 1: frequencies of marker m1 sum to 0.9, not 1"},
        {"frequency not a number", nullptr, nullptr, nullptr, "M m1\nA 1 half\n",
         "p.freq 2: frequency 'half' is not a number"},
        {"F and A mixed", nullptr, nullptr, nullptr, "M m1\nF 0.5\nA 2 0.5\n", "p.freq 3: marker m1 mixes F and A lines"},
        {"chromosome that is a path", nullptr, nullptr, "1 m1 0\n/../../x m2 5\n", nullptr,
         "p.map 2: chromosome '/../../x' of marker m2: a chromosome name is letters, digits, _, - and . (it names a "
         "folder), not . or .."},
        {"chromosome ..", nullptr, nullptr, "chr.. m1 0\n1 m2 5\n", nullptr,
         "p.map 1: chromosome '..' of marker m1: a chromosome name is letters, digits, _, - and . (it names a "
         "folder), not . or .."},
        {"columns to skip beyond a long", nullptr, "M m1\nS9223372036854775807 x\n", nullptr, nullptr,
         "p.dat 2: cannot skip '9223372036854775807' columns"},
        {"empty pedigree file", "end\n", nullptr, nullptr, nullptr, "p.ped 0: empty: no persons"},
        {"empty data file", nullptr, "# nothing\n\n", nullptr, nullptr,
         "p.dat 0: empty: a data file lists the pedigree file's columns, A for the affection status and M NAME for "
         "each marker"},
        {"no affection column", "F1 1 0 0 1 1 1 1 2 2\n", "M m1\nM m2\nE\n", nullptr, nullptr,
         "p.dat 0: no affection status column (a line A NAME): without it no one is affected, and only affected "
         "relatives are analysed"},
        {"empty map file", nullptr, nullptr, "CHR MARKER CM\n", nullptr, "p.map 0: empty: no markers"},
        {"empty frequency file", nullptr, nullptr, nullptr, "\n", "p.freq 0: empty: no allele frequencies"},
    };
    for (const linkage_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch d;
        linkage_files files{d.write("p.ped", c.ped ? c.ped : good_ped), d.write("p.dat", c.dat ? c.dat : good_dat),
                            d.write("p.map", c.map ? c.map : good_map), c.freq ? d.write("p.freq", c.freq) : ""};
        std::string expected = c.error;
        if (expected.ends_with("file "))
            expected += expected.find("frequency") != std::string::npos ? files.freq : files.map;
        EXPECT_EQ(error_of([&] { read_linkage(files); }), expected);
    }
}

// A NUL byte would end the message where it is printed as a C string.
TEST(ReadLinkage, NulBytesStayVisibleInMessages)
{
    scratch d;
    const linkage_files files{d.write("p.ped", std::string("F1\0x 1 0 0 3 1 1 1 1 1\n", 24)),
                              d.write("p.dat", good_dat), d.write("p.map", good_map), ""};
    try {
        read_linkage(files);
        FAIL() << "read";
    } catch (const input_error& e) {
        EXPECT_EQ(std::string(e.what()), files.ped + " line 1: family F1\\0x person 1: sex '3' is not 1, m, 2, f or 0");
    }
}

TEST(ReadLinkage, UnreadableFilesSayWhy)
{
    scratch d;
    linkage_files files{d.dir + "/none.ped", d.write("p.dat", good_dat), d.write("p.map", good_map), ""};
    EXPECT_EQ(error_of([&] { read_linkage(files); }), "none.ped 0: cannot open: No such file or directory");
    files.ped = d.dir;
    EXPECT_EQ(error_of([&] { read_linkage(files); }),
              std::filesystem::path(d.dir).filename().string() + " 0: cannot read: Is a directory");
}

TEST(ReadLinkage, GenotypeNotationsAndMissingCodes)
{
    // Each row writes alleles 4 and 1 of marker m1 differently; m2 must still line up behind it.
    const char* const notations[] = {"4/1", "4/ 1", "4 /1", "4 / 1", "4 1", "1\t4", "1/4"};
    const char* const missing[] = {"0 0", "x/x", "X X", ". .", "- -", "N/N", "0 /0"};
    std::string ped;
    int id = 0;
    for (const char* g : notations)
        ped += "F " + std::to_string(++id) + " 0 0 1 2 " + g + " 3 3\n";
    for (const char* g : missing)
        ped += "F " + std::to_string(++id) + " . x 0 -9 " + g + " 3/3\n";
    scratch d;
    const study s = read_linkage({d.write("p.ped", ped), d.write("p.dat", good_dat), d.write("p.map", good_map), ""});
    ASSERT_EQ(s.families.size(), 1u);
    const family& f = s.families[0];
    ASSERT_EQ(f.persons.size(), 14u);
    EXPECT_EQ(s.markers[0].alleles, (std::vector<std::string>{"1", "4"}));
    for (std::size_t i = 0; i < f.persons.size(); ++i) {
        SCOPED_TRACE(i < 7 ? notations[i] : missing[i - 7]);
        EXPECT_EQ(f.at(0, i).a, i < 7 ? 1 : 0);
        EXPECT_EQ(f.at(0, i).b, i < 7 ? 2 : 0);
        EXPECT_EQ(f.at(1, i).a, 1);
        EXPECT_EQ(f.at(1, i).b, 1);
    }
}

TEST(ReadLinkage, WindowsLineEndsReadLikeUnix)
{
    auto crlf = [](std::string s) {
        for (std::size_t i = s.find('\n'); i != std::string::npos; i = s.find('\n', i + 2))
            s.replace(i, 1, "\r\n");
        return s;
    };
    const std::string freq = "M m1\nF 0.25 0.75\n";
    scratch d;
    const study unix_ = read_linkage({d.write("u.ped", good_ped), d.write("u.dat", good_dat),
                                      d.write("u.map", good_map), d.write("u.freq", freq)});
    study dos = read_linkage({d.write("w.ped", crlf(good_ped) + "end\r\n"), d.write("w.dat", crlf(good_dat)),
                              d.write("w.map", crlf(good_map)), d.write("w.freq", crlf(freq))});
    dos.pedigree_file = unix_.pedigree_file;
    EXPECT_EQ(dump(dos), dump(unix_));
}

TEST(ReadLinkage, MapHeaderOrderChromosomesAndFrequencyForms)
{
    scratch d;
    // Unsorted map with a header, chr prefixes, extra columns and markers the data file does not use.
    const std::string map = "Chromosome Marker cM bp\n"
                            "chrX mx 7.5 100\n"
                            "chr2 m2 3 200\n"
                            "1 m1 12.25\n"
                            "5 unused 1\n"
                            "CHR24 my 0\n"
                            "x mx2 1\n";
    const std::string dat = "S2 ages\nM m1\nC cov\nM m2\nA d\nM mx\nM my\nM mx2\nT q\n";
    // m1 numbered frequencies over two F lines, m2 named ones, the others counted.
    const std::string freq = "# frequencies\nM m2\nA C 0.4\nA A 0.6\nM m1\nF 0.2 0.3\nF 0.5\nM unused\nF 1\n";
    const std::string ped = "F 1 0 0 1 40 41 3 1 -1.2 C A 1 10 100 G G 9 9 3.5\n"
                            "F 2 0 0 2 . . 2/2 0 C/C 2 9 10 T A 0 0 x\n";
    const study s = read_linkage({d.write("p.ped", ped), d.write("p.dat", dat), d.write("p.map", map),
                                  d.write("p.freq", freq)});
    ASSERT_EQ(s.markers.size(), 5u);
    struct expect {
        const char *name, *chrom;
        chrom_kind kind;
        double cm;
        long line;
        std::vector<std::string> alleles;
        std::vector<double> freq;
    } const want[] = {
        {"m1", "1", chrom_kind::autosome, 12.25, 4, {"1", "2", "3"}, {0.2, 0.3, 0.5}},
        {"m2", "2", chrom_kind::autosome, 3, 3, {"C", "A"}, {0.4, 0.6}},
        {"mx", "X", chrom_kind::x_linked, 7.5, 2, {"9", "10", "100"}, {}},  // numeric order
        {"my", "24", chrom_kind::autosome, 0, 6, {"A", "G", "T"}, {}},     // byte order
        {"mx2", "X", chrom_kind::x_linked, 1, 7, {"9"}, {}},
    };
    for (std::size_t m = 0; m < 5; ++m) {
        SCOPED_TRACE(want[m].name);
        const marker& mk = s.markers[m];
        EXPECT_EQ(mk.name, want[m].name);
        EXPECT_EQ(mk.chrom, want[m].chrom);
        EXPECT_EQ(mk.kind, want[m].kind);
        EXPECT_EQ(mk.cm, want[m].cm);
        EXPECT_EQ(mk.map_line, want[m].line);
        EXPECT_EQ(mk.alleles, want[m].alleles);
        EXPECT_EQ(mk.freq, want[m].freq);
    }
    const family& f = s.families[0];
    EXPECT_EQ(f.persons[0].affection, status::unaffected);
    EXPECT_EQ(f.persons[1].affection, status::affected);
    const std::uint16_t codes[2][5][2] = {{{1, 3}, {1, 2}, {2, 3}, {2, 2}, {1, 1}}, {{2, 2}, {1, 1}, {1, 2}, {1, 3}, {0, 0}}};
    for (int i = 0; i < 2; ++i)
        for (int m = 0; m < 5; ++m) {
            EXPECT_EQ(f.at(m, i).a, codes[i][m][0]) << "person " << i << " marker " << m;
            EXPECT_EQ(f.at(m, i).b, codes[i][m][1]) << "person " << i << " marker " << m;
        }
}

// # starts a comment only as the first character of a field, and never in
// a name: markers and alleles may be called rs12#3 or #4. Chromosomes that
// PLINK files name (XY, Y, MT, 0) are not read as autosomes either.
TEST(ReadLinkage, CommentsNamesWithHashesAndChromosomeSpellings)
{
    scratch d;
    const std::string dat = "# a comment\n  #another\nA d # trailing\nM rs12#3 # trailing\nM #4\nM m5\nM m6\nM m7\n"
                            "M m8\nM m9\nE\n";
    const std::string map = "CHR MARKER CM\n# a comment\n1 rs12#3 0\n1 #4 1\nchrXY m5 2\nmt m6 3\ny m7 4\n0 m8 5\n"
                            "chrchr23 m9 6\n";
    const std::string freq = "#\nM rs12#3 # trailing\nA a#b 0.5\nA #c 0.5 # trailing\nM #4\nF 0.25 # trailing\nF 0.75#\n";
    const std::string ped = "F 1 0 0 1 2 a#b #c 1 2 1 1 1 1 1 1 1 1 1 1\n";
    const study s = read_linkage({d.write("p.ped", ped), d.write("p.dat", dat), d.write("p.map", map),
                                  d.write("p.freq", freq)});
    ASSERT_EQ(s.markers.size(), 7u);
    EXPECT_EQ(s.markers[0].name, "rs12#3");
    EXPECT_EQ(s.markers[0].alleles, (std::vector<std::string>{"a#b", "#c"}));
    EXPECT_EQ(s.markers[0].freq, (std::vector<double>{0.5, 0.5}));
    EXPECT_EQ(s.markers[1].name, "#4");
    EXPECT_EQ(s.markers[1].freq, (std::vector<double>{0.25, 0.75}));
    EXPECT_EQ(s.families[0].at(0, 0).a, 1);
    EXPECT_EQ(s.families[0].at(0, 0).b, 2);
    const std::pair<const char*, chrom_kind> chroms[] = {{"1", chrom_kind::autosome},  {"1", chrom_kind::autosome},
                                                         {"XY", chrom_kind::x_linked}, {"MT", chrom_kind::excluded},
                                                         {"Y", chrom_kind::excluded},  {"0", chrom_kind::excluded},
                                                         {"chr23", chrom_kind::autosome}};
    for (std::size_t m = 0; m < 7; ++m) {
        EXPECT_EQ(s.markers[m].chrom, chroms[m].first) << m;
        EXPECT_EQ(s.markers[m].kind, chroms[m].second) << m;
    }
}

TEST(CountFrequencies, AllFoundersAndAllelesOnlyChildrenCarry)
{
    // Marker m1: founders 1 1 and 1 2, child 2 2 (ungenotyped founders of family G: child 3 3).
    // Marker m2 keeps its file frequencies.
    const std::string ped = "F 1 0 0 1 1 1 1 1 2\n"
                            "F 2 0 0 2 1 1 2 1 1\n"
                            "F 3 1 2 1 2 2 2 2 2\n"
                            "G a 0 0 1 1 0 0 0 0\n"
                            "G b 0 0 2 1 0 0 0 0\n"
                            "G c a b 2 2 3 3 1 2\n";
    scratch d;
    const linkage_files files{d.write("p.ped", ped), d.write("p.dat", good_dat), d.write("p.map", good_map),
                              d.write("p.freq", "M m2\nF 0.125 0.875\n")};
    study all = read_linkage(files);
    study founders = all;
    count_frequencies(all, freq_from::all);
    count_frequencies(founders, freq_from::founders);
    EXPECT_EQ(all.markers[0].freq, (std::vector<double>{3.0 / 8, 3.0 / 8, 2.0 / 8}));
    // Founder alleles 1 1 1 2, and allele 3, carried by a child only, counted once.
    EXPECT_EQ(founders.markers[0].freq, (std::vector<double>{3.0 / 5, 1.0 / 5, 1.0 / 5}));
    EXPECT_EQ(all.markers[1].freq, (std::vector<double>{0.125, 0.875}));
    EXPECT_EQ(founders.markers[1].freq, (std::vector<double>{0.125, 0.875}));
}

// What reading decides for the user is said once, with counts: map markers
// the data file lacks, frequencies counted for markers the frequency file
// lacks, and founders-only counting where no founder is genotyped.
TEST(ReadStudy, FallbacksAreNotedOnceWithCounts)
{
    // m3: only the child is genotyped in both families.
    const std::string ped = "F 1 0 0 1 1 1 1 1 2 0 0\n"
                            "F 2 0 0 2 1 1 2 1 1 0 0\n"
                            "F 3 1 2 1 2 2 2 2 2 1 2\n"
                            "G a 0 0 1 1 1 1 2 2 0 0\n"
                            "G b 0 0 2 1 1 1 2 2 0 0\n"
                            "G c a b 2 2 1 1 2 2 2 2\n";
    scratch d;
    const linkage_files files{d.write("p.ped", ped), d.write("p.dat", "A d\nM m1\nM m2\nM m3\n"),
                              d.write("p.map", "1 m7 9\n1 m1 0\n1 m4 1\n1 m2 2\n1 m5 3\n1 m3 4\n1 m6 5\n"),
                              d.write("p.freq", "M m1\nF 0.5 0.5\n")};
    const std::string map_note =
        files.map + ": 4 markers not in the data file " + files.dat + " (m7, m4, m5, ...): left out";
    const std::string freq_note = files.freq + ": 2 markers (m2, m3) not in it: their allele frequencies counted over ";
    const study founders = read_study(study_format::linkage, files, "", freq_from::founders);
    EXPECT_EQ(founders.notes,
              (std::vector<std::string>{map_note, freq_note + "founders",
                                        "--freq founders: no founder is genotyped at 1 marker (m3): the alleles seen "
                                        "there are taken as equally frequent"}));
    EXPECT_EQ(founders.markers[2].freq, (std::vector<double>{0.5, 0.5}));
    EXPECT_EQ(read_study(study_format::linkage, files, "", freq_from::all).notes,
              (std::vector<std::string>{map_note, freq_note + "every genotyped person"}));
    const linkage_files plain{d.write("q.ped", good_ped), d.write("q.dat", good_dat), d.write("q.map", good_map), ""};
    EXPECT_EQ(read_study(study_format::linkage, plain, "", freq_from::founders).notes, std::vector<std::string>{});
}

// PLINK: a study written as text, as binary by an independent encoder and as
// plink1.9 makes it must read the same.

struct plink_data {
    std::string ped, map, fam, bim, bed;
};

plink_data random_plink(unsigned seed)
{
    struct variant {
        const char *chrom, *bim_chrom, *id;
        double cm;
        long bp;
    } const variants[] = {
        {"1", "1", "rs1", 0.5, 1000},   {"1", "chr1", "rs2", 1.25, 2000}, {"1", "01", "rs3", 3.0, 3000},
        {"2", "2", "rs4", 0.0, 500},    {"2", "2", "rs5", 2.0, 900},      {"X", "23", "rsx1", 10.0, 100},
        {"X", "X", "rsx2", 11.0, 200},  {"Y", "24", "rsy", 0.0, 50},       {"XY", "25", "rsxy", 0.0, 70},
        {"MT", "26", "rsmt", 0.0, 10},
    };
    const char* const fams[] = {"fa", "fb", "fa", "fc", "fb", "fa", "fa", "fc", "fc", "fb"};
    const char* const rows[] = {"3 1 2 1 2", "1 0 0 1 1", "1 0 0 1 0", "1 0 0 1 -9", "2 0 0 2 2",
                                "2 0 0 2 1", "4 1 2 2 2", "2 0 0 2 1", "3 1 2 0 2", "3 1 2 2 2"};
    const char* const pairs[][2] = {{"A", "G"}, {"C", "T"}, {"G", "T"}, {"A", "C"}};
    std::mt19937 rng(seed);
    plink_data out;
    const std::size_t nv = std::size(variants), np = std::size(rows);
    std::vector<std::vector<int>> calls(nv, std::vector<int>(np));  // 0 hom 1, 1 missing, 2 het, 3 hom 2
    for (std::size_t v = 0; v < nv; ++v) {
        for (std::size_t i = 0; i < np; ++i)
            calls[v][i] = v == 2 ? 1 : v == 3 ? (i % 2 ? 0 : 1) : static_cast<int>(rng() % 4);  // rs3: none; rs4: one allele
        const bool het_ok = variants[v].chrom != std::string("Y") && variants[v].chrom != std::string("MT");
        for (int& c : calls[v])
            if (!het_ok && c == 2)
                c = 3;
        out.map += std::string(variants[v].chrom) + " " + variants[v].id + " " + std::to_string(variants[v].cm) +
                   " " + std::to_string(variants[v].bp) + "\n";
        const auto* p = pairs[v % 4];
        out.bim += std::string(variants[v].bim_chrom) + "\t" + variants[v].id + "\t" +
                   std::to_string(variants[v].cm) + "\t" + std::to_string(variants[v].bp) + "\t" +
                   (v == 2 ? "0" : p[0]) + "\t" + (v == 2 ? "0" : p[1]) + "\n";
    }
    out.bed = "\x6c\x1b\x01";
    for (std::size_t v = 0; v < nv; ++v)
        for (std::size_t i = 0; i < np; i += 4) {
            int byte = 0;
            for (std::size_t k = 0; k < 4 && i + k < np; ++k)
                byte |= calls[v][i + k] << (2 * k);
            out.bed += static_cast<char>(byte);
        }
    for (std::size_t i = 0; i < np; ++i) {
        const std::string head = std::string(fams[i]) + " " + rows[i];
        out.fam += head + "\n";
        out.ped += head;
        for (std::size_t v = 0; v < nv; ++v) {
            const auto* p = pairs[v % 4];
            const int c = calls[v][i];
            const bool flip = rng() % 2;  // a heterozygote's alleles in either order
            out.ped += c == 1   ? "  0 0"
                       : c == 0 ? std::string("  ") + p[0] + " " + p[0]
                       : c == 3 ? std::string("  ") + p[1] + " " + p[1]
                                : std::string("  ") + p[flip] + " " + p[!flip];
        }
        out.ped += "\n";
    }
    return out;
}

TEST(ReadPlink, TextAndBinaryGiveOneStudy)
{
    scratch d;
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        const plink_data p = random_plink(seed);
        d.write("t.ped", p.ped);
        d.write("t.map", p.map);
        d.write("b.fam", p.fam);
        d.write("b.bim", p.bim);
        d.write("b.bed", p.bed);
        study text = read_plink_text(d.dir + "/t");
        study binary = read_plink_binary(d.dir + "/b");
        EXPECT_EQ(binary.pedigree_file, d.dir + "/b.fam");
        binary.pedigree_file = text.pedigree_file;
        EXPECT_EQ(dump(binary), dump(text));

        ASSERT_EQ(text.markers.size(), 10u);
        const chrom_kind kinds[] = {chrom_kind::autosome, chrom_kind::autosome, chrom_kind::autosome,
                                    chrom_kind::autosome, chrom_kind::autosome, chrom_kind::x_linked,
                                    chrom_kind::x_linked, chrom_kind::excluded, chrom_kind::x_linked,
                                    chrom_kind::excluded};
        for (std::size_t m = 0; m < 10; ++m)
            EXPECT_EQ(text.markers[m].kind, kinds[m]) << text.markers[m].name;
        EXPECT_TRUE(text.markers[2].alleles.empty());
        EXPECT_EQ(text.markers[3].alleles, std::vector<std::string>{"A"});
        ASSERT_EQ(text.families.size(), 3u);
        EXPECT_EQ(text.families[0].id, "fa");
        EXPECT_EQ(text.families[0].persons[0].father, 1);  // parents listed after the child
        EXPECT_EQ(text.families[0].persons[0].mother, 2);
    }
}

TEST(ReadPlink, FilesMadeByPlinkReadLikeTheText)
{
    if (std::system("command -v plink1.9 >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "plink1.9 is not installed";
    scratch d;
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        const plink_data p = random_plink(seed);
        d.write("t.ped", p.ped);
        d.write("t.map", p.map);
        const study text = read_plink_text(d.dir + "/t");
        const std::string cmd = "cd " + d.dir + " && plink1.9 --file t --make-bed --keep-allele-order --allow-no-sex "
                                                "--out made >/dev/null 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        study made = read_plink_binary(d.dir + "/made");
        made.pedigree_file = text.pedigree_file;
        EXPECT_EQ(dump(made), dump(text));
    }
}

TEST(ReadPlink, RejectsBadInputWithFileLineAndReason)
{
    const plink_data good = random_plink(7);
    struct bad {
        const char* name;
        std::string plink_data::*file;
        std::string text;
        const char* error;
    } const cases[] = {
        {"magic", &plink_data::bed, "\x6c\x1c\x01", "b.bed 0: not a PLINK .bed file (its first bytes are not 6c 1b)"},
        {"individual-major", &plink_data::bed, std::string("\x6c\x1b\x00", 3),
         "b.bed 0: individual-major .bed files are not read; rewrite it with plink --make-bed"},
        {"size", &plink_data::bed, good.bed.substr(0, good.bed.size() - 1),
         "b.bed 0: 32 bytes, expected 33 for 10 variants of 10 persons"},
        {"quantitative phenotype", &plink_data::fam, "f 1 0 0 1 2.7\n",
         "b.fam 1: family f person 1: phenotype '2.7' is not an affection status (2, 1, 0 or -9); quantitative "
         "phenotypes are not read"},
        {"fam columns", &plink_data::fam, "f 1 0 0 1\n", "b.fam 1: 5 columns, expected 6"},
        {"unknown parent", &plink_data::fam, "f 1 0 0 1 1\nf 2 1 3 2 1\n",
         "b.fam 2: family f person 2: mother 3 is not in the family"},
        {"cM all 0", &plink_data::bim, "1 a 0 1 A C\n22 b 0 1 A C\n22 c 0 5 A C\n",
         "b.bim 2: chromosome 22: every cM position is 0; a genetic map is needed: PLINK adds one, e.g. plink1.9 "
         "--bfile DIR/b --cm-map genetic_map_chr@.txt --make-bed --out DIR/b-cm"},
        {"cM all 0, text", &plink_data::map, "22 a 0 1\n22 b 0 2\n",
         "t.map 1: chromosome 22: every cM position is 0; a genetic map is needed: PLINK adds one, e.g. plink1.9 "
         "--file DIR/t --cm-map genetic_map_chr@.txt --recode --out DIR/t-cm"},
        {"empty fam", &plink_data::fam, "\n  \n", "b.fam 0: empty: no persons"},
        {"empty bim", &plink_data::bim, "", "b.bim 0: empty: no variants"},
        {"empty bed", &plink_data::bed, "", "b.bed 0: empty: no genotypes"},
        {"empty ped", &plink_data::ped, "", "t.ped 0: empty: no persons"},
        {"empty map", &plink_data::map, "\n", "t.map 0: empty: no variants"},
        {"cM not a number", &plink_data::bim, "1 a 0.1 1 A C\n1 b NA 1 A C\n",
         "b.bim 2: position 'NA' of variant b is not a number"},
        {"bim alleles equal", &plink_data::bim, "1 a 0.1 1 C C\n", "b.bim 1: variant a: both alleles are C"},
        {"chromosome that is a path", &plink_data::bim, "1 a 0.1 1 A C\n/../../x b 0.2 1 A C\n",
         "b.bim 2: chromosome '/../../x' of variant b: a chromosome name is letters, digits, _, - and . (it names a "
         "folder), not . or .."},
        {"variant twice", &plink_data::map, "1 a 0.1 1\n1 b 0.2 2\n1 a 0.3 3\n",
         "t.map 3: variant a is listed twice (first on line 1)"},
        {"ped columns", &plink_data::ped, "f 1 0 0 1 1 A A\n", "t.ped 1: family f person 1: 8 columns, expected 26"},
        {"ped half-missing", &plink_data::ped, "f 1 0 0 1 1 A 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n",
         "t.ped 1: family f person 1: variant rs1: genotype A 0 has one allele missing"},
    };
    for (const bad& c : cases) {
        SCOPED_TRACE(c.name);
        plink_data p = good;
        p.*c.file = c.text;
        scratch d;
        d.write("t.ped", p.ped);
        d.write("t.map", p.map);
        d.write("b.fam", p.fam);
        d.write("b.bim", p.bim);
        d.write("b.bed", p.bed);
        const bool text = c.file == &plink_data::ped || c.file == &plink_data::map;
        std::string error = c.error;
        for (std::size_t at; (at = error.find("DIR")) != std::string::npos;)
            error.replace(at, 3, d.dir);
        EXPECT_EQ(error_of([&] { text ? read_plink_text(d.dir + "/t") : read_plink_binary(d.dir + "/b"); }), error);
    }
}

}  // namespace
