// BusServices: real services and mocks for the platform tests, on the private bus the wrapper made.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "sys/ChildProcess.h"

namespace vantorelle::test {

// Whether `name` has an owner on the session bus.
bool busNameHasOwner(const std::string& name);

// A daemon this test started; killed and reaped when it goes away.
class Daemon
{
public:
    // Starts `path` with `args` (environment: this process's plus `extra`) and waits until it owns
    // `busName`; throws when it does not within the limit.
    Daemon(const std::string& path, const std::vector<std::string>& args, const std::string& busName,
           const std::vector<std::pair<std::string, std::string>>& extra = {});
    pid_t pid() const { return m_child.pid(); }

private:
    ChildProcess m_child;
};

// GNOME Keyring with its login collection created (or unlocked) with a test password.
Daemon startGnomeKeyring();
// python3-dbusmock with `template` (a name of its own or a path) on the session bus.
Daemon startDbusmock(const std::string& templateName, const std::string& busName, bool systemBus = false);

// The directory of this test's sources (for local dbusmock templates).
std::string sourceDir();

} // namespace vantorelle::test
