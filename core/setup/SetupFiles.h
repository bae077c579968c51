// SetupFiles: the managed block texts and the safe way setup reads and writes a user's file.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace vantorelle::SetupFiles {

// The body of the ssh configuration block (no marker lines, no final line break). A path that is
// empty or holds white space, a quote or a backslash is written in double quotes with '"' and '\'
// escaped, which is how ssh reads quoted arguments (a bare quote or backslash would make ssh reject
// the whole file). A "%" is doubled, since ssh expands "%" tokens in identity paths. A path holding
// a line break cannot be written as one line, and one holding "${" cannot be kept from ssh's
// environment expansion: both are left out.
std::string sshBlock(const std::vector<std::string>& identityFiles);

// Whether sshBlock can write the path (no line break, no "${").
bool fitsSSHBlock(std::string_view path);

// The body of the shell start-up block: the two exports, guarded by a test that the helper is
// there. The path is double-quoted for the shell with '\', '"', '$' and '`' escaped.
std::string zshBlock(std::string_view askpassPath);

// The shell's double-quoted form of `text`.
std::string shellQuoted(std::string_view text);

// The same two variables for fish ("set -gx"), guarded the same way; the path single-quoted
// with '\' and '\'' escaped, the only escapes fish reads inside single quotes.
std::string fishBlock(std::string_view askpassPath);
std::string fishQuoted(std::string_view text);

// A file's text as setup sees it.
struct FileText
{
    enum class State {
        missing, // nothing there (a dangling symbolic link counts as missing)
        readable, // valid UTF-8
        unreadable, // a read error, a directory, or bytes that are not UTF-8
    };
    State state = State::missing;
    std::string text; // empty unless readable
};
FileText read(const std::filesystem::path& path);

// The path with symbolic links in its last component followed until it names no link (a dangling
// link resolves to the path it points at). Fails with ELOOP after 40 links.
std::expected<std::filesystem::path, std::error_code> resolveLinks(const std::filesystem::path& path);

// What the plan saw at the file when it was made.
enum class Expected { existing, missing };

// The safe write, on the file `url` names after resolving links (so a linked file is edited
// where it lives and the link stays a link):
// - a new file (none there, or `expected` is missing) is written to a uniquely named temporary
//   file, flushed, and renamed into place with `newFileMode` (further limited by the umask). No
//   backup is made: there was nothing to keep, so undo may remove the file. A file that appeared
//   meanwhile is not replaced: EEXIST, unless it already holds `text`, which counts as done;
// - an existing file is first copied once to target + `backupSuffix` (created exclusively; an
//   existing backup is never overwritten, so it keeps the file as it was before the first edit);
//   then the text replaces the target atomically with the target's permissions.
// On failure the target is unchanged and no temporary file or partial backup is left behind.
// Concurrent writers never share a temporary file.
std::expected<void, std::error_code> write(std::string_view text, const std::filesystem::path& url,
                                           std::string_view backupSuffix,
                                           std::filesystem::perms newFileMode = std::filesystem::perms(0666),
                                           Expected expected = Expected::existing);

} // namespace vantorelle::SetupFiles
