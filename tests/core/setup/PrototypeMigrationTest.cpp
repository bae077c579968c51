// PrototypeMigration: the text rules for the prototype's lines, detection and the removal plan on a
// real home directory, and the secret-store deletion rule.
#include "setup/PrototypeMigration.h"

#include <gtest/gtest.h>
#include <map>

#include "setup/MarkedBlock.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;
namespace PM = PrototypeMigration;
using test::readFile;
const std::string B(MarkedBlock::begin), E(MarkedBlock::end);
const std::string kExport = "export SSH_ASKPASS=\"$HOME/.local/bin/ssh-quillgate-askpass\"";
const std::string kComment = "# SSH key passphrase via Touch ID";
const std::string kCompanion = "export SSH_ASKPASS_REQUIRE=force";
const std::string kPrototypeLines = kComment + "\n" + kExport + "\n" + kCompanion + "\n";

TEST(PrototypeMigrationTest, TheExportLinesGoWithTheirCommentCompanionAndOneBlankLine)
{
    // What is left; nothing when the text stays as it is.
    // What is left; nothing when the text stays as it is. Only one blank line goes, the companion
    // must follow directly, Unicode blanks are trimmed and our own block is never touched.
    // clang-format off
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"export A=1\n\n" + kPrototypeLines + "export B=2\n", "export A=1\nexport B=2\n"},
        {"a\n\n\n" + kComment + "\n" + kExport + "\n", "a\n\n"}, {"a\n  " + kExport + "  \n\t" + kCompanion + " \nb", "a\nb"},
        {"a\n\xc2\xa0" + kExport + "\xe2\x80\x83\n\xe3\x80\x80" + kCompanion + "\nb", "a\nb"}, {kExport + "\n" + kExport + "\nz", "z"},
        {kComment + " (quillgate)\n" + kExport + "\n", ""}, {kExport + "\n\n" + kCompanion + "\n", "\n" + kCompanion + "\n"},
        {"a\r\n\r\n" + kComment + "\r\n" + kExport + "\r\n" + kCompanion + "\r\nb\r\n", "a\r\nb\r\n"},
        {"export SSH_ASKPASS=/usr/bin/ksshaskpass\n" + kCompanion + "\n", {}}, {"echo ssh-quillgate-askpass\n", {}},
        {B + "\n" + kExport + "\n" + E + "\n", {}}, {"  " + B + "\n" + kExport + "\n" + E + "  \n", {}},
        {B + "\n\n" + E + "\n" + kExport + "\n", B + "\n\n" + E + "\n"}};
    // clang-format on
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(PM::stripPrototypeExport(text), expected.value_or(text)) << text;
    }
}

TEST(PrototypeMigrationTest, TheAgentSettingGetsItsEarlierValueBackOrGoes)
{
    const std::string unchanged
        = "AddKeysToAgent 1h\nAddKeysToAgent yes\n# AddKeysToAgent 3h\n" + B + "\nAddKeysToAgent 3h\n" + E + "\n";
    // clang-format off
    const std::tuple<std::string, std::optional<std::string>, std::string> cases[] = {
        {"Host *\n  AddKeysToAgent 3h\n  User me\n", std::nullopt, "Host *\n  User me\n"}, {unchanged, "yes", unchanged},
        {"AddKeysToAgent=3H\n", "yes", "AddKeysToAgent=yes\n"}, {"addkeystoagent  3h\n", "confirm", "addkeystoagent  confirm\n"},
        {"AddKeysToAgent 3h\nHost a\nAddKeysToAgent 3h\n", "no", "AddKeysToAgent no\nHost a\nAddKeysToAgent no\n"},
        {"AddKeysToAgent 3h\r\nUser me\r\n", "yes", "AddKeysToAgent yes\r\nUser me\r\n"}};
    // clang-format on
    for (const auto& [text, earlier, expected] : cases) {
        EXPECT_EQ(PM::restoreAddKeysToAgent(text, earlier), expected) << text;
    }
    EXPECT_EQ(PM::earlierAddKeysToAgent("Host *\n\n  AddKeysToAgent yes\nAddKeysToAgent no\n"), "yes");
    EXPECT_EQ(PM::earlierAddKeysToAgent("AddKeysToAgent\nAddKeysToAgent = confirm \n"), "confirm");
    EXPECT_EQ(PM::earlierAddKeysToAgent("User me\n"), std::nullopt);
    EXPECT_EQ(PM::earlierAddKeysToAgent("AddKeysToAgent 3h\n"), std::nullopt); // the prototype's own value
}

TEST(PrototypeMigrationTest, DetectAndRemoveOnARealHome)
{
    TempDir dir;
    const fs::path home = dir.path(), zshenv = home / ".zshenv", config = home / ".ssh/config";
    const auto keychainHas = [](std::string_view service) { return service == "ssh-quillgate"; };
    // Unreadable files, other start-up files and settings inside our block are nothing to find.
    test::writeFile(home / ".bashrc", kExport + "\n");
    test::writeFile(zshenv, "\xff" + kExport + "\n");
    test::writeFile(config, B + "\nAddKeysToAgent 3h\n" + E + "\nAddKeysToAgent 1h\n");
    EXPECT_TRUE(PM::detect(home, [](std::string_view) { return false; }).empty());

    test::writeFile(zshenv, "export A=1\n\n" + kPrototypeLines);
    test::writeFile(config, "Host *\n  AddKeysToAgent=3H\n  User me\n");
    test::writeFile(config.string() + ".bak-quillgate", "Host *\n  AddKeysToAgent=yes\n");
    test::writeFile(home / ".local/bin/ssh-quillgate-askpass", "#!/bin/sh\n", fs::perms(0755));
    fs::create_directories(home / ".local/share");
    fs::create_symlink(home / "nowhere", home / ".local/share/ssh-quillgate"); // dangling counts
    const auto found = PM::detect(home, keychainHas);
    EXPECT_EQ(found,
              (std::vector<Leftover>{Leftover::shellExport(zshenv), Leftover::addKeysToAgent(config),
                                     Leftover::path(home / ".local/bin/ssh-quillgate-askpass"),
                                     Leftover::path(home / ".local/share/ssh-quillgate"),
                                     Leftover::keychainService("ssh-quillgate")}));
    const auto plan = PM::removalPlan(found, home);
    ASSERT_EQ(plan.changes.size(), 2u);
    EXPECT_EQ(plan.changes[0], (FileChange{zshenv, "export A=1\n\n" + kPrototypeLines, "export A=1\n", false}));
    EXPECT_EQ(plan.changes[1].after, "Host *\n  AddKeysToAgent=yes\n  User me\n");
    ASSERT_TRUE(plan.apply(PM::backupSuffix).has_value());
    EXPECT_EQ(readFile(zshenv.string() + ".bak-vantorelle-migration"), "export A=1\n\n" + kPrototypeLines);
    EXPECT_EQ(fs::status(config).permissions(), fs::perms(0600));
    EXPECT_EQ(PM::detect(home, keychainHas).size(), 3u); // the paths and the service: the plan does not touch them
    // Without the prototype's backup there is no earlier value: the line goes.
    test::writeFile(config, "AddKeysToAgent 3h\nUser me\n");
    fs::remove(config.string() + ".bak-quillgate");
    EXPECT_EQ(PM::removalPlan({Leftover::addKeysToAgent(config)}, home).changes.at(0).after, "User me\n");
}

TEST(PrototypeMigrationTest, RemoveKeychainServicesAsksThirtyTwoTimesThenChecks)
{
    std::map<std::string, int> items = {{"ssh-quillgate", 40}, {"ssh-quillgate-grace", 3}, {"empty", 0}}, calls;
    const auto deleteOne = [&](std::string_view service) {
        ++calls[std::string(service)];
        auto& count = items[std::string(service)];
        return count > 0 && count-- ? PM::KeychainDeleteResult::deleted : PM::KeychainDeleteResult::notFound;
    };
    const auto keychainHas = [&](std::string_view service) { return items[std::string(service)] > 0; };
    EXPECT_EQ(PM::removeKeychainServices({"ssh-quillgate", "ssh-quillgate-grace", "empty"}, deleteOne, keychainHas),
              std::vector<std::string>{"ssh-quillgate"}); // 40 items, only 32 deletions
    EXPECT_EQ(calls, (std::map<std::string, int>{{"ssh-quillgate", 32}, {"ssh-quillgate-grace", 32}, {"empty", 32}}));
}

} // namespace
} // namespace vantorelle
