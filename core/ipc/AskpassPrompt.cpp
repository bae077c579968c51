// AskpassPrompt: the decision between a key passphrase and any other question.
#include "ipc/AskpassPrompt.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "sys/Utf8.h"

namespace vantorelle::AskpassPrompt {
namespace {

constexpr std::string_view kPrefix = "Enter passphrase for ";

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
        const auto first = Utf8::decodeAt(text, 0);
        if (!first || !isBlank(first->value)) {
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
        const auto last = Utf8::decodeAt(text, start);
        if (!last || start + last->length != text.size() || !isBlank(last->value)) {
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
