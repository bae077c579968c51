// IPCPaths: where the per-user socket lives.
#pragma once

#include <filesystem>

#include "sys/Environment.h"

namespace vantorelle::IPCPaths {

// "VANTORELLE_SOCKET" when set and non-empty (a relative value is taken against the current
// directory); else $XDG_RUNTIME_DIR/vantorelle/c.sock; else, when `runtimeRoot`/<euid> is a
// directory of this user that is not group- or world-writable, <that>/vantorelle/c.sock; else
// $XDG_DATA_HOME/vantorelle/c.sock (~/.local/share when unset, empty or relative). Computed
// afresh on each call; creates nothing.
std::filesystem::path socket(const Environment& env = Environment::current(),
                             const std::filesystem::path& runtimeRoot = "/run/user");

} // namespace vantorelle::IPCPaths
