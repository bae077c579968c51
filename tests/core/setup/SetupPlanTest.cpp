// SetupPlan and SetupFiles: block texts read back by the real ssh and shells, making and undoing
// plans, and applying them safely on a real file system, including the ways an apply can fail.
#include "setup/SetupPlan.h"

#include <gtest/gtest.h>
#include <map>
#include <regex>
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

class SetupPlanTest : public ::testing::Test
{
protected:
    static SSHKey key(const fs::path& p) { return {p, p.string() + ".pub", "SHA256:x", "", SSHKey::Status::usable}; }
    auto make(std::vector<SSHKey> k = {}, std::string_view s = "zsh") const
    {
        return SetupPlan::make(home, "/usr/lib/vantorelle/vantorelle-askpass", k, s);
    }
    // Setup files are ordinary user files: 0644 unless a test says otherwise.
    void write(const fs::path& to, const std::string& text, int mode = 0644) const
    {
        test::writeFile(home / to, text, fs::perms(mode));
    }
    static std::optional<std::string> contents(const fs::path& p)
    {
        return fs::exists(fs::symlink_status(p)) ? std::optional(readFile(p)) : std::nullopt;
    }
    // Type, mode and text or link target of every entry: equal snapshots mean nothing was touched.
    std::map<fs::path, std::string> snapshot() const
    {
        std::map<fs::path, std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(home)) {
            const auto s = entry.symlink_status();
            entries[entry.path()] = std::to_string(int(s.type()) << 12 | int(s.permissions())) + " "
                + (fs::is_symlink(s) ? fs::read_symlink(entry).string() : readFile(entry));
        }
        return entries;
    }
    // Two processes apply the plan at the same moment: each succeeds or finds the other's result as a
    // change since shown.
    static void applyFromTwoProcessesAtOnce(const SetupPlan& plan)
    {
        int go[2];
        ASSERT_EQ(::pipe(go), 0);
        pid_t children[2];
        for (pid_t& child : children) {
            if ((child = ::fork()) == 0) {
                ::close(go[1]); // end of file on the pipe releases both at once
                (void)!::read(go[0], &go[1], 1);
                const auto result = plan.apply(kSuffix);
                ::_exit(result ? 0 : result.error().kind == Kind::changedSinceShown ? 1 : 2);
            }
        }
        ::close(go[0]);
        ::close(go[1]);
        for (const pid_t child : children) {
            int status = -1;
            EXPECT_TRUE(::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) < 2);
        }
    }
    TempDir dir;
    fs::path home = dir.path();
};

// The blocks as the real ssh and shells read them: every path arrives exactly as named, quoted or
// with "%" doubled where ssh would split or expand it.
TEST_F(SetupPlanTest, RealSSHAndShellsUseExactlyThePathsTheBlocksName)
{
    const fs::path helper = home / "it's a $dir \"with\" `quotes` \\ and\ttabs" / "askpass";
    const fs::path script = home / "check.sh", config = home / "config";
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
        = {home / "with space", home / "quote\"d", home / "o'brien",       home / "back\\slash",
           home / "tab\there",  home / "100%",     home / "%d and $x%{y}", home / "$HOME`x`"};
    const std::string head = "IgnoreUnknown UseKeychain\n# Managed by Vantorelle. Remove with the app's undo.\n"
                             "AddKeysToAgent no\nUseKeychain no";
    EXPECT_EQ(SetupFiles::sshBlock({}), head);
    EXPECT_EQ(SetupFiles::sshBlock({paths[0], paths[5], "~/.ssh/id"}),
              head + "\nIdentityFile \"" + paths[0] + "\"\nIdentityFile " + home.string()
                  + "/100%%\nIdentityFile ~/.ssh/id");
    test::writeFile(config, MarkedBlock::apply(SetupFiles::sshBlock(paths), "", MarkedBlock::Position::top));
    const auto ssh
        = test::runTool("/usr/bin/ssh", {"-vF", config, "-oBatchMode=yes", "-oProxyCommand=true", "x.y", "z"});
    EXPECT_EQ(ssh.output.find("percent"), std::string::npos) << ssh.output;
    for (const std::string& path : paths) { // the debug log escapes backslashes
        const auto logged = "identity file " + std::regex_replace(path, std::regex(R"(\\)"), R"(\$&)") + " type";
        EXPECT_NE(ssh.output.find(logged), std::string::npos) << logged << "\n" << ssh.output;
        EXPECT_TRUE(SetupFiles::fitsSSHBlock(path)) << path;
    }
    // A line break or "${" cannot be kept from ssh's reading: such a path is left out, and reported.
    const std::vector<fs::path> unfit = {"/k/a\nHost evil", "/k/a\rb", "/k/${HOME}"};
    EXPECT_EQ(SetupFiles::sshBlock({unfit[0], unfit[1], unfit[2], "/k/$HOME"}), head + "\nIdentityFile /k/$HOME");
    EXPECT_EQ(SetupPlan::leftOutKeys({key(unfit[0]), key("/k/$d {e}%"), key(unfit[1]), key(unfit[2])}), unfit);
}

TEST_F(SetupPlanTest, TheShellFileFollowsTheLoginShellAndKeysTheUsersConfigurationNamesGetNoLine)
{
    // clang-format off
    const std::pair<std::string, std::string> shells[] = {{"/bin/bash", ".bashrc"}, {"/usr/local/bin/bash", ".bashrc"},
        {"bash", ".bashrc"}, {"/bin/zsh", ".zshenv"}, {"", ".zshenv"}, {"/bin/bash5", ".zshenv"}, {"/bin/rbash", ".zshenv"},
        {"/usr/bin/fish", ".config/fish/conf.d/vantorelle.fish"}, {"fish", ".config/fish/conf.d/vantorelle.fish"},
        {"/usr/bin/fishy", ".zshenv"}, {"/opt/fish/bin/sh", ".zshenv"}};
    // clang-format on
    for (const auto& [shell, file] : shells) {
        EXPECT_EQ(SetupPlan::shellFile("/home/u", shell), "/home/u/" + file) << shell;
    }
    EXPECT_EQ(SetupPlan::sshConfig("/home/u"), "/home/u/.ssh/config");

    // An IdentityFile line inside an old managed block does not count as the user's own.
    const std::string own = "Host work\n  IdentityFile ~/.ssh/work\n";
    write(".ssh/config", B + "\nIdentityFile ~/.ssh/old\n" + E + "\n" + own);
    const auto plan = make({key(home / ".ssh/work"), key(home / ".ssh/./old"), key("/srv/keys/deploy key"),
                            key(home.string() + "/../" + home.filename().string() + "/other")});
    EXPECT_EQ(plan.changes.at(0).after,
              B + "\n" + SetupFiles::sshBlock({"~/.ssh/old", "/srv/keys/deploy key", "~/other"}) + "\n" + E + "\n"
                  + own);
}

// Fish reads neither POSIX file: its snippet has its own syntax and quoting, and undo removes it
// together with a POSIX block an earlier setup left, but keeps a snippet the user had before.
TEST_F(SetupPlanTest, FishGetsASnippetInItsOwnSyntax)
{
    const std::string askpass = "/opt/it's \\odd $x/vantorelle-askpass",
                      quoted = "'/opt/it\\'s \\\\odd $x/vantorelle-askpass'";
    const fs::path snippet = home / ".config/fish/conf.d/vantorelle.fish";
    EXPECT_EQ(SetupPlan::make(home, askpass, {}, "/usr/bin/fish").changes.at(1),
              (FileChange{snippet, "",
                          B + "\nif test -x " + quoted + "\n  set -gx SSH_ASKPASS " + quoted
                              + "\n  set -gx SSH_ASKPASS_REQUIRE force\nend\n" + E + "\n",
                          false}));
}

// A file that cannot be read is left out of the plan; any file no longer as shown stops the apply
// before anything is written.
TEST_F(SetupPlanTest, UnreadableFilesAreLeftOutAndAnyFileNoLongerAsShownStopsTheApplyBeforeAnyWrite)
{
    const auto writes
        = [&](const fs::path& name, const std::string& content) { return [=, this] { write(name, content); }; };
    const std::function<void()> nothing = [] {};
    // clang-format off
    const std::tuple<std::function<void()>, std::function<void()>, std::vector<std::string>, std::optional<SetupPlanError>> cases[] = {
        {writes(".ssh/config", "Host x\n\xff\xfe\n"), nothing, {".zshenv"}, {}},
        {[&] { fs::create_directories(home / ".zshenv"); }, nothing, {".ssh/config"}, {}},
        {[&] { ASSERT_EQ(::mkfifo((home / ".zshenv").c_str(), 0600), 0); }, nothing, {".ssh/config"}, {}}, // no hang
        {writes(".zshenv", "export A=1\n"), writes(".ssh/config", "Host new\n"), {".ssh/config", ".zshenv"},
            SetupPlanError{Kind::changedSinceShown, ".ssh/config", {}}}, // appeared
        {writes(".zshenv", "export A=1\n"), writes(".zshenv", "\xc3\x28 not UTF-8\n"), {".ssh/config", ".zshenv"},
            SetupPlanError{Kind::unreadable, ".zshenv", {}}}};
    // clang-format on
    int round = 0;
    for (const auto& [before, after, planned, error] : cases) {
        SCOPED_TRACE(++round);
        fs::create_directories(home = dir.path() / std::to_string(round));
        before();
        const auto plan = make();
        EXPECT_EQ(plan.changes.size(), planned.size());
        EXPECT_EQ(plan.changes.back().url, home / planned.back());
        after();
        const auto untouched = error ? snapshot() : decltype(snapshot()){}; // a fifo is never read
        const auto result = plan.apply(kSuffix);
        EXPECT_EQ(result ? std::nullopt : std::optional(result.error()),
                  error ? std::optional(SetupPlanError{error->kind, home / error->url, {}}) : std::nullopt);
        EXPECT_EQ(error ? snapshot() : untouched, untouched); // a failed apply did not even make the first change
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

// Apply then undo from every start state, for the three shells and a linked start-up file, with two
// processes applying at once: new files are private and get no backup (not even of the other
// process's file), existing ones keep their mode and are backed up once, a linked file is edited
// where it lives and stays a link, and undo gives back the start.
TEST_F(SetupPlanTest, ApplyingAtOnceThenUndoingRestoresEveryStartState)
{
    // clang-format off
    const std::optional<std::string> starts[] = {std::nullopt, "", "first\nsecond\n", "first\nsecond", "first\r\nsecond\r\n",
                                                 "caf\xc3\xa9\r\n\xf0\x9f\x94\x91", "\n\n", "a\n" + B + "\nb\n"};
    // clang-format on
    for (int round = 0; round < 96 && !HasFailure(); ++round) { // each start and variant three times
        const auto& start = starts[round % 8];
        const int variant = round / 8 % 4;
        const bool linked = variant == 2, fish = variant == 3;
        const std::string shell = variant == 1 ? "/bin/bash" : fish ? "/usr/bin/fish" : "/bin/zsh";
        SCOPED_TRACE(::testing::PrintToString(start) + " " + shell + (linked ? " linked" : ""));
        home = dir.path() / std::to_string(round);
        const fs::path config = home / ".ssh/config", shellFile = SetupPlan::shellFile(home, shell);
        const fs::path lives = linked ? home / "dotfiles/rc" : shellFile;
        if (linked) { // relative when the target exists, dangling and absolute when not
            fs::create_directories(home / "dotfiles");
            fs::create_symlink(start ? fs::path("dotfiles/rc") : lives, shellFile);
        }
        if (start) {
            write(config, *start, 0600);
            write(lives, *start, 0640);
        }
        const auto plan = make({key(home / ".ssh/id")}, shell);
        ASSERT_EQ(plan.changes.size(), 2u);
        applyFromTwoProcessesAtOnce(plan);
        EXPECT_EQ(readFile(lives), plan.changes[1].after);
        EXPECT_TRUE(make({key(home / ".ssh/id")}, shell).changes.empty()); // nothing left to do
        EXPECT_EQ(fs::status(home / ".ssh").permissions(), fs::perms(start ? 0755 : 0700)); // created private
        EXPECT_EQ(fs::status(config).permissions(), fs::perms(0600));
        EXPECT_EQ(fs::status(lives).permissions(), fs::perms(start ? 0640 : 0644));
        EXPECT_EQ(contents(config.string() + ".bak-vantorelle"), start);
        EXPECT_EQ(contents(lives.string() + ".bak-vantorelle"), start);
        EXPECT_EQ(contents(shellFile.string() + ".bak-vantorelle"), linked ? std::nullopt : start);
        // A later apply never replaces a backup, which keeps the file as it was before setup, nor
        // backs up a file setup created.
        ASSERT_TRUE(SetupPlan::make(home, "/other/askpass", {}, shell).apply(kSuffix).has_value());
        EXPECT_EQ(contents(lives.string() + ".bak-vantorelle"), start);
        EXPECT_EQ(std::distance(fs::recursive_directory_iterator(home), {}),
                  3 + (start ? 2 : 0) + (linked ? 2 : 0) + (fish ? 3 : 0))
            << "a stray temporary file or backup";
        // The application undoes with an empty plan; the plan's own files give the same. Undo
        // never deletes a link, and removes what setup created even after a later apply changed it.
        const auto undo = SetupPlan{}.undo(home);
        EXPECT_EQ(undo, plan.undo(home));
        EXPECT_TRUE(undo.changes.at(0).removesFile == !start && undo.changes.at(1).removesFile == !start);
        ASSERT_TRUE(undo.apply(kSuffix).has_value());
        EXPECT_EQ(contents(config), start);
        EXPECT_EQ(contents(shellFile), linked && !start ? std::optional<std::string>("") : start);
        EXPECT_EQ(fs::is_symlink(shellFile), linked);
        EXPECT_TRUE(SetupPlan{}.undo(home).changes.empty());
    }
    // A plan naming the same file with a "." component gives no second change.
    write(".bashrc", "x\n" + B + "\ny\n" + E + "\n");
    const SetupPlan plan{{FileChange{home / "." / ".bashrc", "", "", false}}};
    EXPECT_EQ(plan.undo(home).changes,
              (std::vector{FileChange{home / "." / ".bashrc", "x\n" + B + "\ny\n" + E + "\n", "x\n", false}}));
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
    EXPECT_FALSE(contents(home / ".zshenv.bak-vantorelle"));
}

} // namespace
} // namespace vantorelle
