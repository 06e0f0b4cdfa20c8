// libFuzzer entry: every input is a study in files, read, analysed by
// brell-ibd and written back (see linkage_check.h); any run that breaks the
// rules stops the fuzzer with the reason.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "linkage_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static linkage_fuzz::harness h;
    linkage_fuzz::verdict v = h.run(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!v.violation.empty()) {
        std::fprintf(stderr, "linkage_fuzz: %s\n", v.violation.c_str());
        std::abort();
    }
    return v.skipped ? -1 : 0;  // keep inputs that are no case out of the corpus
}
