// ManagedKeyRules: two small rules over lists of key paths.
#include "setup/ManagedKeyRules.h"

#include <filesystem>

#include "sys/Files.h"

namespace vantorelle::ManagedKeyRules {

std::vector<std::string> pathsKeptAfterUndo(const std::vector<std::string>& managed,
                                            const std::set<std::string>& deletionFailed)
{
    std::set<std::filesystem::path> failed;
    for (const auto& path : deletionFailed) {
        failed.insert(Files::standardizedPath(path));
    }
    std::vector<std::string> kept;
    for (const auto& path : managed) {
        if (failed.contains(Files::standardizedPath(path))) {
            kept.push_back(path);
        }
    }
    return kept;
}

bool unmanageBreaksSSH(const std::string& path, const std::vector<std::string>& readyPaths, bool setupApplied)
{
    if (!setupApplied) {
        return false;
    }
    std::set<std::filesystem::path> ready;
    for (const auto& readyPath : readyPaths) {
        ready.insert(Files::standardizedPath(readyPath));
    }
    return ready == std::set<std::filesystem::path>{Files::standardizedPath(path)};
}

} // namespace vantorelle::ManagedKeyRules
