// StopSignals: SIGTERM and SIGINT delivered as a readable descriptor instead of a handler.
#pragma once

#include <expected>

#include "sys/Fd.h"

namespace vantorelle {

// Blocks SIGTERM and SIGINT in the calling thread (call it before any thread starts, so every
// thread inherits the mask) and returns a descriptor that becomes readable when one arrives.
class StopSignals
{
public:
    // The error is errno.
    static std::expected<StopSignals, int> install();
    int fd() const { return m_fd.get(); }
    // Takes the pending signal; its number, or 0 when none was pending.
    int take();

private:
    explicit StopSignals(Fd fd)
        : m_fd(std::move(fd))
    {
    }
    Fd m_fd;
};

} // namespace vantorelle
