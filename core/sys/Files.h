// Files: the one way the core reads, replaces and creates files and directories.
#pragma once

#include <cstddef>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <system_error>

namespace vantorelle::Files {

struct ReadError
{
    enum class Kind {
        missing, // nothing at the path (ENOENT, ENOTDIR)
        notRegular, // a FIFO, a device, a directory, a socket: never read
        tooLarge, // more than the caller's bound
        io, // opening or reading failed otherwise; `error` is errno
    };
    Kind kind = Kind::io;
    int error = 0;
    bool operator==(const ReadError&) const = default;
};

// The whole content of a regular file of at most `maxBytes`. The file is opened without blocking
// and never as a controlling terminal, so a FIFO or a device planted at the path cannot hang or
// flood the reader. Links are followed.
std::expected<std::string, ReadError> read(const std::filesystem::path& path, std::size_t maxBytes);

// The permissions a new file gets: exactly `mode`, or `mode` as the umask limits it.
struct Mode
{
    mode_t bits = 0600;
    bool limitedByUmask = false;
};

enum class Existing {
    replace, // the new content replaces whatever file is at the path
    keep, // the write fails with EEXIST when a file appeared at the path meanwhile
};

// Writes `bytes` to a uniquely named temporary file beside `target` (so concurrent writers never
// meet), flushes it to disk and renames it over `target`; the directory is flushed too. Readers
// see the old or the new content, never a mix. On failure `target` is unchanged and no temporary
// file is left. `target` itself is replaced, not followed if it is a link.
std::expected<void, std::error_code> replace(const std::filesystem::path& target, std::string_view bytes, Mode mode,
                                             Existing existing = Existing::replace);

// Creates `path` with `bytes` only if nothing is there: the content is written and flushed under
// a temporary name and then linked into place, so the file appears whole or not at all, and of
// two processes creating it one wins and the other gets EEXIST.
std::expected<void, std::error_code> createExclusive(const std::filesystem::path& path, std::string_view bytes,
                                                     Mode mode);

// Creates the missing directories on the way to `directory`, each with exactly `mode`. Existing
// ones are left as they are. Returns whether `directory` itself was created by this call; fails
// with ENOTDIR when something other than a directory is in the way.
std::expected<bool, std::error_code> createDirectories(const std::filesystem::path& directory, mode_t mode = 0700);

// A directory another user cannot swap files in: owned by this user, or owned by root with the
// sticky bit (like /tmp). Links are followed.
bool isSafeDirectory(const std::filesystem::path& directory);

// A directory of this user that no one else can write to: owned by this user, not group- or
// world-writable.
bool isPrivateDirectory(const std::filesystem::path& directory);

// A directory this process may create and remove entries in (write and search permission, as
// access(2) judges it for the real user). Links are followed.
bool isWritableDirectory(const std::filesystem::path& directory);

// A regular file this process may run (access(2) with X_OK). Links are followed.
bool isExecutableFile(const std::filesystem::path& file);

// Absolute (a relative path against the current directory) with "." and ".." resolved lexically,
// redundant separators dropped and no trailing slash. Symbolic links are not followed, so the
// same file reached through a link is another path. Used wherever two paths are compared.
std::filesystem::path standardizedPath(const std::filesystem::path& path);

} // namespace vantorelle::Files
