// UnlockWindowStore: where the open unlock window is remembered across restarts of the app.
#pragma once

#include <optional>

#include "window/UnlockWindow.h"

namespace vantorelle {

class UnlockWindowStore
{
public:
    virtual ~UnlockWindowStore() = default;

    // The last saved window, or nothing. An expired window is returned as it is: deciding
    // whether it is still open is the caller's business.
    virtual std::optional<UnlockWindow> load() const = 0;
    virtual void save(const UnlockWindow& window) = 0;
    virtual void clear() = 0;
};

} // namespace vantorelle
