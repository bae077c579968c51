// SetupController: the settings' actions. Anything that may wait (ssh-keygen, the Secret Service,
// systemctl, the agent, a scan) runs on the controller's one worker thread, in the order asked,
// and its result hops back to the GUI thread before it touches the state.
#include "settings/SetupController.h"

#include <QFile>
#include <QMetaObject>
#include <QStandardPaths>
#include <QThreadPool>
#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

#include "defaults/Defaults.h"
#include "i18n/L.h"
#include "platform/Autostart.h"
#include "platform/Log.h"
#include "platform/SessionEnvironment.h"
#include "setup/ManagedKeyRules.h"
#include "setup/MarkedBlock.h"
#include "setup/SetupFiles.h"
#include "ssh/AgentControlling.h"
#include "ssh/KeyPassphrase.h"
#include "ssh/KeyScanner.h"
#include "ssh/PassphraseStore.h"
#include "ssh/PassphraseVerifier.h"
#include "sys/Environment.h"
#include "sys/Files.h"
#include "window/DurationPolicy.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kCategory = "settings";
constexpr std::string_view kBackupSuffix = SetupPlan::backupSuffix;
// A link into another install of the app (an older copy) may be replaced; anything else is the user's.
constexpr std::string_view kInstallSuffix = "/lib/vantorelle/vantorelle";
constexpr std::string_view kPrototypeName = "ssh-quillgate";

std::string joined(const std::vector<std::string>& parts)
{
    std::string out;
    for (const auto& part : parts) {
        out += out.empty() ? "" : ", ";
        out += part;
    }
    return out;
}

std::optional<fs::path> linkDestination(const fs::path& path)
{
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec))) {
        return std::nullopt;
    }
    auto target = fs::read_symlink(path, ec);
    if (ec) {
        return std::nullopt;
    }
    return target;
}

bool pointsAtAnInstall(const fs::path& destination, const std::optional<fs::path>& current)
{
    return (current && destination == *current) || destination.string().ends_with(kInstallSuffix);
}

// The agent knows a key by its public half when there is one.
std::string agentPath(const fs::path& keyPath)
{
    const fs::path pub = keyPath.string() + ".pub";
    std::error_code ec;
    return fs::exists(pub, ec) ? pub.string() : keyPath.string();
}

std::string lineText(int count)
{
    return count == 1 ? L("settings.review.lines.one", {std::to_string(count)})
                      : L("settings.review.lines.many", {std::to_string(count)});
}

} // namespace

struct SetupController::ScanResult
{
    std::vector<SSHKey> keys;
    std::set<std::string> stored;
    std::set<std::string> apple;
    std::vector<Leftover> leftovers;
    std::string launchAskpass;
    bool sessionEnvironment = false;
};

bool moveToDesktopTrash(const fs::path& path)
{
    // The Trash refuses a link that points nowhere; it holds nothing to keep, so it simply goes.
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(path, ec)) && !fs::exists(path, ec) && !ec) {
        return fs::remove(path, ec) && !ec;
    }
    // Without the data directory Qt finds no Trash in the home, and then moves the item into
    // "files" under the current directory and reports success.
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty() || !Files::createDirectories(data.toStdString(), 0700)) {
        return false;
    }
    return QFile::moveToTrash(QString::fromStdString(path.string()));
}

SetupPlace SetupPlace::forApp(const fs::path& home, const fs::path& appExecPath)
{
    auto beside = [&](const char* name) -> std::optional<fs::path> {
        std::error_code ec;
        const fs::path path = appExecPath.parent_path() / name;
        return fs::is_regular_file(path, ec) ? std::optional(path) : std::nullopt;
    };
    return {home, accountShell().value_or(""), beside("vantorelle-askpass"), beside("vantorelle"),
            appExecPath.string()};
}

std::string SetupController::Review::id() const
{
    switch (kind) {
    case Kind::apply:
        return "apply";
    case Kind::undo:
        return "undo";
    case Kind::migration:
        return "migration";
    }
    return {};
}

std::string SetupController::Card::diffText() const
{
    std::string out;
    for (const auto& line : diff) {
        switch (line.kind) {
        case LineDiff::Kind::context:
            out += " " + line.text;
            break;
        case LineDiff::Kind::added:
            out += "+" + line.text;
            break;
        case LineDiff::Kind::removed:
            out += "-" + line.text;
            break;
        case LineDiff::Kind::skipped:
            out += "…";
            break;
        }
        out += "\n";
    }
    return out;
}

SetupController::SetupController(SetupPlace place, SetupServices services, std::function<void()> onChange,
                                 QObject* parent)
    : QObject(parent)
    , m_place(std::move(place))
    , m_services(std::move(services))
    , m_onChange(std::move(onChange))
    , m_pool(std::make_unique<QThreadPool>())
{
    m_pool->setMaxThreadCount(1);
    m_state.duration = DurationPolicy::configured(m_services.defaults->number("unlockDuration"));
    m_state.language = LanguageOverride::current(*m_services.defaults);
}

SetupController::~SetupController()
{
    // Results still queued for this object are dropped with it; the work itself must finish first.
    m_pool->waitForDone();
}

template <typename Work, typename Then> void SetupController::background(Work work, Then then)
{
    m_pool->start([this, work = std::move(work), then = std::move(then)]() mutable {
        auto result = std::make_shared<decltype(work())>(work());
        QMetaObject::invokeMethod(
            this, [this, result, then = std::move(then)]() mutable { then(std::move(*result)); }, Qt::QueuedConnection);
    });
}

void SetupController::publish()
{
    emit changed();
}

void SetupController::say(std::string message)
{
    m_state.message = std::move(message);
    publish();
}

void SetupController::clearMessage()
{
    m_state.message.reset();
    publish();
}

// ---- derived lists -------------------------------------------------------------------------------

std::vector<SetupController::KeyRow> SetupController::readyRows() const
{
    std::vector<KeyRow> ready;
    for (const auto& row : m_state.rows) {
        if (row.key.status == SSHKey::Status::usable && row.managed && row.stored) {
            ready.push_back(row);
        }
    }
    return ready;
}

std::vector<SetupStatus::Item> SetupController::statusItems() const
{
    SetupFacts facts;
    for (const auto& row : m_state.rows) {
        if (row.managed) {
            facts.managedKeys.push_back({row.key.displayName(), row.stored});
        }
    }
    facts.sshConfigBlock = m_state.sshConfigBlock;
    facts.shellBlock = m_state.shellBlock;
    facts.launchAskpass = m_state.launchAskpass;
    if (m_place.askpassPath) {
        facts.appAskpass = m_place.askpassPath->string();
    }
    facts.cliLinked = m_state.cliState == CLIState::installed;
    facts.loginEnabled = m_state.loginEnabled;
    facts.sessionEnvironment = m_state.sessionEnvironment;
    return SetupStatus::evaluate(facts);
}

fs::path SetupController::shellFile() const
{
    return SetupPlan::shellFile(m_place.home, m_place.shell());
}

std::string SetupController::displayPath(const fs::path& path) const
{
    const std::string standard = Files::standardizedPath(path).string();
    const std::string home = Files::standardizedPath(m_place.home).string() + "/";
    if (standard.starts_with(home)) {
        return "~" + standard.substr(home.size() - 1);
    }
    return standard;
}

std::string SetupController::rowStateKey(const KeyRow& row)
{
    switch (row.key.status) {
    case SSHKey::Status::hardwareToken:
        return "settings.keys.state.hardware";
    case SSHKey::Status::otherAgent:
        return "settings.keys.state.otheragent";
    case SSHKey::Status::noPassphrase:
        return "settings.keys.state.nopassphrase";
    case SSHKey::Status::usable:
        break;
    }
    if (!row.managed) {
        return "settings.keys.state.available";
    }
    if (!row.stored) {
        return "settings.keys.state.needspassphrase";
    }
    // Managed and stored, but ssh cannot be told about it: say so rather than "managed".
    return row.leftOut ? "settings.keys.state.leftout" : "settings.keys.state.managed";
}

SetupController::Checklist SetupController::checklist() const
{
    Checklist list;
    const auto items = statusItems();
    list.remaining = SetupStatus::remaining(items);
    list.overall = list.remaining == 0 ? L("settings.status.ready")
        : list.remaining == 1          ? L("settings.status.remaining.one")
                                       : L("settings.status.remaining.other", {std::to_string(list.remaining)});

    // Key step.
    list.keyDone = items[0].done;
    if (list.keyDone) {
        std::vector<std::string> names;
        for (const auto& row : m_state.rows) {
            if (row.managed) {
                names.push_back(row.key.displayName());
            }
        }
        list.keyLine = L("settings.step.key.ready", {joined(names)});
    } else if (m_state.rows.empty()) {
        list.keyLine = m_state.scanning ? L("settings.step.key.scanning") : L("settings.keys.none");
    } else {
        std::vector<KeyRow> pending;
        for (const auto& row : m_state.rows) {
            if (row.key.status == SSHKey::Status::usable && row.managed && !row.stored) {
                pending.push_back(row);
            }
        }
        if (pending.empty()) {
            for (const auto& row : m_state.rows) {
                if (row.key.status == SSHKey::Status::noPassphrase
                    || (row.key.status == SSHKey::Status::usable && !row.managed)) {
                    pending.push_back(row);
                }
            }
        }
        if (pending.empty()) {
            list.keyLine = L("settings.step.key.unusable");
        } else if (pending.size() == 1) {
            list.keyLine = L("settings.step.key.todo");
            list.keyFormRow = pending.front();
        } else {
            list.keyLine = L("settings.step.key.choose");
        }
    }

    // Ssh step.
    const auto ready = readyRows();
    list.sshDone = items[1].done;
    if (list.sshDone) {
        list.sshLine = L("settings.step.ssh.done", {displayPath(shellFile())});
        if (!m_state.sessionEnvironment) {
            list.sshLine += " " + L("settings.step.ssh.nosession");
        }
    } else if (ready.empty()) {
        list.sshLine = L("settings.ssh.needkey");
    } else {
        std::vector<std::string> parts;
        for (const auto missing : items[1].missing) {
            switch (missing) {
            case SetupStatus::Missing::sshConfig:
                parts.push_back(displayPath(SetupPlan::sshConfig(m_place.home)));
                break;
            case SetupStatus::Missing::shellFile:
                parts.push_back(displayPath(shellFile()));
                break;
            case SetupStatus::Missing::appEnvironment:
                parts.push_back(L("settings.step.ssh.missing.env"));
                break;
            }
        }
        list.sshLine = L("settings.step.ssh.missing", {joined(parts)});
    }
    std::vector<std::string> leftOut;
    for (const auto& row : ready) {
        if (row.leftOut) {
            leftOut.push_back(row.key.displayName());
        }
    }
    if (!leftOut.empty()) {
        list.sshLine += " " + L("settings.step.ssh.leftout", {joined(leftOut)});
    }
    list.connectShown = !list.sshDone;
    list.connectEnabled = m_place.askpassPath.has_value() && !ready.empty();

    // Command-line step.
    const std::string link = displayPath(m_place.cliLinkPath());
    switch (m_state.cliState) {
    case CLIState::installed:
        list.cliLine = L("settings.cli.state.installed", {link});
        break;
    case CLIState::outdated:
    case CLIState::absent:
        list.cliLine = L("settings.cli.state.absent", {link});
        list.installShown = true;
        break;
    case CLIState::taken:
        list.cliLine = L("settings.cli.state.taken", {link});
        break;
    case CLIState::unavailable:
        list.cliLine = L("settings.cli.state.unavailable");
        break;
    }

    // Login step.
    list.loginDone = items[3].done;
    list.loginLine = list.loginDone  ? L("settings.step.login.done")
        : m_state.loginNeedsApproval ? L("settings.login.approval")
                                     : L("settings.step.login.off");
    return list;
}

std::string SetupController::summary(const FileChange& change)
{
    if (change.removesFile) {
        return L("settings.review.summary.delete");
    }
    if (change.before.empty()) {
        return L("settings.review.summary.create");
    }
    const auto counts = LineDiff::counts(change.before, change.after);
    if (counts.added == 0 && counts.removed == 0) {
        return L("settings.review.summary.none");
    }
    if (counts.added == 0) {
        const bool block = MarkedBlock::contains(change.before) && !MarkedBlock::contains(change.after);
        return L(block ? "settings.review.summary.remove.block" : "settings.review.summary.remove",
                 {lineText(counts.removed)});
    }
    if (counts.removed == 0) {
        const char* key = counts.touchesTop ? "settings.review.summary.add.top"
            : counts.touchesBottom          ? "settings.review.summary.add.bottom"
                                            : "settings.review.summary.add";
        return L(key, {lineText(counts.added)});
    }
    return L("settings.review.summary.both", {lineText(counts.added), lineText(counts.removed)});
}

std::vector<SetupController::Card> SetupController::cards(const Review& review) const
{
    std::vector<Card> out;
    for (const auto& change : review.plan.changes) {
        Card card;
        card.displayPath = displayPath(change.url);
        card.summary = summary(change);
        card.showsDiff = !change.removesFile;
        if (card.showsDiff) {
            card.diff = LineDiff::unified(change.before, change.after, 2);
        }
        out.push_back(std::move(card));
    }
    return out;
}

std::vector<std::string> SetupController::migrationLines(const std::vector<Leftover>& leftovers) const
{
    std::vector<std::string> out;
    for (const auto& leftover : leftovers) {
        switch (leftover.kind) {
        case Leftover::Kind::shellExport:
            out.push_back(L("settings.migration.item.export", {displayPath(leftover.url)}));
            break;
        case Leftover::Kind::addKeysToAgent:
            out.push_back(L("settings.migration.item.addkeys", {displayPath(leftover.url)}));
            break;
        case Leftover::Kind::path:
            out.push_back(L("settings.migration.item.path", {displayPath(leftover.url)}));
            break;
        case Leftover::Kind::keychainService:
            out.push_back(L("settings.migration.item.keychain", {leftover.service}));
            break;
        }
    }
    return out;
}

std::string SetupController::errorText(const SetupPlanError& error)
{
    switch (error.kind) {
    case SetupPlanError::Kind::unreadable:
        return L("settings.error.unreadable");
    case SetupPlanError::Kind::changedSinceShown:
        return L("settings.error.changed");
    case SetupPlanError::Kind::fileSystem:
        break;
    }
    return L("settings.error.write");
}

// ---- refresh -------------------------------------------------------------------------------------

std::vector<std::string> SetupController::managedPaths() const
{
    return m_services.defaults->stringArray("managedKeyPaths").value_or(std::vector<std::string>{});
}

void SetupController::writeManagedPaths(const std::vector<std::string>& paths)
{
    m_services.defaults->set("managedKeyPaths", paths);
}

void SetupController::refreshLogin()
{
    // The autostart entry is enabled or not; nothing here waits for an approval.
    const bool enabled = m_services.autostart->enabled();
    m_state.loginOn = enabled;
    m_state.loginNeedsApproval = false;
    m_state.loginEnabled = enabled;
}

SetupController::CLIState SetupController::computeCLIState() const
{
    if (!m_place.cliTarget) {
        return CLIState::unavailable;
    }
    const fs::path link = m_place.cliLinkPath();
    if (const auto destination = linkDestination(link)) {
        if (*destination == *m_place.cliTarget) {
            return CLIState::installed;
        }
        return pointsAtAnInstall(*destination, std::nullopt) ? CLIState::outdated : CLIState::taken;
    }
    struct stat st = {};
    return ::lstat(link.c_str(), &st) == 0 ? CLIState::taken : CLIState::absent;
}

void SetupController::refresh()
{
    refreshLogin();
    m_state.duration = DurationPolicy::configured(m_services.defaults->number("unlockDuration"));
    m_state.language = LanguageOverride::current(*m_services.defaults);
    m_state.setupApplied = SetupPlan::applied(m_place.home);
    m_state.sshConfigBlock = MarkedBlock::contains(SetupFiles::read(SetupPlan::sshConfig(m_place.home)).text);
    m_state.shellBlock = MarkedBlock::contains(SetupFiles::read(shellFile()).text);
    m_state.cliState = computeCLIState();
    m_state.scanning = true;
    publish();

    std::set<std::string> managed;
    for (const auto& path : managedPaths()) {
        managed.insert(Files::standardizedPath(path).string());
    }
    const int generation = ++m_scanGeneration;
    background(
        [home = m_place.home, services = m_services, managed] {
            ScanResult result;
            result.sessionEnvironment = services.session->available();
            result.launchAskpass = services.session->get("SSH_ASKPASS").value_or("");
            // Only surrounding white space goes; the value itself is compared as it stands.
            const auto first = result.launchAskpass.find_first_not_of(" \t\r\n");
            const auto last = result.launchAskpass.find_last_not_of(" \t\r\n");
            result.launchAskpass
                = first == std::string::npos ? std::string() : result.launchAskpass.substr(first, last - first + 1);
            const auto config = SetupFiles::read(SetupPlan::sshConfig(home));
            result.keys = KeyScanner::scan(home / ".ssh", config.text, home.string());
            result.leftovers = PrototypeMigration::detect(
                home, [&](std::string_view service) { return services.secrets->serviceHasItems(service); });
            for (const auto& key : result.keys) {
                const std::string path = key.path.string();
                if (services.secrets->hasAgentItem(path)) {
                    result.apple.insert(path);
                }
                if (managed.contains(Files::standardizedPath(key.path).string())
                    && services.secrets->hasPassphrase(path)) {
                    result.stored.insert(path);
                }
            }
            return result;
        },
        [this, managed, generation](ScanResult result) {
            m_state.rows.clear();
            for (auto& key : result.keys) {
                KeyRow row;
                const std::string path = key.path.string();
                row.managed = managed.contains(Files::standardizedPath(key.path).string());
                row.stored = row.managed && result.stored.contains(path);
                row.appleStored = result.apple.contains(path);
                row.leftOut = !SetupFiles::fitsSSHBlock(path);
                row.key = std::move(key);
                m_state.rows.push_back(std::move(row));
            }
            m_state.leftovers = std::move(result.leftovers);
            m_state.launchAskpass = std::move(result.launchAskpass);
            m_state.sessionEnvironment = result.sessionEnvironment;
            // An older scan's answer is shown, but only the newest ends the scanning state.
            if (generation == m_scanGeneration) {
                m_state.scanning = false;
            }
            publish();
        });
}

// ---- passphrases ---------------------------------------------------------------------------------

void SetupController::addPassphrase(const KeyRow& row, SecretString passphrase, SecretString confirmation,
                                    std::function<void(bool)> done)
{
    auto finish = [done](bool ok) {
        if (done) {
            done(ok);
        }
    };
    if (!passphrase.empty() && passphrase.view() != confirmation.view()) {
        say(L("settings.keys.mismatch"));
        return finish(false);
    }
    m_state.busy = true;
    publish();
    auto secret = std::make_shared<SecretString>(std::move(passphrase));
    auto repeated = std::make_shared<SecretString>(std::move(confirmation));
    Environment env;
    env.set("HOME", m_place.home.string());
    background([secret, repeated, path = row.key.path.string(),
                env] { return KeyPassphrase::add(*secret, *repeated, path, env).has_value(); },
               [this, secret, row, finish](bool added) {
                   m_state.busy = false;
                   if (!added) {
                       say(L("settings.keys.addfailed"));
                       return finish(false);
                   }
                   store(std::move(*secret), row, finish);
               });
}

void SetupController::savePassphrase(const KeyRow& row, SecretString passphrase, std::function<void(bool)> done)
{
    m_state.busy = true;
    publish();
    auto secret = std::make_shared<SecretString>(std::move(passphrase));
    Environment env;
    env.set("HOME", m_place.home.string());
    background([secret, path = row.key.path.string(), env] { return PassphraseVerifier::isValid(*secret, path, env); },
               [this, secret, row, done](bool valid) {
                   m_state.busy = false;
                   if (!valid) {
                       say(L("settings.keys.wrong"));
                       if (done) {
                           done(false);
                       }
                       return;
                   }
                   store(std::move(*secret), row, done);
               });
}

void SetupController::store(SecretString passphrase, const KeyRow& row, std::function<void(bool)> done)
{
    m_state.busy = true;
    publish();
    auto secret = std::make_shared<SecretString>(std::move(passphrase));
    background(
        [secret, key = row.key, store = m_services.store] {
            auto saved = store->save(*secret, key);
            secret->clear();
            return saved.has_value();
        },
        [this, row, done](bool saved) {
            m_state.busy = false;
            if (!saved) {
                applog::error(kCategory, "passphrase save failed");
                say(L("settings.keys.savefailed"));
            } else {
                auto paths = managedPaths();
                const std::string path = row.key.path.string();
                if (std::ranges::find(paths, path) == paths.end()) {
                    paths.push_back(path);
                    writeManagedPaths(paths);
                }
                say(L("settings.keys.saved", {row.key.displayName()}));
                if (m_onChange) {
                    m_onChange();
                }
                refresh();
            }
            if (done) {
                done(saved);
            }
        });
}

// ---- taking keys out -----------------------------------------------------------------------------

SetupController::UnmanageChoice SetupController::confirmUnmanage(const KeyRow& row) const
{
    std::vector<std::string> ready;
    for (const auto& readyRow : readyRows()) {
        ready.push_back(readyRow.key.path.string());
    }
    return ManagedKeyRules::unmanageBreaksSSH(row.key.path.string(), ready, m_state.setupApplied)
        ? UnmanageChoice::offerUndo
        : UnmanageChoice::confirm;
}

void SetupController::reviewUndo()
{
    m_state.review = Review{Review::Kind::undo, SetupPlan{}.undo(m_place.home), {}};
    publish();
}

void SetupController::unmanage(const KeyRow& row)
{
    m_state.busy = true;
    publish();
    background(
        [key = row.key, services = m_services] {
            if (!services.store->remove(key)) {
                return false;
            }
            // Whether the agent held it or not, it is no longer the app's to load.
            (void)services.agent->remove(agentPath(key.path));
            return true;
        },
        [this, row](bool removed) {
            m_state.busy = false;
            if (!removed) {
                say(L("settings.keys.deletefailed"));
                return;
            }
            const auto standard = Files::standardizedPath(row.key.path);
            auto paths = managedPaths();
            std::erase_if(paths, [&](const std::string& path) { return Files::standardizedPath(path) == standard; });
            writeManagedPaths(paths);
            refresh();
        });
}

void SetupController::deleteAppleEntry(const KeyRow& row)
{
    m_state.busy = true;
    publish();
    background([path = row.key.path.string(), secrets = m_services.secrets] { return secrets->deleteAgentItem(path); },
               [this](bool deleted) {
                   m_state.busy = false;
                   say(deleted ? L("settings.apple.deleted") : L("settings.apple.deletefailed"));
                   refresh();
               });
}

// ---- apply, undo, migration ----------------------------------------------------------------------

void SetupController::exportEnvironmentThen(std::string message)
{
    m_state.busy = true;
    publish();
    background(
        [session = m_services.session, askpass = m_place.askpassPath->string()] {
            if (!session->available()) {
                return false;
            }
            const bool set = session->set("SSH_ASKPASS", askpass);
            const bool required = session->set("SSH_ASKPASS_REQUIRE", "force");
            return set && required;
        },
        [this, message = std::move(message)](bool exported) {
            m_state.busy = false;
            std::string line = message;
            if (!exported) {
                // Without a session manager the files are the whole setup: terminals opened
                // before the next login keep running without the helper.
                line += " " + L("settings.step.ssh.nosession");
            }
            say(std::move(line));
            refresh();
        });
}

void SetupController::reviewApply()
{
    if (!m_place.askpassPath) {
        return;
    }
    std::vector<SSHKey> keys;
    for (const auto& row : readyRows()) {
        keys.push_back(row.key);
    }
    if (keys.empty()) {
        return;
    }
    // The plan would leave such a file out, yet report the setup applied (and "already applied"
    // from then on) while ssh never asks through the helper: change nothing and say why.
    for (const auto& file : {SetupPlan::sshConfig(m_place.home), shellFile()}) {
        if (SetupFiles::read(file).state == SetupFiles::FileText::State::unreadable) {
            say(L("settings.error.unreadable"));
            return;
        }
    }
    auto plan = SetupPlan::make(m_place.home, m_place.askpassPath->string(), keys, m_place.shell());
    if (!plan.changes.empty()) {
        m_state.review = Review{Review::Kind::apply, std::move(plan), {}};
        publish();
        return;
    }
    exportEnvironmentThen(L("settings.ssh.alreadyapplied"));
}

void SetupController::reviewMigration()
{
    m_state.review = Review{Review::Kind::migration, PrototypeMigration::removalPlan(m_state.leftovers, m_place.home),
                            m_state.leftovers};
    publish();
}

void SetupController::cancelReview()
{
    m_state.review.reset();
    publish();
}

void SetupController::confirmReview(Review review)
{
    m_state.review.reset();
    switch (review.kind) {
    case Review::Kind::apply:
        m_state.busy = true;
        publish();
        background([plan = std::move(review.plan)] { return plan.apply(kBackupSuffix); },
                   [this](std::expected<void, SetupPlanError> applied) {
                       m_state.busy = false;
                       if (!applied) {
                           say(errorText(applied.error()));
                           refresh();
                           return;
                       }
                       if (m_place.askpassPath) {
                           exportEnvironmentThen(L("settings.ssh.applied"));
                       } else {
                           say(L("settings.ssh.applied"));
                           refresh();
                       }
                   });
        return;
    case Review::Kind::undo:
        finishUndo(review.plan);
        return;
    case Review::Kind::migration:
        finishMigration(review.leftovers, review.plan);
        return;
    }
}

void SetupController::finishUndo(const SetupPlan& plan)
{
    struct Outcome
    {
        std::optional<SetupPlanError> error;
        std::set<std::string> deletionFailed;
    };
    m_state.busy = true;
    publish();
    const auto managed = managedPaths();
    std::map<std::string, std::string> agentPaths;
    for (const auto& row : m_state.rows) {
        agentPaths[Files::standardizedPath(row.key.path).string()] = agentPath(row.key.path);
    }
    background(
        [plan, managed, agentPaths, services = m_services] {
            Outcome outcome;
            if (auto applied = plan.apply(kBackupSuffix); !applied) {
                outcome.error = applied.error();
                return outcome;
            }
            (void)services.session->unset("SSH_ASKPASS");
            (void)services.session->unset("SSH_ASKPASS_REQUIRE");
            for (const auto& path : managed) {
                if (const auto found = agentPaths.find(Files::standardizedPath(path).string());
                    found != agentPaths.end()) {
                    (void)services.agent->remove(found->second);
                }
                SSHKey key;
                key.path = path;
                if (auto removed = services.store->remove(key); !removed) {
                    applog::error(kCategory, "delete failed: " + removed.error().detail);
                    outcome.deletionFailed.insert(path);
                }
            }
            return outcome;
        },
        [this, managed](Outcome outcome) {
            m_state.busy = false;
            if (outcome.error) {
                say(errorText(*outcome.error));
                refresh();
                return;
            }
            const auto kept = ManagedKeyRules::pathsKeptAfterUndo(managed, outcome.deletionFailed);
            writeManagedPaths(kept);
            const fs::path link = m_place.cliLinkPath();
            if (const auto destination = linkDestination(link);
                destination && pointsAtAnInstall(*destination, m_place.cliTarget)) {
                std::error_code ec;
                fs::remove(link, ec);
            }
            (void)m_services.autostart->setEnabled(false, m_place.appExecPath);
            say(kept.empty() ? L("settings.undo.done") : L("settings.undo.keysleft"));
            if (m_onChange) {
                m_onChange();
            }
            refresh();
        });
}

void SetupController::finishMigration(const std::vector<Leftover>& leftovers, const SetupPlan& plan)
{
    struct Outcome
    {
        std::optional<SetupPlanError> error;
        std::vector<Leftover> remaining;
    };
    m_state.busy = true;
    publish();
    background(
        [leftovers, plan, home = m_place.home, askpass = m_place.askpassPath, services = m_services] {
            Outcome outcome;
            if (auto applied = plan.apply(PrototypeMigration::backupSuffix); !applied) {
                outcome.error = applied.error();
                return outcome;
            }
            std::vector<std::string> services_;
            for (const auto& leftover : leftovers) {
                if (leftover.kind == Leftover::Kind::path) {
                    // What stays behind shows up among the remaining leftovers below.
                    (void)services.moveToTrash(leftover.url);
                } else if (leftover.kind == Leftover::Kind::keychainService) {
                    services_.push_back(leftover.service);
                }
            }
            auto has = [&](std::string_view service) { return services.secrets->serviceHasItems(service); };
            (void)PrototypeMigration::removeKeychainServices(
                services_, [&](std::string_view service) { return services.secrets->deleteServiceItem(service); }, has);
            const std::string current = services.session->get("SSH_ASKPASS").value_or("");
            if (current.find(kPrototypeName) != std::string::npos) {
                if (SetupPlan::applied(home) && askpass) {
                    (void)services.session->set("SSH_ASKPASS", askpass->string());
                    (void)services.session->set("SSH_ASKPASS_REQUIRE", "force");
                } else {
                    (void)services.session->unset("SSH_ASKPASS");
                    (void)services.session->unset("SSH_ASKPASS_REQUIRE");
                }
            }
            outcome.remaining = PrototypeMigration::detect(home, has);
            return outcome;
        },
        [this](Outcome outcome) {
            m_state.busy = false;
            if (outcome.error) {
                say(errorText(*outcome.error));
                return;
            }
            std::vector<std::string> services;
            for (const auto& leftover : outcome.remaining) {
                if (leftover.kind == Leftover::Kind::keychainService) {
                    services.push_back(leftover.service);
                }
            }
            m_state.leftovers = std::move(outcome.remaining);
            say(m_state.leftovers.empty() ? L("settings.migration.done")
                    : services.empty()    ? L("settings.migration.partial")
                                          : L("settings.migration.keychainleft", {joined(services)}));
        });
}

// ---- link, login item, duration, language --------------------------------------------------------

void SetupController::installCLI()
{
    if (!m_place.cliTarget) {
        return;
    }
    const fs::path link = m_place.cliLinkPath();
    switch (computeCLIState()) {
    case CLIState::installed:
    case CLIState::unavailable:
        break;
    case CLIState::taken:
        say(L("settings.cli.taken"));
        break;
    case CLIState::outdated:
    case CLIState::absent: {
        std::error_code ec;
        bool ok = true;
        if (fs::is_symlink(fs::symlink_status(link, ec))) {
            ok = fs::remove(link, ec) && !ec;
        }
        if (ok) {
            ok = Files::createDirectories(link.parent_path(), 0755).has_value();
        }
        if (ok) {
            fs::create_symlink(*m_place.cliTarget, link, ec);
            ok = !ec;
        }
        say(ok ? L("settings.cli.installed") : L("settings.cli.failed"));
        break;
    }
    }
    m_state.cliState = computeCLIState();
    publish();
}

void SetupController::setLoginItem(bool enabled)
{
    if (enabled != m_services.autostart->enabled()) {
        if (!m_services.autostart->setEnabled(enabled, m_place.appExecPath)) {
            m_state.message = L("settings.login.failed");
        }
    }
    refreshLogin();
    publish();
}

void SetupController::stepDuration(int step)
{
    const double wanted = m_state.duration + step * DurationPolicy::step;
    if (wanted < DurationPolicy::minimum || wanted > DurationPolicy::cap) {
        return;
    }
    m_services.defaults->set("unlockDuration", DurationPolicy::clamp(wanted));
    m_state.duration = DurationPolicy::configured(m_services.defaults->number("unlockDuration"));
    if (m_onChange) {
        m_onChange();
    }
    publish();
}

void SetupController::setLanguage(LanguageOverride::Choice choice)
{
    LanguageOverride::apply(*m_services.defaults, choice);
    m_state.language = choice;
    publish();
}

} // namespace vantorelle
