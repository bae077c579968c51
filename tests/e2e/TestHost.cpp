// vantorelle-testhost: a headless stand-in for the application in end-to-end tests. It serves the
// socket with the real server and unlock coordinator, the real agent client and key scanner, an
// in-memory passphrase store and a presenter whose answers are scripted on the command line. Every
// question the presenter is asked, and every request and reply kind, is appended to a log file.
//
//   vantorelle-testhost --socket PATH --agent SOCKET --keys DIR --store FILE --log FILE
//                       [--unlock approve|cancel|delay:SECONDS] [--answer TEXT]
//
// --store names a file of "<private key path>\t<passphrase>" lines (passphrases never go on the
// command line). --unlock delay:S approves after S seconds unless the request is withdrawn first.
// Without --answer every free question is cancelled. Other arguments ("--background") are logged
// and ignored. SIGTERM or SIGINT stops it.
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <list>
#include <map>
#include <mutex>
#include <signal.h>
#include <thread>
#include <unistd.h>

#include "../fakes/InMemoryPassphraseStore.h"
#include "ipc/SocketServer.h"
#include "ssh/AgentClient.h"
#include "ssh/KeyScanner.h"
#include "ssh/PassphraseVerifier.h"
#include "sys/Clock.h"
#include "sys/Fd.h"
#include "sys/Io.h"
#include "sys/WorkingDirectory.h"
#include "unlock/RequesterResolver.h"
#include "unlock/ThreadExecutor.h"
#include "unlock/UnlockCoordinator.h"

namespace vantorelle {
namespace {

class EventLog
{
public:
    explicit EventLog(const std::string& path)
        : m_fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600))
    {
    }
    bool valid() const { return m_fd.valid(); }
    // One write per line, so readers never see half a line.
    void write(std::string line)
    {
        for (char& c : line) {
            if (c == '\n' || c == '\r') {
                c = ' ';
            }
        }
        line.push_back('\n');
        std::lock_guard guard(m_lock);
        (void)io::writeAll(m_fd.get(), {line.data(), line.size()});
    }

private:
    std::mutex m_lock;
    Fd m_fd;
};

std::string describe(const Requester& requester)
{
    return "requester=" + requester.displayName + " kind=" + std::string(toString(requester.kind));
}

std::string kindName(const Request& request)
{
    static const char* names[] = {"passphrase", "prompt", "status", "unlock", "lock"};
    return names[request.value.index()];
}

std::string kindName(const Response& response)
{
    if (const auto* denied = std::get_if<Response::Denied>(&response.value)) {
        return "denied " + std::string(wireWord(denied->reason));
    }
    static const char* names[] = {"secret", "answer", "status", "ok", "denied", "addedToAgent"};
    return names[response.value.index()];
}

// What the presenter answers: "approve", "cancel" or "delay:<seconds>", and the free questions' answer.
struct Script
{
    std::string unlock;
    std::optional<std::string> answer;
};

// Answers from threads of its own, as a real dialog would, never inside the call.
class ScriptedPresenter final : public UnlockPresenter
{
public:
    ScriptedPresenter(Script script, EventLog& log)
        : m_script(std::move(script))
        , m_log(log)
    {
    }
    ~ScriptedPresenter() override
    {
        std::lock_guard guard(m_threadsLock);
        m_threads.clear(); // requests stop, then joins each
    }

    void showUnlock(const Requester& requester, const std::vector<SSHKey>& keys, double duration,
                    const PresentMode& mode, std::stop_token cancelled, UnlockCompletion done) override
    {
        const auto* typing = std::get_if<PresentMode::TypePassphrase>(&mode.value);
        m_log.write("showUnlock " + describe(requester) + " keys=" + std::to_string(keys.size())
                    + " duration=" + std::to_string(static_cast<long long>(duration))
                    + " mode=" + (typing ? "type:" + typing->reason : std::string("biometric")));
        spawn([this, cancelled, done = std::move(done)](std::stop_token shutdown) mutable {
            PresentResult result = PresentResult::Abandoned{};
            if (m_script.unlock == "cancel") {
                result = PresentResult::Cancelled{};
            } else if (m_script.unlock == "approve") {
                result = PresentResult::Approved{nullptr};
            } else {
                std::mutex lock;
                std::condition_variable_any wake;
                // Registered before the lock is taken: it runs at once if shutdown already began.
                std::stop_callback onShutdown(shutdown, [&] {
                    std::lock_guard notifying(lock);
                    wake.notify_all();
                });
                std::unique_lock guard(lock);
                const auto until = std::chrono::steady_clock::now()
                    + std::chrono::duration<double>(std::stod(m_script.unlock.substr(6)));
                const bool withdrawn
                    = wake.wait_until(guard, cancelled, until, [&] { return shutdown.stop_requested(); })
                    || cancelled.stop_requested();
                if (!withdrawn && !shutdown.stop_requested()) {
                    result = PresentResult::Approved{nullptr};
                }
            }
            const char* word = std::holds_alternative<PresentResult::Approved>(result.value) ? "approved"
                : std::holds_alternative<PresentResult::Cancelled>(result.value)             ? "cancelled"
                                                                                             : "abandoned";
            m_log.write(std::string("unlock-result ") + word);
            done(std::move(result));
        });
    }

    void notifyBackground(const Requester& requester) override
    {
        m_log.write("notifyBackground " + describe(requester));
    }

    void showPrompt(const std::string& text, bool secret, std::stop_token, PromptCompletion done) override
    {
        m_log.write(std::string("showPrompt secret=") + (secret ? "1" : "0") + " text=" + text);
        spawn([this, done = std::move(done)](std::stop_token) mutable {
            m_log.write(m_script.answer ? "prompt-result answered" : "prompt-result cancelled");
            done(m_script.answer ? std::optional<SecretString>(SecretString(std::string_view(*m_script.answer)))
                                 : std::nullopt);
        });
    }

private:
    template <typename F> void spawn(F&& work)
    {
        std::lock_guard guard(m_threadsLock);
        m_threads.emplace_back(std::forward<F>(work));
    }

    const Script m_script;
    EventLog& m_log;
    std::mutex m_threadsLock;
    std::list<std::jthread> m_threads;
};

struct Options
{
    std::string socket, agent, keys, store, log, unlock = "approve";
    std::optional<std::string> answer;
    std::vector<std::string> all;
};

std::optional<Options> parseOptions(int argc, char** argv)
{
    Options options;
    std::string answer;
    const std::map<std::string, std::string*> values{
        {"--socket", &options.socket}, {"--agent", &options.agent}, {"--keys", &options.keys},
        {"--store", &options.store},   {"--log", &options.log},     {"--unlock", &options.unlock},
        {"--answer", &answer},
    };
    options.all.assign(argv + 1, argv + argc);
    for (size_t i = 0; i < options.all.size(); ++i) {
        const auto value = values.find(options.all[i]);
        if (value != values.end() && i + 1 < options.all.size()) {
            *value->second = options.all[++i];
            if (value->first == "--answer") {
                options.answer = answer;
            }
        } else if (options.all[i] != "--background") {
            return std::nullopt;
        }
    }
    if (options.socket.empty() || options.agent.empty() || options.keys.empty() || options.log.empty()) {
        return std::nullopt;
    }
    return options;
}

void loadStore(const std::string& path, InMemoryPassphraseStore& store)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos) {
            continue;
        }
        SSHKey key;
        key.path = line.substr(0, tab);
        (void)store.save(SecretString(std::string_view(line).substr(tab + 1)), key);
        wipeString(line);
    }
}

int run(int argc, char** argv)
{
    const auto options = parseOptions(argc, argv);
    if (!options) {
        std::cerr << "vantorelle-testhost: bad arguments\n";
        return 64;
    }
    EventLog log(options->log);
    if (!log.valid()) {
        std::cerr << "vantorelle-testhost: cannot open the log\n";
        return 1;
    }
    std::string words;
    for (const auto& word : options->all) {
        words += " " + word;
    }
    log.write("started pid=" + std::to_string(::getpid()) + " args=" + words);

    // Every thread started from here on inherits the blocked set, so only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    InMemoryPassphraseStore store;
    if (!options->store.empty()) {
        loadStore(options->store, store);
    }
    AgentClient agent(options->agent);
    auto presenter = std::make_unique<ScriptedPresenter>(Script{options->unlock, options->answer}, log);
    SystemClock clock;
    const Environment env = Environment::current();
    const std::string home = env.get("HOME").value_or("/");
    const std::filesystem::path keyDir = options->keys;
    auto executor = std::make_unique<ThreadExecutor>();

    UnlockCoordinator::Dependencies dependencies{
        .keys =
            [keyDir, home] {
                std::vector<SSHKey> managed;
                for (auto& key : KeyScanner::scan(keyDir, "", home)) {
                    if (key.status == SSHKey::Status::usable) {
                        managed.push_back(std::move(key));
                    }
                }
                return managed;
            },
        .duration = [] { return 10800.0; },
        .store = store,
        .agent = agent,
        .presenter = *presenter,
        .resolve = RequesterResolver::resolveLive,
        .clock = clock,
        .verify = [](const SecretString& passphrase,
                     const std::string& keyPath) { return PassphraseVerifier::isValid(passphrase, keyPath); },
        .callerName = RequesterResolver::liveName,
        .callerDirectory = [](std::int32_t pid) { return workingDirectoryOf(pid); },
        .windowStore = nullptr,
    };
    auto coordinator = std::make_unique<UnlockCoordinator>(*executor, std::move(dependencies));
    coordinator->restoreWindow();

    auto server = std::make_unique<SocketServer>(
        options->socket,
        [&log, &coordinator](Request request, std::int32_t peerPID, SocketServer::Reply reply,
                             std::stop_token cancelled) {
            const std::string kind = kindName(request);
            log.write("request " + kind + " peer=" + std::to_string(peerPID));
            auto gone = std::make_shared<std::stop_callback<std::function<void()>>>(
                cancelled, std::function<void()>([&log, kind] { log.write("client-gone " + kind); }));
            coordinator->handle(
                std::move(request), peerPID,
                [&log, gone, reply = std::move(reply)](Response response) mutable {
                    log.write("reply " + kindName(response));
                    reply(std::move(response));
                },
                cancelled);
        });
    if (auto started = server->start(); !started) {
        log.write("server-failed kind=" + std::to_string(static_cast<int>(started.error().kind)));
        return 1;
    }
    log.write("listening");

    int signal = 0;
    sigwait(&stopSignals, &signal);
    log.write("stopping");
    server->stop();
    // The coordinator goes first so waiting clients get its last word; the presenter's threads
    // answer into the executor, which therefore outlives them.
    coordinator.reset();
    presenter.reset();
    server.reset();
    executor.reset();
    return 0;
}

} // namespace
} // namespace vantorelle

int main(int argc, char** argv)
{
    return vantorelle::run(argc, argv);
}
