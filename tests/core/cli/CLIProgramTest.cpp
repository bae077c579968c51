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

struct Outcome
{
    int status = -1;
    pid_t pid = 0;
    std::string out, err;
};

// A home with configuration and runtime directory in `home`, and a real server on `socket` that
// answers every request as `answer` says and remembers it with the peer's process id.
class CLIProgram : public ::testing::Test
{
protected:
    TempDir home;
    fs::path socket = home.path() / "c.sock";
    std::mutex lock;
    std::function<Response(const Request&)> answer = [](const Request&) { return Response(Response::Ok{}); };
    std::vector<std::pair<Request, std::int32_t>> requests;
    std::optional<SocketServer> server; // last: its threads stop before what they use goes

    void serve(const fs::path& path)
    {
        server.emplace(path, [this](Request request, std::int32_t peerPID, SocketServer::Reply reply, std::stop_token) {
            std::lock_guard guard(lock);
            reply(answer(request));
            requests.emplace_back(std::move(request), peerPID);
        });
        ASSERT_TRUE(server->start());
    }
    // Runs the program in a clean environment, its output and errors going to files; killed after 30 s.
    Outcome run(const std::vector<std::string>& args,
                std::vector<std::pair<std::string, std::string>> env = {{"LANGUAGE", "en"}})
    {
        Environment environment;
        // clang-format off
        env.insert(env.end(), {{"PATH", "/usr/bin:/bin"}, {"HOME", home.path()},
            {"XDG_CONFIG_HOME", home.path() / "config"}, {"XDG_RUNTIME_DIR", home.path() / "run"}});
        // clang-format on
        if (!socket.empty()) {
            env.emplace_back("VANTORELLE_SOCKET", socket);
        }
        for (const auto& [name, value] : env) {
            environment.set(name, value);
        }
        Fd out(::open((home.path() / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        Fd err(::open((home.path() / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        auto child = ChildProcess::spawn({VANTORELLE_CLI_PROGRAM, args, environment, {}, out.get(), err.get()}).value();
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
    const std::string json = R"({"keys":["id_ed25519","work/deploy"],"remaining_seconds":1740,"state":"unlocked"})";
    // clang-format off
    const std::tuple<Args, int, std::string, std::string> cases[] = {{{}, 64, "", en("cli.usage")},
        {{"unlock", "--for", "2x"}, 64, "", en("cli.usage")}, {{"status", "--json"}, 2, "", en("cli.error.noapp")},
        {{"lock"}, 2, "", en("cli.error.noapp")}, {{"unlock", "--for", "1h"}, 2, "", en("cli.error.noapp")},
        {{"status"}, 0, "Unlocked, 29m left: id_ed25519, work/deploy\n", ""},
        {{"status", "--json"}, 0, json + "\n", ""}, {{"lock"}, 0, "", ""},
        {{"unlock", "--for", "20m", "--reason", "deploy"}, 1, "", en("cli.denied.remote")}};
    // clang-format on
    answer = [](const Request& request) {
        return std::holds_alternative<Request::Status>(request.value)
            ? Response(Response::Status{{StatusState::unlocked, 1740, {"id_ed25519", "work/deploy"}}})
            : std::holds_alternative<Request::Lock>(request.value) ? Response(Response::Ok{})
                                                                   : Response(Response::Denied{DenialReason::remote});
    };
    Outcome result;
    for (const auto& [args, status, out, err] : cases) { // usage and "no app" before the server starts
        if (!server && status != 64 && status != 2) {
            serve(socket);
        }
        result = run(args);
        EXPECT_TRUE(result.status == status && result.out == out && result.err == err) << result.out << result.err;
    }
    {
        std::lock_guard guard(lock);
        ASSERT_EQ(requests.size(), 4u);
        // The unlock names the program itself as the caller, and the server sees the same process.
        EXPECT_TRUE(requests[3].first == Request(Request::Unlock{900.0, "deploy", result.pid})
                    && requests[3].second == result.pid);
    }
    socket.clear(); // no VANTORELLE_SOCKET: the default is $XDG_RUNTIME_DIR/vantorelle/c.sock
    fs::create_directories(home.path() / "run/vantorelle");
    serve(home.path() / "run/vantorelle/c.sock");
    const std::string french = "Déverrouillé, encore 29 min : id_ed25519, work/deploy\n";
    EXPECT_EQ(run({"status"}).out, std::get<2>(cases[5]));
    EXPECT_EQ(run({"status"}, {{"LANG", "fr_FR.UTF-8"}}).out, french);
    // The language override in the shared settings file wins over the locale.
    test::writeFile(home.path() / "config/vantorelle/defaults.json", R"({"AppleLanguages": ["fr"]})");
    EXPECT_EQ(run({"status"}).out, french);
}
