// Account: what the password database says about the user running this process.
#pragma once

#include <string>

namespace vantorelle {

// The account's login shell (such as "/bin/bash"); empty when the database has no entry or none
// is set. Thread-safe.
std::string accountShell();

} // namespace vantorelle
