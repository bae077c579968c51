// Utf8: the one strict UTF-8 decoder of the system, and the repair that everything shown or sent uses.
#include "sys/Utf8.h"

namespace vantorelle::Utf8 {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

struct Lead
{
    std::size_t length; // 0: this byte never starts a sequence
    unsigned char low; // allowed range of the second byte, which rules out overlong forms,
    unsigned char high; // surrogates and values above U+10FFFF
};

Lead leadOf(unsigned char byte)
{
    if (byte < 0x80) {
        return {1, 0, 0};
    }
    if (byte >= 0xC2 && byte <= 0xDF) {
        return {2, 0x80, 0xBF};
    }
    if (byte >= 0xE0 && byte <= 0xEF) {
        return {3, static_cast<unsigned char>(byte == 0xE0 ? 0xA0 : 0x80),
                static_cast<unsigned char>(byte == 0xED ? 0x9F : 0xBF)};
    }
    if (byte >= 0xF0 && byte <= 0xF4) {
        return {4, static_cast<unsigned char>(byte == 0xF0 ? 0x90 : 0x80),
                static_cast<unsigned char>(byte == 0xF4 ? 0x8F : 0xBF)};
    }
    return {0, 0, 0};
}

// How many bytes from `at` belong to a well-formed prefix of the sequence that starts there (at
// least 1); equal to the lead's length when the sequence is complete.
std::size_t wellFormedPrefix(std::string_view text, std::size_t at, const Lead& lead)
{
    std::size_t good = 1;
    while (good < lead.length && at + good < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at + good]);
        const bool ok = good == 1 ? (byte >= lead.low && byte <= lead.high) : (byte & 0xC0) == 0x80;
        if (!ok) {
            break;
        }
        ++good;
    }
    return good;
}

} // namespace

std::optional<CodePoint> decodeAt(std::string_view text, std::size_t at)
{
    const auto first = static_cast<unsigned char>(text[at]);
    const Lead lead = leadOf(first);
    if (lead.length == 0 || wellFormedPrefix(text, at, lead) != lead.length) {
        return std::nullopt;
    }
    if (lead.length == 1) {
        return CodePoint{first, 1};
    }
    char32_t value = first & (0x7F >> lead.length);
    for (std::size_t i = 1; i < lead.length; ++i) {
        value = (value << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    }
    return CodePoint{value, lead.length};
}

bool isValid(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto decoded = decodeAt(text, i);
        if (!decoded) {
            return false;
        }
        i += decoded->length;
    }
    return true;
}

std::string repaired(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const Lead lead = leadOf(static_cast<unsigned char>(text[i]));
        const std::size_t good = lead.length == 0 ? 1 : wellFormedPrefix(text, i, lead);
        if (lead.length != 0 && good == lead.length) {
            out.append(text.substr(i, good));
        } else {
            out.append(kReplacement);
        }
        i += good;
    }
    return out;
}

} // namespace vantorelle::Utf8
