// SetupController: the settings' actions; slow work runs on the controller's own thread.
#include "settings/SetupController.h"

namespace vantorelle {

std::string SetupController::Review::id() const
{
    switch (kind) {
    case Kind::apply:
        return "apply";
    case Kind::undo:
        return "undo";
    case Kind::migration:
        return "migration";
    }
    return {};
}

} // namespace vantorelle
