// SessionWatcher: logind's sleep and lock events for this user session, as Qt signals.
#pragma once

#include <QObject>
#include <QString>

#include "sys/Environment.h"

namespace vantorelle {

// Listens on the system bus: PrepareForSleep(true) → aboutToSleep(), PrepareForSleep(false) →
// woke(), the session's Lock → lockRequested(). The session is XDG_SESSION_ID, or logind's
// "auto" (the caller's session) when that is unset; it is looked up asynchronously. Without a
// system bus or logind it logs once and never signals. GUI thread; never blocks.
class SessionWatcher : public QObject
{
    Q_OBJECT
public:
    explicit SessionWatcher(const Environment& env = Environment::current(), QObject* parent = nullptr);

    // True once the session's Lock signal is being listened to (tests wait for it).
    bool watchingLock() const { return m_watchingLock; }

    static constexpr int kCallTimeoutMs = 5000;

Q_SIGNALS:
    void aboutToSleep();
    void woke();
    void lockRequested();
    void lockWatchChanged();

private Q_SLOTS:
    void prepareForSleep(bool start);
    void sessionLock();

private:
    bool m_watchingLock = false;
};

} // namespace vantorelle
