// SettingsTexts: what the settings window says about the setup, worked out from a snapshot of the
// controller's state so the wording rules run without widgets, files or services.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "setup/FileChange.h"
#include "setup/PrototypeMigration.h"
#include "setup/SetupStatus.h"
#include "ssh/SSHKey.h"
#include "sys/Clock.h"
#include "window/UnlockWindow.h"

namespace vantorelle::SettingsTexts {

struct Row
{
    SSHKey key;
    bool managed = false;
    bool stored = false;
    bool appleStored = false;
};

enum class CLIState { installed, outdated, absent, taken, unavailable };

struct Facts
{
    std::vector<Row> rows;
    bool scanning = false;
    std::vector<SetupStatus::Item> items; // always four, in step order
    std::filesystem::path home;
    std::filesystem::path shellFile; // the login shell's start-up file
    std::filesystem::path cliLink;
    CLIState cli = CLIState::absent;
    bool loginNeedsApproval = false;
    bool askpassFound = true;
    // False when the session has no user manager to carry the helper's variables.
    bool sessionEnvironment = true;
};

enum class Tone { plain, good, accent };

struct Step
{
    bool done = false;
    std::string text;
};

struct Checklist
{
    std::string overall;
    Tone overallTone = Tone::plain;
    Step key, ssh, cli, login;
    std::optional<std::size_t> formRow; // the key step offers the passphrase form for this row
    bool showConnect = false;
    bool connectEnabled = false;
    bool showInstall = false;
};

// Usable, managed and stored: the keys the ssh block is made for.
bool ready(const Row& row);
// A path ssh's configuration cannot carry (a line break, or "${", which ssh would expand): such a
// key is left out of the ssh block.
bool unsafeForSsh(const std::filesystem::path& path);

// The standardised path, with the home directory written as "~".
std::string displayPath(const std::filesystem::path& path, const std::filesystem::path& home);

Checklist checklist(const Facts& facts);
std::string rowState(const Row& row);

// The review card's summary line of one change.
std::string summary(const FileChange& change);
std::string leftoverLine(const Leftover& leftover, const std::filesystem::path& home);

// The settings header for the model's state at `now`.
std::string header(bool unlocked, const std::optional<UnlockWindow>& window, Date now);

} // namespace vantorelle::SettingsTexts
