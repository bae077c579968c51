// AskpassPrompt: the decision between a key passphrase and any other question.
#include "ipc/AskpassPrompt.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace vantorelle::AskpassPrompt {
namespace {

constexpr std::string_view kPrefix = "Enter passphrase for ";

struct Decoded
{
    char32_t codePoint;
    std::size_t length;
};

// Strict UTF-8 decoding of the code point starting at `at` (no overlong forms, no surrogates).
std::optional<Decoded> decodeAt(std::string_view text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(at);
    if (lead < 0x80) {
        return Decoded{lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (at + length > text.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return std::nullopt;
        }
        value = (value << 6) | (byte(at + i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    return Decoded{value, length};
}

// Space separators (general category Zs), tab, line feed, vertical tab, form feed, carriage
// return and next-line.
bool isBlank(char32_t c)
{
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680
        || (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trim(std::string_view text)
{
    while (!text.empty()) {
        const auto first = decodeAt(text, 0);
        if (!first || !isBlank(first->codePoint)) {
            break;
        }
        text.remove_prefix(first->length);
    }
    while (!text.empty()) {
        // The last code point starts at most three continuation bytes before the end.
        std::size_t start = text.size() - 1;
        while (start > 0 && text.size() - start < 4 && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        const auto last = decodeAt(text, start);
        if (!last || start + last->length != text.size() || !isBlank(last->codePoint)) {
            break;
        }
        text.remove_suffix(last->length);
    }
    return text;
}

// Only ASCII letters are lowered. The keywords below are plain ASCII, and no other character's
// full Unicode lower-case form can complete or break one of them, so the matches are the same
// as with Unicode lower-casing.
std::string asciiLower(std::string_view text)
{
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return lowered;
}

} // namespace

Kind parse(std::string_view text)
{
    const std::string_view trimmed = trim(text);
    if (trimmed.starts_with(kPrefix) && trimmed.ends_with(':')) {
        std::string_view name = trimmed.substr(kPrefix.size(), trimmed.size() - kPrefix.size() - 1);
        if (name.starts_with("key ")) {
            name.remove_prefix(4);
        }
        if (name.size() >= 2 && name.front() == '\'' && name.back() == '\'') {
            name = name.substr(1, name.size() - 2);
        }
        if (!name.empty()) {
            return Passphrase{std::string(name)};
        }
    }
    const std::string lowered = asciiLower(trimmed);
    const bool secret = lowered.contains("password") || lowered.contains("passphrase") || lowered.contains(" pin ")
        || lowered.ends_with("pin:");
    return Other{std::string(text), secret};
}

} // namespace vantorelle::AskpassPrompt
