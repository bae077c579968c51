// The catalogs and L(): both languages hold the same keys with the same placeholders, every key the
// code names exists, lookups fall back to the key, and the language follows the override and locale.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <set>

#include "defaults/MemoryDefaults.h"
#include "i18n/L.h"
#include "support/TestFiles.h"
#include "sys/Environment.h"

namespace vantorelle {
namespace {

// The placeholders of a text ("%1" to "%9", not "%%"), sorted.
std::string placeholders(const std::string& text)
{
    std::string found = std::regex_replace(text, std::regex(R"((%[1-9])|%%|[\s\S])"), "$1");
    std::sort(found.begin(), found.end());
    return found;
}

TEST(CatalogTest, EveryKeyHasBothLanguagesWithTheSamePlaceholdersAndIsFoundByLookup)
{
    std::set<std::string> keys[2];
    for (const Language language : {Language::English, Language::French}) {
        for (const auto& [key, text] : i18n::catalog(language)) {
            keys[static_cast<int>(language)].insert(key);
            EXPECT_NE(*text, '\0') << key;
            EXPECT_EQ(i18n::text(language, key), text) << key; // the lookup finds every entry
            EXPECT_EQ(placeholders(text), placeholders(i18n::text(Language::English, key))) << key;
        }
    }
    EXPECT_GT(keys[0].size(), 10u);
    EXPECT_EQ(keys[0], keys[1]);
    EXPECT_EQ(i18n::text(Language::French, "no.such.key"), "no.such.key");
    i18n::setCurrentLanguage(Language::French);
    EXPECT_EQ(L("status.locked"), i18n::text(Language::French, "status.locked"));
    EXPECT_NE(L("status.locked"), i18n::text(Language::English, "status.locked"));
    EXPECT_EQ(L("no.such.%1", {"key"}), "no.such.key");
    EXPECT_EQ(i18n::format("%2 then %1, 100%%, %3 missing, trailing %", {"a", "b"}),
              "b then a, 100%,  missing, trailing %");
}

TEST(CatalogTest, EveryKeyTheCodeNamesExists)
{
    std::set<std::string> keys, prefixes;
    for (const auto& entry : i18n::catalog(Language::English)) {
        keys.insert(entry.key);
        prefixes.insert(std::string(entry.key, std::strchr(entry.key, '.')));
    }
    // Any dotted string literal whose first word is a catalog prefix is taken for a key.
    const std::regex literal(R"re("(([a-z]+)(\.[A-Za-z0-9]+)+)")re"), source(R"(.*\.(h|cpp)$)");
    int checked = 0;
    for (const char* dir : {"core", "cli", "askpass", "app"}) {
        for (const auto& file :
             std::filesystem::recursive_directory_iterator(std::string(VANTORELLE_SOURCE_DIR) + "/" + dir)) {
            const std::string text = std::regex_match(file.path().string(), source) ? test::readFile(file) : "";
            for (std::sregex_iterator m(text.begin(), text.end(), literal), end; m != end; ++m) {
                if (prefixes.contains((*m)[2])
                    && !std::regex_match((*m)[1].str(), std::regex(R"(.*\.(h|cpp|json)$)"))) {
                    ++checked;
                    EXPECT_TRUE(keys.contains((*m)[1])) << (*m)[1] << " named in " << file.path();
                }
            }
        }
    }
    EXPECT_GT(checked, 10);
}

TEST(LanguageTest, ChosenFromOverrideThenLocaleVariables)
{
    const auto chosen
        = [](std::vector<std::pair<std::string, std::string>> variables, std::optional<DefaultsValue> override = {}) {
              Environment env;
              for (const auto& [name, value] : variables) {
                  env.set(name, value);
              }
              MemoryDefaults defaults;
              if (override) {
                  defaults.set("AppleLanguages", *override);
              }
              return i18n::languageFor(env, defaults);
          };
    EXPECT_EQ(chosen({}), Language::English);
    EXPECT_EQ(chosen({{"LANG", "fr_FR.UTF-8"}}), Language::French);
    EXPECT_EQ(chosen({{"LANG", "fr_FR.UTF-8"}, {"LC_ALL", "C"}}), Language::English);
    EXPECT_EQ(chosen({{"LANGUAGE", "fr:en"}, {"LANG", "en_US.UTF-8"}}), Language::French);
    EXPECT_EQ(chosen({{"LANGUAGE", ""}, {"LC_MESSAGES", "fr_CA"}}), Language::French);
    EXPECT_EQ(chosen({{"LANG", "de_DE.UTF-8"}}), Language::English);
    EXPECT_EQ(chosen({{"LANG", "en_US.UTF-8"}}, std::string("fr")), Language::French);
    EXPECT_EQ(chosen({{"LANG", "fr_FR.UTF-8"}}, std::vector<std::string>{"en"}), Language::English);
    EXPECT_EQ(chosen({{"LANG", "fr_FR.UTF-8"}}, std::string("xx")), Language::French); // unknown: the locale decides
}

} // namespace
} // namespace vantorelle
