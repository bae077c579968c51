// CLI: the logic of the `vantorelle` command; the host program passes in the real I/O.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/Messages.h"
#include "ipc/SocketClient.h"

namespace vantorelle::CLI {

// Exit statuses.
inline constexpr int kExitDone = 0; // status printed, or the window opened or closed
inline constexpr int kExitRefused = 1; // denied, unavailable or timed out
inline constexpr int kExitNoApp = 2; // the application cannot be reached, or another error
inline constexpr int kExitUsage = 64; // the usage text went to `err`

// Time-outs in seconds: status and lock answer at once; unlock may wait for a person.
inline constexpr double kStatusTimeout = 5;
inline constexpr double kUnlockTimeout = 120;

// Delivers one request with a time-out in seconds (SocketClient::send in the real program).
using Send = std::function<std::expected<Response, SocketClient::ClientError>(const Request&, double)>;
// Writes one message; the host decides about the line feed.
using Write = std::function<void(const std::string&)>;

// Runs one command. `arguments` are the words after the program name; `callerPID` goes into
// unlock requests. Returns the exit status; never throws, whatever `send` does. Texts come from
// L() in the process's language.
int run(std::span<const std::string> arguments, const Send& send, const Write& out, const Write& err,
        std::int32_t callerPID);

// The sentence for a denial reason (an abandoned request reads as unavailable).
std::string deniedMessage(DenialReason reason);

struct UnlockArguments
{
    std::optional<double> duration; // already clamped to an allowed window length
    std::optional<std::string> reason;
    bool operator==(const UnlockArguments&) const = default;
};

// Reads (flag, value) pairs: "--for DURATION" (clamped) and "--reason TEXT"; a later pair of the
// same flag wins. Nothing for an odd count, an unknown flag or a duration that does not parse.
std::optional<UnlockArguments> parseUnlockArguments(std::span<const std::string> rest);

// "2h", "90m", "1h30m", "45s", "1h0m30s": each part optional but in the order h, m, s, ASCII digits,
// lower-case units, no spaces, each number at most 1,000,000. Seconds, or nothing ("" included).
std::optional<double> parseDuration(std::string_view text);

// `text` with every control character (C0, DEL, C1) written as \xHH or \uHHHH, so that a name
// shown on a terminal cannot move the cursor, retitle the window or reprogram the terminal.
// Expects UTF-8 (the wire refuses anything else); other bytes pass as they are.
std::string terminalText(std::string_view text);

// "Locked", or the key names (terminalText) with the time left, in the process's language.
std::string statusText(const StatusReport& report);

// {"keys":[…],"remaining_seconds":…,"state":…}: sorted members, slashes as they are,
// "remaining_seconds" always present (null when absent), invalid UTF-8 replaced.
std::string statusJSON(const StatusReport& report);

} // namespace vantorelle::CLI
