// The session environment through the real systemctl against a mocked user manager, and the agent
// socket search through it.
#include "platform/SessionEnvironment.h"

#include <filesystem>

#include "BusServices.h"
#include "platform/AgentSocket.h"
#include "support/SshTools.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

using namespace vantorelle;
using namespace std::chrono_literals;

TEST(SystemdSessionEnvironment, NothingWithoutAManagerOrWithAHangingToolThenSetsReadsUnsetsAndFindsTheAgent)
{
    const std::string dir = VANTORELLE_PLATFORM_TEST_DIR;
    SystemdSessionEnvironment absent, stuck(Environment::current(), {.systemctl = dir + "/hanging-tool.sh"}, 300ms);
    const auto started = std::chrono::steady_clock::now();
    for (SessionEnvironment* session : {&absent, &stuck}) {
        EXPECT_FALSE(session->available());
        EXPECT_EQ(session->get("PATH"), std::nullopt);
        EXPECT_FALSE(session->set("SSH_ASKPASS", "/x"));
        EXPECT_FALSE(session->unset("SSH_ASKPASS"));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);

    test::QtApp app;
    test::Daemon manager = test::dbusmock({"-t", dir + "/systemd_user_manager.py"}, "org.freedesktop.systemd1");
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

    // The agent socket: our environment's, then the session's, then the first socket that answers.
    TempDir runtime;
    test::writeFile(runtime.path() / "gcr" / "ssh", "left behind; nobody listens");
    std::filesystem::create_directories(runtime.path() / "keyring");
    auto agent = std::make_optional<test::TestAgent>(runtime.path() / "keyring" / "ssh");
    Environment env;
    env.set("XDG_RUNTIME_DIR", runtime.path().string());
    env.set("SSH_AUTH_SOCK", "");
    ASSERT_TRUE(session.set("SSH_AUTH_SOCK", ""));
    EXPECT_EQ(agentSocketPath(env, session), agent->socket().string());
    ASSERT_TRUE(session.set("SSH_AUTH_SOCK", "/run/user/1/from-session"));
    EXPECT_EQ(agentSocketPath(env, session), "/run/user/1/from-session");
    env.set("SSH_AUTH_SOCK", "/tmp/own-agent");
    EXPECT_EQ(agentSocketPath(env, session), "/tmp/own-agent");

    agent.reset();
    ASSERT_TRUE(session.unset("SSH_AUTH_SOCK"));
    env.unset("SSH_AUTH_SOCK");
    EXPECT_EQ(agentSocketPath(env, session), ""); // the socket file stays, but nobody answers
}
