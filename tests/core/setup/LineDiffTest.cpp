// LineDiff: the listed cases, the size limit, and replay/LCS properties over generated texts.
#include "setup/LineDiff.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace vantorelle {
namespace {

using LineDiff::Kind;
using LineDiff::Line;

Line ctx(std::string text)
{
    return {Kind::context, std::move(text)};
}
Line add(std::string text)
{
    return {Kind::added, std::move(text)};
}
Line rem(std::string text)
{
    return {Kind::removed, std::move(text)};
}
Line skip()
{
    return {Kind::skipped, {}};
}

std::string numbered(int from, int to, const std::string& prefix = "line ")
{
    std::string text;
    for (int k = from; k < to; ++k) {
        text += prefix + std::to_string(k) + "\n";
    }
    return text;
}

TEST(LineDiffTest, SplitCutsAtLineFeedsOnly)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(LineDiff::split(""), V{});
    EXPECT_EQ(LineDiff::split("\n"), V{""});
    EXPECT_EQ(LineDiff::split("a\nb"), (V{"a", "b"}));
    EXPECT_EQ(LineDiff::split("a\nb\n"), (V{"a", "b"}));
    EXPECT_EQ(LineDiff::split("a\n\n"), (V{"a", ""}));
    EXPECT_EQ(LineDiff::split("a\r\nb\r"), (V{"a\r", "b\r"}));
    EXPECT_EQ(LineDiff::split("\n\nx"), (V{"", "", "x"}));
}

struct DiffCase
{
    const char* name;
    std::string before;
    std::string after;
    std::vector<Line> expected;
};

TEST(LineDiffTest, DiffCases)
{
    const DiffCase cases[] = {
        {"empty to one line", "", "x\n", {add("x")}},
        {"one line to empty", "x\n", "", {rem("x")}},
        {"both empty", "", "", {}},
        {"replacement in the middle", "a\nb\nc\n", "a\nB\nc\n", {ctx("a"), rem("b"), add("B"), ctx("c")}},
        {"final line feed only", "a\nb", "a\nb\n", {ctx("a"), ctx("b")}},
        {"trailing CR differs", "a\nb\n", "a\r\nb\n", {rem("a"), add("a\r"), ctx("b")}},
        {"removals come before the lines replacing them",
         "x\np\nq\ny\n",
         "x\nr\ns\ny\n",
         {ctx("x"), rem("p"), rem("q"), add("r"), add("s"), ctx("y")}},
        {"tail never reaches into the head", "a\na\n", "a\n", {ctx("a"), rem("a")}},
        {"insert at top", "a\nb\n", "n\na\nb\n", {add("n"), ctx("a"), ctx("b")}},
        {"repeated lines", "a\nb\na\nb\n", "b\na\nb\na\n", {rem("a"), ctx("b"), ctx("a"), ctx("b"), add("a")}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LineDiff::diff(c.before, c.after), c.expected) << c.name;
    }
}

TEST(LineDiffTest, CountsSayWhetherTheTopOrBottomIsTouched)
{
    const std::string old = "a\nb\nc\n";
    EXPECT_EQ(LineDiff::counts(old, "# >>>\nx\n# <<<\n" + old), (LineDiff::Counts{3, 0, true, false}));
    EXPECT_EQ(LineDiff::counts(old, old + "d\ne\n"), (LineDiff::Counts{2, 0, false, true}));
    EXPECT_EQ(LineDiff::counts(old, "a\nB\nc\n"), (LineDiff::Counts{1, 1, false, false}));
    EXPECT_EQ(LineDiff::counts(old, old), (LineDiff::Counts{0, 0, false, false}));
    EXPECT_EQ(LineDiff::counts(old, ""), (LineDiff::Counts{0, 3, true, true}));
    EXPECT_EQ(LineDiff::counts("", ""), (LineDiff::Counts{0, 0, false, false}));
}

TEST(LineDiffTest, UnifiedFoldsUnchangedStretches)
{
    // A one-line replacement in the middle of ten lines, no context.
    std::string before = numbered(0, 10);
    std::string after = before;
    after.replace(after.find("line 5"), 6, "LINE 5");
    EXPECT_EQ(LineDiff::unified(before, after, 0), (std::vector<Line>{skip(), rem("line 5"), add("LINE 5"), skip()}));

    // Twelve diff lines with changes at positions 3 and 9, context 2.
    const std::string a = "0\n1\n2\nr\n4\n5\n6\n7\n8\n10\n11\n";
    const std::string b = "0\n1\n2\n4\n5\n6\n7\n8\nz\n10\n11\n";
    const auto twelve = LineDiff::diff(a, b);
    ASSERT_EQ(twelve.size(), 12u);
    ASSERT_EQ(twelve[3], rem("r"));
    ASSERT_EQ(twelve[9], add("z"));
    std::vector<Line> expected{skip()};
    expected.insert(expected.end(), twelve.begin() + 1, twelve.begin() + 6);
    expected.push_back(skip());
    expected.insert(expected.end(), twelve.begin() + 7, twelve.end());
    EXPECT_EQ(LineDiff::unified(a, b, 2), expected);

    EXPECT_EQ(LineDiff::unified("a\nb\n", "a\nb\n", 2), std::vector<Line>{skip()});
    EXPECT_EQ(LineDiff::unified("", "", 2), std::vector<Line>{});
    // A huge context shows everything and never overflows.
    EXPECT_EQ(LineDiff::unified("a\nb\nc\n", "a\nB\nc\n", 1 << 30), LineDiff::diff("a\nb\nc\n", "a\nB\nc\n"));
    // A negative context behaves like 0.
    EXPECT_EQ(LineDiff::unified(before, after, -5), LineDiff::unified(before, after, 0));
}

TEST(LineDiffTest, LargeAllDifferentMiddleIsNotMatched)
{
    const std::string before = numbered(0, 3000, "old ");
    const std::string after = numbered(0, 3000, "new ");
    const auto lines = LineDiff::diff(before, after);
    ASSERT_EQ(lines.size(), 6000u);
    for (std::size_t k = 0; k < 3000; ++k) {
        ASSERT_EQ(lines[k], rem("old " + std::to_string(k)));
        ASSERT_EQ(lines[3000 + k], add("new " + std::to_string(k)));
    }
}

TEST(LineDiffTest, TheLimitIsOnTheTrimmedMiddle)
{
    // 2000 x 2000 = 4,000,000 cells is still matched: the one common line in the middle is found.
    std::string before = numbered(0, 1000, "a") + "common\n" + numbered(0, 999, "b");
    std::string after = numbered(0, 1000, "c") + "common\n" + numbered(0, 999, "d");
    auto lines = LineDiff::diff(before, after);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), ctx("common")), 1);

    // One more line on each side and it is over the limit: no context at all.
    before = numbered(0, 1001, "a") + "common\n" + numbered(0, 999, "b");
    after = numbered(0, 1001, "c") + "common\n" + numbered(0, 999, "d");
    lines = LineDiff::diff(before, after);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const Line& l) { return l.kind == Kind::context; }), 0);

    // A shared head and tail do not count towards the limit.
    const std::string frame = numbered(0, 5000, "frame ");
    lines = LineDiff::diff(frame + "x\n" + frame, frame + "y\n" + frame);
    EXPECT_EQ(LineDiff::counts(frame + "x\n" + frame, frame + "y\n" + frame), (LineDiff::Counts{1, 1, false, false}));
}

// Reference: the longest common subsequence length by the textbook recurrence.
std::size_t lcsLength(const std::vector<std::string>& a, const std::vector<std::string>& b)
{
    std::vector<std::vector<std::size_t>> t(a.size() + 1, std::vector<std::size_t>(b.size() + 1, 0));
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            t[i][j] = a[i - 1] == b[j - 1] ? t[i - 1][j - 1] + 1 : std::max(t[i - 1][j], t[i][j - 1]);
        }
    }
    return t[a.size()][b.size()];
}

std::string randomText(std::mt19937& rng, const std::vector<std::string>& alphabet, int maxLines)
{
    std::uniform_int_distribution<int> count(0, maxLines);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string text;
    const int lines = count(rng);
    for (int k = 0; k < lines; ++k) {
        text += alphabet[pick(rng)];
        if (k + 1 < lines || rng() % 2 == 0) {
            text += '\n';
        }
    }
    return text;
}

std::string replay(const std::vector<Line>& lines, Kind keep)
{
    std::string text;
    for (const auto& line : lines) {
        if (line.kind == Kind::context || line.kind == keep) {
            text += line.text + "\n";
        }
    }
    return text;
}

std::string canonical(std::string_view text)
{
    std::string out;
    for (const auto& line : LineDiff::split(text)) {
        out += line + "\n";
    }
    return out;
}

TEST(LineDiffTest, ReplayRebuildsBothSidesAndContextIsTheLongestCommonSubsequence)
{
    std::mt19937 rng(42);
    const std::vector<std::string> alphabet = {"a", "b", "c", "", "a\r", " a", "IdentityFile x"};
    for (int iteration = 0; iteration < 3000; ++iteration) {
        const std::string before = randomText(rng, alphabet, 30);
        const std::string after = randomText(rng, alphabet, 30);
        const auto lines = LineDiff::diff(before, after);
        ASSERT_EQ(replay(lines, Kind::removed), canonical(before)) << before << "|" << after;
        ASSERT_EQ(replay(lines, Kind::added), canonical(after)) << before << "|" << after;
        const auto context
            = std::count_if(lines.begin(), lines.end(), [](const Line& l) { return l.kind == Kind::context; });
        ASSERT_EQ(static_cast<std::size_t>(context), lcsLength(LineDiff::split(before), LineDiff::split(after)))
            << before << "|" << after;

        // unified keeps every change and folds only context.
        const auto folded = LineDiff::unified(before, after, static_cast<int>(rng() % 4));
        const auto changes = [](const std::vector<Line>& v) {
            std::vector<Line> out;
            std::copy_if(v.begin(), v.end(), std::back_inserter(out),
                         [](const Line& l) { return l.kind == Kind::added || l.kind == Kind::removed; });
            return out;
        };
        ASSERT_EQ(changes(folded), changes(lines));
    }
}

} // namespace
} // namespace vantorelle
