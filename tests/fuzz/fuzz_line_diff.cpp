// Fuzz target: LineDiff::split and the diff built on it. The input is two texts separated by the
// first NUL byte; replaying the diff must rebuild both.
#include "Fuzz.h"
#include "setup/LineDiff.h"

using namespace vantorelle;
using fuzz::require;

namespace {

std::string canonical(std::string_view text)
{
    std::string out;
    for (const auto& line : LineDiff::split(text)) {
        out += line;
        out += '\n';
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = fuzz::text(data, size);
    const auto nul = input.find('\0');
    const std::string_view before = input.substr(0, nul);
    const std::string_view after = nul == std::string_view::npos ? std::string_view{} : input.substr(nul + 1);

    // Joining the lines again gives the text back, up to one final line feed.
    const auto lines = LineDiff::split(before);
    std::string joined = canonical(before);
    if (!before.empty() && before.back() != '\n') {
        joined.pop_back();
    }
    require(joined == before);

    const auto diff = LineDiff::diff(before, after);
    std::string old;
    std::string now;
    int added = 0;
    int removed = 0;
    for (const auto& line : diff) {
        if (line.kind != LineDiff::Kind::added) {
            old += line.text + "\n";
        }
        if (line.kind != LineDiff::Kind::removed) {
            now += line.text + "\n";
        }
        added += line.kind == LineDiff::Kind::added;
        removed += line.kind == LineDiff::Kind::removed;
    }
    require(old == canonical(before) && now == canonical(after));
    const auto counts = LineDiff::counts(before, after);
    require(counts.added == added && counts.removed == removed);
    // Folding only ever shortens, and keeps every change.
    const auto folded = LineDiff::unified(before, after, static_cast<int>(size % 4));
    int foldedChanges = 0;
    for (const auto& line : folded) {
        foldedChanges += line.kind == LineDiff::Kind::added || line.kind == LineDiff::Kind::removed;
    }
    require(folded.size() <= diff.size() && foldedChanges == added + removed);
    return 0;
}
