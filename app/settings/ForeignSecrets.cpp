// SecretServiceForeignSecrets: attribute searches through the passphrase store's Secret Service calls.
#include "settings/SecretServiceForeignSecrets.h"

namespace vantorelle {

SecretServiceForeignSecrets::SecretServiceForeignSecrets(SecretServicePassphraseStore::Timeouts timeouts)
    : m_store(timeouts)
{
}

bool SecretServiceForeignSecrets::hasPassphrase(const std::string& keyPath)
{
    return m_store.hasPassphrase(keyPath);
}

bool SecretServiceForeignSecrets::serviceHasItems(std::string_view service)
{
    return m_store.hasItems({{"service", std::string(service)}});
}

PrototypeMigration::KeychainDeleteResult SecretServiceForeignSecrets::deleteServiceItem(std::string_view service)
{
    using Result = PrototypeMigration::KeychainDeleteResult;
    switch (m_store.deleteOneItem({{"service", std::string(service)}})) {
    case SecretServicePassphraseStore::DeleteOne::deleted:
        return Result::deleted;
    case SecretServicePassphraseStore::DeleteOne::notFound:
        return Result::notFound;
    case SecretServicePassphraseStore::DeleteOne::failed:
        break;
    }
    return Result::failed;
}

bool SecretServiceForeignSecrets::hasAgentItem(const std::string& keyPath)
{
    return m_store.hasItems({{"unique", agentItemUnique(keyPath)}});
}

bool SecretServiceForeignSecrets::deleteAgentItem(const std::string& keyPath)
{
    return m_store.deleteOneItem({{"unique", agentItemUnique(keyPath)}})
        == SecretServicePassphraseStore::DeleteOne::deleted;
}

} // namespace vantorelle
