// AgentClient against the real ssh-add and a private ssh-agent per test.
#include "ssh/AgentClient.h"

#include <cmath>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <sys/stat.h>
#include <thread>

#include "SshTestSupport.h"
#include "support/TempDir.h"
#include "sys/Io.h"

namespace vantorelle {
namespace {

using test::sec;

using test::KeySpec;

class AgentClientTest : public ::testing::Test
{
protected:
    TempDir dir{"vt-agent"};
    test::TestAgent agent{dir.path() / "agent.sock"};
    AgentClient client{agent.socket().string()};

    std::set<std::string> loaded()
    {
        auto fingerprints = client.loadedFingerprints();
        EXPECT_TRUE(fingerprints) << fingerprints.error().description();
        return fingerprints.value_or(std::set<std::string>{});
    }
};

TEST_F(AgentClientTest, EmptyAgentHasNoFingerprints)
{
    EXPECT_EQ(loaded(), std::set<std::string>{});
}

TEST_F(AgentClientTest, AddsWithPassphraseListsAndRemoves)
{
    const auto key = test::makeKey(dir.path() / "id_ed25519", {.passphrase = "right one"});
    const auto rsa = test::makeKey(dir.path() / "id_rsa", {.type = "rsa", .passphrase = "pw123", .pem = true});

    ASSERT_TRUE(client.add(key.string(), sec("right one"), 3600));
    ASSERT_TRUE(client.add(rsa.string(), sec("pw123"), 3600));
    EXPECT_EQ(loaded(), (std::set<std::string>{test::fingerprintOf(key), test::fingerprintOf(rsa)}));

    const auto removed = client.remove(key.string());
    ASSERT_TRUE(removed) << removed.error().description();
    EXPECT_EQ(loaded(), std::set<std::string>{test::fingerprintOf(rsa)});

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
    const auto key = test::makeKey(dir.path() / "id_ecdsa", {.type = "ecdsa", .passphrase = "pw123"});
    ASSERT_TRUE(client.add(key.string(), sec("pw123"), 1.9)); // runs "-t 1"
    const auto fingerprint = test::fingerprintOf(key);
    // It may already have expired by now on a slow machine, but it must go within the deadline.
    EXPECT_TRUE(test::waitFor([&] { return !loaded().contains(fingerprint); }));
}

TEST_F(AgentClientTest, WrongPassphraseFailsWithSshAddsStatusNotATimeout)
{
    const auto key = test::makeKey(dir.path() / "id_ed25519", {.passphrase = "right"});
    const auto added = client.add(key.string(), sec("wrong"), 60);
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().kind, AgentClientError::Kind::commandFailed) << added.error().description();
    EXPECT_EQ(added.error().status, 1);
    EXPECT_EQ(added.error().description(), "ssh-add exited with status 1: " + added.error().output);
    EXPECT_EQ(added.error().output.find("wrong"), std::string::npos);
    EXPECT_EQ(loaded(), std::set<std::string>{});
}

TEST_F(AgentClientTest, KeyWithoutPassphraseIsAddedWithoutAPrompt)
{
    const auto key = test::makeKey(dir.path() / "plain", {.keepPublic = false});
    ASSERT_TRUE(client.add(key.string(), sec("ignored"), 60));
    EXPECT_EQ(loaded(), std::set<std::string>{test::fingerprintOf(key)});
}

TEST_F(AgentClientTest, KeyPathThatLooksLikeAnOptionIsStillAPath)
{
    // "ssh-add -t 60 -D" would delete every identity and succeed; the key must be added instead.
    const auto other = test::makeKey(dir.path() / "other");
    ASSERT_TRUE(client.add(other.string(), SecretString(), 60));
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    test::makeKey(dir.path() / "-D");
    const auto added = client.add("-D", SecretString(), 60);
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(added) << added.error().description();
    EXPECT_EQ(loaded(), (std::set<std::string>{test::fingerprintOf(other), test::fingerprintOf(dir.path() / "-D")}));
}

TEST(AgentClient, SocketWithNoAgentIsCommandFailedWithSshAddsMessage)
{
    TempDir dir("vt-agent");
    test::writeFile(dir.path() / "not-a-socket", "");
    for (const auto& socket : {dir.path() / "missing.sock", dir.path() / "not-a-socket"}) {
        AgentClient client(socket.string());
        const auto fingerprints = client.loadedFingerprints();
        ASSERT_FALSE(fingerprints);
        EXPECT_EQ(fingerprints.error().kind, AgentClientError::Kind::commandFailed);
        EXPECT_NE(fingerprints.error().status, 0);
        EXPECT_FALSE(fingerprints.error().output.empty());
        EXPECT_TRUE(fingerprints.error().description().starts_with("ssh-add exited with status "));
    }
}

Fd listeningSocket(const std::filesystem::path& path)
{
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.string().copy(address.sun_path, sizeof(address.sun_path) - 1);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(::listen(fd.get(), 4), 0);
    return fd;
}

// The environment and command line of the ssh-add the client started, read while it is blocked.
struct SeenChild
{
    std::string cmdline;
    std::string environ;
};

SeenChild waitForSshAdd()
{
    SeenChild seen;
    EXPECT_TRUE(test::waitFor([&] {
        for (const pid_t pid : test::childrenOfThisProcess("ssh-add")) {
            seen = {test::readProcFile(pid, "cmdline"), test::readProcFile(pid, "environ")};
            return !seen.environ.empty();
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
    const auto key = test::makeKey(dir.path() / "k", {.passphrase = secret});
    test::TestAgent agent(dir.path() / "agent.sock");
    ::setenv("VANTORELLE_CANARY", "leak", 1);
    ::setenv("SSH_ASKPASS", "/usr/bin/whatever", 1);
    AgentClient client(agent.socket().string());
    ::unsetenv("VANTORELLE_CANARY");
    ::unsetenv("SSH_ASKPASS");
    std::vector<std::string> expectedEnvironment;
    if (const auto home = Environment::current().get("HOME")) {
        expectedEnvironment.push_back("HOME=" + *home);
    }
    expectedEnvironment.insert(
        expectedEnvironment.end(),
        {"LANG=C", "PATH=/usr/bin:/bin", "SSH_ASKPASS_REQUIRE=never", "SSH_AUTH_SOCK=" + agent.socket().string()});

    // add: ssh-add blocks opening a FIFO until the key is written into it.
    const auto fifo = dir.path() / "fifo-key";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::expected<void, AgentClientError> added;
    std::thread adder([&] { added = client.add(fifo.string(), SecretString(secret), 60); });
    const auto adding = waitForSshAdd();
    {
        std::ifstream in(key, std::ios::binary);
        const std::string keyText(std::istreambuf_iterator<char>(in), {});
        // Non-blocking, retried until ssh-add waits on the other end (ENXIO before that), so a
        // test that goes wrong fails instead of waiting for a reader forever.
        Fd writer;
        EXPECT_TRUE(test::waitFor([&] {
            writer.reset(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
            return static_cast<bool>(writer);
        }));
        EXPECT_TRUE(writer && io::writeAll(writer.get(), keyText));
    }
    adder.join();
    EXPECT_EQ(adding.cmdline, nulJoined({"/usr/bin/ssh-add", "-t", "60", fifo.string()}));
    EXPECT_EQ(adding.environ, nulJoined(expectedEnvironment));
    ASSERT_TRUE(added) << added.error().description();

    // list: an "agent" that takes the connection and never answers holds ssh-add until it goes.
    const auto silent = dir.path() / "silent.sock";
    Fd listener = listeningSocket(silent);
    AgentClient silentClient(silent.string());
    std::expected<std::set<std::string>, AgentClientError> listed;
    std::thread lister([&] { listed = silentClient.loadedFingerprints(); });
    const auto listing = waitForSshAdd();
    listener.reset();
    lister.join();
    EXPECT_EQ(listing.cmdline, nulJoined({"/usr/bin/ssh-add", "-l", "-E", "sha256"}));
    auto silentEnvironment = expectedEnvironment;
    silentEnvironment.back() = "SSH_AUTH_SOCK=" + silent.string();
    EXPECT_EQ(listing.environ, nulJoined(silentEnvironment));
    ASSERT_FALSE(listed);
    EXPECT_EQ(listed.error().kind, AgentClientError::Kind::commandFailed);
}

TEST(AgentClient, InvalidLifetimesAreRefusedBeforeAnythingRuns)
{
    AgentClient client("/nonexistent/agent.sock");
    const std::vector<std::pair<double, std::string>> cases{
        {0.5, "invalid key lifetime: 0.5"},
        {0, "invalid key lifetime: 0"},
        {-10, "invalid key lifetime: -10"},
        {std::numeric_limits<double>::infinity(), "invalid key lifetime: inf"},
        {std::numeric_limits<double>::quiet_NaN(), "invalid key lifetime: nan"},
    };
    for (const auto& [lifetime, text] : cases) {
        const auto added = client.add("/nonexistent/key", sec("pw123"), lifetime);
        ASSERT_FALSE(added);
        EXPECT_EQ(added.error().kind, AgentClientError::Kind::invalidLifetime);
        EXPECT_EQ(added.error().description(), text);
    }
}

TEST(AgentClient, LifetimeArgumentDropsTheFractionAndIsCapped)
{
    EXPECT_EQ(AgentClient::lifetimeArgument(1), "1");
    EXPECT_EQ(AgentClient::lifetimeArgument(10800.9), "10800");
    EXPECT_EQ(AgentClient::lifetimeArgument(2147483647.5), "2147483647");
    EXPECT_EQ(AgentClient::lifetimeArgument(1e12), "2147483647");
}

TEST(AgentClient, ChildEnvironmentHoldsNothingOfTheAppButHome)
{
    Environment app;
    app.set("HOME", "/home/someone");
    app.set("SSH_AUTH_SOCK", "/elsewhere");
    app.set("SSH_ASKPASS", "/usr/bin/askpass");
    app.set("SECRET_TOKEN", "x");
    app.set("LANG", "fr_FR.UTF-8");
    const AgentClient client("/run/agent.sock", app);
    const std::map<std::string, std::string, std::less<>> expected{{"HOME", "/home/someone"},
                                                                   {"LANG", "C"},
                                                                   {"PATH", "/usr/bin:/bin"},
                                                                   {"SSH_ASKPASS_REQUIRE", "never"},
                                                                   {"SSH_AUTH_SOCK", "/run/agent.sock"}};
    EXPECT_EQ(client.childEnvironment().variables(), expected);

    const AgentClient homeless("/run/agent.sock", Environment{});
    EXPECT_FALSE(homeless.childEnvironment().get("HOME"));
}

TEST(AgentClient, FingerprintParsingKeepsOnlySecondFieldsThatAreSha256)
{
    const std::string output = "256 SHA256:abc/def+1 me@host (ED25519)\n"
                               "\n"
                               "3072 MD5:aa:bb:cc me (RSA)\r\n"
                               "garbage\n"
                               "  521   SHA256:spaced  x (ECDSA)\xE2\x80\xA8"
                               "4096\tSHA256:tabbed (RSA)\n"
                               "1 SHA256:last";
    EXPECT_EQ(AgentClient::parseFingerprints(output),
              (std::set<std::string>{"SHA256:abc/def+1", "SHA256:spaced", "SHA256:last"}));
    EXPECT_EQ(AgentClient::parseFingerprints(""), std::set<std::string>{});
}

} // namespace
} // namespace vantorelle
