// DurationPolicy: the one rule every unlock-window length passes through.
#pragma once

#include <optional>

namespace vantorelle::DurationPolicy {

// Seconds.
constexpr double defaultValue = 10800; // used when nothing valid is configured
constexpr double minimum = 900;
constexpr double step = 900;
constexpr double cap = 10800;

// Rounds to the nearest multiple of `step` (halves away from zero), then keeps the result within
// [minimum, cap]. Not-a-number gives `minimum`.
double clamp(double seconds);

// The configured length as the app reads it: a stored value greater than 0 is clamped; a missing,
// non-positive or not-a-number value means `defaultValue`.
double configured(std::optional<double> stored);

} // namespace vantorelle::DurationPolicy
