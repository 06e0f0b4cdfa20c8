#include <cmath>

#include "brell.h"

namespace brell {

// A kindred term of 0 gives +inf and a negative one nan; the searches'
// comparisons keep such deltas from winning. Between 0 and the bound no term
// is below 0 in exact arithmetic: one that rounds a hair below (a kindred
// certain of its least sharing, at the bound) is a likelihood of zero, not a
// nan that would take the whole position with it.
void f1_linear(const run_data& dat, eval_point& pt, int p)
{
    const bool in_range = pt.x >= 0.0 && pt.x <= dat.bound;
    double f = 0.0;
    for (const fam_record& r : dat.fam) {
        double t = pt.x * r.wnpl[p] + 1.0;
        if (t < 0.0 && t >= -TOL && in_range)
            t = 0.0;
        f = f - std::log(t);
    }
    pt.f = f;
}

}  // namespace brell
