// The rules under setup: the marked block (markers, insertion, removal) and the line diff the
// review shows (their round trips on arbitrary texts are the fuzz targets' part); the checklist
// (the rules over managed key paths are the settings controller's tests), and moving off the prototype: its lines,
// detection and removal on a real home, and the secret-store deletion rule.
#include <gtest/gtest.h>
#include <map>

#include "setup/LineDiff.h"
#include "setup/MarkedBlock.h"
#include "setup/PrototypeMigration.h"
#include "setup/SetupStatus.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

namespace vantorelle {
namespace {

using LineDiff::Kind;
using LineDiff::Line;
using MarkedBlock::Position;
const std::string B(MarkedBlock::begin), E(MarkedBlock::end);

TEST(MarkedBlockTest, ContainsAndRemoveFollowTheByteExactMarkerRules)
{
    // What remove leaves; nothing when the text holds no block, which then stays as it is.
    // clang-format off
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"", {}}, {"a\n" + B + "\nx\n", {}}, {"a\n" + E + "\nb\n", {}}, {E + "\n" + B + "\n", {}}, {B + E, {}},
        {B + " \nx\n" + E + "\n", {}}, {" " + B + "\n" + E + "\n", {}}, {B + "\n" + E + "\t\n", {}},
        {B + "\n  " + E + "\n", {}}, {"x" + B + "\n" + E + "\n", {}}, {"# >>> VANTORELLE >>>\n" + E + "\n", {}},
        {B + "\n" + E, ""}, {B + "\nx\n" + E + "\nb\n", "b\n"}, {B + "\r\nx\r\n" + E + "\r\nb\r\n", "b\r\n"},
        {B + "\n" + E + "\r", "\r"}, {"a\n" + B + "\n" + E + "\rb", "a\n\rb"}, {B + "\n" + E + "\n" + B + "\n", B + "\n"},
        // A block at the very end takes the line break before it, but an LF-style one leaves a lone CR.
        {"a\n" + B + "\nx\n" + E, "a"}, {"a\r\n" + B + "\r\nx\r\n" + E, "a"}, {"a\r\n" + B + "\nx\n" + E, "a\r"},
        {B + "\n1\n" + E + "\n" + B + "\n2\n" + E + "\nz", "z"}, {"\xff\n" + B + "\nx\n" + E + "\n\xc3", "\xff\n\xc3"},
        // A begin marker the user left behind is the user's text: the block opens at the nearest one.
        {"a\n" + B + "\nmine\n" + B + "\nx\n" + E + "\n", "a\n" + B + "\nmine\n"}};
    // clang-format on
    for (const auto& [text, removed] : cases) {
        EXPECT_EQ(MarkedBlock::contains(text), removed.has_value()) << ::testing::PrintToString(text);
        EXPECT_EQ(MarkedBlock::remove(text), removed.value_or(text)) << ::testing::PrintToString(text);
    }
}

TEST(MarkedBlockTest, ApplyPutsOneBlockAtTheTopOrTheBottomInTheTextsLineBreakStyle)
{
    const auto top = Position::top, bottom = Position::bottom;
    // clang-format off
    const std::tuple<std::string, std::string, Position, std::string> cases[] = {
        {"x\ny", "", bottom, B + "\nx\ny\n" + E + "\n"}, {"x", "a\n", top, B + "\nx\n" + E + "\na\n"},
        {"x", "a\nb", bottom, "a\nb\n" + B + "\nx\n" + E}, {"x", "a\nb\n", bottom, "a\nb\n" + B + "\nx\n" + E + "\n"},
        {"x\ny", "a\r\nb\r\n", bottom, "a\r\nb\r\n" + B + "\r\nx\r\ny\r\n" + E + "\r\n"},
        {"x", "a\r\n", top, B + "\r\nx\r\n" + E + "\r\na\r\n"}, {"x\r\ny", "", bottom, B + "\nx\ny\n" + E + "\n"},
        {"x\ry", "", bottom, B + "\nx\ry\n" + E + "\n"}, {"", "", bottom, B + "\n\n" + E + "\n"},
        {"x\n", "", bottom, B + "\nx\n\n" + E + "\n"},
        {"new", "a\n" + B + "\nold\n" + E + "\nb\n", bottom, "a\nb\n" + B + "\nnew\n" + E + "\n"},
        {"new", B + "\n1\n" + E + "\nmid\n" + B + "\n2\n" + E + "\n", top, B + "\nnew\n" + E + "\nmid\n"}};
    // clang-format on
    for (const auto& [block, text, position, expected] : cases) {
        EXPECT_EQ(MarkedBlock::apply(block, text, position), expected) << ::testing::PrintToString(text);
    }
}

// The diff as the review shows it: each line marked ' ', '+', '-' or '~' (a folded stretch).
std::string shown(const std::vector<Line>& lines)
{
    std::string out;
    for (const auto& line : lines) {
        out += " +-~"[static_cast<int>(line.kind)] + line.text + "|";
    }
    return out;
}

TEST(LineDiffTest, SplitDiffUnifiedCountsAndTheSizeLimitOnTheTrimmedMiddle)
{
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
    EXPECT_EQ(shown(LineDiff::unified("", "", 2)), "");
    const std::string old = "a\nb\nc\n";
    EXPECT_EQ(LineDiff::counts(old, "# >>>\nx\n# <<<\n" + old), (LineDiff::Counts{3, 0, true, false}));
    EXPECT_EQ(LineDiff::counts(old, old + "d\ne\n"), (LineDiff::Counts{2, 0, false, true}));
    EXPECT_EQ(LineDiff::counts(old, ""), (LineDiff::Counts{0, 3, true, true}));
    // The size limit is on the trimmed middle: 2000 x 2000 cells are still matched and the one common line is found;
    // one more line on each side and the middle shows as removed, then added.
    const auto numbered = [](char prefix, int count) {
        std::string text;
        for (int k = 0; k < count; ++k) {
            text += prefix + std::to_string(k) + "\n";
        }
        return text;
    };
    for (const int n : {1000, 1001}) {
        const auto lines = LineDiff::diff(numbered('a', n) + "common\n" + numbered('b', 999),
                                          numbered('c', n) + "common\n" + numbered('d', 999));
        EXPECT_EQ(lines[n + 1000], (n == 1000 ? Line{Kind::context, "common"} : Line{Kind::added, "c0"}));
    }
    const std::string frame = numbered('f', 5000);
    EXPECT_EQ(LineDiff::counts(frame + "x\n" + frame, frame + "y\n" + frame), (LineDiff::Counts{1, 1, false, false}));
}

using SetupStatus::Item;
using SetupStatus::Missing;
using SetupStatus::Step;

// The key step wants at least one key and every passphrase stored; the ssh step wants both blocks and,
// where the session environment can be changed, the app's own helper in it, compared standardised.
TEST(SetupStatusTest, EachStepIsDoneOnlyWhenEverythingItNeedsIsInPlace)
{
    using Keys = std::vector<SetupFacts::ManagedKey>;
    using enum Missing;
    const Keys one{{"a", true}};
    const std::string app = "/opt/v/askpass";
    // keys, ssh block, shell block, helper in the session, the app's helper, session changeable; key done, missing
    // clang-format off
    const std::tuple<Keys, bool, bool, std::string, std::optional<std::string>, bool, bool, std::vector<Missing>> cases[] = {
        {{}, false, false, "", {}, true, false, {sshConfig, shellFile, appEnvironment}}, {{}, true, true, app, app, true, false, {}},
        {{{"a", true}, {"b", false}}, true, true, app, app, true, false, {}}, {{{"a", true}, {"b", true}}, true, true, "/opt/v/bin/../askpass", app, true, true, {}},
        {one, true, true, "/opt/./v/askpass", app, true, true, {}}, {one, true, true, "/usr/local/bin/askpass", app, true, true, {appEnvironment}},
        {one, true, true, app, {}, true, true, {appEnvironment}}, {one, true, false, app, app, true, true, {shellFile}},
        {one, true, true, "", {}, false, true, {}}, {one, true, false, "", {}, false, true, {shellFile}}};
    // clang-format on
    for (const auto& [keys, config, shell, launch, helper, session, keyDone, missing] : cases) {
        const auto items = SetupStatus::evaluate(SetupFacts{keys, config, shell, launch, helper, true, false, session});
        EXPECT_EQ(items[1], (Item{Step::ssh, missing.empty(), missing})) << launch;
        EXPECT_TRUE((items[0] == Item{Step::key, keyDone, {}} && items[2] == Item{Step::cli, true, {}}
                     && items[3] == Item{Step::login, false, {}}));
        EXPECT_EQ(SetupStatus::remaining(items), 2 - keyDone + !missing.empty()) << launch;
    }
}

namespace fs = std::filesystem;
namespace PM = PrototypeMigration;
const std::string kExport = "export SSH_ASKPASS=\"$HOME/.local/bin/ssh-quillgate-askpass\"";
const std::string kComment = "# SSH key passphrase via Touch ID";
const std::string kCompanion = "export SSH_ASKPASS_REQUIRE=force";
const std::string kPrototypeLines = kComment + "\n" + kExport + "\n" + kCompanion + "\n";

TEST(PrototypeMigrationTest, TheExportLinesGoWithTheirCommentCompanionAndOneBlankLine)
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
    EXPECT_EQ(PM::earlierAddKeysToAgent("AddKeysToAgent 3h\n"), std::nullopt); // the prototype's own value
}

// The whole clean-up through the settings window is the app's test; here what detection skips, the
// order it reports in, and the agent setting given back from the prototype's backup.
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
    fs::create_directories(home / ".local/share");
    fs::create_symlink(home / "nowhere", home / ".local/share/ssh-quillgate"); // dangling counts
    const auto found = PM::detect(home, keychainHas);
    EXPECT_EQ(found,
              (std::vector<Leftover>{Leftover::shellExport(zshenv), Leftover::addKeysToAgent(config),
                                     Leftover::path(home / ".local/share/ssh-quillgate"),
                                     Leftover::keychainService("ssh-quillgate")}));
    const auto plan = PM::removalPlan(found, home);
    ASSERT_EQ(plan.changes.size(), 2u);
    EXPECT_EQ(plan.changes[0], (FileChange{zshenv, "export A=1\n\n" + kPrototypeLines, "export A=1\n", false}));
    EXPECT_EQ(plan.changes[1].after, "Host *\n  AddKeysToAgent=yes\n  User me\n");
    // Without the prototype's backup there is no earlier value: the line goes.
    fs::remove(config.string() + ".bak-quillgate");
    EXPECT_EQ(PM::removalPlan({Leftover::addKeysToAgent(config)}, home).changes.at(0).after, "Host *\n  User me\n");
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
