// UnlockCoordinator: decides for every request whether the user must approve, shows one shared
// dialog, loads the managed keys into ssh-agent for the unlock window and answers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "ipc/Messages.h"
#include "ssh/AgentControlling.h"
#include "ssh/PassphraseStore.h"
#include "ssh/SSHKey.h"
#include "sys/Clock.h"
#include "sys/SecretString.h"
#include "unlock/Requester.h"
#include "unlock/SerialExecutor.h"
#include "unlock/UnlockPresenter.h"
#include "window/UnlockWindow.h"
#include "window/UnlockWindowStore.h"

namespace vantorelle {

// An actor: all of its state lives on one SerialExecutor, and every public call below only posts
// work there, so the calls are safe from any thread and return at once. Results come back through
// completions, which run on the executor (hop to the UI thread yourself). While a dialog is open
// the executor keeps serving: further requests are decided, and those needing approval join the
// open dialog. The agent work (ssh-add) and passphrase checks run on the executor and hold the
// other requests up until they return.
//
// Lifetime: the executor, and every dependency below, must outlive the coordinator. Destroying the
// coordinator withdraws the open dialog and answers every waiting request "abandoned" (on the
// executor, after the work already posted); late answers from the presenter are then ignored.
class UnlockCoordinator
{
public:
    // Injected at construction and never changed. Every function is called on the executor.
    struct Dependencies
    {
        std::function<std::vector<SSHKey>()> keys; // the managed keys, asked afresh at each use
        std::function<double()> duration; // the configured window length, seconds
        PassphraseStore& store;
        AgentControlling& agent;
        UnlockPresenter& presenter;
        // RequesterResolver::resolve bound to the live process table.
        std::function<Requester(std::int32_t pid, const std::optional<std::string>& reason)> resolve;
        const Clock& clock; // every reading of "now" goes through it
        // Whether a typed passphrase opens the private key at `keyPath`.
        std::function<bool(const SecretString& passphrase, const std::string& keyPath)> verify;
        // The executable name of a process, if it still exists.
        std::function<std::optional<std::string>(std::int32_t pid)> callerName;
        // The working directory of a process (workingDirectoryOf), if it can be read. A relative key
        // path is the caller's: without this it matches no managed key.
        std::function<std::optional<std::filesystem::path>(std::int32_t pid)> callerDirectory;
        UnlockWindowStore* windowStore = nullptr; // no persistence when null
    };

    // Called exactly once per request, on the executor. SocketServer::Reply converts to it.
    using Reply = std::move_only_function<void(Response)>;

    UnlockCoordinator(SerialExecutor& executor, Dependencies dependencies);
    ~UnlockCoordinator();
    UnlockCoordinator(const UnlockCoordinator&) = delete;
    UnlockCoordinator& operator=(const UnlockCoordinator&) = delete;

    // The single entry for socket requests; plugs into SocketServer's handler as it stands.
    // `peerPID` is the connected process (the helper); decisions use the request's own callerPID.
    // When `cancelled` stops (the client hung up) the request withdraws from the dialog it waits
    // for; it is still answered once the dialog ends.
    void handle(Request request, std::int32_t peerPID, Reply reply, std::stop_token cancelled = {});

    // The unlock state; asks the agent once. Closes a window that ran out.
    void status(std::move_only_function<void(StatusReport)> done);
    // Removes the managed keys from the agent; true only when the agent confirms none is left.
    void lockNow(std::move_only_function<void(bool)> done);
    // Takes up a window saved by an earlier run when it is still plausible; called once at start.
    void restoreWindow(std::move_only_function<void()> done = nullptr);
    // The open window for the menu (through status(), with its side effects), or nothing.
    void window(std::move_only_function<void(std::optional<UnlockWindow>)> done);

    // Snapshots readable from any thread, current as of the last finished step of the actor.
    std::optional<Date> expiry() const;
    int waitingCount() const;
    std::optional<int> inFlightPresentation() const; // id of the dialog shown for waiting requests
    int lastPresentationID() const;

private:
    class Actor;
    std::shared_ptr<Actor> m_actor;
};

} // namespace vantorelle
