// SessionWatcher: PrepareForSleep on the manager, Lock on our session object.
#include "platform/SessionWatcher.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include "platform/Log.h"

namespace vantorelle {
namespace {

constexpr std::string_view kCategory = "app";
const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSession = QStringLiteral("org.freedesktop.login1.Session");

} // namespace

SessionWatcher::SessionWatcher(const Environment& env, QObject* parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        applog::notice(kCategory, "logind not watched: no system bus");
        return;
    }
    bus.connect(kService, kManagerPath, kManager, QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));

    const QString session = QString::fromStdString(env.nonEmpty("XDG_SESSION_ID").value_or("auto"));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kManagerPath, kManager, QStringLiteral("GetSession"));
    call << session;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        QDBusPendingReply<QDBusObjectPath> reply = *done;
        if (reply.isError()) {
            applog::notice(kCategory, "session lock not watched: " + reply.error().message().toStdString());
            return;
        }
        m_watchingLock = QDBusConnection::systemBus().connect(kService, reply.value().path(), kSession,
                                                              QStringLiteral("Lock"), this, SLOT(sessionLock()));
        Q_EMIT lockWatchChanged();
    });
}

void SessionWatcher::prepareForSleep(bool start)
{
    if (start) {
        Q_EMIT aboutToSleep();
    } else {
        Q_EMIT woke();
    }
}

void SessionWatcher::sessionLock()
{
    Q_EMIT lockRequested();
}

} // namespace vantorelle
