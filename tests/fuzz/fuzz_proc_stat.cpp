// Fuzz target: the /proc/<pid>/stat parser of the requester lookup (a process names itself, so
// comm is hostile).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "unlock/RequesterResolver.h"

using namespace vantorelle;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto stat = RequesterResolver::parseStat(input);
    if (stat && input.find(stat->comm) == std::string_view::npos) {
        std::abort();
    }
    return 0;
}
