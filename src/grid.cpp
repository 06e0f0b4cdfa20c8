#include <algorithm>
#include <cmath>

#include "brell.h"

namespace brell {

double grid_point(const run_data& dat, int i)
{
    // The upper end itself, not a multiple of the step that may miss it.
    if (i == dat.numintervals)
        return dat.dmax;
    const double step = (dat.dmax - dat.dmin) / static_cast<double>(dat.numintervals);
    return static_cast<double>(i) * step + dat.dmin;
}

namespace {

// Every point, in order; strict comparison: the earliest of equal values
// wins, and nan never does.
void scan(run_data& dat, int p, objective f, eval_point& pt, double& best, double& bestx)
{
    for (long long i = 0; i <= dat.numintervals; ++i) {
        pt.x = grid_point(dat, static_cast<int>(i));
        pt.slot = static_cast<int>(i);
        f(dat, pt, p);
        if (pt.f < best) {
            best = pt.f;
            bestx = pt.x;
        }
    }
}

// The same result with the exact objective evaluated only where it could
// be the smallest: bounds from an approximate logarithm rule out the rest.
// The result is the earliest point of least value, which no ruled-out point
// can be, since each is sure to exceed some other point's value.
void scan_screened(run_data& dat, int p, eval_point& pt, const double* lo, const double* hi, const char* known,
                   double& best, double& bestx)
{
    const exp_tables& t = *dat.exp_cache;
    const std::size_t points = t.x.size();
    double least_hi = INFINITY;
    for (std::size_t j = 0; j < points; ++j)
        if (known[j] && hi[j] < least_hi)
            least_hi = hi[j];
    for (std::size_t j = 0; j < points; ++j) {
        if (known[j] && lo[j] > least_hi)
            continue;
        pt.x = t.x[j];
        pt.slot = static_cast<int>(j);
        f1_exponential(dat, pt, p);
        if (pt.f < best) {
            best = pt.f;
            bestx = pt.x;
        }
    }
}

void report_best(run_data& dat, int p, double best, double bestx, std::string& msgs)
{
    dat.delta[p] = bestx;
    dat.lod[p] = -best / std::log(10.0);
    if (std::fabs(dat.lod[p]) < TOL)
        dat.lod[p] = 0.0;
    if (dat.delta[p] == dat.dmin)
        msgs += format("Grid search maximizes on [min] boundary for pos = %12.5le\n", dat.pos[p]);
    if (dat.delta[p] == dat.dmax)
        msgs += format("Grid search maximizes on [max] boundary for pos = %12.5le\n", dat.pos[p]);
}

}  // namespace

void grid(run_data& dat, int p, objective f, eval_point& pt, std::string& msgs)
{
    grid_block(dat, p, p + 1, f, pt, &msgs);
}

// Under the exponential model with every point tabled, the bounds of a few
// positions come from one pass over the table.
void grid_block(run_data& dat, int p0, int p1, objective f, eval_point& pt, std::string* msgs)
{
    const bool screened = f == f1_exponential && dat.exp_cache &&
                          dat.exp_cache->x.size() == static_cast<std::size_t>(dat.numintervals) + 1;
    for (int p = p0; p < p1;) {
        const int np = screened ? std::min(p1 - p, exp_tables::MAX_BOUND_POSITIONS) : 1;
        const std::size_t points = screened ? dat.exp_cache->x.size() : 0;
        thread_local std::vector<double> lo;
        thread_local std::vector<double> hi;
        thread_local std::vector<char> known;
        if (screened) {
            lo.resize(np * points);
            hi.resize(np * points);
            known.resize(np * points);
            dat.exp_cache->bounds(dat, p, np, lo.data(), hi.data(), known.data());
        }
        for (int q = 0; q < np; ++q, ++p) {
            double best = BIG;
            double bestx = dat.dmin;
            if (screened)
                scan_screened(dat, p, pt, lo.data() + q * points, hi.data() + q * points, known.data() + q * points,
                              best, bestx);
            else
                scan(dat, p, f, pt, best, bestx);
            report_best(dat, p, best, bestx, msgs[p - p0]);
        }
    }
}

}  // namespace brell
