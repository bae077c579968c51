// AgentProtocol: the ssh-agent messages for listing keys, and their fingerprints as ssh-add
// prints them.
#include "ssh/AgentProtocol.h"

#include <array>

#include "sys/Sha256.h"

namespace vantorelle::AgentProtocol {

namespace {

constexpr std::uint8_t kFailure = 5;
constexpr std::uint8_t kFailure2 = 30;
constexpr std::uint8_t kComFailure = 102;

// A key's public fields in wire order: 'm' a multiple-precision integer, 's' a string taken as
// it is, 'e' an Ed25519 key (32 bytes), 'c' the curve name, 'p' the curve point (uncompressed).
struct KeyType
{
    std::string_view plain;
    std::string_view certificate;
    std::string_view fields;
    std::string_view curve = {};
    std::size_t pointBytes = 0;
};

constexpr std::array<KeyType, 8> kKeyTypes{{
    {"ssh-rsa", "ssh-rsa-cert-v01@openssh.com", "mm"},
    {"ssh-dss", "ssh-dss-cert-v01@openssh.com", "mmmm"},
    {"ecdsa-sha2-nistp256", "ecdsa-sha2-nistp256-cert-v01@openssh.com", "cp", "nistp256", 65},
    {"ecdsa-sha2-nistp384", "ecdsa-sha2-nistp384-cert-v01@openssh.com", "cp", "nistp384", 97},
    {"ecdsa-sha2-nistp521", "ecdsa-sha2-nistp521-cert-v01@openssh.com", "cp", "nistp521", 133},
    {"ssh-ed25519", "ssh-ed25519-cert-v01@openssh.com", "e"},
    {"sk-ecdsa-sha2-nistp256@openssh.com", "sk-ecdsa-sha2-nistp256-cert-v01@openssh.com", "cps", "nistp256", 65},
    {"sk-ssh-ed25519@openssh.com", "sk-ssh-ed25519-cert-v01@openssh.com", "es"},
}};

// What follows the key in a certificate: serial, type, key id, principals, validity, critical
// options, extensions, reserved, signature key, signature.
constexpr std::string_view kCertificateTail = "84ss88sssss";

struct Reader
{
    std::string_view rest;

    bool take(std::size_t count, std::string_view& out)
    {
        if (rest.size() < count) {
            return false;
        }
        out = rest.substr(0, count);
        rest.remove_prefix(count);
        return true;
    }
    bool u32(std::uint32_t& value)
    {
        std::string_view bytes;
        if (!take(4, bytes)) {
            return false;
        }
        value = 0;
        for (const char c : bytes) {
            value = value << 8 | static_cast<unsigned char>(c);
        }
        return true;
    }
    bool string(std::string_view& value)
    {
        std::uint32_t length = 0;
        return u32(length) && take(length, value);
    }
};

void putString(std::string& out, std::string_view value)
{
    const auto length = static_cast<std::uint32_t>(value.size());
    for (const int shift : {24, 16, 8, 0}) {
        out.push_back(static_cast<char>(length >> shift));
    }
    out.append(value);
}

// The shortest two's-complement form, as OpenSSH writes integers again before hashing them.
bool putInteger(std::string& out, std::string_view value)
{
    if (!value.empty() && (static_cast<unsigned char>(value.front()) & 0x80) != 0) {
        return false; // negative: no key has such a field
    }
    while (!value.empty() && value.front() == '\0') {
        value.remove_prefix(1);
    }
    if (!value.empty() && (static_cast<unsigned char>(value.front()) & 0x80) != 0) {
        putString(out, std::string(1, '\0').append(value));
    } else {
        putString(out, value);
    }
    return true;
}

std::string base64Unpadded(const std::array<std::uint8_t, 32>& bytes)
{
    static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (const std::uint8_t byte : bytes) {
        bits = bits << 8 | byte;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out.push_back(kAlphabet[(bits >> count) & 0x3f]);
        }
    }
    if (count > 0) {
        out.push_back(kAlphabet[(bits << (6 - count)) & 0x3f]);
    }
    return out;
}

} // namespace

std::string_view faultText(Fault fault)
{
    switch (fault) {
    case Fault::incompleteMessage:
        return "incomplete message";
    case Fault::invalidFormat:
        return "invalid format";
    case Fault::refused:
        return "agent refused operation";
    }
    return "invalid format";
}

std::string_view identitiesRequest()
{
    static constexpr char kRequest[] = {0, 0, 0, 1, static_cast<char>(kRequestIdentities)};
    return {kRequest, sizeof kRequest};
}

std::expected<std::optional<std::string>, Fault> fingerprint(std::string_view blob)
{
    Reader reader{blob};
    std::string_view name;
    if (!reader.string(name)) {
        return std::unexpected(Fault::invalidFormat);
    }
    const KeyType* type = nullptr;
    bool certificate = false;
    for (const KeyType& known : kKeyTypes) {
        if (name == known.plain || name == known.certificate) {
            type = &known;
            certificate = name == known.certificate;
        }
    }
    if (type == nullptr) {
        return std::optional<std::string>{};
    }
    std::string_view nonce;
    if (certificate && !reader.string(nonce)) {
        return std::unexpected(Fault::invalidFormat);
    }
    std::string plain;
    putString(plain, type->plain);
    for (const char field : type->fields) {
        std::string_view value;
        const bool valid = reader.string(value)
            && (field == 'm'       ? putInteger(plain, value)
                    : field == 'e' ? value.size() == 32
                    : field == 'c' ? value == type->curve
                    : field == 'p' ? value.size() == type->pointBytes && value.front() == '\x04'
                                   : true);
        if (!valid) {
            return std::unexpected(Fault::invalidFormat);
        }
        if (field != 'm') {
            putString(plain, value);
        }
    }
    if (certificate) {
        for (const char field : kCertificateTail) {
            std::string_view value;
            if (!(field == 's' ? reader.string(value) : reader.take(field - '0', value))) {
                return std::unexpected(Fault::invalidFormat);
            }
        }
    }
    if (!reader.rest.empty()) {
        return std::unexpected(Fault::invalidFormat);
    }
    return "SHA256:" + base64Unpadded(sha256(plain));
}

std::expected<std::set<std::string>, Fault> fingerprints(std::string_view message)
{
    Reader reader{message};
    std::string_view type;
    if (!reader.take(1, type)) {
        return std::unexpected(Fault::incompleteMessage);
    }
    const auto code = static_cast<std::uint8_t>(type.front());
    if (code == kFailure || code == kFailure2 || code == kComFailure) {
        return std::unexpected(Fault::refused);
    }
    if (code != kIdentitiesAnswer) {
        return std::unexpected(Fault::invalidFormat);
    }
    std::uint32_t count = 0;
    if (!reader.u32(count)) {
        return std::unexpected(Fault::incompleteMessage);
    }
    if (count > kMaxIdentities) {
        return std::unexpected(Fault::invalidFormat);
    }
    std::set<std::string> result;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string_view blob;
        std::string_view comment;
        if (!reader.string(blob) || !reader.string(comment)) {
            return std::unexpected(Fault::incompleteMessage);
        }
        auto print = fingerprint(blob);
        if (!print) {
            return std::unexpected(print.error());
        }
        if (*print) {
            result.insert(std::move(**print));
        }
    }
    return result;
}

} // namespace vantorelle::AgentProtocol
