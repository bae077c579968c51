// AgentClientError: how an operation on ssh-agent failed.
#pragma once

#include <cstdint>
#include <string>

#include "ssh/PTYRunnerError.h"

namespace vantorelle {

struct AgentClientError
{
    enum class Kind {
        commandFailed, // ssh-add ended with `status` != 0; `output` is what it printed
        invalidLifetime, // a lifetime below 1 s or not finite was asked for (`lifetime`)
        runner, // the pseudo-terminal run of an add failed: `runner`, unchanged
        launchFailed, // ssh-add could not be started; `error` is the errno
        timedOut, // a removal's ssh-add was killed at its deadline, or the agent did not answer a listing
    };
    Kind kind = Kind::commandFailed;
    std::int32_t status = 0;
    std::string output;
    double lifetime = 0;
    PTYRunnerError runner;
    int error = 0;

    static AgentClientError commandFailed(std::int32_t status, std::string output);
    static AgentClientError invalidLifetime(double lifetime);
    static AgentClientError fromRunner(PTYRunnerError error);
    static AgentClientError launchFailed(int error);
    static AgentClientError timedOut(std::string output);

    // commandFailed: "ssh-add exited with status <n>: <output>";
    // invalidLifetime: "invalid key lifetime: <value>" (0.5, inf, nan, ...).
    std::string description() const;
    bool operator==(const AgentClientError&) const = default;
};

} // namespace vantorelle
