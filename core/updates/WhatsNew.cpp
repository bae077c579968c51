// WhatsNew: the record, its JSON form, the numeric build comparison and the store over Defaults.
#include "updates/WhatsNew.h"

#include <nlohmann/json.hpp>

#include "defaults/Defaults.h"

namespace vantorelle {
namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

int compareBuilds(std::string_view a, std::string_view b)
{
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t endA = i;
            std::size_t endB = j;
            while (endA < a.size() && isDigit(a[endA])) {
                ++endA;
            }
            while (endB < b.size() && isDigit(b[endB])) {
                ++endB;
            }
            // Compare the runs as numbers of any length: leading zeros dropped, then the longer
            // run is the larger number, then digit by digit.
            auto runA = a.substr(i, endA - i);
            auto runB = b.substr(j, endB - j);
            runA.remove_prefix(std::min(runA.find_first_not_of('0'), runA.size()));
            runB.remove_prefix(std::min(runB.find_first_not_of('0'), runB.size()));
            if (runA.size() != runB.size()) {
                return runA.size() < runB.size() ? -1 : 1;
            }
            if (const int order = runA.compare(runB); order != 0) {
                return order < 0 ? -1 : 1;
            }
            i = endA;
            j = endB;
            continue;
        }
        const auto ca = static_cast<unsigned char>(a[i]);
        const auto cb = static_cast<unsigned char>(b[j]);
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
        ++i;
        ++j;
    }
    if (i < a.size()) {
        return 1;
    }
    if (j < b.size()) {
        return -1;
    }
    return 0;
}

bool WhatsNew::isDue(std::string_view runningBuild) const
{
    return compareBuilds(runningBuild, build) >= 0;
}

std::optional<std::string> WhatsNew::encoded() const
{
    nlohmann::json json = {{"version", version}, {"build", build}, {"notes", notes}};
    if (format) {
        json["format"] = *format;
    }
    try {
        // Text that is not UTF-8 cannot be JSON; it is not stored rather than stored mangled.
        return json.dump();
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::optional<WhatsNew> WhatsNew::decoded(std::string_view text)
{
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_object()) {
        return std::nullopt;
    }
    const auto field = [&json](const char* name) -> const nlohmann::json* {
        const auto it = json.find(name);
        return it != json.end() && it->is_string() ? &*it : nullptr;
    };
    const auto* version = field("version");
    const auto* build = field("build");
    const auto* notes = field("notes");
    if (!version || !build || !notes) {
        return std::nullopt;
    }
    WhatsNew record{version->get<std::string>(), build->get<std::string>(), notes->get<std::string>(), std::nullopt};
    if (const auto it = json.find("format"); it != json.end() && !it->is_null()) {
        if (!it->is_string()) {
            return std::nullopt;
        }
        record.format = it->get<std::string>();
    }
    return record;
}

WhatsNewStore::WhatsNewStore(Defaults& defaults, std::string key)
    : m_defaults(defaults)
    , m_key(std::move(key))
{
}

void WhatsNewStore::save(const WhatsNew& record)
{
    if (auto json = record.encoded()) {
        m_defaults.set(m_key, std::move(*json));
    }
}

std::optional<WhatsNew> WhatsNewStore::load() const
{
    const auto data = m_defaults.string(m_key);
    if (!data) {
        return std::nullopt;
    }
    return WhatsNew::decoded(*data);
}

void WhatsNewStore::clear()
{
    m_defaults.remove(m_key);
}

std::optional<WhatsNew> WhatsNewStore::takeDue(std::string_view runningBuild)
{
    auto record = load();
    if (!record || !record->isDue(runningBuild)) {
        return std::nullopt;
    }
    clear();
    return record;
}

} // namespace vantorelle
