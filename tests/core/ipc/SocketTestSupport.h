// Helpers for the socket tests: a scripted raw server and raw clients.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "ipc/SocketIO.h"
#include "support/WaitFor.h"
#include "sys/Fd.h"

namespace vantorelle::test {

using namespace std::chrono_literals;

inline io::Deadline after(std::chrono::steady_clock::duration d)
{
    return std::chrono::steady_clock::now() + d;
}

// A path of exactly `length` bytes: `directory` + "/" + filler.
inline std::filesystem::path pathOfLength(const std::filesystem::path& directory, std::size_t length)
{
    return directory / std::string(length - directory.native().size() - 1, 's');
}

inline Fd listenOn(const std::filesystem::path& path, int backlog = 4)
{
    const auto address = SocketIO::socketAddress(path);
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!address || !fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address->address), address->length) != 0
        || ::listen(fd.get(), backlog) != 0) {
        throw std::runtime_error("cannot listen on " + path.native());
    }
    return fd;
}

inline Fd rawConnect(const std::filesystem::path& path)
{
    auto fd = SocketIO::connectSocket(path, after(5s));
    if (!fd) {
        throw std::runtime_error("cannot connect to " + path.native());
    }
    return std::move(*fd);
}

inline void sendRaw(int fd, std::string_view bytes)
{
    if (!io::writeAll(fd, std::span(bytes.data(), bytes.size()))) {
        throw std::runtime_error("write failed");
    }
}

// Everything the peer sends until it closes, or until `limit` bytes came; nothing if neither
// happened by the deadline.
inline std::optional<std::string> readUntilClosed(int fd, io::Deadline deadline, std::size_t limit = SIZE_MAX)
{
    std::string all;
    char chunk[65536];
    while (all.size() < limit) {
        if (io::pollOne(fd, POLLIN, deadline) <= 0) {
            return std::nullopt;
        }
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, limit - all.size()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break; // ECONNRESET counts as closed too
        }
        all.append(chunk, static_cast<std::size_t>(n));
    }
    return all;
}

// Listens on `path` and runs `script` with the first accepted connection on a thread of its own.
class RawServer
{
public:
    RawServer(const std::filesystem::path& path, std::function<void(Fd)> script)
        : m_listen(listenOn(path))
        , m_thread([this, script = std::move(script)] {
            if (io::pollOne(m_listen.get(), POLLIN, after(20s)) > 0) {
                if (Fd client(::accept4(m_listen.get(), nullptr, nullptr, SOCK_CLOEXEC)); client) {
                    script(std::move(client));
                }
            }
        })
    {
    }
    ~RawServer() { m_thread.join(); }

private:
    Fd m_listen;
    std::thread m_thread;
};

} // namespace vantorelle::test
