#include <sys/mman.h>

#include "brell.h"

#if defined(__SANITIZE_ADDRESS__)
#define BRELL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRELL_ASAN 1
#endif
#endif
#ifdef BRELL_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace brell {

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{1} << 21;
// Each piece starts on a cache line; under AddressSanitizer a poisoned line
// follows it, so that running off the end of one array into the next is
// caught as it would be on the heap.
constexpr std::size_t ALIGN = 64;
#ifdef BRELL_ASAN
constexpr std::size_t GAP = ALIGN;
#else
constexpr std::size_t GAP = 0;
#endif

}  // namespace

prob_arena::prob_arena(std::size_t bytes, std::size_t pieces)
{
    const std::size_t limit = std::size_t{1} << 46;
    if (bytes == 0 || bytes > limit || pieces > limit / (GAP + ALIGN))
        return;
    bytes += pieces * (GAP + ALIGN);
    const std::size_t size = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    // Room to start on a huge-page boundary.
    const std::size_t map_size = size + HUGE_PAGE;
    void* m = mmap(nullptr, map_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED)
        return;
    map_ = m;
    map_size_ = map_size;
    const auto at = reinterpret_cast<std::uintptr_t>(m);
    base_ = reinterpret_cast<char*>((at + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE);
    size_ = size;
#ifdef MADV_HUGEPAGE
    madvise(base_, size_, MADV_HUGEPAGE);  // a hint: without it, small pages
#endif
#ifdef BRELL_ASAN
    ASAN_POISON_MEMORY_REGION(base_, size_);
#endif
}

prob_arena::~prob_arena()
{
    if (map_) {
#ifdef BRELL_ASAN
        ASAN_UNPOISON_MEMORY_REGION(base_, size_);
#endif
        munmap(map_, map_size_);
    }
}

void* prob_arena::take(std::size_t bytes)
{
    const std::size_t need = (bytes + GAP + ALIGN - 1) / ALIGN * ALIGN;
    if (!base_ || bytes == 0 || need < bytes)
        return nullptr;
    std::size_t at = used_.load(std::memory_order_relaxed);
    do {
        if (need > size_ - at)
            return nullptr;
    } while (!used_.compare_exchange_weak(at, at + need, std::memory_order_relaxed));
    char* p = base_ + at;
#ifdef BRELL_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, bytes);
#endif
    return p;
}

bool prob_arena::holds(const void* p) const
{
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    const auto base = reinterpret_cast<std::uintptr_t>(base_);
    return base_ && at >= base && at < base + size_;
}

}  // namespace brell
