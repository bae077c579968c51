// CoreDumps: keeping a process that handles passphrases out of core dumps and ptrace.
#include "sys/CoreDumps.h"

#include <sys/prctl.h>

namespace vantorelle {

bool forbidCoreDumps() noexcept
{
    return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

} // namespace vantorelle
