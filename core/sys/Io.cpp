// Small blocking I/O helpers over raw descriptors: EINTR retried, short writes looped.
#include "sys/Io.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantorelle::io {

int pollTimeout(Deadline deadline, int maxMs)
{
    // Round up so a wait never ends a fraction of a millisecond before its deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, maxMs));
}

bool writeAll(int fd, std::span<const char> bytes)
{
    struct stat st
    {
    };
    const bool isSocket = ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = isSocket ? ::send(fd, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL)
                                   : ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

int pollOne(int fd, short events, Deadline deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, pollTimeout(deadline));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return r;
        }
        return p.revents;
    }
}

std::expected<void, int> readExactly(int fd, std::span<char> bytes, Deadline deadline)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const int events = pollOne(fd, POLLIN, deadline);
        if (events < 0) {
            return std::unexpected(errno);
        }
        if (events == 0) {
            return std::unexpected(ETIMEDOUT);
        }
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return std::unexpected(n == 0 ? 0 : errno);
        }
        done += static_cast<size_t>(n);
    }
    return {};
}

bool setNonBlocking(int fd, bool on)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

} // namespace vantorelle::io
