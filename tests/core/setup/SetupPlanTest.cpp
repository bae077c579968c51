// SetupPlan and SetupFiles: block texts read back by the real ssh and shells, making and undoing
// plans, and applying them safely on a real file system, including the ways an apply can fail.
#include "setup/SetupPlan.h"

#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>

#include "setup/MarkedBlock.h"
#include "setup/SetupFiles.h"
#include "support/SshTools.h"
#include "support/TempDir.h"
#include "support/WithoutPrivileges.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;
using Kind = SetupPlanError::Kind;
using test::readFile;
const std::string B(MarkedBlock::begin), E(MarkedBlock::end);
constexpr std::string_view kSuffix = SetupPlan::backupSuffix;
const std::string kAskpass = "/usr/lib/vantorelle/vantorelle-askpass";

class SetupPlanTest : public ::testing::Test
{
protected:
    static SSHKey key(const fs::path& p) { return {p, p.string() + ".pub", "SHA256:x", "", SSHKey::Status::usable}; }
    auto make(std::vector<SSHKey> k = {}, std::string_view s = "zsh") const
    {
        return SetupPlan::make(home, kAskpass, k, s);
    }
    // Setup files are ordinary user files: 0644 unless a test says otherwise.
    void write(const fs::path& to, const std::string& text, int mode = 0644) const
    {
        test::writeFile(home / to, text, fs::perms(mode));
    }
    bool exists(const fs::path& name) const { return fs::exists(fs::symlink_status(home / name)); }
    fs::perms mode(const fs::path& name) const { return fs::status(home / name).permissions(); }
    // Every entry with its type, mode and text or link target: equal snapshots mean nothing was
    // written, created, removed or re-permissioned.
    std::map<fs::path, std::string> snapshot() const
    {
        std::map<fs::path, std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(home)) {
            const auto status = entry.symlink_status();
            entries[entry.path()] = std::to_string(static_cast<int>(status.type())) + " "
                + std::to_string(static_cast<int>(status.permissions())) + " "
                + (fs::is_symlink(status) ? fs::read_symlink(entry).string() : readFile(entry));
        }
        return entries;
    }
    TempDir dir;
    fs::path home = dir.path();
};

TEST(SetupFilesTest, SSHBlockQuotesWhatSSHWouldSplitAndLeavesOutWhatItCannotHold)
{
    const std::string head = "IgnoreUnknown UseKeychain\n# Managed by Vantorelle. Remove with the app's undo.\n"
                             "AddKeysToAgent no\nUseKeychain no";
    EXPECT_EQ(SetupFiles::sshBlock({}), head);
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"~/.ssh/id_ed25519", "~/.ssh/id_ed25519"}, {"/k/$HOME`x`", "/k/$HOME`x`"}, {"/k/my key", "\"/k/my key\""},
        {"/k/tab\there", "\"/k/tab\there\""}, {"/k/a\"b", "\"/k/a\\\"b\""}, {"", "\"\""}, {"/k/o'b", "\"/k/o'b\""},
        {"/k/back\\slash", "\"/k/back\\\\slash\""}, {"/k/100%", "/k/100%%"}, {"/k/50% off", "\"/k/50%% off\""}};
    // clang-format on
    for (const auto& [path, argument] : cases) {
        EXPECT_EQ(SetupFiles::sshBlock({path}), head + "\nIdentityFile " + argument) << path;
    }
    // A line break or "${" cannot be kept from ssh's reading: such a path is left out.
    EXPECT_EQ(SetupFiles::sshBlock({"/k/a\nHost evil", "/k/a\rb", "/k/${HOME}", "/k/$HOME"}),
              head + "\nIdentityFile /k/$HOME");
}

TEST(SetupFilesTest, RealSSHAndShellsUseExactlyThePathsTheBlocksName)
{
    TempDir dir;
    const fs::path helper = dir.path() / "it's a $dir \"with\" `quotes` \\ and\ttabs" / "askpass";
    const fs::path script = dir.path() / "check.sh", config = dir.path() / "config";
    test::writeFile(helper, "#!/bin/sh\n", fs::perms(0755));
    test::writeFile(
        script, SetupFiles::zshBlock(helper.string()) + "\nprintf '%s|%s' \"$SSH_ASKPASS\" \"$SSH_ASKPASS_REQUIRE\"\n");
    for (const std::string shell : {"/bin/sh", "/bin/bash"}) {
        EXPECT_EQ(test::runTool(shell, {script}).output, helper.string() + "|force") << shell;
    }
    fs::remove(helper); // without the helper the exports are skipped
    EXPECT_EQ(test::runTool("/bin/bash", {script}).output, "|");

    // ssh expands "%" tokens in identity paths only when it loads the keys, after it has connected:
    // a proxy command that ends at once is connection enough.
    const std::vector<std::string> paths
        = {dir.path() / "with space",  dir.path() / "quote\"d", dir.path() / "o'brien",
           dir.path() / "back\\slash", dir.path() / "100%",     dir.path() / "%d and $x%{y}"};
    test::writeFile(config, MarkedBlock::apply(SetupFiles::sshBlock(paths), "", MarkedBlock::Position::top));
    const std::string log = test::runTool("/usr/bin/ssh",
                                          {"-v", "-F", config, "-o", "BatchMode=yes", "-o", "ProxyCommand=true",
                                           "example.invalid", "true"})
                                .output;
    EXPECT_EQ(log.find("percent"), std::string::npos) << log;
    for (std::string path : paths) {
        if (const auto at = path.find('\\'); at != std::string::npos) {
            path.insert(at, "\\"); // the debug log escapes backslashes
        }
        EXPECT_NE(log.find("identity file " + path + " type"), std::string::npos) << path << "\n" << log;
    }
}

TEST_F(SetupPlanTest, TheShellFileFollowsTheLoginShellAndKeysTheUsersConfigurationNamesGetNoLine)
{
    // clang-format off
    const std::pair<std::string, std::string> shells[] = {{"/bin/bash", ".bashrc"}, {"/usr/local/bin/bash", ".bashrc"},
        {"bash", ".bashrc"}, {"/bin/zsh", ".zshenv"}, {"", ".zshenv"}, {"/bin/bash5", ".zshenv"}, {"/bin/rbash", ".zshenv"}};
    // clang-format on
    for (const auto& [shell, file] : shells) {
        EXPECT_EQ(SetupPlan::shellFile("/home/u", shell), "/home/u/" + file) << shell;
    }
    EXPECT_EQ(SetupPlan::sshConfig("/home/u"), "/home/u/.ssh/config");

    // An IdentityFile line inside an old managed block does not count as the user's own.
    const std::string own = "Host work\n  IdentityFile ~/.ssh/work\n";
    write(".ssh/config", B + "\nIdentityFile ~/.ssh/old\n" + E + "\n" + own);
    const auto plan = make({key(home / ".ssh/work"), key(home / ".ssh/./old"), key("/srv/keys/deploy key"),
                            key(home.string() + "/../" + home.filename().string() + "/other")},
                           "/bin/bash");
    ASSERT_EQ(plan.changes.size(), 2u);
    EXPECT_EQ(plan.changes[0].after,
              B + "\n" + SetupFiles::sshBlock({"~/.ssh/old", "/srv/keys/deploy key", "~/other"}) + "\n" + E + "\n"
                  + own);
    EXPECT_EQ(plan.changes[1].url, home / ".bashrc");
}

TEST_F(SetupPlanTest, UnreadableFilesAreLeftOutOfThePlan)
{
    int round = 0;
    const std::pair<std::function<void()>, fs::path> cases[] = {
        {[&] { write(".ssh/config", "Host x\n\xff\xfe\n"); }, dir.path() / "1/.zshenv"},
        {[&] { fs::create_directories(home / ".zshenv"); }, dir.path() / "2/.ssh/config"},
        {[&] { ASSERT_EQ(::mkfifo((home / ".zshenv").c_str(), 0600), 0); }, dir.path() / "3/.ssh/config"}, // no hang
    };
    for (const auto& [plant, left] : cases) {
        fs::create_directories(home = dir.path() / std::to_string(++round));
        plant();
        const auto plan = make();
        ASSERT_EQ(plan.changes.size(), 1u);
        EXPECT_EQ(plan.changes[0].url, left);
    }
}

TEST_F(SetupPlanTest, AnyFileNoLongerAsShownStopsTheApplyBeforeAnythingIsWritten)
{
    const std::tuple<std::function<void()>, Kind, fs::path> cases[] = {
        {[&] { write(".ssh/config", "Host new\n"); }, Kind::changedSinceShown, home / ".ssh/config"}, // appeared
        {[&] { write(".zshenv", "export A=2\n"); }, Kind::changedSinceShown, home / ".zshenv"},
        {[&] { write(".zshenv", "\xc3\x28 not UTF-8\n"); }, Kind::unreadable, home / ".zshenv"},
    };
    for (const auto& [change, kind, url] : cases) {
        fs::remove_all(home / ".ssh");
        write(".zshenv", "export A=1\n");
        const auto plan = make();
        ASSERT_EQ(plan.changes.size(), 2u);
        change();
        const auto before = snapshot();
        EXPECT_EQ(plan.apply(kSuffix).error(), (SetupPlanError{kind, url, {}}));
        EXPECT_EQ(snapshot(), before); // not even the first change
    }
    const SetupPlan removal{{FileChange{home / "gone", "", "", true}}}; // a file to remove that is gone
    EXPECT_EQ(removal.apply(kSuffix).error(), (SetupPlanError{Kind::changedSinceShown, home / "gone", {}}));
}

TEST_F(SetupPlanTest, AReadOnlyDirectoryFailsWithoutLeavingAnythingBehind)
{
    home = dir.path() / "home";
    write(".zshenv", "export A=1\n", 0640);
    fs::create_directories(home / ".ssh");
    const auto plan = make();
    ASSERT_EQ(plan.changes.size(), 2u);
    fs::permissions(home, fs::perms(0555)); // the ssh directory can be written, the home itself cannot
    const auto before = snapshot();
    const SetupPlanError denied{Kind::fileSystem, home / ".zshenv", {EACCES, std::generic_category()}};
    ASSERT_EQ(runWithoutPrivileges(dir.path(), [&] { return plan.apply(kSuffix).error() == denied ? 0 : 1; }), 0);
    fs::permissions(home, fs::perms(0755));
    // The first change went through (changes already carried out stay); the second left no trace.
    EXPECT_EQ(readFile(home / ".ssh/config"), plan.changes[0].after);
    auto after = snapshot();
    after.erase(home / ".ssh/config");
    EXPECT_EQ(after, before);
}

TEST_F(SetupPlanTest, ALinkedStartUpFileIsEditedWhereItLivesAndStaysALink)
{
    for (const bool dangling : {false, true}) {
        fs::create_directories((home = dir.path() / (dangling ? "dangling" : "linked")) / "dotfiles");
        if (!dangling) {
            write("dotfiles/zshenv", "export A=1\n");
        }
        fs::create_symlink(dangling ? home / "dotfiles/zshenv" : "dotfiles/zshenv", home / ".zshenv");
        const auto plan = make();
        ASSERT_TRUE(plan.apply(kSuffix).has_value());
        EXPECT_TRUE(fs::is_symlink(home / ".zshenv"));
        EXPECT_EQ(readFile(home / "dotfiles/zshenv"), plan.changes[1].after);
        EXPECT_EQ(exists("dotfiles/zshenv.bak-vantorelle"), !dangling);
        EXPECT_FALSE(exists(".zshenv.bak-vantorelle"));
        // Undo writes through the link too, and never deletes it: a created target is emptied.
        const auto undo = SetupPlan{}.undo(home);
        ASSERT_EQ(undo.changes.size(), 2u);
        EXPECT_EQ(undo.changes[1].removesFile, dangling);
        ASSERT_TRUE(undo.apply(kSuffix).has_value());
        EXPECT_TRUE(fs::is_symlink(home / ".zshenv"));
        EXPECT_EQ(readFile(home / "dotfiles/zshenv"), dangling ? "" : "export A=1\n");
        EXPECT_FALSE(exists(".ssh/config")); // setup created it: gone again
    }
}

// Apply then undo from every start state, for both shells: new files are private and get no
// backup, existing ones keep their mode and are backed up once, and undo gives back the start.
TEST_F(SetupPlanTest, UndoAfterApplyRestoresEveryStartState)
{
    // clang-format off
    const std::optional<std::string> starts[] = {std::nullopt, "", "first\nsecond\n", "first\nsecond", "first\r\nsecond\r\n",
                                                 "caf\xc3\xa9\r\n\xf0\x9f\x94\x91", "\n\n", "a\n" + B + "\nb\n"};
    // clang-format on
    int round = 0;
    for (const auto& start : starts) {
        for (const std::string shell : {"/bin/zsh", "/bin/bash"}) {
            SCOPED_TRACE(::testing::PrintToString(start) + " " + shell);
            home = dir.path() / std::to_string(++round);
            const fs::path shellFile = SetupPlan::shellFile(home, shell), config = home / ".ssh/config";
            if (start) {
                write(config, *start, 0600);
                write(shellFile, *start, 0640);
            }
            const auto plan = make({key(home / ".ssh/id")}, shell);
            ASSERT_EQ(plan.changes.size(), 2u);
            ASSERT_TRUE(plan.apply(kSuffix).has_value());
            EXPECT_TRUE(make({key(home / ".ssh/id")}, shell).changes.empty()); // nothing left to do
            EXPECT_EQ(mode(".ssh"), start ? fs::perms(0755) : fs::perms(0700)); // created private, else untouched
            EXPECT_EQ(mode(config), fs::perms(0600));
            EXPECT_EQ(mode(shellFile), start ? fs::perms(0640) : fs::perms(0644));
            for (const auto& file : {config, shellFile}) {
                EXPECT_EQ(exists(file.string() + ".bak-vantorelle"), start.has_value());
                EXPECT_EQ(readFile(file.string() + ".bak-vantorelle"), start.value_or(""));
            }
            EXPECT_EQ(std::distance(fs::directory_iterator(home / ".ssh"), {}), start ? 2 : 1); // no temporary file
            // A later apply never replaces a backup, which keeps the file as it was before setup.
            if (start) {
                ASSERT_TRUE(SetupPlan::make(home, "/other/askpass", {}, shell).apply(kSuffix).has_value());
                EXPECT_EQ(readFile(shellFile.string() + ".bak-vantorelle"), *start);
            }

            // The application undoes with an empty plan; the plan's own files give the same.
            const auto undo = SetupPlan{}.undo(home);
            EXPECT_EQ(undo, plan.undo(home));
            ASSERT_TRUE(undo.apply(kSuffix).has_value());
            for (const auto& file : {config, shellFile}) {
                EXPECT_EQ(exists(file), start.has_value());
                EXPECT_EQ(readFile(file), start.value_or(""));
            }
            EXPECT_TRUE(SetupPlan{}.undo(home).changes.empty());
        }
    }
    // A plan naming the same file with a "." component gives no second change.
    write(".bashrc", "x\n" + B + "\ny\n" + E + "\n");
    const SetupPlan plan{{FileChange{home / "." / ".bashrc", "", "", false}}};
    EXPECT_EQ(plan.undo(home).changes,
              (std::vector{FileChange{home / "." / ".bashrc", "x\n" + B + "\ny\n" + E + "\n", "x\n", false}}));
}

// Two processes apply plans made from the same files at the same moment: each succeeds or finds
// the other's result as a change since shown. A file the other created is never backed up, so
// undo still removes it.
TEST_F(SetupPlanTest, TwoProcessesApplyingAtOnceBothSucceedAndUndoStaysCorrect)
{
    for (int round = 0; round < 80 && !::testing::Test::HasFailure(); ++round) {
        home = dir.path() / std::to_string(round);
        const bool existed = round % 2 == 1;
        if (existed) {
            write(".zshenv", "export A=1\n");
        }
        const auto plan = make({key(home / ".ssh/id")});
        int go[2];
        ASSERT_EQ(::pipe(go), 0);
        pid_t children[2];
        for (pid_t& child : children) {
            if ((child = ::fork()) == 0) {
                char byte;
                ::close(go[1]);
                (void)!::read(go[0], &byte, 1); // both start together
                const auto result = plan.apply(kSuffix);
                ::_exit(result ? 0 : result.error().kind == Kind::changedSinceShown ? 1 : 2);
            }
        }
        ::close(go[0]);
        ::close(go[1]); // end of file releases both
        for (const pid_t child : children) {
            int status = -1;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) < 2) << status; // the file as written shows who won
        }
        EXPECT_EQ(readFile(home / ".ssh/config"), plan.changes[0].after);
        EXPECT_EQ(std::distance(fs::recursive_directory_iterator(home), {}), existed ? 4 : 3)
            << "a stray temporary file or backup";
        const auto undo = plan.undo(home);
        ASSERT_EQ(undo.changes.size(), 2u);
        EXPECT_TRUE(undo.changes[0].removesFile);
        EXPECT_EQ(undo.changes[1].removesFile, !existed);
    }
}

TEST_F(SetupPlanTest, AFileThatAppearedSinceThePlanIsNeverBackedUpOrOverwritten)
{
    write(".zshenv", "same\n");
    // Another process created it with this very text: done, and no backup of its file.
    EXPECT_TRUE(SetupFiles::write("same\n", home / ".zshenv", kSuffix, fs::perms(0644), SetupFiles::Expected::missing));
    write(".zshenv", "theirs\n");
    EXPECT_EQ(SetupFiles::write("same\n", home / ".zshenv", kSuffix, fs::perms(0644), SetupFiles::Expected::missing),
              std::unexpected(std::error_code(EEXIST, std::generic_category())));
    EXPECT_EQ(readFile(home / ".zshenv"), "theirs\n");
    EXPECT_FALSE(exists(".zshenv.bak-vantorelle"));
}

} // namespace
} // namespace vantorelle
