// ManualExecutor and ThreadExecutor: order, delays and what happens to work left at the end.
#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <vector>

#include "support/WaitFor.h"
#include "unlock/ManualExecutor.h"
#include "unlock/ThreadExecutor.h"

using namespace std::chrono_literals;

namespace vantorelle {
namespace {

using Seconds = SerialExecutor::Seconds;
using Ran = std::vector<std::pair<int, double>>;

TEST(ManualExecutorTest, RunsTasksInOrderAndDelayedOnesWhenTimeReachesThem)
{
    ManualExecutor executor;
    Ran ran;
    std::vector<double> seen;
    auto record = [&](int id, int next = 0, double after = 0) {
        return [&, id, next, after] {
            ran.emplace_back(id, executor.now().count());
            if (next) {
                auto task = [&, next] { ran.emplace_back(next, executor.now().count()); };
                after ? executor.postAfter(Seconds(after), task) : executor.post(task);
            }
        };
    };
    executor.onTimeChange([&](Seconds now) { seen.push_back(now.count()); });
    executor.post(record(1, 3));
    executor.post(record(2));
    EXPECT_EQ(executor.runAll(), 3u);
    EXPECT_FALSE(executor.runOne());
    executor.postAfter(Seconds(6), record(6));
    executor.postAfter(Seconds(2), record(2, 3, 1));
    executor.postAfter(Seconds(2), record(22));
    executor.advance(Seconds(1.5));
    EXPECT_EQ(ran.size(), 3u);
    executor.advance(Seconds(3));
    EXPECT_EQ(executor.delayedCount(), 1u);
    executor.advance(Seconds(10));
    EXPECT_EQ(ran, (Ran{{1, 0}, {2, 0}, {3, 0}, {2, 2}, {22, 2}, {3, 3}, {6, 6}}));
    EXPECT_EQ(seen, (std::vector<double>{1.5, 2, 2, 3, 4.5, 6, 14.5}));
}

TEST(ThreadExecutorTest, RunsOneAtATimeInOrderDelaysAndDropsPendingDelayedWork)
{
    std::vector<int> ran;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false}, delayedRan{false};
    auto dropped = std::make_shared<int>(0);
    std::weak_ptr<int> droppedWatch = dropped;
    {
        ThreadExecutor executor;
        const auto posted = std::chrono::steady_clock::now();
        executor.postAfter(Seconds(0.05), [&] { delayedRan = std::chrono::steady_clock::now() - posted >= 50ms; });
        executor.postAfter(Seconds(3600), [keep = std::move(dropped)] {});
        for (int i = 0; i < 200; ++i) {
            executor.post([&, i] {
                overlapped = overlapped || running.fetch_add(1) != 0 || !executor.isCurrent();
                ran.push_back(i);
                running.fetch_sub(1);
            });
        }
        EXPECT_FALSE(executor.isCurrent());
        EXPECT_TRUE(test::waitFor([&] { return delayedRan.load(); }));
    } // the destructor runs what was posted, then joins
    ASSERT_EQ(ran.size(), 200u);
    EXPECT_TRUE(std::is_sorted(ran.begin(), ran.end()));
    EXPECT_FALSE(overlapped);
    EXPECT_TRUE(droppedWatch.expired());
}

} // namespace
} // namespace vantorelle
