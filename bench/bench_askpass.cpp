// The askpass helper's whole-process round trip on the grace path: `vantorelle-askpass` run with a
// key prompt against a running test host that approved moments ago, next to /bin/true run the same
// way. Needs the build's test host (tests enabled) and OpenSSH. Reports the median wall time.
#include <algorithm>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ipc/SocketClient.h"
#include "ssh/KeyPassphrase.h"
#include "sys/ChildProcess.h"
#include "sys/Pty.h"

namespace {

using namespace vantorelle;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kPassphrase = "bench passphrase";

fs::path buildDir()
{
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path();
}

// One private agent, one key with a passphrase and the test host approving every dialog.
class Host
{
public:
    Host()
    {
        char pattern[] = "/tmp/vt-bench-XXXXXX";
        m_dir = ::mkdtemp(pattern);
        fs::create_directories(m_dir / "keys");
        fs::create_directories(m_dir / "home");
        Environment tools;
        tools.set("PATH", "/usr/bin:/bin");
        const auto key = (m_dir / "keys/id_ed25519").string();
        auto made = ChildProcess::run("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", key}, tools,
                                      ChildProcess::StandardError::merge, Clock::now() + 30s);
        const SecretString passphrase{std::string_view(kPassphrase)};
        if (!made || made->status != 0 || !KeyPassphrase::add(passphrase, passphrase, key, tools)) {
            m_error = "could not make the key";
            return;
        }
        std::ofstream(m_dir / "store") << key << '\t' << kPassphrase << '\n';
        m_prompt = "Enter passphrase for key '" + key + "': ";

        ChildProcess::Options agent{"/usr/bin/ssh-agent", {"-D", "-a", (m_dir / "agent.sock").string()}, tools, {}};
        if (auto spawned = ChildProcess::spawn(agent)) {
            m_agent = std::move(*spawned);
        }
        ChildProcess::Options host{(buildDir() / "tests/e2e/vantorelle-testhost").string(),
                                   {"--socket", socket().string(), "--agent", (m_dir / "agent.sock").string(), "--keys",
                                    (m_dir / "keys").string(), "--store", (m_dir / "store").string(), "--log",
                                    (m_dir / "host.log").string(), "--unlock", "approve"},
                                   tools,
                                   {}};
        if (auto spawned = ChildProcess::spawn(host)) {
            m_host = std::move(*spawned);
        }
        const auto deadline = Clock::now() + 20s;
        while (Clock::now() < deadline) {
            if (SocketClient::send(Request::Status{}, socket(), 5)) {
                m_env = tools;
                m_env.set("HOME", (m_dir / "home").string());
                m_env.set("LANGUAGE", "en");
                m_env.set("VANTORELLE_SOCKET", socket().string());
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
        m_error = "the test host did not come up (is " + host.path + " built?)";
    }
    ~Host()
    {
        for (auto* process : {&m_host, &m_agent}) {
            if (*process && (*process)->running()) {
                (*process)->signal(SIGTERM);
                if (!(*process)->waitUntil(Clock::now() + 10s)) {
                    (*process)->kill();
                }
            }
        }
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    const std::string& error() const { return m_error; }
    fs::path socket() const { return m_dir / "c.sock"; }
    const std::string& prompt() const { return m_prompt; }
    const Environment& env() const { return m_env; }

private:
    fs::path m_dir;
    std::string m_error;
    std::string m_prompt;
    Environment m_env;
    std::optional<ChildProcess> m_agent;
    std::optional<ChildProcess> m_host;
};

std::unique_ptr<Host> g_host;

Host& host()
{
    if (!g_host) {
        g_host = std::make_unique<Host>();
    }
    return *g_host;
}

void runBenchmarks(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_host.reset(); // stops and reaps the host and the agent
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void BM_HelperGracePath(benchmark::State& state)
{
    Host& h = host();
    if (!h.error().empty()) {
        state.SkipWithError(h.error().c_str());
        return;
    }
    const std::string helper = (buildDir() / "askpass/vantorelle-askpass").string();
    const std::string expected = std::string(kPassphrase) + "\n";
    const auto runHelper = [&] {
        return ChildProcess::run(helper, {h.prompt()}, h.env(), ChildProcess::StandardError::discard,
                                 Clock::now() + 60s);
    };
    std::vector<double> times;
    auto approvedAt = Clock::time_point{};
    for (auto _ : state) {
        // The grace lasts 5 s after an approval; renew it, untimed, well before that.
        if (Clock::now() - approvedAt > 3s) {
            auto approval = runHelper();
            if (!approval || approval->output != expected) {
                state.SkipWithError("the approval did not give the passphrase");
                return;
            }
            approvedAt = Clock::now();
        }
        const auto start = Clock::now();
        auto run = runHelper();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!run || run->status != 0 || run->output != expected) {
            state.SkipWithError("the helper did not print the passphrase");
            return;
        }
        state.SetIterationTime(seconds);
        times.push_back(seconds);
    }
    state.counters["median_ms"] = median(times) * 1000;
}
BENCHMARK(BM_HelperGracePath)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);

// The same request sent from this process, without starting the helper: the host's own share of
// the round trip (it scans the key directory at every request).
void BM_HostAnswerGracePath(benchmark::State& state)
{
    Host& h = host();
    if (!h.error().empty()) {
        state.SkipWithError(h.error().c_str());
        return;
    }
    const std::string key = h.prompt().substr(26, h.prompt().size() - 26 - 3);
    const Request request = Request::Passphrase{key, h.prompt(), static_cast<std::int32_t>(::getpid())};
    std::vector<double> times;
    auto approvedAt = Clock::time_point{};
    for (auto _ : state) {
        if (Clock::now() - approvedAt > 3s) {
            if (!SocketClient::send(request, h.socket(), 60)) {
                state.SkipWithError("the approval failed");
                return;
            }
            approvedAt = Clock::now();
        }
        const auto start = Clock::now();
        auto response = SocketClient::send(request, h.socket(), 60);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!response || !std::holds_alternative<Response::Secret>(response->value)) {
            state.SkipWithError("no secret");
            return;
        }
        state.SetIterationTime(seconds);
        times.push_back(seconds);
    }
    state.counters["median_ms"] = median(times) * 1000;
}
BENCHMARK(BM_HostAnswerGracePath)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);

void BM_BinTrue(benchmark::State& state)
{
    std::vector<double> times;
    for (auto _ : state) {
        const auto start = Clock::now();
        auto run = ChildProcess::run("/bin/true", {}, Environment{}, ChildProcess::StandardError::discard,
                                     Clock::now() + 60s);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!run || run->status != 0) {
            state.SkipWithError("/bin/true failed");
            return;
        }
        state.SetIterationTime(seconds);
        times.push_back(seconds);
    }
    state.counters["median_ms"] = median(times) * 1000;
}
BENCHMARK(BM_BinTrue)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);

// The coordinator only answers requesters with a terminal in their process chain. The helper's
// parent is this process, so without a controlling terminal of its own the benchmark runs in a
// child that starts a session on a fresh pseudo-terminal.
int runWithTerminal(int argc, char** argv)
{
    const pid_t child = ::fork();
    if (child < 0) {
        return 1;
    }
    if (child > 0) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) { }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    auto pty = Pty::open();
    if (!pty || ::setsid() < 0) {
        ::_exit(1);
    }
    // The first terminal a session leader opens becomes its controlling terminal.
    const int slave = ::open(pty->slavePath.c_str(), O_RDWR | O_CLOEXEC);
    if (slave < 0) {
        ::_exit(1);
    }
    runBenchmarks(argc, argv);
    ::_exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    const int tty = ::open("/dev/tty", O_RDONLY | O_CLOEXEC);
    if (tty < 0) {
        return runWithTerminal(argc, argv);
    }
    ::close(tty);
    runBenchmarks(argc, argv);
    return 0;
}
