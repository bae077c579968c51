#include "settings/SettingsTexts.h"

#include <algorithm>

#include "i18n/L.h"
#include "setup/LineDiff.h"
#include "setup/MarkedBlock.h"
#include "sys/Files.h"
#include "window/DurationText.h"

namespace vantorelle::SettingsTexts {
namespace {

std::string joined(const std::vector<std::string>& parts)
{
    std::string out;
    for (const auto& part : parts) {
        out += (out.empty() ? "" : ", ") + part;
    }
    return out;
}

std::string lineCount(int count)
{
    const std::string n = std::to_string(count);
    return L(count == 1 ? "settings.review.lines.one" : "settings.review.lines.many", {n});
}

const SetupStatus::Item* item(const Facts& facts, SetupStatus::Step step)
{
    const auto found = std::ranges::find(facts.items, step, &SetupStatus::Item::step);
    return found == facts.items.end() ? nullptr : &*found;
}

bool done(const Facts& facts, SetupStatus::Step step)
{
    const auto* it = item(facts, step);
    return it && it->done;
}

std::vector<std::size_t> pendingRows(const std::vector<Row>& rows)
{
    std::vector<std::size_t> pending;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].key.status == SSHKey::Status::usable && rows[i].managed && !rows[i].stored) {
            pending.push_back(i);
        }
    }
    if (!pending.empty()) {
        return pending;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto status = rows[i].key.status;
        if (status == SSHKey::Status::noPassphrase || (status == SSHKey::Status::usable && !rows[i].managed)) {
            pending.push_back(i);
        }
    }
    return pending;
}

Step keyStep(const Facts& facts, std::optional<std::size_t>& formRow)
{
    if (done(facts, SetupStatus::Step::key)) {
        std::vector<std::string> names;
        for (const auto& row : facts.rows) {
            if (row.managed) {
                names.push_back(row.key.displayName());
            }
        }
        return {true, L("settings.step.key.ready", {joined(names)})};
    }
    if (facts.rows.empty()) {
        return {false, L(facts.scanning ? "settings.step.key.scanning" : "settings.keys.none")};
    }
    const auto pending = pendingRows(facts.rows);
    if (pending.empty()) {
        return {false, L("settings.step.key.unusable")};
    }
    if (pending.size() == 1) {
        formRow = pending.front();
        return {false, L("settings.step.key.todo", {facts.rows[pending.front()].key.displayName()})};
    }
    return {false, L("settings.step.key.choose")};
}

Step sshStep(const Facts& facts)
{
    std::vector<std::string> leftOut;
    bool anyReady = false;
    for (const auto& row : facts.rows) {
        if (ready(row)) {
            anyReady = true;
            if (unsafeForSsh(row.key.path)) {
                leftOut.push_back(row.key.displayName());
            }
        }
    }
    // A key the block cannot name is not connected, whatever the files say.
    const std::string unsafe = leftOut.empty() ? "" : " " + L("settings.step.ssh.unsafe", {joined(leftOut)});
    const std::string noManager = facts.sessionEnvironment ? "" : " " + L("settings.step.ssh.nosession");
    const auto* ssh = item(facts, SetupStatus::Step::ssh);
    if (ssh && ssh->done) {
        return {leftOut.empty(), L("settings.step.ssh.done", {displayPath(facts.shellFile, facts.home)}) + unsafe};
    }
    if (!anyReady) {
        return {false, L("settings.ssh.needkey")};
    }
    std::vector<std::string> missing;
    bool onlyEnvironment = true;
    for (const auto part : ssh ? ssh->missing : std::vector<SetupStatus::Missing>{}) {
        switch (part) {
        case SetupStatus::Missing::sshConfig:
            missing.push_back(displayPath(facts.home / ".ssh/config", facts.home));
            onlyEnvironment = false;
            break;
        case SetupStatus::Missing::shellFile:
            missing.push_back(displayPath(facts.shellFile, facts.home));
            onlyEnvironment = false;
            break;
        case SetupStatus::Missing::appEnvironment:
            // Without a user manager there is nowhere to set it: the files are what counts.
            if (facts.sessionEnvironment) {
                missing.push_back(L("settings.step.ssh.missing.env"));
            }
            break;
        }
    }
    if (missing.empty() && onlyEnvironment) {
        return {leftOut.empty(), L("settings.step.ssh.done", {displayPath(facts.shellFile, facts.home)}) + noManager
                                     + unsafe};
    }
    return {false, L("settings.step.ssh.missing", {joined(missing)}) + noManager + unsafe};
}

} // namespace

bool ready(const Row& row)
{
    return row.key.status == SSHKey::Status::usable && row.managed && row.stored;
}

bool unsafeForSsh(const std::filesystem::path& path)
{
    const std::string& text = path.native();
    return text.find("${") != std::string::npos || text.find_first_of("\r\n") != std::string::npos;
}

std::string displayPath(const std::filesystem::path& path, const std::filesystem::path& home)
{
    const std::string standard = Files::standardizedPath(path).string();
    const std::string prefix = Files::standardizedPath(home).string() + "/";
    if (standard.starts_with(prefix)) {
        return "~" + standard.substr(prefix.size() - 1);
    }
    return standard;
}

Checklist checklist(const Facts& facts)
{
    Checklist list;
    list.key = keyStep(facts, list.formRow);
    list.ssh = sshStep(facts);
    list.showConnect = !list.ssh.done;
    list.connectEnabled = facts.askpassFound && std::ranges::any_of(facts.rows, ready);

    const std::string link = displayPath(facts.cliLink, facts.home);
    switch (facts.cli) {
    case CLIState::installed:
        list.cli = {true, L("settings.cli.state.installed", {link})};
        break;
    case CLIState::outdated:
    case CLIState::absent:
        list.cli = {false, L("settings.cli.state.absent", {link})};
        list.showInstall = true;
        break;
    case CLIState::taken:
        list.cli = {false, L("settings.cli.state.taken", {link})};
        break;
    case CLIState::unavailable:
        list.cli = {false, L("settings.cli.state.unavailable")};
        break;
    }
    if (done(facts, SetupStatus::Step::login)) {
        list.login = {true, L("settings.step.login.done")};
    } else {
        list.login = {false, L(facts.loginNeedsApproval ? "settings.login.approval" : "settings.step.login.off")};
    }
    // Counted from the steps as shown: the ssh step may differ from the bare facts (a key left out of
    // the block, a session with no user manager).
    const int remaining = static_cast<int>(std::ranges::count_if(
        std::initializer_list<const Step*>{&list.key, &list.ssh, &list.cli, &list.login},
        [](const Step* step) { return !step->done; }));
    if (remaining == 0) {
        list.overall = L("settings.status.ready");
        list.overallTone = Tone::good;
    } else {
        list.overall = remaining == 1 ? L("settings.status.remaining.one")
                                      : L("settings.status.remaining.other", {std::to_string(remaining)});
        list.overallTone = Tone::accent;
    }
    return list;
}

std::string rowState(const Row& row)
{
    switch (row.key.status) {
    case SSHKey::Status::hardwareToken:
        return L("settings.keys.state.hardware");
    case SSHKey::Status::otherAgent:
        return L("settings.keys.state.otheragent");
    case SSHKey::Status::noPassphrase:
        return L("settings.keys.state.nopassphrase");
    case SSHKey::Status::usable:
        break;
    }
    if (!row.managed) {
        return L("settings.keys.state.available");
    }
    if (!row.stored) {
        return L("settings.keys.state.needspassphrase");
    }
    return L(unsafeForSsh(row.key.path) ? "settings.keys.state.unsafe" : "settings.keys.state.managed");
}

std::string summary(const FileChange& change)
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
                 {lineCount(counts.removed)});
    }
    if (counts.removed == 0) {
        const char* key = counts.touchesTop      ? "settings.review.summary.add.top"
            : counts.touchesBottom               ? "settings.review.summary.add.bottom"
                                                 : "settings.review.summary.add";
        return L(key, {lineCount(counts.added)});
    }
    return L("settings.review.summary.both", {lineCount(counts.added), lineCount(counts.removed)});
}

std::string leftoverLine(const Leftover& leftover, const std::filesystem::path& home)
{
    switch (leftover.kind) {
    case Leftover::Kind::shellExport:
        return L("settings.migration.item.export", {displayPath(leftover.url, home)});
    case Leftover::Kind::addKeysToAgent:
        return L("settings.migration.item.addkeys", {displayPath(leftover.url, home)});
    case Leftover::Kind::path:
        return L("settings.migration.item.path", {displayPath(leftover.url, home)});
    case Leftover::Kind::keychainService:
        return L("settings.migration.item.keychain", {leftover.service});
    }
    return {};
}

std::string header(bool unlocked, const std::optional<UnlockWindow>& window, Date now)
{
    if (!unlocked) {
        return L("menu.header.locked");
    }
    if (!window) {
        return L("settings.header.nolimit");
    }
    const double left = std::chrono::duration<double>(window->expiry - now).count();
    if (!(left > 0)) {
        return L("menu.header.locked");
    }
    return L("settings.header.remaining", {DurationText::clock(left)});
}

} // namespace vantorelle::SettingsTexts
