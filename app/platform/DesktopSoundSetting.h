// DesktopSoundSetting: GNOME's user-interface sound switch, read through GSettings (no Qt here).
#pragma once

#include <optional>

namespace vantorelle {

// The boolean `key` of the GSettings `schema`, or nothing when the schema or key is not installed.
std::optional<bool> readGSettingsBoolean(const char* schema, const char* key);

} // namespace vantorelle
