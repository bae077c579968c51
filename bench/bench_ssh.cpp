// Benchmarks of the two ssh operations behind every settings refresh and status query: the key
// scan of ~/.ssh and the list of fingerprints loaded in the agent.
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

#include "ssh/AgentClient.h"
#include "ssh/KeyScanner.h"
#include "sys/ChildProcess.h"

namespace {

using namespace vantorelle;
using namespace std::chrono_literals;

Environment toolEnvironment()
{
    Environment env;
    env.set("PATH", "/usr/bin:/bin");
    env.set("LANG", "C");
    return env;
}

class ScratchDir
{
public:
    ScratchDir()
    {
        std::string pattern = "/tmp/vt-bench-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

void makeKey(const std::filesystem::path& path, bool withPassphrase)
{
    const auto made = ChildProcess::run(
        "/usr/bin/ssh-keygen",
        {"-q", "-t", "ed25519", "-N", withPassphrase ? "bench-pass" : "", "-C", "bench", "-f", path.string()},
        toolEnvironment(), ChildProcess::StandardError::merge, std::chrono::steady_clock::now() + 60s);
    if (!made || made->status != 0) {
        throw std::runtime_error("ssh-keygen failed");
    }
}

// A directory with `count` keys, each with its .pub, every other one with a passphrase (made once).
const std::filesystem::path& keyDirectory(int count)
{
    static std::map<int, std::unique_ptr<ScratchDir>> dirs;
    auto& dir = dirs[count];
    if (!dir) {
        dir = std::make_unique<ScratchDir>();
        for (int i = 0; i < count; ++i) {
            makeKey(dir->path() / ("id_" + std::to_string(i)), i % 2 == 0);
        }
        // What else lives in ~/.ssh and costs the scan a header read.
        std::filesystem::create_directory(dir->path() / "sockets");
        std::FILE* file = std::fopen((dir->path() / "known_hosts").c_str(), "w");
        std::fputs("example.org ssh-ed25519 AAAA\n", file);
        std::fclose(file);
    }
    return dir->path();
}

void BM_KeyScannerScan(benchmark::State& state)
{
    const auto& dir = keyDirectory(static_cast<int>(state.range(0)));
    size_t found = 0;
    for (auto _ : state) {
        const auto keys = KeyScanner::scan(dir, "", "/nonexistent-home");
        found = keys.size();
        benchmark::DoNotOptimize(keys.data());
    }
    if (found != static_cast<size_t>(state.range(0))) {
        state.SkipWithError("scan did not find every key");
    }
    state.SetComplexityN(state.range(0));
    state.counters["keys"] = static_cast<double>(found);
}
BENCHMARK(BM_KeyScannerScan)
    ->Arg(10)
    ->Arg(25)
    ->Arg(50)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5)
    ->Complexity(benchmark::oN);

bool connects(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return ok;
}

void BM_AgentLoadedFingerprints(benchmark::State& state)
{
    ScratchDir dir;
    const std::string socket = (dir.path() / "agent.sock").string();
    ChildProcess::Options options{"/usr/bin/ssh-agent", {"-D", "-a", socket}, toolEnvironment(), {}, -1, -1};
    auto agent = ChildProcess::spawn(options);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (agent && !connects(socket) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    AgentClient client(socket);
    const int loadedKeys = static_cast<int>(state.range(0));
    for (int i = 0; i < loadedKeys; ++i) {
        const auto key = dir.path() / ("k" + std::to_string(i));
        makeKey(key, false);
        if (!client.add(key.string(), SecretString(std::string_view{}), 3600)) {
            state.SkipWithError("could not load a key");
            return;
        }
    }
    for (auto _ : state) {
        auto fingerprints = client.loadedFingerprints();
        if (!fingerprints || fingerprints->size() != static_cast<size_t>(loadedKeys)) {
            state.SkipWithError("unexpected agent answer");
            break;
        }
        benchmark::DoNotOptimize(fingerprints);
    }
}
BENCHMARK(BM_AgentLoadedFingerprints)
    ->Arg(0)
    ->Arg(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(10)
    ->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
