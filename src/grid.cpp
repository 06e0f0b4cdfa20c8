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

// Strict comparison: the earliest of equal values wins, and nan never does.
void grid(run_data& dat, int p, objective f, eval_point& pt, std::string& msgs)
{
    double best = BIG;
    double bestx = dat.dmin;
    for (long long i = 0; i <= dat.numintervals; ++i) {
        pt.x = grid_point(dat, static_cast<int>(i));
        pt.slot = static_cast<int>(i);
        f(dat, pt, p);
        if (pt.f < best) {
            best = pt.f;
            bestx = pt.x;
        }
    }
    dat.delta[p] = bestx;
    dat.lod[p] = -best / std::log(10.0);
    if (std::fabs(dat.lod[p]) < TOL)
        dat.lod[p] = 0.0;
    if (dat.delta[p] == dat.dmin)
        msgs += format("Grid search maximizes on [min] boundary for pos = %12.5le\n", dat.pos[p]);
    if (dat.delta[p] == dat.dmax)
        msgs += format("Grid search maximizes on [max] boundary for pos = %12.5le\n", dat.pos[p]);
}

}  // namespace brell
