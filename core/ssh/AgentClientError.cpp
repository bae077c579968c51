// AgentClientError and PTYRunnerError: constructors and their texts.
#include "ssh/AgentClientError.h"

#include <array>
#include <charconv>
#include <cstring>

namespace vantorelle {

namespace {
// The shortest text that reads back as the same double: 0.5, 3, inf, nan.
std::string doubleText(double value)
{
    std::array<char, 64> buffer{};
    const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return ec == std::errc{} ? std::string(buffer.data(), end) : std::string("?");
}
} // namespace

std::string PTYRunnerError::description() const
{
    switch (kind) {
    case Kind::spawnFailed:
        return "spawn failed: " + std::string(std::strerror(error));
    case Kind::timedOut:
        return "timed out: " + output;
    case Kind::ptyUnavailable:
        return "no pseudo-terminal available";
    }
    return {};
}

AgentClientError AgentClientError::commandFailed(std::int32_t status, std::string output)
{
    AgentClientError e;
    e.kind = Kind::commandFailed;
    e.status = status;
    e.output = std::move(output);
    return e;
}

AgentClientError AgentClientError::invalidLifetime(double lifetime)
{
    AgentClientError e;
    e.kind = Kind::invalidLifetime;
    e.lifetime = lifetime;
    return e;
}

AgentClientError AgentClientError::fromRunner(PTYRunnerError error)
{
    AgentClientError e;
    e.kind = Kind::runner;
    e.runner = std::move(error);
    return e;
}

AgentClientError AgentClientError::launchFailed(int error)
{
    AgentClientError e;
    e.kind = Kind::launchFailed;
    e.error = error;
    return e;
}

AgentClientError AgentClientError::timedOut(std::string output)
{
    AgentClientError e;
    e.kind = Kind::timedOut;
    e.output = std::move(output);
    return e;
}

std::string AgentClientError::description() const
{
    switch (kind) {
    case Kind::commandFailed:
        return "ssh-add exited with status " + std::to_string(status) + ": " + output;
    case Kind::invalidLifetime:
        return "invalid key lifetime: " + doubleText(lifetime);
    case Kind::runner:
        return runner.description();
    case Kind::launchFailed:
        return "ssh-add could not be started: " + std::string(std::strerror(error));
    case Kind::timedOut:
        return "timed out talking to the agent: " + output;
    }
    return {};
}

} // namespace vantorelle
