// Fuzz target: the /proc/<pid>/stat parser of the requester lookup (a process names itself, so
// comm is hostile).
#include "Fuzz.h"
#include "unlock/RequesterResolver.h"

using namespace vantorelle;
using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input = fuzz::text(data, size);
    const auto stat = RequesterResolver::parseStat(input);
    require(!stat || input.find(stat->comm) != std::string_view::npos);
    return 0;
}
