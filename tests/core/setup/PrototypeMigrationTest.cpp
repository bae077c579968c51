// PrototypeMigration: the text rules for the prototype's lines, detection and the removal plan on a
// real home directory, and the secret-store deletion rule against a fake store.
#include "setup/PrototypeMigration.h"

#include <gtest/gtest.h>
#include <map>

#include "FileHelpers.h"
#include "setup/MarkedBlock.h"
#include "support/TempDir.h"

namespace vantorelle {
namespace {

using namespace vantorelle::testing;
namespace PM = PrototypeMigration;

const std::string B(MarkedBlock::begin);
const std::string E(MarkedBlock::end);
const std::string kExport = "export SSH_ASKPASS=\"$HOME/.local/bin/ssh-quillgate-askpass\"";
const std::string kComment = "# SSH key passphrase via Touch ID";
const std::string kCompanion = "export SSH_ASKPASS_REQUIRE=force";

struct TextCase
{
    const char* name;
    std::string text;
    std::string expected;
};

TEST(PrototypeMigrationTest, StripPrototypeExport)
{
    const TextCase cases[] = {
        {"whole prototype block with one blank line before it",
         "export A=1\n\n" + kComment + "\n" + kExport + "\n" + kCompanion + "\nexport B=2\n",
         "export A=1\nexport B=2\n"},
        {"only one blank line goes", "a\n\n\n" + kComment + "\n" + kExport + "\n", "a\n\n"},
        {"export line alone", "a\n" + kExport + "\nb", "a\nb"},
        {"indented and with trailing blanks", "a\n  " + kExport + "  \n\t" + kCompanion + " \nb", "a\nb"},
        {"Unicode blanks are trimmed too", "a\n\xc2\xa0" + kExport + "\xe2\x80\x83\n\xe3\x80\x80" + kCompanion + "\nb",
         "a\nb"},
        {"comment with more words", kComment + " (quillgate)\n" + kExport + "\n", ""},
        {"companion not directly after stays", kExport + "\n\n" + kCompanion + "\n", "\n" + kCompanion + "\n"},
        {"other askpass left alone", "export SSH_ASKPASS=/usr/bin/ksshaskpass\n" + kCompanion + "\n",
         "export SSH_ASKPASS=/usr/bin/ksshaskpass\n" + kCompanion + "\n"},
        {"inside our managed block untouched", B + "\n" + kExport + "\n" + E + "\n",
         B + "\n" + kExport + "\n" + E + "\n"},
        {"indented markers still mark the block", "  " + B + "\n" + kExport + "\n" + E + "  \n",
         "  " + B + "\n" + kExport + "\n" + E + "  \n"},
        {"a blank line inside the block is not taken", B + "\n\n" + E + "\n" + kExport + "\n", B + "\n\n" + E + "\n"},
        {"two prototype blocks, two rounds",
         "a\n\n" + kComment + "\n" + kExport + "\n" + kCompanion + "\nb\n\n" + kComment + "\n" + kExport + "\n"
             + kCompanion + "\nc\n",
         "a\nb\nc\n"},
        {"two export lines back to back", kExport + "\n" + kExport + "\nz", "z"},
        {"CRLF lines", "a\r\n\r\n" + kComment + "\r\n" + kExport + "\r\n" + kCompanion + "\r\nb\r\n", "a\r\nb\r\n"},
        {"not an export", "echo ssh-quillgate-askpass\n", "echo ssh-quillgate-askpass\n"},
        {"empty", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PM::stripPrototypeExport(c.text), c.expected) << c.name;
    }
}

TEST(PrototypeMigrationTest, RestoreAddKeysToAgent)
{
    struct Case
    {
        const char* name;
        std::string text;
        std::optional<std::string> earlier;
        std::string expected;
    };
    const Case cases[] = {
        {"deleted without an earlier value", "Host *\n  AddKeysToAgent 3h\n  User me\n", std::nullopt,
         "Host *\n  User me\n"},
        {"equals sign and upper-case H keep their shape", "AddKeysToAgent=3H\n", "yes", "AddKeysToAgent=yes\n"},
        {"keyword in any case", "addkeystoagent  3h\n", "confirm", "addkeystoagent  confirm\n"},
        {"other values are not the prototype's", "AddKeysToAgent 1h\nAddKeysToAgent yes\n", std::nullopt,
         "AddKeysToAgent 1h\nAddKeysToAgent yes\n"},
        {"every prototype line", "AddKeysToAgent 3h\nHost a\nAddKeysToAgent 3h\n", "no",
         "AddKeysToAgent no\nHost a\nAddKeysToAgent no\n"},
        {"inside our block untouched", B + "\nAddKeysToAgent 3h\n" + E + "\n", std::nullopt,
         B + "\nAddKeysToAgent 3h\n" + E + "\n"},
        {"commented out is not a setting", "# AddKeysToAgent 3h\n", std::nullopt, "# AddKeysToAgent 3h\n"},
        {"CRLF line", "AddKeysToAgent 3h\r\nUser me\r\n", "yes", "AddKeysToAgent yes\r\nUser me\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PM::restoreAddKeysToAgent(c.text, c.earlier), c.expected) << c.name;
    }
}

TEST(PrototypeMigrationTest, EarlierValueFromThePrototypesBackup)
{
    EXPECT_EQ(PM::earlierAddKeysToAgent("Host *\n\n  AddKeysToAgent yes\nAddKeysToAgent no\n"), "yes");
    EXPECT_EQ(PM::earlierAddKeysToAgent("AddKeysToAgent\nAddKeysToAgent = confirm \n"), "confirm");
    EXPECT_EQ(PM::earlierAddKeysToAgent("User me\n"), std::nullopt);
    EXPECT_EQ(PM::earlierAddKeysToAgent(""), std::nullopt);
    // The prototype's own value is nothing to go back to.
    EXPECT_EQ(PM::earlierAddKeysToAgent("AddKeysToAgent 3h\n"), std::nullopt);
}

TEST(PrototypeMigrationTest, DetectAndRemoveOnARealHome)
{
    TempDir home;
    const fs::path zshenv = home.path() / ".zshenv";
    const fs::path config = home.path() / ".ssh/config";
    writeFile(zshenv, "export A=1\n\n" + kComment + "\n" + kExport + "\n" + kCompanion + "\n");
    writeFile(config, "Host *\n  AddKeysToAgent=3H\n  User me\n", fs::perms(0600));
    writeFile(config.string() + ".bak-quillgate", "Host *\n  AddKeysToAgent=yes\n");
    writeFile(home.path() / ".local/bin/ssh-quillgate-askpass", "#!/bin/sh\n", fs::perms(0755));
    fs::create_directories(home.path() / ".local/share");
    fs::create_symlink(home.path() / "nowhere", home.path() / ".local/share/ssh-quillgate"); // dangling
    std::map<std::string, int> items = {{"ssh-quillgate", 2}, {"ssh-quillgate-grace", 0}};
    const auto keychainHas = [&items](std::string_view service) { return items[std::string(service)] > 0; };

    const auto found = PM::detect(home.path(), keychainHas);
    EXPECT_EQ(found,
              (std::vector<Leftover>{Leftover::shellExport(zshenv), Leftover::addKeysToAgent(config),
                                     Leftover::path(home.path() / ".local/bin/ssh-quillgate-askpass"),
                                     Leftover::path(home.path() / ".local/share/ssh-quillgate"),
                                     Leftover::keychainService("ssh-quillgate")}));

    const auto plan = PM::removalPlan(found, home.path());
    ASSERT_EQ(plan.changes.size(), 2u);
    EXPECT_EQ(plan.changes[0], (FileChange{zshenv, readFile(zshenv), "export A=1\n", false}));
    EXPECT_EQ(plan.changes[1].after, "Host *\n  AddKeysToAgent=yes\n  User me\n");
    ASSERT_TRUE(plan.apply(PM::backupSuffix).has_value());
    EXPECT_EQ(readFile(zshenv.string() + ".bak-vantorelle-migration"),
              "export A=1\n\n" + kComment + "\n" + kExport + "\n" + kCompanion + "\n");
    EXPECT_EQ(modeOf(config), 0600u);

    const auto left = PM::detect(home.path(), keychainHas);
    EXPECT_EQ(left.size(), 3u); // the two paths and the service: the plan does not touch them
}

TEST(PrototypeMigrationTest, DetectSkipsUnreadableFilesAndLooksOnlyAtZshenv)
{
    TempDir home;
    writeFile(home.path() / ".bashrc", kExport + "\n");
    writeFile(home.path() / ".zshenv", "\xff" + kExport + "\n");
    writeFile(home.path() / ".ssh/config", B + "\nAddKeysToAgent 3h\n" + E + "\nAddKeysToAgent 1h\n");
    const auto found = PM::detect(home.path(), [](std::string_view) { return false; });
    EXPECT_TRUE(found.empty());
    // A missing backup means no earlier value: the line is deleted.
    writeFile(home.path() / ".ssh/config", "AddKeysToAgent 3h\nUser me\n");
    const auto plan = PM::removalPlan({Leftover::addKeysToAgent(home.path() / ".ssh/config"),
                                       Leftover::path(home.path() / "x"), Leftover::keychainService("s")},
                                      home.path());
    ASSERT_EQ(plan.changes.size(), 1u);
    EXPECT_EQ(plan.changes[0].after, "User me\n");
}

TEST(PrototypeMigrationTest, RemoveKeychainServicesAsksThirtyTwoTimesThenChecks)
{
    std::map<std::string, int> items = {{"ssh-quillgate", 40}, {"ssh-quillgate-grace", 3}, {"empty", 0}};
    std::map<std::string, int> calls;
    std::vector<PM::KeychainDeleteResult> results;
    const auto deleteOne = [&](std::string_view service) {
        ++calls[std::string(service)];
        auto& count = items[std::string(service)];
        if (count == 0) {
            results.push_back(PM::KeychainDeleteResult::notFound);
            return PM::KeychainDeleteResult::notFound;
        }
        --count;
        results.push_back(PM::KeychainDeleteResult::deleted);
        return PM::KeychainDeleteResult::deleted;
    };
    const auto keychainHas = [&](std::string_view service) { return items[std::string(service)] > 0; };
    const auto left
        = PM::removeKeychainServices({"ssh-quillgate", "ssh-quillgate-grace", "empty"}, deleteOne, keychainHas);
    EXPECT_EQ(left, std::vector<std::string>{"ssh-quillgate"}); // 40 items, only 32 deletions
    EXPECT_EQ(calls["ssh-quillgate"], 32);
    EXPECT_EQ(calls["ssh-quillgate-grace"], 32);
    EXPECT_EQ(calls["empty"], 32);
    EXPECT_EQ(std::count(results.begin(), results.end(), PM::KeychainDeleteResult::notFound), 29 + 32);
    EXPECT_TRUE(PM::removeKeychainServices({}, deleteOne, keychainHas).empty());
}

} // namespace
} // namespace vantorelle
