// SocketClient: one request, one response over the per-user socket.
#include "ipc/SocketClient.h"

#include <cerrno>
#include <cmath>
#include <unistd.h>

#include "ipc/SocketIO.h"

namespace vantorelle::SocketClient {

namespace {

// Longest wait a caller can ask for; keeps the time arithmetic clear of overflow.
constexpr double kMaxTimeoutSeconds = 30.0 * 24 * 3600;

io::Deadline deadlineAfter(double seconds)
{
    const auto now = std::chrono::steady_clock::now();
    if (!(seconds > 0)) { // also NaN
        return now;
    }
    const auto wait = std::chrono::duration<double>(std::min(seconds, kMaxTimeoutSeconds));
    return now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(wait);
}

std::unexpected<ClientError> error(ClientError::Kind kind)
{
    return std::unexpected(ClientError{kind});
}

} // namespace

std::expected<Response, ClientError> send(const Request& request, const std::filesystem::path& path,
                                          double timeoutSeconds)
{
    const io::Deadline deadline = deadlineAfter(timeoutSeconds);

    // Encoded before connecting: a request that cannot be sent should not bother the server.
    auto text = encode(request);
    if (!text) {
        return error(ClientError::Kind::encoding);
    }
    text->push_back('\n');

    auto fd = SocketIO::connectSocket(path, deadline);
    if (!fd) {
        return std::unexpected(fd.error());
    }
    // Whoever can put a socket at the path could read the prompt and key path and make up the
    // answer: only a server of our own user hears the request.
    if (const auto server = SocketIO::peerCredentials(fd->get()); !server || server->uid != ::geteuid()) {
        return std::unexpected(ClientError{ClientError::Kind::connectFailed, EPERM});
    }

    const bool written = SocketIO::setSendDeadline(fd->get(), deadline) && io::writeAll(fd->get(), text->view());
    const int writeError = errno;
    if (!written) {
        const bool late
            = (writeError == EAGAIN || writeError == EWOULDBLOCK) && std::chrono::steady_clock::now() >= deadline;
        return error(late ? ClientError::Kind::timeout : ClientError::Kind::io);
    }

    const auto line = SocketIO::readLine(fd->get(), deadline);
    if (!line) {
        return error(std::chrono::steady_clock::now() >= deadline ? ClientError::Kind::timeout : ClientError::Kind::io);
    }
    auto response = decodeResponse(line->view());
    if (!response) {
        return error(ClientError::Kind::badResponse);
    }
    return std::move(*response);
}

} // namespace vantorelle::SocketClient
