#include <cmath>

#include "brell.h"

namespace brell {

void compute_final_stats(run_data& dat)
{
    dat.npl_z.assign(dat.npos, 0.0);
    double w2 = 0.0;
    for (const fam_record& r : dat.fam)
        w2 = w2 + r.weight * r.weight;
    const double w = std::sqrt(w2);
    for (int p = 0; p < dat.npos; ++p) {
        double sum = 0.0;
        for (const fam_record& r : dat.fam)
            sum = sum + r.wnpl[p];
        dat.npl_z[p] = sum / w;
    }
    dat.zlr.assign(dat.npos, 0.0);
    const double l2 = std::log(10.0) + std::log(10.0);
    // The sign of the estimate is the sign of the Z; a negative LOD gives nan.
    for (int p = 0; p < dat.npos; ++p) {
        if (dat.delta[p] < 0)
            dat.zlr[p] = -std::sqrt(l2 * dat.lod[p]);
        else
            dat.zlr[p] = std::sqrt(l2 * dat.lod[p]);
    }
}

}  // namespace brell
