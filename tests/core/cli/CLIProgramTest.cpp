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
namespace fs = std::filesystem;

TEST(CLIProgram, UsageNoAppARealServerAndTheDefaultSocketInTheUsersLanguage)
{
    TempDir home;
    fs::path socket = home.path() / "c.sock";
    pid_t pid = 0;
    // Runs the program in a clean environment, its output and errors going to files; killed after 30 s.
    const auto run = [&](const std::vector<std::string>& args, int code, const std::string& out,
                         const std::string& err) {
        Environment env; // an empty VANTORELLE_SOCKET counts as unset
        // clang-format off
        for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{{"PATH", "/usr/bin:/bin"},
                 {"HOME", home.path()}, {"LANGUAGE", "en"}, {"XDG_CONFIG_HOME", home.path() / "config"},
                 {"XDG_RUNTIME_DIR", home.path() / "run"}, {"VANTORELLE_SOCKET", socket}}) {
            // clang-format on
            env.set(name, value);
        }
        const auto file = [&](const char* name) {
            return Fd(::open((home.path() / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        };
        Fd outFile = file("out"), errFile = file("err");
        auto child = ChildProcess::spawn({VANTORELLE_CLI_PROGRAM, args, env, {}, outFile.get(), errFile.get()}).value();
        pid = child.pid(); // before it is reaped
        EXPECT_EQ(child.waitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(30)), code);
        EXPECT_EQ(test::readFile(home.path() / "out"), out);
        EXPECT_EQ(test::readFile(home.path() / "err"), err);
    };
    const auto en = [](std::string_view key) { return i18n::text(Language::English, key) + "\n"; };
    run({}, 64, "", en("cli.usage"));
    run({"status", "--json"}, 2, "", en("cli.error.noapp"));
    // A real server that answers a status with a report and anything else with a denial, and
    // remembers each request with the peer's process id.
    std::mutex lock;
    std::vector<std::pair<Request, std::int32_t>> requests;
    std::optional<SocketServer> server;
    const auto serve = [&](const fs::path& path) {
        server.emplace(path, [&](Request request, std::int32_t peerPID, SocketServer::Reply reply, std::stop_token) {
            std::lock_guard guard(lock);
            reply(std::holds_alternative<Request::Status>(request.value)
                      ? Response(Response::Status{{StatusState::unlocked, 1740, {"id_ed25519", "work/deploy"}}})
                      : Response(Response::Denied{DenialReason::remote}));
            requests.emplace_back(std::move(request), peerPID);
        });
        ASSERT_TRUE(server->start());
    };
    serve(socket);
    const std::string status = "Unlocked, 29m left: id_ed25519, work/deploy\n";
    run({"status"}, 0, status, "");
    run({"unlock", "--for", "20m", "--reason", "deploy"}, 1, "", en("cli.denied.remote"));
    server.reset();
    // The unlock names the program itself as the caller, and the server sees the same process.
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[1].first == Request(Request::Unlock{900.0, "deploy", pid}) && requests[1].second == pid);
    // No VANTORELLE_SOCKET: the default is $XDG_RUNTIME_DIR/vantorelle/c.sock. The language override
    // in the shared settings file wins over the locale.
    socket.clear();
    fs::create_directories(home.path() / "run/vantorelle");
    serve(home.path() / "run/vantorelle/c.sock");
    run({"status"}, 0, status, "");
    test::writeFile(home.path() / "config/vantorelle/defaults.json", R"({"AppleLanguages": ["fr"]})");
    run({"status"}, 0, "Déverrouillé, encore 29 min : id_ed25519, work/deploy\n", "");
}
