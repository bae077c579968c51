// UnlockWindow: the span of time after an approval during which the managed keys stay loaded.
#include "window/UnlockWindow.h"

#include <cmath>

namespace vantorelle {

double UnlockWindow::fraction(Date at) const
{
    if (!(duration > 0)) {
        return 0;
    }
    const double r = (expiry - at).count() / duration;
    if (std::isnan(r) || r <= 0) {
        return 0;
    }
    return r >= 1 ? 1 : r;
}

} // namespace vantorelle
