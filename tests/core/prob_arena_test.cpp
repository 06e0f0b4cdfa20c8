#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "brell.h"

namespace brell {
namespace {

// The arena sized for a study's arrays must hold exactly those arrays, apart
// and aligned, whatever their lengths; arrays it cannot hold come from the
// heap and still work.
TEST(ProbArena, HoldsTheArraysItWasSizedForApartAndAligned)
{
    const std::vector<std::vector<std::size_t>> studies = {
        {1}, {3, 5, 7}, {16, 16, 16, 16}, {1000001, 2, 262145}, {8 * 4000, 6 * 4000, 1},
    };
    for (const auto& lengths : studies) {
        std::size_t bytes = 0;
        for (std::size_t n : lengths)
            bytes += n * sizeof(double);
        auto arena = std::make_shared<prob_arena>(bytes, lengths.size());
        std::vector<prob_vector> arrays;
        for (std::size_t i = 0; i < lengths.size(); ++i) {
            prob_vector v{arena_allocator<double>(arena)};
            v.resize(lengths[i]);
            std::fill(v.begin(), v.end(), static_cast<double>(i));
            EXPECT_TRUE(arena->holds(v.data())) << "array " << i << " of " << lengths.size();
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v.data()) % 64, 0u);
            arrays.push_back(std::move(v));  // a move keeps the memory
        }
        for (std::size_t i = 0; i < arrays.size(); ++i)
            EXPECT_EQ(std::count(arrays[i].begin(), arrays[i].end(), static_cast<double>(i)),
                      static_cast<std::ptrdiff_t>(lengths[i]));

        prob_vector beyond{arena_allocator<double>(arena)};
        beyond.resize(std::size_t{1} << 23);  // more than any of these arenas has left
        EXPECT_FALSE(arena->holds(beyond.data()));
        prob_vector copy = arrays[0];
        EXPECT_FALSE(arena->holds(copy.data()));
        EXPECT_TRUE(std::equal(copy.begin(), copy.end(), arrays[0].begin(), arrays[0].end()));
    }
}

// Workers take their kindreds' arrays at once: no two pieces may overlap.
TEST(ProbArena, PiecesTakenAtOnceByManyThreadsAreApart)
{
    constexpr int threads = 4;
    constexpr int each = 2000;
    auto arena = std::make_shared<prob_arena>(threads * each * 24 * sizeof(double), threads * each);
    std::vector<std::vector<std::pair<std::uintptr_t, std::size_t>>> got(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < each; ++i) {
                const std::size_t bytes = (1 + (i * 7 + t) % 24) * sizeof(double);
                got[t].emplace_back(reinterpret_cast<std::uintptr_t>(arena->take(bytes)), bytes);
            }
        });
    for (std::thread& th : pool)
        th.join();
    std::vector<std::pair<std::uintptr_t, std::size_t>> all;
    for (const auto& g : got)
        all.insert(all.end(), g.begin(), g.end());
    std::sort(all.begin(), all.end());
    ASSERT_NE(all.front().first, 0u) << "the arena ran out";
    for (std::size_t i = 1; i < all.size(); ++i)
        ASSERT_GE(all[i].first, all[i - 1].first + all[i - 1].second) << "pieces " << i - 1 << " and " << i;
}

}  // namespace
}  // namespace brell
