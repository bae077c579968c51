// L(key): the localised text of a dotted key, from catalogs compiled into the core.
#include "i18n/L.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "defaults/FileDefaults.h"
#include "sys/Environment.h"

namespace vantorelle {

namespace i18n {

namespace {

std::atomic<int> g_language{-1};
std::once_flag g_chooseOnce;

std::optional<Language> languageOf(std::string_view tag)
{
    if (tag.starts_with("fr")) {
        return Language::French;
    }
    if (tag.starts_with("en")) {
        return Language::English;
    }
    return std::nullopt;
}

} // namespace

Language languageFor(const Environment& env, const Defaults& defaults)
{
    if (auto single = defaults.string("AppleLanguages")) {
        if (auto lang = languageOf(*single)) {
            return *lang;
        }
    } else if (auto list = defaults.stringArray("AppleLanguages"); list && !list->empty()) {
        if (auto lang = languageOf(list->front())) {
            return *lang;
        }
    }
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (auto value = env.nonEmpty(name)) {
            return value->starts_with("fr") ? Language::French : Language::English;
        }
    }
    return Language::English;
}

Language currentLanguage()
{
    std::call_once(g_chooseOnce, [] {
        if (g_language.load() >= 0) {
            return; // set explicitly before first use
        }
        const Environment env = Environment::current();
        const FileDefaults defaults(FileDefaults::standardPath(env));
        int expected = -1;
        g_language.compare_exchange_strong(expected, static_cast<int>(languageFor(env, defaults)));
    });
    return static_cast<Language>(g_language.load());
}

void setCurrentLanguage(Language language)
{
    g_language.store(static_cast<int>(language));
}

std::span<const CatalogEntry> catalog(Language language)
{
    return language == Language::French ? std::span(kCatalogFr, kCatalogFrSize) : std::span(kCatalogEn, kCatalogEnSize);
}

std::string text(Language language, std::string_view key)
{
    const auto entries = catalog(language);
    const auto it = std::lower_bound(entries.begin(), entries.end(), key,
                                     [](const CatalogEntry& e, std::string_view k) { return std::string_view(e.key) < k; });
    if (it != entries.end() && std::string_view(it->key) == key && *it->text != '\0') {
        return it->text;
    }
    return std::string(key);
}

std::string format(std::string_view pattern, std::initializer_list<std::string_view> args)
{
    std::string out;
    out.reserve(pattern.size());
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '%' && i + 1 < pattern.size()) {
            const char next = pattern[i + 1];
            if (next == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (next >= '1' && next <= '9') {
                const size_t index = static_cast<size_t>(next - '1');
                if (index < args.size()) {
                    out += *(args.begin() + index);
                }
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

} // namespace i18n

std::string L(std::string_view key)
{
    return i18n::text(i18n::currentLanguage(), key);
}

std::string L(std::string_view key, std::initializer_list<std::string_view> args)
{
    return i18n::format(L(key), args);
}

} // namespace vantorelle
