#include "brell.h"

namespace brell {

// Tables beyond this many terms are not worth their memory: such a grid
// works its terms out at each point instead.
constexpr std::size_t MAX_TABLED_POINTS = std::size_t{1} << 16;

std::vector<double> shared_deltas(const run_data& dat)
{
    std::vector<double> x;
    if (dat.search == SEARCH_GSS) {
        x.resize(4);
        gss_first_points(dat.dmin, dat.dmax, x.data());
    } else if (dat.search == SEARCH_GRID && static_cast<std::size_t>(dat.numintervals) < MAX_TABLED_POINTS) {
        for (int i = 0; i <= dat.numintervals; ++i)
            x.push_back(grid_point(dat, i));
    }
    return x;
}

}  // namespace brell
