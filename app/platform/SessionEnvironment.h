// SessionEnvironment: the variables that programs started later by the user's session inherit.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "sys/Environment.h"

namespace vantorelle {

class SessionEnvironment
{
public:
    virtual ~SessionEnvironment() = default;

    // Whether there is a session manager to ask (the user's systemd).
    virtual bool available() = 0;
    // The variable's value in the session, or nothing (unset, or no session manager).
    virtual std::optional<std::string> get(const std::string& name) = 0;
    // true when the session manager took the change; without one nothing changes.
    virtual bool set(const std::string& name, const std::string& value) = 0;
    virtual bool unset(const std::string& name) = 0;
};

// The programs SystemdSessionEnvironment runs (tests point them elsewhere).
struct SessionEnvironmentTools
{
    std::string systemctl = "/usr/bin/systemctl";
    std::string dbusUpdate = "/usr/bin/dbus-update-activation-environment";
};

// The user's systemd manager through `systemctl --user`, plus the session bus's activation
// environment (dbus-update-activation-environment) on set. Each tool runs with a deadline, never
// through a shell, with a small environment of its own. Blocks its thread for at most the deadline
// per tool: keep it off the GUI thread or accept that bound.
class SystemdSessionEnvironment final : public SessionEnvironment
{
public:
    using Tools = SessionEnvironmentTools;

    explicit SystemdSessionEnvironment(const Environment& env = Environment::current(), Tools tools = {},
                                       std::chrono::milliseconds deadline = std::chrono::seconds(5));

    bool available() override;
    std::optional<std::string> get(const std::string& name) override;
    bool set(const std::string& name, const std::string& value) override;
    bool unset(const std::string& name) override;

    // The value of `name` in `systemctl show-environment` output ("NAME=value" lines; values that
    // systemctl quoted as $'...' are unquoted).
    static std::optional<std::string> valueIn(std::string_view output, std::string_view name);

private:
    std::optional<std::string> run(const std::string& program, const std::vector<std::string>& args);

    Environment m_childEnv;
    Tools m_tools;
    std::chrono::milliseconds m_deadline;
};

} // namespace vantorelle
