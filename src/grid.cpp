#include <cmath>

#include "brell.h"

namespace brell {

// Strict comparison: the earliest of equal values wins, and nan never does.
void grid(run_data& dat, int p, objective f, eval_point& pt, std::string& msgs)
{
    const double step = (dat.dmax - dat.dmin) / static_cast<double>(dat.numintervals);
    double best = BIG;
    double bestx = dat.dmin;
    for (int i = 0; i < dat.numintervals; ++i) {
        pt.x = static_cast<double>(i) * step + dat.dmin;
        f(dat, pt, p);
        if (pt.f < best) {
            best = pt.f;
            bestx = pt.x;
        }
    }
    // The upper end itself, not a multiple of the step that may miss it.
    pt.x = dat.dmax;
    f(dat, pt, p);
    if (pt.f < best) {
        best = pt.f;
        bestx = pt.x;
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
