// Messages: the request and response that travel on the per-user socket, and their JSON form.
#include "ipc/Messages.h"

#include <array>
#include <cmath>
#include <iterator>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <vector>

#include "sys/Utf8.h"

namespace vantorelle {
namespace {

// One byte of a line as the parser reads it. The parser keeps a raw copy of the token it is
// scanning in a std::vector of its input's character type; that vector grows as a long string
// (a passphrase) is read and is freed at the end, so for this type it gets a wiping allocator.
enum class WireByte : unsigned char {};

} // namespace
} // namespace vantorelle

template <> struct std::allocator<vantorelle::WireByte> : vantorelle::WipingAllocator<vantorelle::WireByte>
{
    allocator() noexcept = default;
    template <typename U> allocator(const allocator<U>&) noexcept { }
};

namespace vantorelle {

namespace {

// Presents the bytes of a line as WireBytes, without reinterpreting their storage.
struct WireByteIterator
{
    using iterator_category = std::input_iterator_tag;
    using value_type = WireByte;
    using difference_type = std::ptrdiff_t;
    using pointer = const WireByte*;
    using reference = WireByte;

    const char* at = nullptr;

    WireByte operator*() const { return static_cast<WireByte>(static_cast<unsigned char>(*at)); }
    WireByteIterator& operator++()
    {
        ++at;
        return *this;
    }
    WireByteIterator operator++(int)
    {
        WireByteIterator before = *this;
        ++at;
        return before;
    }
    bool operator==(const WireByteIterator&) const = default;
};

// Documents may hold a passphrase, so every block they free, the parser's token buffer and the
// serializer's output included, is wiped.
using json = nlohmann::basic_json<std::map, std::vector, WipingString, bool, std::int64_t, std::uint64_t, double,
                                  WipingAllocator>;
// Encoding keeps the members in declaration order, which reads well in traces; readers do not care.
using ojson = nlohmann::basic_json<nlohmann::ordered_map, std::vector, WipingString, bool, std::int64_t, std::uint64_t,
                                   double, WipingAllocator>;

std::string plain(const WipingString& text)
{
    return std::string(text.data(), text.size());
}

// Deeper documents are refused before parsing so hostile input cannot exhaust a thread's stack.
constexpr int kMaxNesting = 64;

constexpr const char* kInvalidNumberOfKeys = "Invalid number of keys found, expected one.";

std::unexpected<CodingError> failure(CodingError::Kind kind, std::string description)
{
    return std::unexpected(CodingError{kind, std::move(description)});
}

// ---- encoding ---------------------------------------------------------------------------------

std::expected<ojson, CodingError> numberJSON(double value, const char* key)
{
    if (!std::isfinite(value)) {
        return failure(CodingError::Kind::invalidValue,
                       std::string("Unable to encode non-finite Double for key \"") + key + "\".");
    }
    // Integral seconds travel as plain integers ("3600", not "3600.0"); 2^63 bounds the exact cast.
    if (std::trunc(value) == value && std::fabs(value) < 9223372036854775808.0) {
        return ojson(static_cast<std::int64_t>(value));
    }
    return ojson(value);
}

// Follows JSON text one character at a time, telling string contents from structure.
class JsonStringState
{
public:
    enum class Place { structure, stringText, stringSyntax };

    Place next(char c)
    {
        if (!m_inString) {
            m_inString = c == '"';
            return m_inString ? Place::stringSyntax : Place::structure;
        }
        if (m_escaped) {
            m_escaped = false;
            return Place::stringSyntax;
        }
        if (c == '\\') {
            m_escaped = true;
            return Place::stringSyntax;
        }
        if (c == '"') {
            m_inString = false;
            return Place::stringSyntax;
        }
        return Place::stringText;
    }

private:
    bool m_inString = false;
    bool m_escaped = false;
};

// Writes "\/" for every "/" inside a string token. Outside strings compact JSON has no slash at
// all, but tracking the string state keeps the rewrite correct whatever the serializer emits.
// Sized once up front, with room for the line feed that framing adds.
SecretString escapeSlashes(std::string_view compact)
{
    std::size_t slashes = 0;
    JsonStringState counting;
    for (const char c : compact) {
        slashes += counting.next(c) == JsonStringState::Place::stringText && c == '/';
    }
    SecretString out;
    out.reserve(compact.size() + slashes + 1);
    JsonStringState state;
    for (const char c : compact) {
        if (state.next(c) == JsonStringState::Place::stringText && c == '/') {
            out.append("\\/");
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// Compact text with escaped slashes. `document` may hold a passphrase: every copy of the text
// made here except the returned one is wiped.
std::expected<SecretString, CodingError> finish(const ojson& document)
{
    WipingString compact;
    try {
        compact = document.dump(-1, ' ', false, ojson::error_handler_t::strict);
    } catch (const ojson::type_error&) {
        wipeStackBelow();
        return failure(CodingError::Kind::invalidValue, "Unable to encode a string that is not valid UTF-8.");
    } catch (const std::exception& e) {
        wipeStackBelow();
        return failure(CodingError::Kind::invalidValue, e.what());
    }
    wipeStackBelow(); // the serializer's small buffers
    SecretString text = escapeSlashes(compact);
    wipeBytes(compact.data(), compact.capacity());
    return text;
}

ojson reportJSON(const StatusReport& report)
{
    ojson object = ojson::object();
    object["state"] = WipingString(wireWord(report.state));
    if (report.remainingSeconds) {
        object["remaining_seconds"] = *report.remainingSeconds;
    }
    ojson& keys = object["keys"] = ojson::array();
    for (const auto& key : report.keys) {
        // A key file name need not be UTF-8; the report must still go out, so it is repaired.
        const std::string name = Utf8::repaired(key);
        keys.push_back(WipingString(name));
    }
    return object;
}

ojson single(const char* name, ojson value)
{
    ojson root = ojson::object();
    root[name] = std::move(value);
    return root;
}

// Encodes a one-string case ({"secret":{"_0":…}}); the document's copy of the secret lives in a
// wiping string, so it is wiped with the document.
std::expected<SecretString, CodingError> encodeSecret(const char* name, const SecretString& value)
{
    ojson body = ojson::object();
    body["_0"] = WipingString(value.view());
    return finish(single(name, std::move(body)));
}

// ---- decoding ---------------------------------------------------------------------------------

const char* typeName(const json& value)
{
    switch (value.type()) {
    case json::value_t::null:
        return "null";
    case json::value_t::boolean:
        return "a boolean";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
    case json::value_t::number_float:
        return "a number";
    case json::value_t::string:
        return "a string";
    case json::value_t::array:
        return "an array";
    case json::value_t::object:
        return "an object";
    default:
        return "an unsupported value";
    }
}

std::unexpected<CodingError> typeMismatch(const char* expected, std::string_view key, const json& found)
{
    return failure(CodingError::Kind::typeMismatch,
                   "Expected " + std::string(expected) + " value for key \"" + std::string(key) + "\" but found "
                       + typeName(found) + " instead.");
}

std::unexpected<CodingError> keyNotFound(std::string_view key)
{
    return failure(CodingError::Kind::keyNotFound, "No value associated with key \"" + std::string(key) + "\".");
}

// False when brackets nest deeper than kMaxNesting (strings are skipped).
bool nestingWithinLimit(std::string_view text)
{
    int depth = 0;
    JsonStringState state;
    for (const char c : text) {
        if (state.next(c) != JsonStringState::Place::structure) {
            continue;
        }
        if (c == '[' || c == '{') {
            if (++depth > kMaxNesting) {
                return false;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

std::expected<json, CodingError> parse(std::string_view text)
{
    // The parser takes a zero byte for the end of its input and would accept "{…}\0garbage". JSON
    // allows no raw zero byte anywhere, so a line holding one is refused whole.
    if (text.find('\0') == std::string_view::npos && nestingWithinLimit(text)) {
        try {
            json document = json::parse(WireByteIterator{text.data()}, WireByteIterator{text.data() + text.size()},
                                        nullptr, false);
            if (!document.is_discarded()) {
                return document;
            }
        } catch (...) {
            // The non-throwing parse should not throw; whatever it does, the input is bad.
        }
    }
    return failure(CodingError::Kind::dataCorrupted, "The given data was not valid JSON.");
}

// The member `key` of `object`, or nullptr when missing or null (both mean absent).
json* member(json& object, std::string_view key)
{
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return nullptr;
    }
    return &*it;
}

template <typename Int> std::expected<Int, CodingError> integerValue(const json& value, std::string_view key)
{
    constexpr auto lo = std::numeric_limits<Int>::min();
    constexpr auto hi = std::numeric_limits<Int>::max();
    auto outOfRange = [&](const std::string& number) {
        return failure(CodingError::Kind::dataCorrupted,
                       "Parsed JSON number <" + number + "> for key \"" + std::string(key) + "\" does not fit in "
                           + (sizeof(Int) == 4 ? "Int32" : "Int64") + ".");
    };
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        if (n > static_cast<std::uint64_t>(hi)) {
            return outOfRange(plain(value.dump()));
        }
        return static_cast<Int>(n);
    }
    if (value.is_number_integer()) {
        const auto n = value.get<std::int64_t>();
        if (n < lo || n > hi) {
            return outOfRange(plain(value.dump()));
        }
        return static_cast<Int>(n);
    }
    if (value.is_number_float()) {
        // "12.0" is the same number as "12"; a fraction or anything beyond the range is not.
        const double d = value.get<double>();
        const double limit = std::ldexp(1.0, static_cast<int>(sizeof(Int) * 8 - 1)); // 2^31 or 2^63
        if (!std::isfinite(d) || std::trunc(d) != d || d < -limit || d >= limit) {
            return outOfRange(plain(value.dump()));
        }
        return static_cast<Int>(d);
    }
    return typeMismatch(sizeof(Int) == 4 ? "Int32" : "Int64", key, value);
}

template <typename Int> std::expected<Int, CodingError> requiredInteger(json& object, std::string_view key)
{
    const json* value = member(object, key);
    if (!value) {
        return keyNotFound(key);
    }
    return integerValue<Int>(*value, key);
}

std::expected<double, CodingError> doubleValue(const json& value, std::string_view key)
{
    if (!value.is_number()) {
        return typeMismatch("Double", key, value);
    }
    return value.get<double>();
}

std::expected<std::string, CodingError> requiredString(json& object, std::string_view key)
{
    json* value = member(object, key);
    if (!value) {
        return keyNotFound(key);
    }
    if (!value->is_string()) {
        return typeMismatch("String", key, *value);
    }
    return plain(value->get_ref<const WipingString&>());
}

std::expected<std::optional<std::string>, CodingError> optionalString(json& object, std::string_view key)
{
    json* value = member(object, key);
    if (!value) {
        return std::optional<std::string>();
    }
    if (!value->is_string()) {
        return typeMismatch("String", key, *value);
    }
    return std::optional<std::string>(plain(value->get_ref<const WipingString&>()));
}

// The document's copy is wiped when the document goes away.
std::expected<SecretString, CodingError> requiredSecret(json& object, std::string_view key)
{
    json* value = member(object, key);
    if (!value) {
        return keyNotFound(key);
    }
    if (!value->is_string()) {
        return typeMismatch("String", key, *value);
    }
    return SecretString(std::string_view(value->get_ref<const WipingString&>()));
}

std::expected<bool, CodingError> requiredBool(json& object, std::string_view key)
{
    const json* value = member(object, key);
    if (!value) {
        return keyNotFound(key);
    }
    if (!value->is_boolean()) {
        return typeMismatch("Bool", key, *value);
    }
    return value->get<bool>();
}

// A wire word and the case it names: one table per enumeration serves both directions.
template <typename Case> struct Word
{
    std::string_view word;
    Case value;
};

constexpr Word<StatusState> kStatusStates[] = {{"locked", StatusState::locked}, {"unlocked", StatusState::unlocked}};
constexpr Word<DenialReason> kDenialReasons[] = {
    {"cancelled", DenialReason::cancelled},   {"snoozed", DenialReason::snoozed},
    {"background", DenialReason::background}, {"remote", DenialReason::remote},
    {"timeout", DenialReason::timeout},       {"unavailable", DenialReason::unavailable},
    {"abandoned", DenialReason::abandoned},
};

template <typename Case, std::size_t N> std::string_view wordOf(const Word<Case> (&table)[N], Case value)
{
    for (const auto& entry : table) {
        if (entry.value == value) {
            return entry.word;
        }
    }
    return {};
}

template <typename Case, std::size_t N> std::optional<Case> caseOf(const Word<Case> (&table)[N], std::string_view word)
{
    for (const auto& entry : table) {
        if (entry.word == word) {
            return entry.value;
        }
    }
    return std::nullopt;
}

// The one case member of an enumeration object: which case its name names, and its (object) value.
template <typename Case> struct CaseMember
{
    Case which;
    json* value;
};

template <typename Case, std::size_t N>
std::expected<CaseMember<Case>, CodingError> caseMember(json& root, const Word<Case> (&cases)[N])
{
    if (!root.is_object()) {
        return failure(CodingError::Kind::typeMismatch,
                       std::string("Expected to decode an object but found ") + typeName(root) + " instead.");
    }
    const Word<Case>* found = nullptr;
    std::size_t count = 0;
    for (const auto& entry : cases) {
        if (root.contains(entry.word)) {
            found = &entry;
            ++count;
        }
    }
    if (count != 1) {
        return failure(CodingError::Kind::typeMismatch, kInvalidNumberOfKeys);
    }
    json& value = root.find(found->word).value();
    if (!value.is_object()) {
        return typeMismatch("an object", found->word, value);
    }
    return CaseMember<Case>{found->value, &value};
}

std::expected<StatusReport, CodingError> reportFrom(json& object, std::string_view key)
{
    if (!object.is_object()) {
        return typeMismatch("an object", key, object);
    }
    StatusReport report;
    auto state = requiredString(object, "state");
    if (!state) {
        return std::unexpected(state.error());
    }
    report.state = statusStateFromWire(*state);
    if (const json* remaining = member(object, "remaining_seconds")) {
        auto seconds = integerValue<std::int64_t>(*remaining, "remaining_seconds");
        if (!seconds) {
            return std::unexpected(seconds.error());
        }
        report.remainingSeconds = *seconds;
    }
    json* keys = member(object, "keys");
    if (!keys) {
        return keyNotFound("keys");
    }
    if (!keys->is_array()) {
        return typeMismatch("Array", "keys", *keys);
    }
    for (json& name : *keys) {
        if (!name.is_string()) {
            return typeMismatch("String", "keys", name);
        }
        report.keys.push_back(plain(name.get_ref<const WipingString&>()));
    }
    return report;
}

// Reads the members of one case in order and keeps the first failure, so a case reads as one
// aggregate initialisation (braced initialisers are evaluated left to right).
class FieldReader
{
public:
    explicit FieldReader(json& body)
        : m_body(body)
    {
    }

    std::string string(std::string_view key) { return take(requiredString(m_body, key)); }
    bool boolean(std::string_view key) { return take(requiredBool(m_body, key)); }
    std::int32_t pid() { return take(requiredInteger<std::int32_t>(m_body, "callerPID")); }
    std::optional<std::string> optionalString(std::string_view key)
    {
        return take(vantorelle::optionalString(m_body, key));
    }
    std::optional<double> optionalDouble(std::string_view key)
    {
        const json* value = member(m_body, key);
        if (!value) {
            return std::nullopt;
        }
        return take(doubleValue(*value, key));
    }

    template <typename Case> std::expected<Request, CodingError> result(Case&& value)
    {
        if (m_error) {
            return std::unexpected(std::move(*m_error));
        }
        return Request(std::forward<Case>(value));
    }

private:
    template <typename T> T take(std::expected<T, CodingError>&& read)
    {
        if (m_error) {
            return T{};
        }
        if (!read) {
            m_error = std::move(read.error());
            return T{};
        }
        return std::move(*read);
    }

    json& m_body;
    std::optional<CodingError> m_error;
};

enum class RequestCase { passphrase, prompt, status, unlock, lock };
enum class ResponseCase { secret, answer, status, ok, denied, addedToAgent };
constexpr Word<RequestCase> kRequestCases[] = {
    {"passphrase", RequestCase::passphrase}, {"prompt", RequestCase::prompt}, {"status", RequestCase::status},
    {"unlock", RequestCase::unlock},         {"lock", RequestCase::lock},
};
constexpr Word<ResponseCase> kResponseCases[] = {
    {"secret", ResponseCase::secret}, {"answer", ResponseCase::answer}, {"status", ResponseCase::status},
    {"ok", ResponseCase::ok},         {"denied", ResponseCase::denied}, {"addedToAgent", ResponseCase::addedToAgent},
};

std::expected<Request, CodingError> requestFrom(json& root)
{
    const auto which = caseMember(root, kRequestCases);
    if (!which) {
        return std::unexpected(which.error());
    }
    json& body = *which->value;
    switch (which->which) {
    case RequestCase::passphrase: {
        FieldReader read(body);
        Request::Passphrase value{read.string("keyPath"), read.string("prompt"), read.pid()};
        return read.result(std::move(value));
    }
    case RequestCase::prompt: {
        FieldReader read(body);
        Request::Prompt value{read.string("text"), read.boolean("secret"), read.pid()};
        return read.result(std::move(value));
    }
    case RequestCase::status:
        return Request(Request::Status{});
    case RequestCase::unlock: {
        FieldReader read(body);
        Request::Unlock value{read.optionalDouble("duration"), read.optionalString("reason"), read.pid()};
        return read.result(std::move(value));
    }
    case RequestCase::lock:
        return Request(Request::Lock{});
    }
    return Request(Request::Lock{}); // not reached: every case is handled above
}

std::expected<Response, CodingError> responseFrom(json& root)
{
    const auto which = caseMember(root, kResponseCases);
    if (!which) {
        return std::unexpected(which.error());
    }
    json& body = *which->value;
    switch (which->which) {
    case ResponseCase::secret:
    case ResponseCase::answer: {
        auto secret = requiredSecret(body, "_0");
        if (!secret) {
            return std::unexpected(secret.error());
        }
        if (which->which == ResponseCase::secret) {
            return Response(Response::Secret{std::move(*secret)});
        }
        return Response(Response::Answer{std::move(*secret)});
    }
    case ResponseCase::status: {
        json* report = member(body, "_0");
        if (!report) {
            return keyNotFound("_0");
        }
        auto value = reportFrom(*report, "_0");
        if (!value) {
            return std::unexpected(value.error());
        }
        return Response(Response::Status{std::move(*value)});
    }
    case ResponseCase::ok:
        return Response(Response::Ok{});
    case ResponseCase::denied: {
        auto reason = requiredString(body, "reason");
        if (!reason) {
            return std::unexpected(reason.error());
        }
        return Response(Response::Denied{denialReasonFromWire(*reason)});
    }
    case ResponseCase::addedToAgent: {
        const json* lifetime = member(body, "lifetime");
        if (!lifetime) {
            return keyNotFound("lifetime");
        }
        auto seconds = doubleValue(*lifetime, "lifetime");
        if (!seconds) {
            return std::unexpected(seconds.error());
        }
        return Response(Response::AddedToAgent{*seconds});
    }
    }
    return Response(Response::Ok{}); // not reached: every case is handled above
}

// Runs `decode` on the parsed document and maps anything thrown to a data error, so hostile
// input can never throw out of a decoder.
template <typename T, typename Decode> std::expected<T, CodingError> decodeWith(std::string_view text, Decode decode)
{
    try {
        auto document = parse(text);
        wipeStackBelow(); // the parser's token buffer may have held a short secret inline
        if (!document) {
            return std::unexpected(document.error());
        }
        return decode(*document);
    } catch (const std::exception& e) {
        return failure(CodingError::Kind::dataCorrupted, e.what());
    } catch (...) {
        return failure(CodingError::Kind::dataCorrupted, "The given data could not be decoded.");
    }
}

} // namespace

Response Response::copy() const
{
    return std::visit(
        [](const auto& v) -> Response {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Secret> || std::is_same_v<T, Answer>) {
                return T{v.value.copy()};
            } else {
                return v;
            }
        },
        value);
}

std::expected<SecretString, CodingError> encode(const Request& request)
{
    try {
        return std::visit(
            [](const auto& value) -> std::expected<SecretString, CodingError> {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, Request::Passphrase>) {
                    return finish(single(
                        "passphrase",
                        ojson{{"keyPath", value.keyPath}, {"prompt", value.prompt}, {"callerPID", value.callerPID}}));
                } else if constexpr (std::is_same_v<T, Request::Prompt>) {
                    return finish(
                        single("prompt",
                               ojson{{"text", value.text}, {"secret", value.secret}, {"callerPID", value.callerPID}}));
                } else if constexpr (std::is_same_v<T, Request::Status>) {
                    return finish(single("status", ojson::object()));
                } else if constexpr (std::is_same_v<T, Request::Unlock>) {
                    ojson body = ojson::object();
                    if (value.duration) {
                        auto number = numberJSON(*value.duration, "duration");
                        if (!number) {
                            return std::unexpected(number.error());
                        }
                        body["duration"] = std::move(*number);
                    }
                    if (value.reason) {
                        body["reason"] = *value.reason;
                    }
                    body["callerPID"] = value.callerPID;
                    return finish(single("unlock", std::move(body)));
                } else {
                    return finish(single("lock", ojson::object()));
                }
            },
            request.value);
    } catch (const std::exception& e) {
        return failure(CodingError::Kind::invalidValue, e.what());
    }
}

std::expected<SecretString, CodingError> encode(const Response& response)
{
    try {
        return std::visit(
            [](const auto& value) -> std::expected<SecretString, CodingError> {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, Response::Secret>) {
                    return encodeSecret("secret", value.value);
                } else if constexpr (std::is_same_v<T, Response::Answer>) {
                    return encodeSecret("answer", value.value);
                } else if constexpr (std::is_same_v<T, Response::Status>) {
                    return finish(single("status", ojson{{"_0", reportJSON(value.report)}}));
                } else if constexpr (std::is_same_v<T, Response::Ok>) {
                    return finish(single("ok", ojson::object()));
                } else if constexpr (std::is_same_v<T, Response::Denied>) {
                    return finish(single("denied", ojson{{"reason", WipingString(wireWord(value.reason))}}));
                } else {
                    auto number = numberJSON(value.lifetime, "lifetime");
                    if (!number) {
                        return std::unexpected(number.error());
                    }
                    return finish(single("addedToAgent", ojson{{"lifetime", std::move(*number)}}));
                }
            },
            response.value);
    } catch (const std::exception& e) {
        return failure(CodingError::Kind::invalidValue, e.what());
    }
}

std::expected<SecretString, CodingError> encode(const StatusReport& report)
{
    try {
        return finish(reportJSON(report));
    } catch (const std::exception& e) {
        return failure(CodingError::Kind::invalidValue, e.what());
    }
}

std::string_view wireWord(StatusState state)
{
    return wordOf(kStatusStates, state);
}

std::string_view wireWord(DenialReason reason)
{
    return wordOf(kDenialReasons, reason);
}

StatusState statusStateFromWire(std::string_view word)
{
    return caseOf(kStatusStates, word).value_or(StatusState::locked);
}

DenialReason denialReasonFromWire(std::string_view word)
{
    return caseOf(kDenialReasons, word).value_or(DenialReason::unavailable);
}

std::expected<Request, CodingError> decodeRequest(std::string_view text)
{
    return decodeWith<Request>(text, [](json& root) { return requestFrom(root); });
}

std::expected<Response, CodingError> decodeResponse(std::string_view text)
{
    return decodeWith<Response>(text, [](json& root) { return responseFrom(root); });
}

std::expected<StatusReport, CodingError> decodeStatusReport(std::string_view text)
{
    return decodeWith<StatusReport>(text, [](json& root) {
        if (!root.is_object()) {
            return std::expected<StatusReport, CodingError>(
                failure(CodingError::Kind::typeMismatch,
                        std::string("Expected to decode an object but found ") + typeName(root) + " instead."));
        }
        return reportFrom(root, "");
    });
}

} // namespace vantorelle
