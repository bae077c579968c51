// Environment: a snapshot of environment variables, passed into logic so tests can fake it.
#include "sys/Environment.h"

#include <pwd.h>
#include <unistd.h>

namespace vantorelle {

Environment Environment::current()
{
    Environment env;
    for (char** entry = ::environ; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        const auto eq = text.find('=');
        if (eq == std::string_view::npos || eq == 0) {
            continue;
        }
        env.m_vars.emplace(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
    }
    return env;
}

std::optional<std::string> Environment::get(std::string_view name) const
{
    const auto it = m_vars.find(name);
    if (it == m_vars.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<std::string> Environment::nonEmpty(std::string_view name) const
{
    auto value = get(name);
    if (value && value->empty()) {
        return std::nullopt;
    }
    return value;
}

void Environment::set(std::string name, std::string value)
{
    m_vars.insert_or_assign(std::move(name), std::move(value));
}

void Environment::unset(std::string_view name)
{
    const auto it = m_vars.find(name);
    if (it != m_vars.end()) {
        m_vars.erase(it);
    }
}

std::vector<std::string> Environment::entries() const
{
    std::vector<std::string> out;
    out.reserve(m_vars.size());
    for (const auto& [name, value] : m_vars) {
        out.push_back(name + "=" + value);
    }
    return out;
}

std::optional<std::string> accountShell()
{
    passwd entry = {};
    passwd* result = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &result) != 0 || !result || !result->pw_shell
        || *result->pw_shell == '\0') {
        return std::nullopt;
    }
    return std::string(result->pw_shell);
}

} // namespace vantorelle
