// FakeAgent: an AgentControlling that keeps "loaded" keys in memory and records every call.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ssh/AgentControlling.h"

namespace vantorelle {

// A key added under a private-key path shows up in loadedFingerprints() as fingerprintOf(path)
// (by default "SHA256:" + path) and is removed by remove(path). Lifetimes are recorded,
// not enforced. Failures are injected per operation. Thread-safe.
class FakeAgent final : public AgentControlling
{
public:
    struct AddCall
    {
        std::string keyPath;
        SecretString passphrase;
        double lifetime = 0;
    };

    std::expected<void, AgentClientError> add(const std::string& keyPath, const SecretString& passphrase,
                                              double lifetime) override
    {
        std::lock_guard lock(m_mutex);
        addCalls.push_back({keyPath, passphrase.copy(), lifetime});
        if (auto it = addFailures.find(keyPath); it != addFailures.end()) {
            return std::unexpected(it->second);
        }
        if (acceptedPassphrases.contains(keyPath) && acceptedPassphrases.at(keyPath) != passphrase) {
            return std::unexpected(AgentClientError::commandFailed(1, "Bad passphrase"));
        }
        loaded[keyPath] = lifetime;
        return {};
    }

    std::expected<void, AgentClientError> remove(const std::string& keyPath) override
    {
        std::lock_guard lock(m_mutex);
        removeCalls.push_back(keyPath);
        if (removeFailure) {
            return std::unexpected(*removeFailure);
        }
        if (loaded.erase(keyPath) == 0) {
            return std::unexpected(AgentClientError::commandFailed(1, "Could not remove identity"));
        }
        return {};
    }

    std::expected<std::set<std::string>, AgentClientError> loadedFingerprints() override
    {
        std::lock_guard lock(m_mutex);
        ++listCalls;
        if (listFailure) {
            return std::unexpected(*listFailure);
        }
        std::set<std::string> fingerprints = extraFingerprints;
        for (const auto& [path, lifetime] : loaded) {
            fingerprints.insert(fingerprintOf(path));
        }
        return fingerprints;
    }

    // Scripting and inspection; lock-free reads are fine once the code under test has returned.
    std::function<std::string(const std::string& keyPath)> fingerprintOf
        = [](const std::string& keyPath) { return "SHA256:" + keyPath; };
    std::map<std::string, AgentClientError> addFailures; // by key path
    std::map<std::string, SecretString> acceptedPassphrases; // by key path; others take any
    std::optional<AgentClientError> removeFailure;
    std::optional<AgentClientError> listFailure;
    std::set<std::string> extraFingerprints; // keys the agent holds from elsewhere
    std::map<std::string, double> loaded; // key path -> lifetime
    std::vector<AddCall> addCalls;
    std::vector<std::string> removeCalls;
    int listCalls = 0;

private:
    std::mutex m_mutex;
};

} // namespace vantorelle
