// Helpers for the setup tests: small file utilities and a snapshot of a directory tree.
#pragma once

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TestFiles.h"
#include "support/WithoutPrivileges.h"

namespace vantorelle::testing {

namespace fs = std::filesystem;

using test::readFile;

// Setup files are ordinary user files: 0644 unless a test says otherwise.
inline void writeFile(const fs::path& path, const std::string& text, fs::perms mode = fs::perms(0644))
{
    test::writeFile(path, text, mode);
}

inline unsigned modeOf(const fs::path& path)
{
    struct stat st = {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

inline bool existsNoFollow(const fs::path& path)
{
    struct stat st = {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Every entry under `root`: its type, mode and contents (or link target). Two equal snapshots mean
// nothing was written, created, removed or re-permissioned.
inline std::map<std::string, std::string> snapshot(const fs::path& root)
{
    std::map<std::string, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const auto& path = it->path();
        struct stat st = {};
        ::lstat(path.c_str(), &st);
        std::string description = std::to_string(st.st_mode);
        if (S_ISLNK(st.st_mode)) {
            description += " -> " + fs::read_symlink(path).string();
        } else if (S_ISREG(st.st_mode)) {
            description += " " + readFile(path);
        }
        entries[fs::relative(path, root).string()] = description;
    }
    return entries;
}

} // namespace vantorelle::testing
