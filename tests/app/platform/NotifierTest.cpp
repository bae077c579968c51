// The background notifier against python3-dbusmock's notification daemon.
#include <QDBusArgument>
#include <gtest/gtest.h>
#include <mutex>

#include "BusServices.h"
#include "QtBus.h"
#include "platform/BackgroundNotifier.h"
#include "platform/Log.h"

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
    if (reply.type() != QDBusMessage::ReplyMessage) {
        return calls;
    }
    const auto array = reply.arguments().at(0).value<QDBusArgument>();
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

void click(uint id, const QString& action)
{
    test::emitMockSignal(QDBusConnection::sessionBus(), kService, kPath, kService, QStringLiteral("ActionInvoked"),
                         QStringLiteral("us"), {id, action});
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
    notifier.post(QStringLiteral("backup.sh")); // while the first is still unanswered
    ASSERT_TRUE(QTest::qWaitFor([] { return notifyCalls().size() == 2; }, 10000));
    notifier.post(QStringLiteral("backup.sh"));
    notifier.post(QStringLiteral("cron"));
    ASSERT_TRUE(QTest::qWaitFor([] { return notifyCalls().size() == 4; }, 10000));

    // The replaces_id each requester's posts carried, in order: the first makes notification 1.
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

TEST_F(Notifier, AClickOpensOnlyForANotificationThatCarriesARequester)
{
    notifier.post(QStringLiteral("backup.sh"));
    ASSERT_TRUE(QTest::qWaitFor([] { return notifyCalls().size() == 1; }, 10000));
    // Somebody else's notification (id 7) and another action on ours call nothing.
    click(7, QStringLiteral("default"));
    click(1, QStringLiteral("dismiss"));
    click(1, QStringLiteral("default"));
    ASSERT_TRUE(QTest::qWaitFor([this] { return !opened.isEmpty(); }, 10000));
    QCoreApplication::processEvents();
    EXPECT_EQ(opened, QStringList{QStringLiteral("backup.sh")});
}

TEST(NotifierWithoutServer, IsLoggedAndNotFatal)
{
    test::QtApp app;
    std::mutex mutex;
    std::vector<std::string> lines;
    applog::setSink([&](std::string_view category, applog::Level, std::string_view message) {
        std::lock_guard lock(mutex);
        lines.push_back(std::string(category) + ": " + std::string(message));
    });
    BackgroundNotifier notifier;
    notifier.post(QStringLiteral("backup.sh"));
    const bool logged = QTest::qWaitFor(
        [&] {
            std::lock_guard lock(mutex);
            return !lines.empty();
        },
        15000);
    applog::setSink({});
    ASSERT_TRUE(logged);
    EXPECT_TRUE(lines[0].starts_with("notify: notification not posted: ")) << lines[0];
}
