// Files: the one way the core reads, replaces and creates files and directories.
#include "sys/Files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "sys/Fd.h"
#include "sys/Io.h"

namespace vantorelle::Files {
namespace {

namespace fs = std::filesystem;

std::error_code lastError()
{
    return {errno, std::generic_category()};
}

// An open, uniquely named file beside `target`; removed again unless committed.
class Temporary
{
public:
    static std::expected<Temporary, std::error_code> create(const fs::path& target)
    {
        Temporary temporary;
        // mkostemp(3) makes the name unique and the file 0600, so no other writer ever shares it.
        std::string name = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
        Fd fd(::mkostemp(name.data(), O_CLOEXEC));
        if (!fd) {
            return std::unexpected(lastError());
        }
        temporary.m_path = std::move(name);
        temporary.m_fd = std::move(fd);
        return temporary;
    }

    Temporary() = default;
    Temporary(Temporary&& other) noexcept
        : m_path(std::exchange(other.m_path, {}))
        , m_fd(std::move(other.m_fd))
    {
    }
    Temporary& operator=(Temporary&&) = delete;
    ~Temporary()
    {
        m_fd.reset();
        if (!m_path.empty()) {
            ::unlink(m_path.c_str());
        }
    }

    // Writes, sets the mode, flushes and closes; close(2) can report a failed write-back too.
    std::expected<void, std::error_code> fill(std::string_view bytes, Mode mode)
    {
        mode_t bits = mode.bits & 07777;
        if (mode.limitedByUmask) {
            // umask(2) cannot be read without changing it for every thread; /proc has it.
            bits &= ~currentUmask();
        }
        if (!io::writeAll(m_fd.get(), bytes) || ::fchmod(m_fd.get(), bits) != 0 || ::fsync(m_fd.get()) != 0
            || ::close(m_fd.release()) != 0) {
            return std::unexpected(lastError());
        }
        return {};
    }

    const std::string& path() const { return m_path; }
    void committed() { m_path.clear(); }

private:
    static mode_t currentUmask()
    {
        const auto status = read("/proc/self/status", 1 << 16);
        if (status) {
            const auto at = status->find("\nUmask:");
            if (at != std::string::npos) {
                return static_cast<mode_t>(std::strtoul(status->c_str() + at + 7, nullptr, 8)) & 0777;
            }
        }
        return 022;
    }

    std::string m_path;
    Fd m_fd;
};

void syncDirectory(const fs::path& directory)
{
    // Makes the rename itself durable; a failure here does not undo a completed replace.
    Fd fd(::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
        ::fsync(fd.get());
    }
}

// rename(2) that refuses to replace a file that appeared since we looked.
int renameNoReplace(const char* from, const char* to)
{
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    // File systems without RENAME_NOREPLACE: a hard link fails with EEXIST the same way; where
    // there are no hard links either, a plain rename is the best left.
    if (::link(from, to) == 0) {
        ::unlink(from);
        return 0;
    }
    if (errno == EEXIST) {
        return -1;
    }
    return ::rename(from, to);
}

} // namespace

std::expected<std::string, ReadError> read(const fs::path& path, std::size_t maxBytes)
{
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd) {
        const int error = errno;
        return std::unexpected(
            ReadError{error == ENOENT || error == ENOTDIR ? ReadError::Kind::missing : ReadError::Kind::io, error});
    }
    struct stat st = {};
    if (::fstat(fd.get(), &st) != 0) {
        return std::unexpected(ReadError{ReadError::Kind::io, errno});
    }
    if (!S_ISREG(st.st_mode)) {
        return std::unexpected(ReadError{ReadError::Kind::notRegular, 0});
    }
    // The size may change while reading; the bound is kept on what is read, not on what fstat said.
    std::string bytes;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(ReadError{ReadError::Kind::io, errno});
        }
        if (n == 0) {
            return bytes;
        }
        if (bytes.size() + static_cast<std::size_t>(n) > maxBytes) {
            return std::unexpected(ReadError{ReadError::Kind::tooLarge, 0});
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

std::expected<void, std::error_code> replace(const fs::path& target, std::string_view bytes, Mode mode,
                                             Existing existing)
{
    auto temporary = Temporary::create(target);
    if (!temporary) {
        return std::unexpected(temporary.error());
    }
    if (auto filled = temporary->fill(bytes, mode); !filled) {
        return filled;
    }
    const int renamed = existing == Existing::replace ? ::rename(temporary->path().c_str(), target.c_str())
                                                      : renameNoReplace(temporary->path().c_str(), target.c_str());
    if (renamed != 0) {
        return std::unexpected(lastError());
    }
    temporary->committed();
    syncDirectory(target.parent_path());
    return {};
}

std::expected<void, std::error_code> createExclusive(const fs::path& path, std::string_view bytes, Mode mode)
{
    auto temporary = Temporary::create(path);
    if (!temporary) {
        return std::unexpected(temporary.error());
    }
    if (auto filled = temporary->fill(bytes, mode); !filled) {
        return filled;
    }
    // link(2) never replaces: exactly one of several creators succeeds. The temporary name goes.
    // Where the file system has no hard links, a rename that refuses to replace does the same.
    if (::link(temporary->path().c_str(), path.c_str()) != 0) {
        if (errno == EEXIST
            || ::renameat2(AT_FDCWD, temporary->path().c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
            return std::unexpected(lastError());
        }
        temporary->committed();
    }
    syncDirectory(path.parent_path());
    return {};
}

std::expected<bool, std::error_code> createDirectories(const fs::path& directory, mode_t mode)
{
    std::vector<fs::path> missing;
    for (fs::path p = directory; !p.empty(); p = p.parent_path()) {
        struct stat st = {};
        if (::stat(p.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                return std::unexpected(std::error_code(ENOTDIR, std::generic_category()));
            }
            break;
        }
        if (errno != ENOENT) {
            return std::unexpected(lastError());
        }
        missing.push_back(p);
        if (p == p.parent_path()) {
            break;
        }
    }
    bool createdLast = false;
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), mode) != 0) {
            if (errno != EEXIST) {
                return std::unexpected(lastError());
            }
            createdLast = false; // made by someone else meanwhile: theirs, left as it is
            continue;
        }
        createdLast = true;
        // The umask may have taken bits away; a directory made here has exactly `mode`.
        if (::chmod(it->c_str(), mode) != 0) {
            return std::unexpected(lastError());
        }
    }
    struct stat st = {};
    if (::stat(directory.c_str(), &st) != 0) {
        return std::unexpected(lastError());
    }
    if (!S_ISDIR(st.st_mode)) {
        return std::unexpected(std::error_code(ENOTDIR, std::generic_category()));
    }
    return createdLast && !missing.empty();
}

bool isSafeDirectory(const fs::path& directory)
{
    struct stat st = {};
    if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return false;
    }
    return st.st_uid == ::geteuid() || (st.st_uid == 0 && (st.st_mode & S_ISVTX) != 0);
}

bool isPrivateDirectory(const fs::path& directory)
{
    struct stat st = {};
    return ::stat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()
        && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool isWritableDirectory(const fs::path& directory)
{
    struct stat st = {};
    return ::stat(directory.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(directory.c_str(), W_OK | X_OK) == 0;
}

bool isExecutableFile(const fs::path& file)
{
    struct stat st = {};
    return ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(file.c_str(), X_OK) == 0;
}

fs::path standardizedPath(const fs::path& path)
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

} // namespace vantorelle::Files
