// SocketIO: the low-level socket routines that the client and the server share.
#include "ipc/SocketIO.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "sys/SecretString.h"

namespace vantorelle::SocketIO {

namespace {

using Kind = SocketClient::ClientError::Kind;

std::unexpected<SocketClient::ClientError> connectFailed(int error)
{
    return std::unexpected(SocketClient::ClientError{Kind::connectFailed, error});
}

bool passed(io::Deadline deadline)
{
    return std::chrono::steady_clock::now() >= deadline;
}

} // namespace

std::expected<SocketAddress, int> socketAddress(const std::filesystem::path& path)
{
    const std::string& bytes = path.native();
    SocketAddress result;
    // An empty name would bind or reach the abstract namespace, and a zero byte would cut the
    // name short: neither is the file the caller meant.
    if (bytes.empty() || bytes.find('\0') != std::string::npos) {
        return std::unexpected(EINVAL);
    }
    if (bytes.size() > sizeof(result.address.sun_path) - 1) {
        return std::unexpected(ENAMETOOLONG);
    }
    result.address.sun_family = AF_UNIX;
    std::memcpy(result.address.sun_path, bytes.data(), bytes.size());
    return result;
}

std::optional<ucred> peerCredentials(int fd)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof peer) {
        return std::nullopt;
    }
    return peer;
}

bool setSendDeadline(int fd, io::Deadline deadline)
{
    // A zero timeval would mean "no time limit", so at least one millisecond.
    const int ms = std::max(1, io::pollTimeout(deadline, INT_MAX));
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

std::expected<Fd, SocketClient::ClientError> connectSocket(const std::filesystem::path& path, io::Deadline deadline)
{
    const auto address = socketAddress(path);
    if (!address) {
        return connectFailed(address.error());
    }
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
        return connectFailed(errno);
    }
    const auto* sa = reinterpret_cast<const sockaddr*>(&address->address);
    for (;;) {
        if (::connect(fd.get(), sa, address->length) == 0) {
            break;
        }
        const int error = errno;
        if (error == EINTR) {
            continue;
        }
        if (error == EAGAIN) {
            // Linux: connecting to a Unix stream socket whose listen backlog is full fails at once
            // with EAGAIN and nothing stays pending, so polling for writability would wrongly
            // report success. A blocking connect bounded by SO_SNDTIMEO waits for room instead
            // (unix(7), and the send timeout applies to connect on this socket family).
            if (passed(deadline)) {
                return std::unexpected(SocketClient::ClientError{Kind::timeout});
            }
            if (!io::setNonBlocking(fd.get(), false) || !setSendDeadline(fd.get(), deadline)) {
                return connectFailed(errno);
            }
            continue;
        }
        if (error == EINPROGRESS) {
            const int events = io::pollOne(fd.get(), POLLOUT, deadline);
            if (events == 0) {
                return std::unexpected(SocketClient::ClientError{Kind::timeout});
            }
            int pending = 0;
            socklen_t length = sizeof pending;
            const int waitError = events < 0 ? errno : 0;
            if (events < 0 || ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &pending, &length) != 0 || pending != 0) {
                return connectFailed(pending != 0 ? pending : (waitError != 0 ? waitError : errno));
            }
            break;
        }
        return connectFailed(error);
    }
    // Hand back a plain blocking socket without a send time limit; callers set their own.
    timeval none{};
    if (!io::setNonBlocking(fd.get(), false)
        || ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none) != 0) {
        return connectFailed(errno);
    }
    return fd;
}

std::optional<SecretString> readLine(int fd, io::Deadline deadline, int interruptFD)
{
    SecretString buffer;
    char chunk[4096];
    auto fail = [&]() -> std::optional<SecretString> {
        wipeBytes(chunk, sizeof chunk);
        return std::nullopt;
    };
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {interruptFD, POLLIN, 0}};
        const int ready = ::poll(fds, interruptFD >= 0 ? 2 : 1, io::pollTimeout(deadline));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail();
        }
        if (ready == 0 || (interruptFD >= 0 && fds[1].revents != 0)) {
            return fail();
        }
        const ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return fail();
        }
        if (count == 0) {
            return fail(); // the peer closed before a whole line arrived
        }
        const auto* feed = static_cast<const char*>(std::memchr(chunk, '\n', static_cast<std::size_t>(count)));
        const std::size_t take = feed ? static_cast<std::size_t>(feed - chunk) : static_cast<std::size_t>(count);
        if (buffer.size() + take > kMaxLineBytes) {
            return fail();
        }
        buffer.append(std::string_view(chunk, take));
        if (feed) {
            wipeBytes(chunk, sizeof chunk);
            return buffer;
        }
    }
}

} // namespace vantorelle::SocketIO
