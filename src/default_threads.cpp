#include <cstdlib>
#include <thread>

#include "brell.h"

namespace brell {

// BRELL_THREADS when it is a positive count, else every core.
int default_threads()
{
    if (const char* env = std::getenv("BRELL_THREADS")) {
        char* end = nullptr;
        long n = std::strtol(env, &end, 10);
        if (end != env && *end == '\0' && n > 0)
            return n > 256 ? 256 : static_cast<int>(n);
    }
    unsigned hw = std::thread::hardware_concurrency();
    return hw == 0 ? 1 : static_cast<int>(hw > 256 ? 256 : hw);
}

}  // namespace brell
