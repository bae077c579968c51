// Helpers for the socket tests: a scripted raw server and raw clients.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
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
    const std::size_t prefix = directory.native().size() + 1;
    if (length <= prefix) {
        throw std::invalid_argument("directory too long");
    }
    return directory / std::string(length - prefix, 's');
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

// Leaves a socket file with nobody listening behind, as a crashed server would.
inline void makeStaleSocket(const std::filesystem::path& path)
{
    Fd fd = listenOn(path);
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

// Everything the peer sends until it closes; nothing if it has not closed by the deadline.
inline std::optional<std::string> readUntilClosed(int fd, io::Deadline deadline)
{
    std::string all;
    char chunk[65536];
    for (;;) {
        if (io::pollOne(fd, POLLIN, deadline) <= 0) {
            return std::nullopt;
        }
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return all; // ECONNRESET counts as closed too
        }
        all.append(chunk, static_cast<std::size_t>(n));
    }
}

// Reads a peer's output line by line, keeping what arrives after a line feed for the next call
// (SocketIO::readLine drops it, which is right for one-reply connections only).
class LineReader
{
public:
    explicit LineReader(int fd)
        : m_fd(fd)
    {
    }
    std::optional<std::string> next(io::Deadline deadline)
    {
        for (;;) {
            if (const auto eol = m_buffer.find('\n'); eol != std::string::npos) {
                std::string line = m_buffer.substr(0, eol);
                m_buffer.erase(0, eol + 1);
                return line;
            }
            if (io::pollOne(m_fd, POLLIN, deadline) <= 0) {
                return std::nullopt;
            }
            char chunk[4096];
            const ssize_t n = ::read(m_fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return std::nullopt;
            }
            m_buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int m_fd;
    std::string m_buffer;
};

// Listens on `path` and runs `script` with the first accepted connection on a thread of its own.
class RawServer
{
public:
    RawServer(const std::filesystem::path& path, std::function<void(Fd)> script, int backlog = 4)
        : m_listen(listenOn(path, backlog))
        , m_thread([this, script = std::move(script)] {
            if (io::pollOne(m_listen.get(), POLLIN, after(20s)) > 0) {
                Fd client(::accept4(m_listen.get(), nullptr, nullptr, SOCK_CLOEXEC));
                if (client) {
                    script(std::move(client));
                }
            }
        })
    {
    }
    ~RawServer() { m_thread.join(); }
    int listenFD() const { return m_listen.get(); }

private:
    Fd m_listen;
    std::thread m_thread;
};

} // namespace vantorelle::test
