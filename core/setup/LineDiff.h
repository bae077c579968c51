// LineDiff: the line-by-line comparison behind the review of a planned file change.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vantorelle::LineDiff {

enum class Kind {
    context, // in both texts
    added, // only in the new text
    removed, // only in the old text
    skipped, // stands for a folded run of unchanged lines; its text is empty
};

struct Line
{
    Kind kind = Kind::context;
    std::string text; // without its line feed
    bool operator==(const Line&) const = default;
};

struct Counts
{
    int added = 0;
    int removed = 0;
    bool touchesTop = false;
    bool touchesBottom = false;
    bool operator==(const Counts&) const = default;
};

// Above this many cells (lines left in the old middle times lines left in the new one, after the
// common head and tail are trimmed) the middle is not matched at all: it shows as removed, then
// added. Keeps the table to about 16 MB.
inline constexpr std::size_t kMaxCells = 4'000'000;

// The lines of a text, cut at every line feed; a carriage return stays at the end of its line. An
// empty text has no lines, and a final line feed does not start another line.
std::vector<std::string> split(std::string_view text);

// The full diff: context, added and removed lines. At a tie the removal comes first, so each run
// of removed lines precedes the lines that replace it.
std::vector<Line> diff(std::string_view before, std::string_view after);

// The diff with unchanged stretches further than `context` lines from any change folded into one
// skipped line each. A negative context counts as 0.
std::vector<Line> unified(std::string_view before, std::string_view after, int context);

Counts counts(std::string_view before, std::string_view after);

} // namespace vantorelle::LineDiff
