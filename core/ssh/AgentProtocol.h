// AgentProtocol: the ssh-agent messages for listing keys, and their fingerprints as ssh-add
// prints them.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace vantorelle::AgentProtocol {

inline constexpr std::uint8_t kRequestIdentities = 11;
inline constexpr std::uint8_t kIdentitiesAnswer = 12;
// ssh-add's own bounds: a longer answer or more keys is a malformed answer.
inline constexpr std::uint32_t kMaxMessageBytes = 256 * 1024;
inline constexpr std::uint32_t kMaxIdentities = 2048;

// Why an answer could not be read.
enum class Fault {
    incompleteMessage, // ends inside a field
    invalidFormat, // a wrong message type, a bad count or a key that does not parse
    refused, // the agent answered with a failure message
};
// The words ssh-add uses for the same faults ("incomplete message", ...).
std::string_view faultText(Fault fault);

// The whole request message, its length first.
std::string_view identitiesRequest();

// The fingerprints of the keys in an answer (the message without its length). Keys of a type
// ssh-add does not know are left out, as ssh-add leaves them out; a certificate counts with its
// key's fingerprint.
std::expected<std::set<std::string>, Fault> fingerprints(std::string_view message);

// "SHA256:" and the unpadded base64 of the digest of the key's plain public blob in canonical
// form; nothing for an unknown key type.
std::expected<std::optional<std::string>, Fault> fingerprint(std::string_view blob);

} // namespace vantorelle::AgentProtocol
