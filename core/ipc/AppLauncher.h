// AppLauncher: starts the application in the background: by D-Bus activation where there is a
// session bus, else through its desktop entry.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sys/Environment.h"
#include "sys/Io.h"

namespace vantorelle {

// First asks the session bus to start the service "<id>" (StartServiceByName): the bus starts it
// from its service file with the session's own activation environment, so the terminal that
// happens to start the app first does not hand it its LD_PRELOAD, askpass or agent socket. Where
// there is no session bus, or it does not know the service, the launch falls back to the entry:
// Finds "<id>.desktop" in $XDG_DATA_HOME/applications, then in each of
// $XDG_DATA_DIRS/applications, takes its Exec command line (Desktop Entry quoting, field codes
// dropped), appends the extra arguments and starts the program detached (ChildProcess::
// spawnDetached: a new session, stdio on /dev/null, never a zombie of this process), with the
// caller's environment reduced to sessionVariables(). A launch reports only whether the program
// could be started.
class AppLauncher
{
public:
    struct LaunchError
    {
        enum class Kind {
            noEntry, // no readable desktop entry for the id (or it is hidden)
            badEntry, // the entry has no usable Exec line
            notFound, // the Exec program does not exist or is not executable
            spawnFailed, // fork or exec failed; `error` is errno
        };
        Kind kind;
        int error = 0;
        bool operator==(const LaunchError&) const = default;
    };

    explicit AppLauncher(Environment env = Environment::current());

    // `deadline` bounds the wait for the exec to succeed or fail.
    std::expected<void, LaunchError> launch(std::string_view desktopID, const std::vector<std::string>& extraArguments,
                                            io::Deadline deadline) const;

    // The first "<id>.desktop" file in the data directories, in XDG order. Ids that could leave
    // the directory (containing "/", or "." and "..") have no entry.
    std::optional<std::filesystem::path> findEntry(std::string_view desktopID) const;

    // The argument vector of the entry's Exec key in its [Desktop Entry] group, field codes
    // removed ("%%" becomes "%"). badEntry when there is no such key, the quoting is broken, the
    // entry is hidden or of another type than Application, or nothing is left to run.
    static std::expected<std::vector<std::string>, LaunchError> execArguments(std::string_view desktopFile);

    enum class Activation {
        started, // the bus started the service, or it was running already
        noBus, // no session bus could be reached
        unknownService, // the bus has no service file for the name
        failed, // the bus could not start it in time
    };
    // StartServiceByName on the session bus named by the environment (DBUS_SESSION_BUS_ADDRESS,
    // else $XDG_RUNTIME_DIR/bus). Waits at most until `deadline`.
    Activation activate(std::string_view busName, io::Deadline deadline) const;

    // The variables of `env` that belong to the desktop session rather than to one terminal: the
    // display (DISPLAY, WAYLAND_DISPLAY, XAUTHORITY), XDG_*, DBUS_SESSION_BUS_ADDRESS, HOME, PATH,
    // the language (LANG, LANGUAGE, LC_*) and Vantorelle's own VANTORELLE_*. Never LD_*,
    // SSH_ASKPASS* or SSH_AUTH_SOCK.
    static Environment sessionVariables(const Environment& env);

    // The Exec program as a path: kept when it contains a "/", otherwise looked up in PATH.
    std::optional<std::filesystem::path> resolveProgram(std::string_view program) const;

private:
    Environment m_env;
};

} // namespace vantorelle
