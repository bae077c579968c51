// WorkingDirectory: where another process of this user stands, read from /proc.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace vantorelle {

// The target of /proc/<pid>/cwd: an absolute path, or nothing when it cannot be read (no such
// process, another user's process, pid < 1). A deleted directory reads as the kernel shows it,
// with " (deleted)" appended, and so names no file.
std::optional<std::filesystem::path> workingDirectoryOf(std::int32_t pid,
                                                        const std::filesystem::path& procRoot = "/proc");

} // namespace vantorelle
