// Clock: the one way logic reads the time, so rules about time run against a fake.
#pragma once

#include <chrono>

namespace vantorelle {

// A point on the wall clock (what is saved and shown). Deadlines for blocking waits use
// std::chrono::steady_clock directly instead, because they must not jump with the wall clock.
using Date = std::chrono::time_point<std::chrono::system_clock, std::chrono::duration<double>>;

// Seconds since 1970 <-> Date, as the defaults file stores dates.
inline double secondsSince1970(Date date)
{
    return date.time_since_epoch().count();
}
inline Date dateFromSeconds(double seconds)
{
    return Date(std::chrono::duration<double>(seconds));
}

class Clock
{
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;
};

class SystemClock final : public Clock
{
public:
    Date now() const override { return std::chrono::system_clock::now(); }
};

} // namespace vantorelle
