// The `vantorelle` program end to end: the real binary, the real socket client, a real server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>

#include "i18n/L.h"
#include "ipc/SocketServer.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "sys/ChildProcess.h"

using namespace vantorelle;

// Without VANTORELLE_SOCKET the program asks $XDG_RUNTIME_DIR/vantorelle/c.sock; the language
// override in the shared settings file wins over the locale.
TEST(CLIProgram, FindsTheDefaultSocketNamesItselfAsTheCallerAndSpeaksTheUsersLanguage)
{
    TempDir home;
    std::mutex lock;
    std::vector<std::pair<Request, std::int32_t>> requests;
    SocketServer server(home.path() / "run/vantorelle/c.sock",
                        [&](Request request, std::int32_t peerPID, SocketServer::Reply reply, std::stop_token) {
                            std::lock_guard guard(lock);
                            reply(Response::Denied{DenialReason::remote});
                            requests.emplace_back(std::move(request), peerPID);
                        });
    ASSERT_TRUE(server.start());
    test::writeFile(home.path() / "config/vantorelle/defaults.json", R"({"AppleLanguages": ["fr"]})");
    Environment env;
    // clang-format off
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{{"PATH", "/usr/bin:/bin"},
             {"HOME", home.path()}, {"LANGUAGE", "en"}, {"XDG_CONFIG_HOME", home.path() / "config"},
             {"XDG_RUNTIME_DIR", home.path() / "run"}}) {
        // clang-format on
        env.set(name, value);
    }
    const Fd out(::open((home.path() / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    const std::vector<std::string> args{"unlock", "--for", "20m", "--reason", "deploy"};
    auto child = ChildProcess::spawn({VANTORELLE_CLI_PROGRAM, args, env, {}, out.get(), out.get()}).value();
    const pid_t pid = child.pid(); // before it is reaped
    EXPECT_EQ(child.waitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(30)), 1);
    EXPECT_EQ(test::readFile(home.path() / "out"), i18n::text(Language::French, "cli.denied.remote") + "\n");
    // The server sees the program itself, which names itself as the caller.
    std::lock_guard guard(lock);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].first == Request(Request::Unlock{900.0, "deploy", pid}) && requests[0].second == pid);
}
