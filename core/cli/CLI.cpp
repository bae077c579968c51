// CLI: the logic of the `vantorelle` command; the host program passes in the real I/O.
#include "cli/CLI.h"

#include <nlohmann/json.hpp>

#include "i18n/L.h"
#include "window/DurationPolicy.h"
#include "window/DurationText.h"

namespace vantorelle::CLI {

namespace {

constexpr std::int64_t kMaxDurationPart = 1'000'000;

// The response to one request, or nothing once the failure has been written to `err` and
// `status` set to the exit status it calls for.
std::optional<Response> deliver(const Send& send, const Request& request, double timeout, const Write& err, int& status)
{
    SocketClient::ClientError::Kind failure;
    try {
        auto result = send(request, timeout);
        if (result) {
            return std::move(*result);
        }
        failure = result.error().kind;
    } catch (...) {
        // Whatever went wrong inside the transport, the user gets a sentence and a status.
        failure = SocketClient::ClientError::Kind::io;
    }
    switch (failure) {
    case SocketClient::ClientError::Kind::connectFailed:
        err(L("cli.error.noapp"));
        status = kExitNoApp;
        break;
    case SocketClient::ClientError::Kind::timeout:
        err(L("cli.denied.timeout"));
        status = kExitRefused;
        break;
    default:
        err(L("cli.error.generic"));
        status = kExitNoApp;
        break;
    }
    return std::nullopt;
}

// Lock and unlock answer alike: ok, a denial, or something that makes no sense here.
int finishChange(const Response& response, const Write& err)
{
    if (std::holds_alternative<Response::Ok>(response.value)) {
        return kExitDone;
    }
    if (const auto* denied = std::get_if<Response::Denied>(&response.value)) {
        err(deniedMessage(denied->reason));
        return kExitRefused;
    }
    err(L("cli.denied.unavailable"));
    return kExitRefused;
}

int usage(const Write& err)
{
    err(L("cli.usage"));
    return kExitUsage;
}

int runStatus(std::span<const std::string> rest, const Send& send, const Write& out, const Write& err)
{
    bool json = false;
    if (rest.size() == 1 && rest[0] == "--json") {
        json = true;
    } else if (!rest.empty()) {
        return usage(err);
    }
    int status = kExitDone;
    const auto response = deliver(send, Request::Status{}, kStatusTimeout, err, status);
    if (!response) {
        return status;
    }
    if (const auto* report = std::get_if<Response::Status>(&response->value)) {
        out(json ? statusJSON(report->report) : statusText(report->report));
        return kExitDone;
    }
    err(L("cli.denied.unavailable"));
    return kExitRefused;
}

int runLock(std::span<const std::string> rest, const Send& send, const Write& err)
{
    if (!rest.empty()) {
        return usage(err);
    }
    int status = kExitDone;
    const auto response = deliver(send, Request::Lock{}, kStatusTimeout, err, status);
    return response ? finishChange(*response, err) : status;
}

int runUnlock(std::span<const std::string> rest, const Send& send, const Write& err, std::int32_t callerPID)
{
    auto parsed = parseUnlockArguments(rest);
    if (!parsed) {
        return usage(err);
    }
    int status = kExitDone;
    const auto response = deliver(send, Request::Unlock{parsed->duration, std::move(parsed->reason), callerPID},
                                  kUnlockTimeout, err, status);
    return response ? finishChange(*response, err) : status;
}

// ASCII digits as a number of at most kMaxDurationPart, or nothing.
std::optional<std::int64_t> durationPart(std::string_view digits)
{
    std::int64_t value = 0;
    for (const char c : digits) {
        value = value * 10 + (c - '0');
        if (value > kMaxDurationPart) {
            return std::nullopt;
        }
    }
    return value;
}

} // namespace

int run(std::span<const std::string> arguments, const Send& send, const Write& out, const Write& err,
        std::int32_t callerPID)
{
    if (arguments.empty()) {
        return usage(err);
    }
    const std::string& command = arguments.front();
    const auto rest = arguments.subspan(1);
    if (command == "status") {
        return runStatus(rest, send, out, err);
    }
    if (command == "lock") {
        return runLock(rest, send, err);
    }
    if (command == "unlock") {
        return runUnlock(rest, send, err, callerPID);
    }
    return usage(err);
}

std::string deniedMessage(DenialReason reason)
{
    switch (reason) {
    case DenialReason::cancelled:
        return L("cli.denied.cancelled");
    case DenialReason::snoozed:
        return L("cli.denied.snoozed");
    case DenialReason::background:
        return L("cli.denied.background");
    case DenialReason::remote:
        return L("cli.denied.remote");
    case DenialReason::timeout:
        return L("cli.denied.timeout");
    case DenialReason::unavailable:
    case DenialReason::abandoned:
        break;
    }
    return L("cli.denied.unavailable");
}

std::optional<UnlockArguments> parseUnlockArguments(std::span<const std::string> rest)
{
    if (rest.size() % 2 != 0) {
        return std::nullopt;
    }
    UnlockArguments parsed;
    for (size_t i = 0; i < rest.size(); i += 2) {
        const std::string& flag = rest[i];
        const std::string& value = rest[i + 1];
        if (flag == "--for") {
            const auto seconds = parseDuration(value);
            if (!seconds) {
                return std::nullopt;
            }
            parsed.duration = DurationPolicy::clamp(*seconds);
        } else if (flag == "--reason") {
            parsed.reason = value;
        } else {
            return std::nullopt;
        }
    }
    return parsed;
}

std::optional<double> parseDuration(std::string_view text)
{
    // The whole text is up to three parts "<digits><unit>" with the units h, m, s in that order.
    static constexpr struct
    {
        char unit;
        std::int64_t factor;
    } kUnits[] = {{'h', 3600}, {'m', 60}, {'s', 1}};

    if (text.empty()) {
        return std::nullopt;
    }
    std::int64_t total = 0;
    size_t nextUnit = 0; // index into kUnits of the first unit still allowed
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t digitsStart = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            ++pos;
        }
        if (pos == digitsStart || pos == text.size()) {
            return std::nullopt; // a part needs digits and a unit
        }
        const char unit = text[pos++];
        while (nextUnit < std::size(kUnits) && kUnits[nextUnit].unit != unit) {
            ++nextUnit;
        }
        if (nextUnit == std::size(kUnits)) {
            return std::nullopt; // not a unit, or out of order, or repeated
        }
        const auto value = durationPart(text.substr(digitsStart, pos - 1 - digitsStart));
        if (!value) {
            return std::nullopt;
        }
        total += *value * kUnits[nextUnit].factor;
        ++nextUnit;
    }
    return static_cast<double>(total);
}

std::string terminalText(std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7f) {
            shown += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
        } else if (byte == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80
                   && static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
            // U+0080..U+009F: C1 controls, CSI (U+009B) among them.
            const auto code = static_cast<unsigned char>(text[++i]);
            shown += {'\\', 'u', '0', '0', kHex[code >> 4], kHex[code & 15]};
        } else {
            shown += text[i];
        }
    }
    return shown;
}

std::string statusText(const StatusReport& report)
{
    if (report.state != StatusState::unlocked) {
        return L("status.locked");
    }
    std::string names;
    for (const auto& key : report.keys) {
        if (!names.empty()) {
            names += ", ";
        }
        names += terminalText(key);
    }
    if (report.remainingSeconds) {
        const std::string left
            = DurationText::longText(static_cast<double>(*report.remainingSeconds), i18n::currentLanguage());
        return L("status.unlocked", {left, names});
    }
    return L("status.unlocked.nolimit", {names});
}

std::string statusJSON(const StatusReport& report)
{
    // nlohmann's objects keep their members sorted by name, and it never escapes "/".
    nlohmann::json wire = nlohmann::json::object();
    wire["state"] = std::string(wireWord(report.state));
    wire["remaining_seconds"]
        = report.remainingSeconds ? nlohmann::json(*report.remainingSeconds) : nlohmann::json(nullptr);
    wire["keys"] = report.keys;
    try {
        return wire.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (...) {
        return "{}";
    }
}

} // namespace vantorelle::CLI
