// BiometricContext: one fingerprint approval for one unlock dialog, handed on to the passphrase store.
#pragma once

#include <expected>
#include <functional>
#include <string>

#include "ssh/PassphraseStore.h"

namespace vantorelle {

// GUI thread only. A context evaluates at most once; a dialog that wants another try makes a new
// one. Whatever it holds (a claimed reader) is released when the evaluation ends, when it is
// invalidated and when it is destroyed.
class BiometricContext : public AuthenticationContext
{
public:
    // The failure codes the dialog tells apart. A reader's own outcomes are mapped onto them by
    // the implementation; what it cannot map keeps its own domain and counts as none of these.
    enum Code : int {
        authenticationFailed = -1,
        userCancel = -2,
        systemCancel = -4,
        biometryNotAvailable = -6,
        biometryNotEnrolled = -7,
        biometryLockout = -8,
        appCancel = -9,
    };

    struct Error
    {
        int code = 0;
        std::string description;
        // Empty for the codes above; otherwise where the failure came from (a D-Bus error name).
        std::string domain;

        // The dialog's reaction is decided on this: a foreign failure is code 0.
        int dialogCode() const { return domain.empty() ? code : 0; }
        // "LAError -1 Fingerprint not recognised", or "<domain> <code> <description>".
        std::string text() const
        {
            return (domain.empty() ? std::string("LAError") : domain) + " " + std::to_string(code) + " " + description;
        }
    };

    // true = the owner's finger was recognised; false = the evaluation ended without a decision.
    using Reply = std::move_only_function<void(std::expected<bool, Error>)>;

    // Starts the evaluation; `reply` is called exactly once, later, on the GUI thread (an
    // invalidation ends it with appCancel).
    virtual void evaluate(const std::string& reason, Reply reply) = 0;
    virtual void invalidate() = 0;
};

} // namespace vantorelle
