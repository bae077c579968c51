// AskpassTiming: the askpass helper's time limits, in seconds.
#pragma once

namespace vantorelle::AskpassTiming {

// The longest the helper spends on one prompt, measured from its start; every socket call gets
// only what is left of it.
inline constexpr double overall = 90.0;
// After starting the application, how long the helper keeps retrying to reach its socket.
inline constexpr double launchWait = 15.0;
// Pause between two connection attempts while the application starts.
inline constexpr double retryDelay = 0.2;
// How often the helper checks whether the process that ran it is still its parent.
inline constexpr double parentPollInterval = 0.25;

} // namespace vantorelle::AskpassTiming
