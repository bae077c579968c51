// L(key): the localised text of a dotted key, from catalogs compiled into the core.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "i18n/Catalog.h"

namespace vantorelle {

class Defaults;
class Environment;

enum class Language { English, French };

// The text of `key` in the process's language. Never fails: a key missing from the catalog
// (a bug the catalog test catches) comes back as the key itself.
std::string L(std::string_view key);
// Same, with positional placeholders %1, %2, ... replaced by `args` ("%%" is a literal "%").
std::string L(std::string_view key, std::initializer_list<std::string_view> args);

namespace i18n {

// The "AppleLanguages" override ("fr"/"en", or a list whose first element is one) from the
// defaults, else the first of LANGUAGE, LC_ALL, LC_MESSAGES, LANG that is set and non-empty:
// a value starting with "fr" gives French, anything else English.
Language languageFor(const Environment& env, const Defaults& defaults);

// The process's language: chosen on first use from the real environment and the shared defaults
// file, or whatever setCurrentLanguage() said last. Thread-safe.
Language currentLanguage();
void setCurrentLanguage(Language language);

// The catalog text of `key` in `language`, or nothing-found as the key itself.
std::string text(Language language, std::string_view key);
std::string format(std::string_view pattern, std::initializer_list<std::string_view> args);
std::span<const CatalogEntry> catalog(Language language);

} // namespace i18n
} // namespace vantorelle
