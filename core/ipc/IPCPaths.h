// IPCPaths: where the per-user socket lives.
#pragma once

#include <filesystem>

#include "sys/Environment.h"

namespace vantorelle::IPCPaths {

// "VANTORELLE_SOCKET" when set and non-empty (a relative value is taken against the current
// directory); else $XDG_RUNTIME_DIR/vantorelle/c.sock; else $XDG_DATA_HOME/vantorelle/c.sock
// (~/.local/share when unset, empty or relative). Computed afresh on each call; creates nothing.
std::filesystem::path socket(const Environment& env = Environment::current());

} // namespace vantorelle::IPCPaths
