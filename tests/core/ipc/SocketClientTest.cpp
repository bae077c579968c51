// SocketClient::send and the shared socket routines against scripted raw servers.
#include "ipc/SocketClient.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>

#include "SocketTestSupport.h"
#include "ipc/IPCPaths.h"
#include "ipc/SocketServer.h"
#include "support/TempDir.h"
#include "sys/Pipe.h"

using namespace vantorelle;
using namespace vantorelle::test;
using Kind = SocketClient::ClientError::Kind;

namespace {

constexpr std::size_t kPathLimit = sizeof(sockaddr_un::sun_path) - 1;

class SocketClientTest : public ::testing::Test
{
protected:
    TempDir dir{"vtc"};
    std::filesystem::path path = dir.path() / "c.sock";
};

// A `denied` reply whose line (without the line feed) is exactly `size` bytes.
std::string deniedLineOfSize(std::size_t size)
{
    const std::string head = R"({"denied":{"reason":")";
    const std::string tail = R"("}})";
    return head + std::string(size - head.size() - tail.size(), 'r') + tail;
}

} // namespace

TEST_F(SocketClientTest, ReplySplitOverSeveralWritesIsJoined)
{
    std::string received;
    {
        RawServer server(path, [&](Fd client) {
            const auto line = SocketIO::readLine(client.get(), after(10s));
            received = line ? line->view() : "<none>";
            const std::string reply = R"({"status":{"_0":{"state":"unlocked","remaining_seconds":42,"keys":["a\/b"]}}})"
                                      "\n";
            for (std::size_t i = 0; i < reply.size(); i += 7) {
                sendRaw(client.get(), std::string_view(reply).substr(i, 7));
                std::this_thread::sleep_for(1ms); // lets the client see the pieces separately
            }
        });
        const auto response = SocketClient::send(Request::Status{}, path, 10.0);
        ASSERT_TRUE(response.has_value()) << static_cast<int>(response.error().kind);
        EXPECT_EQ(*response, Response(Response::Status{{StatusState::unlocked, 42, {"a/b"}}}));
    }
    EXPECT_EQ(received, R"({"status":{}})");
}

TEST_F(SocketClientTest, OnlyTheFirstLineCounts)
{
    RawServer server(path, [&](Fd client) {
        (void)SocketIO::readLine(client.get(), after(10s));
        sendRaw(client.get(), "{\"ok\":{}}\n{\"denied\":{\"reason\":\"x\"}}\ngarbage");
    });
    EXPECT_EQ(SocketClient::send(Request::Lock{}, path, 10.0), Response(Response::Ok{}));
}

TEST_F(SocketClientTest, ReplyLineLimitIsOneMebibyte)
{
    {
        RawServer server(path, [&](Fd client) {
            (void)SocketIO::readLine(client.get(), after(10s));
            sendRaw(client.get(), deniedLineOfSize(SocketIO::kMaxLineBytes) + "\n");
        });
        const auto response = SocketClient::send(Request::Lock{}, path, 20.0);
        ASSERT_TRUE(response.has_value());
        EXPECT_TRUE(std::holds_alternative<Response::Denied>(response->value)); // the whole line was read
    }
    std::filesystem::remove(path);
    {
        RawServer server(path, [&](Fd client) {
            (void)SocketIO::readLine(client.get(), after(10s));
            // The peer may close before everything is written; that is the point.
            (void)io::writeAll(client.get(), deniedLineOfSize(SocketIO::kMaxLineBytes + 1) + "\n");
        });
        EXPECT_EQ(SocketClient::send(Request::Lock{}, path, 20.0),
                  std::unexpected(SocketClient::ClientError{Kind::io}));
    }
}

TEST_F(SocketClientTest, ServerThatNeverAnswersGivesTimeoutAfterTheGivenTime)
{
    RawServer server(path, [&](Fd client) {
        (void)SocketIO::readLine(client.get(), after(10s));
        (void)readUntilClosed(client.get(), after(20s)); // hold the connection until the client gives up
    });
    const auto start = std::chrono::steady_clock::now();
    const auto response = SocketClient::send(Request::Status{}, path, 0.5);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(response, std::unexpected(SocketClient::ClientError{Kind::timeout}));
    EXPECT_GE(elapsed, 500ms);
    EXPECT_LT(elapsed, 5s);
}

TEST_F(SocketClientTest, ServerThatClosesAfterAcceptGivesIo)
{
    RawServer server(path, [](Fd) {});
    EXPECT_EQ(SocketClient::send(Request::Status{}, path, 10.0), std::unexpected(SocketClient::ClientError{Kind::io}));
}

TEST_F(SocketClientTest, UndecodableReplyGivesBadResponse)
{
    for (const char* reply : {"not json\n", "{\"unknown\":{}}\n", "\n", "{\"secret\":{\"_0\":5}}\n"}) {
        std::filesystem::remove(path);
        RawServer server(path, [&](Fd client) {
            (void)SocketIO::readLine(client.get(), after(10s));
            sendRaw(client.get(), reply);
        });
        EXPECT_EQ(SocketClient::send(Request::Status{}, path, 10.0),
                  std::unexpected(SocketClient::ClientError{Kind::badResponse}))
            << reply;
    }
}

TEST_F(SocketClientTest, NothingListening)
{
    EXPECT_EQ(SocketClient::send(Request::Status{}, path, 1.0),
              std::unexpected(SocketClient::ClientError{Kind::connectFailed, ENOENT}));
    makeStaleSocket(path);
    EXPECT_EQ(SocketClient::send(Request::Status{}, path, 1.0),
              std::unexpected(SocketClient::ClientError{Kind::connectFailed, ECONNREFUSED}));
    std::filesystem::remove(path);
    ::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    EXPECT_EQ(SocketClient::send(Request::Status{}, path, 1.0),
              std::unexpected(SocketClient::ClientError{Kind::connectFailed, ECONNREFUSED}));
}

TEST_F(SocketClientTest, EncodingFailureIsReportedWithoutConnecting)
{
    EXPECT_EQ(SocketClient::send(Request::Unlock{std::numeric_limits<double>::infinity(), std::nullopt, 1}, path, 1.0),
              std::unexpected(SocketClient::ClientError{Kind::encoding}));
}

TEST_F(SocketClientTest, PathLengthLimitOfThisPlatform)
{
    const auto longest = pathOfLength(dir.path(), kPathLimit);
    ASSERT_EQ(longest.native().size(), kPathLimit);
    {
        RawServer server(longest, [&](Fd client) {
            (void)SocketIO::readLine(client.get(), after(10s));
            sendRaw(client.get(), "{\"ok\":{}}\n");
        });
        EXPECT_EQ(SocketClient::send(Request::Lock{}, longest, 10.0), Response(Response::Ok{}));
    }
    std::filesystem::remove(longest);

    const auto tooLong = pathOfLength(dir.path(), kPathLimit + 1);
    EXPECT_EQ(SocketClient::send(Request::Lock{}, tooLong, 1.0),
              std::unexpected(SocketClient::ClientError{Kind::connectFailed, ENAMETOOLONG}));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    // The address holds the path bytes and a terminator and is always passed at full size.
    const auto address = SocketIO::socketAddress(longest);
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(address->length, sizeof(sockaddr_un));
    EXPECT_EQ(address->address.sun_path[kPathLimit], '\0');
    EXPECT_EQ(SocketIO::socketAddress(tooLong), std::unexpected(ENAMETOOLONG));
    EXPECT_EQ(SocketIO::socketAddress(""), std::unexpected(EINVAL));
    EXPECT_EQ(SocketIO::socketAddress(std::string("/tmp/a\0b", 8)), std::unexpected(EINVAL));
}

TEST_F(SocketClientTest, ZeroOrNegativeTimeoutStillConnectsThenTimesOut)
{
    std::mutex lock;
    std::vector<SocketServer::Reply> held; // never answered
    int calls = 0;
    SocketServer server(path, [&](Request, std::int32_t, SocketServer::Reply reply, std::stop_token) {
        std::lock_guard guard(lock);
        ++calls;
        held.push_back(std::move(reply));
    });
    ASSERT_TRUE(server.start().has_value());
    for (const double timeout : {0.0, -3.0, std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_EQ(SocketClient::send(Request::Status{}, path, timeout),
                  std::unexpected(SocketClient::ClientError{Kind::timeout}));
    }
    // Each call did connect and send its request.
    EXPECT_TRUE(waitFor([&] {
        std::lock_guard guard(lock);
        return calls == 3;
    }));
    std::lock_guard guard(lock);
    held.clear();
}

TEST_F(SocketClientTest, FullBacklogIsWaitedOutUntilTheDeadline)
{
    Fd listener = listenOn(path, 0);
    // Fill the queue of a server that never accepts.
    std::vector<Fd> queued;
    for (int i = 0; i < 64; ++i) {
        Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        const auto address = SocketIO::socketAddress(path);
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address->address), address->length) != 0) {
            ASSERT_EQ(errno, EAGAIN);
            break;
        }
        queued.push_back(std::move(fd));
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SocketClient::send(Request::Status{}, path, 0.3),
              std::unexpected(SocketClient::ClientError{Kind::timeout}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

    // Room appears while a client waits: it gets through.
    std::jthread acceptor([&] {
        std::this_thread::sleep_for(100ms);
        for (int i = 0; i < 128; ++i) {
            if (io::pollOne(listener.get(), POLLIN, after(5s)) <= 0) {
                return;
            }
            Fd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (auto line = SocketIO::readLine(client.get(), after(50ms)); line && line->view() == R"({"lock":{}})") {
                sendRaw(client.get(), "{\"ok\":{}}\n");
                return;
            }
        }
    });
    EXPECT_EQ(SocketClient::send(Request::Lock{}, path, 10.0), Response(Response::Ok{}));
}

TEST(SocketIO, ReadLineDropsBytesAfterTheLineAndHonoursTheInterrupt)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    Fd a(pair[0]), b(pair[1]);
    sendRaw(b.get(), "first\nsecond\n");
    EXPECT_EQ(SocketIO::readLine(a.get(), after(1s)).value_or(SecretString()).view(), "first");

    auto interrupt = Pipe::create();
    ASSERT_TRUE(interrupt.has_value());
    sendRaw(interrupt->write.get(), "x");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SocketIO::readLine(a.get(), after(10s), interrupt->read.get()), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    sendRaw(b.get(), "partial");
    b.reset();
    EXPECT_EQ(SocketIO::readLine(a.get(), after(1s)), std::nullopt); // closed before the line feed
}

TEST(IPCPaths, WithoutXdgRuntimeDirTheSessionRuntimeDirectoryIsUsedWhenItIsPrivate)
{
    // From cron, su or sudo -u the helper must still find the app of the desktop session.
    TempDir runUser("vtr");
    const auto mine = runUser.path() / std::to_string(::geteuid());
    Environment env;
    env.set("HOME", "/h");
    const std::filesystem::path fallback = "/h/.local/share/vantorelle/c.sock";
    const passwd* nobody = ::getpwnam("nobody");
    struct Case
    {
        const char* what;
        std::optional<mode_t> mode; // nothing: no such directory
        bool otherOwner;
        std::filesystem::path expected;
    };
    std::vector<Case> cases{
        {"missing", std::nullopt, false, fallback},
        {"private", 0700, false, mine / "vantorelle/c.sock"},
        {"group-writable", 0770, false, fallback},
        {"world-writable", 0777, false, fallback},
    };
    if (::geteuid() == 0 && nobody) {
        cases.push_back({"another user's", 0700, true, fallback});
    }
    for (const auto& c : cases) {
        std::filesystem::remove_all(mine);
        if (c.mode) {
            std::filesystem::create_directory(mine);
            ASSERT_EQ(::chmod(mine.c_str(), *c.mode), 0);
            if (c.otherOwner) {
                ASSERT_EQ(::chown(mine.c_str(), nobody->pw_uid, static_cast<gid_t>(-1)), 0);
            }
        }
        EXPECT_EQ(IPCPaths::socket(env, runUser.path()), c.expected) << c.what;
        env.set("XDG_RUNTIME_DIR", "");
        EXPECT_EQ(IPCPaths::socket(env, runUser.path()), c.expected) << c.what << " (empty)";
        env.unset("XDG_RUNTIME_DIR");
    }
}
