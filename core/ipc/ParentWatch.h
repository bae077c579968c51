// ParentWatch: runs an action once when this process's parent goes away.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "sys/Fd.h"

namespace vantorelle {

// Two independent signals, because either alone can miss the event: the kernel's exit
// notification on the parent's pidfd, and a periodic getppid() check that notices re-parenting.
// One owned thread waits for both; `onExit` runs on that thread, at most once.
class ParentWatch
{
public:
    // No watch (nullptr) when `pid` is below 2. `pid` is assumed to be the caller's parent: with
    // any other pid the watch fires at the first tick. `pollInterval` is in seconds (> 0).
    static std::unique_ptr<ParentWatch> create(std::int32_t pid, double pollInterval, std::function<void()> onExit);

    // Cancels and joins the thread.
    ~ParentWatch();
    ParentWatch(const ParentWatch&) = delete;
    ParentWatch& operator=(const ParentWatch&) = delete;

    // After cancel() returns, `onExit` is not called any more (an action already running on the
    // watch thread is waited for, unless cancel() is called from that action).
    void cancel();

private:
    ParentWatch(std::int32_t pid, double pollInterval, std::function<void()> onExit, Fd pidFd, Fd wakeRead,
                Fd wakeWrite);
    void run();
    void fire();

    const std::int32_t m_pid;
    const double m_pollInterval;
    const std::function<void()> m_onExit;
    Fd m_pidFd; // invalid when pidfd_open is unavailable or the parent was already gone
    Fd m_wakeRead;
    Fd m_wakeWrite;
    std::mutex m_lock;
    bool m_fired = false;
    bool m_cancelled = false;
    std::mutex m_joinLock;
    std::thread m_thread;
};

} // namespace vantorelle
