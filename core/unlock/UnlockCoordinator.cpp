// UnlockCoordinator: decides for every request whether the user must approve, shows one shared
// dialog, loads the managed keys into ssh-agent for the unlock window and answers.
#include "unlock/UnlockCoordinator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>

#include "sys/Check.h"
#include "sys/Files.h"
#include "unlock/ApprovalGate.h"
#include "window/DurationPolicy.h"

namespace vantorelle {

namespace {

// Refusal words, as the helper and the command line turn them into sentences.
constexpr DenialReason kUnavailable = DenialReason::unavailable;
constexpr DenialReason kRemote = DenialReason::remote;
constexpr DenialReason kBackground = DenialReason::background;
constexpr DenialReason kSnoozed = DenialReason::snoozed;
constexpr DenialReason kCancelled = DenialReason::cancelled;
constexpr DenialReason kAbandoned = DenialReason::abandoned;

// A saved window further away than the longest window there is cannot be ours.
constexpr double kLongestRestorableSeconds = DurationPolicy::cap;

template <class... Fs> struct Overloaded : Fs...
{
    using Fs::operator()...;
};

Response denied(DenialReason reason)
{
    return Response::Denied{reason};
}

double secondsBetween(Date from, Date to)
{
    return std::chrono::duration<double>(to - from).count();
}

Date plusSeconds(Date date, double seconds)
{
    return date + std::chrono::duration<double>(seconds);
}

// The one-shot answer to one request. A request is answered exactly once; a second answer is a
// bug of the coordinator.
class ReplyOnce
{
public:
    ReplyOnce() = default;
    explicit ReplyOnce(UnlockCoordinator::Reply reply)
        : m_reply(std::move(reply))
    {
    }
    ReplyOnce(ReplyOnce&& other) noexcept
        : m_reply(std::move(other.m_reply))
        , m_answered(std::exchange(other.m_answered, true))
    {
    }
    ReplyOnce& operator=(ReplyOnce&& other) noexcept
    {
        m_reply = std::move(other.m_reply);
        m_answered = std::exchange(other.m_answered, true);
        return *this;
    }

    void operator()(Response response)
    {
        VANTORELLE_CHECK(!m_answered);
        if (m_answered) {
            return;
        }
        m_answered = true;
        auto reply = std::move(m_reply);
        m_reply = nullptr;
        if (reply) {
            reply(std::move(response));
        }
    }

private:
    UnlockCoordinator::Reply m_reply;
    bool m_answered = false;
};

} // namespace

// The way into the actor for code on other threads (presenter completions, hang-up callbacks).
// It never holds the actor alive, and goes quiet once the actor is gone, so a late answer from a
// dialog can neither touch a destroyed coordinator nor keep it alive on a foreign thread.
struct Mailbox
{
    std::mutex lock;
    SerialExecutor* executor = nullptr;

    void post(SerialExecutor::Task task)
    {
        std::lock_guard guard(lock);
        if (executor) {
            executor->post(std::move(task));
        }
    }
};

class UnlockCoordinator::Actor : public std::enable_shared_from_this<Actor>
{
public:
    Actor(SerialExecutor& executor, Dependencies dependencies);
    ~Actor();

    void post(SerialExecutor::Task task) { m_executor.post(std::move(task)); }

    // Everything below runs on the executor.
    void handle(Request request, ReplyOnce reply, std::stop_token cancelled);
    StatusReport status();
    bool lockNow();
    void restoreWindow();
    std::optional<UnlockWindow> window();
    void shutdown();

    struct Snapshot
    {
        std::optional<Date> expiry;
        int waitingCount = 0;
        std::optional<int> inFlight;
        int lastPresentationID = 0;
    };
    Snapshot snapshot() const
    {
        std::lock_guard guard(m_publishedLock);
        return m_published;
    }

private:
    // What one presentation ends with; the same outcome goes to every request that waited for it.
    struct Outcome
    {
        std::optional<DenialReason> deniedReason;
        std::map<std::string, SecretString> released; // standardized key path -> passphrase; never empty

        static Outcome approved(std::map<std::string, SecretString> released)
        {
            return Outcome{std::nullopt, std::move(released)};
        }
        static Outcome denied(DenialReason reason) { return Outcome{reason, {}}; }
    };

    struct Waiter
    {
        std::uint64_t request;
        std::move_only_function<void(const Outcome&)> resume;
    };

    // One dialog shown on behalf of the requests waiting for it. It lives until the presenter
    // answers, even after every waiter withdrew and it stopped being the one in flight.
    struct Presentation
    {
        int id;
        Requester requester; // the first request's; requests that join do not change it
        double duration;
        std::stop_source stop; // stopped when withdrawn: the presenter closes the dialog
        int liveWaiters = 0;
        std::vector<Waiter> waiters;
        std::vector<SSHKey> keys;
        PresentMode mode = PresentMode::Biometric{};
        bool typedRound = false;
        bool ended = false;
    };

    struct PendingPrompt
    {
        ReplyOnce reply;
        std::stop_source stop;
    };

    // Runs on the thread that stopped a request's token: only posts.
    struct OnCancel
    {
        std::shared_ptr<Mailbox> mailbox;
        std::weak_ptr<Actor> actor;
        std::uint64_t request;

        void operator()() noexcept
        {
            mailbox->post([actor = actor, request = request] {
                if (auto self = actor.lock()) {
                    self->cancelled(request);
                }
            });
        }
    };

    // The completion handed to the presenter: delivers once onto the executor, and a fallback
    // result when the presenter lets it go without calling it.
    template <typename Result> class Completion
    {
    public:
        using Handler = std::move_only_function<void(Actor&, Result)>;

        Completion(std::shared_ptr<Mailbox> mailbox, std::weak_ptr<Actor> actor, Handler handler, Result fallback)
            : m_mailbox(std::move(mailbox))
            , m_actor(std::move(actor))
            , m_handler(std::move(handler))
            , m_fallback(std::move(fallback))
        {
        }
        Completion(Completion&& other) noexcept
            : m_mailbox(std::move(other.m_mailbox))
            , m_actor(std::move(other.m_actor))
            , m_handler(std::move(other.m_handler))
            , m_fallback(std::move(other.m_fallback))
            , m_armed(std::exchange(other.m_armed, false))
        {
        }
        Completion& operator=(Completion&&) = delete;
        ~Completion()
        {
            if (m_armed) {
                deliver(std::move(m_fallback));
            }
        }

        void operator()(Result result)
        {
            if (std::exchange(m_armed, false)) {
                deliver(std::move(result));
            }
        }

    private:
        void deliver(Result result)
        {
            m_mailbox->post([actor = m_actor, handler = std::move(m_handler), result = std::move(result)]() mutable {
                if (auto self = actor.lock()) {
                    handler(*self, std::move(result));
                }
            });
        }

        std::shared_ptr<Mailbox> m_mailbox;
        std::weak_ptr<Actor> m_actor;
        Handler m_handler;
        Result m_fallback;
        bool m_armed = true;
    };

    Date now() const { return m_deps.clock.now(); }

    // Requests, by kind.
    void passphrase(Request::Passphrase request, ReplyOnce reply, std::stop_token cancelled);
    void prompt(std::string text, bool secret, std::int32_t callerPID, ReplyOnce reply, std::stop_token cancelled);
    void unlock(Request::Unlock request, ReplyOnce reply, std::stop_token cancelled);
    Requester requesterFor(std::int32_t callerPID, const std::optional<std::string>& reason);
    void notifyIfDue(const Requester& requester);
    Response release(const SecretString& secret, bool forSSHAdd);
    double remainingLifetime();

    // The shared approval and its presentation.
    void approve(const Requester& requester, double duration, const std::stop_token& cancelled,
                 std::move_only_function<void(const Outcome&)> resume);
    void withdraw(int presentationID);
    void cancelled(std::uint64_t request);
    void present(const std::shared_ptr<Presentation>& presentation);
    void show(const std::shared_ptr<Presentation>& presentation);
    void presented(const std::shared_ptr<Presentation>& presentation, PresentResult result);
    void storeFailed(const std::shared_ptr<Presentation>& presentation, const PassphraseStoreError& error, Date at);
    void finish(const std::shared_ptr<Presentation>& presentation, const std::map<std::string, SecretString>& secrets,
                Date at);
    void end(const std::shared_ptr<Presentation>& presentation, const Outcome& outcome);
    void prompted(std::uint64_t request, std::optional<SecretString> answer);

    void watchCancellation(std::uint64_t request, const std::stop_token& token);
    void scheduleGraceSweep();
    void setExpiry(std::optional<Date> expiry);
    void closeWindow();
    void publish();

    template <typename Result>
    Completion<Result> completion(typename Completion<Result>::Handler handler, Result fallback)
    {
        return Completion<Result>(m_mailbox, weak_from_this(), std::move(handler), std::move(fallback));
    }

    SerialExecutor& m_executor;
    Dependencies m_deps;
    std::shared_ptr<Mailbox> m_mailbox;

    std::optional<Date> m_expiry;
    std::optional<double> m_grantedDuration;
    ApprovalGate m_gate;
    std::shared_ptr<Presentation> m_inFlight;
    int m_lastPresentationID = 0;
    int m_waitingCount = 0;
    bool m_closed = false;

    std::uint64_t m_nextRequest = 1;
    std::map<int, std::shared_ptr<Presentation>> m_presentations; // every presentation not yet ended
    std::map<std::uint64_t, int> m_waitingOn; // request -> presentation, until it withdraws or ends
    std::map<std::uint64_t, PendingPrompt> m_prompts;
    std::map<std::uint64_t, std::unique_ptr<std::stop_callback<OnCancel>>> m_cancelHooks;

    mutable std::mutex m_publishedLock;
    Snapshot m_published;
};

// ---------------------------------------------------------------------------------------------
// Construction and shutdown

UnlockCoordinator::Actor::Actor(SerialExecutor& executor, Dependencies dependencies)
    : m_executor(executor)
    , m_deps(std::move(dependencies))
    , m_mailbox(std::make_shared<Mailbox>())
{
    VANTORELLE_CHECK(m_deps.keys && m_deps.duration && m_deps.resolve && m_deps.verify && m_deps.callerName);
    m_mailbox->executor = &m_executor;
}

UnlockCoordinator::Actor::~Actor()
{
    std::lock_guard guard(m_mailbox->lock);
    m_mailbox->executor = nullptr;
}

void UnlockCoordinator::Actor::shutdown()
{
    if (m_closed) {
        return;
    }
    m_closed = true;
    // Withdraw every dialog, then give every waiting request its last word.
    std::map<int, std::shared_ptr<Presentation>> presentations = m_presentations;
    for (auto& [id, presentation] : presentations) {
        presentation->stop.request_stop();
        end(presentation, Outcome::denied(kAbandoned));
    }
    std::map<std::uint64_t, PendingPrompt> prompts = std::move(m_prompts);
    m_prompts.clear();
    for (auto& [id, pending] : prompts) {
        pending.stop.request_stop();
        pending.reply(denied(kAbandoned));
    }
    m_cancelHooks.clear();
    m_gate.clearGrace();
    publish();
}

// ---------------------------------------------------------------------------------------------
// Requests
//
// How each request is decided ("notify" = notifyBackground when the gate allows it):
//
//   request                   | no caller id        | remote   | background          | interactive
//   --------------------------+---------------------+----------+---------------------+-------------------------
//   passphrase, managed key   | "background",       | "remote" | "background",       | "snoozed" if snoozed;
//                             |   notify as "ssh"   |          |   notify            | else grace; else approval
//   passphrase, unmanaged key;| "background"        | "remote" | "background"        | showPrompt
//   prompt                    |                     |          |                     |
//   unlock                    | "background",       | "remote" | "background",       | approval
//                             |   notify as "ssh"   |          |   notify            |
//   status, lock              | answered for any caller
//
// An unlock without managed keys is "unavailable" before the requester is looked at.

void UnlockCoordinator::Actor::handle(Request request, ReplyOnce reply, std::stop_token cancelled)
{
    if (m_closed) {
        return reply(denied(kAbandoned));
    }
    std::visit(Overloaded{
                   [&](Request::Status&) { reply(Response::Status{status()}); },
                   [&](Request::Lock&) { reply(lockNow() ? Response(Response::Ok{}) : denied(kUnavailable)); },
                   [&](Request::Passphrase& r) { passphrase(std::move(r), std::move(reply), std::move(cancelled)); },
                   [&](Request::Prompt& r) {
                       prompt(std::move(r.text), r.secret, r.callerPID, std::move(reply), std::move(cancelled));
                   },
                   [&](Request::Unlock& r) { unlock(std::move(r), std::move(reply), std::move(cancelled)); },
               },
               request.value);
}

// A passphrase request is first sorted into managed or unmanaged key, then by requester.
void UnlockCoordinator::Actor::passphrase(Request::Passphrase request, ReplyOnce reply, std::stop_token cancelled)
{
    // "ssh-add id_x" in ~/.ssh asks for "id_x": relative to the caller, not to this process. When
    // the caller's directory cannot be read the path names no key we could vouch for.
    std::optional<std::string> target;
    if (std::filesystem::path(request.keyPath).is_absolute()) {
        target = Files::standardizedPath(request.keyPath).string();
    } else if (const auto directory
               = m_deps.callerDirectory ? m_deps.callerDirectory(request.callerPID) : std::nullopt) {
        target = Files::standardizedPath(*directory / request.keyPath).string();
    }
    const std::vector<SSHKey> keys = m_deps.keys();
    const bool managed = target
        && std::ranges::any_of(keys, [&](const SSHKey& key) { return Files::standardizedPath(key.path).string() == *target; });

    // Row "passphrase, unmanaged key": a free question with the request's own path.
    if (!managed) {
        std::string text
            = request.prompt.empty() ? "Enter passphrase for " + request.keyPath + ": " : std::move(request.prompt);
        return prompt(std::move(text), true, request.callerPID, std::move(reply), std::move(cancelled));
    }

    // Row "passphrase, managed key".
    const Requester requester = requesterFor(request.callerPID, std::nullopt);
    switch (requester.kind) {
    case Requester::Kind::remote:
        return reply(denied(kRemote));
    case Requester::Kind::background: // no caller id included, as ("ssh", background)
        notifyIfDue(requester);
        return reply(denied(kBackground));
    case Requester::Kind::interactive:
        break;
    }
    if (m_gate.isSnoozed(requester, now())) {
        return reply(denied(kSnoozed));
    }
    const bool forSSHAdd = request.callerPID >= 1 && m_deps.callerName(request.callerPID) == "ssh-add";
    if (std::optional<SecretString> secret = m_gate.graceSecret(*target, now())) {
        return reply(release(*secret, forSSHAdd));
    }
    approve(requester, DurationPolicy::clamp(m_deps.duration()), cancelled,
            [this, target = *target, forSSHAdd, reply = std::move(reply)](const Outcome& outcome) mutable {
                if (outcome.deniedReason) {
                    return reply(denied(*outcome.deniedReason));
                }
                const auto secret = outcome.released.find(target);
                if (secret == outcome.released.end()) {
                    return reply(denied(kUnavailable)); // the key could not be loaded
                }
                reply(release(secret->second, forSSHAdd));
            });
}

// Row "prompt" (and unmanaged keys): never snoozed, never from the grace, no notification.
void UnlockCoordinator::Actor::prompt(std::string text, bool secret, std::int32_t callerPID, ReplyOnce reply,
                                      std::stop_token cancelled)
{
    if (callerPID < 1) {
        return reply(denied(kBackground));
    }
    switch (m_deps.resolve(callerPID, std::nullopt).kind) {
    case Requester::Kind::remote:
        return reply(denied(kRemote));
    case Requester::Kind::background:
        return reply(denied(kBackground));
    case Requester::Kind::interactive:
        break;
    }
    const std::uint64_t request = m_nextRequest++;
    PendingPrompt& pending = m_prompts[request];
    pending.reply = std::move(reply);
    watchCancellation(request, cancelled);
    m_deps.presenter.showPrompt(
        text, secret, pending.stop.get_token(),
        completion<std::optional<SecretString>>(
            [request](Actor& self, std::optional<SecretString> answer) { self.prompted(request, std::move(answer)); },
            std::nullopt));
}

void UnlockCoordinator::Actor::prompted(std::uint64_t request, std::optional<SecretString> answer)
{
    const auto pending = m_prompts.find(request);
    if (pending == m_prompts.end()) {
        return; // answered at shutdown
    }
    ReplyOnce reply = std::move(pending->second.reply);
    m_prompts.erase(pending);
    m_cancelHooks.erase(request);
    reply(answer ? Response(Response::Answer{std::move(*answer)}) : denied(kCancelled));
}

// Row "unlock": unavailable without keys before anyone is looked at; never snoozed, no grace.
void UnlockCoordinator::Actor::unlock(Request::Unlock request, ReplyOnce reply, std::stop_token cancelled)
{
    if (m_deps.keys().empty()) {
        return reply(denied(kUnavailable));
    }
    const Requester requester = requesterFor(request.callerPID, request.reason);
    switch (requester.kind) {
    case Requester::Kind::remote:
        return reply(denied(kRemote));
    case Requester::Kind::background:
        notifyIfDue(requester);
        return reply(denied(kBackground));
    case Requester::Kind::interactive:
        break;
    }
    const double duration = DurationPolicy::clamp(request.duration ? *request.duration : m_deps.duration());
    approve(requester, duration, cancelled, [reply = std::move(reply)](const Outcome& outcome) mutable {
        reply(outcome.deniedReason ? denied(*outcome.deniedReason) : Response(Response::Ok{}));
    });
}

// Without a caller id there is nothing to look up: the request comes from an unknown "ssh".
Requester UnlockCoordinator::Actor::requesterFor(std::int32_t callerPID, const std::optional<std::string>& reason)
{
    if (callerPID < 1) {
        return {"ssh", Requester::Kind::background};
    }
    return m_deps.resolve(callerPID, reason);
}

void UnlockCoordinator::Actor::notifyIfDue(const Requester& requester)
{
    if (m_gate.shouldNotify(requester, now())) {
        m_deps.presenter.notifyBackground(requester);
    }
}

// ssh-add asked through the helper: the key is already in the agent, say for how long.
Response UnlockCoordinator::Actor::release(const SecretString& secret, bool forSSHAdd)
{
    if (forSSHAdd) {
        return Response::AddedToAgent{remainingLifetime()};
    }
    return Response::Secret{secret.copy()};
}

double UnlockCoordinator::Actor::remainingLifetime()
{
    const Date end = m_expiry ? *m_expiry : now();
    return std::max(0.0, secondsBetween(now(), end));
}

// ---------------------------------------------------------------------------------------------
// The shared approval: one dialog at a time; requests that come while it is open join it.

void UnlockCoordinator::Actor::approve(const Requester& requester, double duration, const std::stop_token& cancelled,
                                       std::move_only_function<void(const Outcome&)> resume)
{
    const bool starting = !m_inFlight;
    if (starting) {
        auto presentation = std::make_shared<Presentation>();
        presentation->id = ++m_lastPresentationID;
        presentation->requester = requester;
        presentation->duration = duration;
        m_presentations.emplace(presentation->id, presentation);
        m_inFlight = presentation;
    }
    const std::shared_ptr<Presentation> presentation = m_inFlight;
    const std::uint64_t request = m_nextRequest++;
    ++presentation->liveWaiters;
    ++m_waitingCount;
    presentation->waiters.push_back(Waiter{request, std::move(resume)});
    m_waitingOn.emplace(request, presentation->id);
    watchCancellation(request, cancelled);
    if (starting) {
        // A task of its own, queued behind the withdrawal of a request that is already gone, so
        // such a request never puts a dialog up.
        m_executor.post([self = shared_from_this(), presentation] { self->present(presentation); });
    }
    publish();
}

void UnlockCoordinator::Actor::cancelled(std::uint64_t request)
{
    if (const auto pending = m_prompts.find(request); pending != m_prompts.end()) {
        pending->second.stop.request_stop(); // the presenter closes the question and answers
        return;
    }
    if (const auto waiting = m_waitingOn.find(request); waiting != m_waitingOn.end()) {
        const int presentationID = waiting->second;
        m_waitingOn.erase(waiting);
        withdraw(presentationID);
    }
}

// The waiter still gets the presentation's outcome; the last one to leave takes the dialog down.
void UnlockCoordinator::Actor::withdraw(int presentationID)
{
    if (!m_inFlight || m_inFlight->id != presentationID) {
        return; // that presentation already ended or was withdrawn
    }
    if (--m_inFlight->liveWaiters < 1) {
        const std::shared_ptr<Presentation> presentation = std::move(m_inFlight);
        m_inFlight.reset();
        presentation->stop.request_stop();
    }
    publish();
}

void UnlockCoordinator::Actor::present(const std::shared_ptr<Presentation>& presentation)
{
    if (presentation->ended) {
        return;
    }
    presentation->keys = m_deps.keys();
    if (presentation->keys.empty()) {
        return end(presentation, Outcome::denied(kUnavailable));
    }
    if (presentation->stop.stop_requested()) {
        return end(presentation, Outcome::denied(kAbandoned));
    }
    presentation->mode = PresentMode::Biometric{};
    presentation->typedRound = false;
    show(presentation);
}

void UnlockCoordinator::Actor::show(const std::shared_ptr<Presentation>& presentation)
{
    m_deps.presenter.showUnlock(
        presentation->requester, presentation->keys, presentation->duration, presentation->mode,
        presentation->stop.get_token(),
        completion<PresentResult>(
            [presentation](Actor& self, PresentResult result) { self.presented(presentation, std::move(result)); },
            PresentResult::Abandoned{}));
}

void UnlockCoordinator::Actor::presented(const std::shared_ptr<Presentation>& presentation, PresentResult result)
{
    if (presentation->ended) {
        return; // ended at shutdown
    }
    const Date at = now();
    std::visit(Overloaded{
                   [&](PresentResult::Approved& approved) {
                       auto secrets = m_deps.store.passphrases(presentation->keys, approved.context);
                       if (!secrets) {
                           return storeFailed(presentation, secrets.error(), at);
                       }
                       finish(presentation, *secrets, at);
                   },
                   [&](PresentResult::Typed& typed) {
                       // Passphrases that do not open their key are dropped without a word.
                       std::map<std::string, SecretString> secrets;
                       for (const SSHKey& key : presentation->keys) {
                           const auto entry = typed.passphrases.find(key.path.string());
                           if (entry == typed.passphrases.end() || !m_deps.verify(entry->second, key.path.string())) {
                               continue;
                           }
                           if (presentation->typedRound) {
                               (void)m_deps.store.save(entry->second, key); // a failed save costs only a dialog
                           }
                           secrets.insert_or_assign(key.path.string(), std::move(entry->second));
                       }
                       finish(presentation, secrets, at);
                   },
                   [&](PresentResult::Cancelled&) {
                       m_gate.snooze(presentation->requester, at);
                       end(presentation, Outcome::denied(kCancelled));
                   },
                   [&](PresentResult::Abandoned&) { end(presentation, Outcome::denied(kAbandoned)); },
               },
               result.value);
}

// After an approval the store could not hand the passphrases over.
void UnlockCoordinator::Actor::storeFailed(const std::shared_ptr<Presentation>& presentation,
                                           const PassphraseStoreError& error, Date at)
{
    switch (error.kind) {
    case PassphraseStoreError::Kind::cancelled:
        m_gate.snooze(presentation->requester, at);
        return end(presentation, Outcome::denied(kCancelled));
    case PassphraseStoreError::Kind::notFound:
    case PassphraseStoreError::Kind::invalidated:
        // One more dialog, now asking the user to type; at most once per presentation.
        if (presentation->typedRound) {
            return end(presentation, Outcome::denied(kUnavailable));
        }
        if (presentation->stop.stop_requested()) {
            return end(presentation, Outcome::denied(kAbandoned));
        }
        presentation->typedRound = true;
        presentation->mode = PresentMode::TypePassphrase{
            error.kind == PassphraseStoreError::Kind::invalidated ? "invalidated" : "missing"};
        return show(presentation);
    case PassphraseStoreError::Kind::other:
        return end(presentation, Outcome::denied(kUnavailable));
    }
    end(presentation, Outcome::denied(kUnavailable));
}

// Loads the keys into the agent (synchronously, holding other requests up) and opens the window.
void UnlockCoordinator::Actor::finish(const std::shared_ptr<Presentation>& presentation,
                                      const std::map<std::string, SecretString>& secrets, Date at)
{
    std::map<std::string, SecretString> released;
    for (const SSHKey& key : presentation->keys) {
        const auto secret = secrets.find(key.path.string());
        if (secret == secrets.end()) {
            continue;
        }
        if (m_deps.agent.add(key.path.string(), secret->second, presentation->duration)) {
            released.insert_or_assign(Files::standardizedPath(key.path).string(), secret->second.copy());
        }
    }
    if (released.empty()) {
        return end(presentation, Outcome::denied(kUnavailable));
    }
    // A new approval while a window is open restarts it from now.
    setExpiry(plusSeconds(at, presentation->duration));
    m_grantedDuration = presentation->duration;
    if (m_deps.windowStore) {
        m_deps.windowStore->save(UnlockWindow{*m_expiry, presentation->duration});
    }
    // The grace keeps its own copies: the outcome's go with the waiters' answers.
    std::map<std::string, SecretString> grace;
    for (const auto& [path, secret] : released) {
        grace.emplace(path, secret.copy());
    }
    m_gate.grant(std::move(grace), now());
    scheduleGraceSweep();
    end(presentation, Outcome::approved(std::move(released)));
}

// Every exit of a presentation comes here, once.
void UnlockCoordinator::Actor::end(const std::shared_ptr<Presentation>& presentation, const Outcome& outcome)
{
    if (presentation->ended) {
        return;
    }
    presentation->ended = true;
    // A late end of a withdrawn presentation must not clear a newer one.
    if (m_inFlight == presentation) {
        m_inFlight.reset();
    }
    m_presentations.erase(presentation->id);
    std::vector<Waiter> waiters = std::move(presentation->waiters);
    presentation->waiters.clear();
    for (const Waiter& waiter : waiters) {
        m_cancelHooks.erase(waiter.request);
        m_waitingOn.erase(waiter.request);
        --m_waitingCount;
    }
    publish();
    for (Waiter& waiter : waiters) {
        waiter.resume(outcome);
    }
}

void UnlockCoordinator::Actor::watchCancellation(std::uint64_t request, const std::stop_token& token)
{
    if (!token.stop_possible()) {
        return;
    }
    // Runs at once (posting) when the token is already stopped.
    m_cancelHooks.emplace(
        request, std::make_unique<std::stop_callback<OnCancel>>(token, OnCancel{m_mailbox, weak_from_this(), request}));
}

// The grace is swept 6 s after an approval, so released passphrases do not stay in memory waiting
// for a lookup that may never come. The sweep does not keep the coordinator alive.
void UnlockCoordinator::Actor::scheduleGraceSweep()
{
    m_executor.postAfter(std::chrono::duration<double>(ApprovalGate::kSweepDelaySeconds), [actor = weak_from_this()] {
        if (auto self = actor.lock()) {
            self->m_gate.expireGrace(self->now());
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Window and status

StatusReport UnlockCoordinator::Actor::status()
{
    const auto loaded = m_deps.agent.loadedFingerprints();
    std::vector<SSHKey> shown;
    if (loaded) {
        for (SSHKey& key : m_deps.keys()) {
            if (loaded->contains(key.fingerprint)) {
                shown.push_back(std::move(key));
            }
        }
    }
    if (shown.empty()) {
        // Only an agent that answered proves the keys are gone; an unreachable one leaves the window.
        if (loaded && m_expiry) {
            closeWindow();
        }
        return StatusReport{StatusState::locked, std::nullopt, {}};
    }

    StatusReport report{StatusState::unlocked, std::nullopt, {}};
    if (m_expiry) {
        const double remaining = secondsBetween(now(), *m_expiry);
        if (remaining <= 0) {
            closeWindow(); // the keys stay, without a window of ours
        } else {
            report.remainingSeconds = static_cast<std::int64_t>(
                std::min(std::floor(remaining), static_cast<double>(std::numeric_limits<std::int32_t>::max())));
        }
    }
    for (const SSHKey& key : shown) {
        report.keys.push_back(key.comment.empty() ? key.path.filename().string() : key.comment);
    }
    return report;
}

bool UnlockCoordinator::Actor::lockNow()
{
    m_gate.clearGrace();
    const std::vector<SSHKey> keys = m_deps.keys();
    for (const SSHKey& key : keys) {
        (void)m_deps.agent.remove(key.path.string()); // the check below decides
    }
    const auto loaded = m_deps.agent.loadedFingerprints();
    if (!loaded) {
        return false;
    }
    if (std::ranges::any_of(keys, [&](const SSHKey& key) { return loaded->contains(key.fingerprint); })) {
        return false; // a key is still in the agent: the window stays
    }
    closeWindow();
    return true;
}

void UnlockCoordinator::Actor::restoreWindow()
{
    if (!m_deps.windowStore) {
        return;
    }
    const std::optional<UnlockWindow> saved = m_deps.windowStore->load();
    if (!saved) {
        return;
    }
    const Date at = now();
    const std::set<std::string> loaded = m_deps.agent.loadedFingerprints().value_or(std::set<std::string>{});
    const std::vector<SSHKey> keys = m_deps.keys();
    const bool anyLoaded
        = std::ranges::any_of(keys, [&](const SSHKey& key) { return loaded.contains(key.fingerprint); });
    const double remaining = secondsBetween(at, saved->expiry);
    if (anyLoaded && remaining > 0 && remaining <= kLongestRestorableSeconds && saved->duration > 0) {
        setExpiry(saved->expiry);
        m_grantedDuration = saved->duration;
    } else {
        m_deps.windowStore->clear();
    }
}

std::optional<UnlockWindow> UnlockCoordinator::Actor::window()
{
    const StatusReport report = status();
    if (!report.remainingSeconds || !m_expiry || !m_grantedDuration) {
        return std::nullopt;
    }
    return UnlockWindow{*m_expiry, *m_grantedDuration};
}

void UnlockCoordinator::Actor::closeWindow()
{
    setExpiry(std::nullopt);
    m_grantedDuration.reset();
    if (m_deps.windowStore) {
        m_deps.windowStore->clear();
    }
}

void UnlockCoordinator::Actor::setExpiry(std::optional<Date> expiry)
{
    m_expiry = expiry;
    publish();
}

void UnlockCoordinator::Actor::publish()
{
    std::lock_guard guard(m_publishedLock);
    m_published.expiry = m_expiry;
    m_published.waitingCount = m_waitingCount;
    m_published.inFlight = m_inFlight ? std::optional<int>(m_inFlight->id) : std::nullopt;
    m_published.lastPresentationID = m_lastPresentationID;
}

// ---------------------------------------------------------------------------------------------
// Public face: every call hops onto the executor.

UnlockCoordinator::UnlockCoordinator(SerialExecutor& executor, Dependencies dependencies)
    : m_actor(std::make_shared<Actor>(executor, std::move(dependencies)))
{
}

UnlockCoordinator::~UnlockCoordinator()
{
    // Queued behind the work already posted; the task keeps the actor alive until it ran.
    m_actor->post([actor = m_actor] { actor->shutdown(); });
}

void UnlockCoordinator::handle(Request request, std::int32_t /*peerPID*/, Reply reply, std::stop_token cancelled)
{
    m_actor->post([actor = m_actor, request = std::move(request), reply = ReplyOnce(std::move(reply)),
                   cancelled = std::move(cancelled)]() mutable {
        actor->handle(std::move(request), std::move(reply), std::move(cancelled));
    });
}

void UnlockCoordinator::status(std::move_only_function<void(StatusReport)> done)
{
    m_actor->post([actor = m_actor, done = std::move(done)]() mutable {
        StatusReport report = actor->status();
        if (done) {
            done(std::move(report));
        }
    });
}

void UnlockCoordinator::lockNow(std::move_only_function<void(bool)> done)
{
    m_actor->post([actor = m_actor, done = std::move(done)]() mutable {
        const bool locked = actor->lockNow();
        if (done) {
            done(locked);
        }
    });
}

void UnlockCoordinator::restoreWindow(std::move_only_function<void()> done)
{
    m_actor->post([actor = m_actor, done = std::move(done)]() mutable {
        actor->restoreWindow();
        if (done) {
            done();
        }
    });
}

void UnlockCoordinator::window(std::move_only_function<void(std::optional<UnlockWindow>)> done)
{
    m_actor->post([actor = m_actor, done = std::move(done)]() mutable {
        std::optional<UnlockWindow> window = actor->window();
        if (done) {
            done(window);
        }
    });
}

std::optional<Date> UnlockCoordinator::expiry() const
{
    return m_actor->snapshot().expiry;
}

int UnlockCoordinator::waitingCount() const
{
    return m_actor->snapshot().waitingCount;
}

std::optional<int> UnlockCoordinator::inFlightPresentation() const
{
    return m_actor->snapshot().inFlight;
}

int UnlockCoordinator::lastPresentationID() const
{
    return m_actor->snapshot().lastPresentationID;
}

} // namespace vantorelle
