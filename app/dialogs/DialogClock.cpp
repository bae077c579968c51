#include "dialogs/DialogClock.h"

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>

namespace vantorelle {

EventLoopClock::EventLoopClock(QObject* owner)
    : m_owner(owner)
{
}

double EventLoopClock::now() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void EventLoopClock::after(double seconds, std::function<void()> work)
{
    const auto ms = std::chrono::milliseconds(std::lround(std::max(0.0, seconds) * 1000));
    QTimer::singleShot(ms, m_owner, std::move(work));
}

} // namespace vantorelle
