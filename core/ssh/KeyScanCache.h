// KeyScanCache: the key scan of ~/.ssh kept until something it read changes.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ssh/SSHKey.h"
#include "sys/FileIdentity.h"

namespace vantorelle {

// A scan starts an ssh-keygen per key; the app asks for the managed keys on every request, so it
// asks this cache instead. The cached list is reused while the identity (device, inode, size,
// modification and change time) of the directory, of its config file, of every entry the scan
// considered (so a key or .pub file rewritten in place counts) and of every IdentityFile named in
// the config is unchanged; any difference, or a file appearing or vanishing, rescans. Identities
// are taken before the scan, so a change during the scan is seen by the next call.
// Thread-safe: concurrent callers wait for one scan.
class KeyScanCache
{
public:
    using Scan = std::function<std::vector<SSHKey>(const std::filesystem::path& sshDir, std::string_view config,
                                                   const std::string& home)>;

    // `scan` defaults to KeyScanner::scan; tests count calls through their own.
    explicit KeyScanCache(Scan scan = {});

    // The keys of `sshDir` (its config read as UTF-8, empty when unreadable), as KeyScanner::scan.
    std::vector<SSHKey> keys(const std::filesystem::path& sshDir, const std::string& home);

private:
    using Identities = std::map<std::filesystem::path, std::optional<FileIdentity>>;
    static Identities snapshot(const std::filesystem::path& sshDir, std::string_view config, const std::string& home);
    static bool unchanged(const Identities& identities);

    Scan m_scan;
    std::mutex m_lock;
    std::optional<std::filesystem::path> m_dir;
    std::string m_home;
    Identities m_identities;
    std::vector<SSHKey> m_keys;
};

} // namespace vantorelle
