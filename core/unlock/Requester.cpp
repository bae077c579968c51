// Requester: who asked for a passphrase, as shown to the user and as the unlock policy sees it.
#include "unlock/Requester.h"

#include <nlohmann/json.hpp>

namespace vantorelle {

std::string_view toString(Requester::Kind kind)
{
    switch (kind) {
    case Requester::Kind::interactive:
        return "interactive";
    case Requester::Kind::background:
        return "background";
    case Requester::Kind::remote:
        return "remote";
    }
    return "background";
}

std::optional<Requester::Kind> requesterKindFromString(std::string_view raw)
{
    for (const auto kind : {Requester::Kind::interactive, Requester::Kind::background, Requester::Kind::remote}) {
        if (raw == toString(kind)) {
            return kind;
        }
    }
    return std::nullopt;
}

std::string encodeRequester(const Requester& requester)
{
    nlohmann::ordered_json object;
    object["displayName"] = requester.displayName;
    object["kind"] = toString(requester.kind);
    // A name cut from a process table may hold invalid UTF-8: replace it rather than throw.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<Requester> decodeRequester(std::string_view json)
{
    const nlohmann::json value = nlohmann::json::parse(json, nullptr, false);
    if (!value.is_object()) {
        return std::nullopt;
    }
    const auto name = value.find("displayName");
    const auto kind = value.find("kind");
    if (name == value.end() || kind == value.end() || !name->is_string() || !kind->is_string()) {
        return std::nullopt;
    }
    const std::optional<Requester::Kind> parsedKind = requesterKindFromString(kind->get_ref<const std::string&>());
    if (!parsedKind) {
        return std::nullopt;
    }
    return Requester{name->get<std::string>(), *parsedKind};
}

} // namespace vantorelle
