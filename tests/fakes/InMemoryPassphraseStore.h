// InMemoryPassphraseStore: a PassphraseStore kept in a map, with switches for the store's failures.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "ssh/PassphraseStore.h"

namespace vantorelle {

// Behaves as the secret store must: reads without a context fail with `cancelled` while the store is
// "locked"; a path marked invalidated reads as `invalidated`; `notFound` when nothing was read and
// at least one key had nothing stored. Thread-safe.
class InMemoryPassphraseStore final : public PassphraseStore
{
public:
    std::expected<void, PassphraseStoreError> save(const SecretString& passphrase, const SSHKey& key) override
    {
        std::lock_guard lock(m_mutex);
        ++saveCalls;
        if (failNext) {
            return std::unexpected(*std::exchange(failNext, std::nullopt));
        }
        m_items.insert_or_assign(key.path.string(), passphrase.copy());
        m_invalidated.erase(key.path.string());
        return {};
    }

    std::expected<std::map<std::string, SecretString>, PassphraseStoreError>
    passphrases(const std::vector<SSHKey>& keys, std::shared_ptr<AuthenticationContext> context) override
    {
        std::lock_guard lock(m_mutex);
        ++readCalls;
        lastContext = context;
        if (failNext) {
            return std::unexpected(*std::exchange(failNext, std::nullopt));
        }
        std::map<std::string, SecretString> result;
        if (keys.empty()) {
            return result;
        }
        if (locked && !context) {
            return std::unexpected(PassphraseStoreError{PassphraseStoreError::Kind::cancelled, "locked"});
        }
        bool missing = false;
        for (const auto& key : keys) {
            const std::string path = key.path.string();
            if (m_invalidated.contains(path)) {
                return std::unexpected(PassphraseStoreError{PassphraseStoreError::Kind::invalidated, path});
            }
            if (auto it = m_items.find(path); it != m_items.end()) {
                result.emplace(path, it->second.copy());
            } else {
                missing = true;
            }
        }
        if (result.empty() && missing) {
            return std::unexpected(PassphraseStoreError{PassphraseStoreError::Kind::notFound, {}});
        }
        return result;
    }

    std::expected<void, PassphraseStoreError> remove(const SSHKey& key) override
    {
        std::lock_guard lock(m_mutex);
        ++removeCalls;
        if (failNext) {
            return std::unexpected(*std::exchange(failNext, std::nullopt));
        }
        m_items.erase(key.path.string());
        m_invalidated.erase(key.path.string());
        return {};
    }

    // Test controls.
    void markInvalidated(const std::string& path)
    {
        std::lock_guard lock(m_mutex);
        m_invalidated.insert(path);
    }
    bool has(const std::string& path) const
    {
        std::lock_guard lock(m_mutex);
        return m_items.contains(path);
    }
    std::optional<SecretString> stored(const std::string& path) const
    {
        std::lock_guard lock(m_mutex);
        if (auto it = m_items.find(path); it != m_items.end()) {
            return it->second.copy();
        }
        return std::nullopt;
    }

    bool locked = false; // reads without a context are refused (cancelled)
    std::optional<PassphraseStoreError> failNext; // the next call of any kind fails with this
    int saveCalls = 0;
    int readCalls = 0;
    int removeCalls = 0;
    std::shared_ptr<AuthenticationContext> lastContext;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, SecretString> m_items;
    std::set<std::string> m_invalidated;
};

} // namespace vantorelle
