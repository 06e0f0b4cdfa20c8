#include "brell.h"

namespace brell {

void linear(run_data& dat)
{
    dat.delta.assign(dat.npos, 0.0);
    dat.lod.assign(dat.npos, 0.0);
    double bound = linear_bound(dat);
    dat.bound = bound;
    if (dat.search == SEARCH_GRID) {
        if (bound < dat.dmax)
            std::fprintf(dat.out, "Warning: User-supplied dmax (%12.5le) exceeds theoretical bound (%12.5le)\n",
                         dat.dmax, bound);
        if (dat.dmin < 0)
            warn_negative_dmin(dat);
        // The user's range stands: points beyond the bound give nan and lose.
        search_positions(dat, f1_linear);
    } else if (dat.search == SEARCH_GSS) {
        dat.dmin = 0.0;
        dat.dmax = bound;
        search_positions(dat, f1_linear);
    }
}

}  // namespace brell
