// DurationPolicy: the one rule every unlock-window length passes through.
#include "window/DurationPolicy.h"

#include <algorithm>
#include <cmath>

namespace vantorelle::DurationPolicy {

double clamp(double seconds)
{
    if (std::isnan(seconds)) {
        return minimum;
    }
    // std::round rounds halves away from zero; infinities pass through and are bounded below.
    const double rounded = std::round(seconds / step) * step;
    return std::min(std::max(rounded, minimum), cap);
}

double configured(std::optional<double> stored)
{
    return stored && *stored > 0 ? clamp(*stored) : defaultValue;
}

} // namespace vantorelle::DurationPolicy
