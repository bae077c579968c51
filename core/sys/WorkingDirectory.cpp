// WorkingDirectory: where another process of this user stands, read from /proc.
#include "sys/WorkingDirectory.h"

#include <string>
#include <system_error>

namespace vantorelle {

std::optional<std::filesystem::path> workingDirectoryOf(std::int32_t pid, const std::filesystem::path& procRoot)
{
    if (pid < 1) {
        return std::nullopt;
    }
    std::error_code error;
    std::filesystem::path target = std::filesystem::read_symlink(procRoot / std::to_string(pid) / "cwd", error);
    if (error || !target.is_absolute()) {
        return std::nullopt;
    }
    return target;
}

} // namespace vantorelle
