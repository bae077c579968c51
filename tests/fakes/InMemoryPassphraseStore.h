// InMemoryPassphraseStore: a PassphraseStore kept in a map; `failure`, while set, fails every read.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "ssh/PassphraseStore.h"

namespace vantorelle {

struct InMemoryPassphraseStore final : PassphraseStore
{
    std::expected<void, PassphraseStoreError> save(const SecretString& passphrase, const SSHKey& key) override
    {
        ++saves;
        items.insert_or_assign(key.path.string(), passphrase.copy());
        return {};
    }
    // As the secret store: `notFound` when none of the keys has a passphrase.
    std::expected<std::map<std::string, SecretString>, PassphraseStoreError>
    passphrases(const std::vector<SSHKey>& keys, std::shared_ptr<AuthenticationContext>) override
    {
        std::map<std::string, SecretString> found;
        for (const SSHKey& key : keys) {
            if (items.contains(key.path.string())) {
                found.emplace(key.path.string(), items.at(key.path.string()).copy());
            }
        }
        if (failure || found.empty()) {
            return std::unexpected(failure.value_or(PassphraseStoreError{PassphraseStoreError::Kind::notFound, {}}));
        }
        return found;
    }
    std::expected<void, PassphraseStoreError> remove(const SSHKey& key) override
    {
        items.erase(key.path.string());
        return {};
    }
    std::map<std::string, SecretString> items; // by private key path
    std::optional<PassphraseStoreError> failure;
    int saves = 0;
};

} // namespace vantorelle
