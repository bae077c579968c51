// MemoryDefaults: Defaults kept in memory, for tests and for callers that must not touch disk.
#pragma once

#include <map>
#include <mutex>

#include "defaults/Defaults.h"

namespace vantorelle {

class MemoryDefaults final : public Defaults
{
public:
    std::optional<DefaultsValue> object(std::string_view key) const override;
    void set(std::string_view key, DefaultsValue value) override;
    void remove(std::string_view key) override;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, DefaultsValue, std::less<>> m_values;
};

} // namespace vantorelle
