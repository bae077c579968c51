// Setup: block texts read back by the real ssh and shells, making and undoing plans and applying
// them safely on a real file system (including the ways an apply can fail); the marked block and
// the line diff the review shows (their round trips on arbitrary texts are the fuzz targets' part;
// the rest of the checklist and the rules over managed key paths are the settings controller's
// tests); the checklist's ssh step; and
// moving off the prototype: its lines, detection and the removal plan on a real home, and the
// secret-store deletion rule.
#include "setup/SetupPlan.h"

#include <future>
#include <gtest/gtest.h>
#include <latch>
#include <map>
#include <regex>
#include <sys/stat.h>

#include "setup/LineDiff.h"
#include "setup/MarkedBlock.h"
#include "setup/PrototypeMigration.h"
#include "setup/SetupFiles.h"
#include "setup/SetupStatus.h"
#include "support/SshTools.h"
#include "support/TempDir.h"

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
    static std::optional<std::string> contents(const fs::path& p)
    {
        return fs::exists(fs::symlink_status(p)) ? std::optional(readFile(p)) : std::nullopt;
    }
    TempDir dir;
    fs::path home = dir.path();
};

// The blocks as the real ssh and shells read them: every path arrives exactly as named, quoted or
// with "%" doubled where ssh would split or expand it; the shell block goes to the file the login
// shell reads, and keys the user's own configuration names get no line.
TEST_F(SetupPlanTest, BlocksNameExactPathsForRealSSHAndShellsInTheFileTheLoginShellReads)
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
    test::writeFile(config, MarkedBlock::apply(SetupFiles::sshBlock(paths), "", MarkedBlock::Position::top));
    const auto ssh
        = test::runTool("/usr/bin/ssh", {"-vF", config, "-oBatchMode=yes", "-oProxyCommand=true", "x.y", "z"});
    EXPECT_EQ(ssh.output.find("percent"), std::string::npos) << ssh.output;
    for (const std::string& path : paths) { // the debug log escapes backslashes
        const auto logged = "identity file " + std::regex_replace(path, std::regex(R"(\\)"), R"(\$&)") + " type";
        EXPECT_NE(ssh.output.find(logged), std::string::npos) << logged << "\n" << ssh.output;
    }
    // A line break or "${" cannot be kept from ssh's reading: such a path is left out, and reported.
    const std::vector<fs::path> unfit = {"/k/a\nHost evil", "/k/a\rb", "/k/${HOME}"};
    EXPECT_EQ(SetupFiles::sshBlock({unfit[0], unfit[1], unfit[2], "/k/$HOME"}), head + "\nIdentityFile /k/$HOME");
    EXPECT_EQ(SetupPlan::leftOutKeys({key(unfit[0]), key("/k/$d {e}%"), key(unfit[1]), key(unfit[2])}), unfit);

    // clang-format off
    const std::pair<std::string, std::string> shells[] = {{"/usr/local/bin/bash", ".bashrc"}, {"bash", ".bashrc"},
        {"/bin/zsh", ".zshenv"}, {"", ".zshenv"}, {"/bin/bash5", ".zshenv"}, {"fish", ".config/fish/conf.d/vantorelle.fish"},
        {"/usr/bin/fishy", ".zshenv"}, {"/opt/fish/bin/sh", ".zshenv"}};
    // clang-format on
    for (const auto& [shell, file] : shells) {
        EXPECT_EQ(SetupPlan::shellFile("/home/u", shell), "/home/u/" + file) << shell;
    }

    // An IdentityFile line inside an old managed block does not count as the user's own.
    const std::string own = "Host work\n  IdentityFile ~/.ssh/work\n";
    test::writeFile(home / ".ssh/config", B + "\nIdentityFile ~/.ssh/old\n" + E + "\n" + own);
    const auto plan = make({key(home / ".ssh/work"), key(home / ".ssh/./old"), key("/srv/keys/deploy key"),
                            key(home.string() + "/../" + home.filename().string() + "/other")});
    EXPECT_EQ(plan.changes.at(0).after,
              B + "\n" + head
                  + "\nIdentityFile ~/.ssh/old\nIdentityFile \"/srv/keys/deploy key\"\nIdentityFile ~/other\n" + E
                  + "\n" + own);
    // Fish reads neither POSIX file: its snippet has its own syntax and quoting.
    const std::string quoted = "'/opt/it\\'s \\\\odd $x/vantorelle-askpass'";
    EXPECT_EQ(SetupPlan::make(home, "/opt/it's \\odd $x/vantorelle-askpass", {}, "fish").changes.at(1).after,
              B + "\nif test -x " + quoted + "\n  set -gx SSH_ASKPASS " + quoted
                  + "\n  set -gx SSH_ASKPASS_REQUIRE force\nend\n" + E + "\n");
}

// A file that cannot be read is left out of the plan; any file no longer as shown stops the apply
// before anything is written.
TEST_F(SetupPlanTest, UnreadableFilesAreLeftOutAndAnyFileNoLongerAsShownStopsTheApplyBeforeAnyWrite)
{
    const auto writes = [&](const fs::path& name, const std::string& content) {
        return [=, this] { test::writeFile(home / name, content); };
    };
    const std::function<void()> nothing = [] {};
    // Mode and text of every entry: equal snapshots mean nothing was touched.
    const auto snapshot = [&] {
        std::map<fs::path, std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(home)) {
            entries[entry.path()] = std::to_string(int(entry.status().permissions())) + readFile(entry);
        }
        return entries;
    };
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
    // A file created after that check, before the write, is never written over (nor backed up);
    // holding this very text, it is another writer's same change: done.
    const auto create = [&] {
        return SetupFiles::write("same\n", home / "raced", kSuffix, fs::perms(0644), SetupFiles::Expected::missing);
    };
    test::writeFile(home / "raced", "same\n");
    EXPECT_TRUE(create());
    test::writeFile(home / "raced", "theirs\n");
    EXPECT_EQ(create(), std::unexpected(std::error_code(EEXIST, std::generic_category())));
    EXPECT_EQ(readFile(home / "raced"), "theirs\n");
    EXPECT_FALSE(fs::exists(home / ("raced" + std::string(kSuffix))));
}

// Apply then undo from every start state, for the three shells and a linked start-up file, with two
// writers applying at once: new files are private and get no backup (not even of the other
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
            test::writeFile(config, *start, fs::perms(0600));
            test::writeFile(lives, *start, fs::perms(0640));
        }
        const auto plan = make({key(home / ".ssh/id")}, shell);
        ASSERT_EQ(plan.changes.size(), 2u);
        // Two writers apply the plan at the same moment: each succeeds or finds the other's result
        // as a change since shown. The work is all files and errno, so threads race as processes would.
        std::latch go(2);
        const auto applyOnce = [&] {
            go.arrive_and_wait();
            const auto result = plan.apply(kSuffix);
            return result || result.error().kind == Kind::changedSinceShown;
        };
        auto other = std::async(std::launch::async, applyOnce);
        EXPECT_TRUE(applyOnce());
        EXPECT_TRUE(other.get());
        EXPECT_EQ(readFile(lives), plan.changes[1].after);
        EXPECT_TRUE(make({key(home / ".ssh/id")}, shell).changes.empty()); // nothing left to do
        EXPECT_EQ(fs::status(home / ".ssh").permissions(), fs::perms(start ? 0755 : 0700)); // created private
        EXPECT_EQ(fs::status(config).permissions(), fs::perms(0600));
        EXPECT_EQ(fs::status(lives).permissions(), fs::perms(start ? 0640 : 0644));
        EXPECT_EQ(contents(config.string() + ".bak-vantorelle"), start);
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
        ASSERT_TRUE(undo.apply(kSuffix).has_value());
        EXPECT_EQ(contents(config), start);
        EXPECT_EQ(contents(shellFile), linked && !start ? std::optional<std::string>("") : start);
        EXPECT_EQ(fs::is_symlink(shellFile), linked);
        EXPECT_TRUE(SetupPlan{}.undo(home).changes.empty());
    }
}

using MarkedBlock::Position;

TEST(MarkedBlockTest, ContainsRemoveAndApplyFollowTheByteExactMarkerRulesAndTheTextsLineBreakStyle)
{
    // What remove leaves; nothing when the text holds no block, which then stays as it is.
    // clang-format off
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"a\n" + B + "\nx\n", {}}, {"a\n" + E + "\nb\n", {}}, {E + "\n" + B + "\n", {}}, {B + E, {}},
        {B + " \nx\n" + E + "\n", {}}, {" " + B + "\n" + E + "\n", {}}, {B + "\n" + E + "\t\n", {}},
        {B + "\n" + E, ""}, {B + "\nx\n" + E + "\nb\n", "b\n"}, {B + "\r\nx\r\n" + E + "\r\nb\r\n", "b\r\n"},
        {B + "\n" + E + "\r", "\r"}, {"a\n" + B + "\n" + E + "\rb", "a\n\rb"}, {B + "\n" + E + "\n" + B + "\n", B + "\n"},
        // A block at the very end takes the line break before it, but an LF-style one leaves a lone CR.
        {"a\n" + B + "\nx\n" + E, "a"}, {"a\r\n" + B + "\r\nx\r\n" + E, "a"}, {"a\r\n" + B + "\nx\n" + E, "a\r"},
        {B + "\n1\n" + E + "\n" + B + "\n2\n" + E + "\nz", "z"},
        // A begin marker the user left behind is the user's text: the block opens at the nearest one.
        {"a\n" + B + "\nmine\n" + B + "\nx\n" + E + "\n", "a\n" + B + "\nmine\n"}};
    // clang-format on
    for (const auto& [text, removed] : cases) {
        EXPECT_EQ(MarkedBlock::contains(text), removed.has_value()) << ::testing::PrintToString(text);
        EXPECT_EQ(MarkedBlock::remove(text), removed.value_or(text)) << ::testing::PrintToString(text);
    }
    // Apply puts one block at the top or the bottom in the text's line-break style.
    const auto top = Position::top, bottom = Position::bottom;
    // clang-format off
    const std::tuple<std::string, std::string, Position, std::string> applies[] = {
        {"x\ny", "", bottom, B + "\nx\ny\n" + E + "\n"}, {"x", "a\n", top, B + "\nx\n" + E + "\na\n"},
        {"x", "a\nb", bottom, "a\nb\n" + B + "\nx\n" + E}, {"x", "a\nb\n", bottom, "a\nb\n" + B + "\nx\n" + E + "\n"},
        {"x\ny", "a\r\nb\r\n", bottom, "a\r\nb\r\n" + B + "\r\nx\r\ny\r\n" + E + "\r\n"},
        {"x", "a\r\n", top, B + "\r\nx\r\n" + E + "\r\na\r\n"}, {"x\r\ny", "", bottom, B + "\nx\ny\n" + E + "\n"},
        {"x\n", "", bottom, B + "\nx\n\n" + E + "\n"},
        {"new", "a\n" + B + "\nold\n" + E + "\nb\n", bottom, "a\nb\n" + B + "\nnew\n" + E + "\n"},
        {"new", B + "\n1\n" + E + "\nmid\n" + B + "\n2\n" + E + "\n", top, B + "\nnew\n" + E + "\nmid\n"}};
    // clang-format on
    for (const auto& [block, text, position, expected] : applies) {
        EXPECT_EQ(MarkedBlock::apply(block, text, position), expected) << ::testing::PrintToString(text);
    }
}

TEST(LineDiffTest, SplitDiffUnifiedCountsAndTheSizeLimitOnTheTrimmedMiddle)
{
    // The diff as the review shows it: each line marked ' ', '+', '-' or '~' (a folded stretch).
    const auto shown = [](const std::vector<LineDiff::Line>& lines) {
        std::string out;
        for (const auto& line : lines) {
            out += " +-~"[static_cast<int>(line.kind)] + line.text + "|";
        }
        return out;
    };
    // clang-format off
    const std::tuple<std::string, std::string, std::string> diffs[] = {
        {"", "x\n", "+x|"}, {"x\n", "", "-x|"}, {"a\nb", "a\nb\n", " a| b|"}, {"a\nb\n", "a\r\nb\n", "-a|+a\r| b|"},
        {"a\na\n", "a\n", " a|-a|"}, {"a\nb\n", "n\na\nb\n", "+n| a| b|"}, {"a\nb\na\nb\n", "b\na\nb\na\n", "-a| b| a| b|+a|"},
        {"x\np\nq\ny\n", "x\nr\ns\ny\n", " x|-p|-q|+r|+s| y|"}}; // removals come before the lines replacing them
    // clang-format on
    for (const auto& [before, after, expected] : diffs) {
        EXPECT_EQ(shown(LineDiff::diff(before, after)), expected) << before << "|" << after;
    }
    const std::string a = "0\n1\n2\nr\n4\n5\n6\n7\n8\n10\n11\n", b = "0\n1\n2\n4\n5\n6\n7\n8\nz\n10\n11\n";
    EXPECT_EQ(shown(LineDiff::unified(a, b, 2)), "~| 1| 2|-r| 4| 5|~| 7| 8|+z| 10| 11|");
    EXPECT_EQ(shown(LineDiff::unified(a, b, -5)), "~|-r|~|+z|~|"); // a negative context counts as 0
    EXPECT_EQ(shown(LineDiff::unified(a, a, 2)), "~|");
    const std::string old = "a\nb\nc\n";
    EXPECT_EQ(LineDiff::counts(old, "# >>>\nx\n# <<<\n" + old), (LineDiff::Counts{3, 0, true, false}));
    EXPECT_EQ(LineDiff::counts(old, old + "d\ne\n"), (LineDiff::Counts{2, 0, false, true}));
    EXPECT_EQ(LineDiff::counts(old, ""), (LineDiff::Counts{0, 3, true, true}));
    // The size limit is on the trimmed middle: 2000 x 2000 cells are still matched and the one common line is found;
    // one more line on each side and the middle shows as removed, then added.
    const auto repeated = [](const char* line, int count) {
        return std::regex_replace(std::string(count, '.'), std::regex("."), line);
    };
    for (const int n : {1000, 1001}) {
        const auto lines = LineDiff::diff(repeated("a\n", n) + "common\n" + repeated("b\n", 999),
                                          repeated("c\n", n) + "common\n" + repeated("d\n", 999));
        EXPECT_EQ(lines[n + 1000],
                  (n == 1000 ? LineDiff::Line{LineDiff::Kind::context, "common"}
                             : LineDiff::Line{LineDiff::Kind::added, "c"}));
    }
    const std::string frame = repeated("f\n", 5000); // a long common start and end are trimmed first
    EXPECT_EQ(LineDiff::counts(frame + "x\n" + frame, frame + "y\n" + frame), (LineDiff::Counts{1, 1, false, false}));
}

TEST(SetupStatusTest, TheSSHStepNamesTheFileThatLacksTheBlock)
{
    const auto ssh = SetupStatus::evaluate({.shellBlock = true, .sessionEnvironment = false}).at(1);
    EXPECT_EQ(ssh.missing, std::vector{SetupStatus::Missing::sshConfig});
}

namespace PM = PrototypeMigration;
const std::string kExport = "export SSH_ASKPASS=\"$HOME/.local/bin/ssh-quillgate-askpass\"";
const std::string kComment = "# SSH key passphrase via Touch ID";
const std::string kCompanion = "export SSH_ASKPASS_REQUIRE=force";
const std::string kPrototypeLines = kComment + "\n" + kExport + "\n" + kCompanion + "\n";

TEST(PrototypeMigrationTest, TheExportLinesGoWithTheirCompanionsAndTheAgentSettingGetsItsEarlierValueBack)
{
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
    // The agent setting gets its earlier value back, or goes.
    const std::string unchanged
        = "AddKeysToAgent 1h\nAddKeysToAgent yes\n# AddKeysToAgent 3h\n" + B + "\nAddKeysToAgent 3h\n" + E + "\n";
    // clang-format off
    const std::tuple<std::string, std::optional<std::string>, std::string> restores[] = {
        {"Host *\n  AddKeysToAgent 3h\n  User me\n", std::nullopt, "Host *\n  User me\n"}, {unchanged, "yes", unchanged},
        {"AddKeysToAgent=3H\n", "yes", "AddKeysToAgent=yes\n"}, {"addkeystoagent  3h\n", "confirm", "addkeystoagent  confirm\n"},
        {"AddKeysToAgent 3h\nHost a\nAddKeysToAgent 3h\n", "no", "AddKeysToAgent no\nHost a\nAddKeysToAgent no\n"},
        {"AddKeysToAgent 3h\r\nUser me\r\n", "yes", "AddKeysToAgent yes\r\nUser me\r\n"}};
    // clang-format on
    for (const auto& [text, earlier, expected] : restores) {
        EXPECT_EQ(PM::restoreAddKeysToAgent(text, earlier), expected) << text;
    }
    EXPECT_EQ(PM::earlierAddKeysToAgent("AddKeysToAgent\nAddKeysToAgent = confirm \n"), "confirm");
    EXPECT_EQ(PM::earlierAddKeysToAgent("AddKeysToAgent 3h\n"), std::nullopt); // the prototype's own value
}

TEST(PrototypeMigrationTest, DetectionSkipsWhatIsNotTheirsAndTheRemovalGivesTheEarlierSettingBack)
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
    const fs::path askpass = home / ".local/bin/ssh-quillgate-askpass", share = home / ".local/share/ssh-quillgate";
    test::writeFile(askpass, "#!/bin/sh\n");
    fs::create_directories(share.parent_path());
    fs::create_symlink(home / "nowhere", share); // dangling counts
    const auto found = PM::detect(home, keychainHas);
    EXPECT_EQ(found,
              (std::vector{Leftover::shellExport(zshenv), Leftover::addKeysToAgent(config), Leftover::path(askpass),
                           Leftover::path(share), Leftover::keychainService("ssh-quillgate")}));
    const auto plan = PM::removalPlan(found, home);
    ASSERT_EQ(plan.changes.size(), 2u);
    EXPECT_EQ(plan.changes[0].after, "export A=1\n");
    EXPECT_EQ(plan.changes[1].after, "Host *\n  AddKeysToAgent=yes\n  User me\n");
    ASSERT_TRUE(plan.apply(PM::backupSuffix).has_value());
    EXPECT_EQ(readFile(zshenv.string() + ".bak-vantorelle-migration"), "export A=1\n\n" + kPrototypeLines);
    EXPECT_EQ(PM::detect(home, keychainHas).size(), 3u); // the plan leaves the paths and the service
}

TEST(PrototypeMigrationTest, EachServiceIsAskedThirtyTwoDeletionsThenChecked)
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
