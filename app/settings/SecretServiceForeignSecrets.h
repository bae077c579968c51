// SecretServiceForeignSecrets: ForeignSecrets on the desktop's Secret Service.
#pragma once

#include "platform/SecretServicePassphraseStore.h"
#include "settings/SetupController.h"

namespace vantorelle {

// GNOME Keyring's SSH agent keeps a key's passphrase under unique = "ssh-store:" + the key path;
// the prototype kept its items under service = its service name.
class SecretServiceForeignSecrets final : public ForeignSecrets
{
public:
    explicit SecretServiceForeignSecrets(SecretServicePassphraseStore::Timeouts timeouts = {});

    bool hasPassphrase(const std::string& keyPath) override;
    bool serviceHasItems(std::string_view service) override;
    PrototypeMigration::KeychainDeleteResult deleteServiceItem(std::string_view service) override;
    bool hasAgentItem(const std::string& keyPath) override;
    bool deleteAgentItem(const std::string& keyPath) override;

    static std::string agentItemUnique(const std::string& keyPath) { return "ssh-store:" + keyPath; }

private:
    SecretServicePassphraseStore m_store;
};

} // namespace vantorelle
