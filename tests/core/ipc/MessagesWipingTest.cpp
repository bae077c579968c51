// A secret that travels in a message leaves no copy in freed memory: every heap block given back
// while a message is read from a socket, encoded or decoded is searched for it, the growing
// buffers of the line reader, the parser and the serializer included.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <malloc.h>
#include <new>

#include "ipc/SocketClient.h"
#include "ipc/SocketIO.h"
#include "ipc/SocketServer.h"
#include "support/TempDir.h"
#include "sys/Pipe.h"

namespace {

// Secrets are this repeated, so any sizeable piece of one is found. No "/": the encoder writes it
// as "\/", and a marker with one would not be found in encoded text.
std::string_view g_marker = "wIpE-mE-"; // changed only while nothing watches
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
int unwipedBlocksDuring(const std::function<void()>& action)
{
    g_unwiped = 0;
    g_watching = true;
    action();
    g_watching = false;
    return g_unwiped.load();
}

vantorelle::SecretString secretOf(std::size_t repeats)
{
    vantorelle::SecretString text;
    for (std::size_t i = 0; i < repeats; ++i) {
        text.append(g_marker);
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

TEST(MessagesWiping, EncodingAndDecodingASecretFreeNoCopyOfIt)
{
    // Lengths around the buffers' growth steps, and a short one held inline.
    for (const std::size_t repeats : {2, 4, 16, 200}) {
        for (const Response& response :
             {Response(Response::Answer{secretOf(repeats)}), Response(Response::Secret{secretOf(repeats)})}) {
            std::optional<std::expected<SecretString, CodingError>> text;
            EXPECT_EQ(unwipedBlocksDuring([&] { text = encode(response); }), 0) << repeats;
            ASSERT_TRUE(text && text->has_value());
            EXPECT_EQ(unwipedBlocksDuring([&] { EXPECT_EQ(decodeResponse((*text)->view()), response); }), 0) << repeats;
        }
    }
    const std::string plain(secretOf(8).view()); // last: it leaves unwiped copies in the heap
    EXPECT_GT(unwipedBlocksDuring([&] { std::string copy(plain); }), 0) << "the watch must see a plain copy";
}

TEST(SocketLineWiping, ReadingALineAndAnAnswerSentFromServerToClientLeaveNoCopy)
{
    g_marker = "sErVeR-+"; // one no plain string of another test left in the heap
    // Far longer than one read, so the line's buffer grows several times.
    SecretString line = secretOf(2000);
    line.append("\n");
    auto pipe = Pipe::create();
    ASSERT_TRUE(pipe && io::writeAll(pipe->write.get(), line.view()));
    EXPECT_EQ(unwipedBlocksDuring([&] {
                  auto read = SocketIO::readLine(pipe->read.get(),
                                                 std::chrono::steady_clock::now() + std::chrono::seconds(10));
                  EXPECT_TRUE(read && read->view() == line.view().substr(0, line.view().size() - 1));
              }),
              0);
    TempDir dir("vt-wipe");
    for (const std::size_t repeats : {1, 2, 16, 200}) {
        const SecretString secret = secretOf(repeats);
        std::optional<SocketServer> server(std::in_place, dir.path() / "c.sock",
                                           [&](Request, std::int32_t, SocketServer::Reply reply, std::stop_token) {
                                               reply(Response::Secret{secret.copy()});
                                           });
        ASSERT_TRUE(server->start());
        // The server goes inside the watch: destroying it waits for its connection thread.
        EXPECT_EQ(unwipedBlocksDuring([&] {
                      EXPECT_EQ(SocketClient::send(Request::Status{}, dir.path() / "c.sock", 10),
                                Response(Response::Secret{secret.copy()}));
                      server.reset();
                  }),
                  0)
            << repeats;
    }
}
