// ThreadExecutor: a serial executor that owns one thread; the unlock coordinator's home in the app.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "unlock/SerialExecutor.h"

namespace vantorelle {

class ThreadExecutor final : public SerialExecutor
{
public:
    ThreadExecutor();
    // Runs the tasks already posted (and those they post) to the end, drops delayed tasks that
    // are not yet due, then joins the thread. Posts that arrive afterwards are dropped.
    // Must not be called from a task of this executor.
    ~ThreadExecutor() override;
    ThreadExecutor(const ThreadExecutor&) = delete;
    ThreadExecutor& operator=(const ThreadExecutor&) = delete;

    void post(Task task) override;
    void postAfter(Seconds delay, Task task) override;

    // True on the executor's own thread.
    bool isCurrent() const;

private:
    using Clock = std::chrono::steady_clock;
    void run();

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<Task> m_ready;
    std::map<std::pair<Clock::time_point, std::uint64_t>, Task> m_delayed;
    std::uint64_t m_sequence = 0;
    bool m_stopping = false; // the destructor began: finish the ready tasks and end
    bool m_closed = false; // the thread ended: nothing runs any more
    std::jthread m_thread; // last, so it starts after everything above exists
};

} // namespace vantorelle
