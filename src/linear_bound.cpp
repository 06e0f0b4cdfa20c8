#include "brell.h"

namespace brell {

// Largest delta at which every kindred's lowest standardised score still has
// a non-negative likelihood ratio.
double linear_bound(const run_data& dat)
{
    double bound = BIG;
    for (const fam_record& r : dat.fam) {
        double smin = BIG;
        for (int k = 0; k < r.nscores; ++k)
            if (r.score[k] < smin)
                smin = r.score[k];
        double b = r.sd / ((r.mean - smin) * r.weight);
        if (b < bound)
            bound = b;
    }
    return bound;
}

}  // namespace brell
