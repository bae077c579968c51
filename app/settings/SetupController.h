// SetupController: the state and the actions behind the settings window. Keys and their
// passphrases, the reviewed ssh and shell setup with its undo, the prototype's leftovers, the
// command-line link, the login item, the unlock duration and the language choice.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/LanguageOverride.h"
#include "setup/LineDiff.h"
#include "setup/PrototypeMigration.h"
#include "setup/SetupPlan.h"
#include "setup/SetupStatus.h"
#include "ssh/SSHKey.h"
#include "sys/SecretString.h"

class QThreadPool;

namespace vantorelle {

class AgentControlling;
class Autostart;
class Defaults;
class PassphraseStore;
class SessionEnvironment;

// Secret Service items that are not this app's passphrases: the ones GNOME Keyring's own SSH agent
// saved for a key, and the earlier prototype's. Called off the GUI thread; every call has a deadline.
class ForeignSecrets
{
public:
    virtual ~ForeignSecrets() = default;
    // Whether a passphrase item of this app exists for the key (locked or not; never prompts).
    virtual bool hasPassphrase(const std::string& keyPath) = 0;
    // Whether any item with attribute service = `service` exists (failures answer false).
    virtual bool serviceHasItems(std::string_view service) = 0;
    // Deletes one item with attribute service = `service`.
    virtual PrototypeMigration::KeychainDeleteResult deleteServiceItem(std::string_view service) = 0;
    // GNOME Keyring's own item for the key (attribute unique = "ssh-store:" + path).
    virtual bool hasAgentItem(const std::string& keyPath) = 0;
    virtual bool deleteAgentItem(const std::string& keyPath) = 0;
};

// Where the app's pieces are and whom the account belongs to; fixed at creation.
struct SetupPlace
{
    std::filesystem::path home;
    std::string loginShell; // the account shell; empty when unknown ("/bin/zsh" is assumed)
    std::optional<std::filesystem::path> askpassPath; // "vantorelle-askpass" beside the app, when there
    std::optional<std::filesystem::path> cliTarget; // "vantorelle" beside the app, when there
    std::string appExecPath; // what the login item starts
    std::filesystem::path cliLinkPath() const { return home / ".local/bin/vantorelle"; }
    // The running app's: its helpers are the files beside `appExecPath`, the shell the account's.
    static SetupPlace forApp(const std::filesystem::path& home, const std::filesystem::path& appExecPath);
    std::string shell() const { return loginShell.empty() ? std::string("/bin/zsh") : loginShell; }
};

// Moves a file or directory to the desktop's Trash (a dangling link, which the Trash refuses, is
// removed); false when it could not.
bool moveToDesktopTrash(const std::filesystem::path& path);

// The outside world. `store`, `secrets`, `agent`, `session` and `moveToTrash` are called on the
// controller's one worker thread (one call at a time); `autostart` and `defaults` on the GUI thread.
struct SetupServices
{
    PassphraseStore* store = nullptr;
    ForeignSecrets* secrets = nullptr;
    AgentControlling* agent = nullptr;
    SessionEnvironment* session = nullptr;
    Autostart* autostart = nullptr;
    Defaults* defaults = nullptr; // GUI thread only
    // Moves a file or directory to the desktop's Trash; false when it could not.
    std::function<bool(const std::filesystem::path&)> moveToTrash;
};

class SetupController : public QObject
{
    Q_OBJECT
public:
    enum class CLIState { installed, outdated, absent, taken, unavailable };

    struct KeyRow
    {
        SSHKey key;
        bool managed = false;
        bool stored = false; // a passphrase item exists in the store
        bool appleStored = false; // GNOME Keyring's own SSH agent keeps a passphrase for it
        bool leftOut = false; // its path cannot be written into the ssh block ("${" or a line break)
        bool operator==(const KeyRow&) const = default;
    };

    struct Review
    {
        enum class Kind { apply, undo, migration };
        Kind kind = Kind::apply;
        SetupPlan plan;
        std::vector<Leftover> leftovers; // migration only
        std::string id() const; // "apply", "undo", "migration"
        bool operator==(const Review&) const = default;
    };

    // One card of the review sheet.
    struct Card
    {
        std::string displayPath; // home written as "~"
        std::string summary; // one localised line
        bool showsDiff = true; // false for a change that removes the file
        std::vector<LineDiff::Line> diff; // unified, context 2
        std::string diffText() const; // " ", "+", "-" prefixed lines, "…" for a fold
    };

    // The published state, copied out whole.
    struct State
    {
        std::vector<KeyRow> rows;
        bool scanning = false;
        bool busy = false;
        bool setupApplied = false;
        bool sshConfigBlock = false;
        bool shellBlock = false;
        std::string launchAskpass;
        // false where the user's systemd cannot be reached: the environment steps then do nothing.
        bool sessionEnvironment = true;
        CLIState cliState = CLIState::absent;
        std::vector<Leftover> leftovers;
        bool loginOn = false;
        bool loginNeedsApproval = false; // never true here: the autostart entry needs no approval
        bool loginEnabled = false;
        double duration = 10800;
        LanguageOverride::Choice language = LanguageOverride::Choice::automatic;
        std::optional<Review> review;
        std::optional<std::string> message;
    };

    // The checklist's lines, localised.
    struct Checklist
    {
        int remaining = 0;
        std::string overall;
        bool keyDone = false;
        std::string keyLine;
        std::optional<KeyRow> keyFormRow; // the one key the key step offers the passphrase form for
        bool sshDone = false;
        std::string sshLine;
        bool connectShown = false;
        bool connectEnabled = false;
        std::string cliLine;
        bool installShown = false;
        bool loginDone = false;
        std::string loginLine;
    };

    SetupController(SetupPlace place, SetupServices services, std::function<void()> onChange,
                    QObject* parent = nullptr);
    ~SetupController() override; // waits for the running background task

    const State& state() const { return m_state; }
    const SetupPlace& place() const { return m_place; }

    // Derived lists.
    std::vector<KeyRow> readyRows() const;
    std::vector<SetupStatus::Item> statusItems() const;
    Checklist checklist() const;
    std::filesystem::path shellFile() const; // the login shell's start-up file
    static std::string rowStateKey(const KeyRow& row);
    std::string displayPath(const std::filesystem::path& path) const;
    std::vector<Card> cards(const Review& review) const;
    std::vector<std::string> migrationLines(const std::vector<Leftover>& leftovers) const;
    static std::string summary(const FileChange& change);

    // Actions. The ones that finish later report through `done` (on the GUI thread) and changed().
    void refresh();
    void addPassphrase(const KeyRow& row, SecretString passphrase, SecretString confirmation,
                       std::function<void(bool)> done = {});
    void savePassphrase(const KeyRow& row, SecretString passphrase, std::function<void(bool)> done = {});
    void store(SecretString passphrase, const KeyRow& row, std::function<void(bool)> done = {});

    // What taking the key out would do: unmanaging it would break ssh (offer the undo), or not.
    enum class UnmanageChoice { offerUndo, confirm };
    UnmanageChoice confirmUnmanage(const KeyRow& row) const;
    void reviewUndo(); // the "settings.undo.button" of the last-key alert and of the window
    void unmanage(const KeyRow& row);
    void deleteAppleEntry(const KeyRow& row);

    void reviewApply();
    void reviewMigration();
    void confirmReview(Review review);
    void cancelReview();

    void installCLI();
    void setLoginItem(bool enabled);
    void stepDuration(int step);
    void setLanguage(LanguageOverride::Choice choice);
    void clearMessage();

    // The error text of a failed plan application.
    static std::string errorText(const SetupPlanError& error);

signals:
    void changed();

private:
    struct ScanResult;
    template <typename Work, typename Then> void background(Work work, Then then);
    void publish();
    void say(std::string message);
    void refreshLogin();
    CLIState computeCLIState() const;
    std::vector<std::string> managedPaths() const;
    void writeManagedPaths(const std::vector<std::string>& paths);
    void finishUndo(const SetupPlan& plan);
    void finishMigration(const std::vector<Leftover>& leftovers, const SetupPlan& plan);
    void exportEnvironmentThen(std::string message);

    SetupPlace m_place;
    SetupServices m_services;
    std::function<void()> m_onChange;
    State m_state;
    std::unique_ptr<QThreadPool> m_pool;
    int m_scanGeneration = 0;
};

} // namespace vantorelle
