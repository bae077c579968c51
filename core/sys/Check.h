// VANTORELLE_CHECK: an invariant that holds in every build, release ones included.
#pragma once

namespace vantorelle::detail {
[[noreturn]] void checkFailed(const char* condition, const char* file, int line) noexcept;
} // namespace vantorelle::detail

// For the few invariants whose breach would corrupt state silently (a request answered twice, an
// executor joining itself): the process stops with the condition on standard error instead.
// Never for outside input, which is refused, not asserted.
#define VANTORELLE_CHECK(condition)                                                                                    \
    ((condition) ? static_cast<void>(0) : ::vantorelle::detail::checkFailed(#condition, __FILE__, __LINE__))
