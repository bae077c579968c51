// SoundPolicy: whether the app plays its sound effects.
#pragma once

#include <optional>

#include "defaults/Defaults.h"

namespace vantorelle::SoundPolicy {

// The app's own setting (a boolean in the shared defaults).
constexpr const char* enabledKey = "soundsEnabled";
// The desktop's setting for user-interface sounds: GNOME's GSettings key `systemUIKey` of the
// schema `systemUISchema`. It does not live in our defaults; the app reads it where the schema
// exists and passes it in.
constexpr const char* systemUISchema = "org.gnome.desktop.sound";
constexpr const char* systemUIKey = "event-sounds";

// True exactly when neither setting is off: an absent setting counts as on.
bool shouldPlay(std::optional<bool> appEnabled, std::optional<bool> systemUIEnabled);

// Reads `enabledKey` from `defaults` (taken only when it is a boolean) and applies the rule with
// the desktop's setting as given (nothing when the desktop has none).
bool shouldPlay(const Defaults& defaults, std::optional<bool> systemUIEnabled = std::nullopt);

} // namespace vantorelle::SoundPolicy
