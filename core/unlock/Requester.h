// Requester: who asked for a passphrase, as shown to the user and as the unlock policy sees it.
#pragma once

#include <compare>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vantorelle {

struct Requester
{
    enum class Kind {
        interactive, // may be shown a dialog
        background, // refused, with an occasional notification
        remote, // refused outright
    };

    std::string displayName;
    Kind kind = Kind::background;

    // Both fields take part: the same program seen as interactive and as background is two
    // requesters for snoozes and notification throttling.
    bool operator==(const Requester&) const = default;
    std::strong_ordering operator<=>(const Requester&) const = default;
};

// The coded form: "interactive", "background", "remote".
std::string_view toString(Requester::Kind kind);
// Any other text gives nothing.
std::optional<Requester::Kind> requesterKindFromString(std::string_view raw);

// The JSON form: {"displayName": "...", "kind": "interactive"}.
std::string encodeRequester(const Requester& requester);
// Nothing for anything that is not such an object (never throws); other members are ignored.
std::optional<Requester> decodeRequester(std::string_view json);

} // namespace vantorelle

template <> struct std::hash<vantorelle::Requester>
{
    std::size_t operator()(const vantorelle::Requester& requester) const noexcept
    {
        const std::size_t name = std::hash<std::string>{}(requester.displayName);
        return name ^ (static_cast<std::size_t>(requester.kind) + 0x9e3779b97f4a7c15ULL + (name << 6) + (name >> 2));
    }
};
