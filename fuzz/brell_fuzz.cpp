// libFuzzer entry: every input is a whole run of brell (see check.h), and
// any run that breaks the rules stops the fuzzer with the reason.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static brell_fuzz::harness h;
    brell_fuzz::verdict v = h.run(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!v.violation.empty()) {
        std::fprintf(stderr, "brell_fuzz: %s\n", v.violation.c_str());
        std::abort();
    }
    return v.skipped ? -1 : 0;  // keep inputs beyond the caps out of the corpus
}
