// LaunchIntent: how the app knows it was started in the background by the helper.
#pragma once

#include <span>
#include <string>

namespace vantorelle::LaunchIntent {

// The launch argument the askpass helper adds when it starts the app.
inline constexpr const char* backgroundArgument = "--background";

// Whether the app opens its settings window at launch: never when it was started as a login item
// or relaunched after an update, otherwise unless `arguments` holds backgroundArgument.
bool showsSettingsAtLaunch(bool launchedAsLoginItem, std::span<const std::string> arguments, bool relaunchedForUpdate);

} // namespace vantorelle::LaunchIntent
