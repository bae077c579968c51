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
std::optional<std::string> grace(ApprovalGate& gate, const char* path, double seconds)
{
    const auto secret = gate.graceSecret(path, at(seconds));
    return secret ? std::optional<std::string>(secret->view()) : std::nullopt;
}

TEST(ApprovalGateTest, SnoozeLastsSixHundredSecondsPerRequesterAndKind)
{
    ApprovalGate gate;
    EXPECT_FALSE(gate.isSnoozed(git, t0));
    gate.snooze(git, t0);
    gate.snooze(git, at(300)); // replaces the earlier entry
    EXPECT_TRUE(gate.isSnoozed(git, at(899.9)));
    EXPECT_FALSE(gate.isSnoozed(gitBackground, at(1)));
    EXPECT_FALSE(gate.isSnoozed(git, at(900)));
    EXPECT_TRUE(gate.snoozedUntil().empty()); // removed when it ran out
}

TEST(ApprovalGateTest, NotificationsAreSpacedBySixHundredSecondsFromTheLastOne)
{
    ApprovalGate gate;
    EXPECT_TRUE(gate.shouldNotify(gitBackground, t0));
    EXPECT_TRUE(gate.shouldNotify(git, at(1))); // another kind, another requester
    EXPECT_FALSE(gate.shouldNotify(gitBackground, at(599)));
    EXPECT_TRUE(gate.shouldNotify(gitBackground, at(600)));
    EXPECT_FALSE(gate.shouldNotify(gitBackground, at(1199)));
    EXPECT_TRUE(gate.shouldNotify(gitBackground, at(1200)));
    EXPECT_TRUE(gate.shouldNotify(gitBackground, at(50))); // clock set back
    EXPECT_EQ(gate.lastNotified().at(gitBackground), at(50));
}

TEST(ApprovalGateTest, GraceGivesSecretsUpToFiveSecondsInclusive)
{
    ApprovalGate gate;
    gate.grant(secrets({{"/k/a", "alpha"}, {"/k/b", "beta"}}), t0);
    EXPECT_EQ(grace(gate, "/k/a", 0), "alpha");
    EXPECT_EQ(grace(gate, "/k/other", 1), std::nullopt); // does not end the grace
    EXPECT_EQ(grace(gate, "/k/b", 5), "beta");
    EXPECT_EQ(grace(gate, "/k/a", 5.001), std::nullopt);
    EXPECT_EQ(gate.graceSecretCount(), 0u);
    EXPECT_EQ(grace(gate, "/k/b", 5), std::nullopt); // over is over

    gate.grant(secrets({{"/k/a", "alpha"}}), t0);
    EXPECT_EQ(grace(gate, "/k/a", -0.5), std::nullopt); // clock set back before the approval
    EXPECT_EQ(grace(gate, "/k/a", 1), std::nullopt);

    gate.grant(secrets({{"/k/a", "alpha"}, {"/k/b", "beta"}}), t0);
    gate.grant(secrets({{"/k/b", "beta2"}}), at(4)); // replaces it wholesale
    EXPECT_EQ(grace(gate, "/k/a", 8), std::nullopt);
    EXPECT_EQ(grace(gate, "/k/b", 8), "beta2");
    gate.clearGrace();
    EXPECT_EQ(grace(gate, "/k/b", 8), std::nullopt);
    EXPECT_FALSE(gate.approvedAt());
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

} // namespace
} // namespace vantorelle
