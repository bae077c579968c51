// The `vantorelle` program end to end: the real binary, the real socket client, a real server.
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "i18n/L.h"
#include "ipc/SocketServer.h"
#include "support/TempDir.h"

using namespace vantorelle;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct ProgramResult
{
    int status = -1;
    pid_t pid = 0;
    std::string out;
    std::string err;
};

// Runs the program with `args` in a clean environment whose home and configuration live in `home`,
// standard output and error going to files there. Waits at most 30 seconds, then kills it.
ProgramResult runProgram(const TempDir& home, const std::vector<std::string>& args,
                         const std::vector<std::string>& extraEnv)
{
    std::vector<std::string> env = {
        "PATH=/usr/bin:/bin",
        "HOME=" + home.path().string(),
        "XDG_CONFIG_HOME=" + (home.path() / "config").string(),
        "XDG_RUNTIME_DIR=" + (home.path() / "run").string(),
    };
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<std::string> argv = {VANTORELLE_CLI_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> rawArgv;
    for (auto& a : argv) {
        rawArgv.push_back(a.data());
    }
    rawArgv.push_back(nullptr);
    std::vector<char*> rawEnv;
    for (auto& e : env) {
        rawEnv.push_back(e.data());
    }
    rawEnv.push_back(nullptr);

    const fs::path outFile = home.path() / "stdout";
    const fs::path errFile = home.path() / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ProgramResult result;
    const int spawned = posix_spawn(&result.pid, rawArgv[0], &actions, nullptr, rawArgv.data(), rawEnv.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << rawArgv[0] << ": " << spawned;
        return result;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int wstatus = 0;
    for (;;) {
        const pid_t done = ::waitpid(result.pid, &wstatus, WNOHANG);
        if (done == result.pid) {
            break;
        }
        if (done < 0 && errno != EINTR) {
            ADD_FAILURE() << "waitpid failed";
            return result;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(result.pid, SIGKILL);
            ::waitpid(result.pid, &wstatus, 0);
            ADD_FAILURE() << "the program did not finish in time";
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = readFile(outFile);
    result.err = readFile(errFile);
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
    explicit Server(const fs::path& path)
        : m_server(path, [this](Request request, std::int32_t peerPID, SocketServer::Reply reply, std::stop_token) {
            std::lock_guard lock(m_lock);
            m_requests.emplace_back(std::move(request), peerPID);
            reply(m_answer(m_requests.back().first));
        })
    {
    }
    bool start() { return m_server.start().has_value(); }
    void answer(std::function<Response(const Request&)> answer)
    {
        std::lock_guard lock(m_lock);
        m_answer = std::move(answer);
    }
    std::vector<std::pair<Request, std::int32_t>> requests()
    {
        std::lock_guard lock(m_lock);
        return m_requests;
    }

private:
    std::mutex m_lock;
    std::function<Response(const Request&)> m_answer = [](const Request&) { return Response(Response::Ok{}); };
    std::vector<std::pair<Request, std::int32_t>> m_requests;
    SocketServer m_server; // last: its threads stop before the members they use go away
};

} // namespace

TEST(CLIProgram, NothingListeningMeansTheAppIsNotRunning)
{
    TempDir home;
    const std::string socket = "VANTORELLE_SOCKET=" + (home.path() / "nobody.sock").string();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"status"}, {"status", "--json"}, {"lock"}, {"unlock", "--for", "1h"}}) {
        const auto run = runProgram(home, args, {socket, "LANGUAGE=en"});
        EXPECT_EQ(run.status, 2) << args[0];
        EXPECT_EQ(run.err, en("cli.error.noapp") + "\n");
        EXPECT_EQ(run.out, "");
    }
}

TEST(CLIProgram, DefaultSocketPathIsUnderTheRuntimeDirectory)
{
    // No VANTORELLE_SOCKET: the program looks in $XDG_RUNTIME_DIR/vantorelle/c.sock.
    TempDir home;
    fs::create_directories(home.path() / "run" / "vantorelle");
    Server server(home.path() / "run" / "vantorelle" / "c.sock");
    ASSERT_TRUE(server.start());
    server.answer([](const Request&) { return Response(Response::Status{{StatusState::locked, std::nullopt, {}}}); });
    const auto run = runProgram(home, {"status"}, {"LANGUAGE=en"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, en("status.locked") + "\n");
}

TEST(CLIProgram, UsageErrors)
{
    TempDir home;
    const std::string socket = "VANTORELLE_SOCKET=" + (home.path() / "nobody.sock").string();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"status", "-j"}, {"lock", "now"}, {"unlock", "--for", "2x"}}) {
        const auto run = runProgram(home, args, {socket, "LANGUAGE=en"});
        EXPECT_EQ(run.status, 64);
        EXPECT_EQ(run.err, en("cli.usage") + "\n");
        EXPECT_EQ(run.out, "");
    }
}

TEST(CLIProgram, TalksToARealServer)
{
    TempDir home;
    const fs::path path = home.path() / "c.sock";
    Server server(path);
    ASSERT_TRUE(server.start());
    const std::string socket = "VANTORELLE_SOCKET=" + path.string();
    const StatusReport report{StatusState::unlocked, 1740, {"id_ed25519", "work/deploy"}};
    server.answer([&](const Request& request) {
        if (std::holds_alternative<Request::Status>(request.value)) {
            return Response(Response::Status{report});
        }
        if (std::holds_alternative<Request::Lock>(request.value)) {
            return Response(Response::Ok{});
        }
        return Response(Response::Denied{DenialReason::remote});
    });

    auto run = runProgram(home, {"status"}, {socket, "LANGUAGE=en"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Unlocked, 29m left: id_ed25519, work/deploy\n");
    EXPECT_EQ(run.err, "");

    run = runProgram(home, {"status", "--json"}, {socket, "LANGUAGE=en"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out,
              R"({"keys":["id_ed25519","work/deploy"],"remaining_seconds":1740,"state":"unlocked"})"
              "\n");

    run = runProgram(home, {"lock"}, {socket, "LANGUAGE=en"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");

    run = runProgram(home, {"unlock", "--for", "20m", "--reason", "deploy"}, {socket, "LANGUAGE=en"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, en("cli.denied.remote") + "\n");
    EXPECT_EQ(run.out, "");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 4u);
    // The unlock names the program itself as the caller, and the server sees the same process.
    EXPECT_TRUE(requests[3].first == Request(Request::Unlock{900.0, "deploy", run.pid}));
    EXPECT_EQ(requests[3].second, run.pid);
}

TEST(CLIProgram, SpeaksTheUsersLanguage)
{
    TempDir home;
    const fs::path path = home.path() / "c.sock";
    Server server(path);
    ASSERT_TRUE(server.start());
    server.answer([](const Request&) {
        return Response(Response::Status{{StatusState::unlocked, 5400, {"id_ed25519"}}});
    });
    const std::string socket = "VANTORELLE_SOCKET=" + path.string();
    const std::string french = "Déverrouillé, encore 1 h 30 min : id_ed25519\n";

    EXPECT_EQ(runProgram(home, {"status"}, {socket, "LANG=fr_FR.UTF-8"}).out, french);
    // The language override in the shared settings file wins over the locale.
    fs::create_directories(home.path() / "config" / "vantorelle");
    std::ofstream(home.path() / "config" / "vantorelle" / "defaults.json") << R"({"AppleLanguages": ["fr"]})";
    EXPECT_EQ(runProgram(home, {"status"}, {socket, "LANGUAGE=en"}).out, french);
}
