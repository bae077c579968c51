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
#include "ipc/SocketServer.h"
#include "support/TempDir.h"

namespace {

// Secrets are this byte repeated, so any sizeable piece of one is found. Not "/": the encoder writes
// it as "\/", and a marker with one would not be found in encoded text.
constexpr std::string_view g_marker = "QQQQQQQQ";
std::atomic<bool> g_watching{false};
std::atomic<int> g_unwiped{0};

// Only the bytes the block was asked for: the rest may hold leftovers of the test's own strings.
void inspect(void* block, std::size_t size) noexcept
{
    g_unwiped += block && g_watching && ::memmem(block, size, g_marker.data(), g_marker.size());
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

TEST(MessagesWiping, ASecretSentFromServerToClientLeavesNoCopyInFreedMemory)
{
    // Answers and secrets, around the buffers' growth steps, one held inline and one far longer
    // than a read, so the line reader's buffer grows several times; encoding and decoding included.
    TempDir dir("vt-wipe");
    for (const std::size_t repeats : {1, 2, 16, 201, 2000}) {
        const SecretString secret(std::string_view(std::string(repeats * g_marker.size(), g_marker[0])));
        const auto response = [&] {
            return repeats % 2 ? Response(Response::Answer{secret.copy()}) : Response(Response::Secret{secret.copy()});
        };
        std::optional<SocketServer> server(
            std::in_place, dir.path() / "c.sock",
            [&](Request, std::int32_t, SocketServer::Reply reply, std::stop_token) { reply(response()); });
        ASSERT_TRUE(server->start());
        // The server goes inside the watch: destroying it waits for its connection thread.
        EXPECT_EQ(unwipedBlocksDuring([&] {
                      EXPECT_EQ(SocketClient::send(Request::Status{}, dir.path() / "c.sock", 10), response());
                      server.reset();
                  }),
                  0)
            << repeats;
    }
    const std::string plain(64, g_marker[0]); // last: it leaves unwiped copies in the heap
    EXPECT_GT(unwipedBlocksDuring([&] { std::string copy(plain); }), 0) << "the watch must see a plain copy";
}
