// ApprovalGate: snooze, notification throttle and grace, each against explicit moments.
#include "unlock/ApprovalGate.h"

#include <gtest/gtest.h>

namespace vantorelle {
namespace {

const Date t0 = dateFromSeconds(1'800'000'000);

Date at(double seconds)
{
    return t0 + std::chrono::duration<double>(seconds);
}

const Requester git{"git", Requester::Kind::interactive};
const Requester gitBackground{"git", Requester::Kind::background};

std::map<std::string, SecretString> secrets(std::initializer_list<std::pair<const char*, const char*>> entries)
{
    std::map<std::string, SecretString> result;
    for (const auto& [path, secret] : entries) {
        result.emplace(path, SecretString(std::string_view(secret)));
    }
    return result;
}

TEST(ApprovalGateTest, SnoozeLastsSixHundredSecondsAndIsRemovedWhenItRunsOut)
{
    ApprovalGate gate;
    EXPECT_FALSE(gate.isSnoozed(git, t0));
    gate.snooze(git, t0);
    EXPECT_TRUE(gate.isSnoozed(git, at(0)));
    EXPECT_TRUE(gate.isSnoozed(git, at(599.9)));
    EXPECT_EQ(gate.snoozedUntil().size(), 1u);
    EXPECT_FALSE(gate.isSnoozed(git, at(600)));
    EXPECT_TRUE(gate.snoozedUntil().empty());
}

TEST(ApprovalGateTest, SnoozeAgainReplacesTheEarlierEntry)
{
    ApprovalGate gate;
    gate.snooze(git, t0);
    gate.snooze(git, at(300));
    EXPECT_TRUE(gate.isSnoozed(git, at(899)));
    EXPECT_FALSE(gate.isSnoozed(git, at(900)));
}

TEST(ApprovalGateTest, SameNameOfAnotherKindIsAnotherRequester)
{
    ApprovalGate gate;
    gate.snooze(git, t0);
    EXPECT_FALSE(gate.isSnoozed(gitBackground, at(1)));
    EXPECT_TRUE(gate.isSnoozed(git, at(1)));

    EXPECT_TRUE(gate.shouldNotify(gitBackground, t0));
    EXPECT_TRUE(gate.shouldNotify(git, at(1)));
    EXPECT_FALSE(gate.shouldNotify(gitBackground, at(2)));
    EXPECT_FALSE(gate.shouldNotify(git, at(2)));
}

TEST(ApprovalGateTest, NotificationsAreSpacedBySixHundredSeconds)
{
    ApprovalGate gate;
    EXPECT_TRUE(gate.shouldNotify(gitBackground, t0));
    EXPECT_FALSE(gate.shouldNotify(gitBackground, at(599)));
    EXPECT_TRUE(gate.shouldNotify(gitBackground, at(600)));
    // The spacing counts from the last notification, not from the first.
    EXPECT_FALSE(gate.shouldNotify(gitBackground, at(1199)));
    EXPECT_TRUE(gate.shouldNotify(gitBackground, at(1200)));
}

TEST(ApprovalGateTest, ClockSetBackBeforeTheLastNotificationNotifiesAgain)
{
    ApprovalGate gate;
    EXPECT_TRUE(gate.shouldNotify(gitBackground, at(100)));
    EXPECT_TRUE(gate.shouldNotify(gitBackground, at(50)));
    EXPECT_EQ(gate.lastNotified().at(gitBackground), at(50));
}

TEST(ApprovalGateTest, GraceGivesSecretsUpToFiveSecondsInclusive)
{
    ApprovalGate gate;
    gate.grant(secrets({{"/k/a", "alpha"}, {"/k/b", "beta"}}), t0);
    EXPECT_EQ(gate.graceSecret("/k/a", at(0)), SecretString(std::string_view("alpha")));
    EXPECT_EQ(gate.graceSecret("/k/b", at(5)), SecretString(std::string_view("beta")));
    EXPECT_EQ(gate.graceSecret("/k/a", at(5.001)), std::nullopt);
    EXPECT_EQ(gate.graceSecretCount(), 0u);
    EXPECT_FALSE(gate.approvedAt());
    // Over is over, even back within the same second.
    EXPECT_EQ(gate.graceSecret("/k/b", at(5)), std::nullopt);
}

TEST(ApprovalGateTest, UnknownPathDoesNotEndARunningGrace)
{
    ApprovalGate gate;
    gate.grant(secrets({{"/k/a", "alpha"}}), t0);
    EXPECT_EQ(gate.graceSecret("/k/other", at(1)), std::nullopt);
    EXPECT_EQ(gate.graceSecret("/k/a", at(2)), SecretString(std::string_view("alpha")));
}

TEST(ApprovalGateTest, ClockSetBackBeforeTheApprovalEndsTheGrace)
{
    ApprovalGate gate;
    gate.grant(secrets({{"/k/a", "alpha"}}), t0);
    EXPECT_EQ(gate.graceSecret("/k/a", at(-0.5)), std::nullopt);
    EXPECT_EQ(gate.graceSecret("/k/a", at(1)), std::nullopt);
}

TEST(ApprovalGateTest, SweepEndsOnlyAGraceThatRanOut)
{
    ApprovalGate gate;
    gate.grant(secrets({{"/k/a", "alpha"}}), t0);
    gate.expireGrace(at(5));
    EXPECT_EQ(gate.graceSecretCount(), 1u);
    gate.expireGrace(at(6));
    EXPECT_EQ(gate.graceSecretCount(), 0u);
    EXPECT_FALSE(gate.approvedAt());

    gate.grant(secrets({{"/k/a", "alpha"}}), t0);
    gate.expireGrace(at(-1));
    EXPECT_EQ(gate.graceSecretCount(), 0u);
}

TEST(ApprovalGateTest, NewGrantReplacesTheGraceWholesaleAndClearEndsIt)
{
    ApprovalGate gate;
    gate.grant(secrets({{"/k/a", "alpha"}, {"/k/b", "beta"}}), t0);
    gate.grant(secrets({{"/k/b", "beta2"}}), at(4));
    EXPECT_EQ(gate.graceSecret("/k/a", at(8)), std::nullopt);
    EXPECT_EQ(gate.graceSecret("/k/b", at(8)), SecretString(std::string_view("beta2")));
    gate.clearGrace();
    EXPECT_EQ(gate.graceSecret("/k/b", at(8)), std::nullopt);
    EXPECT_FALSE(gate.approvedAt());
}

} // namespace
} // namespace vantorelle
