// Messages: the request and response that travel on the per-user socket, and their JSON form.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "sys/SecretString.h"

namespace vantorelle {

// The unlock state. Wire words "locked" and "unlocked"; a word the reader does not know reads as
// locked, as the clients always treated it.
enum class StatusState { locked, unlocked };

// Why a request was refused. Wire words are the case names; "timeout" is made by clients only.
// A word the reader does not know reads as unavailable, as the clients always treated it.
enum class DenialReason { cancelled, snoozed, background, remote, timeout, unavailable, abandoned };

// The one table each way between these words and their cases.
std::string_view wireWord(StatusState state);
std::string_view wireWord(DenialReason reason);
StatusState statusStateFromWire(std::string_view word);
DenialReason denialReasonFromWire(std::string_view word);

// The unlock state as the status reply carries it. JSON: {"state":…,"remaining_seconds":…,"keys":[…]}.
struct StatusReport
{
    StatusState state = StatusState::locked;
    std::optional<std::int64_t> remainingSeconds;
    std::vector<std::string> keys;
    bool operator==(const StatusReport&) const = default;
};

// What a client asks. JSON: one member named after the case, whose value is an object of the
// associated values, e.g. {"unlock":{"duration":3600,"callerPID":42}}.
struct Request
{
    struct Passphrase
    {
        std::string keyPath;
        std::string prompt;
        std::int32_t callerPID = 0;
        bool operator==(const Passphrase&) const = default;
    };
    struct Prompt
    {
        std::string text;
        bool secret = false;
        std::int32_t callerPID = 0;
        bool operator==(const Prompt&) const = default;
    };
    struct Status
    {
        bool operator==(const Status&) const = default;
    };
    struct Unlock
    {
        std::optional<double> duration; // seconds; absent: the configured duration
        std::optional<std::string> reason;
        std::int32_t callerPID = 0;
        bool operator==(const Unlock&) const = default;
    };
    struct Lock
    {
        bool operator==(const Lock&) const = default;
    };
    using Value = std::variant<Passphrase, Prompt, Status, Unlock, Lock>;
    Value value;

    // Implicit from each alternative: Request r = Request::Lock{};
    template <typename T>
    requires std::is_constructible_v<Value, T&&> Request(T&& v)
        : value(std::forward<T>(v))
    {
    }
    bool operator==(const Request&) const = default;
};

// What the server answers. Same JSON shape as Request; unlabelled values are the member "_0".
struct Response
{
    struct Secret
    {
        SecretString value; // JSON "_0"
        bool operator==(const Secret&) const = default;
    };
    struct Answer
    {
        SecretString value; // JSON "_0"
        bool operator==(const Answer&) const = default;
    };
    struct Status
    {
        StatusReport report; // JSON "_0"
        bool operator==(const Status&) const = default;
    };
    struct Ok
    {
        bool operator==(const Ok&) const = default;
    };
    struct Denied
    {
        DenialReason reason = DenialReason::unavailable;
        bool operator==(const Denied&) const = default;
    };
    struct AddedToAgent
    {
        double lifetime = 0; // seconds
        bool operator==(const AddedToAgent&) const = default;
    };
    using Value = std::variant<Secret, Answer, Status, Ok, Denied, AddedToAgent>;
    Value value;

    template <typename T>
    requires std::is_constructible_v<Value, T&&> Response(T&& v)
        : value(std::forward<T>(v))
    {
    }
    // Move-only like the passphrase it may carry; this is the one way to duplicate it.
    Response copy() const;
    bool operator==(const Response&) const = default;
};

struct CodingError
{
    enum class Kind { typeMismatch, keyNotFound, dataCorrupted, invalidValue };
    Kind kind;
    std::string description;
};

// Compact JSON (never a raw line feed), every "/" written as "\/", no trailing line feed, absent
// optionals left out. Fails with invalidValue on a non-finite double or a string that is not
// valid UTF-8 (a lossy replacement would silently change a passphrase or a key path).
// The text may hold a passphrase, so it comes in a SecretString: appending the line feed or
// dropping it leaves no copy behind.
std::expected<SecretString, CodingError> encode(const Request&);
std::expected<SecretString, CodingError> encode(const Response&);
std::expected<SecretString, CodingError> encode(const StatusReport&);

// Accept any valid JSON with the same content: member order is free, unknown members are
// ignored, null optionals are absent. Never throws, whatever the input.
std::expected<Request, CodingError> decodeRequest(std::string_view json);
std::expected<Response, CodingError> decodeResponse(std::string_view json);
std::expected<StatusReport, CodingError> decodeStatusReport(std::string_view json);

} // namespace vantorelle
