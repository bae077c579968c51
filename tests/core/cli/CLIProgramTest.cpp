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

namespace {

const auto en = [](std::string_view key) { return i18n::text(Language::English, key) + "\n"; };

// clang-format off
struct Outcome { int status = -1; pid_t pid = 0; std::string out, err; };
// clang-format on

// A home with configuration and runtime directory in `home`, and a real server that answers a
// status with a report, a lock with ok, anything else with a denial, and remembers each request
// with the peer's process id.
class CLIProgram : public ::testing::Test
{
protected:
    TempDir home;
    fs::path socket = home.path() / "c.sock";
    std::mutex lock;
    std::vector<std::pair<Request, std::int32_t>> requests;
    std::optional<SocketServer> server; // last: its threads stop before what they use goes

    void serve(const fs::path& path)
    {
        server.emplace(path, [this](Request request, std::int32_t peerPID, SocketServer::Reply reply, std::stop_token) {
            std::lock_guard guard(lock);
            reply(std::holds_alternative<Request::Status>(request.value)
                      ? Response(Response::Status{{StatusState::unlocked, 1740, {"id_ed25519", "work/deploy"}}})
                      : std::holds_alternative<Request::Lock>(request.value)
                      ? Response(Response::Ok{})
                      : Response(Response::Denied{DenialReason::remote}));
            requests.emplace_back(std::move(request), peerPID);
        });
        ASSERT_TRUE(server->start());
    }
    // Runs the program in a clean environment, its output and errors going to files; killed after 30 s.
    Outcome run(const std::vector<std::string>& args)
    {
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
        Fd out = file("out"), err = file("err");
        auto child = ChildProcess::spawn({VANTORELLE_CLI_PROGRAM, args, env, {}, out.get(), err.get()}).value();
        const pid_t pid = child.pid(); // before it is reaped
        const auto status = child.waitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(30));
        EXPECT_TRUE(status.has_value()) << "the program did not finish in time";
        return {status.value_or(-1), pid, test::readFile(home.path() / "out"), test::readFile(home.path() / "err")};
    }
};

} // namespace

TEST_F(CLIProgram, UsageNoAppARealServerAndTheDefaultSocketInTheUsersLanguage)
{
    using Args = std::vector<std::string>;
    const std::string status = "Unlocked, 29m left: id_ed25519, work/deploy\n";
    const std::string json = R"({"keys":["id_ed25519","work/deploy"],"remaining_seconds":1740,"state":"unlocked"})";
    // Usage and "no app" come before the server starts.
    // clang-format off
    const std::tuple<Args, int, std::string, std::string> cases[] = {{{}, 64, "", en("cli.usage")},
        {{"status", "--json"}, 2, "", en("cli.error.noapp")}, {{"status"}, 0, status, ""},
        {{"status", "--json"}, 0, json + "\n", ""}, {{"lock"}, 0, "", ""},
        {{"unlock", "--for", "20m", "--reason", "deploy"}, 1, "", en("cli.denied.remote")}};
    // clang-format on
    Outcome result;
    for (const auto& [args, code, out, err] : cases) {
        if (!server && code != 64 && code != 2) {
            serve(socket);
        }
        result = run(args);
        EXPECT_TRUE(result.status == code && result.out == out && result.err == err) << result.out << result.err;
    }
    // The unlock names the program itself as the caller, and the server sees the same process.
    server.reset();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_TRUE(requests[3].first == Request(Request::Unlock{900.0, "deploy", result.pid})
                && requests[3].second == result.pid);
    // No VANTORELLE_SOCKET: the default is $XDG_RUNTIME_DIR/vantorelle/c.sock. The language override
    // in the shared settings file wins over the locale.
    socket.clear();
    fs::create_directories(home.path() / "run/vantorelle");
    serve(home.path() / "run/vantorelle/c.sock");
    EXPECT_EQ(run({"status"}).out, status);
    test::writeFile(home.path() / "config/vantorelle/defaults.json", R"({"AppleLanguages": ["fr"]})");
    EXPECT_EQ(run({"status"}).out, "Déverrouillé, encore 29 min : id_ed25519, work/deploy\n");
}
