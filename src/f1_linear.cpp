#include <cmath>

#include "brell.h"

namespace brell {

// A kindred term of 0 gives +inf and a negative one nan; the searches'
// comparisons keep such deltas from winning.
void f1_linear(const run_data& dat, eval_point& pt, int p)
{
    double f = 0.0;
    for (const fam_record& r : dat.fam)
        f = f - std::log(pt.x * r.wnpl[p] + 1.0);
    pt.f = f;
}

}  // namespace brell
