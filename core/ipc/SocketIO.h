// SocketIO: the low-level socket routines that the client and the server share.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

#include "ipc/SocketClient.h"
#include "sys/Fd.h"
#include "sys/Io.h"
#include "sys/SecretString.h"

namespace vantorelle::SocketIO {

// Longest line either side accepts, line feed excluded.
inline constexpr std::size_t kMaxLineBytes = 1'048'576;

struct SocketAddress
{
    sockaddr_un address{};
    // Always the full structure size, not the path length.
    socklen_t length = sizeof(sockaddr_un);
};

// The address for `path`: ENAMETOOLONG when its bytes do not fit sun_path with the terminating
// zero (more than sizeof(sun_path) - 1 bytes), EINVAL for an empty path or one holding a zero byte.
std::expected<SocketAddress, int> socketAddress(const std::filesystem::path& path);

// A connected, blocking, close-on-exec stream socket. connectFailed(errno) or timeout. A full
// listen backlog is waited out until the deadline instead of failing at once.
std::expected<Fd, SocketClient::ClientError> connectSocket(const std::filesystem::path& path, io::Deadline deadline);

// The user and process on the other end of a connected Unix socket (SO_PEERCRED), as they were
// when the connection was made; nothing when the system cannot tell.
std::optional<ucred> peerCredentials(int fd);

// Bounds blocking send(2) calls on `fd` by `deadline` (SO_SNDTIMEO, at least 1 ms).
bool setSendDeadline(int fd, io::Deadline deadline);

// One line, without its line feed; bytes after the first line feed are dropped. Nothing when the
// deadline passes, the peer closes first, a read fails, the line exceeds kMaxLineBytes, or
// `interruptFD` (if >= 0) becomes readable. A reply line may carry a passphrase: it comes in a
// SecretString, and every buffer it grew through is wiped.
std::optional<SecretString> readLine(int fd, io::Deadline deadline, int interruptFD = -1);

} // namespace vantorelle::SocketIO
