// The fingerprint context against the real fprintd with libfprint's virtual reader, the private bus
// standing in for the system bus and python3-dbusmock's polkitd allowing what fprintd asks.
#include <QDBusObjectPath>
#include <optional>

#include "BusServices.h"
#include "ipc/SocketIO.h"
#include "platform/FingerprintContext.h"
#include "support/TempDir.h"

using namespace vantorelle;
using namespace std::chrono_literals;

namespace {

using Outcome = std::expected<bool, BiometricContext::Error>;
const QString kFprint = QStringLiteral("net.reactivated.Fprint"), kDevice = kFprint + ".Device",
              kManager = QStringLiteral("/net/reactivated/Fprint/Manager");
constexpr int recognised = 1;

const auto code = [](const Outcome& o) { return o ? (*o ? recognised : 2) : o.error().dialogCode(); };

class Fingerprint : public ::testing::Test
{
protected:
    test::QtApp app;
    TempDir dir{"vtfp"};
    std::string reader = dir.path().string() + "/reader";
    QDBusConnection bus = QDBusConnection::systemBus();
    // Another program: fprintd ties a claim to the connection that made it.
    QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("other"));
    QString device;

    void allow(const QStringList& actions)
    {
        test::busCall("org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
                      "org.freedesktop.DBus.Mock", "SetAllowed", {actions});
    }
    bool deviceCall(const char* method, const QVariantList& args = {})
    {
        return test::busCall(kFprint, device, kDevice, method, args, other).type() == QDBusMessage::ReplyMessage;
    }
    // The reader is free when another program's claim succeeds.
    bool otherClaims() { return deviceCall("Claim", {QString()}) && deviceCall("Release"); }
    bool fingerNeeded()
    {
        const QVariantList property{kDevice, "finger-needed"};
        const auto reply = test::busCall(kFprint, device, "org.freedesktop.DBus.Properties", "Get", property, other);
        return reply.arguments().value(0).value<QDBusVariant>().variant().toBool();
    }

    bool available(std::chrono::milliseconds deadline = 10s)
    {
        std::optional<bool> answer;
        fingerprintAvailable([&](bool a) { answer = a; }, bus, deadline);
        EXPECT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 30000));
        return answer.value_or(true);
    }

    // One evaluation to its reply. Once fprintd waits for a finger, the virtual reader is sent
    // `whileVerifying` (SCAN <id>, RETRY <kind>, ERROR <libfprint error>, UNPLUG), where "invalidate"
    // invalidates the context instead.
    Outcome evaluate(const std::vector<std::string>& whileVerifying = {}, std::chrono::milliseconds callTimeout = 5s)
    {
        FingerprintContext context(bus, callTimeout);
        std::optional<Outcome> outcome;
        int replies = 0;
        context.evaluate("unlock", [&](Outcome o) { outcome = o, ++replies; });
        EXPECT_TRUE(whileVerifying.empty() || QTest::qWaitFor([&] { return fingerNeeded(); }, 30000));
        for (const std::string& command : whileVerifying) {
            command == "invalidate" ? context.invalidate() : send(command);
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
        auto fd = SocketIO::connectSocket(reader, std::chrono::steady_clock::now() + 10s);
        ASSERT_TRUE(fd && io::writeAll(fd->get(), command));
    }
};

} // namespace

TEST_F(Fingerprint, AbsentOrSilentServiceThenOneClaimPerEvaluationAlwaysGivenBack)
{
    // No fprintd: the bus says so at once, without waiting for the deadline.
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(available(20s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_EQ(code(evaluate()), BiometricContext::biometryNotAvailable);
    {
        // An fprintd that never answers: the deadline ends it.
        test::Daemon silent
            = test::dbusmock({kFprint.toStdString(), kManager.toStdString(), (kFprint + ".Manager").toStdString()},
                             kFprint.toStdString());
        test::busCall(kFprint, kManager, "org.freedesktop.DBus.Mock", "AddMethod",
                      {"", "GetDefaultDevice", "", "o", "import time; time.sleep(120)"});
        EXPECT_FALSE(available(300ms));
        Outcome late = evaluate({}, 300ms);
        EXPECT_EQ(code(late), 0);
        EXPECT_EQ(late.error().domain, "org.freedesktop.DBus.Error.NoReply");
    }

    test::Daemon polkit = test::dbusmock({"-t", "polkitd"}, "org.freedesktop.PolicyKit1");
    allow({"net.reactivated.fprint.device.verify", "net.reactivated.fprint.device.enroll"});
    test::Daemon fprintd("/usr/bin/env",
                         {"FP_VIRTUAL_DEVICE=" + reader, "FP_DRIVERS_WHITELIST=virtual_device",
                          "STATE_DIRECTORY=" + dir.path().string(), "/usr/libexec/fprintd", "-t"},
                         kFprint.toStdString());
    const auto found = test::busCall(kFprint, kManager, kFprint + ".Manager", "GetDefaultDevice").arguments();
    device = found.value(0).value<QDBusObjectPath>().path();
    ASSERT_FALSE(device.isEmpty());
    EXPECT_FALSE(available());
    EXPECT_EQ(code(evaluate()), BiometricContext::biometryNotEnrolled);

    // One touch enrols: the virtual reader is told to want a single stage.
    ASSERT_TRUE(deviceCall("Claim", {QString()}));
    send("SET_ENROLL_STAGES 1");
    ASSERT_TRUE(deviceCall("EnrollStart", {"right-index-finger"}));
    send("SCAN finger-a");
    EXPECT_TRUE(QTest::qWaitFor([&] { return deviceCall("ListEnrolledFingers", {QString()}); }, 30000));
    deviceCall("EnrollStop");
    ASSERT_TRUE(deviceCall("Release"));
    EXPECT_TRUE(available());

    // What the virtual reader does while fprintd waits for a finger; every reply comes after the release.
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"SCAN finger-a"}, recognised},
        {{"SCAN finger-b"}, BiometricContext::authenticationFailed},
        {{"RETRY 0", "RETRY 1", "RETRY 2", "RETRY 3", "SCAN finger-a"}, recognised},
        {{"ERROR 0"}, 0}, // verify-unknown-error: offered again
        {{"ERROR 5"}, BiometricContext::biometryNotAvailable}, // verify-disconnected
        {{"invalidate"}, BiometricContext::appCancel},
    };
    for (const auto& [whileVerifying, expected] : cases) {
        SCOPED_TRACE(whileVerifying.front());
        EXPECT_EQ(code(evaluate(whileVerifying)), expected);
        EXPECT_TRUE(otherClaims());
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
    EXPECT_EQ(code(evaluate({"UNPLUG"})), 0);
    EXPECT_FALSE(available());
    EXPECT_EQ(code(evaluate()), BiometricContext::biometryNotAvailable); // NoSuchDevice
}
