// SessionEnvironment: systemctl --user's environment verbs, bounded by a deadline.
#include "platform/SessionEnvironment.h"

#include "sys/ChildProcess.h"

namespace vantorelle {

SystemdSessionEnvironment::SystemdSessionEnvironment(const Environment& env, Tools tools,
                                                     std::chrono::milliseconds deadline)
    : m_tools(std::move(tools))
    , m_deadline(deadline)
{
    m_childEnv.set("PATH", "/usr/bin:/bin");
    m_childEnv.set("LANG", "C");
    // What systemctl and the bus tools need to find the user's manager and the session bus.
    for (const char* name : {"HOME", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"}) {
        if (auto value = env.nonEmpty(name)) {
            m_childEnv.set(name, *value);
        }
    }
}

std::optional<std::string> SystemdSessionEnvironment::run(const std::string& program,
                                                          const std::vector<std::string>& args)
{
    auto result = ChildProcess::run(program, args, m_childEnv, ChildProcess::StandardError::discard,
                                    std::chrono::steady_clock::now() + m_deadline);
    if (!result || result->status != 0) {
        return std::nullopt;
    }
    return std::move(result->output);
}

bool SystemdSessionEnvironment::available()
{
    return run(m_tools.systemctl, {"--user", "show-environment"}).has_value();
}

std::optional<std::string> SystemdSessionEnvironment::get(const std::string& name)
{
    auto output = run(m_tools.systemctl, {"--user", "show-environment"});
    return output ? valueIn(*output, name) : std::nullopt;
}

bool SystemdSessionEnvironment::set(const std::string& name, const std::string& value)
{
    if (!run(m_tools.systemctl, {"--user", "set-environment", name + "=" + value})) {
        return false;
    }
    // Programs the session bus starts take their environment from the bus, not from systemd,
    // when the bus is not systemd's own.
    run(m_tools.dbusUpdate, {name + "=" + value});
    return true;
}

bool SystemdSessionEnvironment::unset(const std::string& name)
{
    return run(m_tools.systemctl, {"--user", "unset-environment", name}).has_value();
}

namespace {

// $'...' as systemctl writes it for values with special characters.
std::string unquoteDollar(std::string_view quoted)
{
    std::string out;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        char c = quoted[i];
        if (c == '\\' && i + 1 < quoted.size()) {
            switch (quoted[++i]) {
            case 'n':
                c = '\n';
                break;
            case 't':
                c = '\t';
                break;
            case 'r':
                c = '\r';
                break;
            default:
                c = quoted[i];
                break;
            }
        }
        out += c;
    }
    return out;
}

} // namespace

std::optional<std::string> SystemdSessionEnvironment::valueIn(std::string_view output, std::string_view name)
{
    while (!output.empty()) {
        const auto end = output.find('\n');
        std::string_view line = output.substr(0, end);
        output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
        if (line.size() > name.size() && line.starts_with(name) && line[name.size()] == '=') {
            std::string_view value = line.substr(name.size() + 1);
            if (value.size() >= 3 && value.starts_with("$'") && value.ends_with('\'')) {
                return unquoteDollar(value.substr(2, value.size() - 3));
            }
            return std::string(value);
        }
    }
    return std::nullopt;
}

} // namespace vantorelle
