// MemoryDefaults: Defaults kept in memory, for tests and for callers that must not touch disk.
#include "defaults/MemoryDefaults.h"

namespace vantorelle {

std::optional<DefaultsValue> MemoryDefaults::object(std::string_view key) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_values.find(key);
    if (it == m_values.end()) {
        return std::nullopt;
    }
    return it->second;
}

void MemoryDefaults::set(std::string_view key, DefaultsValue value)
{
    std::lock_guard lock(m_mutex);
    m_values.insert_or_assign(std::string(key), std::move(value));
}

void MemoryDefaults::remove(std::string_view key)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_values.find(key);
    if (it != m_values.end()) {
        m_values.erase(it);
    }
}

} // namespace vantorelle
