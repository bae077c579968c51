// Helpers shared by the OpenSSH tool drivers.
#include "ssh/ToolText.h"

namespace vantorelle::ToolText {

namespace {
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool continuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}
} // namespace

std::string decodeUtf8Lossy(std::string_view bytes)
{
    std::string text;
    text.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            text.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        // Sequence length and the allowed range of the second byte (rules out overlong forms,
        // surrogates and values above U+10FFFF), as Unicode's "maximal subpart" replacement wants.
        size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        if (length == 0) {
            text.append(kReplacement);
            ++i;
            continue;
        }
        size_t good = 1;
        while (good < length && i + good < bytes.size()) {
            const auto byte = static_cast<unsigned char>(bytes[i + good]);
            const bool ok = good == 1 ? (byte >= low && byte <= high) : continuation(byte);
            if (!ok) {
                break;
            }
            ++good;
        }
        if (good == length) {
            text.append(bytes.substr(i, length));
        } else {
            text.append(kReplacement);
        }
        i += good;
    }
    return text;
}

std::string lowercased(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

Environment toolEnvironment(const Environment& from)
{
    Environment env;
    env.set("PATH", "/usr/bin:/bin");
    env.set("LANG", "C");
    if (auto home = from.get("HOME")) {
        env.set("HOME", *home);
    }
    env.set("SSH_ASKPASS_REQUIRE", "never");
    return env;
}

std::string pathArgument(const std::string& path)
{
    return path.starts_with('-') ? "./" + path : path;
}

namespace {

// Length of the line break at `at`: LF, VT, FF, CR (CR LF counts as one), NEL, LS, PS; 0 if none.
size_t lineBreakLength(std::string_view text, size_t at)
{
    const char c = text[at];
    if (c == '\r') {
        return at + 1 < text.size() && text[at + 1] == '\n' ? 2 : 1;
    }
    if (c == '\n' || c == '\v' || c == '\f') {
        return 1;
    }
    const std::string_view rest = text.substr(at);
    if (rest.starts_with("\xC2\x85")) {
        return 2;
    }
    if (rest.starts_with("\xE2\x80\xA8") || rest.starts_with("\xE2\x80\xA9")) {
        return 3;
    }
    return 0;
}

} // namespace

std::vector<std::string_view> lines(std::string_view text)
{
    std::vector<std::string_view> result;
    size_t start = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (const size_t n = lineBreakLength(text, i); n > 0) {
            if (i > start) {
                result.push_back(text.substr(start, i - start));
            }
            i += n;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size()) {
        result.push_back(text.substr(start));
    }
    return result;
}

} // namespace vantorelle::ToolText
