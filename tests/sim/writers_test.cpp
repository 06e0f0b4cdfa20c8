#include <gtest/gtest.h>

#include "sim.h"
#include "test_util.h"
#include "writers.h"

namespace {

namespace fs = std::filesystem;

linkage::person someone(const char* id, int father, int mother, linkage::sex sex, linkage::status affection)
{
    linkage::person p;
    p.id = id;
    p.father = father;
    p.mother = mother;
    p.sex = sex;
    p.affection = affection;
    return p;
}

// Two families of 3 and 2 persons (5: the last .bed byte is padded) at two
// SNPs; with_triallelic adds a third marker that PLINK cannot hold.
linkage::study hand_study(bool with_triallelic)
{
    using linkage::sex;
    using linkage::status;
    linkage::study s;
    s.markers.resize(with_triallelic ? 3 : 2);
    s.markers[0] = {"rs1", "1", linkage::chrom_kind::autosome, 0.5, {"A", "C"}, {0.25, 0.75}, 2};
    s.markers[1] = {"rs2", "1", linkage::chrom_kind::autosome, 1.25, {"G", "T"}, {0.1, 0.9}, 3};
    if (with_triallelic)
        s.markers[2] = {"D7", "2", linkage::chrom_kind::autosome, 0, {"1", "2", "3"}, {0.5, 0.25, 0.25}, 4};
    linkage::family a{"fam1", {}, {}}, b{"fam2", {}, {}};
    a.persons = {someone("dad", -1, -1, sex::male, status::unaffected),
                 someone("mum", -1, -1, sex::female, status::unknown),
                 someone("kid", 0, 1, sex::unknown, status::affected)};
    b.persons = {someone("x", -1, -1, sex::female, status::affected), someone("y", -1, -1, sex::male, status::affected)};
    // Marker-major rows: dad mum kid, then x y.
    a.geno = {{1, 1}, {1, 2}, {2, 2}, {2, 2}, {0, 0}, {1, 2}};
    b.geno = {{0, 0}, {1, 2}, {1, 1}, {2, 2}};
    if (with_triallelic) {
        a.geno.insert(a.geno.end(), {{1, 3}, {2, 2}, {2, 3}});
        b.geno.insert(b.geno.end(), {{0, 0}, {3, 3}});
    }
    s.families = {a, b};
    return s;
}

TEST(Writers, LinkageFilesHoldThePedigreesGenotypesAndMap)
{
    simtest::temp_dir dir("linkage");
    const auto p = [&](const char* f) { return (dir.path() / f).string(); };
    linkage::write_linkage(hand_study(true), p("s.ped"), p("s.dat"), p("s.map"), p("s.freq"));
    EXPECT_EQ(simtest::slurp(p("s.ped")),
              "fam1 dad 0 0 1 1 A A T T 1 3\n"
              "fam1 mum 0 0 2 0 A C 0 0 2 2\n"
              "fam1 kid dad mum 0 2 C C G T 2 3\n"
              "fam2 x 0 0 2 2 0 0 G G 0 0\n"
              "fam2 y 0 0 1 2 A C T T 3 3\n");
    EXPECT_EQ(simtest::slurp(p("s.dat")), "A disease\nM rs1\nM rs2\nM D7\nE\n");
    EXPECT_EQ(simtest::slurp(p("s.map")), "CHR MARKER CM\n1 rs1 0.5\n1 rs2 1.25\n2 D7 0\n");
    EXPECT_EQ(simtest::slurp(p("s.freq")),
              "M rs1\nA A 0.25\nA C 0.75\nM rs2\nA G 0.1\nA T 0.9\nM D7\nA 1 0.5\nA 2 0.25\nA 3 0.25\n");

    linkage::write_linkage(hand_study(false), p("t.ped"), p("t.dat"), p("t.map"), "");
    EXPECT_FALSE(fs::exists(p("t.freq")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 7);
}

TEST(Writers, PlinkFilesetsDecodeByHand)
{
    simtest::temp_dir dir("plink");
    const std::string prefix = (dir.path() / "s").string();
    linkage::write_plink_binary(hand_study(false), prefix);
    const std::string fam = "fam1 dad 0 0 1 1\nfam1 mum 0 0 2 0\nfam1 kid dad mum 0 2\nfam2 x 0 0 2 2\nfam2 y 0 0 1 2\n";
    EXPECT_EQ(simtest::slurp(prefix + ".fam"), fam);
    EXPECT_EQ(simtest::slurp(prefix + ".bim"), "1 rs1 0.5 500000 A C\n1 rs2 1.25 1250000 G T\n");
    // rs1: dad 00 hom A, mum 10 het, kid 11 hom C, x 01 missing | y 10 het.
    // rs2: dad 11 hom T, mum 01, kid 10, x 00 | y 11.
    const std::string bed{'\x6c', '\x1b', '\x01', '\x78', '\x02', '\x27', '\x03'};
    EXPECT_EQ(simtest::slurp(prefix + ".bed"), bed);

    linkage::write_plink_text(hand_study(false), prefix);
    EXPECT_EQ(simtest::slurp(prefix + ".ped"),
              "fam1 dad 0 0 1 1 A A T T\nfam1 mum 0 0 2 0 A C 0 0\nfam1 kid dad mum 0 2 C C G T\n"
              "fam2 x 0 0 2 2 0 0 G G\nfam2 y 0 0 1 2 A C T T\n");
    EXPECT_EQ(simtest::slurp(prefix + ".map"), "1 rs1 0.5 500000\n1 rs2 1.25 1250000\n");

    simtest::temp_dir empty("plink-refused");
    const std::string refused = (empty.path() / "s").string();
    const std::pair<void (*)(const linkage::study&, const std::string&), const char*> writers[] = {
        {linkage::write_plink_binary, ".bed"}, {linkage::write_plink_text, ".ped"}};
    for (const auto& [write, first] : writers) {
        try {
            write(hand_study(true), refused);
            ADD_FAILURE() << "three alleles accepted";
        } catch (const linkage::write_error& e) {
            EXPECT_EQ(e.what(), "cannot write " + refused + first +
                                    ": marker D7 has 3 alleles, and PLINK files hold two at most");
        }
    }
    EXPECT_TRUE(fs::is_empty(empty.path()));
}

std::vector<std::string> fields(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string f; in >> f;)
        out.push_back(f);
    return out;
}

TEST(StudyFiles, GenotypesAreTheSameBytesForASeedAndLeaveTheOtherFilesAlone)
{
    simtest::temp_dir a("geno-a"), b("geno-b"), c("geno-c"), plain("geno-plain");
    const std::string common = " --kindreds 30 --sibs 2-6 --length 12 --locus 4 --delta 0.6"
                               " --informativeness 0.5 --pedigree grandparents --parents mixed --missing 0.1";
    const std::string bin = BRELL_SIM_BIN;
    const std::string geno = common + " --markers 2 --freqs snp --plink --out ";
    EXPECT_EQ(simtest::run_in(a.path(), bin + geno + "s --seed 5").status, 0);
    EXPECT_EQ(simtest::run_in(b.path(), bin + geno + "s --seed 5").status, 0);
    EXPECT_EQ(simtest::run_in(c.path(), bin + geno + "s --seed 6").status, 0);
    const auto r = simtest::run_in(plain.path(), bin + common.substr(0, common.find(" --pedigree")) + " --out s --seed 5");
    EXPECT_EQ(r.status, 0) << r.err;
    const char* files[] = {"study.ped", "study.dat", "study.map", "study.freq", "study.bed", "study.bim", "study.fam"};
    for (const char* f : files)
        EXPECT_EQ(simtest::slurp(a.path() / "s" / f), simtest::slurp(b.path() / "s" / f)) << f;
    EXPECT_NE(simtest::slurp(a.path() / "s/study.ped"), simtest::slurp(c.path() / "s/study.ped"));
    EXPECT_NE(simtest::slurp(a.path() / "s/study.freq"), simtest::slurp(c.path() / "s/study.freq"));
    for (const char* f : {"nullprobs.dat", "probs.dat"})
        EXPECT_EQ(simtest::slurp(a.path() / "s" / f), simtest::slurp(plain.path() / "s" / f)) << f;

    // 13 markers; a row per person: 6 columns and two alleles per marker.
    std::istringstream ped(simtest::slurp(a.path() / "s/study.ped"));
    long persons = 0;
    for (std::string line; std::getline(ped, line); ++persons)
        ASSERT_EQ(fields(line).size(), 6u + 2 * 13) << line;
    EXPECT_EQ(simtest::slurp(a.path() / "s/study.bed").size(), 3u + 13 * ((persons + 3) / 4));
    EXPECT_EQ(simtest::slurp(a.path() / "s/study.map").substr(0, 22), "CHR MARKER CM\n1 M1 0\n1");

    // A later study without genotypes takes the earlier one's files away.
    const auto again = simtest::run_in(a.path(), bin + " --kindreds 2 --length 1 --out s");
    EXPECT_EQ(again.out,
              "Removed s/study.ped s/study.dat s/study.map s/study.freq s/study.bed s/study.bim s/study.fam"
              " of an earlier study (not written by this run)\n"
              "Wrote 2 kindreds at 2 positions to s: nullprobs.dat probs.dat\n");
    for (const char* f : files)
        EXPECT_FALSE(fs::exists(a.path() / "s" / f)) << f;
}

}  // namespace
