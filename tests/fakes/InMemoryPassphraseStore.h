// InMemoryPassphraseStore: a PassphraseStore kept in a map; `failure`, while set, fails every read.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "ssh/PassphraseStore.h"

namespace vantorelle {

struct InMemoryPassphraseStore final : PassphraseStore
{
    using Done = std::expected<void, PassphraseStoreError>;
    Done save(const SecretString& passphrase, const SSHKey& key) override
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
            if (const auto item = items.find(key.path.string()); item != items.end()) {
                found.emplace(item->first, item->second.copy());
            }
        }
        if (failure || found.empty()) {
            return std::unexpected(failure.value_or(PassphraseStoreError{PassphraseStoreError::Kind::notFound, {}}));
        }
        return found;
    }
    Done remove(const SSHKey& key) override { return items.erase(key.path.string()), Done(); }
    std::map<std::string, SecretString> items; // by private key path
    std::optional<PassphraseStoreError> failure;
    int saves = 0;
};

} // namespace vantorelle
