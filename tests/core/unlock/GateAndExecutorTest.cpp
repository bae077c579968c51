// ApprovalGate (snooze, notification throttle and grace, each against explicit moments) and the
// thread executor the coordinator runs on: order, delays and what happens to work left at the end.
#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <vector>

#include "support/WaitFor.h"
#include "unlock/ApprovalGate.h"
#include "unlock/ThreadExecutor.h"

using namespace std::chrono_literals;

namespace vantorelle {
namespace {

const Requester git{"git", Requester::Kind::interactive}, gitBackground{"git", Requester::Kind::background};

Date at(double seconds)
{
    return dateFromSeconds(1'800'000'000 + seconds);
}

TEST(ApprovalGateTest, SnoozeAndNotificationsLastSixHundredSecondsPerRequesterAndKind)
{
    ApprovalGate gate;
    EXPECT_FALSE(gate.isSnoozed(git, at(0)));
    gate.snooze(git, at(0));
    gate.snooze(git, at(300)); // replaces the earlier entry
    EXPECT_TRUE(gate.isSnoozed(git, at(899.9)));
    EXPECT_FALSE(gate.isSnoozed(gitBackground, at(1)));
    EXPECT_FALSE(gate.isSnoozed(git, at(900)));
    EXPECT_TRUE(gate.snoozedUntil().empty()); // removed when it ran out
    // clang-format off
    for (const auto& [seconds, notify] : std::vector<std::pair<double, bool>>{{0, true}, {599, false}, {600, true}, {1199, false},
             {1200, true}, {50, true}}) { // 50: clock set back
        EXPECT_EQ(gate.shouldNotify(gitBackground, at(seconds)), notify) << seconds;
    }
    // clang-format on
    EXPECT_TRUE(gate.shouldNotify(git, at(51)));
    EXPECT_EQ(gate.lastNotified().at(gitBackground), at(50));
}

TEST(ApprovalGateTest, GraceGivesSecretsUpToFiveSecondsInclusiveAndTheSweepEndsItAfter)
{
    ApprovalGate gate;
    auto grant = [&](std::map<std::string, std::string> secrets, double seconds) {
        std::map<std::string, SecretString> granted;
        for (const auto& [path, text] : secrets) {
            granted.emplace(path, SecretString(std::string_view(text)));
        }
        gate.grant(std::move(granted), at(seconds));
    };
    // The passphrases the lookups find, in order, "-" for none.
    auto grace = [&](std::initializer_list<std::pair<const char*, double>> lookups, std::string found = "") {
        for (const auto& [path, seconds] : lookups) {
            const auto secret = gate.graceSecret(path, at(seconds));
            found += secret ? std::string(secret->view()) : "-";
        }
        return found;
    };
    grant({{"/k/a", "alpha"}, {"/k/b", "beta"}}, 0);
    EXPECT_EQ(grace({{"/k/a", 0}, {"/k/other", 1}, {"/k/b", 5}}), "alpha-beta"); // unknown key: grace goes on
    EXPECT_EQ(grace({{"/k/a", 5.001}, {"/k/b", 5}}), "--"); // over is over
    EXPECT_EQ(gate.graceSecretCount(), 0u);
    grant({{"/k/a", "alpha"}}, 0);
    EXPECT_EQ(grace({{"/k/a", -0.5}, {"/k/a", 1}}), "--"); // clock set back before the approval ends it
    grant({{"/k/a", "alpha"}, {"/k/b", "beta"}}, 0);
    grant({{"/k/b", "beta2"}}, 4); // replaces it wholesale
    EXPECT_EQ(grace({{"/k/a", 8}, {"/k/b", 8}}), "-beta2");
    for (const auto& [sweep, left] : std::vector<std::pair<double, size_t>>{{5, 1}, {6, 0}, {-1, 0}}) {
        grant({{"/k/a", "alpha"}}, 0);
        gate.expireGrace(at(sweep));
        EXPECT_EQ(gate.graceSecretCount(), left) << sweep;
        EXPECT_EQ(gate.approvedAt().has_value(), left == 1) << sweep;
    }
}

using Seconds = SerialExecutor::Seconds;

// Order and one-at-a-time running are what the coordinator's stress run relies on throughout.
TEST(ThreadExecutorTest, RunsDelayedWorkNoSoonerThanAskedOnItsOwnThreadAndDropsWhatIsPendingAtTheEnd)
{
    std::atomic<bool> delayedRan{false};
    auto dropped = std::make_shared<int>(0);
    const std::weak_ptr<int> droppedWatch = dropped;
    {
        ThreadExecutor executor;
        const auto posted = std::chrono::steady_clock::now();
        executor.postAfter(Seconds(0.05), [&] {
            delayedRan = std::chrono::steady_clock::now() - posted >= 50ms && executor.isCurrent();
        });
        executor.postAfter(Seconds(3600), [keep = std::move(dropped)] {});
        EXPECT_FALSE(executor.isCurrent());
        EXPECT_TRUE(test::waitFor([&] { return delayedRan.load(); }));
    }
    EXPECT_TRUE(droppedWatch.expired());
}

} // namespace
} // namespace vantorelle
