// UnlockPresenter: the unlock engine's way to the dialogs, with what it asks and what comes back.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "ssh/PassphraseStore.h"
#include "ssh/SSHKey.h"
#include "sys/SecretString.h"
#include "unlock/Requester.h"

namespace vantorelle {

// How the unlock dialog asks. Every presentation starts with Biometric.
struct PresentMode
{
    struct Biometric
    {
        bool operator==(const Biometric&) const = default;
    };
    // Ask the user to type the passphrases; `reason` says why: "missing" or "invalidated".
    struct TypePassphrase
    {
        std::string reason;
        bool operator==(const TypePassphrase&) const = default;
    };
    using Value = std::variant<Biometric, TypePassphrase>;
    Value value;

    template <typename T>
    requires std::is_constructible_v<Value, T&&> PresentMode(T&& v)
        : value(std::forward<T>(v))
    {
    }
    bool operator==(const PresentMode&) const = default;
};

// What the unlock dialog returns.
struct PresentResult
{
    // The user approved; `context` (possibly empty) goes unchanged to PassphraseStore::passphrases.
    struct Approved
    {
        std::shared_ptr<AuthenticationContext> context;
    };
    // The user typed passphrases, keyed by SSHKey::path exactly as given to the dialog.
    struct Typed
    {
        std::map<std::string, SecretString> passphrases;
    };
    // The user dismissed the dialog.
    struct Cancelled
    {
    };
    // The dialog went away without a decision (for instance it was withdrawn).
    struct Abandoned
    {
    };
    using Value = std::variant<Approved, Typed, Cancelled, Abandoned>;
    Value value;

    template <typename T>
    requires std::is_constructible_v<Value, T&&> PresentResult(T&& v)
        : value(std::forward<T>(v))
    {
    }
};

// Implemented by the app's dialog presenter. Every call comes from the coordinator's executor and
// must return at once; the answers come later through the completions, from any thread.
class UnlockPresenter
{
public:
    // Call exactly once. A completion destroyed without being called counts as Abandoned (or, for
    // a prompt, as cancelled), so a lost dialog never leaves a request waiting.
    using UnlockCompletion = std::move_only_function<void(PresentResult)>;
    using PromptCompletion = std::move_only_function<void(std::optional<SecretString>)>;

    virtual ~UnlockPresenter() = default;

    // Show the unlock dialog for these keys and this window length. When `cancelled` is stopped
    // (every waiting request went away, or the coordinator shuts down) close the dialog and
    // complete with Abandoned. Stop callbacks run on the coordinator's thread: keep them short.
    virtual void showUnlock(const Requester& requester, const std::vector<SSHKey>& keys, double duration,
                            const PresentMode& mode, std::stop_token cancelled, UnlockCompletion done)
        = 0;

    // Tell the user that a background request was refused. Returns at once.
    virtual void notifyBackground(const Requester& requester) = 0;

    // Show a free askpass question; the answer, or nothing when cancelled. `secret` asks for a
    // hidden entry field. `cancelled` stops when the asking client went away.
    virtual void showPrompt(const std::string& text, bool secret, std::stop_token cancelled, PromptCompletion done) = 0;
};

} // namespace vantorelle
