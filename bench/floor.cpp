// The floor of the benchmark: one pass over a file that only splits each
// line into white-space separated fields and converts every field after the
// first to a double (with brell's own conversion, the fastest we have),
// single-threaded, in large blocks. Whatever brell does beyond this is its
// own cost.
#include <cstdio>
#include <cstring>
#include <vector>

#include "brell.h"

int main(int argc, char* argv[])
{
    if (argc != 2 || !std::strcmp(argv[1], "--help")) {
        std::fprintf(argc == 2 ? stdout : stderr, "usage: brell-floor FILE\n");
        return argc == 2 ? 0 : 1;
    }
    std::FILE* f = std::fopen(argv[1], "rb");
    if (!f) {
        std::fprintf(stderr, "brell-floor: cannot open %s\n", argv[1]);
        return 1;
    }
    std::vector<char> buf(std::size_t{1} << 22);
    std::size_t have = 0;
    double sum = 0.0;
    long values = 0;
    long lines = 0;
    for (;;) {
        std::size_t got = std::fread(buf.data() + have, 1, buf.size() - have, f);
        have += got;
        const char* p = buf.data();
        const char* end = p + have;
        const char* last_nl = have ? static_cast<const char*>(memrchr(p, '\n', have)) : nullptr;
        const char* stop = got == 0 ? end : (last_nl ? last_nl + 1 : p);
        while (p < stop) {
            int field = 0;
            while (p < stop && *p != '\n') {
                while (p < stop && (*p == ' ' || *p == '\t' || *p == '\r'))
                    ++p;
                if (p == stop || *p == '\n')
                    break;
                const char* t = p;
                while (p < stop && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n')
                    ++p;
                if (field++ > 0) {
                    double v = 0.0;
                    brell::parse_number(std::string_view(t, static_cast<std::size_t>(p - t)), v);
                    sum += v;
                    ++values;
                }
            }
            ++lines;
            ++p;
        }
        std::size_t rest = static_cast<std::size_t>(end - stop);
        std::memmove(buf.data(), stop, rest);
        have = rest;
        if (got == 0)
            break;
    }
    std::fclose(f);
    std::printf("%ld lines, %ld values, sum %.17g\n", lines, values, sum);
    return 0;
}
