// ManualExecutor and ThreadExecutor: order, delays and what happens to work left at the end.
#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

#include "unlock/ManualExecutor.h"
#include "unlock/ThreadExecutor.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;
using Seconds = SerialExecutor::Seconds;

TEST(ManualExecutorTest, RunsTasksInOrderIncludingThoseTheyPost)
{
    ManualExecutor executor;
    std::vector<int> ran;
    executor.post([&] {
        ran.push_back(1);
        executor.post([&] { ran.push_back(3); });
    });
    executor.post([&] { ran.push_back(2); });
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(executor.runAll(), 3u);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(executor.runOne());
}

TEST(ManualExecutorTest, DelayedTasksRunWhenTimeIsAdvancedToThem)
{
    ManualExecutor executor;
    std::vector<std::pair<int, double>> ran;
    std::vector<double> seen;
    executor.onTimeChange([&](Seconds now) { seen.push_back(now.count()); });
    executor.postAfter(Seconds(6), [&] { ran.emplace_back(6, executor.now().count()); });
    executor.postAfter(Seconds(2), [&] {
        ran.emplace_back(2, executor.now().count());
        executor.postAfter(Seconds(1), [&] { ran.emplace_back(3, executor.now().count()); });
    });
    executor.postAfter(Seconds(2), [&] { ran.emplace_back(22, executor.now().count()); });

    executor.advance(Seconds(1.5));
    EXPECT_TRUE(ran.empty());
    executor.advance(Seconds(3));
    EXPECT_EQ(ran, (std::vector<std::pair<int, double>>{{2, 2}, {22, 2}, {3, 3}}));
    EXPECT_EQ(executor.delayedCount(), 1u);
    executor.advance(Seconds(10));
    EXPECT_EQ(ran.back(), (std::pair<int, double>{6, 6}));
    EXPECT_EQ(executor.now().count(), 14.5);
    EXPECT_EQ(seen, (std::vector<double>{1.5, 2, 2, 3, 4.5, 6, 14.5}));
}

TEST(ThreadExecutorTest, RunsOneAtATimeInPostingOrder)
{
    std::vector<int> ran;
    std::atomic<int> running{0};
    bool overlapped = false;
    {
        ThreadExecutor executor;
        for (int i = 0; i < 200; ++i) {
            executor.post([&, i] {
                overlapped = overlapped || running.fetch_add(1) != 0;
                EXPECT_TRUE(executor.isCurrent());
                ran.push_back(i);
                running.fetch_sub(1);
            });
        }
        EXPECT_FALSE(executor.isCurrent());
    } // the destructor runs what was posted, then joins
    ASSERT_EQ(ran.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(ran[static_cast<size_t>(i)], i);
    }
    EXPECT_FALSE(overlapped);
}

TEST(ThreadExecutorTest, DelayedTaskRunsAfterItsDelayAndPendingOnesAreDroppedAtTheEnd)
{
    std::mutex lock;
    std::condition_variable changed;
    bool ranSoon = false;
    auto dropped = std::make_shared<int>(0);
    std::weak_ptr<int> droppedWatch = dropped;
    {
        ThreadExecutor executor;
        const auto posted = std::chrono::steady_clock::now();
        std::chrono::steady_clock::duration waited{};
        executor.postAfter(Seconds(0.05), [&] {
            std::lock_guard guard(lock);
            waited = std::chrono::steady_clock::now() - posted;
            ranSoon = true;
            changed.notify_all();
        });
        executor.postAfter(Seconds(3600), [keep = std::move(dropped)] {});
        std::unique_lock guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, 30s, [&] { return ranSoon; }));
        EXPECT_GE(waited, 50ms);
    }
    EXPECT_TRUE(droppedWatch.expired());
}

} // namespace
} // namespace vantorelle
