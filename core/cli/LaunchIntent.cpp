// LaunchIntent: how the app knows it was started in the background by the helper.
#include "cli/LaunchIntent.h"

#include <algorithm>

namespace vantorelle::LaunchIntent {

bool showsSettingsAtLaunch(bool launchedAsLoginItem, std::span<const std::string> arguments, bool relaunchedForUpdate)
{
    if (launchedAsLoginItem || relaunchedForUpdate) {
        return false;
    }
    return std::ranges::find(arguments, backgroundArgument) == arguments.end();
}

} // namespace vantorelle::LaunchIntent
