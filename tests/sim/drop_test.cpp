#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <set>

#include "readers.h"
#include "sim.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
const std::string BIN = BRELL_SIM_BIN;

sim::options parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "brell-sim");
    return sim::parse_options(static_cast<int>(args.size()), args.data());
}

linkage::study read_dir(const fs::path& d, bool with_freq)
{
    return linkage::read_linkage({(d / "study.ped").string(), (d / "study.dat").string(), (d / "study.map").string(),
                                  with_freq ? (d / "study.freq").string() : ""});
}

// A simulated study of three generations, some parents ungenotyped and some
// genotypes lost, its map rewritten over two chromosomes out of column order.
struct study_dir {
    simtest::temp_dir dir{"drop"};
    study_dir()
    {
        const auto r = simtest::run_in(dir.path(), BIN + " --kindreds 30 --sibs 2-4 --length 5 --markers 6 --freqs "
                                                         "skewed --parents mixed --missing 0.1 --pedigree "
                                                         "grandparents --seed 5 --out st");
        EXPECT_EQ(r.status, 0) << r.err;
        std::ofstream(dir.path() / "st/study.map") << "CHR MARKER CM\n2 M1 40\n1 M2 0\n2 M3 0\n1 M4 75.5\n"
                                                      "chr2 M5 12\n1 M6 3\n";
    }
    std::string drop(const std::string& args) const
    {
        const auto r = simtest::run_in(dir.path(), BIN + " --drop -p st/study.ped -d st/study.dat -m st/study.map " +
                                                       args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
};

bool from(const linkage::genotype& parent, std::uint16_t a)
{
    return parent.missing() || parent.a == a || parent.b == a;
}

// Every replicate, read back, is the study with other genotypes: the same
// pedigrees, map, frequencies and missing genotypes, children carrying an
// allele of each parent, and founders' alleles (independent draws) following
// the frequencies: pooled over replicates, the chi-square over all markers
// (30 degrees of freedom) passes 83 about once in a million correct runs.
TEST(Drop, ReplicatesKeepAllButTheGenotypesWhichFollowMendelAndTheFrequencies)
{
    const study_dir st;
    EXPECT_EQ(st.drop("--replicates 150 --seed 11 --freq founders -o reps"),
              "Wrote 150 replicates (rep000001 to rep000150) of 30 families at 6 markers to reps\n");
    linkage::study orig = read_dir(st.dir.path() / "st", false);
    linkage::count_frequencies(orig, linkage::freq_from::founders);
    std::vector<std::vector<double>> count(orig.markers.size());
    std::size_t same = 0, present = 0;
    for (long r = 1; r <= 150; ++r) {
        const linkage::study s = read_dir(st.dir.path() / "reps" / sim::replicate_name(r), true);
        ASSERT_EQ(s.markers.size(), orig.markers.size());
        for (std::size_t m = 0; m < s.markers.size(); ++m) {
            const linkage::marker &a = s.markers[m], &b = orig.markers[m];
            ASSERT_EQ(std::tie(a.name, a.chrom, a.cm, a.alleles, a.freq),
                      std::tie(b.name, b.chrom, b.cm, b.alleles, b.freq));
            count[m].resize(a.alleles.size() + 1);
        }
        ASSERT_EQ(s.families.size(), orig.families.size());
        for (std::size_t fi = 0; fi < s.families.size(); ++fi) {
            const linkage::family &f = s.families[fi], &o = orig.families[fi];
            ASSERT_EQ(f.persons.size(), o.persons.size());
            for (std::size_t i = 0; i < f.persons.size(); ++i) {
                const linkage::person &p = f.persons[i], &q = o.persons[i];
                ASSERT_EQ(std::tie(f.id, p.id, p.father, p.mother, p.sex, p.affection),
                          std::tie(o.id, q.id, q.father, q.mother, q.sex, q.affection));
                for (std::size_t m = 0; m < s.markers.size(); ++m) {
                    const linkage::genotype g = f.at(m, i), h = o.at(m, i);
                    ASSERT_EQ(g.missing(), h.missing()) << r << ' ' << f.id << ' ' << p.id << ' ' << m;
                    if (g.missing())
                        continue;
                    ++present;
                    same += g.a == h.a && g.b == h.b;
                    if (p.father < 0) {
                        ++count[m][g.a];
                        ++count[m][g.b];
                        continue;
                    }
                    const linkage::genotype fa = f.at(m, p.father), mo = f.at(m, p.mother);
                    ASSERT_TRUE((from(fa, g.a) && from(mo, g.b)) || (from(fa, g.b) && from(mo, g.a)))
                        << r << ' ' << f.id << ' ' << p.id << ' ' << s.markers[m].name;
                }
            }
        }
    }
    EXPECT_LT(same, present / 2) << "genotypes were not dropped afresh";
    double chi2 = 0;
    for (std::size_t m = 0; m < count.size(); ++m) {
        double n = 0;
        for (double c : count[m])
            n += c;
        for (std::size_t k = 1; k < count[m].size(); ++k) {
            const double e = n * orig.markers[m].freq[k - 1];
            chi2 += (count[m][k] - e) * (count[m][k] - e) / e;
        }
    }
    EXPECT_LT(chi2, 83.0);
}

TEST(Drop, AReplicateIsTheSameBytesWhateverElseIsMadeWithIt)
{
    const study_dir st;
    st.drop("--replicates 6 --seed 7 -o all");
    EXPECT_EQ(st.drop("--first 3 --replicates 3 --seed=7 --out part"),
              "Wrote 3 replicates (rep000003 to rep000005) of 30 families at 6 markers to part\n");
    for (const char* f : {"study.ped", "study.dat", "study.map", "study.freq"})
        for (const char* rep : {"rep000003", "rep000004", "rep000005"})
            EXPECT_EQ(simtest::slurp(st.dir.path() / "all" / rep / f), simtest::slurp(st.dir.path() / "part" / rep / f))
                << rep << '/' << f;
    EXPECT_FALSE(fs::exists(st.dir.path() / "part/rep000002") || fs::exists(st.dir.path() / "part/rep000006"));
    EXPECT_NE(simtest::slurp(st.dir.path() / "all/rep000004/study.ped"),
              simtest::slurp(st.dir.path() / "all/rep000005/study.ped"));
}

// Two sibs' paternal alleles at markers with 200 alleles: whether they are the
// same one of the father's is read off the genotypes almost always.
TEST(Drop, MeiosesAreLinkedAlongEachChromosomeInMapOrderAndNotAcross)
{
    linkage::study s;
    for (const auto& [chrom, cm] : {std::pair{"1", 0.0}, {"2", 0.0}, {"1", 90.0}, {"1", 0.0}}) {
        linkage::marker mk{"M", chrom, linkage::chrom_kind::autosome, cm, {}, std::vector<double>(200, 1.0 / 200), 0};
        for (int a = 1; a <= 200; ++a)
            mk.alleles.push_back(std::to_string(a));
        s.markers.push_back(mk);
    }
    linkage::family f{"F", {{"1", -1, -1}, {"2", -1, -1}, {"3", 0, 1}, {"4", 0, 1}}, {}};
    f.geno.assign(s.markers.size() * f.persons.size(), {1, 2});
    s.families.push_back(f);
    auto shared = [](const linkage::family& g, std::size_t m) {
        const linkage::genotype fa = g.at(m, 0), x = g.at(m, 2), y = g.at(m, 3);
        auto paternal = [&](linkage::genotype c) { return c.a == fa.a || c.b == fa.a ? fa.a : fa.b; };
        return paternal(x) == paternal(y);
    };
    int agree[4] = {}, n = 0;
    for (long r = 1; r <= 2000; ++r) {
        const linkage::family g = sim::drop_replicate(s, 1, r).families[0];
        bool clear = true;
        for (std::size_t m = 0; m < 4; ++m) {
            const linkage::genotype fa = g.at(m, 0), mo = g.at(m, 1);
            clear = clear && fa.a != fa.b && fa.a != mo.a && fa.a != mo.b && fa.b != mo.a && fa.b != mo.b;
        }
        if (!clear)
            continue;
        ++n;
        for (std::size_t m = 1; m < 4; ++m)
            agree[m] += shared(g, 0) == shared(g, m);
    }
    ASSERT_GT(n, 1600);
    EXPECT_EQ(agree[3], n);  // 0 cM apart, though a marker at 90 cM comes between them in the files
    // Another chromosome and 90 cM (Haldane: 0.417 per meiosis, agreement 0.514) behave as unlinked.
    const double half = 0.5 * n, sd = std::sqrt(0.25 * n);
    EXPECT_NEAR(agree[1], half, 5 * sd);
    EXPECT_NEAR(agree[2], half, 5 * sd);
}

// A cluster of three SNPs whose haplotypes 111, 122 and 212 any genotype
// tells apart, and a SNP alone: founders carry the cluster's haplotypes at
// its frequencies (chi-square, 2 degrees of freedom, passes 27.6 about once
// in a million correct runs), each child one whole haplotype of each parent.
TEST(Drop, ClusterFounderGenesDrawWholeHaplotypes)
{
    linkage::study s;
    for (int m = 0; m < 4; ++m)
        s.markers.push_back({"M" + std::to_string(m + 1), "1", linkage::chrom_kind::autosome, 0.1 * m, {"1", "2"},
                             {0.5, 0.5}, 0});
    linkage::family f{"F", {{"1", -1, -1}, {"2", -1, -1}, {"3", 0, 1}, {"4", 0, 1}, {"5", 0, 1}}, {}};
    f.geno.assign(s.markers.size() * f.persons.size(), {1, 2});
    s.families.push_back(f);
    linkage::cluster_set cs;
    cs.list.push_back({{0, 1, 2}, {1, 1, 1, 1, 2, 2, 2, 1, 2}, {0.5, 0.3, 0.2}});
    linkage::index_clusters(s, cs);

    // The pair of haplotypes a person's genotypes show.
    auto pair_of = [](const linkage::family& g, int i) {
        const std::string key = std::to_string(g.at(0, i).a) + std::to_string(g.at(0, i).b) +
                                std::to_string(g.at(1, i).a) + std::to_string(g.at(1, i).b) +
                                std::to_string(g.at(2, i).a) + std::to_string(g.at(2, i).b);
        const std::pair<const char*, std::pair<int, int>> pairs[] = {
            {"111111", {0, 0}}, {"112222", {1, 1}}, {"221122", {2, 2}},
            {"111212", {0, 1}}, {"121112", {0, 2}}, {"121222", {1, 2}}};
        for (const auto& [k, p] : pairs)
            if (key == k)
                return p;
        ADD_FAILURE() << "no pair of the cluster's haplotypes shows " << key;
        return std::pair{0, 0};
    };
    const int N = 2000;
    double count[3] = {};
    for (long r = 1; r <= N; ++r) {
        const linkage::family g = sim::drop_replicate(s, cs, 7, r).families[0];
        const auto fa = pair_of(g, 0), mo = pair_of(g, 1);
        for (int h : {fa.first, fa.second, mo.first, mo.second})
            ++count[h];
        for (int c = 2; c < 5; ++c) {
            const auto [x, y] = pair_of(g, c);
            auto of = [](int h, std::pair<int, int> p) { return h == p.first || h == p.second; };
            EXPECT_TRUE((of(x, fa) && of(y, mo)) || (of(y, fa) && of(x, mo))) << "replicate " << r;
        }
    }
    double chi2 = 0;
    for (int h = 0; h < 3; ++h)
        chi2 += std::pow(count[h] - 4.0 * N * cs.list[0].freq[h], 2) / (4.0 * N * cs.list[0].freq[h]);
    EXPECT_LT(chi2, 27.6);
}

TEST(Drop, CommandLineRefusals)
{
    EXPECT_EQ(parse({"--drop", "-p", "a", "-d", "b", "-m", "c", "-f", "e", "--replicates", "1"}).drop.files.freq, "e");
    EXPECT_EQ(parse({"--drop", "--file", "y", "--replicates", "1"}).drop.format, sim::study_format::plink_text);
    const std::pair<std::vector<const char*>, const char*> cases[] = {
        {{"--drop", "--bfile", "x", "--replicates", "2", "--markers", "4"},
         "--markers does not go with --drop: the replicates keep the study's own pedigrees, map and frequencies"},
        {{"--plink", "--drop", "--bfile", "x", "--replicates", "2"},
         "--plink does not go with --drop: the replicates keep the study's own pedigrees, map and frequencies"},
        {{"--kindreds", "5", "-p", "a"}, "-p needs --drop: without it a study is simulated, not read"},
        {{"--drop", "-p", "a", "-d", "b", "--replicates", "2"},
         "--drop: a LINKAGE-style study is -p PED -d DAT -m MAP [-f FREQ]: -m is missing"},
        {{"--drop", "--replicates", "2"},
         "--drop: no study given: -p PED -d DAT -m MAP [-f FREQ], --bfile PREFIX or --file PREFIX"},
        {{"--drop", "--bfile", "x", "-f", "a.freq", "--replicates", "2"},
         "--drop: -f does not go with --bfile: a PLINK fileset is the whole study, its allele frequencies counted "
         "from its genotypes"},
        {{"--drop", "--bfile", "x", "--file", "y", "--replicates", "2"},
         "--drop: give one PLINK fileset (--bfile or --file)"},
        {{"--drop", "--bfile", "x"}, "--drop needs --replicates N"},
        {{"--drop", "--bfile", "x", "--replicates", "2", "--first", "999999999"},
         "--first 999999999 --replicates 2: replicate numbers go beyond 999999999"},
        {{"--drop=yes"}, "option --drop takes no value"},
        {{"--kindreds", "5", "--drop-inconsistent"}, "--drop-inconsistent needs --drop: without it a study is "
                                                     "simulated, not read"},
        {{"--drop", "--bfile", "x", "--replicates", "2", "--max-bits", "31"},
         "--max-bits: '31' is not a whole number from 0 to 30"},
        {{"--drop", "--bfile", "x", "--replicates", "2", "--ld-r2", "1.5"},
         "--ld-r2: '1.5' is not a number from 0 to 1"},
        {{"--drop", "--bfile", "x", "--replicates", "2", "--write-clusters", "c"},
         "--write-clusters goes with --clusters or --ld-r2"},
        {{"--kindreds", "5", "--ld-r2", "0.1"}, "--ld-r2 needs --drop: without it a study is simulated, not read"},
        {{"--drop", "--bfile", "x", "--replicates", "2", "--ld", "4:3"},
         "--ld does not go with --drop: the replicates keep the study's own pedigrees, map and frequencies"},
    };
    for (const auto& [args, message] : cases) {
        try {
            parse(args);
            ADD_FAILURE() << message;
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), message);
        }
    }

    // A reader's fault names file and line; nothing is written.
    const study_dir st;
    std::ofstream(st.dir.path() / "st/study.dat") << "A disease\nQ M1\n";
    const auto r = simtest::run_in(st.dir.path(), BIN + " --drop -p st/study.ped -d st/study.dat -m st/study.map "
                                                        "--replicates 2 -o reps");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "brell-sim: st/study.dat line 2: unknown code 'Q' (expected A, M, T, C, S or E)\n");
    EXPECT_FALSE(fs::exists(st.dir.path() / "reps"));
}

// Which genotypes brell-ibd finds impossible decides which the replicates
// leave out: its list, its dropped sets and brell-sim's must be one, and
// brell-scan must drop them too to use the replicates.
TEST(Drop, InconsistentGenotypesAreThoseBrellIbdFinds)
{
    const study_dir st;
    // Parents made homozygous for one allele and a child for another, at
    // two markers of three families.
    std::istringstream in(simtest::slurp(st.dir.path() / "st/study.ped"));
    std::string ped;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        std::istringstream fs(line);
        for (std::string x; fs >> x;)
            f.push_back(x);
        if (f[0] == "F02" || f[0] == "F09" || f[0] == "F17")
            for (int m : {0, 4})
                if (f[1] == "5" || f[1] == "6" || f[1] == "7")
                    f[6 + 2 * m] = f[7 + 2 * m] = f[1] == "7" ? "2" : "1";
        for (const std::string& x : f)
            ped += x + ' ';
        ped.back() = '\n';
    }
    std::ofstream(st.dir.path() / "st/study.ped") << ped;
    const std::string study = " -p st/study.ped -d st/study.dat -m st/study.map";

    const auto ibd = simtest::run_in(st.dir.path(), std::string(BRELL_IBD_BIN) + study + " -o ibd");
    ASSERT_EQ(ibd.status, 1);
    const auto refused = simtest::run_in(st.dir.path(), BIN + " --drop" + study + " --replicates 2 -o reps");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(std::regex_replace(refused.err, std::regex("brell-sim:"), "brell-ibd:"), ibd.err);
    EXPECT_FALSE(fs::exists(st.dir.path() / "reps"));

    // The (family, marker) sets named in the list and in brell-ibd's own dropping.
    auto sets = [](const std::string& text, const char* tail) {
        std::set<std::pair<std::string, std::string>> out;
        const std::regex re(std::string("family (\\S+) person \\S+: marker (\\S+): Mendelian inconsistency") + tail);
        for (std::sregex_iterator m(text.begin(), text.end(), re), end; m != end; ++m)
            out.insert({(*m)[1], (*m)[2]});
        return out;
    };
    const auto listed = sets(ibd.err, "\n");
    ASSERT_GE(listed.size(), 3u) << ibd.err;
    const auto kept = simtest::run_in(st.dir.path(), std::string(BRELL_IBD_BIN) + study + " --drop-inconsistent -o ibd");
    ASSERT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(sets(kept.err, ": genotypes dropped"), listed);

    EXPECT_EQ(st.drop("--drop-inconsistent --replicates 4 --seed 3 -o reps"),
              "Wrote 4 replicates (rep000001 to rep000004) of 30 families at 6 markers to reps\n"
              "Missing in every replicate: " + std::to_string(listed.size()) +
                  " Mendelian-inconsistent genotype sets of the study\n");
    // brell-scan takes these replicates only for a scan that drops the same.
    const std::string scan = std::string(BRELL_SCAN_BIN) + study + " --replicates reps -o out --quiet";
    const auto other = simtest::run_in(st.dir.path(), scan);
    EXPECT_EQ(other.status, 1);
    EXPECT_NE(other.err.find("reps/rep000001: not a replicate of this study as analysed: the missing genotypes differ "
                             "(Mendelian-inconsistent genotype sets left missing: " +
                             std::to_string(listed.size()) + " in the replicate, 0 in the study as analysed)\n"),
              std::string::npos)
        << other.err;
    const auto same = simtest::run_in(st.dir.path(), scan + " --drop-inconsistent");
    EXPECT_EQ(same.status, 0) << same.err;
    const linkage::study orig = read_dir(st.dir.path() / "st", false);
    for (long r = 1; r <= 4; ++r) {
        const linkage::study s = read_dir(st.dir.path() / "reps" / sim::replicate_name(r), true);
        for (std::size_t fi = 0; fi < s.families.size(); ++fi)
            for (std::size_t m = 0; m < s.markers.size(); ++m)
                for (std::size_t i = 0; i < s.families[fi].persons.size(); ++i)
                    ASSERT_EQ(s.families[fi].at(m, i).missing(),
                              orig.families[fi].at(m, i).missing() ||
                                  listed.count({s.families[fi].id, s.markers[m].name}))
                        << r << ' ' << s.families[fi].id << ' ' << s.markers[m].name;
    }
}

// With LD clusters, a recombination inside a cluster in a family with typed
// parents is an inconsistency of the cluster: brell-sim lists and drops
// exactly brell-ibd's, at every marker of the cluster.
TEST(Drop, ClusterInconsistenciesAreThoseBrellIbdFinds)
{
    simtest::temp_dir d("drop-ld");
    ASSERT_EQ(simtest::run_in(d.path(), BIN + " --kindreds 40 --sibs 2-3 --length 9.75 --spacing 0.25 --freqs snp "
                                              "--parents mixed --ld 4:2 --seed 6")
                  .status,
              0);
    const std::string study = " -p study.ped -d study.dat -m study.map --ld-r2 0.1";
    const auto ibd = simtest::run_in(d.path(), std::string(BRELL_IBD_BIN) + study + " -o ibd");
    ASSERT_EQ(ibd.status, 1);
    const auto refused = simtest::run_in(d.path(), BIN + " --drop" + study + " --replicates 2 -o reps");
    EXPECT_EQ(std::regex_replace(refused.err, std::regex("brell-sim:"), "brell-ibd:"), ibd.err);

    // (family, markers) named, as listed and as brell-ibd drops them.
    auto sets = [](const std::string& text, const char* tail) {
        std::set<std::pair<std::string, std::string>> out;
        const std::regex re(std::string("family (\\S+) person \\S+: markers (\\S+): Mendelian inconsistency") + tail);
        for (std::sregex_iterator m(text.begin(), text.end(), re), end; m != end; ++m)
            out.insert({(*m)[1], (*m)[2]});
        return out;
    };
    const auto listed = sets(ibd.err, "\n");
    ASSERT_GE(listed.size(), 2u) << ibd.err;
    const auto kept = simtest::run_in(d.path(), std::string(BRELL_IBD_BIN) + study + " --drop-inconsistent -o ibd");
    ASSERT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(sets(kept.err, ": genotypes dropped"), listed);

    const auto made =
        simtest::run_in(d.path(), BIN + " --drop" + study + " --drop-inconsistent --replicates 2 -o reps");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find("Missing in every replicate: " + std::to_string(listed.size()) + " "), std::string::npos);
    const linkage::study orig = read_dir(d.path(), false);
    const linkage::study rep = read_dir(d.path() / "reps/rep000001", true);
    for (std::size_t fi = 0; fi < rep.families.size(); ++fi)
        for (std::size_t m = 0; m < rep.markers.size(); ++m) {
            bool gone = false;
            for (const auto& [fam, names] : listed)
                gone = gone || (fam == rep.families[fi].id &&
                                ("," + names + ",").find("," + rep.markers[m].name + ",") != std::string::npos);
            for (std::size_t i = 0; i < rep.families[fi].persons.size(); ++i)
                ASSERT_EQ(rep.families[fi].at(m, i).missing(), orig.families[fi].at(m, i).missing() || gone)
                    << rep.families[fi].id << ' ' << rep.markers[m].name;
        }
}

// A folder of replicates holds one study's, of one seed: anything else is
// refused before a replicate is written, and a folder that holds more than
// this run wrote says so.
TEST(Drop, AFolderHoldsReplicatesOfOneStudyAndSeed)
{
    const study_dir st;
    st.drop("--replicates 3 --seed 7 -o reps");
    const auto manifest = simtest::slurp(st.dir.path() / "reps/rep000002/manifest.tsv");
    EXPECT_EQ(manifest.substr(manifest.find("seed")), "seed\t7\nreplicate\t2\nfamilies\t30\n" +
                                                          manifest.substr(manifest.find("persons")));
    EXPECT_EQ(st.drop("--first 3 --replicates 4 --seed 7 -o reps"),
              "Wrote 4 replicates (rep000003 to rep000006) of 30 families at 6 markers to reps\n"
              "reps now holds 6 replicates of this study and seed (rep000001 to rep000006), all of which "
              "brell-scan --replicates uses\n");

    std::ofstream(st.dir.path() / "other.map") << "CHR MARKER CM\n2 M1 40\n1 M2 0\n2 M3 0\n1 M4 75.5\n"
                                                  "chr2 M5 12\n1 M6 4\n";
    fs::create_directories(st.dir.path() / "bare/rep000001");
    std::ofstream(st.dir.path() / "bare/rep000001/study.ped") << "";
    const std::pair<std::string, std::string> refused[] = {
        {"--seed 8 -o reps", "brell-sim: reps holds replicates made with seed 7 (reps/rep000001), not 8"},
        {"--seed 7 -o reps --freq founders",
         "brell-sim: reps holds replicates of another study (reps/rep000001: the allele frequencies differ)"},
        {"--seed 7 -o bare", "brell-sim: bare holds bare/rep000001 without a manifest.tsv"},
    };
    const auto before = simtest::slurp(st.dir.path() / "reps/rep000001/study.ped");
    for (const auto& [args, message] : refused) {
        SCOPED_TRACE(args);
        const auto r = simtest::run_in(st.dir.path(), BIN + " --drop -p st/study.ped -d st/study.dat -m st/study.map "
                                                            "--replicates 2 " + args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.substr(0, message.size()), message) << r.err;
    }
    const auto other = simtest::run_in(st.dir.path(), BIN + " --drop -p st/study.ped -d st/study.dat -m other.map "
                                                            "--replicates 2 --seed 7 -o reps");
    EXPECT_EQ(other.err, "brell-sim: reps holds replicates of another study (reps/rep000001: the map differs): choose "
                         "another folder or empty it\n");
    EXPECT_EQ(simtest::slurp(st.dir.path() / "reps/rep000001/study.ped"), before);
    EXPECT_FALSE(fs::exists(st.dir.path() / "reps/rep000007"));
}

}  // namespace
