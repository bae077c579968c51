// UserDefaultsUnlockWindowStore: the unlock window kept in the shared defaults.
#pragma once

#include "defaults/Defaults.h"
#include "window/UnlockWindowStore.h"

namespace vantorelle {

// Keeps the expiry as a date under "unlockExpiry" and the granted length in seconds as a number
// under "unlockWindowDuration". An expiry of another kind, or a missing or non-positive length,
// loads as nothing; load() never cleans up. The defaults object must outlive the store.
class UserDefaultsUnlockWindowStore final : public UnlockWindowStore
{
public:
    static constexpr const char* kExpiryKey = "unlockExpiry";
    static constexpr const char* kDurationKey = "unlockWindowDuration";

    explicit UserDefaultsUnlockWindowStore(Defaults& defaults)
        : m_defaults(defaults)
    {
    }

    std::optional<UnlockWindow> load() const override;
    void save(const UnlockWindow& window) override;
    void clear() override;

private:
    Defaults& m_defaults;
};

} // namespace vantorelle
