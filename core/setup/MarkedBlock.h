// MarkedBlock: the managed block that setup writes into a user's file, between two fixed marker lines.
#pragma once

#include <string>
#include <string_view>

namespace vantorelle::MarkedBlock {

inline constexpr std::string_view begin = "# >>> vantorelle >>>";
inline constexpr std::string_view end = "# <<< vantorelle <<<";

enum class Position { top, bottom };

// A marker is a whole line, matched byte for byte: it starts the text or follows a line feed, and
// is followed by the end of the text, a line feed or a carriage return. No blanks around it.
// A block is a begin marker and the first end marker after it; when several begin markers come
// before that end marker, the block starts at the last of them, so a stray begin marker the user
// left behind stays in the text instead of dragging the lines that follow it into the block.

// Whether the text holds a complete managed block.
bool contains(std::string_view text);

// The text with every managed block removed and one new block holding the lines of `block` put at
// the top or the bottom. Lines are joined with "\r\n" when the rest of the text uses it, else "\n".
std::string apply(std::string_view block, std::string_view text, Position position);

// The text with every managed block removed, with the line break that belongs to each block. The
// bytes are kept as they are (no re-encoding).
std::string remove(std::string_view text);

} // namespace vantorelle::MarkedBlock
