// BackgroundNotifier: tells the user that a background process asked for a key, and routes the click back.
#pragma once

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <functional>

namespace vantorelle {

// Talks to org.freedesktop.Notifications on the session bus. Every call is asynchronous with a
// deadline, so nothing here blocks. Lives on the GUI thread: create it there and call post() there
// only (a worker hops first, with QMetaObject::invokeMethod). `onOpen` runs on the GUI thread.
class BackgroundNotifier : public QObject
{
    Q_OBJECT
public:
    explicit BackgroundNotifier(QObject* parent = nullptr);

    // Called with the requester's display name when the user clicks its notification.
    std::function<void(const QString& requester)> onOpen;

    // Shows the notification for `requester`, replacing the one this requester already has. No
    // notification server is logged ("notification not posted: ...") and otherwise ignored.
    void post(const QString& requester);

    static constexpr int kCallTimeoutMs = 5000;

private Q_SLOTS:
    void actionInvoked(uint id, const QString& action);
    void notificationClosed(uint id, uint reason);

private:
    void send(const QString& requester);

    QHash<QString, uint> m_ids; // requester -> the server's id of its notification
    QHash<uint, QString> m_requesters; // the reverse, for clicks
    QSet<QString> m_inFlight; // requesters whose Notify has not been answered yet
    QSet<QString> m_again; // requesters posted again while their Notify was in flight
};

} // namespace vantorelle
