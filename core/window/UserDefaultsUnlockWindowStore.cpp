// UserDefaultsUnlockWindowStore: the unlock window kept in the shared defaults.
#include "window/UserDefaultsUnlockWindowStore.h"

namespace vantorelle {

std::optional<UnlockWindow> UserDefaultsUnlockWindowStore::load() const
{
    const auto expiry = m_defaults.date(kExpiryKey);
    if (!expiry) {
        return std::nullopt;
    }
    const double duration = m_defaults.number(kDurationKey).value_or(0);
    if (!(duration > 0)) {
        return std::nullopt;
    }
    return UnlockWindow{*expiry, duration};
}

void UserDefaultsUnlockWindowStore::save(const UnlockWindow& window)
{
    // Each entry is written on its own; the length goes first so that a save cut short after a
    // clear() still loads as nothing rather than as an old length with a new expiry.
    m_defaults.set(kDurationKey, window.duration);
    m_defaults.set(kExpiryKey, window.expiry);
}

void UserDefaultsUnlockWindowStore::clear()
{
    // Without the expiry nothing loads, so it goes first.
    m_defaults.remove(kExpiryKey);
    m_defaults.remove(kDurationKey);
}

} // namespace vantorelle
