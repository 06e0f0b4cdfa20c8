#include "brell.h"

namespace brell {

void print_usage(const char* progname, std::FILE* out)
{
    std::fprintf(out, "Usage: %s LIN\n", progname);
    std::fprintf(out, "       %s LIN GRID dmin dmax numintervals\n", progname);
    std::fprintf(out, "       %s EXP\n", progname);
    std::fprintf(out, "       %s EXP GRID dmin dmax numintervals\n", progname);
}

}  // namespace brell
