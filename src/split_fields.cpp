#include "brell.h"

namespace brell {

int split_fields(std::string_view line, std::string_view* fields, int max)
{
    int n = 0;
    std::size_t i = 0;
    const std::size_t len = line.size();
    for (;;) {
        while (i < len && is_blank(line[i]))
            ++i;
        if (i == len)
            return n;
        std::size_t start = i;
        while (i < len && !is_blank(line[i]))
            ++i;
        if (n < max)
            fields[n] = line.substr(start, i - start);
        ++n;
    }
}

}  // namespace brell
