#include <cstring>

#include "brell.h"

namespace brell {

int check_main_args(int argc, const char* const argv[], std::FILE* out)
{
    if (argc <= 1 || get_model(argv[1]) == -1)
        return 1;
    if (argc <= 2)
        return 0;
    if (std::strcmp(argv[2], "GRID") && std::strcmp(argv[2], "grid") && std::strcmp(argv[2], "Grid"))
        return 1;
    if (argc != 6)
        return 1;
    double dmin = 0.0;
    double dmax = 0.0;
    int numintervals = 0;
    if (!word_to_double(argv[3], dmin) || !word_to_double(argv[4], dmax) || !word_to_int(argv[5], numintervals))
        return 1;
    if (dmin >= dmax) {
        std::fprintf(out, "Error: dmin must be less than dmax\n");
        return 1;
    }
    if (numintervals <= 0) {
        std::fprintf(out, "Error: numintervals must be a positive integer\n");
        return 1;
    }
    return 0;
}

}  // namespace brell
