#include "brell.h"

namespace brell {

void exponential(run_data& dat)
{
    dat.delta.assign(dat.npos, 0.0);
    dat.lod.assign(dat.npos, 0.0);
    if (dat.search == SEARCH_GRID) {
        if (dat.dmin < 0)
            warn_negative_dmin(dat);
        dat.exp_cache = std::make_shared<const exp_tables>(dat, shared_deltas(dat));
        search_positions(dat, f1_exponential);
    } else if (dat.search == SEARCH_GSS) {
        std::fprintf(dat.out, "NOTICE:  If the golden-section search maximizes on the boundary,\n");
        std::fprintf(dat.out, "         consider using a GRID search\n");
        dat.dmin = -5.0;
        dat.dmax = 5.0;
        dat.exp_cache = std::make_shared<const exp_tables>(dat, shared_deltas(dat));
        search_positions(dat, f1_exponential);
    }
}

}  // namespace brell
