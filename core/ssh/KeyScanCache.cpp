// KeyScanCache: a stat per input instead of a process per key.
#include "ssh/KeyScanCache.h"

#include "ssh/KeyScanner.h"
#include "sys/Files.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;

// Far beyond any real ssh config; a larger file is not one.
constexpr std::size_t kMaxConfigBytes = 4 << 20;

// An unreadable config reads as empty, as the scanner itself would have it.
std::string readConfig(const fs::path& file)
{
    return Files::read(file, kMaxConfigBytes).value_or(std::string());
}

} // namespace

KeyScanCache::KeyScanCache(Scan scan)
    : m_scan(scan ? std::move(scan) : Scan(&KeyScanner::scan))
{
}

KeyScanCache::Identities KeyScanCache::snapshot(const fs::path& sshDir, std::string_view config,
                                                const std::string& home)
{
    Identities identities;
    identities[sshDir] = FileIdentity::of(sshDir);
    identities[sshDir / "config"] = FileIdentity::of(sshDir / "config");
    std::error_code ec;
    for (fs::directory_iterator it(sshDir, ec), end; !ec && it != end; it.increment(ec)) {
        identities[it->path()] = FileIdentity::of(it->path());
    }
    for (const auto& file : KeyScanner::identityFiles(config, home)) {
        const fs::path key = Files::standardizedPath(file);
        identities[key] = FileIdentity::of(key);
        identities[key.string() + ".pub"] = FileIdentity::of(key.string() + ".pub");
    }
    return identities;
}

bool KeyScanCache::unchanged(const Identities& identities)
{
    for (const auto& [path, identity] : identities) {
        if (FileIdentity::of(path) != identity) {
            return false;
        }
    }
    return true;
}

std::vector<SSHKey> KeyScanCache::keys(const fs::path& sshDir, const std::string& home)
{
    std::lock_guard guard(m_lock);
    if (m_dir == sshDir && m_home == home && unchanged(m_identities)) {
        return m_keys;
    }
    // The config is read after its identity is taken: an edit in between only costs a rescan.
    const auto configIdentity = FileIdentity::of(sshDir / "config");
    const std::string config = readConfig(sshDir / "config");
    auto identities = snapshot(sshDir, config, home);
    identities[sshDir / "config"] = configIdentity;
    m_keys = m_scan(sshDir, config, home);
    m_identities = std::move(identities);
    m_dir = sshDir;
    m_home = home;
    return m_keys;
}

} // namespace vantorelle
