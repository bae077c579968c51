// KeyScanner: finds the user's SSH private keys and says which of them the system can manage.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ssh/SSHKey.h"

namespace vantorelle::KeyScanner {

// Keys in `sshDir` (by name, hidden names included) and then keys named only by IdentityFile lines
// of `config` (the text of the ssh client configuration; "~" expands to `home`). Never fails: what
// cannot be read or listed drops out. Runs /usr/bin/ssh-keygen (stdin on /dev/null, no terminal,
// askpass off) for every file that looks like a private key and returns after all have ended.
std::vector<SSHKey> scan(const std::filesystem::path& sshDir, std::string_view config, const std::string& home);

// Every IdentityFile value of `config`, in order, tilde-expanded, later exact duplicates removed.
std::vector<std::string> identityFiles(std::string_view config, const std::string& home);

// The building blocks below are the scanner's own; they are public so tests can reach them.

// One section of the configuration: the lines before the first Host/Match, or one Host/Match block.
struct ConfigBlock
{
    std::vector<std::string> identityFiles; // tilde-expanded
    std::optional<std::string> identityAgent; // the block's first IdentityAgent value, as written
    bool operator==(const ConfigBlock&) const = default;
};
std::vector<ConfigBlock> parseBlocks(std::string_view config, const std::string& home);

// True for an IdentityAgent value that names an agent other than the standard one.
bool pointsToOtherAgent(const std::optional<std::string>& value);

// A readable regular file whose first bytes are "-----BEGIN ".
bool looksLikePrivateKey(const std::filesystem::path& path);

// The fields of one `ssh-keygen -l` line: "<bits> SHA256:<digest> <comment words...> (<TYPE>)".
struct Listing
{
    std::string fingerprint;
    std::string comment; // empty for "no comment"
    std::string type; // the last piece, parentheses included
    bool operator==(const Listing&) const = default;
};
std::optional<Listing> parseListing(std::string_view output);

// The key at `path` (standardised) described by ssh-keygen and classified; `other` when the
// configuration sends it to another agent.
std::optional<SSHKey> describeKey(const std::filesystem::path& path, bool other);

} // namespace vantorelle::KeyScanner
