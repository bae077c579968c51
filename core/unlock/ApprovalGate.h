// ApprovalGate: the unlock engine's short memory of snoozes, background notifications and the
// grace after an approval. Reads no clock of its own: every moment comes from the caller.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "sys/Clock.h"
#include "sys/SecretString.h"
#include "unlock/Requester.h"

namespace vantorelle {

// A plain value owned by the coordinator and touched only on its executor.
class ApprovalGate
{
public:
    static constexpr double kSnoozeSeconds = 600; // after the user cancelled
    static constexpr double kNotifySpacingSeconds = 600; // between background notifications
    static constexpr double kGraceSeconds = 5; // passphrases handed out again without a dialog
    static constexpr double kSweepDelaySeconds = 6; // when the coordinator sweeps an expired grace

    // Snoozed until a stored moment; an entry that ran out is removed by the check.
    bool isSnoozed(const Requester& requester, Date now);
    // True (and remembered) unless this requester was notified less than 600 s ago. A stored
    // moment in the future (clock set back) does not hold a notification up.
    bool shouldNotify(const Requester& requester, Date now);
    // The passphrase released for this standardized key path by the last approval, while the
    // grace lasts (0 to 5 s inclusive after it). A lookup outside that span ends the grace.
    std::optional<SecretString> graceSecret(const std::string& keyPath, Date now);

    void snooze(const Requester& requester, Date now);
    // Replaces the running grace wholesale.
    void grant(std::map<std::string, SecretString> secrets, Date now);
    // Ends the grace; the passphrases are wiped.
    void clearGrace();
    // The sweep: ends the grace if it ran out (or the clock went back before it began).
    void expireGrace(Date now);

    const std::map<Requester, Date>& snoozedUntil() const { return m_snoozedUntil; }
    const std::map<Requester, Date>& lastNotified() const { return m_lastNotified; }
    std::optional<Date> approvedAt() const { return m_approvedAt; }
    size_t graceSecretCount() const { return m_graceSecrets.size(); }

private:
    bool graceIsOver(Date now) const;

    std::map<Requester, Date> m_snoozedUntil;
    std::map<Requester, Date> m_lastNotified;
    std::optional<Date> m_approvedAt;
    std::map<std::string, SecretString> m_graceSecrets; // standardized key path -> passphrase
};

} // namespace vantorelle
