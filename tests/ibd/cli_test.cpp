// brell-ibd run as a program on small studies whose answers are known.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "test_util.h"

using simtest::run_in;
using simtest::slurp;
using simtest::temp_dir;

namespace {

const std::string IBD = BRELL_IBD_BIN;

void put(const temp_dir& d, const std::string& name, const std::string& text)
{
    std::ofstream(d.path() / name, std::ios::binary) << text;
}

// F1: genotyped parents and an affected sib pair sharing both alleles at M1
// and none at M2, both markers fully informative. F2 has one affected member.
void sib_pair_study(const temp_dir& d)
{
    put(d, "s.dat", "A disease\nM M1\nM M2\nE\n");
    put(d, "s.map", "CHR MARKER CM\n1 M2 10\n1 M1 0\n");
    put(d, "s.ped",
        "F1 1 0 0 1 1 1 2 5 6\n"
        "F1 2 0 0 2 1 3 4 7 8\n"
        "F1 3 1 2 1 2 1/3 5/7\n"
        "F1 4 1 2 2 2 1 3 6 8\n"
        "F2 1 0 0 1 2 1 1 5 5\n"
        "F2 2 0 0 2 1 0 0 0 0\n"
        "F2 3 1 2 1 1 1 1 5 6\n");
}

TEST(IbdCli, KnownSharingOfAnAffectedSibPair)
{
    temp_dir d("ibd-asp");
    sib_pair_study(d);
    auto r = run_in(d.path(), IBD + " -p s.ped -d s.dat -m s.map -o out --weights pairs");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("family F2: 1 affected, fewer than two: left out"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("1 used, 1 left out"), std::string::npos) << r.err;
    // S_all of a sib pair: 1, 5/4, 3/2 for IBD 0, 1, 2.
    EXPECT_EQ(slurp(d.path() / "out/chr1/nullprobs.dat"), "F1 0.25 1\nF1 0.5 1.25\nF1 0.25 1.5\n");
    EXPECT_EQ(slurp(d.path() / "out/chr1/probs.dat"),
              "F1 0 1 0\nF1 0 1.25 0\nF1 0 1.5 1\n"
              "F1 10 1 1\nF1 10 1.25 0\nF1 10 1.5 0\n");
    EXPECT_EQ(slurp(d.path() / "out/chr1/markers.tsv"), "position\tmarker\tinformation\n0\tM1\t1\n10\tM2\t1\n");
    EXPECT_EQ(slurp(d.path() / "out/chr1/weights.dat"), "F1 1\n");
    // brell reads the folder as it stands.
    auto b = run_in(d.path() / "out/chr1", std::string(BRELL_BIN) + " LIN");
    EXPECT_EQ(b.status, 0) << b.out;
}

// A family whose vectors cannot be computed within --max-memory is left out
// and named like one beyond --max-bits; the others are computed as ever.
TEST(IbdCli, FamilyBeyondTheMemoryIsLeftOut)
{
    temp_dir d("ibd-memory");
    sib_pair_study(d);
    std::string big = "F3 1 0 0 1 1 0 0 0 0\nF3 2 0 0 2 1 0 0 0 0\n";
    for (int i = 3; i < 12; ++i)  // nine affected sibs: 16 bits
        big += "F3 " + std::to_string(i) + " 1 2 1 2 1 2 5 6\n";
    put(d, "s.ped", slurp(d.path() / "s.ped") + big);
    auto all = run_in(d.path(), IBD + " -p s.ped -d s.dat -m s.map -o all");
    ASSERT_EQ(all.status, 0) << all.err;
    auto r = run_in(d.path(), IBD + " -p s.ped -d s.dat -m s.map -o out --max-memory 0.001");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("brell-ibd: family F3: 16 bits need 0.004 GiB, above --max-memory 0.001: left out\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("3 families: 1 used, 2 left out"), std::string::npos) << r.err;
    const std::string kept = slurp(d.path() / "out/chr1/probs.dat");
    EXPECT_EQ(slurp(d.path() / "all/chr1/probs.dat").substr(0, kept.size()), kept);
}

// With a step, positions between markers carry some of the markers'
// information, and S_pairs counts shared alleles.
TEST(IbdCli, StepPositionsAndPairsScore)
{
    temp_dir d("ibd-step");
    sib_pair_study(d);
    auto r = run_in(d.path(), IBD + " -p s.ped -d s.dat -m s.map -o out --step 2.5 --score pairs --quiet");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("used"), std::string::npos) << "quiet prints no summary";
    EXPECT_EQ(slurp(d.path() / "out/chr1/nullprobs.dat"), "F1 0.25 0\nF1 0.5 1\nF1 0.25 2\n");
    std::istringstream tsv(slurp(d.path() / "out/chr1/markers.tsv"));
    std::string line;
    std::getline(tsv, line);
    std::vector<double> pos, info;
    std::vector<std::string> names;
    while (std::getline(tsv, line)) {
        std::istringstream f(line);
        std::string p, m, i;
        std::getline(f, p, '\t');
        std::getline(f, m, '\t');
        std::getline(f, i, '\t');
        pos.push_back(std::stod(p));
        names.push_back(m);
        info.push_back(std::stod(i));
    }
    ASSERT_EQ(pos, (std::vector<double>{0, 2.5, 5, 7.5, 10}));
    EXPECT_EQ(names, (std::vector<std::string>{"M1", "", "", "", "M2"}));
    EXPECT_EQ(info.front(), 1.0);
    EXPECT_EQ(info.back(), 1.0);
    // Halfway between sure IBD 2 and sure IBD 0 every inheritance vector
    // needs as many recombinations on both sides: the posterior is the prior
    // again. Nearer a marker there is some information.
    EXPECT_EQ(info[2], 0.0);
    for (double x : {info[1], info[3]}) {
        EXPECT_GT(x, 0.05);
        EXPECT_LT(x, 1.0);
    }
    EXPECT_NEAR(info[1], info[3], 1e-12);
}

// Markers within 1e-9 cM of each other are one position, named together,
// with all their genotypes; brell reads the folder. A map in base pairs
// draws a warning.
TEST(IbdCli, MarkersAtOnePositionScanEndToEnd)
{
    temp_dir d("ibd-same");
    put(d, "s.dat", "A d\nM M1\nM M2\nM M3\nM M4\nM M5\nE\n");
    put(d, "s.map", "1 M1 5\n1 M2 5.0000000001\n1 M3 10\n2 M4 2500\n2 M5 0\n");
    put(d, "s.ped",
        "F1 1 0 0 1 1 1 2 1 2 1 2 1 2 1 2\n"
        "F1 2 0 0 2 1 3 4 3 4 3 4 3 4 3 4\n"
        "F1 3 1 2 1 2 1 3 1 3 1 3 1 3 1 3\n"
        "F1 4 1 2 2 2 1 3 1 3 2 4 1 3 1 3\n");
    auto r = run_in(d.path(), IBD + " -p s.ped -d s.dat -m s.map -o out --step 2.5");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("brell-ibd: chromosome 2: the markers span 2500 cM: do the positions look like base pairs?"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("chromosome 1: the markers span"), std::string::npos) << r.err;
    EXPECT_EQ(slurp(d.path() / "out/chr1/markers.tsv"),
              "position\tmarker\tinformation\n5\tM1,M2\t1\n7.5\t\t0\n10\tM3\t1\n");
    // One block of rows per position, each outcome once.
    std::istringstream probs(slurp(d.path() / "out/chr1/probs.dat"));
    std::string rows;
    for (std::string id, pos, score, p; probs >> id >> pos >> score >> p;)
        rows += pos + ":" + score + " ";
    EXPECT_EQ(rows, "5:1 5:1.25 5:1.5 7.5:1 7.5:1.25 7.5:1.5 10:1 10:1.25 10:1.5 ");
    for (const char* chr : {"out/chr1", "out/chr2"}) {
        auto b = run_in(d.path() / chr, std::string(BRELL_BIN) + " LIN");
        EXPECT_EQ(b.status, 0) << chr << ": " << b.out;
    }
    EXPECT_EQ(std::count(std::istreambuf_iterator<char>(std::ifstream(d.path() / "out/chr1/brell.out").rdbuf()),
                         std::istreambuf_iterator<char>(), '\n'),
              3);
}

// S_all past 28 affected members is computed; a family whose S_all is
// beyond the doubles is left out and named like the others; an identifier
// with a NUL byte stays whole in the messages.
TEST(IbdCli, ManyAffectedMembersAndIdentifiersWithNul)
{
    temp_dir d("ibd-many");
    put(d, "s.dat", "A d\nM M1\nE\n");
    put(d, "s.map", "1 M1 0\n");
    std::string ped = "A 1 0 0 1 1 1 2\nA 2 0 0 2 1 3 4\nA 3 1 2 1 2 1 3\nA 4 1 2 2 2 2 4\n";
    for (int i = 0; i < 28; ++i)
        ped += "A f" + std::to_string(i) + " 0 0 1 2 1 1\n";
    for (int i = 0; i < 2000; ++i) {
        const std::string t = std::to_string(i);
        ped += "B p" + t + " 0 0 1 2 0 0\nB q" + t + " 0 0 2 2 0 0\nB c" + t + " p" + t + " q" + t + " 1 2 0 0\n";
    }
    ped += std::string("C\0x 1 0 0 1 2 0 0\n", 18);
    put(d, "s.ped", ped);
    auto r = run_in(d.path(), IBD + " -p s.ped -d s.dat -m s.map -o out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("brell-ibd: family B: 6000 affected, a score beyond the largest number: left out\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("brell-ibd: family C\\0x: 1 affected, fewer than two: left out\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("3 families: 1 used, 2 left out"), std::string::npos) << r.err;
    // The sib pair's S_all with the 28 others, who share nothing, is the pair's own.
    EXPECT_EQ(slurp(d.path() / "out/chr1/nullprobs.dat"), "A 0.25 1\nA 0.5 1.25\nA 0.25 1.5\n");
    EXPECT_EQ(slurp(d.path() / "out/chr1/probs.dat"), "A 0 1 1\nA 0 1.25 0\nA 0 1.5 0\n");
}

struct bad_input {
    const char* what;
    const char* ped;
    const char* message;  // after "brell-ibd: "
};

// Each fault: one message naming file and line, exit 1, no output folder.
TEST(IbdCli, BadStudiesAreRefusedAndLeaveNothing)
{
    const bad_input cases[] = {
        {"unknown father", "F1 3 9 2 1 2 1 3 5 7\nF1 2 0 0 2 1 3 4 7 8\n", "s.ped line 1: "},
        {"Mendelian inconsistency",
         "F1 1 0 0 1 1 1 2 5 6\nF1 2 0 0 2 1 3 4 7 8\nF1 3 1 2 1 2 1 3 5 7\nF1 4 1 2 2 2 9 9 6 8\n",
         "s.ped line 4: family F1 person 4: marker M1: Mendelian inconsistency"},
    };
    for (const bad_input& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir d("ibd-bad");
        sib_pair_study(d);
        put(d, "s.ped", c.ped);
        auto r = run_in(d.path(), IBD + " -p s.ped -d s.dat -m s.map -o out");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(std::string("brell-ibd: ") + c.message), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(d.path() / "out")) << "nothing may be left";
    }
}

TEST(IbdCli, DroppedInconsistencyIsNamedAndTheRestScored)
{
    temp_dir d("ibd-drop");
    sib_pair_study(d);
    put(d, "s.ped",
        "F1 1 0 0 1 1 1 2 5 6\nF1 2 0 0 2 1 3 4 7 8\nF1 3 1 2 1 2 1 3 5 7\nF1 4 1 2 2 2 9 9 6 8\n");
    auto r = run_in(d.path(), IBD + " -p s.ped -d s.dat -m s.map -o out --drop-inconsistent");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("brell-ibd: s.ped line 4: family F1 person 4: marker M1: Mendelian inconsistency: "
                         "genotypes dropped"),
              std::string::npos)
        << r.err;
    // M2 still says IBD 0; M1, dropped, only hears of it through recombination.
    const std::string probs = slurp(d.path() / "out/chr1/probs.dat");
    EXPECT_NE(probs.find("F1 10 1 1\n"), std::string::npos) << probs;
}

TEST(IbdCli, ThreadCountChangesNoByte)
{
    temp_dir d("ibd-threads");
    sib_pair_study(d);
    ASSERT_EQ(run_in(d.path(), IBD + " -p s.ped -d s.dat -m s.map -o one --step 1 --threads 1").status, 0);
    ASSERT_EQ(run_in(d.path(), IBD + " -p s.ped -d s.dat -m s.map -o three --step 1 --threads 3").status, 0);
    for (const char* f : {"nullprobs.dat", "probs.dat", "markers.tsv"})
        EXPECT_EQ(slurp(d.path() / "one/chr1" / f), slurp(d.path() / "three/chr1" / f)) << f;
}

// Markers in LD through the program: clusters of one marker are the markers
// alone, byte for byte; a run's clusters, written and read back, give its
// bytes again; a cluster is one position at its markers' mean, named by them
// all. A faulty cluster file is refused at its line, leaving nothing.
TEST(IbdCli, LdClusters)
{
    temp_dir d("ibd-ld");
    ASSERT_EQ(run_in(d.path(), std::string(BRELL_SIM_BIN) + " --kindreds 30 --sibs 2-3 --length 10 --spacing 0.25 "
                                                           "--freqs snp --parents missing --ld 4:3 --seed 3")
                  .status,
              0);
    const std::string study = IBD + " -p study.ped -d study.dat -m study.map -f study.freq --quiet --step 0.5 -o ";
    std::string ones;
    for (int m = 1; m <= 41; ++m)
        ones += "CLUSTER M" + std::to_string(m) + "\n";
    put(d, "ones.txt", ones);
    ASSERT_EQ(run_in(d.path(), study + "plain").status, 0);
    ASSERT_EQ(run_in(d.path(), study + "ones --clusters ones.txt").status, 0);
    ASSERT_EQ(run_in(d.path(), study + "found --ld-r2 0.1 --write-clusters found.txt").status, 0);
    ASSERT_EQ(run_in(d.path(), study + "again --clusters found.txt").status, 0);
    for (const char* f : {"nullprobs.dat", "probs.dat", "markers.tsv"}) {
        EXPECT_EQ(slurp(d.path() / "ones/chr1" / f), slurp(d.path() / "plain/chr1" / f)) << f;
        EXPECT_EQ(slurp(d.path() / "again/chr1" / f), slurp(d.path() / "found/chr1" / f)) << f;
    }
    // The first cluster found: its markers 0.25 cM apart from M(k), at their mean.
    std::istringstream clusters(slurp(d.path() / "found.txt"));
    std::string word, names;
    std::vector<int> ks;
    clusters >> word;
    ASSERT_EQ(word, "CLUSTER");
    while (clusters >> word && word != "HAPLO") {
        ks.push_back(std::stoi(word.substr(1)));
        names += (names.empty() ? "" : ",") + word;
    }
    ASSERT_GT(ks.size(), 1u);
    const double mean = 0.25 * (ks.front() + ks.back() - 2) / 2;
    std::ostringstream row;
    row << "\n" << mean << "\t" << names << "\t";
    EXPECT_NE(slurp(d.path() / "found/chr1/markers.tsv").find(row.str()), std::string::npos) << row.str();

    const struct {
        const char* file;
        const char* args;
        const char* message;
    } refused[] = {
        {"CLUSTER M1 M3\n", "",
         "c.txt line 1: markers M1 and M3 are not consecutive on chromosome 1: M2 lies between them"},
        {"\nCLUSTER M1 M2 M3 M4 M5 M6\n", "",
         "c.txt line 2: markers M1 to M6 span 1.25 cM, more than --ld-distance 1 cM"},
        {"CLUSTER M1 M2\nHAPLO 0.5 1 3\n", "", "c.txt line 2: marker M2 has no allele 3"},
        {"", " --ld-distance 2 --clusters ''", "--clusters takes a file name (see --help)"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.message);
        put(d, "c.txt", c.file);
        const auto r = run_in(d.path(), study + "bad --clusters c.txt" + c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("brell-ibd: ") + c.message + "\n");
        EXPECT_FALSE(std::filesystem::exists(d.path() / "bad"));
    }
    const auto alone = run_in(d.path(), study + "bad --write-clusters w.txt");
    EXPECT_EQ(alone.err, "brell-ibd: --write-clusters goes with --clusters or --ld-r2 (see --help)\n");
}

// On a terminal: families done per chromosome, the line cleared before the
// summary; never with --quiet, never in a file.
TEST(IbdCli, ProgressOnATerminalOnly)
{
    if (std::system("command -v script >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "script (util-linux) is not installed";
    temp_dir d("ibd-progress");
    sib_pair_study(d);
    const std::string run = IBD + " -p s.ped -d s.dat -m s.map -o out";
    auto tty = run_in(d.path(), "script -qec '" + run + "' /dev/null");
    ASSERT_EQ(tty.status, 0) << tty.out;
    EXPECT_NE(tty.out.find("\rbrell-ibd: chromosome 1 (1 of 1): 1 of 1 families\033[K"), std::string::npos) << tty.out;
    EXPECT_NE(tty.out.find("\r\033[Kbrell-ibd: 2 families: 1 used"), std::string::npos) << tty.out;
    EXPECT_EQ(run_in(d.path(), "script -qec '" + run + " --quiet' /dev/null").out.find("families"), std::string::npos);
    EXPECT_EQ(run_in(d.path(), run).err.find("\r"), std::string::npos);
}

TEST(IbdCli, CommandLineMistakes)
{
    temp_dir d("ibd-usage");
    const char* lines[] = {
        "",
        "-p s.ped -d s.dat -m s.map",
        "-p s.ped -d s.dat -o out",
        "--bfile a --file b -o out",
        "--bfile a -p s.ped -d s.dat -m s.map -o out",
        "--bfile a -o out --score some",
        "--bfile a -o out --step -1",
        "--bfile a -o out --step 0",
        "--bfile a -o out --step=0.0",
        "--bfile a -o out --max-bits 31",
        "--bfile a -o out --max-memory 0",
        "--bfile a -o out --max-memory 1e7",
        "--bfile a -o out --max-memory 2GiB",
        "--bfile a -o out --frobnicate",
    };
    for (const char* l : lines) {
        SCOPED_TRACE(l);
        auto r = run_in(d.path(), IBD + " " + l);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("(see --help)"), std::string::npos) << r.err;
    }
    auto h = run_in(d.path(), IBD + " --help");
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out.rfind("Usage: brell-ibd ", 0), 0u);
}

}  // namespace

namespace {

// The same SNP study from a .bed and from PLINK text gives the same bytes.
TEST(IbdCli, PlinkBinaryAndTextGiveTheSameFiles)
{
    if (std::system("command -v plink1.9 >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "plink1.9 is not installed (Debian package plink1.9)";
    temp_dir d("ibd-plink");
    ASSERT_EQ(run_in(d.path(), std::string(BRELL_SIM_BIN) +
                                   " --kindreds 12 --sibs 2-4 --parents mixed --freqs snp --missing 0.05 --plink"
                                   " --length 20 --spacing 2 --seed 4 --out .")
                  .status,
              0);
    auto t = run_in(d.path(), "plink1.9 --bfile study --recode --keep-allele-order --allow-no-sex --out text");
    ASSERT_EQ(t.status, 0) << t.out << t.err;
    ASSERT_EQ(run_in(d.path(), IBD + " --bfile study -o bin --step 1 --quiet").status, 0);
    auto r = run_in(d.path(), IBD + " --file text -o txt --step 1 --quiet");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* f : {"nullprobs.dat", "probs.dat", "markers.tsv"})
        EXPECT_EQ(slurp(d.path() / "bin/chr1" / f), slurp(d.path() / "txt/chr1" / f)) << f;
    EXPECT_FALSE(slurp(d.path() / "bin/chr1/probs.dat").empty());
}

}  // namespace
