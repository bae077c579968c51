// FileIdentity: what tells one version of a file from another without reading it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace vantorelle {

// Device, inode, size and the modification and change times in nanoseconds. A file rewritten in
// place changes its times; one replaced by rename changes its inode; chmod changes its change time.
struct FileIdentity
{
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    bool operator==(const FileIdentity&) const = default;

    // The identity of what `path` names (links followed), or nothing when it cannot be stat'ed.
    static std::optional<FileIdentity> of(const std::filesystem::path& path);
};

} // namespace vantorelle
