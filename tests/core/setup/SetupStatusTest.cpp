// SetupStatus and ManagedKeyRules: the checklist and the two rules over key paths.
#include "setup/SetupStatus.h"

#include <gtest/gtest.h>

#include "setup/ManagedKeyRules.h"

namespace vantorelle {
namespace {

using SetupStatus::Item;
using SetupStatus::Missing;
using SetupStatus::Step;

SetupFacts allDone()
{
    return SetupFacts{{{"id_ed25519", true}}, true, true, "/opt/v/askpass", "/opt/v/askpass", true, true};
}

TEST(SetupStatusTest, AllDoneAndFreshMachine)
{
    auto items = SetupStatus::evaluate(allDone());
    EXPECT_EQ(items,
              (std::vector<Item>{
                  {Step::key, true, {}}, {Step::ssh, true, {}}, {Step::cli, true, {}}, {Step::login, true, {}}}));
    EXPECT_EQ(SetupStatus::remaining(items), 0);
    items = SetupStatus::evaluate(SetupFacts{});
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[1], (Item{Step::ssh, false, {Missing::sshConfig, Missing::shellFile, Missing::appEnvironment}}));
    EXPECT_EQ(SetupStatus::remaining(items), 4);
}

TEST(SetupStatusTest, KeyStep)
{
    auto facts = allDone();
    facts.managedKeys.clear();
    EXPECT_FALSE(SetupStatus::evaluate(facts)[0].done); // no keys is not done
    facts.managedKeys = {{"a", true}, {"b", false}};
    EXPECT_FALSE(SetupStatus::evaluate(facts)[0].done);
    facts.managedKeys = {{"a", true}, {"b", true}};
    EXPECT_TRUE(SetupStatus::evaluate(facts)[0].done);
}

TEST(SetupStatusTest, SSHStepComparesStandardisedHelperPaths)
{
    struct Case
    {
        const char* name;
        std::string launch;
        std::optional<std::string> app;
        bool matches;
    };
    const Case cases[] = {
        {"same", "/opt/v/askpass", "/opt/v/askpass", true},
        {"through ..", "/opt/v/bin/../askpass", "/opt/v/askpass", true},
        {"through .", "/opt/./v/askpass", "/opt/v/askpass", true},
        {"a link to the helper is another path", "/usr/local/bin/askpass", "/opt/v/askpass", false},
        {"unset", "", "/opt/v/askpass", false},
        {"helper not found", "/opt/v/askpass", std::nullopt, false},
    };
    for (const auto& c : cases) {
        auto facts = allDone();
        facts.launchAskpass = c.launch;
        facts.appAskpass = c.app;
        const auto item = SetupStatus::evaluate(facts)[1];
        EXPECT_EQ(item.done, c.matches) << c.name;
        EXPECT_EQ(item.missing, c.matches ? std::vector<Missing>{} : std::vector<Missing>{Missing::appEnvironment})
            << c.name;
    }
    auto facts = allDone();
    facts.shellBlock = false;
    EXPECT_EQ(SetupStatus::evaluate(facts)[1].missing, std::vector<Missing>{Missing::shellFile});
    facts.cliLinked = false;
    facts.loginEnabled = false;
    EXPECT_EQ(SetupStatus::remaining(SetupStatus::evaluate(facts)), 3);
}

TEST(ManagedKeyRulesTest, PathsKeptAfterUndo)
{
    const std::vector<std::string> managed = {"/h/.ssh/a", "/h/.ssh/b", "/h/.ssh/c"};
    EXPECT_TRUE(ManagedKeyRules::pathsKeptAfterUndo(managed, {}).empty());
    EXPECT_EQ(ManagedKeyRules::pathsKeptAfterUndo(managed, {"/h/.ssh/./c", "/h/.ssh/a"}),
              (std::vector<std::string>{"/h/.ssh/a", "/h/.ssh/c"}));
    EXPECT_EQ(ManagedKeyRules::pathsKeptAfterUndo({"/h/x/../.ssh/b"}, {"/h/.ssh/b"}),
              std::vector<std::string>{"/h/x/../.ssh/b"});
    EXPECT_TRUE(ManagedKeyRules::pathsKeptAfterUndo(managed, {"/elsewhere/a"}).empty());
}

TEST(ManagedKeyRulesTest, UnmanageBreaksSSHOnlyForTheLastReadyKey)
{
    EXPECT_FALSE(ManagedKeyRules::unmanageBreaksSSH("/h/a", {}, true));
    EXPECT_FALSE(ManagedKeyRules::unmanageBreaksSSH("/h/a", {"/h/a", "/h/b"}, true));
    EXPECT_TRUE(ManagedKeyRules::unmanageBreaksSSH("/h/a", {"/h/a"}, true));
    EXPECT_TRUE(ManagedKeyRules::unmanageBreaksSSH("/h/a", {"/h/a", "/h/./a"}, true));
    EXPECT_FALSE(ManagedKeyRules::unmanageBreaksSSH("/h/a", {"/h/a"}, false));
    EXPECT_FALSE(ManagedKeyRules::unmanageBreaksSSH("/h/a", {"/h/b"}, true));
}

} // namespace
} // namespace vantorelle
