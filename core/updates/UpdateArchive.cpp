// UpdateArchive: Ed25519 through libsodium, and a ustar reader that trusts no name in the archive.
#include "updates/UpdateArchive.h"

#include <array>
#include <cstdint>
#include <optional>
#include <sodium.h>
#include <system_error>
#include <vector>

#include "sys/Files.h"

namespace vantorelle::UpdateArchive {
namespace {

constexpr std::size_t kBlock = 512;

std::optional<std::vector<unsigned char>> fromBase64(std::string_view text, std::size_t expected)
{
    std::vector<unsigned char> bytes(expected + 3);
    std::size_t length = 0;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), " \t\r\n", &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL)
            != 0
        || length != expected) {
        return std::nullopt;
    }
    bytes.resize(length);
    return bytes;
}

std::string field(std::string_view header, std::size_t offset, std::size_t size)
{
    std::string_view text = header.substr(offset, size);
    return std::string(text.substr(0, text.find('\0')));
}

std::optional<std::uint64_t> octal(std::string_view header, std::size_t offset, std::size_t size)
{
    std::uint64_t value = 0;
    bool digits = false;
    for (char c : header.substr(offset, size)) {
        if (c == '\0' || (c == ' ' && digits)) {
            break;
        }
        if (c == ' ' && !digits) {
            continue;
        }
        if (c < '0' || c > '7' || value > (UINT64_MAX >> 3)) {
            return std::nullopt;
        }
        value = value * 8 + static_cast<std::uint64_t>(c - '0');
        digits = true;
    }
    return digits ? std::optional(value) : std::nullopt;
}

bool checksumMatches(std::string_view header)
{
    const auto stored = octal(header, 148, 8);
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < kBlock; ++i) {
        sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(header[i]);
    }
    return stored && *stored == sum;
}

// The entry's name as clean relative components; nothing for a name that could leave the folder.
std::optional<std::filesystem::path> safeName(const std::string& name)
{
    if (name.empty() || name.front() == '/') {
        return std::nullopt;
    }
    std::filesystem::path clean;
    for (const auto& part : std::filesystem::path(name)) {
        if (part == "..") {
            return std::nullopt;
        }
        if (part.empty() || part == ".") {
            continue;
        }
        clean /= part;
    }
    if (clean.empty()) {
        return std::nullopt;
    }
    return clean;
}

// A link target, read from the link's own folder, that stays inside the archive's folder. A ".."
// is taken only before any named part: after a name, which may itself be a link of the archive,
// the kernel climbs from wherever that link leads, not from where the name stands.
bool linkStaysInside(const std::filesystem::path& link, const std::string& target)
{
    if (target.empty() || target.front() == '/') {
        return false;
    }
    int depth = 0;
    for (const auto& part : link.parent_path()) {
        (void)part;
        ++depth;
    }
    bool named = false;
    for (const auto& part : std::filesystem::path(target)) {
        if (part == "..") {
            if (named || --depth < 0) {
                return false;
            }
        } else if (!part.empty() && part != ".") {
            named = true;
        }
    }
    return true;
}

// The folders on the way to `relative` exist and are real folders, not links: a file is never
// written through a link, even one pointing inside.
std::expected<void, std::string> makeParents(const std::filesystem::path& root, const std::filesystem::path& relative)
{
    std::filesystem::path dir = root;
    for (const auto& part : relative.parent_path()) {
        dir /= part;
        std::error_code ec;
        const auto status = std::filesystem::symlink_status(dir, ec);
        if (status.type() == std::filesystem::file_type::not_found) {
            if (!std::filesystem::create_directory(dir, ec) || ec) {
                return std::unexpected("cannot create " + dir.string() + ": " + ec.message());
            }
        } else if (status.type() != std::filesystem::file_type::directory) {
            return std::unexpected("entry below a non-folder: " + relative.string());
        }
    }
    return {};
}

} // namespace

bool signatureValid(std::string_view data, std::string_view signatureBase64, std::string_view publicKeyBase64)
{
    if (sodium_init() < 0) {
        return false;
    }
    const auto key = fromBase64(publicKeyBase64, crypto_sign_PUBLICKEYBYTES);
    const auto signature = fromBase64(signatureBase64, crypto_sign_BYTES);
    if (!key || !signature) {
        return false;
    }
    return crypto_sign_verify_detached(signature->data(), reinterpret_cast<const unsigned char*>(data.data()),
                                       data.size(), key->data())
        == 0;
}

std::expected<void, std::string> extract(std::string_view tar, const std::filesystem::path& into)
{
    std::size_t offset = 0;
    for (;;) {
        if (offset + kBlock > tar.size()) {
            return std::unexpected("archive truncated");
        }
        const std::string_view header = tar.substr(offset, kBlock);
        offset += kBlock;
        if (header.find_first_not_of('\0') == std::string_view::npos) {
            break;
        }
        if (header.substr(257, 5) != "ustar" || !checksumMatches(header)) {
            return std::unexpected("damaged archive header");
        }
        std::string name = field(header, 0, 100);
        if (const std::string prefix = field(header, 345, 155); !prefix.empty()) {
            name = prefix + "/" + name;
        }
        const auto size = octal(header, 124, 12);
        const auto mode = octal(header, 100, 8);
        const char type = header[156];
        if (!size || !mode) {
            return std::unexpected("damaged archive header");
        }
        const auto relative = safeName(name);
        if (!relative) {
            return std::unexpected("entry escapes the folder: " + name);
        }
        if (*size > tar.size() - offset) {
            return std::unexpected("archive truncated");
        }
        const std::string_view content = tar.substr(offset, *size);
        offset += (*size + kBlock - 1) / kBlock * kBlock;

        if (auto parents = makeParents(into, *relative); !parents) {
            return parents;
        }
        const auto target = into / *relative;
        std::error_code ec;
        switch (type) {
        case '0':
        case '\0': {
            const auto written = Files::createExclusive(
                target, content, Files::Mode{.bits = static_cast<mode_t>(0644 | (*mode & 0111))});
            if (!written) {
                return std::unexpected("cannot write " + relative->string() + ": " + written.error().message());
            }
            break;
        }
        case '5':
            if (std::filesystem::symlink_status(target, ec).type() == std::filesystem::file_type::directory) {
                break;
            }
            if (!std::filesystem::create_directory(target, ec) || ec) {
                return std::unexpected("cannot create " + relative->string());
            }
            break;
        case '2': {
            const std::string linkTarget = field(header, 157, 100);
            if (!linkStaysInside(*relative, linkTarget)) {
                return std::unexpected("link points out of the folder: " + name + " -> " + linkTarget);
            }
            std::filesystem::create_symlink(linkTarget, target, ec);
            if (ec) {
                return std::unexpected("cannot create link " + relative->string() + ": " + ec.message());
            }
            break;
        }
        default:
            return std::unexpected("unsupported archive entry: " + name);
        }
    }
    return {};
}

} // namespace vantorelle::UpdateArchive
