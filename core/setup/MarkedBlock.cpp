// MarkedBlock: finding, inserting and removing the managed block, on the bytes of the text.
#include "setup/MarkedBlock.h"

#include <optional>
#include <vector>

namespace vantorelle::MarkedBlock {
namespace {

constexpr char kLF = '\n';
constexpr char kCR = '\r';

struct Range
{
    std::size_t start;
    std::size_t stop; // one past the last byte
};

std::optional<std::size_t> findMarker(std::string_view marker, std::string_view bytes, std::size_t from)
{
    for (std::size_t p = bytes.find(marker, from); p != std::string_view::npos; p = bytes.find(marker, p + 1)) {
        if (p != 0 && bytes[p - 1] != kLF) {
            continue;
        }
        const std::size_t after = p + marker.size();
        if (after == bytes.size() || bytes[after] == kLF || bytes[after] == kCR) {
            return p;
        }
    }
    return std::nullopt;
}

std::optional<Range> blockRange(std::string_view bytes)
{
    auto b = findMarker(begin, bytes, 0);
    if (!b) {
        return std::nullopt;
    }
    const auto e = findMarker(end, bytes, *b + begin.size());
    if (!e) {
        return std::nullopt;
    }
    // The block opens at the begin marker nearest to its end marker; earlier unmatched begin
    // markers are the user's text.
    for (auto next = findMarker(begin, bytes, *b + begin.size()); next && *next < *e;
         next = findMarker(begin, bytes, *next + begin.size())) {
        b = next;
    }
    Range range{*b, *e + end.size()};
    if (range.stop < bytes.size() && bytes[range.stop] == kLF) {
        range.stop += 1;
    } else if (range.stop + 1 < bytes.size() && bytes[range.stop] == kCR && bytes[range.stop + 1] == kLF) {
        range.stop += 2;
    } else if (range.stop == bytes.size() && range.start >= 1 && bytes[range.start - 1] == kLF) {
        // A block at the very end takes the line break in front of it, so the file keeps ending
        // without one. The carriage return goes too only when the block itself was written with
        // "\r\n": a line of the user's that ends in a lone carriage return keeps it.
        const bool crlfBlock = bytes.substr(range.start + begin.size(), 2) == "\r\n";
        range.start -= 1;
        if (crlfBlock && range.start >= 1 && bytes[range.start - 1] == kCR) {
            range.start -= 1;
        }
    }
    return range;
}

} // namespace

bool contains(std::string_view text)
{
    return blockRange(text).has_value();
}

std::string remove(std::string_view text)
{
    std::string bytes(text);
    while (const auto range = blockRange(bytes)) {
        bytes.erase(range->start, range->stop - range->start);
    }
    return bytes;
}

std::string apply(std::string_view block, std::string_view text, Position position)
{
    const std::string stripped = remove(text);
    const std::string_view newline = stripped.find("\r\n") != std::string::npos ? "\r\n" : "\n";

    // Split at "\n" and "\r\n", keeping empty pieces; a lone carriage return is not a split point.
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < block.size(); ++i) {
        if (block[i] == kLF) {
            std::size_t stop = i;
            if (stop > start && block[stop - 1] == kCR) {
                --stop;
            }
            lines.push_back(block.substr(start, stop - start));
            start = i + 1;
        }
    }
    lines.push_back(block.substr(start));

    std::string blockText(begin);
    for (const auto line : lines) {
        blockText.append(newline).append(line);
    }
    blockText.append(newline).append(end);

    std::string result;
    result.reserve(stripped.size() + blockText.size() + 2);
    if (position == Position::top) {
        result.append(blockText).append(newline).append(stripped);
    } else if (!stripped.empty() && stripped.back() != kLF) {
        result.append(stripped).append(newline).append(blockText);
    } else {
        result.append(stripped).append(blockText).append(newline);
    }
    return result;
}

} // namespace vantorelle::MarkedBlock
