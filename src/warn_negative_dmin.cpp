#include "brell.h"

namespace brell {

void warn_negative_dmin(const run_data& dat)
{
    std::fprintf(dat.out, "Warning: User-supplied dmin (%12.5le) is smaller than 0\n", dat.dmin);
    std::fprintf(dat.out, "         Negative delta's model deficit sharing and should be used with caution\n");
}

}  // namespace brell
