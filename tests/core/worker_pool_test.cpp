#include <atomic>
#include <stdexcept>

#include <gtest/gtest.h>

#include "brell.h"

namespace {

TEST(WorkerPool, RunsEveryWorkerEachTimeAndPassesOnWhatAJobThrew)
{
    brell::worker_pool pool(3);
    ASSERT_EQ(pool.size(), 3);
    for (int round = 0; round < 50; ++round) {
        std::atomic<int> seen{0};
        pool.run([&](int t) { seen |= 1 << t; });
        EXPECT_EQ(seen, 7);
    }
    for (int thrower : {0, 2}) {
        EXPECT_THROW(pool.run([&](int t) {
                         if (t == thrower)
                             throw std::runtime_error("job");
                     }),
                     std::runtime_error);
    }
    std::atomic<int> after{0};
    pool.run([&](int) { ++after; });  // still usable
    EXPECT_EQ(after, 3);
}

}  // namespace
