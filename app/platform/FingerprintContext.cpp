// FingerprintContext: fprintd's calls chained asynchronously, each with a deadline; the claim is
// given back before the reply goes out.
#include "platform/FingerprintContext.h"

#include <QCoreApplication>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QPointer>
#include <QTimer>
#include <memory>
#include <string_view>

namespace vantorelle {
namespace {

const QString kService = QStringLiteral("net.reactivated.Fprint");
const QString kManagerPath = QStringLiteral("/net/reactivated/Fprint/Manager");
const QString kManager = QStringLiteral("net.reactivated.Fprint.Manager");
const QString kDevice = QStringLiteral("net.reactivated.Fprint.Device");

using Error = BiometricContext::Error;
using Outcome = std::expected<bool, Error>;

struct Mapping
{
    std::string_view fprintd;
    int code;
    const char* description;
};

// What fprintd reports and what the dialog makes of it:
//   verify-match                                  success (true)
//   verify-no-match                               authenticationFailed
//   verify-retry-scan, verify-swipe-too-short,
//   verify-finger-not-centered,
//   verify-remove-and-retry                       the evaluation goes on (done=false)
//   verify-disconnected                           biometryNotAvailable
//   NoSuchDevice, PermissionDenied, no fprintd    biometryNotAvailable
//   NoEnrolledPrints                              biometryNotEnrolled
//   AlreadyInUse                                  systemCancel
//   invalidate()                                  appCancel
//   verify-unknown-error, anything else           foreign (domain "fprintd" or the D-Bus error
//                                                 name, code 0): the dialog offers another try
constexpr Mapping kVerifyResults[] = {
    {"verify-no-match", BiometricContext::authenticationFailed, "Fingerprint not recognised"},
    {"verify-disconnected", BiometricContext::biometryNotAvailable, "The fingerprint reader was disconnected"},
};
constexpr Mapping kCallErrors[] = {
    {"net.reactivated.Fprint.Error.NoSuchDevice", BiometricContext::biometryNotAvailable, "No fingerprint reader"},
    {"net.reactivated.Fprint.Error.PermissionDenied", BiometricContext::biometryNotAvailable,
     "Not allowed to use the fingerprint reader"},
    {"org.freedesktop.DBus.Error.ServiceUnknown", BiometricContext::biometryNotAvailable,
     "The fingerprint service is not running"},
    {"net.reactivated.Fprint.Error.NoEnrolledPrints", BiometricContext::biometryNotEnrolled,
     "No fingerprints enrolled"},
    {"net.reactivated.Fprint.Error.AlreadyInUse", BiometricContext::systemCancel,
     "The fingerprint reader is in use by another application"},
};

Error appCancelled()
{
    return {BiometricContext::appCancel, "Cancelled", {}};
}

// Through the event loop, so it is never called from inside evaluate() or invalidate(), and
// delivered even if the context goes away meanwhile.
void post(BiometricContext::Reply reply, Outcome outcome)
{
    auto shared = std::make_shared<BiometricContext::Reply>(std::move(reply));
    QTimer::singleShot(0, QCoreApplication::instance(), [shared, outcome] {
        if (*shared) {
            (*shared)(outcome);
        }
    });
}

QDBusMessage deviceCall(const QString& device, const char* method, const QVariantList& args = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, device, kDevice, QString::fromLatin1(method));
    message.setArguments(args);
    return message;
}

} // namespace

FingerprintContext::FingerprintContext(QDBusConnection bus, std::chrono::milliseconds callTimeout)
    : m_bus(bus)
    , m_timeout(callTimeout)
    , m_watcher(new QDBusServiceWatcher(kService, m_bus, QDBusServiceWatcher::WatchForUnregistration, this))
{
    connect(m_watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        // Only while waiting for a finger: in the other stages a call is out and its deadline ends it.
        if (m_stage == Stage::verifying) {
            m_claimed = m_verifying = false; // the claim went with the daemon
            end(std::unexpected(Error{biometryNotAvailable, "The fingerprint service stopped", {}}));
        }
    });
}

FingerprintContext::~FingerprintContext()
{
    // Not waited for: the messages leave in order, and fprintd's Release also ends a verification.
    if (m_verifying) {
        m_bus.send(deviceCall(m_device, "VerifyStop"));
    }
    if (m_claimed) {
        m_bus.send(deviceCall(m_device, "Release"));
    }
}

void FingerprintContext::evaluate(const std::string& /*reason: fprintd shows none*/, Reply reply)
{
    if (m_stage != Stage::idle) {
        post(std::move(reply), std::unexpected(Error{0, "This approval was already used", "fprintd"}));
        return;
    }
    m_reply = std::move(reply);
    m_stage = Stage::starting;
    if (m_invalidated) {
        end(std::unexpected(appCancelled()));
        return;
    }
    call(kManagerPath, kManager, QStringLiteral("GetDefaultDevice"), {},
         [](FingerprintContext* self, const QDBusMessage& found) {
             if (!self) {
                 return;
             }
             if (self->m_invalidated || found.type() != QDBusMessage::ReplyMessage) {
                 self->end(std::unexpected(self->m_invalidated ? appCancelled() : callError(QDBusError(found))));
                 return;
             }
             self->m_device = found.arguments().value(0).value<QDBusObjectPath>().path();
             // The claim answers after this context may be gone: then it is given back at once.
             self->call(
                 self->m_device, kDevice, QStringLiteral("Claim"), {QString()},
                 [bus = self->m_bus, device = self->m_device](FingerprintContext* owner, const QDBusMessage& claim) {
                     if (owner) {
                         owner->claimed(claim);
                     } else if (claim.type() == QDBusMessage::ReplyMessage) {
                         QDBusConnection(bus).send(deviceCall(device, "Release"));
                     }
                 });
         });
}

void FingerprintContext::claimed(const QDBusMessage& reply)
{
    m_claimed = reply.type() == QDBusMessage::ReplyMessage;
    if (m_invalidated || !m_claimed) {
        end(std::unexpected(m_invalidated ? appCancelled() : callError(QDBusError(reply))));
        return;
    }
    m_listening = m_bus.connect(kService, m_device, kDevice, QStringLiteral("VerifyStatus"), this,
                                SLOT(verifyStatus(QString, bool)));
    if (!m_listening) {
        end(std::unexpected(Error{0, "Cannot follow the fingerprint reader", "fprintd"}));
        return;
    }
    call(m_device, kDevice, QStringLiteral("VerifyStart"), {QStringLiteral("any")},
         [](FingerprintContext* self, const QDBusMessage& started) {
             if (!self || self->m_outcome) {
                 return;
             }
             self->m_verifying = started.type() == QDBusMessage::ReplyMessage;
             if (self->m_invalidated || !self->m_verifying) {
                 self->end(std::unexpected(self->m_invalidated ? appCancelled() : callError(QDBusError(started))));
                 return;
             }
             self->m_stage = Stage::verifying;
         });
}

void FingerprintContext::invalidate()
{
    m_invalidated = true;
    // While a call is out its answer decides what there is to release; it sees the flag.
    if (m_stage == Stage::verifying) {
        end(std::unexpected(appCancelled()));
    }
}

void FingerprintContext::verifyStatus(const QString& result, bool done)
{
    if (m_stage != Stage::starting && m_stage != Stage::verifying) {
        return;
    }
    if (auto outcome = verifyOutcome(result, done)) {
        end(std::move(*outcome));
    }
}

std::optional<Outcome> FingerprintContext::verifyOutcome(const QString& result, bool done)
{
    const std::string name = result.toStdString();
    if (name == "verify-match") {
        return true;
    }
    for (const Mapping& m : kVerifyResults) {
        if (name == m.fprintd) {
            return std::unexpected(Error{m.code, m.description, {}});
        }
    }
    // The retry results, and whatever else leaves the verification running.
    if (!done) {
        return std::nullopt;
    }
    return std::unexpected(Error{0, "The fingerprint reader failed (" + name + ")", "fprintd"});
}

BiometricContext::Error FingerprintContext::callError(const QDBusError& error)
{
    const std::string name = error.name().toStdString();
    for (const Mapping& m : kCallErrors) {
        if (name == m.fprintd) {
            return {m.code, m.description, {}};
        }
    }
    if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout) {
        return {0, "The fingerprint service did not answer", name};
    }
    return {0, "The fingerprint reader failed", name.empty() ? std::string("fprintd") : name};
}

void FingerprintContext::end(Outcome outcome)
{
    if (m_outcome) {
        return;
    }
    m_outcome = std::move(outcome);
    m_stage = Stage::releasing;
    if (m_listening) {
        m_listening = false;
        m_bus.disconnect(kService, m_device, kDevice, QStringLiteral("VerifyStatus"), this,
                         SLOT(verifyStatus(QString, bool)));
    }
    releaseStep();
}

void FingerprintContext::releaseStep()
{
    // VerifyStop also after a finished verification: fprintd keeps the action until told.
    const auto next = [](FingerprintContext* self, const QDBusMessage&) {
        if (self) {
            self->releaseStep();
        }
    };
    if (m_verifying) {
        m_verifying = false;
        call(m_device, kDevice, QStringLiteral("VerifyStop"), {}, next);
    } else if (m_claimed) {
        m_claimed = false;
        call(m_device, kDevice, QStringLiteral("Release"), {}, next);
    } else {
        m_stage = Stage::finished;
        post(std::move(m_reply), std::move(*m_outcome));
        m_reply = nullptr;
    }
}

void FingerprintContext::call(const QString& path, const QString& interface, const QString& method,
                              const QVariantList& args, Step then)
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
    message.setArguments(args);
    // Parentless: an answer that comes after this context is gone still releases what it claimed.
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message, static_cast<int>(m_timeout.count())));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [self = QPointer<FingerprintContext>(this), then = std::move(then)](QDBusPendingCallWatcher* w) {
                         w->deleteLater();
                         then(self.data(), w->reply());
                     });
}

void fingerprintAvailable(std::move_only_function<void(bool)> reply, QDBusConnection bus,
                          std::chrono::milliseconds deadline)
{
    // Owns the timer and both calls; gone with the answer, so nothing answers twice.
    auto* holder = new QObject(QCoreApplication::instance());
    auto state = std::make_shared<std::move_only_function<void(bool)>>(std::move(reply));
    auto answer = [state, holder](bool available) {
        if (*state) {
            auto r = std::move(*state);
            *state = nullptr;
            holder->deleteLater();
            r(available);
        }
    };
    const int timeout = static_cast<int>(deadline.count());
    QTimer::singleShot(deadline, holder, [answer] { answer(false); });
    auto* lookup
        = new QDBusPendingCallWatcher(bus.asyncCall(QDBusMessage::createMethodCall(kService, kManagerPath, kManager,
                                                                                   QStringLiteral("GetDefaultDevice")),
                                                    timeout),
                                      holder);
    QObject::connect(lookup, &QDBusPendingCallWatcher::finished, holder, [=](QDBusPendingCallWatcher* w) {
        const QDBusMessage device = w->reply();
        if (device.type() != QDBusMessage::ReplyMessage) {
            answer(false);
            return;
        }
        auto* list = new QDBusPendingCallWatcher(
            QDBusConnection(bus).asyncCall(deviceCall(device.arguments().value(0).value<QDBusObjectPath>().path(),
                                                      "ListEnrolledFingers", {QString()}),
                                           timeout),
            holder);
        QObject::connect(list, &QDBusPendingCallWatcher::finished, holder, [answer](QDBusPendingCallWatcher* listed) {
            const QDBusMessage fingers = listed->reply();
            answer(fingers.type() == QDBusMessage::ReplyMessage
                   && !fingers.arguments().value(0).toStringList().isEmpty());
        });
    });
}

} // namespace vantorelle
