// FakeClock: a wall clock that moves only when the test says so. Thread-safe.
#pragma once

#include <chrono>
#include <mutex>

#include "sys/Clock.h"

namespace vantorelle {

class FakeClock final : public Clock
{
public:
    explicit FakeClock(Date start = dateFromSeconds(1'800'000'000))
        : m_now(start)
    {
    }

    Date now() const override
    {
        std::lock_guard lock(m_lock);
        return m_now;
    }
    void set(Date date)
    {
        std::lock_guard lock(m_lock);
        m_now = date;
    }
    void advance(double seconds)
    {
        std::lock_guard lock(m_lock);
        m_now += std::chrono::duration<double>(seconds);
    }

private:
    mutable std::mutex m_lock;
    Date m_now;
};

} // namespace vantorelle
