// Release notes and update gating: build comparison, the what's-new record and its store over the
// real defaults file, the notes text converter and the install gate.
#include <gtest/gtest.h>
#include <regex>

#include "defaults/FileDefaults.h"
#include "support/TempDir.h"
#include "updates/ReleaseNotesText.h"
#include "updates/UpdateInstallGate.h"
#include "updates/WhatsNew.h"

namespace vantorelle {
namespace {

// Builds compare by digit runs, the record's JSON form is strict, and the store hands a record out
// once the build it came with (or a later one) runs.
TEST(WhatsNewTest, BuildsCompareByDigitRunsTheJSONFormIsStrictAndTakeDueRemovesOnlyADueRecord)
{
    // clang-format off
    const std::tuple<std::string, std::string, int> cases[] = {{"120", "120", 0}, {"121", "120", 1}, {"119", "120", -1},
        {"10", "9", 1}, {"1.10", "1.9", 1}, {"1.2.3", "1.2", 1}, {"", "1", -1}, {"007", "7", 0}, {"b2", "b10", -1},
        {"2a", "2b", -1}, {"1a", "1", 1},
        // Runs longer than any integer type still compare by value.
        {"99999999999999999999999", "1", 1}, {"100000000000000000000", "99999999999999999999", 1}};
    // clang-format on
    for (const auto& [a, b, order] : cases) {
        EXPECT_EQ(compareBuilds(a, b), order) << a << " vs " << b;
        EXPECT_EQ(compareBuilds(b, a), -order) << b << " vs " << a;
    }

    EXPECT_EQ((WhatsNew{"1.2", "120", "n", std::nullopt}).encoded(), R"({"build":"120","notes":"n","version":"1.2"})");
    const WhatsNew record{"2.0", "200", "<p>x</p>\n- New icon", "markdown"};
    EXPECT_EQ(WhatsNew::decoded(*record.encoded()), record);
    EXPECT_EQ(WhatsNew::decoded(R"({"version":"1","build":"2","notes":"","format":null})"),
              (WhatsNew{"1", "2", "", std::nullopt}));
    for (const char* bad : {"", "[]", "{", R"({"version":"1","build":"2"})", R"({"version":1,"build":"2","notes":""})",
                            R"({"version":"1","build":"2","notes":"","format":3})"}) {
        EXPECT_EQ(WhatsNew::decoded(bad), std::nullopt) << bad;
    }

    TempDir dir;
    FileDefaults defaults(dir.path() / "vantorelle" / "defaults.json");
    WhatsNewStore store(defaults, "pendingWhatsNew");
    EXPECT_EQ(store.takeDue("1"), std::nullopt);
    store.save(record);
    EXPECT_EQ(store.takeDue("199"), std::nullopt); // still the old build: kept for later
    EXPECT_EQ(store.takeDue("0200"), record);
    EXPECT_EQ(store.load(), std::nullopt);

    defaults.set("pendingWhatsNew", std::string("{not json"));
    EXPECT_EQ(store.takeDue("999"), std::nullopt);
    EXPECT_EQ(defaults.string("pendingWhatsNew"), "{not json");
    // Text that is not UTF-8 cannot be stored as JSON: such a record does not replace anything.
    store.save(record);
    store.save(WhatsNew{"3", "300", "\xff", std::nullopt});
    EXPECT_EQ(store.load(), record);
}

TEST(ReleaseNotesTextTest, HTMLMarkdownAndPlainTextBecomeLinesInLinearTime)
{
    // The lines as the notes card shows them, one per line; a bullet line starts with "* ".
    const auto shown = [](std::string_view text, const std::optional<std::string>& format) {
        std::string out;
        for (const auto& line : ReleaseNotesText::lines(text, format)) {
            out += (line.bullet ? "* " : "") + line.text + "|";
        }
        return out;
    };
    EXPECT_EQ(shown("<h2>New</h2><ul><li>Fast &amp; safe</li><li>Fixes</li></ul>", {}), "New|* Fast & safe|* Fixes|");
    EXPECT_EQ(shown("<li class=\"x\">One</li><P>a<BR/>b<br >c</P><li no end", "HTML"), "* One|a|b|c|<li no end|");
    EXPECT_EQ(shown("<div class=\"a\"><span>Hi</span> <a href=x>there</a></div>", {}), "Hi there|");
    EXPECT_EQ(shown("<p>&amp;lt; &lt;&gt;&quot;&#39;&apos;&nbsp;x</p>", {}), "&lt; <>\"'' x|"); // decoded once
    EXPECT_EQ(shown("## New\n* **Big** icon\n__Fixed__ `ssh-add`\n-\n*\n\u2022\n  \n- \n\t\n###", {}),
              "New|* Big icon|Fixed ssh-add|");
    EXPECT_EQ(shown("Use <b>bold</b>\n\u2022 Dot", "markdown"), "Use <b>bold</b>|* Dot|");
    EXPECT_EQ(shown("a\rb\r\nc\vd\fe\u0085f\u2028g\u2029h", {}), "a|b|c|d|e|f|g|h|");
    EXPECT_EQ(shown("1 < 2 and 3 > 2", {}), "1 < 2 and 3 > 2|"); // no tag: not HTML

    // A regex engine that backtracks would take quadratic time or overflow its stack here.
    const std::string tags = std::regex_replace(std::string(200'000, '.'), std::regex("."), "<li>x");
    const auto lines = ReleaseNotesText::lines(tags + std::string(2'000'000, '<') + "li", "html");
    ASSERT_EQ(lines.size(), 200'000u);
    EXPECT_EQ(lines.back().text, "x" + std::string(2'000'000, '<') + "li");
}

TEST(UpdateInstallGateTest, HoldsTheInstallWhileADialogIsOpen)
{
    UpdateInstallGate gate;
    EXPECT_FALSE(gate.dialogClosed()); // nothing waits
    EXPECT_TRUE(gate.request(false) && !gate.deferred());
    EXPECT_FALSE(gate.request(true) || !gate.deferred());
    EXPECT_TRUE(gate.dialogClosed() && !gate.dialogClosed()); // once
    EXPECT_FALSE(gate.request(true));
    EXPECT_TRUE(gate.request(false) && !gate.dialogClosed()); // a later request with no dialog clears the wait
}

} // namespace
} // namespace vantorelle
