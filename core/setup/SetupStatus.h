// SetupStatus: the four-step setup checklist, evaluated from a snapshot of facts.
#pragma once

#include <array>
#include <vector>

#include "setup/SetupFacts.h"

namespace vantorelle::SetupStatus {

enum class Step { key, ssh, cli, login };
inline constexpr std::array<Step, 4> allCases{Step::key, Step::ssh, Step::cli, Step::login};

enum class Missing { sshConfig, shellFile, appEnvironment };

struct Item
{
    Step step = Step::key;
    bool done = false;
    std::vector<Missing> missing; // what keeps the step from being done; filled for `ssh` only
    bool operator==(const Item&) const = default;
};

// Always four items, in `allCases` order. Pure: touches no file (paths are compared after
// standardising them, links not followed).
std::vector<Item> evaluate(const SetupFacts& facts);

// How many items are not done.
int remaining(const std::vector<Item>& items);

} // namespace vantorelle::SetupStatus
