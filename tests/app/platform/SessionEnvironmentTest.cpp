// The session environment through the real systemctl against a mocked user manager, and the agent
// socket search.
#include "platform/SessionEnvironment.h"

#include <filesystem>
#include <gtest/gtest.h>

#include "BusServices.h"
#include "ipc/SocketIO.h"
#include "platform/AgentSocket.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

using namespace vantorelle;
using namespace std::chrono_literals;

TEST(SystemdSessionEnvironment, SetsReadsAndUnsetsThroughSystemctl)
{
    test::Daemon manager
        = test::startDbusmock(test::sourceDir() + "/systemd_user_manager.py", "org.freedesktop.systemd1");
    SystemdSessionEnvironment session;
    ASSERT_TRUE(session.available());
    ASSERT_TRUE(session.set("SSH_ASKPASS", "/opt/my apps/vantorelle-askpass"));
    ASSERT_TRUE(session.set("SSH_ASKPASS_REQUIRE", "force"));
    ASSERT_TRUE(session.set("ODD", "it's $HOME\\x"));
    EXPECT_EQ(session.get("SSH_ASKPASS"), "/opt/my apps/vantorelle-askpass");
    EXPECT_EQ(session.get("ODD"), "it's $HOME\\x");
    EXPECT_EQ(session.get("SSH_ASKPASS_REQ"), std::nullopt); // a prefix is another variable

    ASSERT_TRUE(session.unset("SSH_ASKPASS"));
    EXPECT_EQ(session.get("SSH_ASKPASS"), std::nullopt);
    EXPECT_EQ(session.get("SSH_ASKPASS_REQUIRE"), "force");
}

TEST(SystemdSessionEnvironment, WithoutAManagerOrWithAHangingToolNothingIsAvailable)
{
    SessionEnvironmentTools hanging;
    hanging.systemctl = test::sourceDir() + "/hanging-tool.sh";
    SystemdSessionEnvironment absent, stuck(Environment::current(), hanging, 300ms);
    const auto started = std::chrono::steady_clock::now();
    for (SessionEnvironment* session :
         {static_cast<SessionEnvironment*>(&absent), static_cast<SessionEnvironment*>(&stuck)}) {
        EXPECT_FALSE(session->available());
        EXPECT_EQ(session->get("PATH"), std::nullopt);
        EXPECT_FALSE(session->set("SSH_ASKPASS", "/x"));
        EXPECT_FALSE(session->unset("SSH_ASKPASS"));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
}

namespace {

struct FakeSession final : SessionEnvironment
{
    std::optional<std::string> value;
    bool available() override { return true; }
    std::optional<std::string> get(const std::string&) override { return value; }
    bool set(const std::string&, const std::string&) override { return false; }
    bool unset(const std::string&) override { return false; }
};

} // namespace

TEST(AgentSocketPath, EnvironmentThenSessionThenTheFirstSocketThatAnswers)
{
    TempDir runtime;
    test::writeFile(runtime.path() / "gcr" / "ssh", "left behind; nobody listens");
    const std::string live = (runtime.path() / "keyring" / "ssh").string();
    std::filesystem::create_directories(runtime.path() / "keyring");
    ChildProcess::Options options;
    options.path = "/usr/bin/ssh-agent";
    options.args = {"-D", "-a", live};
    auto agent = ChildProcess::spawn(options);
    ASSERT_TRUE(agent);
    // The socket file appears before the agent listens: wait until it answers.
    ASSERT_TRUE(test::waitFor(
        [&] { return SocketIO::connectSocket(live, std::chrono::steady_clock::now() + 1s).has_value(); }));

    Environment env;
    env.set("XDG_RUNTIME_DIR", runtime.path().string());
    env.set("SSH_AUTH_SOCK", "");
    FakeSession session;
    session.value = "";
    EXPECT_EQ(agentSocketPath(env, session), live);
    session.value = "/run/user/1/from-session";
    EXPECT_EQ(agentSocketPath(env, session), "/run/user/1/from-session");
    env.set("SSH_AUTH_SOCK", "/tmp/own-agent");
    EXPECT_EQ(agentSocketPath(env, session), "/tmp/own-agent");

    agent->kill();
    session.value.reset();
    env.unset("SSH_AUTH_SOCK");
    EXPECT_EQ(agentSocketPath(env, session), ""); // the socket file stays, but nobody answers
}
