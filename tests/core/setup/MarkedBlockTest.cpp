// MarkedBlock: marker rules, insertion and removal, and properties over generated texts.
#include "setup/MarkedBlock.h"

#include <gtest/gtest.h>
#include <random>
#include <string>

namespace vantorelle {
namespace {

using MarkedBlock::Position;

const std::string B(MarkedBlock::begin);
const std::string E(MarkedBlock::end);

struct ContainsCase
{
    const char* name;
    std::string text;
    bool contains;
};

TEST(MarkedBlockTest, ContainsFollowsTheByteExactMarkerRules)
{
    const ContainsCase cases[] = {
        {"empty", "", false},
        {"plain block", B + "\nx\n" + E + "\n", true},
        {"block without final break", B + "\n" + E, true},
        {"block after text", "a\n" + B + "\n" + E, true},
        {"only begin", "a\n" + B + "\nx\n", false},
        {"only end", "a\n" + E + "\n", false},
        {"end before begin", E + "\n" + B + "\n", false},
        {"begin with trailing space", B + " \nx\n" + E + "\n", false},
        {"indented begin", " " + B + "\n" + E + "\n", false},
        {"end with trailing tab", B + "\n" + E + "\t\n", false},
        {"indented end", B + "\n  " + E + "\n", false},
        {"marker inside a line", "x" + B + "\n" + E + "\n", false},
        {"CRLF markers", B + "\r\nx\r\n" + E + "\r\n", true},
        {"end followed by lone CR", B + "\n" + E + "\r", true},
        {"upper-case marker", "# >>> VANTORELLE >>>\n" + E + "\n", false},
        {"begin then end on same line", B + E, false},
        {"second begin after the block", B + "\n" + E + "\n" + B + "\n", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MarkedBlock::contains(c.text), c.contains) << c.name;
    }
}

struct ApplyCase
{
    const char* name;
    std::string block;
    std::string text;
    Position position;
    std::string expected;
};

TEST(MarkedBlockTest, ApplyPutsOneBlockAtTheTopOrTheBottom)
{
    const ApplyCase cases[] = {
        {"empty text, bottom", "x\ny", "", Position::bottom, B + "\nx\ny\n" + E + "\n"},
        {"empty text, top", "x", "", Position::top, B + "\nx\n" + E + "\n"},
        {"one line, top", "x", "a\n", Position::top, B + "\nx\n" + E + "\na\n"},
        {"two lines without final break, bottom", "x", "a\nb", Position::bottom, "a\nb\n" + B + "\nx\n" + E},
        {"two lines with final break, bottom", "x", "a\nb\n", Position::bottom, "a\nb\n" + B + "\nx\n" + E + "\n"},
        {"CRLF text", "x\ny", "a\r\nb\r\n", Position::bottom, "a\r\nb\r\n" + B + "\r\nx\r\ny\r\n" + E + "\r\n"},
        {"CRLF text, top", "x", "a\r\n", Position::top, B + "\r\nx\r\n" + E + "\r\na\r\n"},
        {"block lines split at CRLF", "x\r\ny", "", Position::bottom, B + "\nx\ny\n" + E + "\n"},
        {"lone CR in block is kept", "x\ry", "", Position::bottom, B + "\nx\ry\n" + E + "\n"},
        {"empty block is one empty line", "", "", Position::bottom, B + "\n\n" + E + "\n"},
        {"block ending in a break gives an empty last line", "x\n", "", Position::bottom, B + "\nx\n\n" + E + "\n"},
        {"old block replaced", "new", "a\n" + B + "\nold\n" + E + "\nb\n", Position::bottom,
         "a\nb\n" + B + "\nnew\n" + E + "\n"},
        {"every old block removed", "new", B + "\n1\n" + E + "\nmid\n" + B + "\n2\n" + E + "\n", Position::top,
         B + "\nnew\n" + E + "\nmid\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MarkedBlock::apply(c.block, c.text, c.position), c.expected) << c.name;
    }
}

struct RemoveCase
{
    const char* name;
    std::string text;
    std::string expected;
};

TEST(MarkedBlockTest, RemoveTakesEachBlockWithItsLineBreak)
{
    const RemoveCase cases[] = {
        {"nothing to remove", "a\nb", "a\nb"},
        {"block at the very end takes the break before it", "a\n" + B + "\nx\n" + E, "a"},
        {"CRLF break before a final block goes too", "a\r\n" + B + "\r\nx\r\n" + E, "a"},
        {"block followed by LF", B + "\nx\n" + E + "\nb\n", "b\n"},
        {"block followed by CRLF", B + "\r\nx\r\n" + E + "\r\nb\r\n", "b\r\n"},
        {"lone CR after end stays", "a\n" + B + "\n" + E + "\rb", "a\n\rb"},
        {"whole text is a block", B + "\n" + E, ""},
        {"stray end is left alone", "a\n" + E + "\nb\n", "a\n" + E + "\nb\n"},
        {"stray begin without end is left alone", "a\n" + B + "\nb\n", "a\n" + B + "\nb\n"},
        // A begin marker the user left behind is not the start of our block: the block opens at
        // the begin marker nearest its end marker, so the user's lines in between survive.
        {"stray begin before a block keeps the lines after it", "a\n" + B + "\nmine\n" + B + "\nx\n" + E + "\n",
         "a\n" + B + "\nmine\n"},
        {"blocks one after another", B + "\n1\n" + E + "\n" + B + "\n2\n" + E + "\nz", "z"},
        {"indented marker lines are text", "  " + B + "\nx\n" + E + "\n", "  " + B + "\nx\n" + E + "\n"},
        {"LF-style block after a line ending in a lone CR keeps the CR", "a\r\n" + B + "\nx\n" + E, "a\r"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MarkedBlock::remove(c.text), c.expected) << c.name;
    }
}

TEST(MarkedBlockTest, BytesThatAreNotUTF8AreKept)
{
    const std::string text = "\xff\xfe\n" + B + "\nx\n" + E + "\n\xc3";
    EXPECT_EQ(MarkedBlock::remove(text), "\xff\xfe\n\xc3");
}

// Texts built from pieces that stress the rules: line breaks of both kinds, lone carriage
// returns, blanks, near-miss markers and, sometimes, a stray marker line.
std::string randomText(std::mt19937& rng, bool crlf)
{
    static const std::vector<std::string> pieces = {
        "a", "bb",           " ",   "\t", "#",     "# >>>", ">>> vantorelle", "\r",
        "é", "\xe2\x80\xa8", "x y", "",   " " + B, B + " ", "#" + E,          "",
    };
    const std::string newline = crlf ? "\r\n" : "\n";
    std::uniform_int_distribution<int> lineCount(0, 8);
    std::uniform_int_distribution<int> pieceCount(0, 4);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<int> percent(0, 99);
    std::string text;
    const int lines = lineCount(rng);
    for (int l = 0; l < lines; ++l) {
        if (percent(rng) < 8) {
            text += percent(rng) < 50 ? B : E; // stray marker line
        } else {
            for (int p = pieceCount(rng); p > 0; --p) {
                text += pieces[pick(rng)];
            }
        }
        if (l + 1 < lines || percent(rng) < 50) {
            text += newline;
        }
    }
    return text;
}

std::string randomBlock(std::mt19937& rng)
{
    static const std::vector<std::string> pieces = {"IdentityFile ~/.ssh/id", "", "x", "\r", " ", "\n", "\r\n"};
    std::uniform_int_distribution<int> count(0, 6);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::string block;
    for (int k = count(rng); k > 0; --k) {
        block += pieces[pick(rng)];
    }
    return block;
}

TEST(MarkedBlockTest, RemoveUndoesApplyAndApplyIsIdempotent)
{
    std::mt19937 rng(20240611);
    int checked = 0;
    for (int iteration = 0; iteration < 20000; ++iteration) {
        const bool crlf = iteration % 2 == 1;
        const std::string text = randomText(rng, crlf);
        if (MarkedBlock::contains(text)) {
            continue;
        }
        const std::string block = randomBlock(rng);
        for (const auto position : {Position::top, Position::bottom}) {
            const std::string applied = MarkedBlock::apply(block, text, position);
            ASSERT_TRUE(MarkedBlock::contains(applied));
            ASSERT_EQ(MarkedBlock::remove(applied), text)
                << "text=" << ::testing::PrintToString(text) << " block=" << ::testing::PrintToString(block)
                << " position=" << (position == Position::top ? "top" : "bottom");
            ASSERT_EQ(MarkedBlock::apply(block, applied, position), applied)
                << "text=" << ::testing::PrintToString(text) << " block=" << ::testing::PrintToString(block);
            ++checked;
        }
    }
    EXPECT_GT(checked, 20000);
}

TEST(MarkedBlockTest, BlockLinesFollowTheTextsLineBreakStyle)
{
    std::mt19937 rng(7);
    for (int iteration = 0; iteration < 2000; ++iteration) {
        const std::string text = randomText(rng, true);
        if (MarkedBlock::contains(text) || text.find("\r\n") == std::string::npos) {
            continue;
        }
        const std::string applied = MarkedBlock::apply("a\nb", text, Position::bottom);
        EXPECT_NE(applied.find(B + "\r\na\r\nb\r\n" + E), std::string::npos) << ::testing::PrintToString(text);
    }
}

} // namespace
} // namespace vantorelle
