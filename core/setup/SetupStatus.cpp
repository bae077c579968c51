// SetupStatus: the setup checklist.
#include "setup/SetupStatus.h"

#include <algorithm>

#include "sys/Files.h"

namespace vantorelle::SetupStatus {

std::vector<Item> evaluate(const SetupFacts& facts)
{
    const bool keyDone = !facts.managedKeys.empty()
        && std::ranges::all_of(facts.managedKeys, [](const auto& key) { return key.passphraseStored; });

    std::vector<Missing> missing;
    if (!facts.sshConfigBlock) {
        missing.push_back(Missing::sshConfig);
    }
    if (!facts.shellBlock) {
        missing.push_back(Missing::shellFile);
    }
    if (facts.sessionEnvironment
        && (facts.launchAskpass.empty() || !facts.appAskpass
            || Files::standardizedPath(*facts.appAskpass) != Files::standardizedPath(facts.launchAskpass))) {
        missing.push_back(Missing::appEnvironment);
    }
    const bool sshDone = missing.empty();

    return {
        Item{Step::key, keyDone, {}},
        Item{Step::ssh, sshDone, std::move(missing)},
        Item{Step::cli, facts.cliLinked, {}},
        Item{Step::login, facts.loginEnabled, {}},
    };
}

int remaining(const std::vector<Item>& items)
{
    return static_cast<int>(std::ranges::count_if(items, [](const Item& item) { return !item.done; }));
}

} // namespace vantorelle::SetupStatus
