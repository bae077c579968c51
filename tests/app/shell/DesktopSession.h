// DesktopSession: a private X server, session bus and GNOME Keyring for one end-to-end scenario.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "sys/ChildProcess.h"
#include "sys/Environment.h"

namespace vantorelle::e2e {

// Everything runs as a child of the test process and is stopped and reaped in the destructor.
class DesktopSession
{
public:
    // Why it cannot run here (Xvfb, dbus-daemon or gnome-keyring-daemon missing), or nothing.
    static std::optional<std::string> unavailableReason();

    DesktopSession() = default;
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    // Starts the three for `env` (HOME, XDG_RUNTIME_DIR and the XDG data directories are taken from
    // it; services the bus activates inherit them) and adds DISPLAY and DBUS_SESSION_BUS_ADDRESS to
    // it. `scratch` holds the keyring's password file. False with `problem()` set on failure.
    bool start(Environment& env, const std::filesystem::path& scratch);
    const std::string& problem() const { return m_problem; }

    // Whether `name` has an owner on the session bus (or the bus `busOption` names: "--system").
    static bool nameHasOwner(const Environment& env, const std::string& name,
                             const std::string& busOption = "--session");
    // Starts a bus daemon of the session kind into `daemon` and returns its address.
    static std::optional<std::string> startBus(const Environment& env, std::optional<ChildProcess>& daemon);
    // Saves a full-screen screenshot as PNG; false when ImageMagick's import is missing or fails.
    static bool screenshot(const Environment& env, const std::filesystem::path& png);

private:
    bool fail(std::string message);

    std::optional<ChildProcess> m_display;
    std::optional<ChildProcess> m_bus;
    std::optional<ChildProcess> m_keyring;
    std::string m_problem;
};

} // namespace vantorelle::e2e
