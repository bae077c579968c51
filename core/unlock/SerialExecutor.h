// SerialExecutor: runs posted tasks one at a time, in order; the unlock coordinator's actor
// context.
#pragma once

#include <chrono>
#include <functional>

namespace vantorelle {

class SerialExecutor
{
public:
    using Task = std::move_only_function<void()>;
    using Seconds = std::chrono::duration<double>;

    virtual ~SerialExecutor() = default;

    // Callable from any thread. Tasks never run concurrently with each other; a task posted after
    // another (from the same thread) runs after it. A task may post further tasks.
    virtual void post(Task task) = 0;
    // Runs `task` once at least `delay` has passed, measured on the executor's own time (steady
    // time for a thread, time advanced by hand for tests), never on the wall clock.
    virtual void postAfter(Seconds delay, Task task) = 0;
};

} // namespace vantorelle
