// The background notifier and the logind watcher against python3-dbusmock's notification daemon
// and logind; each first meets a bus without its service, which it logs and survives.
#include <QDBusArgument>
#include <QSignalSpy>
#include <unistd.h>

#include "BusServices.h"
#include "platform/BackgroundNotifier.h"
#include "platform/SessionWatcher.h"

using namespace vantorelle;

namespace {

const QString kMock = QStringLiteral("org.freedesktop.DBus.Mock");

class MockedServices : public ::testing::Test
{
protected:
    test::QtApp app;
    test::LogCapture log;
};

} // namespace

TEST_F(MockedServices, NotifierPostsForOneRequesterReplaceEachOtherAndOnlyAClickOnOursOpens)
{
    const QString service = "org.freedesktop.Notifications", path = "/org/freedesktop/Notifications";
    // Every Notify the daemon received, in order, as (time, arguments).
    const auto notifyCalls = [&] {
        const auto reply = test::busCall(service, path, kMock, "GetMethodCalls", {"Notify"});
        return qdbus_cast<QList<std::pair<qulonglong, QVariantList>>>(reply.arguments().value(0));
    };
    BackgroundNotifier notifier;
    QStringList opened;
    notifier.onOpen = [&](const QString& requester) { opened << requester; };
    notifier.post("cron");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !log.lines.empty(); }, 15000));
    EXPECT_TRUE(log.lines.at(0).starts_with("notify: notification not posted: ")) << log.lines.at(0);

    test::Daemon daemon = test::dbusmock({"-t", "notification_daemon"}, service.toStdString());
    notifier.post("backup.sh");
    notifier.post("backup.sh"); // before the first is answered
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifyCalls().size() == 2; }, 10000));
    notifier.post("backup.sh");
    notifier.post("cron");
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifyCalls().size() == 4; }, 10000));

    // Each requester's replaces_id in order: its first post made a notification (backup.sh's is 1);
    // the post that found no server left nothing to replace.
    QMap<QString, QList<uint>> replaced;
    for (const auto& [time, call] : notifyCalls()) {
        replaced[qdbus_cast<QVariantMap>(call.at(6)).value("requester").toString()] << call.at(1).toUInt();
    }
    EXPECT_EQ(replaced.value("backup.sh"), (QList<uint>{0, 1, 1}));
    EXPECT_EQ(replaced.value("cron"), (QList<uint>{0}));
    const auto first = notifyCalls().at(0).second;
    EXPECT_EQ(first.at(3).toString(), QStringLiteral("backup.sh asked for your SSH keys"));
    EXPECT_EQ(first.at(5).toStringList().value(0), QStringLiteral("default"));

    // Somebody else's notification (id 7) and another action on ours call nothing; signals arrive
    // in order, so once ours is seen the others have been handled.
    for (const auto& [id, action] : {std::pair{7u, "default"}, {1u, "dismiss"}, {1u, "default"}}) {
        test::emitMockSignal(service, path, service, "ActionInvoked", "us", {id, action});
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !opened.isEmpty(); }, 10000));
    EXPECT_EQ(opened, QStringList{"backup.sh"});
}

TEST_F(MockedServices, WatcherTurnsSleepWakeAndOurSessionsLockIntoSignals)
{
    const QString login = QStringLiteral("org.freedesktop.login1"), root = QStringLiteral("/org/freedesktop/login1");
    Environment env;
    env.set("XDG_SESSION_ID", "c7");
    {
        SessionWatcher watcher(env);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !log.lines.empty(); }, 15000));
        EXPECT_TRUE(log.lines.at(0).starts_with("app: session lock not watched: ")) << log.lines.at(0);
        EXPECT_FALSE(watcher.watchingLock());
    }

    test::Daemon logind = test::dbusmock({"-t", "logind"}, login.toStdString());
    for (const char* id : {"c7", "c8"}) {
        const QVariantList session{id, "seat0", ::getuid(), "user", true};
        ASSERT_EQ(test::busCall(login, root, kMock, "AddSession", session).type(), QDBusMessage::ReplyMessage);
    }
    SessionWatcher watcher(env);
    QSignalSpy sleeping(&watcher, &SessionWatcher::aboutToSleep), woke(&watcher, &SessionWatcher::woke),
        locked(&watcher, &SessionWatcher::lockRequested);
    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.watchingLock(); }, 10000));

    for (bool start : {true, false}) {
        test::emitMockSignal(login, root, login + ".Manager", "PrepareForSleep", "b", {start});
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return woke.count() == 1; }, 10000));
    EXPECT_EQ(sleeping.count(), 1);

    // Another session's lock is not ours; ours comes after it.
    for (const char* id : {"c8", "c7"}) {
        test::busCall(login, root + "/session/" + id, login + ".Session", "Lock");
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return locked.count() >= 1; }, 10000));
    EXPECT_EQ(locked.count(), 1);
}
