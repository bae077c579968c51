// The logind watcher against python3-dbusmock's logind, the private bus standing in for the system bus.
#include "platform/SessionWatcher.h"

#include <QSignalSpy>
#include <gtest/gtest.h>
#include <unistd.h>

#include "BusServices.h"
#include "QtBus.h"
#include "platform/Log.h"

using namespace vantorelle;

namespace {

const QString kLogin = QStringLiteral("org.freedesktop.login1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/login1");

// Before anything opens the system bus: point it at the private bus.
bool useSessionBusAsSystemBus()
{
    const char* session = ::getenv("DBUS_SESSION_BUS_ADDRESS");
    return session && ::setenv("DBUS_SYSTEM_BUS_ADDRESS", session, 1) == 0;
}

Environment sessionEnvironment(const char* id)
{
    Environment env;
    env.set("XDG_SESSION_ID", id);
    return env;
}

} // namespace

TEST(SessionWatcher, SleepWakeAndTheSessionLockBecomeSignals)
{
    ASSERT_TRUE(useSessionBusAsSystemBus());
    test::QtApp app;
    test::Daemon logind = test::startDbusmock("logind", kLogin.toStdString(), true);
    QDBusConnection bus = QDBusConnection::systemBus();
    QDBusMessage add = QDBusMessage::createMethodCall(kLogin, kManagerPath, QStringLiteral("org.freedesktop.DBus.Mock"),
                                                      QStringLiteral("AddSession"));
    add << QStringLiteral("c7") << QStringLiteral("seat0") << static_cast<uint>(::getuid()) << QStringLiteral("user")
        << true;
    ASSERT_EQ(bus.call(add).type(), QDBusMessage::ReplyMessage);

    SessionWatcher watcher(sessionEnvironment("c7"));
    QSignalSpy sleeping(&watcher, &SessionWatcher::aboutToSleep);
    QSignalSpy woke(&watcher, &SessionWatcher::woke);
    QSignalSpy locked(&watcher, &SessionWatcher::lockRequested);
    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.watchingLock(); }, 10000));

    auto prepare = [&](bool start) {
        test::emitMockSignal(bus, kLogin, kManagerPath, QStringLiteral("org.freedesktop.login1.Manager"),
                             QStringLiteral("PrepareForSleep"), QStringLiteral("b"), {start});
    };
    prepare(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return sleeping.count() == 1; }, 10000));
    EXPECT_EQ(woke.count(), 0);
    prepare(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return woke.count() == 1; }, 10000));
    EXPECT_EQ(sleeping.count(), 1);

    // Another session's lock is not ours; our own comes after it.
    QDBusMessage other = add;
    other.setArguments({QStringLiteral("c8"), QStringLiteral("seat0"), static_cast<uint>(::getuid()) + 1,
                        QStringLiteral("other"), false});
    ASSERT_EQ(bus.call(other).type(), QDBusMessage::ReplyMessage);
    for (const char* id : {"c8", "c7"}) {
        QDBusMessage lock
            = QDBusMessage::createMethodCall(kLogin, QStringLiteral("/org/freedesktop/login1/session/") + id,
                                             QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("Lock"));
        ASSERT_EQ(bus.call(lock).type(), QDBusMessage::ReplyMessage);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return locked.count() >= 1; }, 10000));
    QCoreApplication::processEvents();
    EXPECT_EQ(locked.count(), 1);
}

TEST(SessionWatcher, WithoutLogindItLogsAndStaysQuiet)
{
    ASSERT_TRUE(useSessionBusAsSystemBus());
    test::QtApp app;
    std::vector<std::string> lines;
    applog::setSink([&](std::string_view category, applog::Level, std::string_view message) {
        lines.push_back(std::string(category) + ": " + std::string(message));
    });
    SessionWatcher watcher(sessionEnvironment("c7"));
    QSignalSpy changed(&watcher, &SessionWatcher::lockWatchChanged);
    const bool logged = QTest::qWaitFor([&] { return !lines.empty(); }, 15000);
    applog::setSink({});
    ASSERT_TRUE(logged);
    EXPECT_TRUE(lines[0].starts_with("app: session lock not watched: ")) << lines[0];
    EXPECT_FALSE(watcher.watchingLock());
    EXPECT_EQ(changed.count(), 0);
}
