// A secret that travels in a message leaves no copy in freed memory: every heap block given back
// while a message is read from a socket, encoded or decoded is searched for it, the growing
// buffers of the line reader, the parser and the serializer included.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <malloc.h>
#include <new>
#include <string>

#include "ipc/Messages.h"
#include "ipc/SocketClient.h"
#include "ipc/SocketIO.h"
#include "ipc/SocketServer.h"
#include "support/TempDir.h"
#include "sys/Io.h"
#include "sys/Pipe.h"

namespace {

// Each test secret is this repeated, so any sizeable piece of it is found. No "/": the encoder
// writes it as "\/", and a marker with one would not be found in encoded text.
constexpr std::string_view kMarker = "wIpE-mE-";

// What the watch looks for; set only while nothing watches.
std::string_view g_marker = kMarker;
std::atomic<bool> g_watching{false};
std::atomic<int> g_unwiped{0};

// Only the bytes the block was asked for: the rest may hold leftovers of the test's own strings.
void inspect(void* block, std::size_t size) noexcept
{
    if (block && g_watching.load(std::memory_order_relaxed)
        && ::memmem(block, size, g_marker.data(), g_marker.size())) {
        g_unwiped.fetch_add(1, std::memory_order_relaxed);
    }
}

// Counts the freed blocks that still hold the marker while `action` runs.
template <typename Action> int unwipedBlocksDuring(Action&& action)
{
    g_unwiped = 0;
    g_watching = true;
    action();
    g_watching = false;
    return g_unwiped.load();
}

std::string secretText(std::size_t repeats)
{
    std::string text;
    for (std::size_t i = 0; i < repeats; ++i) {
        text += kMarker;
    }
    return text;
}

} // namespace

void* operator new(std::size_t size)
{
    if (void* block = std::malloc(size ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept
{
    inspect(block, block ? ::malloc_usable_size(block) : 0);
    std::free(block);
}

void operator delete(void* block, std::size_t size) noexcept
{
    inspect(block, size);
    std::free(block);
}

using namespace vantorelle;

TEST(MessagesWiping, TheWatchSeesAnOrdinaryStringFreedWithTheSecret)
{
    const std::string secret = secretText(8);
    EXPECT_GT(unwipedBlocksDuring([&] { std::string copy(secret); }), 0);
}

TEST(MessagesWiping, DecodingASecretFreesNoCopyOfIt)
{
    // Lengths around the parser's buffer growth steps, and a short one held inline.
    for (const std::size_t repeats : {2, 4, 16, 200}) {
        const std::string secret = secretText(repeats);
        std::string escaped;
        for (const char c : secret) {
            escaped += c == '/' ? std::string("\\/") : std::string(1, c);
        }
        for (const std::string name : {"secret", "answer"}) {
            const std::string line = "{\"" + name + "\":{\"_0\":\"" + escaped + "\"}}";
            std::optional<std::expected<Response, CodingError>> decoded;
            EXPECT_EQ(unwipedBlocksDuring([&] { decoded = decodeResponse(line); }), 0) << name << " " << repeats;
            ASSERT_TRUE(decoded && decoded->has_value());
            const auto* secretCase = std::get_if<Response::Secret>(&(*decoded)->value);
            const auto* answerCase = std::get_if<Response::Answer>(&(*decoded)->value);
            ASSERT_TRUE(secretCase || answerCase);
            EXPECT_EQ((secretCase ? secretCase->value : answerCase->value).view(), secret);
        }
    }
}

TEST(MessagesWiping, EncodingASecretFreesNoCopyOfIt)
{
    for (const std::size_t repeats : {2, 4, 16, 200}) {
        const Response responses[] = {
            Response::Secret{SecretString(std::string_view(secretText(repeats)))},
            Response::Answer{SecretString(std::string_view(secretText(repeats)))},
        };
        for (const auto& response : responses) {
            std::optional<std::expected<SecretString, CodingError>> text;
            EXPECT_EQ(unwipedBlocksDuring([&] { text = encode(response); }), 0) << repeats;
            ASSERT_TRUE(text && text->has_value());
            const auto decoded = decodeResponse((*text)->view());
            ASSERT_TRUE(decoded.has_value());
            EXPECT_EQ(*decoded, response);
        }
    }
}

TEST(SocketLineWiping, ReadingALineInManyPiecesFreesNoCopyOfIt)
{
    // Far longer than one read, so the line's buffer grows several times.
    const std::string secret = secretText(2000);
    const std::string line = "{\"secret\":{\"_0\":\"" + secret + "\"}}";
    auto pipe = Pipe::create();
    ASSERT_TRUE(pipe);
    ASSERT_TRUE(io::writeAll(pipe->write.get(), line + "\n"));
    std::optional<SecretString> read;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    EXPECT_EQ(unwipedBlocksDuring([&] {
                  read = SocketIO::readLine(pipe->read.get(), deadline);
                  ASSERT_TRUE(read);
                  EXPECT_EQ(read->view(), line);
                  read.reset();
              }),
              0);
}

TEST(SocketLineWiping, AnswerSentByTheServerAndReadByTheClientLeavesNoCopy)
{
    // A marker of its own, grown in a SecretString: no unwiped copy of it lies in the heap before
    // the watch, as leftovers of the other tests' plain strings do.
    g_marker = "sErVeR-+";
    TempDir dir("vt-wipe");
    for (const std::size_t repeats : {1, 2, 16, 200}) {
        SecretString secret;
        for (std::size_t i = 0; i < repeats; ++i) {
            secret.append(g_marker);
        }
        std::optional<SocketServer> server(std::in_place, dir.path() / "c.sock",
                                           [&](Request, std::int32_t, SocketServer::Reply reply, std::stop_token) {
                                               reply(Response::Secret{secret.copy()});
                                           });
        ASSERT_TRUE(server->start());
        // The server goes inside the watch: destroying it waits for its connection thread.
        EXPECT_EQ(unwipedBlocksDuring([&] {
                      const auto response = SocketClient::send(Request::Status{}, dir.path() / "c.sock", 10);
                      ASSERT_TRUE(response);
                      EXPECT_EQ(*response, Response(Response::Secret{secret.copy()}));
                      server.reset();
                  }),
                  0)
            << repeats;
    }
    g_marker = kMarker;
}
