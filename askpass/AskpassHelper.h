// AskpassHelper: one run of `vantorelle-askpass`, written against injected effects.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "ipc/Messages.h"
#include "ipc/SocketClient.h"

namespace vantorelle::AskpassHelper {

using TimePoint = std::chrono::steady_clock::time_point;

// Everything a run does to the outside world. main() wires the real ones; tests pass fakes.
struct Effects
{
    // SocketClient::send to the socket path, with a time-out in seconds.
    std::function<std::expected<Response, SocketClient::ClientError>(const Request&, double)> send;
    // Starts the application by its identifier in the background; false when it could not be
    // started (no desktop entry, no program, exec failed). `deadline` bounds the attempt.
    std::function<bool(const std::string& bundleID, TimePoint deadline)> launch;
    // Holds a parent watch on `pid` for the rest of the process (it ends the process with status
    // 1 once that parent is gone).
    std::function<void(std::int32_t pid)> watchParent;
    std::function<TimePoint()> now;
    std::function<void(std::chrono::steady_clock::duration)> sleep;
    // One write of the whole answer line to standard output; false when it failed.
    std::function<bool(std::string_view)> writeOut;
    // One write of one complete line to standard error.
    std::function<void(std::string_view)> writeErr;
};

// `arguments` are the words after the program name (the first is the prompt; the rest are
// ignored). `callerPID` is the parent's process id. Returns the exit status: 0 when a secret or
// answer was printed, 1 otherwise, always after exactly one line on standard error.
int run(std::span<const std::string> arguments, std::int32_t callerPID, const std::string& bundleID,
        const Effects& effects);

// "vantorelle-askpass: " + message + "\n".
std::string errorLine(std::string_view message);

} // namespace vantorelle::AskpassHelper
