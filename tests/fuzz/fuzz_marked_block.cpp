// Fuzz target: MarkedBlock on arbitrary file contents. Besides not crashing, the round trip must
// hold for every text without a managed block.
#include "Fuzz.h"
#include "setup/MarkedBlock.h"

using namespace vantorelle;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const auto position = (data[0] & 1) ? MarkedBlock::Position::top : MarkedBlock::Position::bottom;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    const bool contained = MarkedBlock::contains(text);
    const std::string removed = MarkedBlock::remove(text);
    require(!MarkedBlock::contains(removed) && (contained || removed == text));

    const std::string block = "IgnoreUnknown UseKeychain\nIdentityFile \"~/.ssh/a b\"\r\nlast";
    const std::string applied = MarkedBlock::apply(block, text, position);
    require(MarkedBlock::contains(applied) && MarkedBlock::apply(block, applied, position) == applied);
    require(contained || MarkedBlock::remove(applied) == text);
    return 0;
}
