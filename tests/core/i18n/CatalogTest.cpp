// The catalogs and L(): both languages hold the same keys with the same placeholders, every key the
// code names exists, lookups fall back to the key, and the language follows the override and locale.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sstream>

#include "defaults/MemoryDefaults.h"
#include "i18n/L.h"
#include "support/TestFiles.h"
#include "sys/Environment.h"

namespace vantorelle {
namespace {

// Any dotted string literal in the sources whose first word is a catalog prefix is taken for a key.
TEST(CatalogTest, BothLanguagesHoldTheSameKeysAndPlaceholdersAndEveryKeyTheCodeNamesExists)
{
    // The placeholders of a text ("%1" to "%9", not "%%"), sorted.
    const auto placeholders = [](const std::string& text) {
        std::string found = std::regex_replace(text, std::regex(R"((%[1-9])|%%|[\s\S])"), "$1");
        std::ranges::sort(found);
        return found;
    };
    std::set<std::string> keys[2], prefixes;
    for (const Language language : {Language::English, Language::French}) {
        for (const auto& [key, text] : i18n::catalog(language)) {
            keys[static_cast<int>(language)].insert(key);
            prefixes.insert(std::string(key, std::strchr(key, '.')));
            EXPECT_TRUE(*text != '\0' && i18n::text(language, key) == text) << key; // lookup finds every entry
            EXPECT_EQ(placeholders(text), placeholders(i18n::text(Language::English, key))) << key;
        }
    }
    EXPECT_EQ(keys[0], keys[1]);
    const std::regex literal(R"re("(([a-z]+)(\.[A-Za-z0-9]+)+)")re"), file(R"(.*\.(h|cpp|json)$)");
    int checked = 0;
    for (const char* dir : {"core", "cli", "askpass", "app"}) {
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(std::string(VANTORELLE_SOURCE_DIR) + "/" + dir)) {
            const std::string text = std::regex_match(entry.path().string(), file) ? test::readFile(entry) : "";
            for (std::sregex_iterator m(text.begin(), text.end(), literal), end; m != end; ++m) {
                if (prefixes.contains((*m)[2]) && !std::regex_match((*m)[1].str(), file)) {
                    ++checked;
                    EXPECT_TRUE(keys[0].contains((*m)[1])) << (*m)[1] << " named in " << entry.path();
                }
            }
        }
    }
    EXPECT_GT(checked, 10);
}

TEST(LanguageTest, ChosenFromOverrideThenLocaleVariablesAndLookupsFallBackToTheKey)
{
    const auto fr = Language::French, en = Language::English;
    // clang-format off
    const std::tuple<std::string, std::optional<DefaultsValue>, Language> cases[] = {{"", {}, en}, {"LANG=fr_FR.UTF-8", {}, fr},
        {"LANG=fr_FR.UTF-8 LC_ALL=C", {}, en}, {"LANGUAGE=fr:en LANG=en_US.UTF-8", {}, fr}, {"LANGUAGE= LC_MESSAGES=fr_CA", {}, fr},
        {"LANG=de_DE.UTF-8", {}, en}, {"LANG=en_US.UTF-8", std::string("fr"), fr}, {"LANG=fr_FR.UTF-8", std::vector<std::string>{"en"}, en},
        {"LANG=fr_FR.UTF-8", std::string("xx"), fr}}; // an unknown override: the locale decides
    // clang-format on
    for (const auto& [variables, override, expected] : cases) {
        Environment env;
        MemoryDefaults defaults;
        std::istringstream words(variables);
        for (std::string word; words >> word;) {
            env.set(word.substr(0, word.find('=')), word.substr(word.find('=') + 1));
        }
        if (override) {
            defaults.set("AppleLanguages", *override);
        }
        EXPECT_EQ(i18n::languageFor(env, defaults), expected) << variables;
    }
    // Lookups fall back to the key, and format fills numbered placeholders.
    EXPECT_EQ(i18n::text(Language::French, "no.such.key"), "no.such.key");
    i18n::setCurrentLanguage(Language::French);
    EXPECT_EQ(L("status.locked"), i18n::text(Language::French, "status.locked"));
    EXPECT_NE(L("status.locked"), i18n::text(Language::English, "status.locked"));
    EXPECT_EQ(L("no.such.%1", {"key"}), "no.such.key");
    EXPECT_EQ(i18n::format("%2 then %1, 100%%, %3 missing, trailing %", {"a", "b"}),
              "b then a, 100%,  missing, trailing %");
}

} // namespace
} // namespace vantorelle
