// The pool behind parallel_for: parts cover the range exactly once, failures come back to the
// caller, concurrent and nested callers finish, and a child of fork has a working pool.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/thread_pool.hpp"

namespace pwpoly::threads {
namespace {

// Marks every index its parts visit; each index must be visited once.
std::vector<int> visits(std::size_t count, std::size_t workers, std::size_t grain, std::size_t align) {
    std::vector<int> seen(count, 0);
    auto body = [&](std::size_t begin, std::size_t end) {
        ASSERT_LE(begin, end);
        ASSERT_EQ(begin % align, 0u);
        for (std::size_t i = begin; i < end; ++i) ++seen[i];
    };
    parallel_for(count, workers, grain, align, body);
    return seen;
}

TEST(ThreadPool, PartsCoverTheRangeOnce) {
    for (std::size_t count : {0u, 1u, 7u, 64u, 1000u, 4099u}) {
        for (std::size_t workers : {1u, 2u, 3u, 8u, 64u}) {
            for (std::size_t align : {1u, 8u}) {
                const std::vector<int> seen = visits(count, workers, 8, align);
                for (std::size_t i = 0; i < count; ++i)
                    ASSERT_EQ(seen[i], 1) << count << " " << workers << " " << align << " at " << i;
            }
        }
    }
}

TEST(ThreadPool, PartCountAndStarts) {
    EXPECT_EQ(part_count(1000, 4, 10), 16u);  // four parts per worker
    EXPECT_EQ(part_count(100, 4, 10), 10u);
    EXPECT_EQ(part_count(100, 4, 40), 2u);
    EXPECT_EQ(part_count(1000, 1, 10), 1u);
    EXPECT_EQ(part_count(5, 4, 10), 1u);
    EXPECT_EQ(part_count(0, 4, 10), 1u);
    EXPECT_EQ(part_count(static_cast<std::size_t>(-1), static_cast<std::size_t>(-1), 1), static_cast<std::size_t>(-1));
    EXPECT_EQ(part_start(0, 3, 100, 1), 0u);
    EXPECT_EQ(part_start(1, 3, 100, 1), 33u);
    EXPECT_EQ(part_start(2, 3, 100, 8), 64u);
    EXPECT_EQ(part_start(3, 3, 100, 8), 100u);
    const std::size_t huge = static_cast<std::size_t>(-1);
    EXPECT_EQ(part_start(1, 2, huge, 1), huge / 2);  // no overflow on the largest count
}

TEST(ThreadPool, UsesTheCallerAloneForOnePart) {
    std::thread::id ran;
    auto body = [&](std::size_t, std::size_t) { ran = std::this_thread::get_id(); };
    parallel_for(10, 4, 100, 1, body);
    EXPECT_EQ(ran, std::this_thread::get_id());
}

TEST(ThreadPool, RethrowsTheFirstFailureAfterEveryPart) {
    std::atomic<int> running{0};
    auto body = [&](std::size_t begin, std::size_t) {
        ++running;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --running;
        if (begin == 0) throw std::runtime_error("part 0");
    };
    try {
        parallel_for(400, 4, 1, 1, body);
        FAIL() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "part 0");
    }
    EXPECT_EQ(running.load(), 0);  // no part outlives the call
    EXPECT_GE(pool_threads(), 1u);
}

TEST(ThreadPool, ConcurrentAndNestedCallers) {
    std::atomic<std::size_t> total{0};
    auto run = [&] {
        for (int r = 0; r < 20; ++r) {
            auto outer = [&](std::size_t begin, std::size_t end) {
                auto inner = [&](std::size_t b, std::size_t e) { total += e - b; };
                parallel_for(end - begin, 3, 4, 1, inner);
            };
            parallel_for(64, 3, 4, 1, outer);
        }
    };
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c) callers.emplace_back(run);
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(total.load(), 4u * 20u * 64u);
}

TEST(ThreadPool, WorksInAChildOfFork) {
    std::atomic<std::size_t> total{0};
    auto body = [&](std::size_t b, std::size_t e) { total += e - b; };
    parallel_for(1000, 2, 10, 1, body);  // the parent's pool exists now
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::atomic<std::size_t> sum{0};
        auto count = [&](std::size_t b, std::size_t e) { sum += e - b; };
        parallel_for(1000, 2, 10, 1, count);
        _exit(sum.load() == 1000 && pool_threads() >= 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(total.load(), 1000u);
}

TEST(ThreadPool, UsableCores) { EXPECT_GE(usable_cores(), 1u); }

}  // namespace
}  // namespace pwpoly::threads
