// Fuzz target: the desktop entry's Exec parser behind the application launch.
#include "Fuzz.h"
#include "ipc/AppLauncher.h"

using namespace vantorelle;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = fuzz::text(data, size);
    const auto arguments = AppLauncher::execArguments(input);
    // Something to run, or a refusal: never an empty command line.
    require(!arguments || (!arguments->empty() && !arguments->front().empty()));
    return 0;
}
