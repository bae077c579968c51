// SetupFacts: a snapshot of what is in place on the machine, from which the setup checklist is made.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vantorelle {

struct SetupFacts
{
    struct ManagedKey
    {
        std::string name; // the key's display name (its file name)
        bool passphraseStored = false;
        bool operator==(const ManagedKey&) const = default;
    };

    std::vector<ManagedKey> managedKeys; // the keys the user chose to manage
    bool sshConfigBlock = false; // the ssh configuration holds the managed block
    bool shellBlock = false; // the login shell's start-up file holds the managed block
    std::string launchAskpass; // SSH_ASKPASS in the user's session environment; empty when unset
    std::optional<std::string> appAskpass; // this application's own helper; absent when not found
    bool cliLinked = false; // the command-line tool link is in place
    bool loginEnabled = false; // the application starts at login
    // false where the session environment cannot be changed (no user systemd): the ssh step then
    // needs only its two files, since no later step could ever put the helper there.
    bool sessionEnvironment = true;

    bool operator==(const SetupFacts&) const = default;
};

} // namespace vantorelle
