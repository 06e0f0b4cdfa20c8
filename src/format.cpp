#include <cstdarg>

#include "brell.h"

namespace brell {

std::string format(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string s(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(s.data(), s.size() + 1, fmt, again);
    va_end(again);
    return s;
}

}  // namespace brell
