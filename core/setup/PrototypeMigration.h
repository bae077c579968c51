// PrototypeMigration: finds and removes what the earlier ssh-quillgate prototype left on a machine.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "setup/SetupPlan.h"

namespace vantorelle {

struct Leftover
{
    enum class Kind {
        shellExport, // the start-up file `url` still exports the prototype's askpass script
        addKeysToAgent, // the ssh configuration `url` still holds the prototype's AddKeysToAgent setting
        path, // a file or directory the prototype installed, at `url`
        keychainService, // a secret-store service the prototype used, with at least one item present
    };
    Kind kind = Kind::path;
    std::filesystem::path url; // for every kind but keychainService
    std::string service; // for keychainService

    static Leftover shellExport(std::filesystem::path url) { return {Kind::shellExport, std::move(url), {}}; }
    static Leftover addKeysToAgent(std::filesystem::path url) { return {Kind::addKeysToAgent, std::move(url), {}}; }
    static Leftover path(std::filesystem::path url) { return {Kind::path, std::move(url), {}}; }
    static Leftover keychainService(std::string name) { return {Kind::keychainService, {}, std::move(name)}; }

    bool operator==(const Leftover&) const = default;
};

namespace PrototypeMigration {

enum class KeychainDeleteResult { deleted, notFound, failed };

inline constexpr std::array<std::string_view, 2> keychainServices{"ssh-quillgate", "ssh-quillgate-grace"};
// The suffix the caller passes to SetupPlan::apply for the removal plan.
inline constexpr std::string_view backupSuffix = ".bak-vantorelle-migration";
// Relative to the home directory, in the order they are reported.
inline constexpr std::array<std::string_view, 4> prototypePaths{
    ".local/bin/ssh-quillgate-askpass",
    ".local/bin/quillgate-unlock",
    "Applications/Quillgate Unlock.app",
    ".local/share/ssh-quillgate",
};
// How many times one service's deletion is asked for: each call removes at most one item.
inline constexpr int kDeleteAttempts = 32;

// The leftovers present now: the export in ~/.zshenv, the agent setting in ~/.ssh/config (outside
// the managed block), the installed paths (a dangling link counts), then the services that
// `keychainHas` reports items for. Unreadable files are skipped.
std::vector<Leftover> detect(const std::filesystem::path& home,
                             const std::function<bool(std::string_view)>& keychainHas);

// The text edits for the shellExport and addKeysToAgent leftovers, in their order; the other kinds
// contribute nothing. Apply it with `backupSuffix`.
SetupPlan removalPlan(const std::vector<Leftover>& leftovers, const std::filesystem::path& home);

// Asks `deleteOne` kDeleteAttempts times for each service, then returns the services for which
// `keychainHas` still answers true (empty: everything is gone).
std::vector<std::string> removeKeychainServices(const std::vector<std::string>& services,
                                                const std::function<KeychainDeleteResult(std::string_view)>& deleteOne,
                                                const std::function<bool(std::string_view)>& keychainHas);

// The text rules, public for tests. Lines are cut at line feeds; the lines of the system's own
// managed block (trimmed marker lines included) are never touched.

// The text without the prototype's export lines: each export line with the comment line just
// before it, the companion SSH_ASKPASS_REQUIRE line just after it, and one blank line before all
// that. Repeated until none is left.
std::string stripPrototypeExport(std::string_view text);

// The text with each prototype AddKeysToAgent line (value "3h", any letter case) given back
// `earlierValue`, or deleted when there is none.
std::string restoreAddKeysToAgent(std::string_view text, const std::optional<std::string>& earlierValue);

// The value of the first non-empty AddKeysToAgent line of the prototype's backup text, unless it
// is the prototype's own "3h".
std::optional<std::string> earlierAddKeysToAgent(std::string_view backupText);

} // namespace PrototypeMigration
} // namespace vantorelle

template <> struct std::hash<vantorelle::Leftover>
{
    std::size_t operator()(const vantorelle::Leftover& leftover) const noexcept
    {
        const std::size_t kind = static_cast<std::size_t>(leftover.kind);
        const std::size_t payload = leftover.kind == vantorelle::Leftover::Kind::keychainService
            ? std::hash<std::string>{}(leftover.service)
            : std::filesystem::hash_value(leftover.url);
        return payload * 31 + kind;
    }
};
