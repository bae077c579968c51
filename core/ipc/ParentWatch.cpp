// ParentWatch: a pidfd and a getppid() tick, watched by one thread.
#include "ipc/ParentWatch.h"

#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sys/Io.h"
#include "sys/Pipe.h"

namespace vantorelle {

std::unique_ptr<ParentWatch> ParentWatch::create(std::int32_t pid, double pollInterval, std::function<void()> onExit)
{
    if (pid < 2) {
        return nullptr;
    }
    auto wake = Pipe::create();
    if (!wake) {
        return nullptr;
    }
    // pidfd_open(2) descriptors are always close-on-exec. ESRCH (the parent is already gone) or
    // ENOSYS leaves the tick to notice.
    Fd pidFd(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
    auto watch = std::unique_ptr<ParentWatch>(new ParentWatch(pid, pollInterval, std::move(onExit), std::move(pidFd),
                                                              std::move(wake->read), std::move(wake->write)));
    watch->m_thread = std::thread([raw = watch.get()] { raw->run(); });
    return watch;
}

ParentWatch::ParentWatch(std::int32_t pid, double pollInterval, std::function<void()> onExit, Fd pidFd, Fd wakeRead,
                         Fd wakeWrite)
    : m_pid(pid)
    , m_pollInterval(pollInterval > 0 ? pollInterval : 0.001)
    , m_onExit(std::move(onExit))
    , m_pidFd(std::move(pidFd))
    , m_wakeRead(std::move(wakeRead))
    , m_wakeWrite(std::move(wakeWrite))
{
}

ParentWatch::~ParentWatch()
{
    cancel();
    std::lock_guard guard(m_joinLock);
    if (m_thread.joinable()) {
        // Destroyed from inside its own action: the thread cannot join itself.
        if (m_thread.get_id() == std::this_thread::get_id()) {
            m_thread.detach();
        } else {
            m_thread.join();
        }
    }
}

void ParentWatch::cancel()
{
    bool wake = false;
    {
        std::lock_guard guard(m_lock);
        wake = !m_cancelled;
        m_cancelled = true;
    }
    if (wake) {
        const char byte = 1;
        (void)io::writeAll(m_wakeWrite.get(), {&byte, 1});
    }
    std::lock_guard guard(m_joinLock);
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
        m_thread.join();
    }
}

void ParentWatch::fire()
{
    {
        std::lock_guard guard(m_lock);
        if (m_fired || m_cancelled) {
            return;
        }
        m_fired = true;
    }
    m_onExit();
}

void ParentWatch::run()
{
    using namespace std::chrono;
    const auto interval = duration_cast<steady_clock::duration>(duration<double>(m_pollInterval));
    auto nextTick = steady_clock::now() + interval;
    while (true) {
        pollfd fds[2] = {{m_wakeRead.get(), POLLIN, 0}, {m_pidFd.get(), POLLIN, 0}};
        // A negative descriptor is ignored by poll(2), so a missing pidfd needs no special case.
        const int ready = ::poll(fds, 2, io::pollTimeout(nextTick));
        if (ready < 0 && errno != EINTR) {
            // poll(2) itself failed (out of memory): keep the tick going without the pidfd.
            std::this_thread::sleep_until(nextTick);
            std::lock_guard guard(m_lock);
            if (m_cancelled) {
                return;
            }
        }
        if (ready > 0 && fds[0].revents != 0) {
            return;
        }
        if (ready > 0 && fds[1].revents != 0) {
            fire();
            return;
        }
        if (steady_clock::now() >= nextTick) {
            if (::getppid() != m_pid) {
                fire();
                return;
            }
            // Fixed-rate ticks; after a long stall, start again from now instead of bursting.
            nextTick += interval;
            if (nextTick <= steady_clock::now()) {
                nextTick = steady_clock::now() + interval;
            }
        }
    }
}

} // namespace vantorelle
