// SSHKey: a private key found on disk and what the system can do with its passphrase.
#include "ssh/SSHKey.h"

#include <array>
#include <nlohmann/json.hpp>
#include <utility>

namespace vantorelle {

namespace {
constexpr std::array<std::pair<SSHKey::Status, std::string_view>, 4> kStatusNames{{
    {SSHKey::Status::usable, "usable"},
    {SSHKey::Status::noPassphrase, "noPassphrase"},
    {SSHKey::Status::hardwareToken, "hardwareToken"},
    {SSHKey::Status::otherAgent, "otherAgent"},
}};
} // namespace

std::string SSHKey::displayName() const
{
    return path.filename().string();
}

std::string_view toString(SSHKey::Status status)
{
    for (const auto& [value, name] : kStatusNames) {
        if (value == status) {
            return name;
        }
    }
    return "usable";
}

std::optional<SSHKey::Status> statusFromString(std::string_view raw)
{
    for (const auto& [value, name] : kStatusNames) {
        if (name == raw) {
            return value;
        }
    }
    return std::nullopt;
}

std::string encodeSSHKey(const SSHKey& key)
{
    nlohmann::ordered_json object;
    object["path"] = key.path.string();
    object["publicKeyPath"] = key.publicKeyPath.string();
    object["fingerprint"] = key.fingerprint;
    object["comment"] = key.comment;
    object["status"] = toString(key.status);
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<SSHKey> decodeSSHKey(std::string_view json)
{
    const nlohmann::json value = nlohmann::json::parse(json, nullptr, false);
    if (!value.is_object()) {
        return std::nullopt;
    }
    auto text = [&](const char* name) -> std::optional<std::string> {
        const auto it = value.find(name);
        if (it == value.end() || !it->is_string()) {
            return std::nullopt;
        }
        return it->get<std::string>();
    };
    const auto path = text("path");
    const auto publicKeyPath = text("publicKeyPath");
    const auto fingerprint = text("fingerprint");
    const auto comment = text("comment");
    const auto rawStatus = text("status");
    if (!path || !publicKeyPath || !fingerprint || !comment || !rawStatus) {
        return std::nullopt;
    }
    const auto status = statusFromString(*rawStatus);
    if (!status) {
        return std::nullopt;
    }
    return SSHKey{*path, *publicKeyPath, *fingerprint, *comment, *status};
}

} // namespace vantorelle
