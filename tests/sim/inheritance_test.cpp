#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "sim.h"

namespace {

std::array<sim::sibship, sim::MAX_SIBS + 1> all_tables()
{
    std::array<sim::sibship, sim::MAX_SIBS + 1> t;
    for (int s = sim::MIN_SIBS; s <= sim::MAX_SIBS; ++s)
        t[s] = sim::enumerate_sibship(s);
    return t;
}

sim::options parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "brell-sim");
    return sim::parse_options(static_cast<int>(args.size()), args.data());
}

// Allowance for a proportion estimated from n draws: 5 standard errors,
// which a correct simulator exceeds about once in two million checks.
double allowance(double p, double n) { return 5 * std::sqrt(p * (1 - p) / n); }

TEST(Haldane, RecombinationFractions)
{
    struct { double d, theta; } cases[] = {
        {0, 0}, {1, 0.5 * (1 - std::exp(-0.02))}, {50, 0.5 * (1 - std::exp(-1.0))}, {1e6, 0.5},
    };
    for (auto c : cases)
        EXPECT_NEAR(sim::haldane(c.d), c.theta, 1e-15) << c.d;
}

TEST(Recombine, FlipsEachMeiosisIndependentlyAtTheRecombinationFraction)
{
    const int nbits = 12, trials = 100000;
    const double theta = sim::haldane(10);  // 0.0906; d/100 would give 0.1
    sim::rng r(7, 0, 0);
    int flips[16] = {};
    int both01 = 0;
    for (int t = 0; t < trials; ++t) {
        const unsigned v = sim::recombine(0, nbits, theta, r);
        for (int b = 0; b < 16; ++b)
            flips[b] += (v >> b) & 1u;
        both01 += (v & 3u) == 3u;
    }
    for (int b = 0; b < nbits; ++b)
        EXPECT_NEAR(flips[b] / double(trials), theta, allowance(theta, trials)) << "bit " << b;
    for (int b = nbits; b < 16; ++b)
        EXPECT_EQ(flips[b], 0);
    EXPECT_NEAR(both01 / double(trials), theta * theta, allowance(theta * theta, trials));
    EXPECT_EQ(sim::recombine(0b1010, nbits, 0.0, r), 0b1010u);
}

TEST(Chain, NullStudyIsUniformAndRecombinesAlongTheMap)
{
    const auto tables = all_tables();
    const sim::options opt = parse({"--sibs", "6", "--length", "20", "--spacing", "1", "--seed", "11"});
    const sim::map m = sim::make_map(opt);
    ASSERT_EQ(m.pos.size(), 21u);
    const int kindreds = 4000, nbits = 12;
    double ones = 0, apart20 = 0, apart1 = 0;
    sim::kindred_sample ks;
    for (long i = 0; i < kindreds; ++i) {
        sim::simulate_kindred(opt, tables, m, i, ks);
        ones += std::popcount(ks.vector[10]);
        apart20 += std::popcount(ks.vector[0] ^ ks.vector[20]);
        apart1 += std::popcount(ks.vector[7] ^ ks.vector[8]);
    }
    const double n = double(kindreds) * nbits;
    EXPECT_NEAR(ones / n, 0.5, allowance(0.5, n));
    // Twenty steps of 1 cM compose into Haldane's fraction for 20 cM.
    EXPECT_NEAR(apart20 / n, sim::haldane(20), allowance(sim::haldane(20), n));
    EXPECT_NEAR(apart1 / n, sim::haldane(1), allowance(sim::haldane(1), n));
}

TEST(Chain, WalksOutFromALocusBetweenPositions)
{
    const auto tables = all_tables();
    const sim::options opt =
        parse({"--sibs", "6", "--length", "20", "--locus", "10.25", "--delta", "0.5", "--seed", "12"});
    const sim::map m = sim::make_map(opt);
    const int kindreds = 4000, nbits = 12;
    double across = 0, wide = 0, left = 0;
    sim::kindred_sample ks;
    for (long i = 0; i < kindreds; ++i) {
        sim::simulate_kindred(opt, tables, m, i, ks);
        across += std::popcount(ks.vector[10] ^ ks.vector[11]);
        wide += std::popcount(ks.vector[5] ^ ks.vector[15]);
        left += std::popcount(ks.vector[2] ^ ks.vector[3]);
    }
    const double n = double(kindreds) * nbits;
    // The two walks from 10.25 cM meet into a 1 cM step, and so on.
    EXPECT_NEAR(across / n, sim::haldane(1), allowance(sim::haldane(1), n));
    EXPECT_NEAR(wide / n, sim::haldane(10), allowance(sim::haldane(10), n));
    EXPECT_NEAR(left / n, sim::haldane(1), allowance(sim::haldane(1), n));
}

TEST(Chain, OutcomesAtTheLocusFollowTheTiltedDistribution)
{
    const auto tables = all_tables();
    struct locus_case {
        std::vector<const char*> args;
        sim::model model;
        double delta;
    };
    const locus_case cases[] = {
        {{"--sibs", "3", "--delta", "0.5"}, sim::model::exponential, 0.5},
        {{"--sibs", "3", "--delta", "1.2", "--model", "lin"}, sim::model::linear, 1.2},
        {{"--sibs", "5", "--delta", "-0.2", "--model", "lin"}, sim::model::linear, -0.2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[3]);
        auto args = c.args;
        for (const char* a : {"--length", "20", "--locus", "10", "--seed", "5"})
            args.push_back(a);
        const sim::options opt = parse(args);
        const sim::map m = sim::make_map(opt);
        const sim::sibship& sh = tables[opt.sib_mix[3] > 0 ? 3 : 5];
        const auto expected = sim::tilted_probs(sh, c.model, c.delta, 1.0);
        std::vector<double> seen(expected.size());
        const int kindreds = 20000;
        sim::kindred_sample ks;
        for (long i = 0; i < kindreds; ++i) {
            sim::simulate_kindred(opt, tables, m, i, ks);
            ++seen[static_cast<std::size_t>(ks.observed[10])];
        }
        for (std::size_t k = 0; k < seen.size(); ++k)
            EXPECT_NEAR(seen[k] / kindreds, expected[k], allowance(expected[k], kindreds)) << "outcome " << k;
    }
}

TEST(Markers, InformativenessHidesPositionsWithoutChangingInheritance)
{
    const auto tables = all_tables();
    const sim::options full = parse({"--sibs", "2-6", "--length", "50", "--seed", "3"});
    const sim::options part = parse({"--sibs", "2-6", "--length", "50", "--seed", "3", "--informativeness", "0.3"});
    const sim::options none = parse({"--sibs", "2-6", "--length", "50", "--seed", "3", "--informativeness", "0"});
    const sim::map m = sim::make_map(full);
    sim::kindred_sample a, b, c;
    double observed = 0;
    const int kindreds = 400;
    for (long i = 0; i < kindreds; ++i) {
        sim::simulate_kindred(full, tables, m, i, a);
        sim::simulate_kindred(part, tables, m, i, b);
        sim::simulate_kindred(none, tables, m, i, c);
        ASSERT_EQ(a.sibs, b.sibs);
        ASSERT_EQ(a.vector, b.vector);
        for (std::size_t p = 0; p < m.pos.size(); ++p) {
            EXPECT_EQ(a.observed[p], tables[a.sibs].outcome[a.vector[p]]);
            EXPECT_EQ(c.observed[p], -1);
            if (b.observed[p] >= 0) {
                EXPECT_EQ(b.observed[p], a.observed[p]);
                ++observed;
            }
        }
    }
    const double n = double(kindreds) * m.pos.size();
    EXPECT_NEAR(observed / n, 0.3, allowance(0.3, n));
}

TEST(SibshipSize, DrawsFollowTheMix)
{
    const sim::options opt = parse({"--sibs", "2:3,4:1,6:0"});
    sim::rng r(9, 0, sim::STREAM_SIZE);
    int seen[sim::MAX_SIBS + 1] = {};
    const int draws = 40000;
    for (int i = 0; i < draws; ++i)
        ++seen[sim::draw_sibship_size(opt, r)];
    EXPECT_NEAR(seen[2] / double(draws), 0.75, allowance(0.75, draws));
    EXPECT_EQ(seen[2] + seen[4], draws);
}

TEST(Map, PositionsAreMultiplesOfTheSpacingUpToTheLength)
{
    struct map_case {
        const char* length;
        const char* spacing;
        std::vector<double> pos;
    };
    const map_case cases[] = {
        {"0.3", "0.1", {0, 0.1, 0.2, 0.3}},
        {"10", "3", {0, 3, 6, 9}},
        {"0", "1", {0}},
        {"1", "2.5", {0}},
        {"1", "0.25", {0, 0.25, 0.5, 0.75, 1}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sim::make_map(parse({"--length", c.length, "--spacing", c.spacing})).pos, c.pos)
            << c.length << " " << c.spacing;
}

TEST(Names, AreZeroPaddedToTheWidthOfTheCount)
{
    EXPECT_EQ(sim::kindred_name(0, 300), "F001");
    EXPECT_EQ(sim::kindred_name(299, 300), "F300");
    EXPECT_EQ(sim::kindred_name(0, 9), "F1");
    EXPECT_EQ(sim::kindred_name(9999998, 9999999), "F9999999");
}

}  // namespace
