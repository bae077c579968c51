// The fingerprint context against the real fprintd with libfprint's virtual reader, the private bus
// standing in for the system bus and python3-dbusmock's polkitd allowing what fprintd asks.
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QTest>
#include <gtest/gtest.h>
#include <optional>

#include "BusServices.h"
#include "ipc/SocketIO.h"
#include "platform/FingerprintContext.h"
#include "support/TempDir.h"

using namespace vantorelle;

namespace {

using Outcome = std::expected<bool, BiometricContext::Error>;
const QString kFprint = QStringLiteral("net.reactivated.Fprint"), kDevice = kFprint + ".Device";
constexpr int recognised = 1;

int code(const Outcome& outcome)
{
    return outcome ? (*outcome ? recognised : 2) : outcome.error().dialogCode();
}

QDBusMessage call(QDBusConnection bus, const QString& service, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& args = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(args);
    return bus.call(message, QDBus::Block, 10000);
}
QVariant first(const QDBusMessage& reply)
{
    return reply.arguments().value(0);
}

class FingerprintTest : public ::testing::Test
{
protected:
    // Before anything opens the system bus.
    bool redirected = ::getenv("DBUS_SESSION_BUS_ADDRESS")
        && ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ::getenv("DBUS_SESSION_BUS_ADDRESS"), 1) == 0;
    test::QtApp app;
    TempDir dir{"vtfp"};
    std::string reader = dir.path().string() + "/reader";
    QDBusConnection bus = QDBusConnection::systemBus();
    // Another program: fprintd ties a claim to the connection that made it.
    QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("other"));
    std::optional<test::Daemon> polkit, fprintd;
    QString device;

    ~FingerprintTest() override { QDBusConnection::disconnectFromBus(QStringLiteral("other")); }

    void startFprintd()
    {
        polkit.emplace(test::startDbusmock("polkitd", "org.freedesktop.PolicyKit1", true));
        allow({"net.reactivated.fprint.device.verify", "net.reactivated.fprint.device.enroll"});
        std::filesystem::create_directory(dir.path() / "state");
        fprintd.emplace("/usr/bin/env",
                        std::vector<std::string>{"FP_VIRTUAL_DEVICE=" + reader, "FP_DRIVERS_WHITELIST=virtual_device",
                                                 "STATE_DIRECTORY=" + (dir.path() / "state").string(),
                                                 "/usr/libexec/fprintd", "-t"},
                        kFprint.toStdString());
        device = first(call(bus, kFprint, "/net/reactivated/Fprint/Manager", kFprint + ".Manager", "GetDefaultDevice"))
                     .value<QDBusObjectPath>()
                     .path();
    }

    void allow(const QStringList& actions)
    {
        call(bus, "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority", "org.freedesktop.DBus.Mock",
             "SetAllowed", {actions});
    }

    bool deviceCall(const char* method, const QVariantList& args = {})
    {
        return call(other, kFprint, device, kDevice, method, args).type() == QDBusMessage::ReplyMessage;
    }
    // The reader is free when another program's claim succeeds.
    bool otherClaims() { return deviceCall("Claim", {QString()}) && deviceCall("Release"); }

    bool available(std::chrono::milliseconds deadline = std::chrono::seconds(10))
    {
        std::optional<bool> answer;
        fingerprintAvailable([&](bool a) { answer = a; }, bus, deadline);
        EXPECT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 30000));
        return answer.value_or(true);
    }

    bool fingerNeeded()
    {
        auto reply = call(other, kFprint, device, "org.freedesktop.DBus.Properties", "Get", {kDevice, "finger-needed"});
        return first(reply).value<QDBusVariant>().variant().toBool();
    }

    // One evaluation to its reply; `whileVerifying` runs once fprintd waits for a finger.
    Outcome evaluate(const std::function<void(FingerprintContext&)>& whileVerifying = {},
                     std::chrono::milliseconds callTimeout = std::chrono::seconds(5))
    {
        FingerprintContext context(bus, callTimeout);
        std::optional<Outcome> outcome;
        int replies = 0;
        context.evaluate("unlock", [&](Outcome o) { outcome = o, ++replies; });
        if (whileVerifying) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return fingerNeeded(); }, 30000));
            whileVerifying(context);
        }
        EXPECT_FALSE(outcome); // never from inside evaluate() or invalidate()
        EXPECT_TRUE(QTest::qWaitFor([&] { return outcome.has_value(); }, 30000));
        context.invalidate();
        QCoreApplication::processEvents();
        EXPECT_EQ(replies, 1);
        return outcome.value_or(std::unexpected(BiometricContext::Error{0, "no reply", "test"}));
    }

    void send(const std::string& command)
    {
        auto fd = SocketIO::connectSocket(reader, std::chrono::steady_clock::now() + std::chrono::seconds(10));
        ASSERT_TRUE(fd && io::writeAll(fd->get(), command));
    }
    // The virtual reader's commands: SCAN <id>, RETRY <kind>, ERROR <libfprint error>, UNPLUG.
    auto readerDoes(std::vector<std::string> commands)
    {
        return [this, commands](FingerprintContext&) {
            for (const std::string& command : commands) {
                send(command);
            }
        };
    }

    // One touch enrols: the virtual reader is told to want a single stage.
    void enrol(const std::string& scanId)
    {
        ASSERT_TRUE(deviceCall("Claim", {QString()}));
        send("SET_ENROLL_STAGES 1");
        ASSERT_TRUE(deviceCall("EnrollStart", {"right-index-finger"}));
        send("SCAN " + scanId);
        EXPECT_TRUE(QTest::qWaitFor([&] { return deviceCall("ListEnrolledFingers", {QString()}); }, 30000));
        deviceCall("EnrollStop");
        ASSERT_TRUE(deviceCall("Release"));
    }
};

} // namespace

TEST_F(FingerprintTest, OneClaimPerEvaluationAlwaysGivenBack)
{
    ASSERT_TRUE(redirected);
    startFprintd();
    ASSERT_FALSE(device.isEmpty());
    EXPECT_FALSE(available());
    EXPECT_EQ(code(evaluate()), BiometricContext::biometryNotEnrolled);

    enrol("finger-a");
    EXPECT_TRUE(available());

    const struct
    {
        const char* name;
        std::function<void(FingerprintContext&)> whileVerifying;
        int code;
    } cases[] = {
        {"the enrolled finger", readerDoes({"SCAN finger-a"}), recognised},
        {"another finger", readerDoes({"SCAN finger-b"}), BiometricContext::authenticationFailed},
        {"retries, then the finger", readerDoes({"RETRY 0", "RETRY 1", "RETRY 2", "RETRY 3", "SCAN finger-a"}),
         recognised},
        {"a reader error", readerDoes({"ERROR 0"}), 0}, // verify-unknown-error: offered again
        {"the reader removed", readerDoes({"ERROR 5"}), BiometricContext::biometryNotAvailable}, // verify-disconnected
        {"invalidated", [](FingerprintContext& c) { c.invalidate(); }, BiometricContext::appCancel},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(code(evaluate(c.whileVerifying)), c.code);
        EXPECT_TRUE(otherClaims()); // the reply comes after the release
    }

    ASSERT_TRUE(deviceCall("Claim", {QString()}));
    EXPECT_EQ(code(evaluate()), BiometricContext::systemCancel);
    ASSERT_TRUE(deviceCall("Release"));

    {
        FingerprintContext destroyed(bus);
        destroyed.evaluate("unlock", [](Outcome) {});
        ASSERT_TRUE(QTest::qWaitFor([&] { return fingerNeeded(); }, 30000));
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return otherClaims(); }, 30000));

    allow({});
    EXPECT_EQ(code(evaluate()), BiometricContext::biometryNotAvailable); // PermissionDenied
    allow({"net.reactivated.fprint.device.verify"});
    EXPECT_EQ(code(evaluate(readerDoes({"UNPLUG"}))), 0);
    EXPECT_FALSE(available());
    EXPECT_EQ(code(evaluate()), BiometricContext::biometryNotAvailable); // NoSuchDevice
}

TEST_F(FingerprintTest, AnAbsentOrSilentFprintdMeansNoFingerprint)
{
    ASSERT_TRUE(redirected);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(available(std::chrono::seconds(20)));
    EXPECT_LT(clock.elapsed(), 10000); // the bus said so: no waiting for the deadline
    EXPECT_EQ(code(evaluate()), BiometricContext::biometryNotAvailable);

    const QString manager = QStringLiteral("/net/reactivated/Fprint/Manager");
    test::Daemon silent("/usr/bin/python3",
                        {"-m", "dbusmock", "--system", kFprint.toStdString(), manager.toStdString(),
                         (kFprint + ".Manager").toStdString()},
                        kFprint.toStdString());
    call(bus, kFprint, manager, "org.freedesktop.DBus.Mock", "AddMethod",
         {"", "GetDefaultDevice", "", "o", "import time; time.sleep(120)"});
    EXPECT_FALSE(available(std::chrono::milliseconds(300)));
    Outcome late = evaluate({}, std::chrono::milliseconds(300));
    EXPECT_EQ(code(late), 0);
    EXPECT_EQ(late.error().domain, "org.freedesktop.DBus.Error.NoReply");
}
