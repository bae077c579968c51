// ManualExecutor: a serial executor driven by hand, for deterministic tests of actor code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

#include "unlock/SerialExecutor.h"

namespace vantorelle {

// Nothing runs until the owner calls runAll() or advance(); tasks may be posted from any thread.
// Its time starts at 0 and moves only through advance().
class ManualExecutor final : public SerialExecutor
{
public:
    void post(Task task) override;
    void postAfter(Seconds delay, Task task) override;

    // Runs the oldest ready task; false when there is none.
    bool runOne();
    // Runs ready tasks, including those they post, until none is left; returns how many ran.
    size_t runAll();
    // Moves time forward, running every delayed task that falls due in order of its due time
    // (each followed by runAll()), then runAll() at the end.
    void advance(Seconds delta);

    // Told the new time whenever advance() moves it, before the tasks due then run; lets a test
    // keep a fake wall clock in step with this executor's time.
    void onTimeChange(std::function<void(Seconds now)> observer);

    Seconds now() const;
    size_t readyCount() const;
    size_t delayedCount() const;

private:
    mutable std::mutex m_lock;
    std::deque<Task> m_ready;
    std::map<std::pair<Seconds, std::uint64_t>, Task> m_delayed; // (due, sequence) keeps order stable
    std::uint64_t m_sequence = 0;
    Seconds m_now{0};
    std::function<void(Seconds)> m_observer;
};

} // namespace vantorelle
