// vantorelle-testhost: a headless stand-in for the application in end-to-end tests. It serves the
// socket with the real server and unlock coordinator, the real agent client and key scanner, an
// in-memory passphrase store and a presenter whose answers are scripted on the command line. Every
// question the presenter is asked, and every request and reply kind, is appended to a log file.
//
//   vantorelle-testhost --socket PATH --agent SOCKET --keys DIR --store FILE --log FILE
//                       [--unlock approve|cancel|hold] [--answer TEXT]
//
// --store names a file of "<private key path>\t<passphrase>" lines (passphrases never go on the
// command line). --unlock hold answers only once the request is withdrawn. Without --answer every
// free question is cancelled. "--background" is logged and ignored. SIGTERM or SIGINT stops it.
#include <algorithm>
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
#include "sys/Io.h"
#include "sys/WorkingDirectory.h"
#include "unlock/RequesterResolver.h"
#include "unlock/ThreadExecutor.h"
#include "unlock/UnlockCoordinator.h"

namespace vantorelle {
namespace {

Fd g_log;
std::mutex g_logLock;

// One write per line, so readers never see half a line.
void note(std::string line)
{
    std::ranges::replace_if(
        line, [](char c) { return c == '\n' || c == '\r'; }, ' ');
    line.push_back('\n');
    std::lock_guard guard(g_logLock);
    (void)io::writeAll(g_log.get(), {line.data(), line.size()});
}

std::string describe(const Requester& requester)
{
    return "requester=" + requester.displayName + " kind=" + std::string(toString(requester.kind));
}

// Answers from threads of its own, as a real dialog would, never inside the call.
class ScriptedPresenter final : public UnlockPresenter
{
public:
    ScriptedPresenter(std::string unlock, std::optional<std::string> answer)
        : m_unlock(std::move(unlock))
        , m_answer(std::move(answer))
    {
    }

    void showUnlock(const Requester& requester, const std::vector<SSHKey>& keys, double duration,
                    const PresentMode& mode, std::stop_token cancelled, UnlockCompletion done) override
    {
        const auto* typing = std::get_if<PresentMode::TypePassphrase>(&mode.value);
        note("showUnlock " + describe(requester) + " keys=" + std::to_string(keys.size())
             + " duration=" + std::to_string(static_cast<long long>(duration))
             + " mode=" + (typing ? "type:" + typing->reason : std::string("biometric")));
        spawn([this, cancelled, done = std::move(done)](std::stop_token shutdown) mutable {
            while (m_unlock == "hold" && !cancelled.stop_requested() && !shutdown.stop_requested()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            note("unlock-result " + (m_unlock == "hold" ? std::string("abandoned") : m_unlock));
            done(m_unlock == "approve"      ? PresentResult{PresentResult::Approved{nullptr}}
                     : m_unlock == "cancel" ? PresentResult{PresentResult::Cancelled{}}
                                            : PresentResult{PresentResult::Abandoned{}});
        });
    }
    void notifyBackground(const Requester& requester) override { note("notifyBackground " + describe(requester)); }
    void showPrompt(const std::string& text, bool secret, std::stop_token, PromptCompletion done) override
    {
        note(std::string("showPrompt secret=") + (secret ? "1" : "0") + " text=" + text);
        spawn([this, done = std::move(done)](std::stop_token) mutable {
            done(m_answer ? std::optional(SecretString(std::string_view(*m_answer))) : std::nullopt);
        });
    }

private:
    template <typename F> void spawn(F&& work)
    {
        std::lock_guard guard(m_threadsLock);
        m_threads.emplace_back(std::forward<F>(work));
    }

    const std::string m_unlock;
    const std::optional<std::string> m_answer;
    std::mutex m_threadsLock;
    std::list<std::jthread> m_threads; // stopped, then joined, when the presenter goes
};

std::string kindName(const Response& response)
{
    if (const auto* denied = std::get_if<Response::Denied>(&response.value)) {
        return "denied " + std::string(wireWord(denied->reason));
    }
    static const char* names[] = {"secret", "answer", "status", "ok", "denied", "addedToAgent"};
    return names[response.value.index()];
}

int run(int argc, char** argv)
{
    std::map<std::string, std::string> options{{"--unlock", "approve"}};
    std::string words;
    bool bad = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        words += " " + word;
        if (word != "--background") {
            bad = bad || i + 1 >= argc || !word.starts_with("--");
            options[word] = i + 1 < argc ? argv[++i] : "";
            words += " " + options[word];
        }
    }
    g_log = Fd(::open(options["--log"].c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    if (bad || !g_log.valid() || options["--socket"].empty() || options["--agent"].empty()) {
        std::cerr << "vantorelle-testhost: bad arguments, or no log, socket or agent\n";
        return 64;
    }
    note("started pid=" + std::to_string(::getpid()) + " args=" + words);

    // Every thread started from here on inherits the blocked set, so only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    InMemoryPassphraseStore store;
    std::ifstream in(options["--store"]);
    for (std::string line; std::getline(in, line); wipeString(line)) {
        if (const auto tab = line.find('\t'); tab != std::string::npos) {
            (void)store.save(SecretString(std::string_view(line).substr(tab + 1)), SSHKey{.path = line.substr(0, tab)});
        }
    }
    AgentClient agent(options["--agent"]);
    const auto answer = options.contains("--answer") ? std::optional(options["--answer"]) : std::nullopt;
    auto presenter = std::make_unique<ScriptedPresenter>(options["--unlock"], answer);
    SystemClock clock;
    const std::string home = Environment::current().get("HOME").value_or("/");
    auto executor = std::make_unique<ThreadExecutor>();
    auto coordinator = std::make_unique<UnlockCoordinator>(
        *executor,
        UnlockCoordinator::Dependencies{
            .keys =
                [keyDir = options["--keys"], home] {
                    auto keys = KeyScanner::scan(keyDir, "", home);
                    std::erase_if(keys, [](const SSHKey& key) { return key.status != SSHKey::Status::usable; });
                    return keys;
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
        });
    coordinator->restoreWindow();

    auto server = std::make_unique<SocketServer>(
        options["--socket"],
        [&coordinator](Request request, std::int32_t peerPID, SocketServer::Reply reply, std::stop_token cancelled) {
            static const char* names[] = {"passphrase", "prompt", "status", "unlock", "lock"};
            const std::string kind = names[request.value.index()];
            note("request " + kind + " peer=" + std::to_string(peerPID));
            auto gone = std::make_shared<std::stop_callback<std::function<void()>>>(
                cancelled, std::function<void()>([kind] { note("client-gone " + kind); }));
            coordinator->handle(
                std::move(request), peerPID,
                [gone, reply = std::move(reply)](Response response) mutable {
                    note("reply " + kindName(response));
                    reply(std::move(response));
                },
                cancelled);
        });
    if (auto started = server->start(); !started) {
        note("server-failed kind=" + std::to_string(static_cast<int>(started.error().kind)));
        return 1;
    }
    note("listening");

    int signal = 0;
    sigwait(&stopSignals, &signal);
    note("stopping");
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
