// Kept in its own executable: the tables must still be unbuilt when it starts.
#include <gtest/gtest.h>

#include <barrier>
#include <thread>
#include <vector>

#include "codec/engine/tables.hpp"

namespace ondrel::engine {
namespace {

TEST(TableAccessors, ConcurrentFirstCallsBuildEachTableOnce) {
    ASSERT_EQ(table_build_counts(), (std::array<unsigned, 4>{0, 0, 0, 0}));
    constexpr int kThreads = 8;
    std::barrier start(kThreads);
    std::vector<std::array<const void*, 4>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            // Alternate the order so that derived tables race the base table too.
            if (t % 2 == 0) {
                seen[t][2] = &get_mul128();
                seen[t][3] = &get_skew();
                seen[t][1] = &get_log_walsh();
                seen[t][0] = &get_exp_log();
            } else {
                seen[t][0] = &get_exp_log();
                seen[t][1] = &get_log_walsh();
                seen[t][3] = &get_skew();
                seen[t][2] = &get_mul128();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]) << "thread " << t;
    EXPECT_EQ(table_build_counts(), (std::array<unsigned, 4>{1, 1, 1, 1}));
}

}  // namespace
}  // namespace ondrel::engine
