// SetupStatus and ManagedKeyRules: the checklist and the two rules over key paths.
#include "setup/SetupStatus.h"

#include <gtest/gtest.h>

#include "setup/ManagedKeyRules.h"

namespace vantorelle {
namespace {

using SetupStatus::Item;
using SetupStatus::Missing;
using SetupStatus::Step;

TEST(SetupStatusTest, EachStepIsDoneOnlyWhenEverythingItNeedsIsInPlace)
{
    const SetupFacts done{{{"id_ed25519", true}}, true, true, "/opt/v/askpass", "/opt/v/askpass", true, true};
    auto items = SetupStatus::evaluate(done);
    EXPECT_EQ(items,
              (std::vector<Item>{
                  {Step::key, true, {}}, {Step::ssh, true, {}}, {Step::cli, true, {}}, {Step::login, true, {}}}));
    EXPECT_EQ(SetupStatus::remaining(items), 0);
    items = SetupStatus::evaluate(SetupFacts{});
    EXPECT_EQ(items[1], (Item{Step::ssh, false, {Missing::sshConfig, Missing::shellFile, Missing::appEnvironment}}));
    EXPECT_EQ(SetupStatus::remaining(items), 4);
    // The key step wants at least one key and every passphrase stored; the helper paths are
    // compared standardised, not through links.
    using Keys = std::vector<SetupFacts::ManagedKey>;
    // clang-format off
    const std::tuple<Keys, std::string, std::optional<std::string>, bool, bool> cases[] = {
        {{}, "/opt/v/askpass", "/opt/v/askpass", false, true}, {{{"a", true}, {"b", false}}, "/opt/v/askpass", "/opt/v/askpass", false, true},
        {{{"a", true}, {"b", true}}, "/opt/v/bin/../askpass", "/opt/v/askpass", true, true},
        {{{"a", true}}, "/opt/./v/askpass", "/opt/v/askpass", true, true}, {{{"a", true}}, "/usr/local/bin/askpass", "/opt/v/askpass", true, false},
        {{{"a", true}}, "", "/opt/v/askpass", true, false}, {{{"a", true}}, "/opt/v/askpass", std::nullopt, true, false}};
    // clang-format on
    for (const auto& [keys, launch, app, keyDone, helperFound] : cases) {
        const auto steps = SetupStatus::evaluate(SetupFacts{keys, true, true, launch, app, true, true});
        EXPECT_EQ(steps[0].done, keyDone) << launch;
        EXPECT_EQ(steps[1].done, helperFound) << launch;
        EXPECT_EQ(steps[1].missing, std::vector(!helperFound, Missing::appEnvironment)) << launch;
    }
    auto facts = done;
    facts.shellBlock = facts.cliLinked = facts.loginEnabled = false;
    EXPECT_EQ(SetupStatus::evaluate(facts)[1].missing, std::vector<Missing>{Missing::shellFile});
    EXPECT_EQ(SetupStatus::remaining(SetupStatus::evaluate(facts)), 3);
}

TEST(ManagedKeyRulesTest, PathsKeptAfterUndoAndTheLastReadyKey)
{
    using V = std::vector<std::string>;
    const V managed = {"/h/.ssh/a", "/h/.ssh/b", "/h/.ssh/c"};
    EXPECT_EQ(ManagedKeyRules::pathsKeptAfterUndo(managed, {"/h/.ssh/./c", "/h/.ssh/a"}),
              (V{"/h/.ssh/a", "/h/.ssh/c"}));
    EXPECT_EQ(ManagedKeyRules::pathsKeptAfterUndo({"/h/x/../.ssh/b"}, {"/h/.ssh/b"}), V{"/h/x/../.ssh/b"});
    EXPECT_TRUE(ManagedKeyRules::pathsKeptAfterUndo(managed, {"/elsewhere/a"}).empty());
    // Unmanaging breaks ssh only for the last ready key, and only once setup is applied.
    // clang-format off
    const std::tuple<V, bool, bool> cases[] = {{{}, true, false}, {{"/h/a", "/h/b"}, true, false}, {{"/h/a"}, true, true},
        {{"/h/a", "/h/./a"}, true, true}, {{"/h/a"}, false, false}, {{"/h/b"}, true, false}};
    // clang-format on
    for (const auto& [ready, applied, breaks] : cases) {
        EXPECT_EQ(ManagedKeyRules::unmanageBreaksSSH("/h/a", ready, applied), breaks)
            << ::testing::PrintToString(ready);
    }
}

} // namespace
} // namespace vantorelle
