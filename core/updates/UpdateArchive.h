// UpdateArchive: the checks a downloaded update passes before anything of it touches the install.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace vantorelle::UpdateArchive {

// Whether `signatureBase64` is a valid Ed25519 signature of `data` by the key `publicKeyBase64`
// (both in standard base64). A key or signature that does not decode, or has the wrong length,
// is simply invalid.
bool signatureValid(std::string_view data, std::string_view signatureBase64, std::string_view publicKeyBase64);

// Unpacks a ustar archive into the existing, empty directory `into`. Only regular files,
// directories and links that stay inside `into` are accepted; an absolute name, a ".." that
// leaves the folder, a link pointing out, a hard link, a device, a duplicate name, a damaged
// header or a truncated archive refuse the whole archive. On refusal the caller discards `into`;
// nothing is ever written outside it. Files keep their execute bits, nothing else of the mode.
std::expected<void, std::string> extract(std::string_view tar, const std::filesystem::path& into);

} // namespace vantorelle::UpdateArchive
