#include <cmath>

#include "brell.h"

namespace brell {

// Sum over kindreds of ln D - ln N: the null and position expectations of the
// tilt exp(delta * weight * zscore).
void f1_exponential(const run_data& dat, eval_point& pt, int p)
{
    double f = 0.0;
    double s = 0.0;
    for (const fam_record& r : dat.fam) {
        const double* prob = r.prob_at(p);
        double d = 0.0;
        double n = 0.0;
        for (int k = 0; k < r.nscores; ++k) {
            double e = std::exp(pt.x * r.weight * r.zscore[k]);
            d = d + e * r.nullprob[k];
            n = n + e * prob[k];
        }
        f = std::log(n) + f;
        s = s + std::log(d);
    }
    f = s - f;
    if (std::fabs(f) < TOL)
        f = 0.0;
    pt.f = f;
}

}  // namespace brell
