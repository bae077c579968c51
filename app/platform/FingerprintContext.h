// FingerprintContext: one fingerprint approval through fprintd (net.reactivated.Fprint on the system
// bus): a claim of the default reader and one verification, released whatever happens.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <chrono>
#include <expected>
#include <functional>
#include <optional>

#include "platform/BiometricContext.h"

class QDBusError;
class QDBusMessage;
class QDBusServiceWatcher;

namespace vantorelle {

class FingerprintContext : public QObject, public BiometricContext
{
    Q_OBJECT
public:
    // `callTimeout` bounds every call to fprintd; the wait for a finger itself is the dialog's to end.
    explicit FingerprintContext(QDBusConnection bus = QDBusConnection::systemBus(),
                                std::chrono::milliseconds callTimeout = std::chrono::seconds(5));
    // Releases the reader without waiting; a pending reply is dropped (its owner is gone).
    ~FingerprintContext() override;

    // The reply comes once the reader is released again, so the next claim finds it free.
    void evaluate(const std::string& reason, Reply reply) override;
    void invalidate() override;

    // One VerifyStatus result as an outcome; nullopt while the verification goes on (the retry
    // results, and anything else with `done` false).
    static std::optional<std::expected<bool, Error>> verifyOutcome(const QString& result, bool done);
    // A failed call to fprintd as an outcome.
    static Error callError(const QDBusError& error);

private Q_SLOTS:
    void verifyStatus(const QString& result, bool done);

private:
    enum class Stage { idle, starting, verifying, releasing, finished };

    using Step = std::function<void(FingerprintContext* self, const QDBusMessage& reply)>;
    void call(const QString& path, const QString& interface, const QString& method, const QVariantList& args,
              Step then);
    void claimed(const QDBusMessage& reply);
    void end(std::expected<bool, Error> outcome);
    void releaseStep();

    QDBusConnection m_bus;
    std::chrono::milliseconds m_timeout;
    QDBusServiceWatcher* m_watcher;
    Stage m_stage = Stage::idle;
    QString m_device;
    bool m_claimed = false;
    bool m_verifying = false;
    bool m_listening = false;
    bool m_invalidated = false;
    Reply m_reply;
    std::optional<std::expected<bool, Error>> m_outcome;
};

// Answers once, on the GUI thread, whether fprintd has a default reader with fingers enrolled for
// the current user; false on any failure or past `deadline`. Claims nothing.
void fingerprintAvailable(std::move_only_function<void(bool)> reply, QDBusConnection bus = QDBusConnection::systemBus(),
                          std::chrono::milliseconds deadline = std::chrono::milliseconds(1500));

} // namespace vantorelle
