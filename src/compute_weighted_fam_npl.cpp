#include "brell.h"

namespace brell {

void compute_weighted_fam_npl(run_data& dat)
{
    for (fam_record& r : dat.fam) {
        r.wnpl.assign(dat.npos, 0.0);
        for (int p = 0; p < dat.npos; ++p)
            r.wnpl[p] = r.weight * r.npl[p];
    }
}

}  // namespace brell
