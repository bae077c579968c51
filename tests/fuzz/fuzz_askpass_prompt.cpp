// Fuzz target: AskpassPrompt::parse on any prompt text ssh might pass.
#include <variant>

#include "Fuzz.h"
#include "ipc/AskpassPrompt.h"

using namespace vantorelle;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = fuzz::text(data, size);
    const auto kind = AskpassPrompt::parse(input);
    if (const auto* passphrase = std::get_if<AskpassPrompt::Passphrase>(&kind)) {
        // A key path is a non-empty part of the prompt.
        require(!passphrase->keyPath.empty() && input.find(passphrase->keyPath) != std::string_view::npos);
    } else {
        require(std::get<AskpassPrompt::Other>(kind).text == input);
    }
    return 0;
}
