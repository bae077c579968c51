// ManagedKeyRules: which keys stay managed after an undo, and when unmanaging a key would break ssh.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace vantorelle::ManagedKeyRules {

// An undo removes every stored passphrase: the managed paths (in their order, as written there)
// whose passphrase could not be deleted stay managed; the rest do not. Paths match after
// standardising.
std::vector<std::string> pathsKeptAfterUndo(const std::vector<std::string>& managed,
                                            const std::set<std::string>& deletionFailed);

// True when setup is applied and `path` is the only ready key (duplicates do not count), so
// taking it out of management would leave ssh set up with nothing to serve.
bool unmanageBreaksSSH(const std::string& path, const std::vector<std::string>& readyPaths, bool setupApplied);

} // namespace vantorelle::ManagedKeyRules
