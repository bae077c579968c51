// SetupFiles: block texts, reading a user's file, and the backup-then-replace write.
#include "setup/SetupFiles.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sys/Fd.h"
#include "sys/Io.h"

namespace vantorelle::SetupFiles {
namespace {

namespace fs = std::filesystem;

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

// Reads the whole of an open descriptor; EINTR is repeated.
bool readAll(int fd, std::string& out)
{
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            return true;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

enum class ModeRule { exact, umask };

// Writes `bytes` to a new file at `path` (which must not exist; a link there is not followed) with
// `mode`, exactly or as limited by the umask, and flushes it to disk. On failure nothing is left at
// `path`.
std::expected<void, std::error_code> writeNewFile(const fs::path& path, std::string_view bytes, mode_t mode,
                                                  ModeRule rule)
{
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 rule == ModeRule::exact ? 0600 : mode));
    if (!fd) {
        return std::unexpected(lastError());
    }
    std::error_code error;
    if (!io::writeAll(fd.get(), bytes) || (rule == ModeRule::exact && ::fchmod(fd.get(), mode) != 0)
        || ::fsync(fd.get()) != 0) {
        error = lastError();
    }
    // close(2) can report a failed write-back; treat it like any other write error.
    if (!error && ::close(fd.release()) != 0) {
        error = lastError();
    }
    if (error) {
        fd.reset();
        ::unlink(path.c_str());
        return std::unexpected(error);
    }
    return {};
}

void syncDirectory(const fs::path& directory)
{
    // Makes the rename itself durable; a failure here does not undo a completed replace.
    Fd fd(::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
        ::fsync(fd.get());
    }
}

// rename(2) that refuses to replace a file that appeared since we looked.
int renameNoReplace(const fs::path& from, const fs::path& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    // File systems without RENAME_NOREPLACE: a hard link fails with EEXIST the same way; where
    // there are no hard links either, a plain rename is the best left.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    if (errno == EEXIST) {
        return -1;
    }
    return ::rename(from.c_str(), to.c_str());
}

} // namespace

std::string sshBlock(const std::vector<std::string>& identityFiles)
{
    std::string block = "IgnoreUnknown UseKeychain\n"
                        "# Managed by Vantorelle. Remove with the app's undo.\n"
                        "AddKeysToAgent no\n"
                        "UseKeychain no";
    for (const auto& path : identityFiles) {
        // One configuration line per path: a line break would end the line and let the rest of
        // the name be read as configuration.
        if (path.find_first_of("\r\n") != std::string::npos) {
            continue;
        }
        // Nor can a path holding "${": ssh reads it as an environment variable and has no way to
        // escape it, so writing it would stop ssh from running for every host.
        if (path.find("${") != std::string::npos) {
            continue;
        }
        block += "\nIdentityFile ";
        block += sshArgument(path);
    }
    return block;
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

bool isValidUTF8(std::string_view bytes)
{
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        char32_t code = 0;
        char32_t minimum = 0;
        if ((c & 0xE0) == 0xC0) {
            length = 2, code = c & 0x1F, minimum = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3, code = c & 0x0F, minimum = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4, code = c & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (n - i < length) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

FileText read(const fs::path& path)
{
    // O_NONBLOCK so that a FIFO put where a file should be cannot hang the reader.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return {FileText::State::missing, {}};
        }
        return {FileText::State::unreadable, {}};
    }
    struct stat st = {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return {FileText::State::unreadable, {}};
    }
    std::string bytes;
    if (!readAll(fd.get(), bytes) || !isValidUTF8(bytes)) {
        return {FileText::State::unreadable, {}};
    }
    return {FileText::State::readable, std::move(bytes)};
}

fs::path standardised(const fs::path& path)
{
    std::error_code ec;
    fs::path absolute = path.empty() ? fs::current_path(ec) : fs::absolute(path, ec);
    if (ec) {
        absolute = path;
    }
    std::string text = absolute.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
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

fs::path temporaryPath(const fs::path& target)
{
    return target.parent_path() / ("." + target.filename().string() + ".vantorelle-tmp");
}

std::expected<void, std::error_code> write(std::string_view text, const fs::path& url, std::string_view backupSuffix,
                                           fs::perms newFileMode)
{
    const auto resolved = resolveLinks(url);
    if (!resolved) {
        return std::unexpected(resolved.error());
    }
    const fs::path& target = *resolved;
    const fs::path temporary = temporaryPath(target);

    // A stale temporary file from an interrupted run is ours to drop; whatever it is, it is
    // never written through (O_EXCL | O_NOFOLLOW below).
    if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) {
        return std::unexpected(lastError());
    }

    struct stat st = {};
    if (::stat(target.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            return std::unexpected(lastError());
        }
        // The kernel applies the umask at creation (reading it with umask(2) would briefly change
        // it for every thread of the process).
        const auto mode = static_cast<mode_t>(newFileMode) & 0777;
        if (auto written = writeNewFile(temporary, text, mode, ModeRule::umask); !written) {
            return written;
        }
        if (renameNoReplace(temporary, target) != 0) {
            const auto error = lastError();
            ::unlink(temporary.c_str());
            return std::unexpected(error);
        }
        syncDirectory(target.parent_path());
        return {};
    }
    if (!S_ISREG(st.st_mode)) {
        return std::unexpected(std::error_code(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, std::generic_category()));
    }
    const mode_t mode = st.st_mode & 07777;

    // The backup keeps the file as it was before the first edit: once there, never replaced.
    const fs::path backup = target.string() + std::string(backupSuffix);
    struct stat backupStat = {};
    if (::lstat(backup.c_str(), &backupStat) != 0) {
        if (errno != ENOENT) {
            return std::unexpected(lastError());
        }
        Fd source(::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        std::string original;
        if (!source || !readAll(source.get(), original)) {
            return std::unexpected(lastError());
        }
        if (auto copied = writeNewFile(backup, original, mode, ModeRule::exact);
            !copied && copied.error().value() != EEXIST) {
            return copied;
        }
    }

    if (auto written = writeNewFile(temporary, text, mode, ModeRule::exact); !written) {
        return written;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const auto error = lastError();
        ::unlink(temporary.c_str());
        return std::unexpected(error);
    }
    syncDirectory(target.parent_path());
    return {};
}

} // namespace vantorelle::SetupFiles
