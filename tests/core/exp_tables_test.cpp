#include <cmath>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "brell.h"

using namespace brell;

namespace {

// Kindreds drawn from a few shapes, some repeated exactly (the same sibship
// and weight), positions with random probabilities.
run_data random_study(unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    run_data dat;
    dat.npos = 7;
    dat.pos = {0, 1, 2, 3, 4, 5, 6};
    std::vector<fam_record> shapes;
    for (int s = 0; s < 4; ++s) {
        fam_record r;
        r.nscores = 2 + s * 3;
        for (int k = 0; k < r.nscores; ++k) {
            r.score.push_back(static_cast<double>(k) + (s == 3 ? 0.5 * k : 0.0));
            r.nullprob.push_back(u(rng));
        }
        r.weight = s == 2 ? 1.7 : 1.0;
        shapes.push_back(r);
    }
    for (int i = 0; i < 40; ++i) {
        fam_record r = shapes[rng() % shapes.size()];
        if (i % 9 == 0)
            r.weight = u(rng) * 3 - 1;  // unique
        r.name = "F" + std::to_string(i);
        for (int v = 0; v < dat.npos * r.nscores; ++v)
            r.prob.push_back(u(rng) < 0.2 ? 0.0 : u(rng));
        dat.fam.push_back(r);
    }
    dat.nfam = static_cast<int>(dat.fam.size());
    for (fam_record& r : dat.fam) {
        double sum = 0.0;
        for (double q : r.nullprob)
            sum = sum + q;
        r.mean = 0.0;
        for (int k = 0; k < r.nscores; ++k) {
            r.nullprob[k] = r.nullprob[k] / sum;
            r.mean = r.nullprob[k] * r.score[k] + r.mean;
        }
        double var = 0.0;
        for (int k = 0; k < r.nscores; ++k)
            var = ((r.score[k] - r.mean) * r.nullprob[k]) * (r.score[k] - r.mean) + var;
        r.sd = std::sqrt(var);
    }
    compute_fam_zscores(dat);
    return dat;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(ExpTables, SharedTermsGiveTheObjectiveBitForBit)
{
    for (unsigned seed = 1; seed <= 5; ++seed) {
        run_data dat = random_study(seed);
        dat.search = SEARCH_GRID;
        dat.dmin = -1.3;
        dat.dmax = 2.2;
        dat.numintervals = 17;
        auto tables = std::make_shared<const exp_tables>(dat, shared_deltas(dat));
        ASSERT_EQ(tables->x.size(), 18u);
        EXPECT_LT(tables->model.size(), 15u);  // repeated kindreds share
        for (int p = 0; p < dat.npos; ++p) {
            for (int slot = -1; slot <= 17; ++slot) {
                eval_point plain, cached;
                plain.x = cached.x = slot < 0 ? 0.37 * p - 1.1 : grid_point(dat, slot);
                cached.slot = slot;
                dat.exp_cache = nullptr;
                f1_exponential(dat, plain, p);
                dat.exp_cache = tables;
                f1_exponential(dat, cached, p);
                ASSERT_TRUE(same_bits(plain.f, cached.f)) << seed << " " << p << " " << slot;
            }
        }
    }
}

TEST(ExpTables, ASlotIsTrustedOnlyForItsOwnDelta)
{
    run_data dat = random_study(9);
    dat.search = SEARCH_GSS;
    dat.dmin = -5.0;
    dat.dmax = 5.0;
    dat.exp_cache = std::make_shared<const exp_tables>(dat, shared_deltas(dat));
    eval_point a, b;
    a.x = b.x = 0.25;
    b.slot = 2;  // tabled for another delta
    f1_exponential(dat, a, 3);
    f1_exponential(dat, b, 3);
    EXPECT_TRUE(same_bits(a.f, b.f));
}

}  // namespace

namespace {

TEST(ExpTables, BoundsHoldTheExactObjective)
{
    for (unsigned seed = 20; seed < 24; ++seed) {
        run_data dat = random_study(seed);
        dat.search = SEARCH_GRID;
        dat.dmin = -4.0;
        dat.dmax = 3.0;
        dat.numintervals = 29;
        exp_tables t(dat, shared_deltas(dat));
        std::vector<double> lo(t.x.size()), hi(t.x.size());
        std::vector<char> known(t.x.size());
        for (int p = 0; p < dat.npos; ++p) {
            t.bounds(dat, p, 1, lo.data(), hi.data(), known.data());
            for (std::size_t j = 0; j < t.x.size(); ++j) {
                eval_point pt;
                pt.x = t.x[j];
                f1_exponential(dat, pt, p);
                if (!known[j])
                    continue;
                EXPECT_LE(lo[j], pt.f) << seed << " " << p << " " << j;
                EXPECT_GE(hi[j], pt.f) << seed << " " << p << " " << j;
                EXPECT_LT(hi[j] - lo[j], 1e-6);
            }
        }
    }
}

// A random study whose position 0 carries no information (the null
// probabilities), position 1 none at all (zeros: ln 0), and, if asked, a
// negative probability at position 2 (nan).
run_data awkward_study(unsigned seed, bool negative)
{
    run_data dat = random_study(seed);
    for (fam_record& r : dat.fam) {
        for (int k = 0; k < r.nscores; ++k) {
            r.prob[static_cast<std::size_t>(k)] = r.nullprob[k];
            r.prob[static_cast<std::size_t>(r.nscores + k)] = 0.0;
        }
    }
    if (negative)
        dat.fam[3].prob[static_cast<std::size_t>(2 * dat.fam[3].nscores)] = -0.5;
    return dat;
}

// The grid over tabled points skips the points that cannot win; it must
// choose what evaluating every point chooses, ties and not-a-number included.
TEST(ExpTables, ScreenedGridChoosesAsTheFullGrid)
{
    std::mt19937_64 rng(77);
    for (unsigned seed = 30; seed < 60; ++seed) {
        run_data dat = awkward_study(seed, seed % 5 == 0);
        dat.search = SEARCH_GRID;
        dat.dmin = -3.0 + static_cast<double>(rng() % 100) / 50.0;
        dat.dmax = dat.dmin + 0.01 + static_cast<double>(rng() % 100) / 20.0;
        dat.numintervals = 1 + static_cast<int>(rng() % 60);
        dat.delta.assign(dat.npos, 0.0);
        dat.lod.assign(dat.npos, 0.0);
        run_data full = dat;
        dat.exp_cache = std::make_shared<const exp_tables>(dat, shared_deltas(dat));
        full.exp_cache = std::make_shared<const exp_tables>(full, std::vector<double>{});
        for (int p = 0; p < dat.npos; ++p) {
            eval_point a, b;
            std::string ma, mb;
            grid(dat, p, f1_exponential, a, ma);
            grid(full, p, f1_exponential, b, mb);
            ASSERT_TRUE(same_bits(dat.delta[p], full.delta[p])) << seed << " " << p;
            ASSERT_TRUE(same_bits(dat.lod[p], full.lod[p])) << seed << " " << p;
            ASSERT_EQ(ma, mb);
        }
    }
}

// The golden-section search on bounds makes the decisions and reports the
// values that the exact objective gives, over the exponential model's range
// and over narrow ranges where values crowd together.
TEST(ExpTables, BoundedGoldenSectionDecidesAsTheExactOne)
{
    std::mt19937_64 rng(5);
    for (unsigned seed = 60; seed < 90; ++seed) {
        run_data dat = awkward_study(seed, seed % 4 == 0);
        dat.search = SEARCH_GSS;
        dat.dmin = seed % 3 ? -5.0 : static_cast<double>(rng() % 100) / 100.0;
        dat.dmax = seed % 3 ? 5.0 : dat.dmin + 1e-6 * static_cast<double>(1 + rng() % 1000);
        dat.delta.assign(dat.npos, 0.0);
        dat.lod.assign(dat.npos, 0.0);
        run_data exact = dat;
        dat.exp_cache = std::make_shared<const exp_tables>(dat, shared_deltas(dat));
        for (int p = 0; p < dat.npos; ++p) {
            eval_point a, b;
            std::string ma, mb;
            gss(dat, p, f1_exponential, a, ma);
            gss(exact, p, f1_exponential, b, mb);
            ASSERT_TRUE(same_bits(dat.delta[p], exact.delta[p])) << seed << " " << p;
            ASSERT_TRUE(same_bits(dat.lod[p], exact.lod[p])) << seed << " " << p;
            ASSERT_EQ(ma, mb) << seed << " " << p;
        }
    }
}

}  // namespace
