// VANTORELLE_CHECK: an invariant that holds in every build, release ones included.
#include "sys/Check.h"

#include <cstdio>
#include <cstdlib>

namespace vantorelle::detail {

void checkFailed(const char* condition, const char* file, int line) noexcept
{
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

} // namespace vantorelle::detail
