// Listing over the agent protocol against the real ssh-add: the same result or failure for every
// damaged answer a fake agent serves to both, and for no agent at all.
#include "ssh/AgentProtocol.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

#include "ipc/SocketIO.h"
#include "ssh/AgentClient.h"
#include "ssh/ToolText.h"
#include "support/SshTools.h"
#include "support/TempDir.h"
#include "sys/Sha256.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;
using Set = std::set<std::string>;
using Listing = std::expected<Set, AgentClientError>;

std::string u32(std::uint32_t n)
{
    return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
}
std::string str(std::string_view s)
{
    return u32(static_cast<std::uint32_t>(s.size())) + std::string(s);
}
std::string framed(const std::string& message)
{
    return u32(static_cast<std::uint32_t>(message.size())) + message;
}

// What ssh-add -l -E sha256 makes of the agent on `socket`, as the client's result.
Listing sshAddListing(const std::filesystem::path& socket)
{
    const auto run = test::runTool(ToolText::kSshAdd, {"-l", "-E", "sha256"}, socket);
    if (run.status == 0 || run.output.find("no identities") != std::string::npos) {
        return run.status == 0 ? AgentClient::parseFingerprints(run.output) : Set{};
    }
    return std::unexpected(AgentClientError::commandFailed(run.status, run.output));
}

const auto after = [](std::chrono::milliseconds limit) { return std::chrono::steady_clock::now() + limit; };

// Serves `reply` to the two connections of a case (ssh-add's and the client's), each after its request.
struct FakeAgent
{
    FakeAgent(const std::filesystem::path& path, std::string reply)
    {
        const auto address = SocketIO::socketAddress(path).value();
        EXPECT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address.address), address.length), 0);
        EXPECT_EQ(::listen(listener.get(), 4), 0);
        thread = std::jthread([this, reply = std::move(reply)] {
            for (int served = 0; served < 2 && io::pollOne(listener.get(), POLLIN, after(20s)) > 0; ++served) {
                Fd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
                std::array<char, 5> request{};
                if (io::readExactly(peer.get(), request, after(10s))) {
                    (void)io::writeAll(peer.get(), reply);
                }
            }
        });
    }
    Fd listener{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    std::jthread thread;
};

TEST(AgentProtocol, EveryDamagedAnswerEndsAsSshAddEndsOnIt)
{
    TempDir dir("vt-proto");
    const std::string ed = str("ssh-ed25519") + str(std::string(32, 'k'));
    const std::string rsaN = std::string(1, '\x01') + std::string(255, '\x33');
    const std::string answer = "\x0c" + u32(1) + str(ed) + str("c");
    const auto keys = [](std::uint32_t count, const std::string& blobs) { return framed("\x0c" + u32(count) + blobs); };
    const std::string cert = str("ssh-ed25519-cert-v01@openssh.com") + str("n") + str(std::string(32, 'k'));
    // clang-format off
    const std::pair<const char*, std::string> cases[] = {{"one key", framed(answer)}, {"no keys", keys(0, "")},
        {"rsa, integers with needless leading zeros",
         keys(1, str(str("ssh-rsa") + str(std::string(3, '\0') + "\x01\x00\x01") + str('\0' + rsaN)) + str(""))},
        {"unknown key type skipped", keys(2, str(str("ssh-foo") + str("x")) + str("") + str(ed) + str(""))},
        {"certificate type with a key only", keys(1, str(cert) + str(""))},
        {"short ed25519 key", keys(1, str(str("ssh-ed25519") + str(std::string(31, 'k'))) + str(""))},
        {"bytes after the key", keys(1, str(ed + "z") + str(""))},
        {"negative integer", keys(1, str(str("ssh-rsa") + str("\x81") + str(rsaN)) + str(""))},
        {"refused", framed("\x05")}, {"refused (protocol 2)", framed("\x1e")}, {"other message type", framed("\x63")},
        {"zero length", framed("")}, {"no count", framed("\x0c")}, {"too many keys", keys(2049, "")},
        {"count above the keys sent", keys(2, str(ed) + str("c"))}, {"cut inside a key", framed(answer.substr(0, 20))},
        {"cut off by the agent", framed(answer).substr(0, 30)}, {"header only", u32(10)}, {"closed at once", ""},
        {"longer than allowed", u32(AgentProtocol::kMaxMessageBytes + 1) + "\x0c"},
        {"trailing bytes after the keys", framed(answer + "junk")}};
    // clang-format on
    int index = 0;
    for (const auto& [name, reply] : cases) {
        SCOPED_TRACE(name);
        const auto path = dir.path() / ("a" + std::to_string(index++));
        FakeAgent agent(path, reply);
        const Listing expected = sshAddListing(path);
        EXPECT_EQ(AgentClient(path.string()).loadedFingerprints(), expected)
            << (expected ? "listed" : expected.error().description());
    }
}

TEST(AgentProtocol, NoAgentFailsAsSshAddDoes)
{
    TempDir dir("vt-proto");
    for (const auto& path : {std::filesystem::path(), dir.path() / "none.sock"}) {
        const auto run = test::runTool(ToolText::kSshAdd, {"-l"}, path);
        EXPECT_EQ(AgentClient(path.string()).loadedFingerprints(),
                  Listing(std::unexpected(AgentClientError::commandFailed(run.status, run.output))));
    }
}

TEST(AgentProtocol, Sha256KnownAnswers)
{
    const auto hex = [](std::string_view bytes) {
        std::string out;
        for (const std::uint8_t b : sha256(bytes)) {
            out += "0123456789abcdef"[b >> 4];
            out += "0123456789abcdef"[b & 15];
        }
        return out;
    };
    // Around the block and padding boundaries; the real keys listed from an agent cover the rest.
    for (const auto& [bytes, digest] : std::vector<std::pair<std::string, std::string>>{
             {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
             {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
             {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
             {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
             {std::string(1000, 'x'), "44f8354494a5ba03ba1792a8d3e9c534c47a9181980fde7a3f44b06ef2ae7c7f"}}) {
        EXPECT_EQ(hex(bytes), digest) << bytes.size();
    }
}

} // namespace
} // namespace vantorelle
