#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "brell.h"

namespace brell {

// As scanf's %le: the longest number at the start of the word. A value that
// is not finite is refused.
bool word_to_double(const char* word, double& v)
{
    double x = 0.0;
    if (std::sscanf(word, "%le", &x) != 1 || !std::isfinite(x))
        return false;
    v = x;
    return true;
}

// As scanf's %d, refusing a value beyond 32 bits instead of wrapping it.
bool word_to_int(const char* word, int& v)
{
    char* end = nullptr;
    errno = 0;
    long x = std::strtol(word, &end, 10);
    if (end == word || errno == ERANGE || x < INT_MIN || x > INT_MAX)
        return false;
    v = static_cast<int>(x);
    return true;
}

void get_search(run_data& dat, int argc, const char* const argv[])
{
    if (argc == 2) {
        dat.search = SEARCH_GSS;
    } else if (argc == 6) {
        dat.search = SEARCH_GRID;
        word_to_double(argv[3], dat.dmin);
        word_to_double(argv[4], dat.dmax);
        word_to_int(argv[5], dat.numintervals);
    } else {
        dat.search = -1;
    }
}

}  // namespace brell
