// QtBus: a Qt event loop and mock-control calls for the platform tests that use QtDBus.
#pragma once

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QTest>

namespace vantorelle::test {

// One application object per test; Qt allows a new one after the last is gone.
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

// dbusmock's EmitSignal on `path`: the mock sends `signal` as if the real service did.
inline QDBusMessage emitMockSignal(QDBusConnection bus, const QString& service, const QString& path,
                                   const QString& interface, const QString& signal, const QString& signature,
                                   const QVariantList& args)
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

} // namespace vantorelle::test
