// SetupPlan: making the setup and undo plans from the files as they are, and applying a plan safely.
#include "setup/SetupPlan.h"

#include <cerrno>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "setup/MarkedBlock.h"
#include "setup/SetupFiles.h"
#include "ssh/KeyScanner.h"
#include "sys/Files.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;

SetupPlanError fileSystemError(const fs::path& url, std::error_code error)
{
    return SetupPlanError{SetupPlanError::Kind::fileSystem, url, error};
}

// The key's path as an IdentityFile line writes it: "~/..." under the home directory.
std::string homeRelative(const fs::path& keyPath, const fs::path& home)
{
    const std::string path = Files::standardizedPath(keyPath).string();
    const std::string prefix = Files::standardizedPath(home).string() + "/";
    if (path.size() > prefix.size() && path.starts_with(prefix)) {
        return "~/" + path.substr(prefix.size());
    }
    return path;
}

bool isSymlink(const fs::path& path)
{
    struct stat st = {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool existsFollowingLinks(const fs::path& path)
{
    struct stat st = {};
    return ::stat(path.c_str(), &st) == 0;
}

bool insideSSHDirectory(const fs::path& url)
{
    return url.parent_path().filename() == ".ssh";
}

} // namespace

fs::path SetupPlan::sshConfig(const fs::path& home)
{
    return home / ".ssh" / "config";
}

fs::path SetupPlan::shellFile(const fs::path& home, std::string_view loginShell)
{
    const auto slash = loginShell.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? loginShell : loginShell.substr(slash + 1);
    if (name == "fish") {
        // fish never reads the POSIX start-up files; it sources every snippet in conf.d.
        return home / ".config/fish/conf.d/vantorelle.fish";
    }
    // On Debian-family systems terminals run non-login bash, which reads only ~/.bashrc.
    return home / (name == "bash" ? ".bashrc" : ".zshenv");
}

std::vector<fs::path> SetupPlan::shellFiles(const fs::path& home)
{
    return {home / ".zshenv", home / ".bashrc", shellFile(home, "fish")};
}

bool SetupPlan::applied(const fs::path& home)
{
    for (const auto& file : shellFiles(home)) {
        if (MarkedBlock::contains(SetupFiles::read(file).text)) {
            return true;
        }
    }
    return false;
}

std::vector<fs::path> SetupPlan::leftOutKeys(const std::vector<SSHKey>& keys)
{
    std::vector<fs::path> out;
    for (const auto& key : keys) {
        if (!SetupFiles::fitsSSHBlock(key.path.string())) {
            out.push_back(key.path);
        }
    }
    return out;
}

SetupPlan SetupPlan::make(const fs::path& home, std::string_view askpassPath, const std::vector<SSHKey>& keys,
                          std::string_view loginShell)
{
    SetupPlan plan;

    const fs::path config = sshConfig(home);
    const auto configText = SetupFiles::read(config);
    if (configText.state != SetupFiles::FileText::State::unreadable) {
        // Keys the user's own configuration already names get no line of their own.
        const std::string own = MarkedBlock::remove(configText.text);
        std::set<fs::path> named;
        for (const auto& file : KeyScanner::identityFiles(own, home.string())) {
            named.insert(Files::standardizedPath(file));
        }
        std::vector<std::string> lines;
        for (const auto& key : keys) {
            if (!named.contains(Files::standardizedPath(key.path))) {
                lines.push_back(homeRelative(key.path, home));
            }
        }
        std::string after
            = MarkedBlock::apply(SetupFiles::sshBlock(lines), configText.text, MarkedBlock::Position::top);
        if (after != configText.text) {
            plan.changes.push_back(FileChange{config, configText.text, std::move(after), false});
        }
    }

    const fs::path shell = shellFile(home, loginShell);
    const auto shellText = SetupFiles::read(shell);
    if (shellText.state == SetupFiles::FileText::State::unreadable) {
        return plan;
    }
    const std::string block
        = shell == shellFile(home, "fish") ? SetupFiles::fishBlock(askpassPath) : SetupFiles::zshBlock(askpassPath);
    std::string after = MarkedBlock::apply(block, shellText.text, MarkedBlock::Position::bottom);
    if (after != shellText.text) {
        plan.changes.push_back(FileChange{shell, shellText.text, std::move(after), false});
    }
    return plan;
}

SetupPlan SetupPlan::undo(const fs::path& home) const
{
    std::vector<fs::path> candidates;
    for (const auto& change : changes) {
        candidates.push_back(change.url);
    }
    candidates.push_back(sshConfig(home));
    for (auto& file : shellFiles(home)) {
        candidates.push_back(std::move(file));
    }

    SetupPlan plan;
    std::set<fs::path> seen;
    for (const auto& candidate : candidates) {
        if (!seen.insert(Files::standardizedPath(candidate)).second) {
            continue;
        }
        const auto file = SetupFiles::read(candidate);
        if (file.state != SetupFiles::FileText::State::readable || !MarkedBlock::contains(file.text)) {
            continue;
        }
        std::string after = MarkedBlock::remove(file.text);
        // A file setup created (so never backed up) that holds nothing but the block goes away; a
        // file that was there before stays, even if empty. When in doubt the file stays.
        bool removesFile = false;
        if (after.empty()) {
            const auto target = SetupFiles::resolveLinks(candidate);
            struct stat st = {};
            removesFile = target && ::lstat((target->string() + std::string(backupSuffix)).c_str(), &st) != 0
                && errno == ENOENT;
        }
        plan.changes.push_back(FileChange{candidate, file.text, std::move(after), removesFile});
    }
    return plan;
}

std::expected<void, SetupPlanError> SetupPlan::apply(std::string_view suffix) const
{
    std::vector<SetupFiles::Expected> seen;
    for (const auto& change : changes) {
        const auto current = SetupFiles::read(change.url);
        if (current.state == SetupFiles::FileText::State::unreadable) {
            return std::unexpected(SetupPlanError{SetupPlanError::Kind::unreadable, change.url, {}});
        }
        const bool exists = current.state == SetupFiles::FileText::State::readable;
        if (current.text != change.before || (!exists && change.removesFile)) {
            return std::unexpected(SetupPlanError{SetupPlanError::Kind::changedSinceShown, change.url, {}});
        }
        seen.push_back(exists ? SetupFiles::Expected::existing : SetupFiles::Expected::missing);
    }

    for (std::size_t i = 0; i < changes.size(); ++i) {
        const FileChange& change = changes[i];
        // A link is never deleted; it is written through like any other change.
        if (change.removesFile && !isSymlink(change.url)) {
            if (::unlink(change.url.c_str()) != 0 && errno != ENOENT) {
                return std::unexpected(fileSystemError(change.url, {errno, std::generic_category()}));
            }
            continue;
        }
        if (auto created = Files::createDirectories(change.url.parent_path(), 0700); !created) {
            return std::unexpected(fileSystemError(change.url, created.error()));
        }
        const bool existed = existsFollowingLinks(change.url);
        const bool inSSH = insideSSHDirectory(change.url);
        const auto mode = inSSH ? fs::perms(0600) : fs::perms(0666);
        if (auto written = SetupFiles::write(change.after, change.url, suffix, mode, seen[i]); !written) {
            return std::unexpected(fileSystemError(change.url, written.error()));
        }
        if (!existed && inSSH && ::chmod(change.url.c_str(), 0600) != 0) {
            return std::unexpected(fileSystemError(change.url, {errno, std::generic_category()}));
        }
    }
    return {};
}

} // namespace vantorelle
