// WhatsNew: what an update brings, kept from the moment it is ready until the new build first runs.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantorelle {

class Defaults;

// Numeric comparison of build strings: runs of digits compare as numbers ("10" after "9"),
// everything else byte by byte. Negative, zero or positive like strcmp.
int compareBuilds(std::string_view a, std::string_view b);

struct WhatsNew
{
    std::string version; // the update's display version
    std::string build; // the update's build number
    std::string notes; // release notes, possibly empty
    std::optional<std::string> format; // "html", "markdown", "plain-text" or whatever the feed said

    bool operator==(const WhatsNew&) const = default;

    // Due when the running build is this record's build or newer.
    bool isDue(std::string_view runningBuild) const;

    // JSON with the keys "version", "build", "notes" and, when present, "format".
    std::optional<std::string> encoded() const;
    static std::optional<WhatsNew> decoded(std::string_view json);
};

// The pending record in the shared defaults, under `key` ("pendingWhatsNew" in the app). Nothing
// here fails: a record that cannot be stored is not stored, and stored data that does not decode
// reads as no record and is left in place.
class WhatsNewStore
{
public:
    WhatsNewStore(Defaults& defaults, std::string key);

    void save(const WhatsNew& record);
    std::optional<WhatsNew> load() const;
    void clear();
    // The record if it is due for `runningBuild` (and then removed); otherwise nothing, and a
    // record for a newer build stays for a later launch.
    std::optional<WhatsNew> takeDue(std::string_view runningBuild);

private:
    Defaults& m_defaults;
    std::string m_key;
};

} // namespace vantorelle
