// Fd: sole owner of one file descriptor.
#include "sys/Fd.h"

#include <unistd.h>

namespace vantorelle {

void Fd::reset(int fd) noexcept
{
    if (m_fd >= 0) {
        // close(2): on Linux the descriptor is released even when close fails with EINTR, so it
        // must never be retried.
        ::close(m_fd);
    }
    m_fd = fd;
}

} // namespace vantorelle
