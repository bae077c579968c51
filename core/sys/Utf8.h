// Utf8: the one strict UTF-8 decoder of the system, and the repair that everything shown or sent uses.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vantorelle::Utf8 {

struct CodePoint
{
    char32_t value;
    std::size_t length; // bytes it takes
};

// The code point that starts at `at` (which must be inside `text`), or nothing when the bytes
// there are not well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
std::optional<CodePoint> decodeAt(std::string_view text, std::size_t at);

bool isValid(std::string_view text);

// The text with every ill-formed sequence replaced by U+FFFD, one replacement per maximal
// subpart (the Unicode recommendation): "\xE2\x82x" becomes "\uFFFDx", "\xC0\xAF" two of them.
// Valid text comes back unchanged.
std::string repaired(std::string_view text);

} // namespace vantorelle::Utf8
