// SecretServicePassphraseStore: the key passphrases in the desktop's Secret Service, one item per key.
#pragma once

#include <chrono>
#include <string>

#include "ssh/PassphraseStore.h"

namespace vantorelle {

// Items have the schema "org.vantorelle.Vantorelle.passphrase" with the attributes service =
// bundle id + ".passphrase" and account = the key path exactly as given; new ones go to the
// default collection. Keeps no state: every call asks the Secret Service over its own connection
// objects, so any thread may call (the coordinator reads on its executor, the settings save and
// probe elsewhere), but each call blocks its thread for at most its deadline.
//
// Reads without a context never prompt: a locked item reads as `cancelled` ("read refused: locked"
// in the log). Any non-null context stands for an approval the user just gave: the read may then
// ask the Secret Service to unlock, once per call. A call that does not finish by its deadline
// is cancelled and reported as `cancelled`; the store never waits longer.
// There is no `invalidated` here: the Secret Service has no item that exists but can no longer
// be read.
class SecretServicePassphraseStore final : public PassphraseStore
{
public:
    struct Timeouts
    {
        std::chrono::milliseconds call = std::chrono::seconds(10); // calls that cannot prompt
        std::chrono::milliseconds prompt = std::chrono::minutes(2); // calls that may show a prompt
    };

    SecretServicePassphraseStore();
    explicit SecretServicePassphraseStore(Timeouts timeouts);

    std::expected<void, PassphraseStoreError> save(const SecretString& passphrase, const SSHKey& key) override;
    std::expected<std::map<std::string, SecretString>, PassphraseStoreError>
    passphrases(const std::vector<SSHKey>& keys, std::shared_ptr<AuthenticationContext> context) override;
    std::expected<void, PassphraseStoreError> remove(const SSHKey& key) override;

    // Whether an item exists for `keyPath`, locked or not, found without unlocking or prompting.
    // Any failure (no Secret Service, deadline) answers false.
    bool hasPassphrase(const std::string& keyPath);

    // Items of any schema, matched on these attributes alone: other programs' items (GNOME
    // Keyring's SSH agent, an earlier tool). Whether one exists, found without unlocking or
    // prompting (any failure answers false); deleting one unlocks it first, which may prompt.
    using Attributes = std::map<std::string, std::string>;
    bool hasItems(const Attributes& attributes);
    enum class DeleteOne { deleted, notFound, failed };
    DeleteOne deleteOneItem(const Attributes& attributes);

    static constexpr const char* schemaName = "org.vantorelle.Vantorelle.passphrase";
    static std::string serviceAttribute(); // bundle id + ".passphrase"

private:
    Timeouts m_timeouts;
};

} // namespace vantorelle
