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

namespace {

// The approximate exponential against the long-double one, on both kernels:
// within its claimed 2^-46 everywhere below 512 in magnitude (reductions
// that round across a half included), refused from there on and for nan.
TEST(ExpApprox, WithinItsBoundAndRefusedBeyondItsRange)
{
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(-511.99, 511.99);
    std::vector<double> z;
    for (int k = -40; k <= 40; ++k)
        z.push_back((k + 0.5) * 0.6931471805599453);  // halfway between two n
    for (double t : {0.0, -0.0, 1e-300, -4.9e-324, 1e-8, 0.34657359027997264, 511.99, -511.99, 709.0 / 2})
        z.push_back(t);
    while (z.size() < 20000)
        z.push_back(u(rng));
    for (bool wide : {false, true}) {
        if (wide && !has_avx2())
            continue;
        std::vector<double> e(z.size());
        ASSERT_TRUE(exp_approx(1.0, z.data(), static_cast<int>(z.size()), e.data(), wide));
        long double worst = 0;
        for (std::size_t k = 0; k < z.size(); ++k) {
            const long double exact = std::exp(static_cast<long double>(z[k]));
            worst = std::max(worst, std::fabs(e[k] - exact) / exact);
        }
        EXPECT_LT(worst, 0x1p-46L) << wide;
        EXPECT_GT(worst, 0x1p-56L) << wide;  // the check sees the error
        for (double bad : {512.0, -512.0, 1e300, double(INFINITY), double(-INFINITY), double(NAN)}) {
            std::vector<double> row(7, 0.5);
            row[static_cast<std::size_t>(rng() % 7)] = bad;
            EXPECT_FALSE(exp_approx(1.0, row.data(), 7, e.data(), wide)) << bad;
        }
        // The argument is the objective's own product, rounded once.
        double one = 0.1, got;
        ASSERT_TRUE(exp_approx(3.0, &one, 1, &got, wide));
        EXPECT_LT(std::fabs(got - std::exp(3.0 * 0.1)) / got, 0x1p-46);
    }
}

// Kindreds all different, of any number of outcomes; if asked, also what
// makes the approximate bounds give up or the exact objective overflow: zero
// and subnormal probabilities, weights large enough that delta * weight * z
// passes 512 (and 709, where exp overflows), a weight that is inf or nan.
run_data distinct_study(unsigned seed, bool extreme)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    auto prob = [&] {
        const double v = u(rng);
        return !extreme ? 0.01 + v : v < 0.1 ? 0.0 : v < 0.15 ? 4e-320 * v : v;
    };
    run_data dat;
    dat.npos = 9;
    for (int p = 0; p < dat.npos; ++p)
        dat.pos.push_back(p);
    const int nfam = 24 + static_cast<int>(seed % 4);  // kindreds four at a time, and the rest
    for (int i = 0; i < nfam; ++i) {
        fam_record r;
        r.name = "D" + std::to_string(i);
        r.nscores = 1 + static_cast<int>(rng() % 19);
        double sum = 0.0;
        for (int k = 0; k < r.nscores; ++k) {
            r.score.push_back(std::round(u(rng) * 300) / 10);
            r.nullprob.push_back(prob());
            sum = sum + r.nullprob.back();
        }
        r.weight = 0.2 + 2.5 * u(rng);
        if (extreme && i % 5 == 1)
            r.weight = i % 2 ? 60.0 : -150.0;
        for (int v = 0; v < dat.npos * r.nscores; ++v)
            r.prob.push_back(prob());
        if (sum > 0) {
            r.mean = 0.0;
            for (int k = 0; k < r.nscores; ++k) {
                r.nullprob[k] = r.nullprob[k] / sum;
                r.mean = r.nullprob[k] * r.score[k] + r.mean;
            }
            double var = 0.0;
            for (int k = 0; k < r.nscores; ++k)
                var = ((r.score[k] - r.mean) * r.nullprob[k]) * (r.score[k] - r.mean) + var;
            r.sd = std::max(std::sqrt(var), TOL);
        } else {
            r.sd = TOL;
        }
        dat.fam.push_back(r);
    }
    if (extreme && seed % 3 == 0)
        dat.fam[7].weight = seed % 2 ? INFINITY : NAN;
    dat.nfam = static_cast<int>(dat.fam.size());
    compute_fam_zscores(dat);
    return dat;
}

// Wherever approx_bound gives bounds, the exact objective lies within them,
// and on an ordinary study they are narrow enough to settle comparisons.
TEST(ExpApprox, BoundsHoldTheExactObjective)
{
    std::mt19937_64 rng(11);
    for (unsigned seed = 1; seed <= 12; ++seed) {
        const bool extreme = seed > 6;
        run_data dat = distinct_study(seed, extreme);
        dat.search = SEARCH_GSS;
        dat.dmin = -5.0;
        dat.dmax = 5.0;
        exp_tables t(dat, shared_deltas(dat));
        for (bool wide : {false, true}) {
            if (wide && !has_avx2())
                continue;
            t.wide = wide;
            approx_cache cache;
            int known = 0;
            for (int trial = 0; trial < 300; ++trial) {
                const int p = static_cast<int>(rng() % dat.npos);
                const double x = trial % 10 == 0 ? -5.0 + trial / 30 : -5.0 + 10.0 * std::ldexp(rng() >> 11, -53);
                double lo, hi;
                if (!t.approx_bound(dat, p, x, trial % 20, cache, lo, hi))
                    continue;
                ++known;
                eval_point pt;
                pt.x = x;
                f1_exponential(dat, pt, p);
                ASSERT_LE(lo, pt.f) << seed << " " << p << " " << x;
                ASSERT_GE(hi, pt.f) << seed << " " << p << " " << x;
                if (!extreme) {
                    EXPECT_LT(hi - lo, 1e-9);
                }
            }
            if (!extreme) {
                EXPECT_GT(known, 250);  // refusals only where a sum leaves the range
            }
        }
    }
}

// Bit for bit, but the sign of a nan: with a nan weight the objective of the
// shared terms and the plain one add different nans in a different order
// (as the shared terms always have; the bounds play no part in it).
bool same_value(double a, double b) { return same_bits(a, b) || (std::isnan(a) && std::isnan(b)); }

// Every golden-section search and every grid, on bounds from both kernels,
// with the terms cached across positions and threads, gives the bytes of
// the plain computation: kindreds all different, over- and underflowing
// terms, non-finite weights, and narrow ranges where values nearly tie.
TEST(ExpApprox, SearchesGiveThePlainResults)
{
    std::mt19937_64 rng(21);
    for (unsigned seed = 1; seed <= 24; ++seed) {
        run_data dat = distinct_study(seed, seed % 2 == 0);
        const bool narrow = seed % 3 == 1;
        dat.dmin = narrow ? static_cast<double>(rng() % 100) / 100.0 : -5.0;
        dat.dmax = narrow ? dat.dmin + 1e-6 * static_cast<double>(1 + rng() % 1000) : 5.0;
        dat.numintervals = 1 + static_cast<int>(rng() % 40);
        dat.delta.assign(dat.npos, 0.0);
        dat.lod.assign(dat.npos, 0.0);
        run_data plain = dat;
        for (int search : {SEARCH_GSS, SEARCH_GRID}) {
            dat.search = plain.search = search;
            std::vector<std::string> want(dat.npos);
            for (int p = 0; p < dat.npos; ++p) {
                eval_point pt;
                if (search == SEARCH_GSS)
                    gss(plain, p, f1_exponential, pt, want[p]);
                else
                    grid(plain, p, f1_exponential, pt, want[p]);
            }
            for (int kernel : {0, 1, 2}) {  // plain, AVX2, the library's terms
                const bool wide = kernel == 1;
                if (wide && !has_avx2())
                    continue;
                auto t = std::make_shared<exp_tables>(dat, shared_deltas(dat));
                EXPECT_TRUE(t->approx_pays);  // kindreds all different
                t->wide = wide;
                t->approx_pays = kernel < 2;
                dat.exp_cache = t;
                std::vector<std::string> got(dat.npos);
                eval_point pt;  // one for all positions, as a worker's
                for (int p = 0; p < dat.npos; p += 4) {
                    const int p1 = std::min(dat.npos, p + 4);
                    if (search == SEARCH_GSS)
                        for (int q = p; q < p1; ++q)
                            gss(dat, q, f1_exponential, pt, got[q]);
                    else
                        grid_block(dat, p, p1, f1_exponential, pt, got.data() + p);
                }
                for (int p = 0; p < dat.npos; ++p) {
                    ASSERT_TRUE(same_bits(dat.delta[p], plain.delta[p])) << seed << " " << p << " " << wide;
                    ASSERT_TRUE(same_value(dat.lod[p], plain.lod[p])) << seed << " " << p << " " << wide;
                    ASSERT_EQ(got[p], want[p]) << seed << " " << p << " " << wide;
                }
            }
        }
    }
}

}  // namespace
