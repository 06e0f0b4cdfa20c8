#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "sim.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

sim::options parse(std::vector<std::string> args)
{
    std::vector<const char*> argv{"brell-sim"};
    for (const auto& a : args)
        argv.push_back(a.c_str());
    return sim::parse_options(static_cast<int>(argv.size()), argv.data());
}

std::vector<std::vector<std::string>> rows_of(const fs::path& file)
{
    std::istringstream in(simtest::slurp(file));
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        rows.emplace_back();
        for (std::string f; fields >> f;)
            rows.back().push_back(f);
    }
    return rows;
}

struct kindred_rows {
    std::string name;
    std::vector<std::string> nullprob, score;
};

TEST(StudyFiles, FollowTheLayoutBrellReads)
{
    simtest::temp_dir dir("layout");
    const sim::options opt = parse({"--kindreds", "25", "--sibs", "2-6", "--length", "7", "--spacing", "0.5", "--locus",
                                    "3.3", "--delta", "0.4", "--informativeness", "0.6", "--weights", "pairs", "--out",
                                    dir.str(), "--seed", "4"});
    const sim::study_summary sum = sim::write_study(opt);
    EXPECT_EQ(sum.positions, 15);
    EXPECT_EQ(sum.files, (std::vector<std::string>{"nullprobs.dat", "probs.dat", "weights.dat"}));

    std::vector<kindred_rows> fams;
    for (const auto& r : rows_of(dir.path() / "nullprobs.dat")) {
        ASSERT_EQ(r.size(), 3u);
        if (fams.empty() || fams.back().name != r[0])
            fams.push_back({r[0], {}, {}});
        fams.back().nullprob.push_back(r[1]);
        fams.back().score.push_back(r[2]);
    }
    ASSERT_EQ(fams.size(), 25u);
    std::vector<int> sibs;
    for (std::size_t i = 0; i < fams.size(); ++i) {
        EXPECT_EQ(fams[i].name, sim::kindred_name(static_cast<long>(i), 25));
        // Each block is one sibship size's null distribution, written
        // exactly; the lowest score tells the size.
        int s = sim::MIN_SIBS;
        while (s <= sim::MAX_SIBS && std::to_string(sim::enumerate_sibship(s).score[0]) != fams[i].score[0])
            ++s;
        ASSERT_LE(s, sim::MAX_SIBS);
        const sim::sibship sh = sim::enumerate_sibship(s);
        sibs.push_back(s);
        double total = 0;
        for (std::size_t k = 0; k < sh.score.size(); ++k) {
            EXPECT_EQ(fams[i].score[k], std::to_string(sh.score[k]));
            EXPECT_EQ(std::stod(fams[i].nullprob[k]), static_cast<double>(sh.count[k]) / sh.nvectors);
            total += std::stod(fams[i].nullprob[k]);
        }
        EXPECT_EQ(total, 1.0);
    }
    EXPECT_GT(std::set<int>(sibs.begin(), sibs.end()).size(), 3u);

    const auto weights = rows_of(dir.path() / "weights.dat");
    ASSERT_EQ(weights.size(), fams.size());
    for (std::size_t i = 0; i < fams.size(); ++i) {
        ASSERT_EQ(weights[i].size(), 2u);
        EXPECT_EQ(weights[i][0], fams[i].name);
        EXPECT_EQ(std::stod(weights[i][1]), std::sqrt(sibs[i] * (sibs[i] - 1) / 2.0));
    }

    const auto probs = rows_of(dir.path() / "probs.dat");
    std::size_t row = 0, informative = 0, blocks = 0;
    for (const auto& f : fams)
        for (int p = 0; p < 15; ++p) {
            ASSERT_LE(row + f.score.size(), probs.size());
            int ones = 0, zeros = 0;
            bool is_null = true;
            for (std::size_t k = 0; k < f.score.size(); ++k, ++row) {
                const auto& r = probs[row];
                ASSERT_EQ(r.size(), 4u);
                EXPECT_EQ(r[0], f.name);
                EXPECT_EQ(r[1], sim::shortest(0.5 * p));
                EXPECT_EQ(r[2], f.score[k]);
                ones += r[3] == "1";
                zeros += r[3] == "0";
                is_null = is_null && r[3] == f.nullprob[k];
            }
            // A position is either fully observed or carries the null.
            const bool observed = ones == 1 && zeros + 1 == static_cast<int>(f.score.size());
            EXPECT_NE(observed, is_null) << f.name << " at " << 0.5 * p;
            informative += observed;
            ++blocks;
        }
    EXPECT_EQ(row, probs.size());
    EXPECT_NEAR(informative / double(blocks), 0.6, 0.1);
    EXPECT_TRUE(fs::exists(dir.path() / "weights.dat"));
    for (const auto& e : fs::directory_iterator(dir.path()))
        EXPECT_NE(e.path().extension(), ".tmp");
}

TEST(StudyFiles, AreTheSameBytesForTheSameSeed)
{
    simtest::temp_dir a("seed-a"), b("seed-b"), c("seed-c");
    const std::vector<std::string> common{"--kindreds", "40", "--sibs", "2-6", "--length", "30", "--locus", "12",
                                          "--delta",    "0.5", "--informativeness", "0.5"};
    auto with = [&](const simtest::temp_dir& d, const char* seed) {
        auto args = common;
        args.insert(args.end(), {"--out", d.str(), "--seed", seed});
        sim::write_study(parse(args));
    };
    with(a, "77");
    with(b, "77");
    with(c, "78");
    for (const char* f : {"nullprobs.dat", "probs.dat"})
        EXPECT_EQ(simtest::slurp(a.path() / f), simtest::slurp(b.path() / f)) << f;
    EXPECT_NE(simtest::slurp(a.path() / "probs.dat"), simtest::slurp(c.path() / "probs.dat"));
    // A seed's studies must stay the same from one version to the next.
    sim::rng r(1, 0, 0);
    EXPECT_EQ(r.next(), UINT64_C(6954377618861975509));
}

TEST(StudyFiles, AnEarlierStudysWeightsAreNotLeftBehind)
{
    simtest::temp_dir dir("stale");
    sim::write_study(parse({"--kindreds", "3", "--length", "2", "--weights", "2", "--out", dir.str()}));
    ASSERT_TRUE(fs::exists(dir.path() / "weights.dat"));
    const sim::study_summary sum = sim::write_study(parse({"--kindreds", "3", "--length", "2", "--out", dir.str()}));
    EXPECT_TRUE(sum.removed_stale_weights);
    EXPECT_FALSE(fs::exists(dir.path() / "weights.dat"));

    const auto r = simtest::run_in(dir.path(), std::string(BRELL_SIM_BIN) + " --kindreds 2 --weights 2 --out sub");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Wrote 2 kindreds at 101 positions to sub: nullprobs.dat probs.dat weights.dat\n");
    const auto again = simtest::run_in(dir.path(), std::string(BRELL_SIM_BIN) + " --kindreds 2 --out sub");
    EXPECT_EQ(again.out,
              "Removed sub/weights.dat of an earlier study (no --weights given)\n"
              "Wrote 2 kindreds at 101 positions to sub: nullprobs.dat probs.dat\n");
}

TEST(StudyFiles, AFailedRunLeavesTheEarlierStudyWhole)
{
    simtest::temp_dir dir("fail");
    sim::write_study(parse({"--kindreds", "3", "--length", "2", "--out", dir.str()}));
    const std::string before = simtest::slurp(dir.path() / "probs.dat");
    // A directory where a file should go makes the final rename fail.
    fs::remove(dir.path() / "nullprobs.dat");
    fs::create_directory(dir.path() / "nullprobs.dat");
    fs::create_directory(dir.path() / "nullprobs.dat" / "x");
    try {
        sim::write_study(parse({"--kindreds", "5", "--length", "4", "--seed", "2", "--out", dir.str()}));
        ADD_FAILURE() << "no error";
    } catch (const sim::error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("cannot write " + (dir.path() / "nullprobs.dat").string() + ": ", 0),
                  0u)
            << e.what();
    }
    EXPECT_EQ(simtest::slurp(dir.path() / "probs.dat"), before);
    for (const auto& e : fs::directory_iterator(dir.path()))
        EXPECT_NE(e.path().extension(), ".tmp") << e.path();
}

}  // namespace
