// BusServices: start a daemon, then wait for its bus name instead of sleeping.
#include "BusServices.h"

#include <stdexcept>

#include "support/WaitFor.h"

namespace vantorelle::test {
namespace {

bool busNameHasOwner(const std::string& name)
{
    auto result = ChildProcess::run("/usr/bin/dbus-send",
                                    {"--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                     "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name},
                                    Environment::current(), ChildProcess::StandardError::discard,
                                    std::chrono::steady_clock::now() + std::chrono::seconds(10));
    return result && result->output.find("boolean true") != std::string::npos;
}

} // namespace

Daemon::Daemon(const std::string& path, const std::vector<std::string>& args, const std::string& busName)
{
    ChildProcess::Options options;
    options.path = path;
    options.args = args;
    options.env = Environment::current();
    options.stderrFd = 2;
    auto child = ChildProcess::spawn(options);
    if (!child) {
        throw std::runtime_error("cannot start " + path);
    }
    m_child = std::move(*child);
    waitFor([&] { return busNameHasOwner(busName) || m_child.waitUntil(std::chrono::steady_clock::now()); });
    if (!m_child.running() || !busNameHasOwner(busName)) {
        throw std::runtime_error(path + " did not take " + busName);
    }
}

Daemon startGnomeKeyring()
{
    // --unlock reads the password from standard input: a heredoc, so the daemon is our child.
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

QDBusMessage emitMockSignal(QDBusConnection bus, const QString& service, const QString& path, const QString& interface,
                            const QString& signal, const QString& signature, const QVariantList& args)
{
    QVariantList wrapped;
    for (const QVariant& arg : args) {
        wrapped << QVariant::fromValue(QDBusVariant(arg));
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, QStringLiteral("org.freedesktop.DBus.Mock"),
                                                       QStringLiteral("EmitSignal"));
    call << interface << signal << signature << QVariant::fromValue(wrapped);
    return bus.call(call, QDBus::Block, 10000);
}

LogCapture::LogCapture()
{
    applog::setSink([this](std::string_view category, applog::Level, std::string_view message) {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(std::string(category) + ": " + std::string(message));
    });
}

std::vector<std::string> LogCapture::lines()
{
    std::lock_guard lock(m_mutex);
    return m_lines;
}

} // namespace vantorelle::test
