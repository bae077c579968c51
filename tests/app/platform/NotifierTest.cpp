// The background notifier against python3-dbusmock's notification daemon.
#include <QDBusArgument>
#include <QTest>
#include <gtest/gtest.h>

#include "BusServices.h"
#include "platform/BackgroundNotifier.h"

using namespace vantorelle;

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");

// The arguments of every Notify the daemon received, in order.
QList<QVariantList> notifyCalls()
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Mock"),
                                                       QStringLiteral("GetMethodCalls"));
    call << QStringLiteral("Notify");
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 10000);
    QList<QVariantList> calls;
    const auto array = reply.arguments().value(0).value<QDBusArgument>();
    array.beginArray();
    while (!array.atEnd()) {
        qulonglong time = 0;
        QVariantList args;
        array.beginStructure();
        array >> time >> args;
        array.endStructure();
        calls << args;
    }
    array.endArray();
    return calls;
}

class Notifier : public ::testing::Test
{
protected:
    test::QtApp app;
    test::Daemon daemon = test::startDbusmock("notification_daemon", kService.toStdString());
    BackgroundNotifier notifier;
    QStringList opened;

    void SetUp() override
    {
        notifier.onOpen = [this](const QString& requester) { opened << requester; };
    }
};

} // namespace

TEST_F(Notifier, PostsForOneRequesterReplaceEachOther)
{
    notifier.post(QStringLiteral("backup.sh"));
    notifier.post(QStringLiteral("backup.sh")); // before the first is answered
    ASSERT_TRUE(QTest::qWaitFor([] { return notifyCalls().size() == 2; }, 10000));
    notifier.post(QStringLiteral("backup.sh"));
    notifier.post(QStringLiteral("cron"));
    ASSERT_TRUE(QTest::qWaitFor([] { return notifyCalls().size() == 4; }, 10000));

    // Each requester's replaces_id in order: its first post made a notification (backup.sh's is 1).
    QMap<QString, QList<uint>> replaced;
    for (const auto& call : notifyCalls()) {
        replaced[qdbus_cast<QVariantMap>(call.at(6)).value(QStringLiteral("requester")).toString()]
            << call.at(1).toUInt();
    }
    EXPECT_EQ(replaced.value(QStringLiteral("backup.sh")), (QList<uint>{0, 1, 1}));
    EXPECT_EQ(replaced.value(QStringLiteral("cron")), (QList<uint>{0}));
    const auto first = notifyCalls().at(0);
    EXPECT_EQ(first.at(3).toString(), QStringLiteral("backup.sh asked for your SSH keys"));
    EXPECT_EQ(first.at(5).toStringList().value(0), QStringLiteral("default"));
}

TEST_F(Notifier, OnlyAClickOnANotificationWithARequesterOpens)
{
    notifier.post(QStringLiteral("backup.sh"));
    ASSERT_TRUE(QTest::qWaitFor([] { return notifyCalls().size() == 1; }, 10000));
    // Somebody else's notification (id 7) and another action on ours call nothing; signals
    // arrive in order, so once ours is seen the others have been handled.
    for (const auto& [id, action] : {std::pair{7u, "default"}, {1u, "dismiss"}, {1u, "default"}}) {
        test::emitMockSignal(QDBusConnection::sessionBus(), kService, kPath, kService, QStringLiteral("ActionInvoked"),
                             QStringLiteral("us"), {id, QString::fromLatin1(action)});
    }
    ASSERT_TRUE(QTest::qWaitFor([this] { return !opened.isEmpty(); }, 10000));
    EXPECT_EQ(opened, QStringList{QStringLiteral("backup.sh")});
}

TEST(NotifierWithoutServer, IsLoggedAndNotFatal)
{
    test::QtApp app;
    test::LogCapture log;
    BackgroundNotifier notifier;
    notifier.post(QStringLiteral("backup.sh"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !log.lines().empty(); }, 15000));
    EXPECT_TRUE(log.lines()[0].starts_with("notify: notification not posted: ")) << log.lines()[0];
}
