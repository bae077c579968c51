// AgentClient: talks to one ssh-agent: ssh-add for adding and removing keys, the agent's own
// protocol for listing them.
#pragma once

#include <expected>
#include <set>
#include <string>
#include <string_view>

#include "ssh/AgentControlling.h"
#include "sys/Environment.h"

namespace vantorelle {

// Holds no state besides the socket path and the environment its children get, so one instance
// may be used from any thread. Every operation blocks until ssh-add or the agent has answered.
class AgentClient final : public AgentControlling
{
public:
    static constexpr double kAddTimeout = 15;
    // Listing and removing have no prompt; the limit only guards against an agent that never answers.
    static constexpr double kPlainTimeout = 30;

    // `socket` is the agent's Unix socket (what SSH_AUTH_SOCK would hold). Of `appEnvironment` only
    // HOME is passed on to ssh-add.
    explicit AgentClient(std::string socket, const Environment& appEnvironment = Environment::current());

    const std::string& socket() const { return m_socket; }
    // The complete environment of every ssh-add this client starts.
    const Environment& childEnvironment() const { return m_environment; }

    // Loads the key for the whole seconds of `lifetime` (at most 2^31 - 1), typing the passphrase
    // on a pseudo-terminal. invalidLifetime below 1 s or when not finite; a wrong passphrase ends
    // ssh-add at once (commandFailed), not at the time limit.
    std::expected<void, AgentClientError> add(const std::string& keyPath, const SecretString& passphrase,
                                              double lifetime) override;
    std::expected<void, AgentClientError> remove(const std::string& keyPath) override;
    // An empty agent gives the empty set; no agent on the socket gives commandFailed with the status
    // and message ssh-add would give (2, "Error connecting to agent: ..."), and so does an answer
    // that does not parse (1, "error fetching identities: ..."); an agent that takes the
    // connection and never answers gives timedOut after kPlainTimeout.
    std::expected<std::set<std::string>, AgentClientError> loadedFingerprints() override;

    // The "SHA256:..." second fields of `ssh-add -l -E sha256` output; other lines are skipped.
    // Listing no longer runs ssh-add; this reads its output where one is at hand.
    static std::set<std::string> parseFingerprints(std::string_view output);
    // The "-t" argument for a valid lifetime: whole seconds, capped at 2147483647.
    static std::string lifetimeArgument(double lifetime);

private:
    std::string m_socket;
    Environment m_environment;
};

} // namespace vantorelle
