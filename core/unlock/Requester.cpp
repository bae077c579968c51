// Requester: who asked for a passphrase, as shown to the user and as the unlock policy sees it.
#include "unlock/Requester.h"

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

} // namespace vantorelle
