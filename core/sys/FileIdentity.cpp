// FileIdentity: one stat(2).
#include "sys/FileIdentity.h"

#include <sys/stat.h>

namespace vantorelle {

std::optional<FileIdentity> FileIdentity::of(const std::filesystem::path& path)
{
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    const auto nanoseconds = [](const timespec& t) { return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec; };
    return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                        static_cast<std::int64_t>(st.st_size), nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)};
}

} // namespace vantorelle
