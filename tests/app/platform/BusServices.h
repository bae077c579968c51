// BusServices: real services and mocks for the platform tests, on the private bus that
// private-session.sh gives each test process; plus a Qt event loop and a log capture.
#pragma once

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "sys/ChildProcess.h"

namespace vantorelle::test {

// A daemon this test started; it must own `busName` before the constructor returns (else it
// throws). Killed and reaped when it goes away.
class Daemon
{
public:
    Daemon(const std::string& path, const std::vector<std::string>& args, const std::string& busName);
    pid_t pid() const { return m_child.pid(); }

private:
    ChildProcess m_child;
};

// GNOME Keyring with its login collection created (or unlocked) with a test password.
Daemon startGnomeKeyring();
// python3-dbusmock with a template (its name, or a path) on the session bus, or on the "system"
// bus when DBUS_SYSTEM_BUS_ADDRESS points there too.
Daemon startDbusmock(const std::string& templateName, const std::string& busName, bool systemBus = false);
inline std::string sourceDir()
{
    return VANTORELLE_PLATFORM_TEST_DIR;
}

// dbusmock's EmitSignal: the mock sends `signal` as if the real service did.
QDBusMessage emitMockSignal(QDBusConnection bus, const QString& service, const QString& path, const QString& interface,
                            const QString& signal, const QString& signature, const QVariantList& args);

class QtApp
{
public:
    QtApp()
        : m_app(m_argc, m_argv)
    {
    }

private:
    int m_argc = 1;
    char m_name[16] = "platform-tests";
    char* m_argv[2] = {m_name, nullptr};
    QCoreApplication m_app;
};

// Every line logged while it exists, as "category: message".
class LogCapture
{
public:
    LogCapture();
    ~LogCapture() { applog::setSink({}); }
    std::vector<std::string> lines();

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

} // namespace vantorelle::test
