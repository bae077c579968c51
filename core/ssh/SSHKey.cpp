// SSHKey: a private key found on disk and what the system can do with its passphrase.
#include "ssh/SSHKey.h"

#include <array>
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

} // namespace vantorelle
