// SoundPolicy: whether the app plays its sound effects.
#include "window/SoundPolicy.h"

namespace vantorelle::SoundPolicy {

bool shouldPlay(std::optional<bool> appEnabled, std::optional<bool> systemUIEnabled)
{
    return appEnabled.value_or(true) && systemUIEnabled.value_or(true);
}

bool shouldPlay(const Defaults& defaults, std::optional<bool> systemUIEnabled)
{
    return shouldPlay(defaults.boolean(enabledKey), systemUIEnabled);
}

} // namespace vantorelle::SoundPolicy
