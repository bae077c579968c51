// The coordinator's fakes wired into its dependencies, shared by every suite that runs an
// UnlockCoordinator (on the manual executor, on a thread, behind the socket server).
#pragma once

#include <atomic>
#include <cmath>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

#include "fakes/InMemoryPassphraseStore.h"
#include "unlock/UnlockCoordinator.h"

namespace vantorelle {

// clang-format off
inline SecretString secret(std::string_view text) { return SecretString(text); }
// clang-format on

// What the fakes were asked to do, one line each, when they are given a log. Written only on the
// coordinator's executor.
using Events = std::vector<std::string>;

struct FakeClock final : Clock
{
    std::atomic<Date> at{dateFromSeconds(1'800'000'000)};
    Date now() const override { return at.load(); }
    void advance(double seconds) { at = at.load() + std::chrono::duration<double>(seconds); }
};

// A key added under a path is listed as "SHA256:" + path. `failing` names the paths whose add
// fails, and "remove" or "list" to fail those. Logs "add <file name> <lifetime>" and "remove <file name>".
struct FakeAgent final : AgentControlling
{
    using Done = std::expected<void, AgentClientError>;
    Done add(const std::string& path, const SecretString&, double lifetime) override
    {
        note("add " + std::filesystem::path(path).filename().string() + " " + std::to_string(std::lround(lifetime)));
        return failing.contains(path) ? Done(std::unexpected(AgentClientError{})) : (loaded.insert(path), Done());
    }
    Done remove(const std::string& path) override
    {
        removes.push_back(path);
        note("remove " + std::filesystem::path(path).filename().string());
        return failing.contains("remove") ? Done(std::unexpected(AgentClientError{})) : (loaded.erase(path), Done());
    }
    std::expected<std::set<std::string>, AgentClientError> loadedFingerprints() override
    {
        std::set<std::string> fingerprints = extra; // extra: keys loaded from elsewhere
        for (const std::string& path : loaded) {
            fingerprints.insert("SHA256:" + path);
        }
        return failing.contains("list") ? std::unexpected(AgentClientError{})
                                        : decltype(loadedFingerprints())(fingerprints);
    }
    void note(const std::string& event) { events ? events->push_back(event) : void(); }
    std::set<std::string> loaded, failing, extra;
    std::vector<std::string> removes;
    Events* events = nullptr;
};

// Logs each dialog ("dialog0 git 3600 type missing": who asks, the length, why typing), question
// ("question0 'Sure?' secret"), withdrawal and notification; answers the calls when told. The calls
// are thread-safe, and completions run outside the lock.
class FakePresenter final : public UnlockPresenter
{
public:
    template <class Completion> struct Call
    {
        Completion done; // null once answered
        std::unique_ptr<std::stop_callback<std::function<void()>>> onWithdrawal;
    };
    void showUnlock(const Requester& requester, const std::vector<SSHKey>&, double duration, const PresentMode& mode,
                    std::stop_token stop, UnlockCompletion done) override
    {
        const auto* typing = std::get_if<PresentMode::TypePassphrase>(&mode.value);
        const std::string shown = requester.displayName + " " + std::to_string(std::lround(duration));
        show(unlocks, "dialog", shown + (typing ? " type " + typing->reason : ""), stop,
             loseDialogs ? nullptr : std::move(done));
    }
    void showPrompt(const std::string& text, bool secret, std::stop_token stop, PromptCompletion done) override
    {
        show(prompts, "question", "'" + text + "'" + (secret ? " secret" : ""), stop, std::move(done));
    }
    void notifyBackground(const Requester& requester) override { note("notify " + requester.displayName); }

    // False when that call was answered already.
    template <class Call, class Result> bool answer(std::deque<Call>& calls, size_t index, Result result)
    {
        auto done
            = withLock([&] { return index < calls.size() ? std::exchange(calls[index].done, nullptr) : nullptr; });
        return done ? (done(std::move(result)), true) : false;
    }
    template <class Call> size_t count(const std::deque<Call>& calls)
    {
        return withLock([&] { return calls.size(); });
    }

    std::deque<Call<UnlockCompletion>> unlocks;
    std::deque<Call<PromptCompletion>> prompts;
    bool loseDialogs = false; // lets unlock completions go without calling them
    Events* events = nullptr;

private:
    void note(const std::string& event) { events ? events->push_back(event) : void(); }
    template <class Call, class Done>
    void show(std::deque<Call>& calls, const std::string& kind, const std::string& shown, std::stop_token stop,
              Done done)
    {
        const std::string name = kind + std::to_string(count(calls));
        Call& call = withLock([&]() -> Call& { return calls.emplace_back(std::move(done), nullptr); });
        note(name + " " + shown);
        call.onWithdrawal = std::make_unique<std::stop_callback<std::function<void()>>>(
            stop, [this, name] { note("withdrawn " + name); });
    }
    template <class Work> decltype(auto) withLock(Work work)
    {
        std::lock_guard lock(m_lock);
        return work();
    }
    std::mutex m_lock;
};

// Logs "window <expiry> <length>" in seconds from the fake clock's start, and "window -".
struct MemoryWindowStore final : UnlockWindowStore
{
    std::optional<UnlockWindow> load() const override { return saved; }
    void save(const UnlockWindow& window) override
    {
        saved = window;
        const auto expiry = std::lround(secondsSince1970(window.expiry) - 1'800'000'000);
        note("window " + std::to_string(expiry) + " " + std::to_string(std::lround(window.duration)));
    }
    void clear() override { saved ? saved.reset(), note("window -") : void(); }
    void note(const std::string& event) { events ? events->push_back(event) : void(); }
    std::optional<UnlockWindow> saved;
    Events* events = nullptr;
};

// Managed keys with their passphrases in the store (and accepted by `verify`); the resolver and the
// callers' names and directories answer from the tables, unknown pids as ("ssh", background). The
// agent, the presenter and the window store log into `events`.
struct CoordinatorRig
{
    explicit CoordinatorRig(const std::map<std::string, std::string>& passphrases)
        : accepted(passphrases)
    {
        for (const auto& [path, passphrase] : passphrases) {
            keys.push_back({path, path + ".pub", "SHA256:" + path});
            store.items.emplace(path, secret(passphrase));
        }
        agent.events = presenter.events = windowStore.events = &events;
    }
    UnlockCoordinator::Dependencies dependencies()
    {
        const auto resolve = [this](std::int32_t pid, const std::optional<std::string>& reason) {
            ++resolves;
            const Requester found = requesters.contains(pid) ? requesters.at(pid) : Requester{"ssh"};
            return reason && found.kind != Requester::Kind::remote ? Requester{*reason, Requester::Kind::interactive}
                                                                   : found;
        };
        const auto verify = [this](const SecretString& typed, const std::string& path) {
            ++verifies;
            clock.advance(verifySeconds);
            return accepted.contains(path) && accepted.at(path) == typed.view();
        };
        // clang-format off
        return {.keys = [this] { return keys; }, .duration = [this] { return duration; }, .store = store, .agent = agent,
                .presenter = presenter, .resolve = resolve, .clock = clock, .verify = verify,
                .callerName = [this](std::int32_t pid) { return names.contains(pid) ? std::optional(names.at(pid)) : std::nullopt; },
                .callerDirectory = [this](std::int32_t pid) { return directories.contains(pid) ? std::optional(directories.at(pid)) : std::nullopt; },
                .windowStore = &windowStore};
        // clang-format on
    }
    std::vector<SSHKey> keys;
    double duration = 3600;
    std::map<std::string, std::string> accepted; // the passphrase that opens each key
    Events events;
    FakeClock clock;
    FakeAgent agent;
    InMemoryPassphraseStore store;
    FakePresenter presenter;
    MemoryWindowStore windowStore;
    std::map<std::int32_t, Requester> requesters;
    std::map<std::int32_t, std::string> names;
    std::map<std::int32_t, std::filesystem::path> directories;
    int resolves = 0, verifies = 0;
    double verifySeconds = 0; // how far each check moves the clock
};

} // namespace vantorelle
