// Round trip of a status request through the real client and server, and many clients at once.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "ipc/SocketClient.h"
#include "ipc/SocketServer.h"

using namespace vantorelle;

namespace {

const StatusReport kStatus{StatusState::unlocked, 3600, {"id_ed25519", "work"}};

// A server in a private directory whose handler answers at once.
class BenchServer
{
public:
    BenchServer(SocketServer::Handler handler = [](Request, std::int32_t, SocketServer::Reply reply, std::stop_token) {
        reply(Response::Status{kStatus});
    })
    {
        char pattern[] = "/tmp/vtb-XXXXXX";
        if (!::mkdtemp(pattern)) {
            std::abort();
        }
        m_dir = pattern;
        m_server = std::make_unique<SocketServer>(m_dir / "c.sock", std::move(handler));
        if (!m_server->start()) {
            std::abort();
        }
    }
    ~BenchServer()
    {
        m_server.reset();
        std::filesystem::remove_all(m_dir);
    }
    std::filesystem::path path() const { return m_dir / "c.sock"; }

private:
    std::filesystem::path m_dir;
    std::unique_ptr<SocketServer> m_server;
};

double percentile(std::vector<double>& samples, double p)
{
    std::sort(samples.begin(), samples.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1));
    return samples[index];
}

void BM_StatusRoundTrip(benchmark::State& state)
{
    BenchServer server;
    std::vector<double> micros;
    std::int64_t failures = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto response = SocketClient::send(Request::Status{}, server.path(), 5.0);
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        if (!response || *response != Response(Response::Status{kStatus})) {
            ++failures;
        }
    }
    state.counters["median_us"] = percentile(micros, 0.5);
    state.counters["p99_us"] = percentile(micros, 0.99);
    state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_StatusRoundTrip)->Iterations(5000)->Unit(benchmark::kMicrosecond)->UseRealTime();

// `state.range(0)` clients released together, each sending one status request.
void BM_ConcurrentClients(benchmark::State& state)
{
    BenchServer server;
    const auto clients = static_cast<int>(state.range(0));
    int answered = 0;
    double worstMs = 0;
    for (auto _ : state) {
        std::atomic<int> correct{0};
        std::barrier start(clients + 1);
        {
            std::vector<std::jthread> threads;
            for (int i = 0; i < clients; ++i) {
                threads.emplace_back([&] {
                    start.arrive_and_wait();
                    const auto response = SocketClient::send(Request::Status{}, server.path(), 30.0);
                    if (response && *response == Response(Response::Status{kStatus})) {
                        ++correct;
                    }
                });
            }
            const auto begin = std::chrono::steady_clock::now();
            start.arrive_and_wait();
            threads.clear();
            worstMs = std::max(
                worstMs, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count());
        }
        answered = correct.load();
    }
    state.counters["clients"] = clients;
    state.counters["answered"] = answered;
    state.counters["all_answered_ms"] = worstMs;
}
BENCHMARK(BM_ConcurrentClients)->Arg(200)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// The server holds every request of a round open until the last one has arrived, then answers
// them all: `answered` equal to `clients` shows that many connections held at the same time.
void BM_HeldConcurrentClients(benchmark::State& state)
{
    const auto clients = static_cast<std::size_t>(state.range(0));
    std::mutex lock;
    std::vector<SocketServer::Reply> pending;
    std::size_t mostHeld = 0;
    BenchServer server([&](Request, std::int32_t, SocketServer::Reply reply, std::stop_token) {
        std::vector<SocketServer::Reply> release;
        {
            std::lock_guard guard(lock);
            pending.push_back(std::move(reply));
            mostHeld = std::max(mostHeld, pending.size());
            if (pending.size() == clients) {
                release.swap(pending);
            }
        }
        for (auto& r : release) {
            r(Response::Status{kStatus});
        }
    });
    int answered = 0;
    for (auto _ : state) {
        std::atomic<int> correct{0};
        {
            std::vector<std::jthread> threads;
            for (std::size_t i = 0; i < clients; ++i) {
                threads.emplace_back([&] {
                    const auto response = SocketClient::send(Request::Status{}, server.path(), 30.0);
                    if (response && *response == Response(Response::Status{kStatus})) {
                        ++correct;
                    }
                });
            }
        }
        answered = correct.load();
        std::lock_guard guard(lock);
        pending.clear(); // a round that fell short: close what is still held
    }
    state.counters["clients"] = static_cast<double>(clients);
    state.counters["held_at_once"] = static_cast<double>(mostHeld);
    state.counters["answered"] = answered;
}
BENCHMARK(BM_HeldConcurrentClients)->Arg(200)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
