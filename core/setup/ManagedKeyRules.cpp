// ManagedKeyRules: two small rules over lists of key paths.
#include "setup/ManagedKeyRules.h"

#include <filesystem>

#include "setup/SetupFiles.h"

namespace vantorelle::ManagedKeyRules {

std::vector<std::string> pathsKeptAfterUndo(const std::vector<std::string>& managed,
                                            const std::set<std::string>& deletionFailed)
{
    std::set<std::filesystem::path> failed;
    for (const auto& path : deletionFailed) {
        failed.insert(SetupFiles::standardised(path));
    }
    std::vector<std::string> kept;
    for (const auto& path : managed) {
        if (failed.contains(SetupFiles::standardised(path))) {
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
        ready.insert(SetupFiles::standardised(readyPath));
    }
    return ready == std::set<std::filesystem::path>{SetupFiles::standardised(path)};
}

} // namespace vantorelle::ManagedKeyRules
