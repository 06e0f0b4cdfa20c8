#include "brell.h"

namespace brell {

void compute_fam_zscores(run_data& dat)
{
    for (fam_record& r : dat.fam) {
        r.zscore.assign(r.nscores, 0.0);
        for (int k = 0; k < r.nscores; ++k)
            r.zscore[k] = (r.score[k] - r.mean) / r.sd;
    }
}

}  // namespace brell
