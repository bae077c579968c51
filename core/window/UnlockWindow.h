// UnlockWindow: the span of time after an approval during which the managed keys stay loaded.
#pragma once

#include "sys/Clock.h"

namespace vantorelle {

struct UnlockWindow
{
    Date expiry; // when the window closes
    double duration = 0; // seconds granted when it opened (not the time left)

    // The share of the window still left at `at`, within [0, 1]: 0 once expired (or when the
    // duration is not positive), 1 at or before the moment it opened.
    double fraction(Date at) const;

    bool operator==(const UnlockWindow&) const = default;
};

} // namespace vantorelle
