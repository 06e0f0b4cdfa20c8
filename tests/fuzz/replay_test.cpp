#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "check.h"
#ifdef BRELL_LINKAGE_FUZZ_INPUTS
#include "linkage_check.h"
#endif

namespace fs = std::filesystem;

namespace {

// The largest single allocation since the last reset: the fuzzer's
// -malloc_limit_mb, in the ordinary build. A count read from a file must
// not size an allocation that the file's own size does not justify.
std::atomic<std::size_t> largest{0};
constexpr std::size_t ALLOCATION_CAP = std::size_t{64} << 20;

}  // namespace

// free() on what malloc() gave: GCC cannot see that the two sides match.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n)
{
    std::size_t seen = largest.load(std::memory_order_relaxed);
    while (n > seen && !largest.compare_exchange_weak(seen, n, std::memory_order_relaxed)) {
    }
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
// std::stable_sort takes its buffer so: it must come from the same heap.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    try {
        return operator new(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

std::vector<std::string> files_in(const char* dir)
{
    std::vector<std::string> files;
    for (const fs::directory_entry& e : fs::directory_iterator(dir))
        if (e.is_regular_file())
            files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

std::string test_name(const ::testing::TestParamInfo<std::string>& info)
{
    std::string name = fs::path(info.param).filename().string();
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

template <class Harness>
void replay(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream text;
    text << f.rdbuf();
    Harness h;
    largest = 0;
    const auto v = h.run(text.str());
    // An input beyond the fuzzer's caps would test nothing here.
    EXPECT_FALSE(v.skipped);
    EXPECT_EQ(v.violation, "");
    EXPECT_LE(largest.load(), ALLOCATION_CAP);
}

struct Regression : ::testing::TestWithParam<std::string> {};
TEST_P(Regression, RunEndsCleanly) { replay<brell_fuzz::harness>(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Fuzz, Regression, ::testing::ValuesIn(files_in(BRELL_FUZZ_INPUTS)), test_name);

struct Seed : ::testing::TestWithParam<std::string> {};
TEST_P(Seed, RunEndsCleanly) { replay<brell_fuzz::harness>(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Fuzz, Seed, ::testing::ValuesIn(files_in(BRELL_FUZZ_CORPUS)), test_name);

#ifdef BRELL_LINKAGE_FUZZ_INPUTS
struct LinkageRegression : ::testing::TestWithParam<std::string> {};
TEST_P(LinkageRegression, RunEndsCleanly) { replay<linkage_fuzz::harness>(GetParam()); }
INSTANTIATE_TEST_SUITE_P(LinkageFuzz, LinkageRegression, ::testing::ValuesIn(files_in(BRELL_LINKAGE_FUZZ_INPUTS)),
                         test_name);

struct LinkageSeed : ::testing::TestWithParam<std::string> {};
TEST_P(LinkageSeed, RunEndsCleanly) { replay<linkage_fuzz::harness>(GetParam()); }
INSTANTIATE_TEST_SUITE_P(LinkageFuzz, LinkageSeed, ::testing::ValuesIn(files_in(BRELL_LINKAGE_FUZZ_CORPUS)),
                         test_name);
#endif

}  // namespace
