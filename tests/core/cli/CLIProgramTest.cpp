// The `vantorelle` program end to end: the real binary, the real socket client, a real server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>

#include "i18n/L.h"
#include "ipc/SocketServer.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "sys/ChildProcess.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;
using test::readFile;

struct ProgramResult
{
    int status = -1;
    pid_t pid = 0;
    std::string out, err;
};

// Runs the program with `args` in a clean environment whose home and configuration live in `home`.
ProgramResult runProgram(const TempDir& home, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& extraEnv)
{
    Environment env;
    env.set("PATH", "/usr/bin:/bin");
    env.set("HOME", home.path());
    env.set("XDG_CONFIG_HOME", home.path() / "config");
    env.set("XDG_RUNTIME_DIR", home.path() / "run");
    for (const auto& [name, value] : extraEnv) {
        env.set(name, value);
    }
    Fd out(::open((home.path() / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    Fd err(::open((home.path() / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    auto child = ChildProcess::spawn({VANTORELLE_CLI_PROGRAM, args, env, std::nullopt, out.get(), err.get()});
    if (!child) {
        ADD_FAILURE() << "cannot start the program";
        return {};
    }
    ProgramResult result;
    result.pid = child->pid();
    const auto status = child->waitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(30));
    EXPECT_TRUE(status) << "the program did not finish in time";
    result.status = status.value_or(-1);
    result.out = readFile(home.path() / "stdout");
    result.err = readFile(home.path() / "stderr");
    return result;
}

std::string en(std::string_view key)
{
    return i18n::text(Language::English, key);
}

// A real server on a private path that answers every request as the test says and remembers it.
class Server
{
public:
    Server(const fs::path& path, std::function<Response(const Request&)> answer)
        : m_answer(std::move(answer))
        , m_server(path, [this](Request request, std::int32_t peerPID, SocketServer::Reply reply, std::stop_token) {
            std::lock_guard lock(m_lock);
            requests.emplace_back(std::move(request), peerPID);
            reply(m_answer(requests.back().first));
        })
    {
        EXPECT_TRUE(m_server.start());
    }

    std::vector<std::pair<Request, std::int32_t>> requests; // read once the program has ended

private:
    std::mutex m_lock;
    std::function<Response(const Request&)> m_answer;
    SocketServer m_server; // last: its threads stop before the members they use go away
};

TEST(CLIProgram, NothingListeningAndUsageErrors)
{
    TempDir home;
    const std::pair<std::string, std::string> socket{"VANTORELLE_SOCKET", home.path() / "nobody.sock"};
    const std::pair<std::string, std::string> english{"LANGUAGE", "en"};
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"status"}, {"status", "--json"}, {"lock"}, {"unlock", "--for", "1h"}}) {
        const auto run = runProgram(home, args, {socket, english});
        EXPECT_EQ(run.status, 2) << args[0];
        EXPECT_EQ(run.err, en("cli.error.noapp") + "\n");
        EXPECT_EQ(run.out, "");
    }
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"status", "-j"}, {"lock", "now"}, {"unlock", "--for", "2x"}}) {
        const auto run = runProgram(home, args, {socket, english});
        EXPECT_EQ(run.status, 64);
        EXPECT_EQ(run.err, en("cli.usage") + "\n");
        EXPECT_EQ(run.out, "");
    }
}

TEST(CLIProgram, TalksToARealServerAtTheDefaultPathInTheUsersLanguage)
{
    TempDir home;
    fs::create_directories(home.path() / "run" / "vantorelle");
    Server server(home.path() / "run" / "vantorelle" / "c.sock", [&](const Request& request) {
        if (std::holds_alternative<Request::Status>(request.value)) {
            return Response(Response::Status{{"unlocked", 5400, {"id_ed25519", "work/deploy"}}});
        }
        return std::holds_alternative<Request::Lock>(request.value) ? Response(Response::Ok{})
                                                                    : Response(Response::Denied{"remote"});
    });
    const std::pair<std::string, std::string> english{"LANGUAGE", "en"};
    auto run = runProgram(home, {"status"}, {english});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Unlocked, 1h 30m left: id_ed25519, work/deploy\n");
    EXPECT_EQ(run.err, "");
    run = runProgram(home, {"status", "--json"}, {english});
    EXPECT_EQ(run.out,
              R"({"keys":["id_ed25519","work/deploy"],"remaining_seconds":5400,"state":"unlocked"})"
              "\n");
    run = runProgram(home, {"lock"}, {english});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
    run = runProgram(home, {"unlock", "--for", "20m", "--reason", "deploy"}, {english});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, en("cli.denied.remote") + "\n");
    ASSERT_EQ(server.requests.size(), 4u);
    // The unlock names the program itself as the caller, and the server sees the same process.
    EXPECT_TRUE(server.requests[3].first == Request(Request::Unlock{900.0, "deploy", run.pid}));
    EXPECT_EQ(server.requests[3].second, run.pid);

    const std::string french = "Déverrouillé, encore 1 h 30 min : id_ed25519, work/deploy\n";
    EXPECT_EQ(runProgram(home, {"status"}, {{"LANG", "fr_FR.UTF-8"}}).out, french);
    // The language override in the shared settings file wins over the locale.
    test::writeFile(home.path() / "config" / "vantorelle" / "defaults.json", R"({"AppleLanguages": ["fr"]})");
    EXPECT_EQ(runProgram(home, {"status"}, {english}).out, french);
}

} // namespace
} // namespace vantorelle
