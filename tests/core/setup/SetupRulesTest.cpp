// The rules under setup: the marked block (markers, insertion, removal) and the line diff the
// review shows, as tables and as properties over generated texts; the checklist and the two rules
// over managed key paths.
#include <gtest/gtest.h>
#include <random>

#include "setup/LineDiff.h"
#include "setup/ManagedKeyRules.h"
#include "setup/MarkedBlock.h"
#include "setup/SetupStatus.h"

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

std::string numbered(const std::string& prefix, int count)
{
    std::string text;
    for (int k = 0; k < count; ++k) {
        text += prefix + std::to_string(k) + "\n";
    }
    return text;
}

TEST(LineDiffTest, SplitDiffUnifiedCountsAndTheSizeLimitOnTheTrimmedMiddle)
{
    EXPECT_EQ(LineDiff::split("\na\r\n\nb\r"), (std::vector<std::string>{"", "a\r", "", "b\r"}));
    EXPECT_TRUE(LineDiff::split("").empty());
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
    EXPECT_EQ(shown(LineDiff::unified(a, b, 1 << 30)), shown(LineDiff::diff(a, b)));
    EXPECT_EQ(shown(LineDiff::unified(a, a, 2)), "~|");
    EXPECT_EQ(shown(LineDiff::unified("", "", 2)), "");
    const std::string old = "a\nb\nc\n";
    EXPECT_EQ(LineDiff::counts(old, "# >>>\nx\n# <<<\n" + old), (LineDiff::Counts{3, 0, true, false}));
    EXPECT_EQ(LineDiff::counts(old, old + "d\ne\n"), (LineDiff::Counts{2, 0, false, true}));
    EXPECT_EQ(LineDiff::counts(old, "a\nB\nc\n"), (LineDiff::Counts{1, 1, false, false}));
    EXPECT_EQ(LineDiff::counts(old, ""), (LineDiff::Counts{0, 3, true, true}));
    EXPECT_EQ(LineDiff::counts(old, old), (LineDiff::Counts{}));
    // The size limit is on the trimmed middle: 2000 x 2000 cells are still matched and the one common line is found;
    // one more line on each side and the middle shows as removed, then added.
    for (const int n : {1000, 1001}) {
        const auto lines = LineDiff::diff(numbered("a", n) + "common\n" + numbered("b", 999),
                                          numbered("c", n) + "common\n" + numbered("d", 999));
        EXPECT_EQ(lines[n + 1000], (n == 1000 ? Line{Kind::context, "common"} : Line{Kind::added, "c0"}));
    }
    const std::string frame = numbered("frame ", 5000);
    EXPECT_EQ(LineDiff::counts(frame + "x\n" + frame, frame + "y\n" + frame), (LineDiff::Counts{1, 1, false, false}));
}

// One generator for both properties: remove undoes apply and apply is idempotent; replaying the
// diff rebuilds both sides, with as many context lines as the textbook longest common subsequence.
TEST(SetupTextTest, MarkedBlockAndLineDiffPropertiesHoldOnGeneratedTexts)
{
    std::mt19937 rng(20240611);
    const auto random = [&rng](const std::vector<std::string>& pieces, int most) {
        std::string text;
        for (auto k = rng() % (most + 1); k > 0; --k) {
            text += pieces[rng() % pieces.size()];
        }
        return text;
    };
    // clang-format off
    const std::vector<std::string> pieces = {"a", "a", " ", "\t", "#", "\r", "\xc3\xa9", "\xe2\x80\xa8", "\n", "\n", "\n", "\r\n",
        "\r\n", B, E, " " + B, B + " ", "b\n", "a\n", " a\n", "a\r\n", "IdentityFile x\n"};
    // clang-format on
    for (int iteration = 0; iteration < 12000; ++iteration) {
        const std::string text = random(pieces, 16), other = random(pieces, 16);
        const std::string block = random({"IdentityFile ~/.ssh/id", "x", "\r", " ", "\n", "\r\n"}, 6);
        SCOPED_TRACE(::testing::PrintToString(text) + " " + ::testing::PrintToString(other));
        for (const auto position : {Position::top, Position::bottom}) {
            const std::string applied = MarkedBlock::apply(block, text, position);
            ASSERT_TRUE(MarkedBlock::contains(applied) && MarkedBlock::apply(block, applied, position) == applied);
            ASSERT_EQ(MarkedBlock::remove(applied), MarkedBlock::remove(text)) << ::testing::PrintToString(block);
        }
        const auto x = LineDiff::split(text), y = LineDiff::split(other);
        const auto lines = LineDiff::diff(text, other);
        std::vector<std::string> old, now;
        for (const auto& line : lines) {
            (line.kind == Kind::added ? now : old).push_back(line.text);
            if (line.kind == Kind::context) {
                now.push_back(line.text);
            }
        }
        ASSERT_TRUE(old == x && now == y);
        std::vector<std::vector<std::size_t>> t(x.size() + 1, std::vector<std::size_t>(y.size() + 1));
        for (std::size_t i = x.size(); i-- > 0;) {
            for (std::size_t j = y.size(); j-- > 0;) {
                t[i][j] = x[i] == y[j] ? t[i + 1][j + 1] + 1 : std::max(t[i + 1][j], t[i][j + 1]);
            }
        }
        ASSERT_EQ(x.size() + y.size() - lines.size(), t[0][0]);
    }
}

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
