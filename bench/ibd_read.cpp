// brell-ibd's floor: read the study and count allele frequencies, as brell-ibd
// does before any inheritance vector is worked out, and nothing else.
#include <cstdio>

#include "ibd_tool.h"

int main(int argc, char* argv[])
{
    try {
        const ibd::options o = ibd::parse_options(argc, argv);
        const linkage::study s = ibd::read_study(o);
        std::printf("%zu families, %zu markers\n", s.families.size(), s.markers.size());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brell-ibd-read: %s\n", e.what());
        return 1;
    }
}
