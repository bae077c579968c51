// Installation: versions side by side, one link switched by rename(2).
#include "updates/Installation.h"

#include <random>
#include <system_error>

#include "sys/Files.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kStagingPrefix = ".vantorelle-update-";
constexpr std::string_view kLinkPrefix = ".vantorelle-link-";

std::string randomSuffix()
{
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    std::string suffix;
    for (int i = 0; i < 10; ++i) {
        suffix += letters[device() % (sizeof letters - 1)];
    }
    return suffix;
}

} // namespace

bool Installation::validBuild(std::string_view build)
{
    if (build.empty() || build == "." || build == ".." || build.size() > 64) {
        return false;
    }
    for (char c : build) {
        const bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.'
            || c == '_' || c == '-';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

std::expected<Installation, Installation::Refusal> Installation::find(const fs::path& programFolder)
{
    std::error_code ec;
    const fs::path folder = fs::weakly_canonical(programFolder, ec);
    const fs::path lib = folder.parent_path();
    const fs::path link = lib / "vantorelle";
    if (!Files::isWritableDirectory(lib)) {
        return std::unexpected(
            Refusal{Refusal::Kind::packageManager,
                    lib.string() + " is not writable; updates come from the system's package manager"});
    }
    if (!fs::is_symlink(link, ec)) {
        return std::unexpected(
            Refusal{Refusal::Kind::notPerUser,
                    "not a per-user install: " + link.string() + " is not a link to a version folder"});
    }
    if (fs::weakly_canonical(link, ec) != folder || ec) {
        return std::unexpected(
            Refusal{Refusal::Kind::notPerUser,
                    "the running copy " + folder.string() + " is not the one " + link.string() + " points at"});
    }
    return Installation(lib, folder.filename());
}

fs::path Installation::lastingProgramFolder(const fs::path& programFolder)
{
    std::error_code ec;
    const fs::path folder = fs::weakly_canonical(programFolder, ec);
    const fs::path link = folder.parent_path() / "vantorelle";
    if (!ec && fs::is_symlink(link, ec) && fs::weakly_canonical(link, ec) == folder && !ec) {
        return link;
    }
    return programFolder;
}

std::expected<fs::path, std::string> Installation::makeStagingFolder() const
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(m_lib, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(kStagingPrefix) || name.starts_with(kLinkPrefix)) {
            fs::remove_all(entry.path(), ec);
        }
    }
    const fs::path staging = m_lib / (std::string(kStagingPrefix) + randomSuffix());
    if (!fs::create_directory(staging, ec) || ec) {
        return std::unexpected("cannot create " + staging.string() + ": " + ec.message());
    }
    fs::permissions(staging, fs::perms::owner_all, ec);
    return staging;
}

std::expected<void, std::string> Installation::pointLinkAt(const fs::path& folderName)
{
    const fs::path temporary = m_lib / (std::string(kLinkPrefix) + randomSuffix());
    std::error_code ec;
    fs::create_symlink(folderName, temporary, ec);
    if (ec) {
        return std::unexpected("cannot create a link in " + m_lib.string() + ": " + ec.message());
    }
    fs::rename(temporary, m_lib / "vantorelle", ec);
    if (ec) {
        fs::remove(temporary, ec);
        return std::unexpected("cannot switch " + (m_lib / "vantorelle").string() + ": " + ec.message());
    }
    return {};
}

std::expected<void, std::string> Installation::install(const fs::path& staged, std::string_view build)
{
    if (!validBuild(build)) {
        return std::unexpected("refused build name: " + std::string(build));
    }
    const fs::path unpacked = staged / "lib" / "vantorelle";
    std::error_code ec;
    if (fs::symlink_status(unpacked, ec).type() != fs::file_type::directory) {
        return std::unexpected("the archive holds no lib/vantorelle folder");
    }
    const fs::path name = "vantorelle-" + std::string(build);
    if (name == m_current) {
        return std::unexpected("build " + std::string(build) + " is the running one");
    }
    fs::remove_all(m_lib / name, ec);
    fs::rename(unpacked, m_lib / name, ec);
    if (ec) {
        return std::unexpected("cannot move the new version into place: " + ec.message());
    }
    if (auto switched = pointLinkAt(name); !switched) {
        fs::remove_all(m_lib / name, ec);
        return switched;
    }
    m_previous = m_current;
    m_current = name;
    // One version back is kept for a roll-back; anything older goes.
    for (const auto& entry : fs::directory_iterator(m_lib, ec)) {
        const fs::path file = entry.path().filename();
        if (file.string().starts_with("vantorelle-") && file != m_current && file != m_previous
            && !fs::is_symlink(entry.path(), ec)) {
            fs::remove_all(entry.path(), ec);
        }
    }
    fs::remove_all(staged, ec);
    return {};
}

std::expected<void, std::string> Installation::rollBack()
{
    if (m_previous.empty()) {
        return std::unexpected("no earlier version to go back to");
    }
    if (auto switched = pointLinkAt(m_previous); !switched) {
        return switched;
    }
    std::swap(m_current, m_previous);
    return {};
}

} // namespace vantorelle
