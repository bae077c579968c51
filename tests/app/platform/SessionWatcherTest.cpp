// The logind watcher against python3-dbusmock's logind, the private bus standing in for the system bus.
#include "platform/SessionWatcher.h"

#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

#include "BusServices.h"

using namespace vantorelle;

namespace {

const QString kLogin = QStringLiteral("org.freedesktop.login1");

class SessionWatcherTest : public ::testing::Test
{
protected:
    // Before anything opens the system bus.
    bool redirected = ::getenv("DBUS_SESSION_BUS_ADDRESS")
        && ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ::getenv("DBUS_SESSION_BUS_ADDRESS"), 1) == 0;
    test::QtApp app;
    Environment env = [] {
        Environment e;
        e.set("XDG_SESSION_ID", "c7");
        return e;
    }();

    static QDBusMessage call(const QString& path, const QString& interface, const QString& method,
                             const QVariantList& args = {})
    {
        QDBusMessage message = QDBusMessage::createMethodCall(kLogin, path, interface, method);
        message.setArguments(args);
        return QDBusConnection::systemBus().call(message, QDBus::Block, 10000);
    }
};

} // namespace

TEST_F(SessionWatcherTest, SleepWakeAndOurSessionsLockBecomeSignals)
{
    ASSERT_TRUE(redirected);
    test::Daemon logind = test::startDbusmock("logind", kLogin.toStdString(), true);
    const QString mock = QStringLiteral("org.freedesktop.DBus.Mock"), root = QStringLiteral("/org/freedesktop/login1");
    for (const char* id : {"c7", "c8"}) {
        ASSERT_EQ(call(root, mock, QStringLiteral("AddSession"),
                       {QString::fromLatin1(id), QStringLiteral("seat0"), static_cast<uint>(::getuid()),
                        QStringLiteral("user"), true})
                      .type(),
                  QDBusMessage::ReplyMessage);
    }
    SessionWatcher watcher(env);
    QSignalSpy sleeping(&watcher, &SessionWatcher::aboutToSleep), woke(&watcher, &SessionWatcher::woke),
        locked(&watcher, &SessionWatcher::lockRequested);
    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.watchingLock(); }, 10000));

    for (bool start : {true, false}) {
        test::emitMockSignal(QDBusConnection::systemBus(), kLogin, root,
                             QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"),
                             QStringLiteral("b"), {start});
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return woke.count() == 1; }, 10000));
    EXPECT_EQ(sleeping.count(), 1);

    // Another session's lock is not ours; ours comes after it.
    for (const char* id : {"c8", "c7"}) {
        call(root + "/session/" + id, QStringLiteral("org.freedesktop.login1.Session"), QStringLiteral("Lock"));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return locked.count() >= 1; }, 10000));
    EXPECT_EQ(locked.count(), 1);
    EXPECT_EQ(sleeping.count(), 1);
}

TEST_F(SessionWatcherTest, WithoutLogindItLogsAndStaysQuiet)
{
    ASSERT_TRUE(redirected);
    test::LogCapture log;
    SessionWatcher watcher(env);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !log.lines().empty(); }, 15000));
    EXPECT_TRUE(log.lines()[0].starts_with("app: session lock not watched: ")) << log.lines()[0];
    EXPECT_FALSE(watcher.watchingLock());
}
