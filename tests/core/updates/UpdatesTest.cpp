// Release notes and update gating: build comparison, the what's-new store over memory and the real
// defaults file, the notes text converter and the install gate.
#include <gtest/gtest.h>

#include "defaults/FileDefaults.h"
#include "defaults/MemoryDefaults.h"
#include "support/TempDir.h"
#include "updates/ReleaseNotesText.h"
#include "updates/UpdateInstallGate.h"
#include "updates/WhatsNew.h"

namespace vantorelle {
namespace {

TEST(BuildComparisonTest, DigitRunsCompareAsNumbers)
{
    struct Case
    {
        std::string a;
        std::string b;
        int order;
    };
    const Case cases[] = {
        {"120", "120", 0},  {"121", "120", 1},
        {"119", "120", -1}, {"10", "9", 1},
        {"1.10", "1.9", 1}, {"1.2.3", "1.2", 1},
        {"", "1", -1},      {"007", "7", 0},
        {"b2", "b10", -1},  {"a", "b", -1},
        {"2a", "2b", -1},   {"99999999999999999999999", "1", 1},
        {"1a", "1", 1},     {"100000000000000000000", "99999999999999999999", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compareBuilds(c.a, c.b), c.order) << c.a << " vs " << c.b;
        EXPECT_EQ(compareBuilds(c.b, c.a), -c.order) << c.b << " vs " << c.a;
    }
}

TEST(WhatsNewTest, DueForTheSameOrANewerBuildAndJSONFormOmitsAnAbsentFormat)
{
    const WhatsNew record{"1.2", "120", "", std::nullopt};
    EXPECT_TRUE(record.isDue("120"));
    EXPECT_FALSE(record.isDue("119"));
    EXPECT_TRUE((WhatsNew{"1", "9", "", std::nullopt}).isDue("10"));
    EXPECT_EQ((WhatsNew{"1.2", "120", "n", std::nullopt}).encoded(), R"({"build":"120","notes":"n","version":"1.2"})");
    const WhatsNew full{"1.2", "120", "<p>x</p>", "html"};
    EXPECT_EQ(WhatsNew::decoded(*full.encoded()), full);
    EXPECT_EQ(WhatsNew::decoded(R"({"version":"1","build":"2","notes":"","format":null})"),
              (WhatsNew{"1", "2", "", std::nullopt}));
    for (const char* bad : {"", "[]", "{", R"({"version":"1","build":"2"})", R"({"version":1,"build":"2","notes":""})",
                            R"({"version":"1","build":"2","notes":"","format":3})"}) {
        EXPECT_EQ(WhatsNew::decoded(bad), std::nullopt) << bad;
    }
    // Text that is not UTF-8 cannot be stored as JSON: nothing is produced.
    EXPECT_EQ((WhatsNew{"1", "2", "\xff", std::nullopt}).encoded(), std::nullopt);
}

TEST(WhatsNewStoreTest, TakeDueRemovesOnlyADueRecord)
{
    MemoryDefaults defaults;
    WhatsNewStore store(defaults, "pendingWhatsNew");
    EXPECT_EQ(store.load(), std::nullopt);
    EXPECT_EQ(store.takeDue("1"), std::nullopt);

    const WhatsNew record{"2.0", "200", "- New icon", "markdown"};
    store.save(record);
    EXPECT_EQ(store.load(), record);
    EXPECT_EQ(store.takeDue("199"), std::nullopt); // still the old build: kept for later
    EXPECT_EQ(store.load(), record);
    EXPECT_EQ(store.takeDue("200"), record);
    EXPECT_EQ(store.load(), std::nullopt);

    store.save(record);
    store.clear();
    EXPECT_EQ(store.load(), std::nullopt);

    // Damaged data reads as nothing and stays where it is.
    defaults.set("pendingWhatsNew", std::string("{not json"));
    EXPECT_EQ(store.takeDue("999"), std::nullopt);
    EXPECT_EQ(defaults.string("pendingWhatsNew"), "{not json");
    defaults.set("pendingWhatsNew", std::int64_t{5});
    EXPECT_EQ(store.load(), std::nullopt);

    // A record that cannot be encoded is not stored and does not replace anything.
    store.save(record);
    store.save(WhatsNew{"3", "300", "\xff", std::nullopt});
    EXPECT_EQ(store.load(), record);
}

TEST(WhatsNewStoreTest, SurvivesTheRealDefaultsFile)
{
    TempDir dir;
    const auto file = dir.path() / "vantorelle" / "defaults.json";
    const WhatsNew record{"2.0", "200", "<ul><li>Faster unlock</li></ul>", "html"};
    FileDefaults defaults(file);
    WhatsNewStore(defaults, "pendingWhatsNew").save(record);
    FileDefaults reopened(file);
    EXPECT_EQ(WhatsNewStore(reopened, "pendingWhatsNew").takeDue("201"), record);
    EXPECT_EQ(FileDefaults(file).object("pendingWhatsNew"), std::nullopt);
}

struct NotesCase
{
    const char* name;
    std::string text;
    std::optional<std::string> format;
    std::vector<NoteLine> expected;
};

TEST(ReleaseNotesTextTest, Lines)
{
    const NotesCase cases[] = {
        {"HTML list",
         "<ul><li>Faster unlock</li><li>Fixes</li></ul>",
         std::nullopt,
         {{"Faster unlock", true}, {"Fixes", true}}},
        {"HTML detected without a format",
         "<h2>Changes</h2><p>Better &amp; faster</p>",
         std::nullopt,
         {{"Changes", false}, {"Better & faster", false}}},
        {"format html in any case", "<P>a<BR/>b<br >c</P>", "HTML", {{"a", false}, {"b", false}, {"c", false}}},
        {"Markdown heading and bold bullet",
         "## Changes\n* **New** icon",
         std::nullopt,
         {{"Changes", false}, {"New icon", true}}},
        {"markdown format keeps tags", "Use <b>bold</b>", "markdown", {{"Use <b>bold</b>", false}}},
        {"bullets alone or blank give nothing", "-\n*\n\xe2\x80\xa2\n   \n- \n\t", std::nullopt, {}},
        {"bullet mark U+2022", "\xe2\x80\xa2 Dot", "plain-text", {{"Dot", true}}},
        {"emphasis and code removed", "__Fixed__ `ssh-add` crash", std::nullopt, {{"Fixed ssh-add crash", false}}},
        {"entities decoded once",
         "<p>&amp;lt; &lt;&gt;&quot;&#39;&apos;&nbsp;x</p>",
         std::nullopt,
         {{"&lt; <>\"'' x", false}}},
        {"other tags removed",
         "<div class=\"a\"><span>Hi</span> <a href=x>there</a></div>",
         std::nullopt,
         {{"Hi there", false}}},
        {"every newline character splits",
         "a\rb\r\nc\vd\fe\xc2\x85"
         "f\xe2\x80\xa8g\xe2\x80\xa9h",
         std::nullopt,
         {{"a", false},
          {"b", false},
          {"c", false},
          {"d", false},
          {"e", false},
          {"f", false},
          {"g", false},
          {"h", false}}},
        {"a lone angle bracket is not a tag", "1 < 2 and 3 > 2", std::nullopt, {{"1 < 2 and 3 > 2", false}}},
        {"an unclosed tag is text", "<li no end", "html", {{"<li no end", false}}},
        {"heading hashes only", "###", std::nullopt, {}},
        {"li attributes", "<li class=\"x\">One", "html", {{"One", true}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ReleaseNotesText::lines(c.text, c.format), c.expected) << c.name;
    }
}

TEST(ReleaseNotesTextTest, HugeUnterminatedTagsStayLinear)
{
    // A regex engine that backtracks would take quadratic time or overflow its stack here.
    const std::string text(2'000'000, '<');
    const auto lines = ReleaseNotesText::lines(text + "li", "html");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text.size(), text.size() + 2);
    std::string tags;
    for (int k = 0; k < 200'000; ++k) {
        tags += "<li>x";
    }
    EXPECT_EQ(ReleaseNotesText::lines(tags, std::nullopt).size(), 200'000u);
}

TEST(UpdateInstallGateTest, HoldsTheInstallWhileADialogIsOpen)
{
    UpdateInstallGate gate;
    EXPECT_FALSE(gate.dialogClosed());
    EXPECT_TRUE(gate.request(false));
    EXPECT_FALSE(gate.deferred());
    EXPECT_FALSE(gate.request(true));
    EXPECT_TRUE(gate.deferred());
    EXPECT_TRUE(gate.dialogClosed());
    EXPECT_FALSE(gate.dialogClosed());
    EXPECT_FALSE(gate.request(true));
    EXPECT_TRUE(gate.request(false)); // a later request with no dialog clears the wait
    EXPECT_FALSE(gate.dialogClosed());
}

} // namespace
} // namespace vantorelle
