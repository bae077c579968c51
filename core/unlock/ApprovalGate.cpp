// ApprovalGate: the unlock engine's short memory of snoozes, background notifications and the
// grace after an approval.
#include "unlock/ApprovalGate.h"

#include <chrono>

namespace vantorelle {

namespace {

double secondsBetween(Date from, Date to)
{
    return std::chrono::duration<double>(to - from).count();
}

Date plusSeconds(Date date, double seconds)
{
    return date + std::chrono::duration<double>(seconds);
}

} // namespace

bool ApprovalGate::isSnoozed(const Requester& requester, Date now)
{
    const auto entry = m_snoozedUntil.find(requester);
    if (entry == m_snoozedUntil.end()) {
        return false;
    }
    if (now < entry->second) {
        return true;
    }
    m_snoozedUntil.erase(entry);
    return false;
}

bool ApprovalGate::shouldNotify(const Requester& requester, Date now)
{
    if (const auto entry = m_lastNotified.find(requester); entry != m_lastNotified.end()) {
        const double since = secondsBetween(entry->second, now);
        if (since >= 0 && since < kNotifySpacingSeconds) {
            return false;
        }
    }
    m_lastNotified[requester] = now;
    return true;
}

std::optional<SecretString> ApprovalGate::graceSecret(const std::string& keyPath, Date now)
{
    if (graceIsOver(now)) {
        clearGrace();
    }
    const auto entry = m_graceSecrets.find(keyPath);
    if (entry == m_graceSecrets.end()) {
        return std::nullopt;
    }
    return entry->second.copy();
}

void ApprovalGate::snooze(const Requester& requester, Date now)
{
    m_snoozedUntil[requester] = plusSeconds(now, kSnoozeSeconds);
}

void ApprovalGate::grant(std::map<std::string, SecretString> secrets, Date now)
{
    m_approvedAt = now;
    m_graceSecrets = std::move(secrets);
}

void ApprovalGate::clearGrace()
{
    m_approvedAt.reset();
    // Each SecretString wipes its buffer as the map lets it go.
    m_graceSecrets.clear();
}

void ApprovalGate::expireGrace(Date now)
{
    if (graceIsOver(now)) {
        clearGrace();
    }
}

bool ApprovalGate::graceIsOver(Date now) const
{
    if (!m_approvedAt) {
        return false;
    }
    const double elapsed = secondsBetween(*m_approvedAt, now);
    return elapsed < 0 || elapsed > kGraceSeconds;
}

} // namespace vantorelle
