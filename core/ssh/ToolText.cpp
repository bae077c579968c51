// Helpers shared by the OpenSSH tool drivers.
#include "ssh/ToolText.h"

namespace vantorelle::ToolText {

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
