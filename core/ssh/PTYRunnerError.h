// PTYRunnerError: why a program run on a pseudo-terminal produced no exit status.
#pragma once

#include <string>

namespace vantorelle {

struct PTYRunnerError
{
    enum class Kind {
        spawnFailed, // `error` is the number the spawn call returned
        timedOut, // the child was killed at the deadline; `output` is what it printed until then
        ptyUnavailable, // no pseudo-terminal could be set up
    };
    Kind kind = Kind::ptyUnavailable;
    int error = 0;
    std::string output;

    static PTYRunnerError spawnFailed(int error) { return {Kind::spawnFailed, error, {}}; }
    static PTYRunnerError timedOut(std::string output) { return {Kind::timedOut, 0, std::move(output)}; }
    static PTYRunnerError ptyUnavailable() { return {Kind::ptyUnavailable, 0, {}}; }

    std::string description() const;
    bool operator==(const PTYRunnerError&) const = default;
};

} // namespace vantorelle
