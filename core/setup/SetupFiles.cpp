// SetupFiles: block texts, reading a user's file, and the backup-then-replace write.
#include "setup/SetupFiles.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "setup/MarkedBlock.h"
#include "sys/Files.h"
#include "sys/Utf8.h"

namespace vantorelle::SetupFiles {
namespace {

namespace fs = std::filesystem;

// Beyond this a start-up or configuration file is not something setup edits.
constexpr std::size_t kMaxFileBytes = 16 << 20;

std::error_code lastError()
{
    return {errno, std::generic_category()};
}

bool needsQuotes(std::string_view path)
{
    if (path.empty()) {
        return true;
    }
    for (const char c : path) {
        if (c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '"' || c == '\'' || c == '\\') {
            return true;
        }
    }
    return false;
}

std::string sshArgument(std::string_view path)
{
    std::string out;
    const bool quoted = needsQuotes(path);
    if (quoted) {
        out += '"';
    }
    for (const char c : path) {
        if (quoted && (c == '"' || c == '\\')) {
            out += '\\';
        }
        // ssh expands "%" tokens in IdentityFile and gives up on the whole run at one it does
        // not know; "%%" is its literal percent sign.
        if (c == '%') {
            out += '%';
        }
        out += c;
    }
    if (quoted) {
        out += '"';
    }
    return out;
}

} // namespace

std::string sshBlock(const std::vector<std::string>& identityFiles)
{
    std::string block = "IgnoreUnknown UseKeychain\n"
                        "# Managed by Vantorelle. Remove with the app's undo.\n"
                        "AddKeysToAgent no\n"
                        "UseKeychain no";
    for (const auto& path : identityFiles) {
        if (!fitsSSHBlock(path)) {
            continue;
        }
        block += "\nIdentityFile ";
        block += sshArgument(path);
    }
    return block;
}

bool fitsSSHBlock(std::string_view path)
{
    // One configuration line per path: a line break would end the line and let the rest of the
    // name be read as configuration. Nor can a path holding "${": ssh reads it as an environment
    // variable and has no way to escape it, so writing it would stop ssh from running for every host.
    return path.find_first_of("\r\n") == std::string_view::npos && path.find("${") == std::string_view::npos;
}

std::string shellQuoted(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"' || c == '$' || c == '`') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

std::string zshBlock(std::string_view askpassPath)
{
    const std::string q = shellQuoted(askpassPath);
    return "if [ -x " + q + " ]; then\n  export SSH_ASKPASS=" + q + "\n  export SSH_ASKPASS_REQUIRE=force\nfi";
}

std::string fishQuoted(std::string_view text)
{
    std::string out = "'";
    for (const char c : text) {
        if (c == '\\' || c == '\'') {
            out += '\\';
        }
        out += c;
    }
    out += '\'';
    return out;
}

std::string fishBlock(std::string_view askpassPath)
{
    const std::string q = fishQuoted(askpassPath);
    return "if test -x " + q + "\n  set -gx SSH_ASKPASS " + q + "\n  set -gx SSH_ASKPASS_REQUIRE force\nend";
}

FileText read(const fs::path& path)
{
    auto bytes = Files::read(path, kMaxFileBytes);
    if (!bytes) {
        return {bytes.error().kind == Files::ReadError::Kind::missing ? FileText::State::missing
                                                                      : FileText::State::unreadable,
                {}};
    }
    if (!Utf8::isValid(*bytes)) {
        return {FileText::State::unreadable, {}};
    }
    return {FileText::State::readable, std::move(*bytes)};
}

std::expected<fs::path, std::error_code> resolveLinks(const fs::path& path)
{
    fs::path current = path;
    for (int hops = 0; hops <= 40; ++hops) {
        struct stat st = {};
        if (::lstat(current.c_str(), &st) != 0) {
            if (errno == ENOENT) {
                return current;
            }
            return std::unexpected(lastError());
        }
        if (!S_ISLNK(st.st_mode)) {
            return current;
        }
        std::error_code ec;
        const fs::path target = fs::read_symlink(current, ec);
        if (ec) {
            return std::unexpected(ec);
        }
        // A relative target is relative to the directory holding the link. ".." is left for the
        // kernel to resolve, since a directory on the way may itself be a link.
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
    return std::unexpected(std::error_code(ELOOP, std::generic_category()));
}

std::expected<void, std::error_code> write(std::string_view text, const fs::path& url, std::string_view backupSuffix,
                                           fs::perms newFileMode, Expected expected)
{
    const auto resolved = resolveLinks(url);
    if (!resolved) {
        return std::unexpected(resolved.error());
    }
    const fs::path& target = *resolved;

    struct stat st = {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
        return std::unexpected(lastError());
    }
    if (!exists || expected == Expected::missing) {
        // A new file: nothing to back up. One that appeared meanwhile is never written over; when it
        // already holds this very text (another process applied the same change), the work is done.
        const Files::Mode mode{static_cast<mode_t>(newFileMode) & 0777, true};
        auto created = Files::replace(target, text, mode, Files::Existing::keep);
        if (!created && created.error().value() == EEXIST) {
            const auto now = read(target);
            if (now.state == FileText::State::readable && now.text == text) {
                return {};
            }
        }
        return created;
    }
    if (!S_ISREG(st.st_mode)) {
        return std::unexpected(std::error_code(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, std::generic_category()));
    }
    const Files::Mode mode{static_cast<mode_t>(st.st_mode & 07777), false};

    // The backup keeps the file as it was before the first edit: created whole or not at all, and
    // once there never replaced.
    const fs::path backup = target.string() + std::string(backupSuffix);
    struct stat backupStat = {};
    if (::lstat(backup.c_str(), &backupStat) != 0) {
        if (errno != ENOENT) {
            return std::unexpected(lastError());
        }
        const auto original = Files::read(target, kMaxFileBytes);
        if (!original) {
            return std::unexpected(
                std::error_code(original.error().error ? original.error().error : EINVAL, std::generic_category()));
        }
        // A file holding nothing but the block is one setup created: it has nothing of the user's
        // to keep, and without a backup undo knows to remove it.
        const bool onlyOurs = MarkedBlock::contains(*original) && MarkedBlock::remove(*original).empty();
        if (!onlyOurs) {
            if (auto copied = Files::createExclusive(backup, *original, mode);
                !copied && copied.error().value() != EEXIST) {
                return copied;
            }
        }
    }
    return Files::replace(target, text, mode);
}

} // namespace vantorelle::SetupFiles
