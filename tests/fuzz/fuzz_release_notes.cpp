// Fuzz target: ReleaseNotesText::lines on arbitrary notes, with no format, "html" or "markdown".
#include <optional>

#include "Fuzz.h"
#include "updates/ReleaseNotesText.h"

using namespace vantorelle;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    std::optional<std::string> format;
    switch (data[0] % 3) {
    case 1:
        format = "html";
        break;
    case 2:
        format = "markdown";
        break;
    default:
        break;
    }
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    for (const auto& line : ReleaseNotesText::lines(text, format)) {
        // The text was cut at every line break: none is left inside a line.
        require(line.text.find_first_of("\n\r\v\f") == std::string::npos);
    }
    return 0;
}
