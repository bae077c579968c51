// SocketClient and SocketServer over real Unix sockets: against each other, against a raw listener
// with a full backlog, and against peers of another user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "ipc/SocketClient.h"
#include "ipc/SocketIO.h"
#include "ipc/SocketServer.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"
#include "sys/Pipe.h"

using namespace vantorelle;
using namespace vantorelle::test;
using namespace std::chrono_literals;
using namespace std::string_literals;
namespace fs = std::filesystem;
using CK = SocketClient::ClientError::Kind;
using SK = SocketServer::ServerError::Kind;
using Started = std::expected<void, SocketServer::ServerError>;

namespace {

const Response kOk = Response::Ok{};

const auto after = [](std::chrono::steady_clock::duration d) { return std::chrono::steady_clock::now() + d; };
const auto fails = [](CK kind, int error = 0) { return std::unexpected(SocketClient::ClientError{kind, error}); };
const auto refused = [](SK kind, int error = 0) { return std::unexpected(SocketServer::ServerError{kind, error}); };
const auto modeOf = [](const fs::path& path) { // 0: no such file
    struct stat st = {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
};
// A line of exactly `size` bytes before its line feed, padded inside a member that `head` opens.
const auto lineOfSize
    = [](std::string head, std::size_t size) { return head + std::string(size - head.size() - 3, 'r') + "\"}}"; };
const auto listenOn = [](const fs::path& path, int backlog = 4) {
    const auto address = SocketIO::socketAddress(path);
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!address || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address->address), address->length) != 0
        || ::listen(fd.get(), backlog) != 0) {
        throw std::runtime_error("cannot listen on " + path.native());
    }
    return fd;
};
const auto connectTo = [](int fd, const fs::path& path) {
    const auto at = SocketIO::socketAddress(path);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&at->address), at->length);
};
const auto rawConnect
    = [](const fs::path& path) { return std::move(SocketIO::connectSocket(path, after(5s)).value()); };
// Errors are ignored: some tests write to a peer that closes on purpose.
const auto sendRaw
    = [](int fd, std::string_view bytes) { (void)io::writeAll(fd, std::span(bytes.data(), bytes.size())); };
// Everything `fd` yields until the peer closes (a reset counts as closed); nothing past the deadline.
std::optional<std::string> readUntilClosed(int fd, io::Deadline deadline)
{
    std::string all;
    for (char chunk[65536]; io::pollOne(fd, POLLIN, deadline) > 0;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            return all;
        }
        all.append(chunk, static_cast<std::size_t>(n));
    }
    return std::nullopt;
}
// What a raw client gets back for `bytes`.
const auto replyTo = [](const fs::path& path, std::string_view bytes) {
    Fd client = rawConnect(path);
    sendRaw(client.get(), bytes);
    return readUntilClosed(client.get(), after(10s));
};

class SocketTest : public ::testing::Test
{
protected:
    // clang-format off
    struct Call { SocketServer::Reply reply; std::stop_token cancelled; };
    // clang-format on
    TempDir dir{"vts"};
    fs::path path = dir.path() / "run" / "c.sock";
    std::mutex lock;
    std::vector<Call> calls; // outlive the server
    std::atomic<bool> answerOk = true; // else requests stay pending
    std::unique_ptr<SocketServer> server;

    SocketServer::Handler handler()
    {
        return [this](Request request, std::int32_t, SocketServer::Reply reply, std::stop_token cancelled) {
            if (std::holds_alternative<Request::Prompt>(request.value)) {
                throw std::runtime_error("handler bug");
            }
            std::lock_guard guard(lock);
            answerOk ? reply(Response::Ok{}) : void();
            calls.push_back(Call{std::move(reply), std::move(cancelled)});
        };
    }
    void startServer(std::chrono::milliseconds requestDeadline = 10s)
    {
        server = std::make_unique<SocketServer>(path, handler(), requestDeadline);
        ASSERT_TRUE(server->start().has_value());
    }
    template <typename F> auto withCall(std::size_t i, F f)
    {
        EXPECT_TRUE(waitFor([&] { return std::lock_guard(lock), calls.size() > i; }));
        std::lock_guard guard(lock);
        return f(calls.at(i));
    }
    std::size_t callCount() { return std::lock_guard(lock), calls.size(); }
    auto send(const Request& request, double timeout = 10.0, const fs::path& to = {})
    {
        return SocketClient::send(request, to.empty() ? path : to, timeout);
    }
    void freshPath() { fs::remove(path), fs::create_directories(path.parent_path()); }
};

} // namespace

TEST_F(SocketTest, ClientWaitsOutAFullBacklogAndNamesEachFailure)
{
    EXPECT_EQ(send(Request::Unlock{std::numeric_limits<double>::infinity(), {}, 1}), fails(CK::encoding));
    // A server that never accepts: the client waits for room until its deadline, and gets through when room appears.
    path = dir.path() / "full.sock";
    Fd listener = listenOn(path, 0);
    std::vector<Fd> queued;
    for (Fd fd; queued.size() < 64; queued.push_back(std::move(fd))) {
        fd = Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (connectTo(fd.get(), path) != 0) {
            ASSERT_EQ(errno, EAGAIN);
            break;
        }
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send(Request::Status{}, 0.3), fails(CK::timeout));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    std::jthread acceptor([&] {
        std::this_thread::sleep_for(100ms); // lets the client find the queue full first
        while (io::pollOne(listener.get(), POLLIN, after(5s)) > 0) {
            Fd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (auto line = SocketIO::readLine(client.get(), after(50ms)); line && line->view() == R"({"lock":{}})") {
                return sendRaw(client.get(), "not json\n");
            }
        }
    });
    EXPECT_EQ(send(Request::Lock{}), fails(CK::badResponse));
}

TEST_F(SocketTest, ServerPathLengthOwnershipDirectoryAndPeerRules)
{
    const auto longest = dir.path() / std::string(sizeof(sockaddr_un::sun_path) - dir.path().native().size() - 2, 's'),
               tooLong = dir.path() / "sub" / longest.filename();
    SocketServer fits(longest, handler());
    ASSERT_TRUE(fits.start().has_value());
    EXPECT_EQ(send(Request::Lock{}, 10.0, longest), kOk);
    fits.stop();
    EXPECT_EQ(send(Request::Lock{}, 1.0, tooLong), fails(CK::connectFailed, ENAMETOOLONG));
    EXPECT_EQ(SocketServer(tooLong, handler()).start(), refused(SK::pathTooLong));
    EXPECT_TRUE(fs::is_empty(dir.path())); // nothing created, not even the directory
    // No name for the abstract namespace, none cut short by a zero byte.
    EXPECT_EQ(SocketIO::socketAddress(""), std::unexpected(EINVAL));
    EXPECT_EQ(SocketIO::socketAddress(std::string("/tmp/a\0b", 8)), std::unexpected(EINVAL));
    // The server owns its path only while it serves there.
    freshPath();
    (void)listenOn(path); // stale: replaced
    startServer();
    SocketServer second(path, handler());
    EXPECT_EQ(second.start(), refused(SK::alreadyRunning));
    EXPECT_EQ(server->start(), refused(SK::alreadyRunning));
    second.stop();
    EXPECT_EQ(send(Request::Lock{}), kOk); // the first keeps serving
    server->stop();
    EXPECT_EQ(send(Request::Lock{}, 1.0), fails(CK::connectFailed, ENOENT));
    // Restartable; when something else took the path, stopping leaves it alone.
    ASSERT_TRUE(server->start().has_value());
    fs::remove(path);
    ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0600));
    server.reset();
    SocketServer onFile(path, handler()); // a path that is not a socket is kept
    EXPECT_EQ(onFile.start(), refused(SK::bind, EADDRINUSE));
    EXPECT_TRUE(fs::is_regular_file(path));
    fs::remove(path); // a live socket of another kind is someone else's, not a stale one
    const auto at = SocketIO::socketAddress(path);
    Fd datagram(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::bind(datagram.get(), reinterpret_cast<const sockaddr*>(&at->address), at->length), 0);
    EXPECT_EQ(onFile.start(), refused(SK::alreadyRunning));
    // Only its own directory is made private; unsafe ones are refused.
    const passwd* nobody = ::getpwnam("nobody");
    // The mode before (nothing: missing) and after (nothing: refused as unsafe).
    // clang-format off
    struct Case { std::string name; std::optional<mode_t> before; uid_t owner; std::optional<mode_t> after; };
    std::vector<Case> cases{{"made", {}, ::geteuid(), 0700}, {"vantorelle", 0755, ::geteuid(), 0700},
        {"home", 0755, ::geteuid(), 0755}, {"tmp", 01777, ::geteuid(), 01777}};
    if (::geteuid() == 0 && nobody) {
        cases.insert(cases.end(), {{"them", 0755, nobody->pw_uid, {}}, {"them/vantorelle", 0700, nobody->pw_uid, {}}});
    }
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        path = dir.path() / c.name / "c.sock";
        if (c.before) {
            fs::create_directories(path.parent_path());
            ASSERT_EQ(::chmod(path.parent_path().c_str(), *c.before), 0);
            ASSERT_EQ(::chown(path.parent_path().c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        }
        SocketServer s(path, handler());
        EXPECT_EQ(s.start(), c.after ? Started() : refused(SK::directory, EPERM));
        EXPECT_EQ(modeOf(path.parent_path()), c.after.value_or(c.before.value_or(0)));
        EXPECT_EQ(modeOf(path), c.after ? 0600u : 0u);
    }

    if (::geteuid() != 0 || !nobody) {
        GTEST_SKIP() << "the rest needs root and the user 'nobody'";
    }
    // Peers of another user are refused both ways.
    // The process acts as nobody while it makes the server and the listener, and while it is that server's client.
    const auto asNobody = [&](auto body) {
        EXPECT_EQ(::seteuid(nobody->pw_uid), 0);
        const std::shared_ptr<void> back(nullptr, [](void*) { EXPECT_EQ(::seteuid(0), 0); });
        return body();
    };
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    path = dir.path() / "n" / "c.sock";
    fs::create_directory(path.parent_path());
    ASSERT_EQ(::chown(path.parent_path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    Fd listener = asNobody([&] { return startServer(), listenOn(dir.path() / "n" / "any.sock"); });
    EXPECT_EQ(asNobody([&] { return send(Request::Lock{}); }), kOk);
    const std::size_t served = callCount();
    // Root is not served: closed at once without a reply, the handler never runs.
    EXPECT_EQ(replyTo(path, "{\"status\":{}}\n"), "");
    EXPECT_EQ(callCount(), served);
    // Nor does our client say a word to a server of another user, or to anyone else listening there.
    EXPECT_EQ(send(Request::Status{}), fails(CK::connectFailed, EPERM));
    EXPECT_EQ(send(Request::Status{}, 10.0, dir.path() / "n" / "any.sock"), fails(CK::connectFailed, EPERM));
    Fd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    EXPECT_EQ(readUntilClosed(peer.get(), after(10s)), "");
}

TEST_F(SocketTest, OneServerSurvivesBadClientsAndAnswersLaterOrNeverCancellingWhenEitherSideGoes)
{
    startServer();
    // Bad requests are closed without a reply and without the handler.
    const std::string head = R"({"status":{"pad":")", fits = lineOfSize(head, SocketIO::kMaxLineBytes) + "\n";
    // One line is read and what follows it is ignored.
    for (const std::string& line : {"garbage\n"s, head + "p" + fits.substr(head.size()), fits + "garbage"}) {
        EXPECT_EQ(replyTo(path, line), line == fits + "garbage" ? "{\"ok\":{}}\n" : "") << line.substr(0, 60);
    }
    // Connected only once no descriptor is left, so the server cannot take it before the shortage.
    Fd waiting(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit low{256, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<Fd> hog;
    for (Fd fd(::fcntl(0, F_DUPFD_CLOEXEC, 0)); fd; fd = Fd(::fcntl(0, F_DUPFD_CLOEXEC, 0))) {
        hog.push_back(std::move(fd));
    }
    ASSERT_EQ(connectTo(waiting.get(), path), 0);
    sendRaw(waiting.get(), "{\"lock\":{}}\n");
    char peek = 0; // an early answer is fine: finished connections may give descriptors back
    EXPECT_FALSE(io::pollOne(waiting.get(), POLLIN, after(500ms)) > 0 && ::recv(waiting.get(), &peek, 1, MSG_PEEK) <= 0)
        << "closed without an answer while no descriptor was left";
    hog.clear();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(readUntilClosed(waiting.get(), after(10s)), "{\"ok\":{}}\n");
    const std::size_t n = callCount();
    EXPECT_EQ(n, 2u); // the good line and the one that waited for a descriptor

    // Answered later, or never.
    answerOk = false;
    for (const double timeout : {0.0, -3.0, std::numeric_limits<double>::quiet_NaN()}) { // no time: still sent
        EXPECT_EQ(send(Request::Status{}, timeout), fails(CK::timeout));
    }
    withCall(n + 2, [](Call&) {}); // each of them did connect and send its request
    std::jthread replier([&] {
        withCall(n + 3, [](Call& call) { call.reply(Response::Secret{SecretString(std::string_view("pw"))}); });
        withCall(n + 4, [](Call& call) { auto dropped = std::move(call.reply); }); // closed without a reply
    });
    EXPECT_EQ(send(Request::Passphrase{"/k/id", "p", 77}),
              Response(Response::Secret{SecretString(std::string_view("pw"))}));
    EXPECT_EQ(send(Request::Status{}), fails(CK::io));
    // A handler that throws closes its connection without a reply; the server goes on.
    EXPECT_EQ(send(Request::Prompt{"throw", false, 1}), fails(CK::io));
    // Cancelled when the client goes, or the server.
    const auto pending = [&](std::size_t i, const char* line) {
        Fd client = rawConnect(path);
        sendRaw(client.get(), line);
        EXPECT_FALSE(withCall(i, [](Call& call) { return call.cancelled.stop_requested(); }));
        return client;
    };
    Fd halfClosed = pending(n + 5, "{\"status\":{}}\n");
    errno = EINTR; // left by an earlier call: an expired wait must still end
    EXPECT_EQ(SocketIO::readLine(halfClosed.get(), after(0s)), std::nullopt);
    // A reader also ends on its interrupt, even on descriptor 0 (a daemon started without stdin).
    auto interrupt = Pipe::create();
    sendRaw(interrupt->write.get(), "x");
    const int savedStdin = ::fcntl(0, F_DUPFD_CLOEXEC, 10);
    ::dup2(interrupt->read.get(), 0);
    const auto reading = std::chrono::steady_clock::now();
    EXPECT_EQ(SocketIO::readLine(halfClosed.get(), after(10s), 0), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - reading, 5s);
    ::dup2(savedStdin, 0), ::close(savedStdin);
    timeval limit{}; // a send deadline keeps its milliseconds
    socklen_t size = sizeof limit;
    ASSERT_TRUE(SocketIO::setSendDeadline(halfClosed.get(), after(500900ms))
                && ::getsockopt(halfClosed.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, &size) == 0);
    EXPECT_NEAR(static_cast<double>(limit.tv_sec) + static_cast<double>(limit.tv_usec) / 1e6, 500.9, 0.2);
    ::shutdown(halfClosed.get(), SHUT_WR); // the server sees the end while this side can still read
    EXPECT_TRUE(waitFor([&] { return withCall(n + 5, [](Call& call) { return call.cancelled.stop_requested(); }); }));
    withCall(n + 5, [](Call& call) { call.reply(Response::Ok{}); }); // too late: nothing is written
    EXPECT_EQ(readUntilClosed(halfClosed.get(), after(10s)), "");
    Fd third = pending(n + 6, "{\"status\":{}}\n");
    server.reset(); // must not wait for the Reply still held here
    EXPECT_TRUE(withCall(n + 6, [](Call& call) { return call.cancelled.stop_requested(); }));
    EXPECT_EQ(readUntilClosed(third.get(), after(10s)), "");
    withCall(n + 6, [](Call& call) { call.reply(Response::Ok{}); }); // after the server: does nothing
    // A silent client is closed at the request deadline, timed from before it connected.
    startServer(1s);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(replyTo(path, "{\"status\":"), "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 990ms);
    EXPECT_EQ(callCount(), n + 7);
}
