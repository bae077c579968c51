// PassphraseStore: where key passphrases are kept (the app implements it on the Secret Service).
#pragma once

#include <expected>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ssh/SSHKey.h"
#include "sys/SecretString.h"

namespace vantorelle {

// The opaque approval context a biometric approval hands over (the app subclasses it).
class AuthenticationContext
{
public:
    virtual ~AuthenticationContext() = default;
};

struct PassphraseStoreError
{
    enum class Kind {
        notFound, // none of the requested keys has a stored passphrase
        invalidated, // a stored passphrase exists but can no longer be read
        cancelled, // the user cancelled the authentication, or asking was not allowed
        other, // the implementation's own failure; `detail` says what (never a secret)
    };
    Kind kind = Kind::other;
    std::string detail;
    bool operator==(const PassphraseStoreError&) const = default;
};

// All calls are synchronous. Implementations say which threads they may be called from.
class PassphraseStore
{
public:
    virtual ~PassphraseStore() = default;

    // Stores the passphrase for `key` (only its path identifies it), replacing an earlier one.
    virtual std::expected<void, PassphraseStoreError> save(const SecretString& passphrase, const SSHKey& key) = 0;

    // Reads the stored passphrases of `keys`: key path (SSHKey::path as a string) -> passphrase, only
    // for keys that have one. With `context` (from an approval) the read must not ask the user again;
    // without it (or with a context of another kind) it must not ask at all and fails instead.
    // invalidated: as soon as a key's passphrase exists but cannot be read; cancelled: the user
    // cancelled or asking was not allowed; notFound: nothing was read and at least one key had no
    // stored passphrase. An empty key list gives an empty map.
    virtual std::expected<std::map<std::string, SecretString>, PassphraseStoreError>
    passphrases(const std::vector<SSHKey>& keys, std::shared_ptr<AuthenticationContext> context) = 0;

    // Removes the stored passphrase of `key`; nothing stored is not an error.
    virtual std::expected<void, PassphraseStoreError> remove(const SSHKey& key) = 0;
};

} // namespace vantorelle
