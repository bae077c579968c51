// Helpers for the socket tests: raw listeners, raw clients and a scripted raw server.
#pragma once

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
#include "sys/Fd.h"

namespace vantorelle::test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline io::Deadline after(std::chrono::steady_clock::duration d)
{
    return std::chrono::steady_clock::now() + d;
}

// A path of exactly `length` bytes inside `directory`.
inline fs::path pathOfLength(const fs::path& directory, std::size_t length)
{
    return directory / std::string(length - directory.native().size() - 1, 's');
}

inline Fd listenOn(const fs::path& path, int backlog = 4)
{
    const auto address = SocketIO::socketAddress(path);
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!address || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address->address), address->length) != 0
        || ::listen(fd.get(), backlog) != 0) {
        throw std::runtime_error("cannot listen on " + path.native());
    }
    return fd;
}

inline Fd rawConnect(const fs::path& path)
{
    return std::move(SocketIO::connectSocket(path, after(5s)).value());
}

// Errors are ignored: some tests write to a peer that closes on purpose.
inline void sendRaw(int fd, std::string_view bytes)
{
    (void)io::writeAll(fd, std::span(bytes.data(), bytes.size()));
}

// Everything `fd` yields until the peer closes (a reset counts as closed); nothing past the deadline.
// With `until`, it returns as soon as that text has arrived instead.
inline std::optional<std::string> readUntilClosed(int fd, io::Deadline deadline, std::string_view until = {})
{
    std::string all;
    for (char chunk[65536];;) {
        if (!until.empty() && all.find(until) != std::string::npos) {
            return all;
        }
        if (io::pollOne(fd, POLLIN, deadline) <= 0) {
            return std::nullopt;
        }
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0 && !(n < 0 && errno == EINTR)) {
            return all;
        }
        all.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    }
}

// Listens on `path`; reads the first connection's request line, then runs `script` on the connection.
class RawServer
{
public:
    RawServer(const fs::path& path, std::function<void(int)> script)
        : m_listen(listenOn(path))
        , m_thread([this, script = std::move(script)] {
            if (io::pollOne(m_listen.get(), POLLIN, after(20s)) > 0) {
                Fd client(::accept4(m_listen.get(), nullptr, nullptr, SOCK_CLOEXEC));
                const auto line = SocketIO::readLine(client.get(), after(10s));
                m_request = line ? line->view() : "<none>";
                script(client.get());
            }
        })
    {
    }
    std::string received()
    {
        m_thread.join();
        return m_request;
    }

private:
    std::string m_request;
    Fd m_listen;
    std::jthread m_thread;
};

inline std::function<void(int)> answer(std::string text)
{
    return [text](int fd) { sendRaw(fd, text); };
}

} // namespace vantorelle::test
