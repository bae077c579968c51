// AgentControlling: the operations on ssh-agent that the unlock engine needs (AgentClient
// implements them with /usr/bin/ssh-add; tests use a fake).
#pragma once

#include <expected>
#include <set>
#include <string>

#include "ssh/AgentClientError.h"
#include "sys/SecretString.h"

namespace vantorelle {

class AgentControlling
{
public:
    virtual ~AgentControlling() = default;
    // Loads the private key at `keyPath` into the agent for `lifetime` seconds. Blocks.
    virtual std::expected<void, AgentClientError> add(const std::string& keyPath, const SecretString& passphrase,
                                                      double lifetime)
        = 0;
    // Removes the private key at `keyPath` and a certificate loaded with it ("<key>-cert.pub").
    // Blocks.
    virtual std::expected<void, AgentClientError> remove(const std::string& keyPath) = 0;
    // SHA-256 fingerprints ("SHA256:...", as in SSHKey::fingerprint) of the keys the agent holds.
    virtual std::expected<std::set<std::string>, AgentClientError> loadedFingerprints() = 0;
};

} // namespace vantorelle
