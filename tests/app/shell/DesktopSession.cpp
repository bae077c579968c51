// DesktopSession: Xvfb -displayfd, dbus-daemon --print-address and gnome-keyring-daemon --unlock,
// each waited for by what it prints or owns, never by a fixed sleep.
#include "DesktopSession.h"

#include <chrono>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <thread>
#include <unistd.h>

#include "support/WaitFor.h"
#include "sys/Io.h"
#include "sys/Pipe.h"

namespace vantorelle::e2e {
namespace {

using namespace std::chrono_literals;

// The first line a child prints on `fd`, read until `deadline`.
std::optional<std::string> firstLine(int fd, io::Deadline deadline)
{
    std::string line;
    while (true) {
        if (io::pollOne(fd, POLLIN, deadline) <= 0) {
            return std::nullopt;
        }
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n <= 0) {
            return std::nullopt;
        }
        if (c == '\n') {
            return line;
        }
        line.push_back(c);
    }
}

void stop(std::optional<ChildProcess>& child)
{
    if (child && child->running()) {
        child->signal(SIGTERM);
        if (!child->waitUntil(std::chrono::steady_clock::now() + 5s)) {
            child->kill();
        }
    }
    child.reset();
}

} // namespace

std::optional<std::string> DesktopSession::unavailableReason()
{
    for (const char* tool :
         {"/usr/bin/Xvfb", "/usr/bin/dbus-daemon", "/usr/bin/gnome-keyring-daemon", "/usr/bin/dbus-send"}) {
        if (::access(tool, X_OK) != 0) {
            return std::string(tool) + " is not installed";
        }
    }
    return std::nullopt;
}

DesktopSession::~DesktopSession()
{
    stop(m_keyring);
    stop(m_bus);
    stop(m_display);
}

bool DesktopSession::fail(std::string message)
{
    m_problem += message + "\n";
    return false;
}

bool DesktopSession::start(Environment& env, const std::filesystem::path& scratch)
{
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    {
        auto pipe = Pipe::create();
        if (!pipe) {
            return fail("pipe failed");
        }
        ChildProcess::Options options{.path = "/usr/bin/Xvfb",
                                      .args = {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                                               "-nolisten", "unix", "-noreset"},
                                      .env = env,
                                      .stdoutFd = pipe->write.get()};
        // An abstract-namespace socket only: no /tmp/.X11-unix entry is left behind.
        auto display = ChildProcess::spawn(options);
        if (!display) {
            return fail("Xvfb did not start");
        }
        m_display = std::move(*display);
        pipe->write.reset();
        const auto number = firstLine(pipe->read.get(), deadline);
        if (!number || number->empty()) {
            return fail("Xvfb reported no display");
        }
        env.set("DISPLAY", ":" + *number);
    }
    auto address = startBus(env, m_bus);
    if (!address) {
        return fail("dbus-daemon did not start");
    }
    env.set("DBUS_SESSION_BUS_ADDRESS", *address);
    {
        const auto password = scratch / "keyring-password";
        std::ofstream(password) << "test-keyring";
        ChildProcess::Options options{
            .path = "/bin/sh",
            .args = {"-c",
                     "exec /usr/bin/gnome-keyring-daemon --foreground --unlock --components=secrets < '"
                         + password.string() + "'"},
            .env = env};
        auto keyring = ChildProcess::spawn(options);
        if (!keyring) {
            return fail("gnome-keyring-daemon did not start");
        }
        m_keyring = std::move(*keyring);
        if (!test::waitFor([&] { return nameHasOwner(env, "org.freedesktop.secrets"); }, 30s)) {
            return fail("GNOME Keyring never owned org.freedesktop.secrets");
        }
    }
    return true;
}

std::optional<std::string> DesktopSession::startBus(const Environment& env, std::optional<ChildProcess>& daemon)
{
    auto pipe = Pipe::create();
    if (!pipe) {
        return std::nullopt;
    }
    ChildProcess::Options options{.path = "/usr/bin/dbus-daemon",
                                  .args = {"--session", "--nofork", "--nopidfile", "--print-address=1"},
                                  .env = env,
                                  .stdoutFd = pipe->write.get()};
    auto bus = ChildProcess::spawn(options);
    if (!bus) {
        return std::nullopt;
    }
    daemon = std::move(*bus);
    pipe->write.reset();
    auto address = firstLine(pipe->read.get(), std::chrono::steady_clock::now() + 30s);
    if (!address || address->empty()) {
        return std::nullopt;
    }
    return address;
}

bool DesktopSession::nameHasOwner(const Environment& env, const std::string& name, const std::string& busOption)
{
    const auto result
        = ChildProcess::run("/usr/bin/dbus-send",
                            {busOption, "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus.NameHasOwner", "string:" + name},
                            env, ChildProcess::StandardError::discard, std::chrono::steady_clock::now() + 10s);
    return result && result->status == 0 && result->output.find("boolean true") != std::string::npos;
}

bool DesktopSession::screenshot(const Environment& env, const std::filesystem::path& png)
{
    if (::access("/usr/bin/import", X_OK) != 0) {
        return false;
    }
    std::filesystem::create_directories(png.parent_path());
    const auto result = ChildProcess::run("/usr/bin/import", {"-window", "root", png.string()}, env,
                                          ChildProcess::StandardError::merge, std::chrono::steady_clock::now() + 30s);
    return result && result->status == 0;
}

} // namespace vantorelle::e2e
