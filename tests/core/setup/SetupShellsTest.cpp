// The start-up file per login shell (fish gets its own snippet), keys the ssh block cannot hold,
// and the checklist where the session environment cannot be changed.
#include <gtest/gtest.h>

#include "setup/MarkedBlock.h"
#include "setup/SetupFiles.h"
#include "setup/SetupPlan.h"
#include "setup/SetupStatus.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;

SSHKey key(const fs::path& p)
{
    return {p, p.string() + ".pub", "SHA256:x", "", SSHKey::Status::usable};
}

TEST(SetupShellsTest, EachLoginShellGetsTheFileItReads)
{
    const fs::path home = "/home/u";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/usr/bin/fish", ".config/fish/conf.d/vantorelle.fish"},
        {"fish", ".config/fish/conf.d/vantorelle.fish"},
        {"/bin/bash", ".bashrc"},
        {"/bin/zsh", ".zshenv"},
        {"/usr/bin/fishy", ".zshenv"},
        {"/opt/fish/bin/sh", ".zshenv"},
        {"", ".zshenv"},
    };
    for (const auto& [shell, file] : cases) {
        EXPECT_EQ(SetupPlan::shellFile(home, shell), home / file) << shell;
    }
}

TEST(SetupShellsTest, FishSnippetUsesFishSyntaxAndUndoRemovesIt)
{
    TempDir dir;
    const fs::path home = dir.path();
    const std::string askpass = "/opt/it's \\odd $x/vantorelle-askpass";
    const auto plan = SetupPlan::make(home, askpass, {key(home / ".ssh/id_ed25519")}, "/usr/bin/fish");
    ASSERT_EQ(plan.changes.size(), 2u);
    const auto& fish = plan.changes[1];
    EXPECT_EQ(fish.url, home / ".config/fish/conf.d/vantorelle.fish");
    const std::string quoted = "'/opt/it\\'s \\\\odd $x/vantorelle-askpass'";
    EXPECT_EQ(fish.after,
              std::string(MarkedBlock::begin) + "\nif test -x " + quoted + "\n  set -gx SSH_ASKPASS " + quoted
                  + "\n  set -gx SSH_ASKPASS_REQUIRE force\nend\n" + std::string(MarkedBlock::end) + "\n");
    EXPECT_EQ(fish.after.find("export"), std::string::npos);

    ASSERT_TRUE(plan.apply(SetupPlan::backupSuffix));
    EXPECT_TRUE(SetupPlan::applied(home));
    EXPECT_FALSE(fs::exists(home / ".zshenv"));

    // A POSIX block left in .zshenv by an earlier setup goes too.
    test::writeFile(home / ".zshenv",
                    "PATH=x\n" + std::string(MarkedBlock::begin) + "\nold\n" + std::string(MarkedBlock::end) + "\n");
    const auto undo = plan.undo(home);
    ASSERT_TRUE(undo.apply(SetupPlan::backupSuffix));
    EXPECT_FALSE(fs::exists(home / ".config/fish/conf.d/vantorelle.fish"));
    EXPECT_EQ(test::readFile(home / ".zshenv"), "PATH=x\n");
    EXPECT_FALSE(SetupPlan::applied(home));
    // A fish snippet the user had before keeps its own lines.
    test::writeFile(home / ".config/fish/conf.d/vantorelle.fish", "set -gx A b\n");
    ASSERT_TRUE(SetupPlan::make(home, askpass, {}, "fish").apply(SetupPlan::backupSuffix));
    ASSERT_TRUE(SetupPlan{}.undo(home).apply(SetupPlan::backupSuffix));
    EXPECT_EQ(test::readFile(home / ".config/fish/conf.d/vantorelle.fish"), "set -gx A b\n");
}

TEST(SetupShellsTest, FilesSetupCreatedAreRemovedByUndoEvenAfterALaterApplyChangedThem)
{
    TempDir dir;
    const fs::path home = dir.path();
    ASSERT_TRUE(
        SetupPlan::make(home, "/a/askpass", {key(home / ".ssh/id_a")}, "/bin/bash").apply(SetupPlan::backupSuffix));
    // A key added later rewrites both blocks; nothing of the user's was ever in these files.
    ASSERT_TRUE(SetupPlan::make(home, "/b/askpass", {key(home / ".ssh/id_a"), key(home / ".ssh/id_b")}, "/bin/bash")
                    .apply(SetupPlan::backupSuffix));
    ASSERT_TRUE(SetupPlan{}.undo(home).apply(SetupPlan::backupSuffix));
    for (const char* file : {".ssh/config", ".bashrc", ".ssh/config.bak-vantorelle", ".bashrc.bak-vantorelle"}) {
        EXPECT_FALSE(fs::exists(home / file)) << file;
    }
}

TEST(SetupShellsTest, KeysTheSSHBlockCannotHoldAreReported)
{
    const std::vector<SSHKey> keys
        = {key("/h/.ssh/a"), key("/h/.ssh/b${HOME}"), key("/h/.ssh/c\nHost *"), key("/h/.ssh/$d {e}%")};
    EXPECT_EQ(SetupPlan::leftOutKeys(keys), (std::vector<fs::path>{"/h/.ssh/b${HOME}", "/h/.ssh/c\nHost *"}));
    for (const auto& k : keys) {
        const bool fits = SetupFiles::fitsSSHBlock(k.path.string());
        EXPECT_EQ(SetupFiles::sshBlock({k.path.string()}).find("IdentityFile") != std::string::npos, fits);
    }
}

TEST(SetupShellsTest, WithoutASessionEnvironmentTheFilesAreTheWholeSSHStep)
{
    SetupFacts facts;
    facts.sshConfigBlock = true;
    facts.shellBlock = true;
    facts.appAskpass = "/usr/lib/vantorelle/vantorelle-askpass";
    facts.sessionEnvironment = false;
    auto ssh = SetupStatus::evaluate(facts)[1];
    EXPECT_TRUE(ssh.done);
    facts.shellBlock = false;
    ssh = SetupStatus::evaluate(facts)[1];
    EXPECT_EQ(ssh.missing, std::vector{SetupStatus::Missing::shellFile});
    facts.sessionEnvironment = true;
    ssh = SetupStatus::evaluate(facts)[1];
    EXPECT_EQ(ssh.missing, (std::vector{SetupStatus::Missing::shellFile, SetupStatus::Missing::appEnvironment}));
}

} // namespace
} // namespace vantorelle
