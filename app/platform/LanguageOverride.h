// LanguageOverride: the user's choice to pin the app's language, kept as "AppleLanguages".
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace vantorelle {

class Defaults;

class LanguageOverride
{
public:
    enum class Choice { automatic, french, english };
    static constexpr std::array<Choice, 3> allChoices = {Choice::automatic, Choice::french, Choice::english};

    // french when "AppleLanguages" is an array whose first element is exactly "fr", english for
    // exactly "en", automatic for everything else (no key, empty array, "fr-CA", another type).
    static Choice current(const Defaults& defaults);
    // french and english store ["fr"] and ["en"]; automatic removes the key. Applies from the next launch.
    static void apply(Defaults& defaults, Choice choice);

    static std::string_view rawValue(Choice choice); // "automatic", "french", "english"
    static std::string label(Choice choice); // the localised name of the choice

    // The choice as it was when this process first asked (the launch sequence asks first), read
    // from the shared defaults file: the settings compare it with current() to say "next launch".
    static Choice atLaunch();
};

} // namespace vantorelle
