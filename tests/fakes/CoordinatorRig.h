// CoordinatorRig: the coordinator's fakes wired into its dependencies, shared by every suite that
// runs an UnlockCoordinator (on the manual executor, on a thread, behind the socket server).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "fakes/FakeAgent.h"
#include "fakes/FakeClock.h"
#include "fakes/FakeUnlockPresenter.h"
#include "fakes/InMemoryPassphraseStore.h"
#include "fakes/MemoryUnlockWindowStore.h"
#include "unlock/UnlockCoordinator.h"

namespace vantorelle {

// A literal has two equally good SecretString constructors; pick one.
inline SecretString secret(std::string_view text)
{
    return SecretString(text);
}

// A managed key as FakeAgent reports it once loaded ("SHA256:" + path).
inline SSHKey fakeKey(const std::string& path, const std::string& comment = {})
{
    SSHKey key;
    key.path = path;
    key.publicKeyPath = path + ".pub";
    key.fingerprint = "SHA256:" + path;
    key.comment = comment;
    return key;
}

struct CoordinatorRig
{
    // Managed keys at `paths`, each with `passphraseOf(path)` in the store.
    explicit CoordinatorRig(const std::vector<std::string>& paths = {},
                            std::function<std::string(const std::string&)> passphraseOf = {})
    {
        for (const auto& path : paths) {
            keys.push_back(fakeKey(path));
            (void)store.save(secret(passphraseOf(path)), keys.back());
        }
        store.saveCalls = 0;
    }

    UnlockCoordinator::Dependencies dependencies()
    {
        return {
            .keys = [this] { return keys; },
            .duration = [this] { return configuredDuration; },
            .store = store,
            .agent = agent,
            .presenter = presenter,
            .resolve = [this](std::int32_t pid, const std::optional<std::string>& why) { return resolve(pid, why); },
            .clock = clock,
            .verify = [this](const SecretString& pass, const std::string& path) { return verify(pass, path); },
            .callerName = [this](std::int32_t pid) { return callerName(pid); },
            .windowStore = &windowStore,
        };
    }

    std::vector<SSHKey> keys;
    double configuredDuration = 3600;
    FakeClock clock;
    FakeAgent agent;
    InMemoryPassphraseStore store;
    FakeUnlockPresenter presenter;
    MemoryUnlockWindowStore windowStore;
    std::function<Requester(std::int32_t, const std::optional<std::string>&)> resolve
        = [](std::int32_t, const std::optional<std::string>&) {
              return Requester{"git", Requester::Kind::interactive};
          };
    std::function<bool(const SecretString&, const std::string&)> verify
        = [](const SecretString&, const std::string&) { return false; };
    std::function<std::optional<std::string>(std::int32_t)> callerName
        = [](std::int32_t) -> std::optional<std::string> { return std::nullopt; };
};

} // namespace vantorelle
