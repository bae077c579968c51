// Environment: a snapshot of environment variables, passed into logic so tests can fake it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorelle {

class Environment
{
public:
    Environment() = default;
    // A copy of this process's environment at the time of the call.
    static Environment current();

    std::optional<std::string> get(std::string_view name) const;
    // A set, non-empty value or nothing.
    std::optional<std::string> nonEmpty(std::string_view name) const;
    void set(std::string name, std::string value);
    void unset(std::string_view name);

    // "NAME=value" strings in name order, for execve-style calls.
    std::vector<std::string> entries() const;
    const std::map<std::string, std::string, std::less<>>& variables() const { return m_vars; }

private:
    std::map<std::string, std::string, std::less<>> m_vars;
};

// The login shell the password database names for this process's user; nothing when it names
// none. Safe on any thread.
std::optional<std::string> accountShell();

} // namespace vantorelle
