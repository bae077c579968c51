// SocketClient: one request, one response over the per-user socket.
#pragma once

#include <expected>
#include <filesystem>

#include "ipc/Messages.h"

namespace vantorelle::SocketClient {

struct ClientError
{
    enum class Kind {
        connectFailed, // creating or connecting the socket failed; `error` is errno
        timeout, // the deadline passed while connecting, writing or waiting for the reply
        io, // writing or reading failed before the deadline (peer closed, line too long)
        badResponse, // a line arrived but is not a Response
        encoding, // the request cannot be encoded (a non-finite duration, invalid UTF-8)
    };
    Kind kind;
    int error = 0; // errno for connectFailed (ENAMETOOLONG when the path does not fit, EPERM when the
                   // server runs as another user)
    bool operator==(const ClientError&) const = default;
};

// Connects to `path`, writes the request as one line, reads one line back and decodes it. The
// timeout in seconds bounds connecting and waiting for the reply together; 0 or less still tries
// a connection that completes at once. Blocks the calling thread; safe on several threads at once.
std::expected<Response, ClientError> send(const Request& request, const std::filesystem::path& path,
                                          double timeoutSeconds);

} // namespace vantorelle::SocketClient
