// The catalogs: both languages hold the same keys with the same placeholders, every key the code
// names exists, and the language is chosen from the override and the locale variables.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <set>

#include "defaults/MemoryDefaults.h"
#include "i18n/L.h"
#include "sys/Environment.h"

using namespace vantorelle;
namespace fs = std::filesystem;

namespace {

std::map<std::string, std::string> entries(Language language)
{
    std::map<std::string, std::string> out;
    for (const auto& e : i18n::catalog(language)) {
        out.emplace(e.key, e.text);
    }
    return out;
}

std::multiset<std::string> placeholders(const std::string& text)
{
    std::multiset<std::string> out;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == '%' && text[i + 1] == '%') {
            ++i;
        } else if (text[i] == '%' && text[i + 1] >= '1' && text[i + 1] <= '9') {
            out.insert(text.substr(i, 2));
        }
    }
    return out;
}

} // namespace

TEST(Catalog, BothLanguagesHoldTheSameKeysAndPlaceholders)
{
    const auto en = entries(Language::English);
    const auto fr = entries(Language::French);
    ASSERT_FALSE(en.empty());
    for (const auto& [key, text] : en) {
        ASSERT_TRUE(fr.contains(key)) << "missing in French: " << key;
        EXPECT_FALSE(text.empty()) << key;
        EXPECT_FALSE(fr.at(key).empty()) << key;
        EXPECT_EQ(placeholders(text), placeholders(fr.at(key))) << key;
    }
    for (const auto& [key, text] : fr) {
        EXPECT_TRUE(en.contains(key)) << "missing in English: " << key;
    }
}

TEST(Catalog, EveryKeyTheCodeNamesExists)
{
    const auto en = entries(Language::English);
    std::set<std::string> prefixes;
    for (const auto& [key, text] : en) {
        prefixes.insert(key.substr(0, key.find('.')));
    }
    // Any dotted string literal whose first word is a catalog prefix is taken for a key.
    const std::regex literal(R"re("([a-z]+)((\.[A-Za-z0-9]+)+)")re");
    int checked = 0;
    for (const char* dir : {"core", "cli", "askpass", "app"}) {
        const fs::path root = fs::path(VANTORELLE_SOURCE_DIR) / dir;
        if (!fs::exists(root)) {
            continue;
        }
        for (const auto& file : fs::recursive_directory_iterator(root)) {
            const auto ext = file.path().extension();
            if (ext != ".cpp" && ext != ".h") {
                continue;
            }
            std::ifstream in(file.path());
            const std::string text(std::istreambuf_iterator<char>(in), {});
            for (std::sregex_iterator it(text.begin(), text.end(), literal), end; it != end; ++it) {
                if (!prefixes.contains((*it)[1].str())) {
                    continue;
                }
                const std::string key = (*it)[1].str() + (*it)[2].str();
                if (key.ends_with(".") || key.ends_with(".h") || key.ends_with(".cpp") || key.ends_with(".json")) {
                    continue;
                }
                ++checked;
                EXPECT_TRUE(en.contains(key)) << key << " named in " << file.path();
            }
        }
    }
    EXPECT_GT(checked, 0);
}

TEST(Language, ChosenFromOverrideThenLocaleVariables)
{
    struct Case
    {
        std::map<std::string, std::string> env;
        std::optional<DefaultsValue> override;
        Language expected;
    };
    const std::vector<Case> cases = {
        {{}, std::nullopt, Language::English},
        {{{"LANG", "fr_FR.UTF-8"}}, std::nullopt, Language::French},
        {{{"LANG", "fr_FR.UTF-8"}, {"LC_ALL", "C"}}, std::nullopt, Language::English},
        {{{"LANGUAGE", "fr:en"}, {"LANG", "en_US.UTF-8"}}, std::nullopt, Language::French},
        {{{"LANGUAGE", ""}, {"LC_MESSAGES", "fr_CA"}}, std::nullopt, Language::French},
        {{{"LANG", "de_DE.UTF-8"}}, std::nullopt, Language::English},
        {{{"LANG", "en_US.UTF-8"}}, DefaultsValue(std::string("fr")), Language::French},
        {{{"LANG", "fr_FR.UTF-8"}}, DefaultsValue(std::vector<std::string>{"en"}), Language::English},
        {{{"LANG", "fr_FR.UTF-8"}}, DefaultsValue(std::string("xx")), Language::French},
    };
    for (const auto& c : cases) {
        Environment env;
        for (const auto& [k, v] : c.env) {
            env.set(k, v);
        }
        MemoryDefaults defaults;
        if (c.override) {
            defaults.set("AppleLanguages", *c.override);
        }
        EXPECT_EQ(i18n::languageFor(env, defaults), c.expected);
    }
}

TEST(Format, PositionalPlaceholders)
{
    EXPECT_EQ(i18n::format("%2 then %1, 100%%", {"a", "b"}), "b then a, 100%");
    EXPECT_EQ(i18n::format("%3 missing", {"a"}), " missing");
    EXPECT_EQ(i18n::format("trailing %", {}), "trailing %");
}

TEST(Lookup, UnknownKeyComesBackAsItself)
{
    EXPECT_EQ(i18n::text(Language::French, "no.such.key"), "no.such.key");
    EXPECT_NE(i18n::text(Language::French, "status.locked"), i18n::text(Language::English, "status.locked"));
}
