// SetupPlan and SetupFiles: block texts, making and undoing plans, and applying them safely on a
// real file system, including the ways an apply can fail.
#include "setup/SetupPlan.h"

#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "FileHelpers.h"
#include "setup/MarkedBlock.h"
#include "setup/SetupFiles.h"
#include "support/SshTools.h"
#include "support/TempDir.h"
#include "sys/ChildProcess.h"
#include "sys/Fd.h"

namespace vantorelle {
namespace {

using namespace vantorelle::testing;
using Kind = SetupPlanError::Kind;

const std::string B(MarkedBlock::begin);
const std::string E(MarkedBlock::end);
constexpr std::string_view kSuffix = SetupPlan::backupSuffix;
const std::string kAskpass = "/usr/lib/vantorelle/vantorelle-askpass";

SSHKey key(const fs::path& path)
{
    return SSHKey{path, path.string() + ".pub", "SHA256:x", "", SSHKey::Status::usable};
}

std::string sshFileText(const std::vector<std::string>& identityFiles)
{
    return B + "\n" + SetupFiles::sshBlock(identityFiles) + "\n" + E + "\n";
}

TEST(SetupFilesTest, SSHBlockQuotesWhatSSHWouldSplit)
{
    const std::string head = "IgnoreUnknown UseKeychain\n# Managed by Vantorelle. Remove with the app's undo.\n"
                             "AddKeysToAgent no\nUseKeychain no";
    EXPECT_EQ(SetupFiles::sshBlock({}), head);
    struct Case
    {
        std::string path;
        std::string line;
    };
    const Case cases[] = {
        {"~/.ssh/id_ed25519", "IdentityFile ~/.ssh/id_ed25519"},
        {"/keys/$HOME`x`", "IdentityFile /keys/$HOME`x`"},
        {"/keys/my key", "IdentityFile \"/keys/my key\""},
        {"/keys/tab\there", "IdentityFile \"/keys/tab\there\""},
        {"/keys/a\"b", "IdentityFile \"/keys/a\\\"b\""},
        {"", "IdentityFile \"\""},
        {"/keys/o'brien", "IdentityFile \"/keys/o'brien\""},
        {"/keys/back\\slash", "IdentityFile \"/keys/back\\\\slash\""},
        {"/keys/100%", "IdentityFile /keys/100%%"},
        {"/keys/50% off", "IdentityFile \"/keys/50%% off\""},
        {"/keys/%d", "IdentityFile /keys/%%d"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SetupFiles::sshBlock({c.path}), head + "\n" + c.line) << c.path;
    }
    // A path with a line break cannot be one configuration line; it is left out.
    EXPECT_EQ(SetupFiles::sshBlock({"/keys/a\nHost evil", "/k"}), head + "\nIdentityFile /k");
    // Nor can one holding "${": ssh would expand it as an environment variable.
    EXPECT_EQ(SetupFiles::sshBlock({"/keys/${HOME}", "/keys/$HOME", "/k"}),
              head + "\nIdentityFile /keys/$HOME\nIdentityFile /k");
}

TEST(SetupFilesTest, ShellBlockQuotesTheHelperPathForTheShell)
{
    EXPECT_EQ(SetupFiles::zshBlock("/opt/v/askpass"),
              "if [ -x \"/opt/v/askpass\" ]; then\n"
              "  export SSH_ASKPASS=\"/opt/v/askpass\"\n"
              "  export SSH_ASKPASS_REQUIRE=force\n"
              "fi");
    EXPECT_EQ(SetupFiles::shellQuoted("a \"$b\" `c` \\ it's"), "\"a \\\"\\$b\\\" \\`c\\` \\\\ it's\"");
}

std::string runTool(const std::string& path, const std::vector<std::string>& args)
{
    const auto result = test::runTool(path, args);
    EXPECT_EQ(result.status, 0) << result.output;
    return result.output;
}

// The real shells read back exactly the helper path, whatever it holds.
TEST(SetupFilesTest, RealShellsExportTheHelperPathExactly)
{
    TempDir dir;
    const fs::path helper = dir.path() / "it's a $dir \"with\" `quotes` \\ and\ttabs" / "askpass";
    writeFile(helper, "#!/bin/sh\n", fs::perms(0755));
    const fs::path script = dir.path() / "check.sh";
    writeFile(script,
              SetupFiles::zshBlock(helper.string()) + "\nprintf '%s|%s' \"$SSH_ASKPASS\" \"$SSH_ASKPASS_REQUIRE\"\n");
    for (const std::string shell : {"/bin/sh", "/bin/bash"}) {
        EXPECT_EQ(runTool(shell, {script.string()}), helper.string() + "|force") << shell;
    }
    // Without the helper the exports are skipped.
    fs::remove(helper);
    EXPECT_EQ(runTool("/bin/bash", {script.string()}), "|");
}

// ssh expands "%" tokens (and "${...}") in identity paths only when it loads the keys, after it has
// connected: connect it to a listener that never answers and read which files it tried.
TEST(SetupFilesTest, RealSSHLoadsTheKeyFilesTheBlockNames)
{
    TempDir dir;
    const std::vector<std::string> paths = {
        dir.path() / "plain",       dir.path() / "with space", dir.path() / "quote\"d", dir.path() / "o'brien",
        dir.path() / "back\\slash", dir.path() / "100%",       dir.path() / "50% off",  dir.path() / "%d and $x%{y}",
    };
    const fs::path config = dir.path() / "config";
    writeFile(config, MarkedBlock::apply(SetupFiles::sshBlock(paths), "", MarkedBlock::Position::top));
    // Parsing alone reads every path back as it is (the debug log below escapes backslashes).
    const std::string parsed = runTool("/usr/bin/ssh", {"-G", "-F", config.string(), "example.invalid"});
    EXPECT_NE(parsed.find("identityfile " + paths[4] + "\n"), std::string::npos) << parsed;
    EXPECT_NE(parsed.find("addkeystoagent false"), std::string::npos) << parsed;

    Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(listener);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener.get(), 4), 0);
    ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);

    Environment env = test::minimalEnvironment();
    env.set("HOME", dir.path().string());
    // The kernel completes the connection; ssh then loads the identities and waits for a banner
    // that never comes, until ConnectTimeout ends it.
    const auto result = ChildProcess::run("/usr/bin/ssh",
                                          {"-v", "-F", config.string(), "-o", "BatchMode=yes", "-o", "ConnectTimeout=3",
                                           "-p", std::to_string(ntohs(address.sin_port)), "127.0.0.1", "true"},
                                          env, ChildProcess::StandardError::merge,
                                          std::chrono::steady_clock::now() + std::chrono::seconds(60));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->output.find("percent"), std::string::npos) << result->output;
    for (const auto& path : paths) {
        const std::string logged
            = path.find('\\') == std::string::npos ? path : (dir.path() / "back\\\\slash").string();
        EXPECT_NE(result->output.find("identity file " + logged + " type"), std::string::npos) << path << "\n"
                                                                                               << result->output;
    }
}

TEST(SetupPlanTest, ShellFileFollowsTheLoginShellsName)
{
    const fs::path home = "/home/u";
    struct Case
    {
        std::string shell;
        std::string file;
    };
    const Case cases[] = {
        {"/bin/bash", ".bashrc"}, {"/usr/local/bin/bash", ".bashrc"}, {"bash", ".bashrc"},
        {"/bin/zsh", ".zshenv"},  {"/usr/bin/fish", ".zshenv"},       {"/bin/sh", ".zshenv"},
        {"", ".zshenv"},          {"/bin/bash5", ".zshenv"},          {"/bin/rbash", ".zshenv"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SetupPlan::shellFile(home, c.shell), home / c.file) << c.shell;
    }
    EXPECT_EQ(SetupPlan::sshConfig(home), home / ".ssh/config");
}

TEST(SetupPlanTest, FreshHomeGetsTwoNewFilesWithoutBackups)
{
    TempDir home;
    const fs::path keyPath = home.path() / ".ssh" / "id_ed25519";
    const auto plan = SetupPlan::make(home.path(), kAskpass, {key(keyPath)}, "/bin/zsh");
    ASSERT_EQ(plan.changes.size(), 2u);
    EXPECT_EQ(plan.changes[0],
              (FileChange{home.path() / ".ssh/config", "", sshFileText({"~/.ssh/id_ed25519"}), false}));
    EXPECT_EQ(plan.changes[1].url, home.path() / ".zshenv");
    EXPECT_EQ(plan.changes[1].before, "");
    EXPECT_EQ(plan.changes[1].after, B + "\n" + SetupFiles::zshBlock(kAskpass) + "\n" + E + "\n");

    ASSERT_TRUE(plan.apply(kSuffix).has_value());
    EXPECT_EQ(modeOf(home.path() / ".ssh"), 0700u);
    EXPECT_EQ(modeOf(home.path() / ".ssh/config"), 0600u);
    EXPECT_EQ(readFile(home.path() / ".ssh/config"), plan.changes[0].after);
    EXPECT_EQ(readFile(home.path() / ".zshenv"), plan.changes[1].after);
    EXPECT_FALSE(existsNoFollow(home.path() / ".ssh/config.bak-vantorelle"));
    EXPECT_FALSE(existsNoFollow(home.path() / ".zshenv.bak-vantorelle"));
    EXPECT_EQ(snapshot(home.path() / ".ssh").size(), 1u); // the config alone: no temporary file left

    // Nothing left to do.
    EXPECT_TRUE(SetupPlan::make(home.path(), kAskpass, {key(keyPath)}, "/bin/zsh").changes.empty());
}

TEST(SetupPlanTest, KeysTheUsersOwnConfigurationNamesGetNoLine)
{
    TempDir home;
    const fs::path ssh = home.path() / ".ssh";
    const std::string own = "Host work\n  IdentityFile ~/.ssh/work\n";
    // An IdentityFile line inside an old managed block does not count as the user's own.
    writeFile(ssh / "config", B + "\nIdentityFile ~/.ssh/old\n" + E + "\n" + own);
    const std::vector<SSHKey> keys = {
        key(ssh / "work"),
        key(ssh / "." / "old"),
        key("/srv/keys/deploy key"),
        key(home.path().string() + "/../" + home.path().filename().string() + "/other"),
    };
    const auto plan = SetupPlan::make(home.path(), kAskpass, keys, "/bin/bash");
    ASSERT_EQ(plan.changes.size(), 2u);
    EXPECT_EQ(plan.changes[0].after,
              B + "\n" + SetupFiles::sshBlock({"~/.ssh/old", "/srv/keys/deploy key", "~/other"}) + "\n" + E + "\n"
                  + own);
    EXPECT_EQ(plan.changes[1].url, home.path() / ".bashrc");
}

TEST(SetupPlanTest, UnreadableFilesAreLeftOutOfThePlan)
{
    TempDir home;
    writeFile(home.path() / ".ssh/config", "Host x\n\xff\xfe\n");
    auto plan = SetupPlan::make(home.path(), kAskpass, {}, "/bin/zsh");
    ASSERT_EQ(plan.changes.size(), 1u);
    EXPECT_EQ(plan.changes[0].url, home.path() / ".zshenv");

    fs::remove(home.path() / ".ssh/config");
    fs::create_directory(home.path() / ".zshenv"); // a directory where the file should be
    plan = SetupPlan::make(home.path(), kAskpass, {}, "/bin/zsh");
    ASSERT_EQ(plan.changes.size(), 1u);
    EXPECT_EQ(plan.changes[0].url, home.path() / ".ssh/config");

    // A FIFO would block a plain open: it reads as unreadable at once.
    fs::remove(home.path() / ".zshenv");
    ASSERT_EQ(::mkfifo((home.path() / ".zshenv").c_str(), 0600), 0);
    EXPECT_EQ(SetupPlan::make(home.path(), kAskpass, {}, "/bin/zsh").changes.size(), 1u);
}

TEST(SetupPlanTest, WindowsLineEndsAndUTF8TextAreKept)
{
    TempDir home;
    writeFile(home.path() / ".zshenv", "export A=caf\xc3\xa9\r\nexport B=\xe2\x82\xac\xf0\x9f\x94\x91\r\n");
    const auto plan = SetupPlan::make(home.path(), kAskpass, {}, "zsh");
    ASSERT_EQ(plan.changes.size(), 2u);
    const std::string& after = plan.changes[1].after;
    EXPECT_TRUE(
        after.starts_with("export A=caf\xc3\xa9\r\nexport B=\xe2\x82\xac\xf0\x9f\x94\x91\r\n" + B + "\r\nif [ -x "));
    EXPECT_TRUE(after.ends_with("fi\r\n" + E + "\r\n"));
}

// Failure injection: each check failure writes nothing at all.
TEST(SetupPlanApplyTest, AFileChangedAfterThePlanWasShownStopsEverything)
{
    TempDir home;
    writeFile(home.path() / ".ssh/config", "Host a\n", fs::perms(0600));
    const auto plan = SetupPlan::make(home.path(), kAskpass, {}, "/bin/zsh");
    ASSERT_EQ(plan.changes.size(), 2u);
    writeFile(home.path() / ".ssh/config", "Host a\nHost b\n", fs::perms(0600));
    const auto before = snapshot(home.path());
    const auto result = plan.apply(kSuffix);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), (SetupPlanError{Kind::changedSinceShown, home.path() / ".ssh/config", {}}));
    EXPECT_EQ(snapshot(home.path()), before); // not even the shell file
}

TEST(SetupPlanApplyTest, TheLastChangeFailingItsCheckStillWritesNothing)
{
    TempDir home;
    const auto plan = SetupPlan::make(home.path(), kAskpass, {}, "/bin/zsh");
    ASSERT_EQ(plan.changes.size(), 2u);
    writeFile(home.path() / ".zshenv", "\xc3\x28 not UTF-8\n");
    const auto before = snapshot(home.path());
    const auto result = plan.apply(kSuffix);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), (SetupPlanError{Kind::unreadable, home.path() / ".zshenv", {}}));
    EXPECT_EQ(snapshot(home.path()), before);
    EXPECT_FALSE(fs::exists(home.path() / ".ssh"));

    // A file that appeared where the plan expected none is a change too.
    writeFile(home.path() / ".zshenv", "");
    writeFile(home.path() / ".ssh/config", "Host new\n");
    EXPECT_EQ(plan.apply(kSuffix).error().kind, Kind::changedSinceShown);
}

TEST(SetupPlanApplyTest, AFileToRemoveThatIsAlreadyGoneIsAChange)
{
    TempDir home;
    const SetupPlan plan{{FileChange{home.path() / ".zshenv", "", "", true}}};
    EXPECT_EQ(plan.apply(kSuffix).error(), (SetupPlanError{Kind::changedSinceShown, home.path() / ".zshenv", {}}));
}

TEST(SetupPlanApplyTest, AReadOnlyDirectoryFailsWithoutLeavingAnythingBehind)
{
    TempDir dir;
    const fs::path home = dir.path() / "home";
    writeFile(home / ".zshenv", "export A=1\n", fs::perms(0640));
    fs::create_directories(home / ".ssh");
    const auto plan = SetupPlan::make(home, kAskpass, {}, "/bin/zsh");
    ASSERT_EQ(plan.changes.size(), 2u);
    // The ssh directory can be written, the home directory itself cannot.
    fs::permissions(home, fs::perms(0555));
    const auto before = snapshot(home);

    const int outcome = runWithoutPrivileges(dir.path(), [&] {
        const auto result = plan.apply(kSuffix);
        if (result) {
            return 1;
        }
        if (result.error().kind != Kind::fileSystem || result.error().url != home / ".zshenv"
            || result.error().error.value() != EACCES) {
            return 2;
        }
        return 0;
    });
    ASSERT_EQ(outcome, 0);
    fs::permissions(home, fs::perms(0755));

    // The first change went through (changes already carried out stay); the second left no trace.
    EXPECT_EQ(readFile(home / ".ssh/config"), plan.changes[0].after);
    EXPECT_EQ(readFile(home / ".zshenv"), "export A=1\n");
    EXPECT_EQ(modeOf(home / ".zshenv"), 0640u);
    EXPECT_FALSE(existsNoFollow(home / ".zshenv.bak-vantorelle"));
    auto after = snapshot(home);
    after.erase(".ssh/config");
    EXPECT_EQ(after, before);
}

TEST(SetupPlanApplyTest, AnExistingBackupIsNeverOverwrittenAndPermissionsAreKept)
{
    TempDir home;
    writeFile(home.path() / ".zshenv", "export A=1\n", fs::perms(0640));
    writeFile(home.path() / ".zshenv.bak-vantorelle", "precious\n", fs::perms(0600));
    auto plan = SetupPlan::make(home.path(), kAskpass, {}, "/bin/zsh");
    ASSERT_TRUE(plan.apply(kSuffix).has_value());
    EXPECT_EQ(readFile(home.path() / ".zshenv.bak-vantorelle"), "precious\n");
    EXPECT_EQ(modeOf(home.path() / ".zshenv"), 0640u);

    // Without a backup the first apply makes one, with the file's permissions; a second apply
    // keeps it as it was.
    fs::remove(home.path() / ".zshenv.bak-vantorelle");
    writeFile(home.path() / ".zshenv", "export A=1\n", fs::perms(0640));
    plan = SetupPlan::make(home.path(), kAskpass, {}, "/bin/zsh");
    ASSERT_TRUE(plan.apply(kSuffix).has_value());
    EXPECT_EQ(readFile(home.path() / ".zshenv.bak-vantorelle"), "export A=1\n");
    EXPECT_EQ(modeOf(home.path() / ".zshenv.bak-vantorelle"), 0640u);
    plan = SetupPlan::make(home.path(), "/other/askpass", {}, "/bin/zsh");
    ASSERT_EQ(plan.changes.size(), 1u);
    ASSERT_TRUE(plan.apply(kSuffix).has_value());
    EXPECT_NE(readFile(home.path() / ".zshenv").find("/other/askpass"), std::string::npos);
    EXPECT_EQ(readFile(home.path() / ".zshenv.bak-vantorelle"), "export A=1\n");
}

TEST(SetupPlanApplyTest, ALinkedStartUpFileStaysALink)
{
    TempDir home;
    writeFile(home.path() / "dotfiles/zshenv", "export A=1\n", fs::perms(0600));
    fs::create_symlink("dotfiles/zshenv", home.path() / ".zshenv");
    const auto plan = SetupPlan::make(home.path(), kAskpass, {}, "/bin/zsh");
    ASSERT_EQ(plan.changes.size(), 2u);
    ASSERT_TRUE(plan.apply(kSuffix).has_value());

    EXPECT_TRUE(fs::is_symlink(home.path() / ".zshenv"));
    EXPECT_EQ(fs::read_symlink(home.path() / ".zshenv"), "dotfiles/zshenv");
    EXPECT_EQ(readFile(home.path() / "dotfiles/zshenv"), plan.changes[1].after);
    EXPECT_EQ(modeOf(home.path() / "dotfiles/zshenv"), 0600u);
    EXPECT_EQ(readFile(home.path() / "dotfiles/zshenv.bak-vantorelle"), "export A=1\n");
    EXPECT_FALSE(existsNoFollow(home.path() / ".zshenv.bak-vantorelle"));

    // Undo edits the target too, and never deletes the link.
    const auto undo = SetupPlan{}.undo(home.path());
    ASSERT_TRUE(undo.apply(kSuffix).has_value());
    EXPECT_TRUE(fs::is_symlink(home.path() / ".zshenv"));
    EXPECT_EQ(readFile(home.path() / "dotfiles/zshenv"), "export A=1\n");
}

TEST(SetupPlanApplyTest, ADanglingLinkGetsItsTargetCreatedAndUndoEmptiesIt)
{
    TempDir home;
    fs::create_directories(home.path() / "dotfiles");
    fs::create_symlink(home.path() / "dotfiles/zshenv", home.path() / ".zshenv");
    const auto plan = SetupPlan::make(home.path(), kAskpass, {}, "/bin/zsh");
    ASSERT_TRUE(plan.apply(kSuffix).has_value());
    EXPECT_TRUE(fs::is_symlink(home.path() / ".zshenv"));
    EXPECT_EQ(readFile(home.path() / "dotfiles/zshenv"), plan.changes[1].after);

    const auto undo = SetupPlan{}.undo(home.path());
    ASSERT_EQ(undo.changes.size(), 2u);
    EXPECT_TRUE(undo.changes[1].removesFile);
    ASSERT_TRUE(undo.apply(kSuffix).has_value());
    EXPECT_TRUE(fs::is_symlink(home.path() / ".zshenv")); // written through, not deleted
    EXPECT_EQ(readFile(home.path() / "dotfiles/zshenv"), "");
    EXPECT_FALSE(fs::exists(home.path() / ".ssh/config")); // setup created it: gone again
}

// Two processes apply the plans they made from the same files at the same moment: each apply
// succeeds, or finds the other's result and says the file changed since shown; nothing else. No
// backup is made of a file the other process created, so undo still removes it.
TEST(SetupPlanApplyTest, TwoProcessesApplyingAtOnceBothSucceedAndUndoStaysCorrect)
{
    enum Outcome { applied = 0, changed = 1, failed = 2 };
    for (const bool shellFileExisted : {false, true}) {
        for (int round = 0; round < 40; ++round) {
            TempDir home;
            if (shellFileExisted) {
                writeFile(home.path() / ".zshenv", "export A=1\n");
            }
            const fs::path keyPath = home.path() / ".ssh" / "id_ed25519";
            const auto plan = SetupPlan::make(home.path(), kAskpass, {key(keyPath)}, "/bin/zsh");
            int go[2];
            ASSERT_EQ(::pipe(go), 0);
            pid_t children[2];
            for (pid_t& child : children) {
                child = ::fork();
                ASSERT_GE(child, 0);
                if (child == 0) {
                    char byte;
                    ::close(go[1]);
                    (void)!::read(go[0], &byte, 1); // both start together
                    const auto result = plan.apply(kSuffix);
                    ::_exit(result ? applied : result.error().kind == Kind::changedSinceShown ? changed : failed);
                }
            }
            ::close(go[0]);
            ::close(go[1]); // end of file releases both
            int successes = 0;
            for (const pid_t child : children) {
                int status = 0;
                ASSERT_EQ(::waitpid(child, &status, 0), child);
                ASSERT_TRUE(WIFEXITED(status));
                EXPECT_NE(WEXITSTATUS(status), failed) << "round " << round;
                successes += WEXITSTATUS(status) == applied;
            }
            EXPECT_GE(successes, 1);
            EXPECT_EQ(readFile(home.path() / ".ssh/config"), plan.changes[0].after);
            EXPECT_FALSE(existsNoFollow(home.path() / ".ssh/config.bak-vantorelle"));
            EXPECT_EQ(readFile(home.path() / ".zshenv.bak-vantorelle"), shellFileExisted ? "export A=1\n" : "");
            EXPECT_EQ(snapshot(home.path()).size(), shellFileExisted ? 4u : 3u) << "stray temporary files";

            const auto undo = plan.undo(home.path());
            ASSERT_EQ(undo.changes.size(), 2u);
            EXPECT_TRUE(undo.changes[0].removesFile);
            EXPECT_EQ(undo.changes[1].removesFile, !shellFileExisted);
            if (::testing::Test::HasFailure()) {
                return;
            }
        }
    }
}

TEST(SetupFilesTest, AFileThatAppearedSinceThePlanIsNeverBackedUpOrOverwritten)
{
    TempDir home;
    const fs::path file = home.path() / ".zshenv";
    writeFile(file, "same\n");
    // Another process created it with this very text: done, and no backup of its file.
    EXPECT_TRUE(SetupFiles::write("same\n", file, kSuffix, fs::perms(0644), SetupFiles::Expected::missing));
    EXPECT_FALSE(existsNoFollow(file.string() + std::string(kSuffix)));
    // Someone wrote something else: left alone.
    writeFile(file, "theirs\n");
    EXPECT_EQ(SetupFiles::write("same\n", file, kSuffix, fs::perms(0644), SetupFiles::Expected::missing),
              std::unexpected(std::error_code(EEXIST, std::generic_category())));
    EXPECT_EQ(readFile(file), "theirs\n");
    EXPECT_FALSE(existsNoFollow(file.string() + std::string(kSuffix)));
}

// Undo after apply gives back every start state, for both files.
TEST(SetupPlanApplyTest, UndoAfterApplyRestoresEveryStartState)
{
    struct Start
    {
        const char* name;
        std::optional<std::string> text; // nothing: the file is missing
    };
    const Start starts[] = {
        {"missing", std::nullopt},
        {"empty", ""},
        {"final line break", "first\nsecond\n"},
        {"no final line break", "first\nsecond"},
        {"CRLF", "first\r\nsecond\r\n"},
        {"CRLF without final break", "first\r\nsecond"},
        {"only blank lines", "\n\n"},
        {"stray begin marker", "a\n" + B + "\nb\n"},
    };
    for (const auto& start : starts) {
        for (const std::string shell : {"/bin/zsh", "/bin/bash"}) {
            TempDir home;
            const fs::path config = home.path() / ".ssh/config";
            const fs::path shellFile = SetupPlan::shellFile(home.path(), shell);
            if (start.text) {
                writeFile(config, *start.text, fs::perms(0600));
                writeFile(shellFile, *start.text);
            }
            const auto plan = SetupPlan::make(home.path(), kAskpass, {key(home.path() / ".ssh/id")}, shell);
            ASSERT_EQ(plan.changes.size(), 2u) << start.name;
            ASSERT_TRUE(plan.apply(kSuffix).has_value()) << start.name;
            ASSERT_TRUE(MarkedBlock::contains(readFile(config))) << start.name;

            // The application undoes with an empty plan; the plan's own files give the same.
            const auto undo = SetupPlan{}.undo(home.path());
            EXPECT_EQ(undo, plan.undo(home.path())) << start.name;
            ASSERT_TRUE(undo.apply(kSuffix).has_value()) << start.name;
            for (const auto& file : {config, shellFile}) {
                if (start.text) {
                    EXPECT_EQ(readFile(file), *start.text) << start.name << " " << file;
                } else {
                    EXPECT_FALSE(existsNoFollow(file)) << start.name << " " << file;
                }
            }
            if (!start.text) {
                EXPECT_EQ(modeOf(config.parent_path()), 0700u) << start.name;
            }
            EXPECT_TRUE(SetupPlan{}.undo(home.path()).changes.empty()) << start.name;
        }
    }
}

TEST(SetupPlanTest, UndoLeavesOutFilesWithoutABlockAndDeduplicates)
{
    TempDir home;
    writeFile(home.path() / ".zshenv", "plain\n");
    writeFile(home.path() / ".bashrc", "x\n" + B + "\ny\n" + E + "\n");
    // A plan naming the same file with a "." component does not produce a second change.
    const SetupPlan plan{{FileChange{home.path() / "." / ".bashrc", "", "", false}}};
    const auto undo = plan.undo(home.path());
    ASSERT_EQ(undo.changes.size(), 1u);
    EXPECT_EQ(undo.changes[0],
              (FileChange{home.path() / "." / ".bashrc", "x\n" + B + "\ny\n" + E + "\n", "x\n", false}));

    // An empty file that was backed up at setup stays, empty.
    writeFile(home.path() / ".zshenv", B + "\ny\n" + E + "\n");
    writeFile(home.path() / ".zshenv.bak-vantorelle", "");
    const auto second = SetupPlan{}.undo(home.path());
    ASSERT_EQ(second.changes.size(), 2u);
    EXPECT_EQ(second.changes[0], (FileChange{home.path() / ".zshenv", B + "\ny\n" + E + "\n", "", false}));
}

} // namespace
} // namespace vantorelle
