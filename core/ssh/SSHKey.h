// SSHKey: a private key found on disk and what the system can do with its passphrase.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vantorelle {

struct SSHKey
{
    enum class Status { usable, noPassphrase, hardwareToken, otherAgent };

    std::filesystem::path path; // absolute, standardised path of the private key file
    std::filesystem::path publicKeyPath; // always path + ".pub", whether or not that file exists
    std::string fingerprint; // as `ssh-keygen -l` prints it: "SHA256:..."
    std::string comment; // empty when ssh-keygen reports "no comment"
    Status status = Status::usable;

    bool operator==(const SSHKey&) const = default;

    // The key file's name (last path component), as dialogs and the setup checklist show it.
    std::string displayName() const;
};

// Raw values "usable", "noPassphrase", "hardwareToken", "otherAgent" (the coded form).
std::string_view toString(SSHKey::Status status);
// Any other string yields nothing.
std::optional<SSHKey::Status> statusFromString(std::string_view raw);

// The JSON form: {"path", "publicKeyPath", "fingerprint", "comment", "status"} in that order,
// the status as its raw value. Invalid UTF-8 in a path or comment is replaced, never thrown.
std::string encodeSSHKey(const SSHKey& key);
// Nothing for anything else (never throws); all five members are required, others ignored.
std::optional<SSHKey> decodeSSHKey(std::string_view json);

} // namespace vantorelle
