// Fuzz target: AskpassPrompt::parse on any prompt text ssh might pass.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <variant>

#include "ipc/AskpassPrompt.h"

using namespace vantorelle;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto kind = AskpassPrompt::parse(input);
    if (const auto* passphrase = std::get_if<AskpassPrompt::Passphrase>(&kind)) {
        // A key path is a non-empty part of the prompt.
        if (passphrase->keyPath.empty() || input.find(passphrase->keyPath) == std::string_view::npos) {
            std::abort();
        }
    } else if (std::get<AskpassPrompt::Other>(kind).text != input) {
        std::abort();
    }
    return 0;
}
