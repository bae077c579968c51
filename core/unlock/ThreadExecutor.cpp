// ThreadExecutor: a serial executor that owns one thread; the unlock coordinator's home in the app.
#include "unlock/ThreadExecutor.h"

#include <vector>

#include "sys/Check.h"

namespace vantorelle {

ThreadExecutor::ThreadExecutor()
    : m_thread([this] { run(); })
{
}

ThreadExecutor::~ThreadExecutor()
{
    VANTORELLE_CHECK(!isCurrent());
    {
        std::lock_guard lock(m_lock);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();

    // Destroy what never ran outside the lock: a task's captures may post again on the way out.
    std::map<std::pair<Clock::time_point, std::uint64_t>, Task> delayed;
    std::deque<Task> ready;
    {
        std::lock_guard lock(m_lock);
        m_closed = true;
        delayed.swap(m_delayed);
        ready.swap(m_ready);
    }
}

void ThreadExecutor::post(Task task)
{
    {
        std::lock_guard lock(m_lock);
        // A closed executor lets `task` go when this function returns, outside the lock.
        if (!m_closed) {
            m_ready.push_back(std::move(task));
        }
    }
    m_wake.notify_one();
}

void ThreadExecutor::postAfter(Seconds delay, Task task)
{
    const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(delay);
    {
        std::lock_guard lock(m_lock);
        if (!m_closed && !m_stopping) {
            m_delayed.emplace(std::make_pair(due, m_sequence++), std::move(task));
        }
    }
    m_wake.notify_one();
}

bool ThreadExecutor::isCurrent() const
{
    return std::this_thread::get_id() == m_thread.get_id();
}

void ThreadExecutor::run()
{
    std::unique_lock lock(m_lock);
    for (;;) {
        // Move delayed tasks that fell due behind the ready ones, in due order.
        const auto now = Clock::now();
        while (!m_delayed.empty() && m_delayed.begin()->first.first <= now && !m_stopping) {
            m_ready.push_back(std::move(m_delayed.begin()->second));
            m_delayed.erase(m_delayed.begin());
        }
        if (!m_ready.empty()) {
            Task task = std::move(m_ready.front());
            m_ready.pop_front();
            lock.unlock();
            task();
            task = nullptr; // captures go before the lock is taken again
            lock.lock();
            continue;
        }
        if (m_stopping) {
            return;
        }
        if (m_delayed.empty()) {
            m_wake.wait(lock);
        } else {
            m_wake.wait_until(lock, m_delayed.begin()->first.first);
        }
    }
}

} // namespace vantorelle
