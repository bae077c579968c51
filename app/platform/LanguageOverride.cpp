// LanguageOverride: "AppleLanguages" in the shared defaults file.
#include "platform/LanguageOverride.h"

#include "defaults/FileDefaults.h"
#include "i18n/L.h"

namespace vantorelle {

LanguageOverride::Choice LanguageOverride::current(const Defaults& defaults)
{
    const auto languages = defaults.stringArray("AppleLanguages");
    if (!languages || languages->empty()) {
        return Choice::automatic;
    }
    if (languages->front() == "fr") {
        return Choice::french;
    }
    if (languages->front() == "en") {
        return Choice::english;
    }
    return Choice::automatic;
}

void LanguageOverride::apply(Defaults& defaults, Choice choice)
{
    switch (choice) {
    case Choice::automatic:
        defaults.remove("AppleLanguages");
        break;
    case Choice::french:
        defaults.set("AppleLanguages", std::vector<std::string>{"fr"});
        break;
    case Choice::english:
        defaults.set("AppleLanguages", std::vector<std::string>{"en"});
        break;
    }
}

std::string_view LanguageOverride::rawValue(Choice choice)
{
    switch (choice) {
    case Choice::automatic:
        return "automatic";
    case Choice::french:
        return "french";
    case Choice::english:
        return "english";
    }
    return "automatic";
}

std::string LanguageOverride::label(Choice choice)
{
    switch (choice) {
    case Choice::automatic:
        return L("settings.language.automatic");
    case Choice::french:
        return L("settings.language.fr");
    case Choice::english:
        return L("settings.language.en");
    }
    return L("settings.language.automatic");
}

LanguageOverride::Choice LanguageOverride::atLaunch()
{
    static const Choice choice = current(FileDefaults(FileDefaults::standardPath(Environment::current())));
    return choice;
}

} // namespace vantorelle
