// SocketServer: the listening side of the per-user socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <sys/types.h>
#include <thread>

#include "ipc/Messages.h"
#include "sys/Fd.h"

namespace vantorelle {

// One instance per application run. start() creates the socket's directory with mode 0700 (an
// existing one is made 0700 only when it is the app's own "vantorelle" directory of this user;
// any other must be this user's or root's and sticky, and keeps its mode), refuses to start while
// another server answers on the path, removes a stale socket file, binds the socket with mode
// 0600 and accepts on a thread of its own. Each connection gets a thread: only a peer with this
// process's effective user id is served; it must send one request line within the request
// deadline (10 seconds); the handler's reply goes back as one line.
//
// Handler contract (this is where the unlock coordinator plugs in):
// - It is called on the connection's thread, once per decoded request, possibly for several
//   connections at the same time. It must return quickly: anything that waits (a person
//   approving) keeps the Reply and completes it later, from any thread.
// - `reply(response)` sends the response at most once. Calling it after the client went away or
//   after cancellation does nothing. Dropping the Reply without calling it closes the connection
//   without an answer (an exception escaping the handler counts as that).
// - `cancelled` is stopped when the client hangs up while the request is pending, or when the
//   server is destroyed with the request still pending. After a hang-up nothing more is written
//   to that client; the handler should give up and drop the Reply. When the server is destroyed,
//   a reply given at once (even from a stop callback) is still sent. A std::stop_callback runs
//   synchronously on the thread that notices (the connection's thread, or the one destroying the
//   server): keep it short and never block in it.
// - A Reply may outlive the server: it then does nothing. The handler may be called until the
//   destructor has joined every connection thread, so destroy the server before whatever the
//   handler calls into (the coordinator): its pending requests are then cancelled, not answered.
// At most 512 connections are served at once; further ones are closed at once.
class SocketServer
{
public:
    struct Connection;

    // Move-only, one-shot completion of one request.
    class Reply
    {
    public:
        Reply() = default;
        explicit Reply(std::shared_ptr<Connection> connection);
        Reply(Reply&&) noexcept = default;
        Reply& operator=(Reply&& other) noexcept;
        Reply(const Reply&) = delete;
        Reply& operator=(const Reply&) = delete;
        // Destroyed without being called: the connection is closed without a reply.
        ~Reply();

        // Sends `response` unless the client is gone or the request was cancelled.
        void operator()(Response response);

    private:
        void complete(std::optional<Response> response);
        std::shared_ptr<Connection> m_connection;
    };

    using Handler = std::function<void(Request request, std::int32_t peerPID, Reply reply, std::stop_token cancelled)>;

    struct ServerError
    {
        enum class Kind {
            socket, // creating the socket failed; `error` is errno
            bind, // binding failed (EADDRINUSE when the path is a file but not a socket)
            listen, // listening failed
            pathTooLong, // the path does not fit a Unix socket address
            alreadyRunning, // another server answers on the path (or the probe failed other than refused)
            directory, // the socket's directory cannot be created, is not a directory, or is not safe
                       // (EPERM: another user could replace the socket file in it)
        };
        Kind kind;
        int error = 0;
        bool operator==(const ServerError&) const = default;
    };

    SocketServer(std::filesystem::path path, Handler handler,
                 std::chrono::milliseconds requestDeadline = std::chrono::seconds(10));
    // stop(), then cancels requests still pending and waits for every thread of this server.
    ~SocketServer();
    SocketServer(const SocketServer&) = delete;
    SocketServer& operator=(const SocketServer&) = delete;

    // Returns once the socket listens. Calling it while running gives alreadyRunning.
    std::expected<void, ServerError> start();
    // Stops accepting (the accept thread is joined) and removes the socket file if it is still
    // the one this server bound. Connections already accepted finish on their own. Safe to call
    // when not running, and more than once.
    void stop();

    const std::filesystem::path& path() const { return m_path; }
    bool running() const;

private:
    struct FileIdentity
    {
        dev_t dev;
        ino_t ino;
    };
    struct Worker;

    void acceptLoop(int listenFD, int wakeFD);
    void serveConnection(Fd client, const std::shared_ptr<Connection>& connection);
    void spawnConnection(Fd client, Fd event);
    void reapFinishedConnections();
    void removeSocketFileIfOurs(const std::optional<FileIdentity>& identity) const;

    const std::filesystem::path m_path;
    const Handler m_handler;
    const std::chrono::milliseconds m_requestDeadline;
    const uid_t m_allowedUID;

    mutable std::mutex m_lock; // guards m_listenFD, m_running, m_boundFile, m_acceptThread, m_wake
    Fd m_listenFD;
    bool m_running = false;
    std::optional<FileIdentity> m_boundFile;
    std::thread m_acceptThread;
    Fd m_wake; // eventfd that ends the accept thread's wait at once on stop()

    std::mutex m_workersLock; // guards m_workers
    std::list<Worker> m_workers;
};

} // namespace vantorelle
