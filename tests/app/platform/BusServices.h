// Real services and mocks for the platform tests, on the private bus that private-session.sh gives
// each test process as both its session and its system bus; plus a capture of the log. What the
// service suites share, test framework included.
#pragma once

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QTest>
#include <gtest/gtest.h>
#include <stdexcept>

#include "platform/Log.h"
#include "support/WaitFor.h"
#include "sys/ChildProcess.h"

namespace vantorelle::test {

// The application object, for suites without widgets.
struct QtApp
{
    int argc = 1;
    char name[16] = "tests", *argv[2] = {name, nullptr};
    QCoreApplication app{argc, argv};
};

inline QDBusMessage busCall(const QString& service, const QString& path, const QString& interface,
                            const QString& method, const QVariantList& args = {},
                            QDBusConnection bus = QDBusConnection::sessionBus())
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(args);
    return bus.call(message, QDBus::Block, 10000);
}

// A daemon this test started: it owns `busName` once constructed (else the constructor throws);
// on its way out it is killed, reaped, and its name is free again for the next one. Needs the
// application object first, as Qt's bus does.
class Daemon
{
public:
    Daemon(const std::string& path, const std::vector<std::string>& args, const std::string& busName)
        : m_name(QString::fromStdString(busName))
        , m_child(ChildProcess::spawn({path, args, Environment::current(), std::nullopt, -1, 2}).value())
    {
        waitFor([&] { return owned() || m_child.waitUntil(std::chrono::steady_clock::now()); });
        if (!owned()) {
            throw std::runtime_error(path + " did not take " + busName);
        }
    }
    ~Daemon()
    {
        m_child.kill();
        waitFor([&] { return !owned(); });
    }
    pid_t pid() const { return m_child.pid(); }

private:
    bool owned() { return QDBusConnection::sessionBus().interface()->isServiceRegistered(m_name).value(); }

    QString m_name;
    ChildProcess m_child;
};

// python3-dbusmock with these arguments (a template, or a name, path and interface); Debian's own
// interpreter, since a python3 earlier in PATH may lack the module.
inline Daemon dbusmock(std::vector<std::string> args, const std::string& busName)
{
    args.insert(args.begin(), {"-m", "dbusmock"});
    return Daemon("/usr/bin/python3", args, busName);
}

// GNOME Keyring with its login collection created (or unlocked) with a test password.
Daemon startGnomeKeyring();

// dbusmock's EmitSignal: the mock sends `signal` as if the real service did.
inline void emitMockSignal(const QString& service, const QString& path, const QString& interface, const QString& signal,
                           const QString& signature, const QVariantList& args)
{
    QVariantList wrapped;
    for (const QVariant& arg : args) {
        wrapped << QVariant::fromValue(QDBusVariant(arg));
    }
    busCall(service, path, "org.freedesktop.DBus.Mock", "EmitSignal",
            {interface, signal, signature, QVariant::fromValue(wrapped)});
}

// Every line logged while it exists, as "category: message". The code under test logs on the
// test's own threads, never while the test reads.
struct LogCapture
{
    LogCapture()
    {
        applog::setSink([this](std::string_view category, applog::Level, std::string_view message) {
            lines.push_back(std::string(category) + ": " + std::string(message));
        });
    }
    ~LogCapture() { applog::setSink({}); }
    std::vector<std::string> lines;
};

} // namespace vantorelle::test
