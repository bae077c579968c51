// ManualExecutor: a serial executor driven by hand, for deterministic tests of actor code.
#include "unlock/ManualExecutor.h"

#include <algorithm>

namespace vantorelle {

void ManualExecutor::post(Task task)
{
    std::lock_guard lock(m_lock);
    m_ready.push_back(std::move(task));
}

void ManualExecutor::postAfter(Seconds delay, Task task)
{
    std::lock_guard lock(m_lock);
    m_delayed.emplace(std::make_pair(m_now + delay, m_sequence++), std::move(task));
}

bool ManualExecutor::runOne()
{
    Task task;
    {
        std::lock_guard lock(m_lock);
        if (m_ready.empty()) {
            return false;
        }
        task = std::move(m_ready.front());
        m_ready.pop_front();
    }
    task();
    return true;
}

size_t ManualExecutor::runAll()
{
    size_t count = 0;
    while (runOne()) {
        ++count;
    }
    return count;
}

void ManualExecutor::advance(Seconds delta)
{
    runAll();
    Seconds target;
    {
        std::lock_guard lock(m_lock);
        target = m_now + delta;
    }
    for (;;) {
        Task task;
        Seconds moment;
        std::function<void(Seconds)> observer;
        {
            std::lock_guard lock(m_lock);
            const bool due = !m_delayed.empty() && m_delayed.begin()->first.first <= target;
            moment = due ? std::max(m_now, m_delayed.begin()->first.first) : target;
            m_now = moment;
            observer = m_observer;
            if (due) {
                task = std::move(m_delayed.begin()->second);
                m_delayed.erase(m_delayed.begin());
            }
        }
        if (observer) {
            observer(moment);
        }
        if (!task) {
            break;
        }
        task();
        runAll();
    }
    runAll();
}

void ManualExecutor::onTimeChange(std::function<void(Seconds now)> observer)
{
    std::lock_guard lock(m_lock);
    m_observer = std::move(observer);
}

SerialExecutor::Seconds ManualExecutor::now() const
{
    std::lock_guard lock(m_lock);
    return m_now;
}

size_t ManualExecutor::readyCount() const
{
    std::lock_guard lock(m_lock);
    return m_ready.size();
}

size_t ManualExecutor::delayedCount() const
{
    std::lock_guard lock(m_lock);
    return m_delayed.size();
}

} // namespace vantorelle
