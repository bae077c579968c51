// Helpers shared by the OpenSSH tool drivers: ASCII case folding, the
// minimal tool environment and the tools' absolute paths.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sys/Environment.h"

namespace vantorelle::ToolText {

inline constexpr const char* kSshAdd = "/usr/bin/ssh-add";
inline constexpr const char* kSshKeygen = "/usr/bin/ssh-keygen";

// ASCII letters lower-cased; other bytes unchanged (enough for the English words matched in prompts).
std::string lowercased(std::string_view text);

// What every OpenSSH tool runs with: "PATH" = "/usr/bin:/bin", "LANG" = "C", "HOME" from `from`
// when set there, and askpass switched off ("SSH_ASKPASS_REQUIRE" = "never", no "SSH_ASKPASS").
Environment toolEnvironment(const Environment& from);

// The non-empty lines of `text`, split at every line break OpenSSH's readers or Unicode know
// (LF, VT, FF, CR, CR LF, NEL, LS, PS). The views point into `text`.
std::vector<std::string_view> lines(std::string_view text);

// An argument that starts with "-" would be read as an option by ssh-add; "./" keeps it a path.
std::string pathArgument(const std::string& path);

} // namespace vantorelle::ToolText
