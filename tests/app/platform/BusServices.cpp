// BusServices: start a daemon, then wait for its bus name instead of sleeping.
#include "BusServices.h"

#include <stdexcept>

#include "support/WaitFor.h"

namespace vantorelle::test {

bool busNameHasOwner(const std::string& name)
{
    auto result = ChildProcess::run("/usr/bin/dbus-send",
                                    {"--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                     "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name},
                                    Environment::current(), ChildProcess::StandardError::discard,
                                    std::chrono::steady_clock::now() + std::chrono::seconds(10));
    return result && result->output.find("boolean true") != std::string::npos;
}

Daemon::Daemon(const std::string& path, const std::vector<std::string>& args, const std::string& busName,
               const std::vector<std::pair<std::string, std::string>>& extra)
{
    ChildProcess::Options options;
    options.path = path;
    options.args = args;
    options.env = Environment::current();
    for (const auto& [name, value] : extra) {
        options.env.set(name, value);
    }
    options.stderrFd = 2;
    auto child = ChildProcess::spawn(options);
    if (!child) {
        throw std::runtime_error("cannot start " + path);
    }
    m_child = std::move(*child);
    if (!waitFor([&] { return busNameHasOwner(busName) || m_child.waitUntil(std::chrono::steady_clock::now()); })
        || !m_child.running()) {
        throw std::runtime_error(path + " did not take " + busName);
    }
}

Daemon startGnomeKeyring()
{
    // --unlock reads the login collection's password from standard input (here a heredoc, so the
    // daemon itself is our child and no shell stays behind it).
    return Daemon("/bin/sh",
                  {"-c",
                   "exec gnome-keyring-daemon --foreground --unlock --components=secrets >/dev/null <<EOF\n"
                   "test-login-password\nEOF"},
                  "org.freedesktop.secrets");
}

Daemon startDbusmock(const std::string& templateName, const std::string& busName, bool systemBus)
{
    // Debian's own interpreter: a python3 earlier in PATH may lack the dbusmock module.
    return Daemon("/usr/bin/python3", {"-m", "dbusmock", systemBus ? "--system" : "--session", "-t", templateName},
                  busName);
}

std::string sourceDir()
{
    return VANTORELLE_PLATFORM_TEST_DIR;
}

} // namespace vantorelle::test
