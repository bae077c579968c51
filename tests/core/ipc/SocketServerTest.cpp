// SocketServer against the real client, raw clients and a server run as another user.
#include "ipc/SocketServer.h"

#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <mutex>
#include <pwd.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>

#include "SocketTestSupport.h"
#include "ipc/SocketClient.h"
#include "support/TempDir.h"
#include "sys/ChildProcess.h"
#include "sys/Pipe.h"

namespace vantorelle {
namespace {

using namespace vantorelle::test;
using ServerKind = SocketServer::ServerError::Kind;
const std::unexpected<SocketClient::ClientError> kIo{SocketClient::ClientError{SocketClient::ClientError::Kind::io}};
const Response kOk = Response::Ok{};

// Records every call. `answer` gives an immediate reply; without one the request stays pending.
class Recorder
{
public:
    // Runs `f` under the lock.
    template <typename F> auto with(F f) -> decltype(f())
    {
        std::lock_guard guard(m_lock);
        return f();
    }

    struct Call
    {
        Request request;
        std::int32_t peerPID;
        SocketServer::Reply reply;
        std::stop_token cancelled;
    };
    SocketServer::Handler handler()
    {
        return [this](Request request, std::int32_t pid, SocketServer::Reply reply, std::stop_token cancelled) {
            std::lock_guard guard(m_lock);
            if (answer) {
                reply(answer(request));
            }
            calls.push_back(Call{std::move(request), pid, std::move(reply), std::move(cancelled)});
        };
    }
    bool waitForCalls(std::size_t n)
    {
        return waitFor([&] { return with([&] { return calls.size() >= n; }); });
    }
    std::function<Response(const Request&)> answer;
    std::vector<Call> calls;

private:
    std::mutex m_lock;
};

mode_t modeOf(const std::filesystem::path& p)
{
    struct stat st = {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

class SocketServerTest : public ::testing::Test
{
protected:
    void startServer()
    {
        server = std::make_unique<SocketServer>(path, recorder.handler());
        const auto started = server->start();
        ASSERT_TRUE(started.has_value()) << static_cast<int>(started.error().kind) << " " << started.error().error;
    }
    void answerOk()
    {
        recorder.answer = [](const Request&) { return kOk; };
    }
    std::optional<std::string> rawExchange(const std::string& bytes, const std::filesystem::path& to = {})
    {
        Fd client = rawConnect(to.empty() ? path : to);
        (void)io::writeAll(client.get(), bytes); // the server may close before everything is written
        return readUntilClosed(client.get(), after(20s));
    }

    TempDir dir{"vts"};
    std::filesystem::path path = dir.path() / "run" / "c.sock";
    Recorder recorder; // outlives the server
    std::unique_ptr<SocketServer> server;
};

TEST_F(SocketServerTest, AnswersAndPassesThePeerProcessId)
{
    const Response status = Response::Status{{"unlocked", 600, {"id_ed25519"}}};
    recorder.answer = [&](const Request& r) {
        return std::holds_alternative<Request::Status>(r.value) ? status : Response(Response::Denied{"unavailable"});
    };
    startServer();
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(path.parent_path()), 0700u);
    EXPECT_EQ(SocketClient::send(Request::Status{}, path, 10.0), status);
    const Request passphrase = Request::Passphrase{"/k/id", "Enter passphrase for /k/id: ", 77};
    EXPECT_EQ(SocketClient::send(passphrase, path, 10.0), Response(Response::Denied{"unavailable"}));
    ASSERT_EQ(recorder.calls.size(), 2u);
    EXPECT_EQ(recorder.calls[0].peerPID, ::getpid());
    EXPECT_EQ(recorder.calls[1].request, passphrase);
}

TEST_F(SocketServerTest, SecondServerIsAlreadyRunningAndStopRemovesOnlyItsOwnFile)
{
    answerOk();
    startServer();
    SocketServer second(path, recorder.handler());
    EXPECT_EQ(second.start(), std::unexpected(SocketServer::ServerError{ServerKind::alreadyRunning}));
    EXPECT_EQ(server->start(), std::unexpected(SocketServer::ServerError{ServerKind::alreadyRunning}));
    second.stop();
    EXPECT_EQ(SocketClient::send(Request::Lock{}, path, 10.0), kOk);

    server->stop();
    EXPECT_FALSE(std::filesystem::exists(path));
    server->stop(); // twice is fine
    // Restartable; then someone else's socket or file takes the path: stop() leaves it alone.
    ASSERT_TRUE(server->start().has_value());
    std::filesystem::remove(path);
    Fd other = listenOn(path);
    server->stop();
    EXPECT_TRUE(std::filesystem::is_socket(path));
    other.reset(); // now a stale socket: replaced by the next start
    ASSERT_TRUE(server->start().has_value());
    EXPECT_EQ(SocketClient::send(Request::Lock{}, path, 10.0), kOk);
    std::filesystem::remove(path);
    ::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    server.reset();
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
}

TEST_F(SocketServerTest, PlacesItCannotUse)
{
    std::filesystem::create_directories(path.parent_path());
    ::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    SocketServer onFile(path, recorder.handler());
    EXPECT_EQ(onFile.start(), std::unexpected(SocketServer::ServerError{ServerKind::bind, EADDRINUSE}));
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
    EXPECT_FALSE(onFile.running());

    ::close(::open((dir.path() / "f").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    SocketServer inFile(dir.path() / "f" / "c.sock", recorder.handler());
    EXPECT_EQ(inFile.start(), std::unexpected(SocketServer::ServerError{ServerKind::directory, ENOTDIR}));
    EXPECT_EQ(modeOf(dir.path() / "f"), 0644u);

    answerOk();
    const auto longest = pathOfLength(dir.path(), sizeof(sockaddr_un::sun_path) - 1);
    SocketServer fits(longest, recorder.handler());
    ASSERT_TRUE(fits.start().has_value());
    EXPECT_EQ(SocketClient::send(Request::Lock{}, longest, 10.0), kOk);
    SocketServer tooFar(pathOfLength(dir.path() / "sub", sizeof(sockaddr_un::sun_path)), recorder.handler());
    EXPECT_EQ(tooFar.start(), std::unexpected(SocketServer::ServerError{ServerKind::pathTooLong}));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "sub")); // nothing created, not even the directory
}

TEST_F(SocketServerTest, UndecodableOrTooLongRequestClosesWithoutReply)
{
    answerOk();
    startServer();
    for (const char* line : {"garbage\n", "{}\n", "{\"status\":{},\"lock\":{}}\n", "\n",
                             "{\"passphrase\":{\"keyPath\":\"k\",\"prompt\":\"p\",\"callerPID\":2147483648}}\n"}) {
        EXPECT_EQ(rawExchange(line), "") << line;
    }
    const std::string head = R"({"status":{},"pad":")";
    const std::string fits = head + std::string(SocketIO::kMaxLineBytes - head.size() - 2, 'p') + "\"}";
    EXPECT_EQ(rawExchange(fits + "\n"), "{\"ok\":{}}\n");
    EXPECT_EQ(rawExchange(head + "p" + fits.substr(head.size()) + "\n"), "");
    EXPECT_EQ(recorder.calls.size(), 1u);
}

TEST_F(SocketServerTest, ClientHangingUpCancelsTheHandlerAndNothingIsWritten)
{
    startServer();
    // Half-close: the server sees the end of the stream while this side can still read.
    Fd client = rawConnect(path);
    sendRaw(client.get(), "{\"status\":{}}\n");
    ASSERT_TRUE(recorder.waitForCalls(1));
    auto cancelled
        = [&](std::size_t i) { return recorder.with([&] { return recorder.calls[i].cancelled.stop_requested(); }); };
    EXPECT_FALSE(cancelled(0));
    ::shutdown(client.get(), SHUT_WR);
    EXPECT_TRUE(waitFor([&] { return cancelled(0); }));
    recorder.with([&] { recorder.calls[0].reply(kOk); });
    EXPECT_EQ(readUntilClosed(client.get(), after(10s)), "");

    // Full close, with a stop callback as the coordinator would register one.
    std::atomic<bool> called{false};
    Fd second = rawConnect(path);
    sendRaw(second.get(), "{\"lock\":{}}\n");
    ASSERT_TRUE(recorder.waitForCalls(2));
    std::stop_callback callback(recorder.with([&] { return recorder.calls[1].cancelled; }), [&] { called = true; });
    second.reset();
    EXPECT_TRUE(waitFor([&] { return called.load(); }));
    recorder.with([&] { recorder.calls[1].reply(kOk); }); // too late: ignored
}

TEST_F(SocketServerTest, RepliesLaterFromAnotherThreadAndClosesWhenTheReplyIsDroppedOrTheHandlerThrows)
{
    startServer();
    std::jthread replier([&] {
        if (recorder.waitForCalls(1)) {
            std::this_thread::sleep_for(50ms);
            recorder.with([&] { recorder.calls[0].reply(Response::Secret{SecretString(std::string_view("pw"))}); });
        }
        if (recorder.waitForCalls(2)) {
            recorder.with([&] { recorder.calls.pop_back(); });
        }
    });
    EXPECT_EQ(SocketClient::send(Request::Passphrase{"/k", "p", 1}, path, 10.0),
              Response(Response::Secret{SecretString(std::string_view("pw"))}));
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
        (void)io::writeAll(client.get(), bytes + (i % 2 ? "" : "\n"));
    } // closed at once, half the time before the server has read anything
    std::vector<std::jthread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 50; ++i) {
        clients.emplace_back([&] { answered += SocketClient::send(Request::Lock{}, path, 20.0) == kOk; });
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
    Fd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<Fd> hog;
    for (Fd fd(::fcntl(0, F_DUPFD_CLOEXEC, 0)); fd; fd = Fd(::fcntl(0, F_DUPFD_CLOEXEC, 0))) {
        hog.push_back(std::move(fd));
    }
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&address->address), address->length), 0);
    sendRaw(client.get(), "{\"lock\":{}}\n");
    const auto cpuBefore = std::clock();
    std::this_thread::sleep_for(1s); // the accept thread keeps failing meanwhile
    const double cpu = static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
    hog.clear();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_LT(cpu, 0.1) << "seconds of CPU while accept failed for one second";
    EXPECT_EQ(readUntilClosed(client.get(), after(10s)), "{\"ok\":{}}\n");
}

TEST_F(SocketServerTest, DestroyingTheServerCancelsPendingRequests)
{
    startServer();
    Fd client = rawConnect(path);
    sendRaw(client.get(), "{\"status\":{}}\n");
    ASSERT_TRUE(recorder.waitForCalls(1));
    server.reset(); // must not wait for the Reply the recorder still holds
    EXPECT_TRUE(recorder.calls[0].cancelled.stop_requested());
    EXPECT_EQ(readUntilClosed(client.get(), after(10s)), "");
    EXPECT_FALSE(std::filesystem::exists(path));
    recorder.calls[0].reply(kOk); // after the server: does nothing
}

TEST_F(SocketServerTest, SilentClientIsClosedAfterTenSeconds)
{
    answerOk();
    startServer();
    // Timed from before the connection exists, so the server's ten seconds lie wholly inside.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rawExchange("{\"status\":"), ""); // no line feed, then silence
    EXPECT_GE(std::chrono::steady_clock::now() - start, 9900ms);
    EXPECT_EQ(recorder.calls.size(), 0u);
}

TEST_F(SocketServerTest, PeerOfAnotherUserIsClosedWithoutReply)
{
    const passwd* nobody = ::getpwnam("nobody");
    const group* nogroup = ::getgrnam("nogroup");
    if (::geteuid() != 0 || !nobody || !nogroup || !std::filesystem::exists("/usr/bin/setpriv")) {
        GTEST_SKIP() << "needs root, the user 'nobody', the group 'nogroup' and /usr/bin/setpriv";
    }
    // /tmp/vts-XXXXXX/n, owned by nobody; root gets through the modes, which is what is tested.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const auto home = dir.path() / "n";
    std::filesystem::create_directory(home);
    ASSERT_EQ(::chown(home.c_str(), nobody->pw_uid, nogroup->gr_gid), 0);
    const auto socketPath = home / "c.sock";
    auto output = Pipe::create();
    Environment env;
    env.set("PATH", "/usr/bin:/bin");
    auto helper = ChildProcess::spawn(
        {"/usr/bin/setpriv",
         {"--reuid=" + std::to_string(nobody->pw_uid), "--regid=" + std::to_string(nogroup->gr_gid), "--clear-groups",
          VANTORELLE_PEER_SERVER, socketPath.native()},
         env,
         std::nullopt,
         output->write.get(),
         output->write.get()});
    ASSERT_TRUE(helper);
    output->write.reset();
    // Its own user is served.
    EXPECT_EQ(readUntilClosed(output->read.get(), after(20s), 22), "handled\nready self-ok\n");
    struct stat st = {};
    ASSERT_EQ(::lstat(socketPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
    // Root is not: closed at once, without a reply, and the handler never runs.
    EXPECT_EQ(SocketClient::send(Request::Status{}, socketPath, 10.0), kIo);
    EXPECT_EQ(rawExchange("{\"status\":{}}\n", socketPath), "");
    *helper = ChildProcess();
    EXPECT_EQ(readUntilClosed(output->read.get(), after(10s)), ""); // no further "handled"
}

} // namespace
} // namespace vantorelle
