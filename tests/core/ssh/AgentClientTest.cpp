// AgentClient against the real ssh-add and a private ssh-agent per test.
#include "ssh/AgentClient.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

#include "support/SshTools.h"
#include "support/TempDir.h"
#include "sys/Fd.h"
#include "sys/Io.h"

namespace vantorelle {
namespace {

using test::fingerprintOf;
using test::makeKey;
using Set = std::set<std::string>;

SecretString sec(std::string_view text)
{
    return SecretString(text);
}

class AgentClientTest : public ::testing::Test
{
protected:
    Set loaded()
    {
        auto fingerprints = client.loadedFingerprints();
        EXPECT_TRUE(fingerprints) << fingerprints.error().description();
        return fingerprints.value_or(Set{});
    }

    TempDir dir{"vt-agent"};
    test::TestAgent agent{dir.path() / "agent.sock"};
    AgentClient client{agent.socket().string()};
};

TEST_F(AgentClientTest, AddsWithPassphraseListsAndRemoves)
{
    EXPECT_EQ(loaded(), Set{});
    const auto key = makeKey(dir.path() / "id_ed25519", {.passphrase = "right one"});
    const auto rsa = makeKey(dir.path() / "id_rsa", {.type = "rsa", .passphrase = "pw123", .pem = true});
    const auto plain = makeKey(dir.path() / "plain", {.keepPublic = false});
    ASSERT_TRUE(client.add(key.string(), sec("right one"), 3600));
    ASSERT_TRUE(client.add(rsa.string(), sec("pw123"), 3600));
    ASSERT_TRUE(client.add(plain.string(), sec("ignored"), 60)); // no passphrase: no prompt
    EXPECT_EQ(loaded(), (Set{fingerprintOf(key), fingerprintOf(rsa), fingerprintOf(plain)}));
    const auto removed = client.remove(key.string());
    ASSERT_TRUE(removed) << removed.error().description();
    EXPECT_EQ(loaded(), (Set{fingerprintOf(rsa), fingerprintOf(plain)}));
    // Removing what is not there is ssh-add's failure, reported with its status and words.
    const auto again = client.remove(key.string());
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().kind, AgentClientError::Kind::commandFailed);
    EXPECT_NE(again.error().status, 0);
}

TEST_F(AgentClientTest, RemovingByThePrivateKeyTakesOutItsCertificateAndNeedsNoPub)
{
    const auto ca = test::makeKey(dir.path() / "ca");
    for (const std::string kind : {"ordinary", "no-pub", "certificate"}) {
        SCOPED_TRACE(kind);
        const auto key = test::makeKey(dir.path() / ("id_" + kind), {.passphrase = "pw"});
        if (kind == "certificate") {
            // ssh-add loads "<key>-cert.pub" beside the key as a second identity.
            ASSERT_EQ(test::runTool("/usr/bin/ssh-keygen", {"-q", "-s", ca.string(), "-I", "me", key.string() + ".pub"})
                          .status,
                      0);
        }
        ASSERT_TRUE(client.add(key.string(), sec("pw"), 60));
        if (kind == "no-pub") {
            std::filesystem::remove(key.string() + ".pub");
        }
        const auto removed = client.remove(key.string());
        ASSERT_TRUE(removed) << removed.error().description();
        const auto listed = test::runTool("/usr/bin/ssh-add", {"-l"}, agent.socket());
        EXPECT_NE(listed.output.find("no identities"), std::string::npos) << listed.output;
    }
}

TEST_F(AgentClientTest, KeyIsGoneAfterAShortLifetime)
{
    const auto key = makeKey(dir.path() / "id_ecdsa", {.type = "ecdsa", .passphrase = "pw123"});
    ASSERT_TRUE(client.add(key.string(), sec("pw123"), 1.9)); // runs "-t 1"
    EXPECT_TRUE(test::waitFor([&, fingerprint = fingerprintOf(key)] { return !loaded().contains(fingerprint); }));
}

TEST_F(AgentClientTest, WrongPassphraseFailsWithSshAddsStatusNotATimeout)
{
    const auto key = makeKey(dir.path() / "id_ed25519", {.passphrase = "right"});
    const auto added = client.add(key.string(), sec("wrong"), 60);
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().kind, AgentClientError::Kind::commandFailed) << added.error().description();
    EXPECT_EQ(added.error().status, 1);
    EXPECT_EQ(added.error().description(), "ssh-add exited with status 1: " + added.error().output);
    EXPECT_EQ(added.error().output.find("wrong"), std::string::npos);
    EXPECT_EQ(loaded(), Set{});
}

TEST_F(AgentClientTest, KeyPathThatLooksLikeAnOptionIsStillAPath)
{
    // "ssh-add -t 60 -D" would delete every identity and succeed; the key must be added instead.
    const auto other = makeKey(dir.path() / "other");
    ASSERT_TRUE(client.add(other.string(), SecretString(), 60));
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    makeKey(dir.path() / "-D");
    const auto added = client.add("-D", SecretString(), 60);
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(added) << added.error().description();
    EXPECT_EQ(loaded(), (Set{fingerprintOf(other), fingerprintOf(dir.path() / "-D")}));
}

TEST(AgentClient, SocketWithNoAgentIsCommandFailedWithSshAddsMessage)
{
    TempDir dir("vt-agent");
    test::writeFile(dir.path() / "not-a-socket", "");
    for (const auto& socket : {dir.path() / "missing.sock", dir.path() / "not-a-socket"}) {
        const auto fingerprints = AgentClient(socket.string()).loadedFingerprints();
        ASSERT_FALSE(fingerprints);
        EXPECT_EQ(fingerprints.error().kind, AgentClientError::Kind::commandFailed);
        EXPECT_NE(fingerprints.error().status, 0);
        EXPECT_FALSE(fingerprints.error().output.empty());
        EXPECT_TRUE(fingerprints.error().description().starts_with("ssh-add exited with status "));
    }
}

// The command line and environment of the ssh-add the client started, read while it is blocked.
std::pair<std::string, std::string> waitForSshAdd()
{
    std::pair<std::string, std::string> seen;
    EXPECT_TRUE(test::waitFor([&] {
        for (const pid_t pid : test::childrenOfThisProcess("ssh-add")) {
            seen = {test::readProcFile(pid, "cmdline"), test::readProcFile(pid, "environ")};
            return !seen.second.empty();
        }
        return false;
    }));
    return seen;
}
std::string nulJoined(const std::vector<std::string>& words)
{
    std::string joined;
    for (const auto& word : words) {
        joined += word + '\0';
    }
    return joined;
}

TEST(AgentClient, EveryRealSshAddGetsExactlyItsArgumentsAndTheMinimalEnvironment)
{
    TempDir dir("vt-agent");
    const std::string secret = "canary-7f3a-passphrase";
    const auto key = makeKey(dir.path() / "k", {.passphrase = secret});
    test::TestAgent agent(dir.path() / "agent.sock");
    ::setenv("VANTORELLE_CANARY", "leak", 1);
    ::setenv("SSH_ASKPASS", "/usr/bin/whatever", 1);
    AgentClient client(agent.socket().string());
    ::unsetenv("VANTORELLE_CANARY");
    ::unsetenv("SSH_ASKPASS");
    std::vector<std::string> environment;
    if (const auto home = Environment::current().get("HOME")) {
        environment.push_back("HOME=" + *home);
    }
    environment.insert(
        environment.end(),
        {"LANG=C", "PATH=/usr/bin:/bin", "SSH_ASKPASS_REQUIRE=never", "SSH_AUTH_SOCK=" + agent.socket().string()});

    // add: ssh-add blocks opening a FIFO until the key is written into it.
    const auto fifo = dir.path() / "fifo-key";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::expected<void, AgentClientError> added;
    std::thread adder([&] { added = client.add(fifo.string(), SecretString(secret), 60); });
    const auto adding = waitForSshAdd();
    // Non-blocking, retried until ssh-add waits on the other end, so a test that goes wrong fails
    // instead of waiting for a reader forever.
    Fd writer;
    EXPECT_TRUE(test::waitFor(
        [&] { return writer.reset(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)), bool(writer); }));
    EXPECT_TRUE(writer && io::writeAll(writer.get(), test::readFile(key)));
    writer.reset();
    adder.join();
    EXPECT_EQ(adding.first, nulJoined({"/usr/bin/ssh-add", "-t", "60", fifo.string()}));
    EXPECT_EQ(adding.second, nulJoined(environment));
    ASSERT_TRUE(added) << added.error().description();

    // list: an "agent" that takes the connection and never answers holds ssh-add until it goes.
    const auto silent = dir.path() / "silent.sock";
    Fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{AF_UNIX, {}};
    silent.string().copy(address.sun_path, sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener.get(), 4), 0);
    std::expected<Set, AgentClientError> listed;
    std::thread lister([&] { listed = AgentClient(silent.string()).loadedFingerprints(); });
    const auto listing = waitForSshAdd();
    listener.reset();
    lister.join();
    EXPECT_EQ(listing.first, nulJoined({"/usr/bin/ssh-add", "-l", "-E", "sha256"}));
    environment.back() = "SSH_AUTH_SOCK=" + silent.string();
    EXPECT_EQ(listing.second, nulJoined(environment));
    EXPECT_EQ(listed.error().kind, AgentClientError::Kind::commandFailed);
}

TEST(AgentClient, LifetimesAreCheckedBeforeAnythingRunsAndPassedAsWholeSeconds)
{
    AgentClient client("/nonexistent/agent.sock");
    const std::vector<std::pair<double, std::string>> cases{
        {0.5, "0.5"},
        {0, "0"},
        {-10, "-10"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {std::numeric_limits<double>::quiet_NaN(), "nan"},
    };
    for (const auto& [lifetime, text] : cases) {
        const auto added = client.add("/nonexistent/key", sec("pw123"), lifetime);
        ASSERT_FALSE(added);
        EXPECT_EQ(added.error().kind, AgentClientError::Kind::invalidLifetime);
        EXPECT_EQ(added.error().description(), "invalid key lifetime: " + text);
    }
    EXPECT_EQ(AgentClient::lifetimeArgument(1), "1");
    EXPECT_EQ(AgentClient::lifetimeArgument(10800.9), "10800");
    EXPECT_EQ(AgentClient::lifetimeArgument(2147483647.5), "2147483647");
    EXPECT_EQ(AgentClient::lifetimeArgument(1e12), "2147483647");
}

TEST(AgentClient, ChildEnvironmentHoldsNothingOfTheAppButHome)
{
    Environment app;
    for (const auto& [name, value] :
         std::vector<std::pair<std::string, std::string>>{{"HOME", "/home/someone"},
                                                          {"SSH_AUTH_SOCK", "/elsewhere"},
                                                          {"SSH_ASKPASS", "/usr/bin/askpass"},
                                                          {"SECRET_TOKEN", "x"},
                                                          {"LANG", "fr_FR"}}) {
        app.set(name, value);
    }
    EXPECT_EQ(AgentClient("/run/agent.sock", app).childEnvironment().entries(),
              (std::vector<std::string>{"HOME=/home/someone", "LANG=C", "PATH=/usr/bin:/bin",
                                        "SSH_ASKPASS_REQUIRE=never", "SSH_AUTH_SOCK=/run/agent.sock"}));
    EXPECT_FALSE(AgentClient("/run/agent.sock", Environment{}).childEnvironment().get("HOME"));
}

TEST(AgentClient, FingerprintParsingKeepsOnlySecondFieldsThatAreSha256)
{
    const std::string output = "256 SHA256:abc/def+1 me@host (ED25519)\n\n3072 MD5:aa:bb:cc me (RSA)\r\ngarbage\n"
                               "  521   SHA256:spaced  x (ECDSA)\xE2\x80\xA8"
                               "4096\tSHA256:tabbed (RSA)\n1 SHA256:last";
    EXPECT_EQ(AgentClient::parseFingerprints(output), (Set{"SHA256:abc/def+1", "SHA256:spaced", "SHA256:last"}));
    EXPECT_EQ(AgentClient::parseFingerprints(""), Set{});
}

} // namespace
} // namespace vantorelle
