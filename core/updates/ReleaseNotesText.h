// ReleaseNotesText: release notes (HTML, Markdown or plain text) as plain lines with bullet marks.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorelle {

struct NoteLine
{
    std::string text;
    bool bullet = false;
    bool operator==(const NoteLine&) const = default;
};

namespace ReleaseNotesText {

// HTML (the format says "html" in any letter case, or, without a format, the text holds a tag) is
// first flattened: list items become "- " lines, closing block tags and <br> line breaks, other
// tags go, and the common entities are decoded once. Then each line is trimmed, Markdown heading
// marks dropped, "- ", "* " and "• " make bullets, "**", "__" and "`" are removed, and empty
// lines vanish. Linear in the size of the text; never fails.
std::vector<NoteLine> lines(std::string_view text, const std::optional<std::string>& format);

} // namespace ReleaseNotesText
} // namespace vantorelle
