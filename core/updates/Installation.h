// Installation: a per-user install that updates itself, <prefix>/lib/vantorelle being a link to
// the folder of the running version, <prefix>/lib/vantorelle-<build>.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace vantorelle {

class Installation
{
public:
    struct Refusal
    {
        enum class Kind {
            packageManager, // the user cannot write the prefix: the system's packages bring updates
            notPerUser, // a build folder or a hand-made copy, not the layout below
        };
        Kind kind;
        std::string reason;
    };

    // The install around `programFolder` (the running program's folder, links resolved). Refused
    // when the user cannot write the lib/ folder above it, or when the folder is not the target
    // of a link lib/vantorelle beside it.
    static std::expected<Installation, Refusal> find(const std::filesystem::path& programFolder);

    // The folder to name in files that outlive this version (the helper path in the shell start-up
    // file and the session, the login item, the command-line link): lib/vantorelle when that link
    // leads to `programFolder`, since a version folder is removed two updates later; otherwise
    // `programFolder` itself.
    static std::filesystem::path lastingProgramFolder(const std::filesystem::path& programFolder);

    // Build numbers come from the feed and end up in a folder name: digits, letters, '.', '_'
    // and '-' only, and not "." or "..".
    static bool validBuild(std::string_view build);

    const std::filesystem::path& libFolder() const { return m_lib; }
    // The program as the link reaches it: after an install, the new version's.
    std::filesystem::path program(std::string_view name) const { return m_lib / "vantorelle" / name; }

    // A new private folder beside the versions for downloading and unpacking, so the final move
    // is a rename on one file system. Leftovers of earlier runs are removed first.
    std::expected<std::filesystem::path, std::string> makeStagingFolder() const;

    // Moves the unpacked `staged`/lib/vantorelle to lib/vantorelle-<build>, then points the link
    // at it by renaming a new link over the old one, so a start at any moment finds one whole
    // version. The version that ran before stays for a roll-back; older ones are removed.
    std::expected<void, std::string> install(const std::filesystem::path& staged, std::string_view build);
    // Points the link back at the version that ran before the last install.
    std::expected<void, std::string> rollBack();

private:
    Installation(std::filesystem::path lib, std::filesystem::path current)
        : m_lib(std::move(lib))
        , m_current(std::move(current))
    {
    }
    std::expected<void, std::string> pointLinkAt(const std::filesystem::path& folderName);

    std::filesystem::path m_lib;
    std::filesystem::path m_current; // the folder name the link points at, such as "vantorelle-7"
    std::filesystem::path m_previous;
};

} // namespace vantorelle
