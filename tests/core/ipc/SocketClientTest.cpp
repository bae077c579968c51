// SocketClient::send and the shared socket routines against scripted raw servers.
#include "ipc/SocketClient.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>

#include "SocketTestSupport.h"
#include "ipc/SocketServer.h"
#include "support/TempDir.h"
#include "sys/Pipe.h"

namespace vantorelle {
namespace {

using namespace vantorelle::test;
using Kind = SocketClient::ClientError::Kind;
using Result = std::expected<Response, SocketClient::ClientError>;
constexpr std::size_t kPathLimit = sizeof(sockaddr_un::sun_path) - 1;

Result failure(Kind kind, int error = 0)
{
    return std::unexpected(SocketClient::ClientError{kind, error});
}
// A `denied` reply whose line (without the line feed) is exactly `size` bytes.
std::string deniedLineOfSize(std::size_t size)
{
    return R"({"denied":{"reason":")" + std::string(size - 24, 'r') + R"("}})";
}

class SocketClientTest : public ::testing::Test
{
protected:
    // Sends `request` to a server that reads the request line, then writes `reply` (in small
    // pieces when it is short) and closes.
    Result exchange(const std::string& reply, Request request = Request::Status{})
    {
        std::filesystem::remove(path);
        RawServer server(path, [&](Fd client) {
            received = SocketIO::readLine(client.get(), after(10s)).value_or("<none>");
            for (std::size_t i = 0; i < reply.size(); i += reply.size() < 200 ? 7 : reply.size()) {
                (void)io::writeAll(client.get(),
                                   std::string_view(reply).substr(i, reply.size() < 200 ? 7 : reply.size()));
                std::this_thread::sleep_for(1ms); // lets the client see the pieces separately
            }
        });
        return SocketClient::send(std::move(request), path, 20.0);
    }

    TempDir dir{"vtc"};
    std::filesystem::path path = dir.path() / "c.sock";
    std::string received;
};

TEST_F(SocketClientTest, RepliesAreJoinedCutAtTheFirstLineAndLimitedToOneMebibyte)
{
    EXPECT_EQ(exchange(R"({"status":{"_0":{"state":"unlocked","remaining_seconds":42,"keys":["a\/b"]}}})"
                       "\n"),
              Response(Response::Status{{"unlocked", 42, {"a/b"}}}));
    EXPECT_EQ(received, R"({"status":{}})");
    EXPECT_EQ(exchange("{\"ok\":{}}\n{\"denied\":{\"reason\":\"x\"}}\ngarbage", Request::Lock{}),
              Response(Response::Ok{}));
    const auto longest = exchange(deniedLineOfSize(SocketIO::kMaxLineBytes) + "\n");
    ASSERT_TRUE(longest);
    EXPECT_EQ(std::get<Response::Denied>(longest->value).reason.size(), SocketIO::kMaxLineBytes - 24);
    EXPECT_EQ(exchange(deniedLineOfSize(SocketIO::kMaxLineBytes + 1) + "\n"), failure(Kind::io));
    EXPECT_EQ(exchange(""), failure(Kind::io)); // closed without a word
    for (const char* reply : {"not json\n", "{\"unknown\":{}}\n", "\n", "{\"secret\":{\"_0\":5}}\n"}) {
        EXPECT_EQ(exchange(reply), failure(Kind::badResponse)) << reply;
    }
}

TEST_F(SocketClientTest, ServerThatNeverAnswersGivesTimeoutAfterTheGivenTime)
{
    RawServer server(path, [&](Fd client) {
        (void)readUntilClosed(client.get(), after(20s)); // hold the connection until the client gives up
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SocketClient::send(Request::Status{}, path, 0.5), failure(Kind::timeout));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
}

TEST_F(SocketClientTest, NothingListeningAndRequestsThatCannotBeSent)
{
    EXPECT_EQ(SocketClient::send(Request::Status{}, path, 1.0), failure(Kind::connectFailed, ENOENT));
    (void)listenOn(path); // a stale socket, as a crashed server leaves it
    EXPECT_EQ(SocketClient::send(Request::Status{}, path, 1.0), failure(Kind::connectFailed, ECONNREFUSED));
    std::filesystem::remove(path);
    ::close(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    EXPECT_EQ(SocketClient::send(Request::Status{}, path, 1.0), failure(Kind::connectFailed, ECONNREFUSED));
    EXPECT_EQ(SocketClient::send(Request::Unlock{std::numeric_limits<double>::infinity(), std::nullopt, 1}, path, 1.0),
              failure(Kind::encoding));
}

TEST_F(SocketClientTest, PathLengthLimitOfThisPlatform)
{
    path = pathOfLength(dir.path(), kPathLimit);
    EXPECT_EQ(exchange("{\"ok\":{}}\n", Request::Lock{}), Response(Response::Ok{}));
    std::filesystem::remove(path);
    const auto tooLong = pathOfLength(dir.path(), kPathLimit + 1);
    EXPECT_EQ(SocketClient::send(Request::Lock{}, tooLong, 1.0), failure(Kind::connectFailed, ENAMETOOLONG));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    // The address holds the path bytes and a terminator and is always passed at full size.
    const auto address = SocketIO::socketAddress(path);
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
    SocketServer server(path, [&](Request, std::int32_t, SocketServer::Reply reply, std::stop_token) {
        std::lock_guard guard(lock);
        held.push_back(std::move(reply));
    });
    ASSERT_TRUE(server.start().has_value());
    for (const double timeout : {0.0, -3.0, std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_EQ(SocketClient::send(Request::Status{}, path, timeout), failure(Kind::timeout));
    }
    EXPECT_TRUE(waitFor([&] { // each call did connect and send its request
        std::lock_guard guard(lock);
        return held.size() == 3;
    }));
    std::lock_guard guard(lock);
    held.clear();
}

TEST_F(SocketClientTest, FullBacklogIsWaitedOutUntilTheDeadline)
{
    Fd listener = listenOn(path, 0);
    std::vector<Fd> queued; // fill the queue of a server that never accepts
    for (const auto address = SocketIO::socketAddress(path); queued.size() < 64;) {
        Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address->address), address->length) != 0) {
            ASSERT_EQ(errno, EAGAIN);
            break;
        }
        queued.push_back(std::move(fd));
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SocketClient::send(Request::Status{}, path, 0.3), failure(Kind::timeout));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    // Room appears while a client waits: it gets through.
    std::jthread acceptor([&] {
        std::this_thread::sleep_for(100ms);
        for (int i = 0; i < 128 && io::pollOne(listener.get(), POLLIN, after(5s)) > 0; ++i) {
            Fd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (SocketIO::readLine(client.get(), after(50ms)) == R"({"lock":{}})") {
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
    EXPECT_EQ(SocketIO::readLine(a.get(), after(1s)), "first");
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

} // namespace
} // namespace vantorelle
