// DialogClock: the dialogs' sense of time, so their delays and animations can be tested without sleeping.
#pragma once

#include <functional>

class QObject;

namespace vantorelle {

class DialogClock
{
public:
    virtual ~DialogClock() = default;
    // Seconds on a monotonic clock.
    virtual double now() const = 0;
    // Runs `work` on the GUI thread after `seconds`; never before the caller returns.
    virtual void after(double seconds, std::function<void()> work) = 0;
};

// The GUI event loop's timers. Work still pending when `owner` goes away is dropped.
class EventLoopClock final : public DialogClock
{
public:
    explicit EventLoopClock(QObject* owner);
    double now() const override;
    void after(double seconds, std::function<void()> work) override;

private:
    QObject* m_owner;
};

} // namespace vantorelle
