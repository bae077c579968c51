// MemoryUnlockWindowStore: an UnlockWindowStore kept in memory, counting what was done to it.
#pragma once

#include <optional>

#include "window/UnlockWindowStore.h"

namespace vantorelle {

class MemoryUnlockWindowStore final : public UnlockWindowStore
{
public:
    std::optional<UnlockWindow> load() const override { return saved; }
    void save(const UnlockWindow& window) override
    {
        saved = window;
        ++saveCount;
    }
    void clear() override
    {
        saved.reset();
        ++clearCount;
    }

    std::optional<UnlockWindow> saved;
    int saveCount = 0;
    int clearCount = 0;
};

} // namespace vantorelle
