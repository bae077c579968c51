// BackgroundNotifier: Notify with replaces_id per requester; ActionInvoked "default" is the click.
#include "platform/BackgroundNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include "Vantorelle.h"
#include "i18n/L.h"
#include "platform/AppText.h"
#include "platform/Log.h"

namespace vantorelle {
namespace {

constexpr std::string_view kCategory = "notify";
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

void notPosted(const QString& reason)
{
    applog::error(kCategory, "notification not posted: " + reason.toStdString());
}

} // namespace

BackgroundNotifier::BackgroundNotifier(QObject* parent)
    : QObject(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return; // post() says so when it is used
    }
    // Servers send these only to the connection that called Notify: ours.
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                SLOT(notificationClosed(uint, uint)));
}

void BackgroundNotifier::post(const QString& requester)
{
    // The server's id comes with the answer; a second post before it would make a second
    // notification instead of replacing the first.
    if (m_inFlight.contains(requester)) {
        m_again.insert(requester);
        return;
    }
    send(requester);
}

void BackgroundNotifier::send(const QString& requester)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        notPosted(QStringLiteral("no session bus"));
        return;
    }
    const std::string name = requester.toStdString();
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("requester"), requester},
        {QStringLiteral("desktop-entry"), QString::fromUtf8(Vantorelle::bundleID.data(), Vantorelle::bundleID.size())},
    };
    call << text("app.name") << m_ids.value(requester, 0u)
         << QString::fromUtf8(Vantorelle::bundleID.data(), Vantorelle::bundleID.size())
         << text("notify.background.title", {name}) << text("notify.background.body")
         << QStringList{QStringLiteral("default"), text("notify.background.open")} << hints << -1;
    m_inFlight.insert(requester);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, requester](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        m_inFlight.remove(requester);
        QDBusPendingReply<uint> reply = *done;
        if (reply.isError()) {
            notPosted(reply.error().message());
        } else {
            const uint id = reply.value();
            if (const uint old = m_ids.value(requester, 0u); old != 0 && old != id) {
                m_requesters.remove(old);
            }
            m_ids.insert(requester, id);
            m_requesters.insert(id, requester);
        }
        if (m_again.remove(requester)) {
            send(requester);
        }
    });
}

void BackgroundNotifier::actionInvoked(uint id, const QString& action)
{
    if (action != QLatin1String("default")) {
        return;
    }
    const auto found = m_requesters.constFind(id);
    if (found == m_requesters.constEnd()) {
        return; // not ours, or ours without a requester: nothing to open
    }
    const QString requester = *found;
    if (onOpen) {
        onOpen(requester);
    }
}

void BackgroundNotifier::notificationClosed(uint id, uint)
{
    const auto found = m_requesters.constFind(id);
    if (found == m_requesters.constEnd()) {
        return;
    }
    m_ids.remove(*found);
    m_requesters.erase(found);
}

} // namespace vantorelle
