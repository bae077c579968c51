// SocketServer: the listening side of the per-user socket.
#include "ipc/SocketServer.h"

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ipc/SocketIO.h"
#include "sys/Files.h"

namespace vantorelle {

namespace {

constexpr int kBacklog = 16;
constexpr int kAcceptTickMs = 200;
constexpr auto kReplyWriteDeadline = std::chrono::seconds(10);
constexpr auto kProbeDeadline = std::chrono::seconds(1);
// Beyond this many live connections new ones are closed at once, so a flood cannot exhaust threads.
constexpr std::size_t kMaxConnections = 512;

using Kind = SocketServer::ServerError::Kind;

std::unexpected<SocketServer::ServerError> failure(Kind kind, int error = 0)
{
    return std::unexpected(SocketServer::ServerError{kind, error});
}

// umask is process-wide: every server of this process changes it under this one lock, and only
// around bind(2), so the window in which other threads' new files get the narrow mask is tiny.
std::mutex& umaskLock()
{
    static std::mutex lock;
    return lock;
}

void signalEvent(int fd)
{
    const std::uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) { }
}

} // namespace

// What a connection's thread and its Reply share. The eventfd is owned here, so a Reply that
// outlives the connection's thread (or the server) still writes to a valid descriptor.
struct SocketServer::Connection
{
    std::mutex lock;
    std::optional<Response> stored; // the reply, until the connection's thread writes it
    bool completed = false; // the Reply was called or dropped
    bool finished = false; // the thread no longer waits: nothing more is written
    bool shuttingDown = false; // the server is being destroyed
    std::stop_source cancel;
    Fd event; // eventfd: the Reply completed, or the server shuts down

    explicit Connection(Fd eventFD)
        : event(std::move(eventFD))
    {
    }
};

struct SocketServer::Worker
{
    std::shared_ptr<Connection> connection;
    std::thread thread;
    std::atomic<bool> done{false};
};

// ---- Reply ------------------------------------------------------------------------------------

SocketServer::Reply::Reply(std::shared_ptr<Connection> connection)
    : m_connection(std::move(connection))
{
}

SocketServer::Reply& SocketServer::Reply::operator=(Reply&& other) noexcept
{
    if (this != &other) {
        complete(std::nullopt);
        m_connection = std::move(other.m_connection);
    }
    return *this;
}

SocketServer::Reply::~Reply()
{
    complete(std::nullopt);
}

void SocketServer::Reply::operator()(Response response)
{
    complete(std::move(response));
}

void SocketServer::Reply::complete(std::optional<Response> response)
{
    const auto connection = std::move(m_connection); // one shot
    if (!connection) {
        return;
    }
    {
        std::lock_guard guard(connection->lock);
        if (connection->completed) {
            return;
        }
        connection->completed = true;
        if (!connection->finished && response) {
            connection->stored = std::move(response);
        }
    }
    signalEvent(connection->event.get());
}

// ---- SocketServer -----------------------------------------------------------------------------

SocketServer::SocketServer(std::filesystem::path path, Handler handler, std::chrono::milliseconds requestDeadline)
    : m_path(std::move(path))
    , m_handler(std::move(handler))
    , m_requestDeadline(requestDeadline)
    , m_allowedUID(::geteuid())
{
}

SocketServer::~SocketServer()
{
    stop();
    // The accept thread is gone, so the list only shrinks from here. Cancel what is pending and
    // wake every connection thread; a Reply completed later finds its connection finished.
    std::lock_guard guard(m_workersLock);
    for (Worker& worker : m_workers) {
        {
            std::lock_guard connectionGuard(worker.connection->lock);
            worker.connection->shuttingDown = true;
        }
        worker.connection->cancel.request_stop();
        signalEvent(worker.connection->event.get());
    }
    for (Worker& worker : m_workers) {
        worker.thread.join();
    }
    m_workers.clear();
}

bool SocketServer::running() const
{
    std::lock_guard guard(m_lock);
    return m_running;
}

std::expected<void, SocketServer::ServerError> SocketServer::start()
{
    {
        std::lock_guard guard(m_lock);
        if (m_running) {
            return failure(Kind::alreadyRunning);
        }
    }

    // The address first: a path that cannot be served leaves nothing behind on disk.
    const auto address = SocketIO::socketAddress(m_path);
    if (!address) {
        return address.error() == ENAMETOOLONG ? failure(Kind::pathTooLong) : failure(Kind::bind, address.error());
    }

    // The directory: one made here, or the app's own "vantorelle" directory, is private (0700). Any
    // other directory is the user's or the system's and keeps its mode (making /tmp or the home
    // 0700 would break everything else there); it is used only when no other user can swap the
    // socket file in it.
    const std::filesystem::path directory = m_path.has_parent_path() ? m_path.parent_path() : ".";
    const auto created = Files::createDirectories(directory, 0700);
    if (!created) {
        return failure(Kind::directory, created.error().value());
    }
    struct stat st = {};
    if (!*created) {
        if (::stat(directory.c_str(), &st) != 0) {
            return failure(Kind::directory, errno);
        }
        if (directory.filename() == "vantorelle" && st.st_uid == ::geteuid()) {
            ::chmod(directory.c_str(), 0700);
        } else if (!Files::isSafeDirectory(directory)) {
            return failure(Kind::directory, EPERM);
        }
    }

    // The socket, and the event that ends the accept thread's wait.
    Fd listenFD(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listenFD) {
        return failure(Kind::socket, errno);
    }
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) {
        return failure(Kind::socket, errno);
    }

    // A socket file already there: another live server keeps it; a stale one goes.
    if (::lstat(m_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        auto probe = SocketIO::connectSocket(m_path, std::chrono::steady_clock::now() + kProbeDeadline);
        if (probe) {
            return failure(Kind::alreadyRunning);
        }
        if (probe.error().kind != SocketClient::ClientError::Kind::connectFailed
            || probe.error().error != ECONNREFUSED) {
            return failure(Kind::alreadyRunning);
        }
        ::unlink(m_path.c_str());
    }

    // Bind with mode 0600 from the start: no moment in which the file is open to others.
    int bindResult = 0;
    int bindError = 0;
    {
        std::lock_guard guard(umaskLock());
        const mode_t previous = ::umask(0177);
        bindResult = ::bind(listenFD.get(), reinterpret_cast<const sockaddr*>(&address->address), address->length);
        bindError = errno;
        ::umask(previous);
    }
    if (bindResult != 0) {
        return failure(Kind::bind, bindError);
    }

    // The mode, and the identity of the file so that only this one is ever removed.
    ::chmod(m_path.c_str(), 0600);
    std::optional<FileIdentity> identity;
    if (::lstat(m_path.c_str(), &st) == 0) {
        identity = FileIdentity{st.st_dev, st.st_ino};
    }

    // Listen.
    if (::listen(listenFD.get(), kBacklog) != 0) {
        const int error = errno;
        removeSocketFileIfOurs(identity);
        return failure(Kind::listen, error);
    }

    // Running, with the accept thread.
    std::lock_guard guard(m_lock);
    const int listening = listenFD.get();
    const int wakeFD = wake.get();
    try {
        m_acceptThread = std::thread([this, listening, wakeFD] { acceptLoop(listening, wakeFD); });
    } catch (const std::system_error& e) {
        removeSocketFileIfOurs(identity);
        return failure(Kind::socket, e.code().value());
    }
    m_listenFD = std::move(listenFD);
    m_wake = std::move(wake);
    m_boundFile = identity;
    m_running = true;
    return {};
}

void SocketServer::stop()
{
    std::thread acceptThread;
    std::optional<FileIdentity> bound;
    bool wasRunning = false;
    {
        std::lock_guard guard(m_lock);
        wasRunning = std::exchange(m_running, false);
        bound = std::exchange(m_boundFile, std::nullopt);
        acceptThread = std::move(m_acceptThread);
        if (m_wake) {
            signalEvent(m_wake.get());
        }
    }
    if (acceptThread.joinable()) {
        acceptThread.join();
    }
    {
        std::lock_guard guard(m_lock);
        m_listenFD.reset();
        m_wake.reset();
    }
    if (wasRunning) {
        removeSocketFileIfOurs(bound);
    }
}

void SocketServer::removeSocketFileIfOurs(const std::optional<FileIdentity>& identity) const
{
    struct stat st = {};
    if (identity && ::lstat(m_path.c_str(), &st) == 0 && st.st_dev == identity->dev && st.st_ino == identity->ino) {
        ::unlink(m_path.c_str());
    }
}

void SocketServer::acceptLoop(int listenFD, int wakeFD)
{
    auto isRunning = [this] {
        std::lock_guard guard(m_lock);
        return m_running;
    };
    // Waits one tick or until stop(): used after a failure that would otherwise repeat at once.
    auto pause = [wakeFD] {
        pollfd p{wakeFD, POLLIN, 0};
        ::poll(&p, 1, kAcceptTickMs);
    };
    // Each connection needs an eventfd besides its socket. It is made before accept(2), so a
    // connection is only taken off the queue when it can be served; short of descriptors, the
    // client stays queued instead of being accepted and dropped without a reply.
    Fd event;
    while (isRunning()) {
        pollfd fds[2] = {{listenFD, POLLIN, 0}, {wakeFD, POLLIN, 0}};
        const int ready = ::poll(fds, 2, kAcceptTickMs);
        reapFinishedConnections();
        if (ready <= 0 || fds[1].revents != 0) {
            continue;
        }
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            pause();
            continue;
        }
        if (!event) {
            event = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
            if (!event) {
                pause();
                continue;
            }
        }
        const int client = ::accept4(listenFD, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            // Out of descriptors (EMFILE, ENFILE) and the like leave the connection queued, so the
            // next poll would report it again at once: wait a tick instead of spinning.
            if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
                pause();
            }
            continue;
        }
        spawnConnection(Fd(client), std::move(event));
    }
}

void SocketServer::spawnConnection(Fd client, Fd event)
{
    std::lock_guard guard(m_workersLock);
    if (m_workers.size() >= kMaxConnections) {
        return;
    }
    Worker& worker = m_workers.emplace_back();
    worker.connection = std::make_shared<Connection>(std::move(event));
    try {
        worker.thread = std::thread([this, &worker, fd = std::move(client)]() mutable {
            try {
                serveConnection(std::move(fd), worker.connection);
            } catch (...) {
                // Out of memory or the like: this connection is lost, the server goes on.
            }
            worker.done = true;
        });
    } catch (const std::system_error&) {
        m_workers.pop_back();
    }
}

void SocketServer::reapFinishedConnections()
{
    std::lock_guard guard(m_workersLock);
    for (auto it = m_workers.begin(); it != m_workers.end();) {
        if (it->done) {
            it->thread.join();
            it = m_workers.erase(it);
        } else {
            ++it;
        }
    }
}

void SocketServer::serveConnection(Fd client, const std::shared_ptr<Connection>& connection)
{
    // Same user only; the peer's pid comes with its uid.
    const auto peer = SocketIO::peerCredentials(client.get());
    if (!peer || peer->uid != m_allowedUID) {
        return;
    }

    // One request line within the deadline; anything undecodable ends the connection silently.
    const auto line = SocketIO::readLine(client.get(), std::chrono::steady_clock::now() + m_requestDeadline,
                                         connection->event.get());
    if (!line) {
        return;
    }
    auto request = decodeRequest(line->view());
    if (!request) {
        return;
    }

    // The handler; it returns at once and completes the Reply now or later.
    try {
        m_handler(std::move(*request), static_cast<std::int32_t>(peer->pid), Reply(connection),
                  connection->cancel.get_token());
    } catch (...) {
        // The Reply it held is gone with the exception: the connection closes without a reply.
    }

    // Wait for the Reply (or the server's end), watching for the client hanging up. No time
    // limit: a person may take minutes to approve; the client's own deadline makes it hang up.
    bool clientGone = false;
    pollfd fds[2] = {{connection->event.get(), POLLIN, 0}, {client.get(), POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            clientGone = true; // cannot watch the client any more: give the request up
            break;
        }
        if (fds[0].revents != 0) {
            break;
        }
        if (fds[1].revents != 0) {
            // A client sends nothing after its line; extra bytes are ignored. End of stream or an
            // error means it hung up.
            char scratch[512];
            const ssize_t count = ::recv(client.get(), scratch, sizeof scratch, MSG_DONTWAIT);
            if (count > 0 || (count < 0 && (errno == EINTR || errno == EAGAIN))) {
                continue;
            }
            clientGone = true;
            break;
        }
    }

    std::optional<Response> response;
    {
        std::lock_guard guard(connection->lock);
        connection->finished = true;
        if (!clientGone) {
            response = std::move(connection->stored);
        }
        connection->stored.reset();
    }
    if (clientGone) {
        // Outside the lock: stop callbacks run here and may complete the Reply.
        connection->cancel.request_stop();
        return;
    }

    // The reply line, bounded in time so a client that never reads cannot hold the thread.
    if (response) {
        auto text = encode(*response);
        if (text) {
            text->push_back('\n');
            if (SocketIO::setSendDeadline(client.get(), std::chrono::steady_clock::now() + kReplyWriteDeadline)) {
                io::writeAll(client.get(), text->view());
            }
        }
    }
}

} // namespace vantorelle
