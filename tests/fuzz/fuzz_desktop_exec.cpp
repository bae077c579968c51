// Fuzz target: the desktop entry's Exec parser behind the application launch.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ipc/AppLauncher.h"

using namespace vantorelle;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto arguments = AppLauncher::execArguments(input);
    // Something to run, or a refusal: never an empty command line.
    if (arguments && (arguments->empty() || arguments->front().empty())) {
        std::abort();
    }
    return 0;
}
