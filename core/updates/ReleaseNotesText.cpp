// ReleaseNotesText: a small, linear-time HTML flattener and the line rules for the notes card.
#include "updates/ReleaseNotesText.h"

#include <array>
#include <utility>

namespace vantorelle::ReleaseNotesText {
namespace {

constexpr std::string_view kBulletMark = "\xE2\x80\xA2"; // U+2022

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Case-insensitive (ASCII) match of `word` at `at`.
bool matchesAt(std::string_view s, std::size_t at, std::string_view word)
{
    if (s.size() - at < word.size()) {
        return false;
    }
    for (std::size_t k = 0; k < word.size(); ++k) {
        if (lower(s[at + k]) != word[k]) {
            return false;
        }
    }
    return true;
}

// The tag scanners below each stand for one regular expression. They return the length of the
// match at `at`, or 0. `nextGt` is the position of the first '>' at or after `at` (or npos).

// "<li[^>]*>", case-insensitive.
std::size_t listItemAt(std::string_view s, std::size_t at, std::size_t nextGt)
{
    if (!matchesAt(s, at, "<li") || nextGt == std::string_view::npos || nextGt < at + 3) {
        return 0;
    }
    return nextGt - at + 1;
}

// "</(p|li|h[1-6]|div|ul|ol)>", case-insensitive.
std::size_t closingBlockAt(std::string_view s, std::size_t at)
{
    if (!matchesAt(s, at, "</")) {
        return 0;
    }
    static constexpr std::array<std::string_view, 10> names{"p>",  "li>", "h1>", "h2>",  "h3>",
                                                            "h4>", "h5>", "h6>", "div>", "ul>"};
    for (const auto name : names) {
        if (matchesAt(s, at + 2, name)) {
            return 2 + name.size();
        }
    }
    return matchesAt(s, at + 2, "ol>") ? 5 : 0;
}

// "<br\s*/?>", case-insensitive.
std::size_t lineBreakAt(std::string_view s, std::size_t at)
{
    if (!matchesAt(s, at, "<br")) {
        return 0;
    }
    std::size_t k = at + 3;
    while (k < s.size() && isSpace(s[k])) {
        ++k;
    }
    if (k < s.size() && s[k] == '/') {
        ++k;
    }
    return k < s.size() && s[k] == '>' ? k - at + 1 : 0;
}

// "<[^>]+>".
std::size_t anyTagAt(std::string_view s, std::size_t at, std::size_t nextGt)
{
    if (s[at] != '<' || nextGt == std::string_view::npos || nextGt < at + 2) {
        return 0;
    }
    return nextGt - at + 1;
}

// One left-to-right pass replacing every non-overlapping match that `matcher` finds.
template <typename Matcher>
std::string replaceMatches(std::string_view s, std::string_view replacement, Matcher matcher)
{
    std::string out;
    out.reserve(s.size());
    std::size_t nextGt = s.find('>');
    std::size_t i = 0;
    while (i < s.size()) {
        if (nextGt != std::string_view::npos && nextGt < i) {
            nextGt = s.find('>', i);
        }
        const std::size_t length = s[i] == '<' ? matcher(s, i, nextGt) : 0;
        if (length > 0) {
            out.append(replacement);
            i += length;
        } else {
            out += s[i];
            ++i;
        }
    }
    return out;
}

std::string replaceAll(std::string_view s, std::string_view from, std::string_view to)
{
    std::string out;
    out.reserve(s.size());
    std::size_t start = 0;
    for (std::size_t at = s.find(from); at != std::string_view::npos; at = s.find(from, start)) {
        out.append(s.substr(start, at - start)).append(to);
        start = at + from.size();
    }
    out.append(s.substr(start));
    return out;
}

bool looksLikeHTML(std::string_view s)
{
    // "<[a-zA-Z][^>]*>": a '<' and a letter with some '>' after them.
    const std::size_t lastGt = s.rfind('>');
    if (lastGt == std::string_view::npos) {
        return false;
    }
    for (std::size_t i = 0; i + 1 < lastGt; ++i) {
        if (s[i] == '<' && isLetter(s[i + 1])) {
            return true;
        }
    }
    return false;
}

std::string flattenHTML(std::string_view html)
{
    std::string s = replaceMatches(html, "\n- ", listItemAt);
    s = replaceMatches(s, "\n", [](std::string_view t, std::size_t at, std::size_t) { return closingBlockAt(t, at); });
    s = replaceMatches(s, "\n", [](std::string_view t, std::size_t at, std::size_t) { return lineBreakAt(t, at); });
    s = replaceMatches(s, "", anyTagAt);
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 7> entities{{
        {"&nbsp;", " "},
        {"&lt;", "<"},
        {"&gt;", ">"},
        {"&quot;", "\""},
        {"&#39;", "'"},
        {"&apos;", "'"},
        {"&amp;", "&"}, // last, so "&amp;lt;" ends as the text "&lt;"
    }};
    for (const auto& [from, to] : entities) {
        s = replaceAll(s, from, to);
    }
    return s;
}

// Length of the line break at `at` (LF, VT, FF, CR, U+0085, U+2028, U+2029), or 0.
std::size_t lineBreakCharAt(std::string_view s, std::size_t at)
{
    const char c = s[at];
    if (c == '\n' || c == '\v' || c == '\f' || c == '\r') {
        return 1;
    }
    if (s.substr(at, 2) == "\xC2\x85") {
        return 2;
    }
    if (s.substr(at, 3) == "\xE2\x80\xA8" || s.substr(at, 3) == "\xE2\x80\xA9") {
        return 3;
    }
    return 0;
}

std::string_view trimBlanks(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::string withoutEmphasis(std::string_view s)
{
    return replaceAll(replaceAll(replaceAll(s, "**", ""), "__", ""), "`", "");
}

std::optional<NoteLine> noteLine(std::string_view piece)
{
    piece = trimBlanks(piece);
    if (piece.empty()) {
        return std::nullopt;
    }
    piece.remove_prefix(std::min(piece.find_first_not_of('#'), piece.size()));
    piece = trimBlanks(piece);
    if (piece.empty() || piece == "-" || piece == "*" || piece == kBulletMark) {
        return std::nullopt;
    }
    for (const auto mark : {std::string_view("- "), std::string_view("* "), std::string_view("\xE2\x80\xA2 ")}) {
        if (piece.starts_with(mark)) {
            const auto rest = trimBlanks(piece.substr(mark.size()));
            if (rest.empty()) {
                return std::nullopt;
            }
            return NoteLine{withoutEmphasis(rest), true};
        }
    }
    return NoteLine{withoutEmphasis(piece), false};
}

} // namespace

std::vector<NoteLine> lines(std::string_view text, const std::optional<std::string>& format)
{
    bool html = false;
    if (format) {
        std::string lowered = *format;
        for (char& c : lowered) {
            c = lower(c);
        }
        html = lowered == "html";
    } else {
        html = looksLikeHTML(text);
    }
    const std::string flattened = html ? flattenHTML(text) : std::string(text);

    std::vector<NoteLine> out;
    const std::string_view s = flattened;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i <= s.size()) {
        const std::size_t breakLength = i < s.size() ? lineBreakCharAt(s, i) : 1;
        if (breakLength == 0) {
            ++i;
            continue;
        }
        if (auto line = noteLine(s.substr(start, i - start))) {
            out.push_back(std::move(*line));
        }
        i += breakLength;
        start = i;
    }
    return out;
}

} // namespace vantorelle::ReleaseNotesText
