// SocketServer against the real client, raw clients and a server run as another user.
#include "ipc/SocketServer.h"

#include <condition_variable>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <mutex>
#include <pwd.h>
#include <random>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "SocketTestSupport.h"
#include "ipc/SocketClient.h"
#include "support/TempDir.h"
#include "sys/Pipe.h"

using namespace vantorelle;
using namespace vantorelle::test;
using ClientKind = SocketClient::ClientError::Kind;
using ServerKind = SocketServer::ServerError::Kind;

namespace {

constexpr std::size_t kPathLimit = sizeof(sockaddr_un::sun_path) - 1;

// Records every call. `answer` gives an immediate reply; without one the request stays pending.
class Recorder
{
public:
    struct Call
    {
        Request request;
        std::int32_t peerPID;
        SocketServer::Reply reply;
        std::stop_token cancelled;
    };

    std::function<std::optional<Response>(const Request&)> answer;

    SocketServer::Handler handler()
    {
        return [this](Request request, std::int32_t pid, SocketServer::Reply reply, std::stop_token cancelled) {
            std::optional<Response> now = answer ? answer(request) : std::nullopt;
            std::lock_guard guard(m_lock);
            if (now) {
                reply(std::move(*now));
            }
            m_calls.push_back(Call{std::move(request), pid, std::move(reply), std::move(cancelled)});
        };
    }
    std::size_t count()
    {
        std::lock_guard guard(m_lock);
        return m_calls.size();
    }
    bool waitForCalls(std::size_t n)
    {
        return waitFor([&] { return count() >= n; });
    }
    // Runs `f` on call `i` under the lock.
    template <typename F> auto with(std::size_t i, F f)
    {
        std::lock_guard guard(m_lock);
        return f(m_calls.at(i));
    }
    void dropAll()
    {
        std::lock_guard guard(m_lock);
        m_calls.clear();
    }

private:
    std::mutex m_lock;
    std::vector<Call> m_calls;
};

class SocketServerTest : public ::testing::Test
{
protected:
    TempDir dir{"vts"};
    std::filesystem::path path = dir.path() / "run" / "c.sock";
    Recorder recorder; // outlives the server
    std::unique_ptr<SocketServer> server;

    void startServer(std::chrono::milliseconds requestDeadline = std::chrono::seconds(10))
    {
        server = std::make_unique<SocketServer>(path, recorder.handler(), requestDeadline);
        const auto started = server->start();
        ASSERT_TRUE(started.has_value()) << static_cast<int>(started.error().kind) << " " << started.error().error;
    }
    void answerOk()
    {
        recorder.answer = [](const Request&) { return Response(Response::Ok{}); };
    }
    mode_t modeOf(const std::filesystem::path& p)
    {
        struct stat st = {};
        EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
        return st.st_mode & 07777;
    }
};

// A spawned program, killed and reaped when it goes away.
class Child
{
public:
    Child(const std::vector<std::string>& argv, int outputFD)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outputFD, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, outputFD, STDERR_FILENO);
        std::vector<char*> args;
        for (const auto& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        char* env[] = {const_cast<char*>("PATH=/usr/bin:/bin"), nullptr};
        if (::posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), env) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() { kill(); }
    bool started() const { return m_pid > 0; }
    void kill()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) { }
            m_pid = -1;
        }
    }

private:
    pid_t m_pid = -1;
};

const std::unexpected<SocketClient::ClientError> kIo{SocketClient::ClientError{ClientKind::io}};
const std::unexpected<SocketClient::ClientError> kNotOurs{SocketClient::ClientError{ClientKind::connectFailed, EPERM}};

} // namespace

TEST_F(SocketServerTest, AnswersAndPassesThePeerProcessId)
{
    recorder.answer = [](const Request& r) {
        return std::holds_alternative<Request::Status>(r.value)
            ? Response(Response::Status{{StatusState::unlocked, 600, {"id_ed25519"}}})
            : Response(Response::Denied{DenialReason::unavailable});
    };
    startServer();
    EXPECT_EQ(SocketClient::send(Request::Status{}, path, 10.0),
              Response(Response::Status{{StatusState::unlocked, 600, {"id_ed25519"}}}));
    EXPECT_EQ(SocketClient::send(Request::Passphrase{"/k/id", "Enter passphrase for /k/id: ", 77}, path, 10.0),
              Response(Response::Denied{DenialReason::unavailable}));
    ASSERT_EQ(recorder.count(), 2u);
    recorder.with(0, [](auto& call) { EXPECT_EQ(call.peerPID, ::getpid()); });
    recorder.with(1, [](auto& call) {
        EXPECT_EQ(call.request, Request(Request::Passphrase{"/k/id", "Enter passphrase for /k/id: ", 77}));
    });
}

TEST_F(SocketServerTest, OnlyItsOwnDirectoryIsMadePrivateAndUnsafeOnesAreRefused)
{
    // Each case: the socket's directory, how it is before the start (nullopt: missing), its owner,
    // and the mode after (nullopt: the start is refused as unsafe, EPERM).
    struct Case
    {
        std::string name;
        std::optional<mode_t> before;
        uid_t owner;
        std::optional<mode_t> after;
    };
    const passwd* nobody = ::getpwnam("nobody");
    const uid_t me = ::geteuid();
    std::vector<Case> cases{
        {"made", std::nullopt, me, 0700}, // created by the server: private
        {"vantorelle", 0755, me, 0700}, // the app's own directory: private
        {"home", 0755, me, 0755}, // like $HOME/c.sock: used as it is
        {"tmp", 01777, me, 01777}, // like /tmp/x.sock: mode and sticky bit stay
    };
    if (me == 0 && nobody) {
        cases.push_back({"theirs", 0755, nobody->pw_uid, std::nullopt});
        cases.push_back({"theirs-sticky", 01777, nobody->pw_uid, std::nullopt});
        cases.push_back({"vantorelle-theirs/vantorelle", 0700, nobody->pw_uid, std::nullopt});
    }
    answerOk();
    for (const auto& c : cases) {
        path = dir.path() / c.name / "c.sock";
        if (c.before) {
            std::filesystem::create_directories(path.parent_path());
            ASSERT_EQ(::chmod(path.parent_path().c_str(), *c.before), 0);
            ASSERT_EQ(::chown(path.parent_path().c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        }
        SocketServer s(path, recorder.handler());
        const auto started = s.start();
        if (!c.after) {
            EXPECT_EQ(started, std::unexpected(SocketServer::ServerError{ServerKind::directory, EPERM})) << c.name;
            EXPECT_FALSE(std::filesystem::exists(path)) << c.name;
            EXPECT_EQ(modeOf(path.parent_path()), *c.before) << c.name;
            continue;
        }
        ASSERT_TRUE(started.has_value()) << c.name;
        EXPECT_EQ(modeOf(path.parent_path()), *c.after) << c.name;
        EXPECT_EQ(modeOf(path), 0600u) << c.name;
    }
}

TEST_F(SocketServerTest, SecondServerOnThePathIsAlreadyRunningAndTheFirstKeepsServing)
{
    answerOk();
    startServer();
    SocketServer second(path, recorder.handler());
    EXPECT_EQ(second.start(), std::unexpected(SocketServer::ServerError{ServerKind::alreadyRunning}));
    EXPECT_EQ(server->start(), std::unexpected(SocketServer::ServerError{ServerKind::alreadyRunning}));
    second.stop();
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(SocketClient::send(Request::Lock{}, path, 10.0), Response(Response::Ok{}));
}

TEST_F(SocketServerTest, StaleSocketFileIsReplaced)
{
    std::filesystem::create_directories(path.parent_path());
    makeStaleSocket(path);
    ASSERT_TRUE(std::filesystem::is_socket(path));
    answerOk();
    startServer();
    EXPECT_EQ(SocketClient::send(Request::Lock{}, path, 10.0), Response(Response::Ok{}));
}

TEST_F(SocketServerTest, StopRemovesItsOwnFileOnly)
{
    answerOk();
    startServer();
    server->stop();
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(SocketClient::send(Request::Lock{}, path, 1.0),
              std::unexpected(SocketClient::ClientError{ClientKind::connectFailed, ENOENT}));
    server->stop(); // twice is fine

    // Restartable; then someone else's socket takes the path: stop() leaves it alone.
    ASSERT_TRUE(server->start().has_value());
    std::filesystem::remove(path);
    Fd other = listenOn(path);
    server->stop();
    EXPECT_TRUE(std::filesystem::is_socket(path));

    // Same with a plain file.
    std::filesystem::remove(path);
    other.reset();
    ASSERT_TRUE(server->start().has_value());
    std::filesystem::remove(path);
    ::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    server.reset();
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
}

TEST_F(SocketServerTest, PathThatIsNotASocketFailsToBindAndIsKept)
{
    std::filesystem::create_directories(path.parent_path());
    ::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    SocketServer s(path, recorder.handler());
    EXPECT_EQ(s.start(), std::unexpected(SocketServer::ServerError{ServerKind::bind, EADDRINUSE}));
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
    EXPECT_FALSE(s.running());
}

TEST_F(SocketServerTest, DirectoryThatIsAFile)
{
    ::close(::open((dir.path() / "run").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    SocketServer s(path, recorder.handler());
    EXPECT_EQ(s.start(), std::unexpected(SocketServer::ServerError{ServerKind::directory, ENOTDIR}));
    EXPECT_EQ(modeOf(dir.path() / "run"), 0644u);
}

TEST_F(SocketServerTest, PathLengthLimitOfThisPlatform)
{
    answerOk();
    const auto longest = pathOfLength(dir.path(), kPathLimit);
    SocketServer fits(longest, recorder.handler());
    ASSERT_TRUE(fits.start().has_value());
    EXPECT_EQ(SocketClient::send(Request::Lock{}, longest, 10.0), Response(Response::Ok{}));
    fits.stop();

    const auto tooLong = pathOfLength(dir.path() / "sub", kPathLimit + 1);
    SocketServer tooFar(tooLong, recorder.handler());
    EXPECT_EQ(tooFar.start(), std::unexpected(SocketServer::ServerError{ServerKind::pathTooLong}));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "sub")); // nothing created, not even the directory
}

TEST_F(SocketServerTest, UndecodableRequestClosesWithoutReply)
{
    answerOk();
    startServer();
    for (const char* line : {"garbage\n", "{}\n", "{\"status\":{},\"lock\":{}}\n", "\n",
                             "{\"passphrase\":{\"keyPath\":\"k\",\"prompt\":\"p\",\"callerPID\":2147483648}}\n"}) {
        Fd client = rawConnect(path);
        sendRaw(client.get(), line);
        EXPECT_EQ(readUntilClosed(client.get(), after(10s)), "") << line;
    }
    EXPECT_EQ(recorder.count(), 0u);
}

TEST_F(SocketServerTest, RequestLineLimitIsOneMebibyte)
{
    answerOk();
    startServer();
    const std::string head = R"({"status":{},"pad":")";
    const std::string tail = R"("})";
    const std::string fits = head + std::string(SocketIO::kMaxLineBytes - head.size() - tail.size(), 'p') + tail;
    {
        Fd client = rawConnect(path);
        sendRaw(client.get(), fits + "\n");
        EXPECT_EQ(readUntilClosed(client.get(), after(10s)), "{\"ok\":{}}\n");
    }
    {
        Fd client = rawConnect(path);
        (void)io::writeAll(client.get(), head + "p" + fits.substr(head.size()) + "\n");
        EXPECT_EQ(readUntilClosed(client.get(), after(10s)), "");
    }
    EXPECT_EQ(recorder.count(), 1u);
}

TEST_F(SocketServerTest, ClientHangingUpCancelsTheHandlerAndNothingIsWritten)
{
    startServer();
    // Half-close: the server sees the end of the stream while this side can still read.
    Fd client = rawConnect(path);
    sendRaw(client.get(), "{\"status\":{}}\n");
    ASSERT_TRUE(recorder.waitForCalls(1));
    EXPECT_FALSE(recorder.with(0, [](auto& call) { return call.cancelled.stop_requested(); }));
    ::shutdown(client.get(), SHUT_WR);
    EXPECT_TRUE(waitFor([&] { return recorder.with(0, [](auto& call) { return call.cancelled.stop_requested(); }); }));
    recorder.with(0, [](auto& call) { call.reply(Response::Ok{}); });
    EXPECT_EQ(readUntilClosed(client.get(), after(10s)), "");

    // Full close, with a stop callback as the coordinator would register one.
    std::atomic<bool> called{false};
    Fd second = rawConnect(path);
    sendRaw(second.get(), "{\"lock\":{}}\n");
    ASSERT_TRUE(recorder.waitForCalls(2));
    auto callback = recorder.with(1, [&](auto& call) {
        return std::make_unique<std::stop_callback<std::function<void()>>>(
            call.cancelled, std::function<void()>([&] { called = true; }));
    });
    second.reset();
    EXPECT_TRUE(waitFor([&] { return called.load(); }));
    recorder.with(1, [](auto& call) { call.reply(Response::Ok{}); }); // too late: ignored
}

TEST_F(SocketServerTest, ReplyCompletedLaterFromAnotherThread)
{
    startServer();
    std::jthread replier([&] {
        if (recorder.waitForCalls(1)) {
            std::this_thread::sleep_for(50ms);
            recorder.with(0, [](auto& call) { call.reply(Response::Secret{SecretString(std::string_view("pw"))}); });
        }
    });
    EXPECT_EQ(SocketClient::send(Request::Passphrase{"/k", "p", 1}, path, 10.0),
              Response(Response::Secret{SecretString(std::string_view("pw"))}));
}

TEST_F(SocketServerTest, DroppedReplyOrThrowingHandlerClosesWithoutReply)
{
    startServer();
    std::jthread dropper([&] {
        if (recorder.waitForCalls(1)) {
            recorder.dropAll();
        }
    });
    EXPECT_EQ(SocketClient::send(Request::Status{}, path, 10.0), kIo);

    SocketServer throwing(dir.path() / "t.sock", [](Request, std::int32_t, SocketServer::Reply, std::stop_token) {
        throw std::runtime_error("handler bug");
    });
    ASSERT_TRUE(throwing.start().has_value());
    EXPECT_EQ(SocketClient::send(Request::Status{}, dir.path() / "t.sock", 10.0), kIo);
    EXPECT_EQ(SocketClient::send(Request::Status{}, dir.path() / "t.sock", 10.0), kIo); // still serving
}

TEST_F(SocketServerTest, SurvivesArbitraryBytesAndManyConnections)
{
    answerOk();
    startServer();
    std::mt19937 random(7);
    for (int i = 0; i < 150; ++i) {
        Fd client = rawConnect(path);
        std::string bytes(random() % 2000, '\0');
        for (auto& c : bytes) {
            c = static_cast<char>(random() & 0xff);
        }
        (void)io::writeAll(client.get(), bytes);
        if (i % 2 == 0) {
            (void)io::writeAll(client.get(), "\n");
        }
        // closed at once, half the time before the server has read anything
    }
    std::vector<std::jthread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 50; ++i) {
        clients.emplace_back([&] {
            if (SocketClient::send(Request::Lock{}, path, 20.0) == Response(Response::Ok{})) {
                ++answered;
            }
        });
    }
    clients.clear();
    EXPECT_EQ(answered.load(), 50);
}

TEST_F(SocketServerTest, AcceptFailingForLackOfDescriptorsDoesNotSpinAndRecovers)
{
    answerOk();
    startServer();
    // The socket is made now but connected only once no descriptor is left, so the server
    // cannot take the connection before the shortage begins.
    const auto address = SocketIO::socketAddress(path);
    ASSERT_TRUE(address);
    Fd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(client);

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<Fd> hog;
    for (;;) {
        Fd fd(::fcntl(0, F_DUPFD_CLOEXEC, 0));
        if (!fd) {
            break;
        }
        hog.push_back(std::move(fd));
    }
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&address->address), address->length), 0);
    sendRaw(client.get(), "{\"lock\":{}}\n");
    timespec before{}, after_{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    std::this_thread::sleep_for(1s); // the accept thread keeps failing meanwhile
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after_);
    hog.clear();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    const double cpu = static_cast<double>(after_.tv_sec - before.tv_sec) + (after_.tv_nsec - before.tv_nsec) / 1e9;
    EXPECT_LT(cpu, 0.1) << "seconds of CPU while accept failed for one second";

    EXPECT_EQ(readUntilClosed(client.get(), after(10s)), "{\"ok\":{}}\n");
}

TEST_F(SocketServerTest, DestroyingTheServerCancelsPendingRequests)
{
    startServer();
    Fd client = rawConnect(path);
    sendRaw(client.get(), "{\"status\":{}}\n");
    ASSERT_TRUE(recorder.waitForCalls(1));
    const auto token = recorder.with(0, [](auto& call) { return call.cancelled; });
    server.reset(); // must not wait for the Reply the recorder still holds
    EXPECT_TRUE(token.stop_requested());
    EXPECT_EQ(readUntilClosed(client.get(), after(10s)), "");
    EXPECT_FALSE(std::filesystem::exists(path));
    recorder.with(0, [](auto& call) { call.reply(Response::Ok{}); }); // after the server: does nothing
}

TEST_F(SocketServerTest, SilentClientIsClosedAtTheRequestDeadline)
{
    answerOk();
    startServer(1s);
    // Timed from before the connection exists, so the server's deadline lies wholly inside.
    const auto start = std::chrono::steady_clock::now();
    Fd client = rawConnect(path);
    sendRaw(client.get(), "{\"status\":"); // no line feed, then silence
    EXPECT_EQ(readUntilClosed(client.get(), after(30s)), "");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 990ms);
    EXPECT_LT(elapsed, 25s);
    EXPECT_EQ(recorder.count(), 0u);
}

TEST_F(SocketServerTest, PeerOfAnotherUserIsClosedWithoutReply)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the server runs as 'nobody' through setpriv and root connects to it";
    }
    const passwd* nobody = ::getpwnam("nobody");
    const group* nogroup = ::getgrnam("nogroup");
    if (!nobody || !nogroup || !std::filesystem::exists("/usr/bin/setpriv")) {
        GTEST_SKIP() << "needs the user 'nobody', the group 'nogroup' and /usr/bin/setpriv";
    }
    // /tmp/vts-XXXXXX/n, owned by nobody; root gets through the modes, which is what is tested.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const auto home = dir.path() / "n";
    std::filesystem::create_directory(home);
    ASSERT_EQ(::chown(home.c_str(), nobody->pw_uid, nogroup->gr_gid), 0);
    const auto socketPath = home / "c.sock";

    auto output = Pipe::create();
    ASSERT_TRUE(output.has_value());
    Child helper({"/usr/bin/setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                  "--regid=" + std::to_string(nogroup->gr_gid), "--clear-groups", VANTORELLE_PEER_SERVER,
                  socketPath.native()},
                 output->write.get());
    ASSERT_TRUE(helper.started());
    output->write.reset();

    // Its own user is served.
    LineReader lines(output->read.get());
    EXPECT_EQ(lines.next(after(20s)), "handled");
    EXPECT_EQ(lines.next(after(20s)), "ready self-ok");
    struct stat st = {};
    ASSERT_EQ(::lstat(socketPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);

    // Root is not: closed at once, without a reply, and the handler never runs. (Our client does
    // not even ask a server of another user.)
    EXPECT_EQ(SocketClient::send(Request::Status{}, socketPath, 10.0), kNotOurs);
    Fd raw = rawConnect(socketPath);
    (void)io::writeAll(raw.get(), "{\"status\":{}}\n");
    EXPECT_EQ(readUntilClosed(raw.get(), after(10s)), "");

    helper.kill();
    EXPECT_EQ(readUntilClosed(output->read.get(), after(10s)), ""); // no further "handled"

    // A server of another user that would answer anyone: the client refuses it before it says
    // a word, and the server only ever hears the raw line sent after.
    auto anyOutput = Pipe::create();
    ASSERT_TRUE(anyOutput.has_value());
    Child squatter({"/usr/bin/setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                    "--regid=" + std::to_string(nogroup->gr_gid), "--clear-groups", VANTORELLE_PEER_SERVER,
                    (home / "any.sock").native(), "any-peer"},
                   anyOutput->write.get());
    ASSERT_TRUE(squatter.started());
    anyOutput->write.reset();
    LineReader heard(anyOutput->read.get());
    ASSERT_EQ(heard.next(after(20s)), "ready");
    EXPECT_EQ(SocketClient::send(Request::Status{}, home / "any.sock", 10.0), kNotOurs);
    EXPECT_EQ(heard.next(after(20s)), "got nothing");
    Fd rawLock = rawConnect(home / "any.sock");
    (void)io::writeAll(rawLock.get(), "{\"lock\":{}}\n");
    EXPECT_EQ(heard.next(after(20s)), "got {\"lock\":{}}");
    squatter.kill();
}
