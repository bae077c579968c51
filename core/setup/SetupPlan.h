// SetupPlan: a reviewed list of file edits, applied only if every file still reads as shown.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "setup/FileChange.h"
#include "ssh/SSHKey.h"

namespace vantorelle {

struct SetupPlanError
{
    enum class Kind {
        changedSinceShown, // the file's text differs from the change's `before` (or a file to remove is gone)
        unreadable, // the file exists but cannot be read, or is not valid UTF-8
        fileSystem, // creating, deleting, backing up or writing failed; `error` says why
    };
    Kind kind = Kind::changedSinceShown;
    std::filesystem::path url;
    std::error_code error;

    bool operator==(const SetupPlanError&) const = default;
};

struct SetupPlan
{
    // Applied in this order. An empty plan means there is nothing to do.
    std::vector<FileChange> changes;

    bool operator==(const SetupPlan&) const = default;

    // The suffix setup and undo pass to apply(); undo looks for it to tell a file setup created.
    static constexpr std::string_view backupSuffix = ".bak-vantorelle";

    static std::filesystem::path sshConfig(const std::filesystem::path& home);
    // ".bashrc" when the login shell's last path component is exactly "bash", the fish
    // configuration snippet when it is "fish", else ".zshenv".
    static std::filesystem::path shellFile(const std::filesystem::path& home, std::string_view loginShell);
    // Every start-up file setup may write, in the order they are checked: ".zshenv", ".bashrc",
    // then fish's "~/.config/fish/conf.d/vantorelle.fish".
    static std::vector<std::filesystem::path> shellFiles(const std::filesystem::path& home);
    // Whether any of them holds the managed block.
    static bool applied(const std::filesystem::path& home);
    // The keys whose paths the ssh block cannot hold (a line break or "${"): make() leaves them out.
    static std::vector<std::filesystem::path> leftOutKeys(const std::vector<SSHKey>& keys);

    // The setup: the ssh block at the top of the ssh configuration (naming the keys its own
    // configuration does not name already) and the askpass block at the bottom of the shell
    // start-up file. At most two changes, ssh configuration first; an unreadable file is left out.
    // Never fails.
    static SetupPlan make(const std::filesystem::path& home, std::string_view askpassPath,
                          const std::vector<SSHKey>& keys, std::string_view loginShell);

    // The plan that removes every managed block from this plan's files and the fixed files
    // (ssh configuration and every shellFiles() entry). A file that holds nothing else and was created by
    // setup (it has no backup) is deleted. Never fails.
    SetupPlan undo(const std::filesystem::path& home) const;

    // Checks every change first (nothing is written if any file no longer reads as its `before`),
    // then carries them out in order, stopping at the first failure; changes already carried out
    // stay. A new file inside a directory named ".ssh" gets mode 0600, a created directory 0700.
    std::expected<void, SetupPlanError> apply(std::string_view backupSuffix) const;
};

} // namespace vantorelle
