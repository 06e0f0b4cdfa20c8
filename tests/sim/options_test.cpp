#include <gtest/gtest.h>

#include "sim.h"
#include "test_util.h"

namespace {

sim::options parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "brell-sim");
    return sim::parse_options(static_cast<int>(args.size()), args.data());
}

TEST(Options, EveryOptionIsRead)
{
    const sim::options o =
        parse({"--kindreds", "300", "--sibs=2:5,3-4,6:0.5", "--length", "250", "--spacing=0.5", "--locus", "+120.5",
               "--model", "LIN", "--delta", "-0.1", "--informativeness", "0.75", "--weights", "pairs", "--out",
               "study", "--seed", "18446744073709551615"});
    EXPECT_EQ(o.kindreds, 300);
    const std::array<double, 7> mix{0, 0, 5, 1, 1, 0, 0.5};
    EXPECT_EQ(o.sib_mix, mix);
    EXPECT_EQ(o.length, 250);
    EXPECT_EQ(o.spacing, 0.5);
    EXPECT_TRUE(o.has_locus);
    EXPECT_EQ(o.locus, 120.5);
    EXPECT_EQ(o.model, sim::model::linear);
    EXPECT_EQ(o.delta, -0.1);
    EXPECT_EQ(o.informativeness, 0.75);
    EXPECT_TRUE(o.write_weights && o.pair_weights);
    EXPECT_EQ(o.out_dir, "study");
    EXPECT_EQ(o.seed, UINT64_MAX);

    EXPECT_EQ(o.alleles, 0);

    const sim::options g = parse({"--markers=7", "--freqs", "skewed", "--parents", "mixed", "--missing", "0.05",
                                  "--pedigree", "grandparents"});
    EXPECT_EQ(g.alleles, 7);
    EXPECT_EQ(g.freqs, sim::allele_freqs::skewed);
    EXPECT_EQ(g.parents, sim::parents_mode::mixed);
    EXPECT_EQ(g.missing, 0.05);
    EXPECT_EQ(g.pedigree, sim::pedigree_shape::grandparents);
    EXPECT_FALSE(g.plink);
    const sim::options snp = parse({"--freqs", "snp", "--plink"});
    EXPECT_EQ(snp.alleles, 2);
    EXPECT_TRUE(snp.plink);

    const sim::options w = parse({"--weights", "2.5", "--locus", "none", "--help", "--bogus"});
    EXPECT_TRUE(w.help);
    EXPECT_EQ(w.weight_value, 2.5);
    EXPECT_FALSE(w.pair_weights);
}

TEST(Options, BadValuesAreNamed)
{
    struct bad_case {
        std::vector<const char*> args;
        const char* message;
    };
    const bad_case cases[] = {
        {{"--kindreds", "0"}, "--kindreds: '0' is not a whole number from 1 to 9999999"},
        {{"--kindreds", "12x"}, "--kindreds: '12x' is not a whole number from 1 to 9999999"},
        {{"--kindreds"}, "option --kindreds needs a value"},
        {{"--sibs", "7"},
         "--sibs: '7' is not a sibship size from 2 to 6, a range such as 2-6, or a list such as 2:5,3:3,4:2"},
        {{"--sibs", "1-3"},
         "--sibs: '1-3' is not a sibship size from 2 to 6, a range such as 2-6, or a list such as 2:5,3:3,4:2"},
        {{"--sibs", "4-2"},
         "--sibs: '4-2' is not a sibship size from 2 to 6, a range such as 2-6, or a list such as 2:5,3:3,4:2"},
        {{"--sibs", "2:-1"},
         "--sibs: '2:-1' is not a sibship size from 2 to 6, a range such as 2-6, or a list such as 2:5,3:3,4:2"},
        {{"--sibs", "2,"},
         "--sibs: '2,' is not a sibship size from 2 to 6, a range such as 2-6, or a list such as 2:5,3:3,4:2"},
        {{"--sibs", "2:0"}, "--sibs: '2:0' is not a mix with some size of non-zero frequency"},
        {{"--sibs", "2-4,3"}, "--sibs: size 3 is given twice in '2-4,3'"},
        {{"--length", "-1"}, "--length: '-1' is not a length of 0 cM or more"},
        {{"--length", "inf"}, "--length: 'inf' is not a length of 0 cM or more"},
        {{"--spacing", "0"}, "--spacing: '0' is not a distance above 0 cM"},
        {{"--spacing", "nan"}, "--spacing: 'nan' is not a distance above 0 cM"},
        {{"--spacing", "1e-6"}, "--spacing: a map of 100 cM at 1e-06 cM has too many positions (10000000 at most)"},
        {{"--locus", "x"}, "--locus: 'x' is not a position of 0 cM or more, or none"},
        {{"--locus", "100.5"}, "--locus: 100.5 cM lies beyond the map (0 to 100 cM)"},
        {{"--model", "quadratic"}, "--model: 'quadratic' is not exp or lin"},
        {{"--delta", "1e999"}, "--delta: '1e999' is not a finite number"},
        {{"--delta", "0.5"}, "--delta needs --locus: without a trait locus the study is null"},
        {{"--informativeness", "1.01"}, "--informativeness: '1.01' is not a probability from 0 to 1"},
        {{"--weights", "0"}, "--weights: '0' is not pairs or a weight above 0"},
        {{"--weights", "pair"}, "--weights: 'pair' is not pairs or a weight above 0"},
        {{"--out", ""}, "--out: '' is not a directory name"},
        {{"--seed", "-1"}, "--seed: '-1' is not a whole number from 0 to 18446744073709551615"},
        {{"--seed", "18446744073709551616"}, "--seed: '18446744073709551616' is not a whole number from 0 to 18446744073709551615"},
        {{"--markers", "1"}, "--markers: '1' is not a number of alleles from 2 to 255"},
        {{"--markers", "256"}, "--markers: '256' is not a number of alleles from 2 to 255"},
        {{"--markers", "2", "--freqs", "even"}, "--freqs: 'even' is not uniform, skewed or snp"},
        {{"--markers", "2", "--parents", "some"}, "--parents: 'some' is not genotyped, missing or mixed"},
        {{"--markers", "2", "--missing", "-0.1"}, "--missing: '-0.1' is not a probability from 0 to 1"},
        {{"--markers", "2", "--pedigree", "trio"}, "--pedigree: 'trio' is not sibship or grandparents"},
        {{"--markers", "3", "--freqs", "snp"}, "--freqs snp: SNPs have two alleles, not 3 (--markers 3)"},
        {{"--markers", "4", "--plink"}, "--plink: PLINK files hold two alleles per marker, not 4 (--markers 4)"},
        {{"--plink=yes"}, "option --plink takes no value"},
        {{"--freqs", "skewed"}, "--freqs needs --markers: without it no genotypes are written"},
        {{"--parents", "missing", "--seed", "3"}, "--parents needs --markers: without it no genotypes are written"},
        {{"--plink"}, "--plink needs --markers: without it no genotypes are written"},
        {{"--markers", "2", "--kindreds", "9999999", "--pedigree", "grandparents", "--sibs", "2-6"},
         "--markers: 9999999 kindreds of up to 12 persons at 101 positions are too many genotypes to hold "
         "(500000000 at most)"},
        {{"--markers", "2", "--ld", "4"}, "--ld: '4' is not BLOCK:HAPS, markers per block from 1 and ancestral "
                                          "haplotypes from 2, up to 1000"},
        {{"--markers", "2", "--ld", "4:1"}, "--ld: '4:1' is not BLOCK:HAPS, markers per block from 1 and ancestral "
                                            "haplotypes from 2, up to 1000"},
        {{"--ld", "4:3"}, "--ld needs --markers: without it no genotypes are written"},
        {{"--kindred", "3"}, "unknown option '--kindred'"},
        {{"300"}, "unexpected argument '300'"},
        {{"--"}, "unexpected argument '--'"},
    };
    for (const auto& c : cases) {
        try {
            parse(c.args);
            ADD_FAILURE() << c.args[0] << " accepted";
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(CommandLine, HelpAndErrorsReachTheUserWithTheirStatus)
{
    simtest::temp_dir dir("cli");
    const std::string bin = BRELL_SIM_BIN;

    auto r = simtest::run_in(dir.path(), bin + " --help");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, sim::usage_text());
    for (const char* opt : {"--kindreds", "--sibs", "--length", "--spacing", "--locus", "--model", "--delta",
                            "--informativeness", "--weights", "--out", "--seed", "--markers", "--freqs",
                            "--parents", "--missing", "--pedigree", "--plink", "--version"})
        EXPECT_NE(r.out.find(std::string("  ") + opt + " "), std::string::npos) << opt;

    r = simtest::run_in(dir.path(), bin + " --informativeness 2");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "brell-sim: --informativeness: '2' is not a probability from 0 to 1\n");
    EXPECT_EQ(r.out, "");

    r = simtest::run_in(dir.path(), bin + " --model lin --locus 50 --delta 0.8 --sibs 2-6");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the largest allowed delta is 0.7071067811865476\n"), std::string::npos) << r.err;
    // Refused before anything is written.
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    {
        std::ofstream blocker(dir.path() / "taken");
    }
    r = simtest::run_in(dir.path(), bin + " --out taken/study");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("brell-sim: cannot create directory taken/study: ", 0), 0u) << r.err;
}

}  // namespace
