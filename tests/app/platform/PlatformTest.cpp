// The platform layer's own rules: the autostart entry, the language override, when sounds load.
#include <filesystem>
#include <gtest/gtest.h>

#include "app/TestApplication.h"
#include "defaults/MemoryDefaults.h"
#include "ipc/AppLauncher.h"
#include "platform/Autostart.h"
#include "platform/LanguageOverride.h"
#include "platform/Sounds.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

using namespace vantorelle;
namespace fs = std::filesystem;

TEST(XdgAutostart, WritesAnEntryALauncherRunsWithAutostartAndHonoursHidden)
{
    TempDir dir;
    Environment env;
    env.set("XDG_CONFIG_HOME", dir.path().string());
    XdgAutostart autostart(env);
    EXPECT_EQ(autostart.entryPath(), dir.path() / "autostart" / "org.vantorelle.Vantorelle.desktop");
    EXPECT_FALSE(autostart.enabled());

    // Paths that need quoting (a space, quotes, '$', a backslash) and a '%' that is no field code.
    for (const std::string app : {"/opt/My Apps/\"real\" $x/back\\slash/vantorelle-app", "/opt/100%/vantorelle-app"}) {
        ASSERT_TRUE(autostart.setEnabled(true, app));
        EXPECT_TRUE(autostart.enabled());
        EXPECT_EQ(AppLauncher::execArguments(test::readFile(autostart.entryPath())),
                  (std::vector<std::string>{app, "--autostart"}));
    }
    // Rewritten in place, with nothing left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "autostart"), fs::directory_iterator()), 1);

    for (const auto& [text, enabled] : {std::pair{"[Desktop Entry]\nExec=x\nHidden=true\n", false},
                                        {"[Desktop Entry]\nExec=x\nHidden = true\n", false},
                                        {"[Desktop Entry]\nExec=x\nHidden=false\n", true},
                                        {"[Desktop Entry]\nExec=x\n[Desktop Action a]\nHidden=true\n", true}}) {
        test::writeFile(autostart.entryPath(), text);
        EXPECT_EQ(autostart.enabled(), enabled) << text;
    }

    ASSERT_TRUE(autostart.setEnabled(false, {}));
    EXPECT_TRUE(autostart.setEnabled(false, {})); // nothing left to remove is no error
}

TEST(LanguageOverride, OnlyTheExactCodesCountAndApplyingReadsBack)
{
    using Choice = LanguageOverride::Choice;
    using Languages = std::vector<std::string>;
    const std::pair<std::optional<DefaultsValue>, Choice> cases[] = {
        {std::nullopt, Choice::automatic},       {Languages{}, Choice::automatic},
        {Languages{"fr"}, Choice::french},       {Languages{"en", "fr"}, Choice::english},
        {Languages{"fr-CA"}, Choice::automatic}, {std::string("fr"), Choice::automatic},
    };
    for (const auto& [stored, expected] : cases) {
        MemoryDefaults defaults;
        if (stored) {
            defaults.set("AppleLanguages", *stored);
        }
        EXPECT_EQ(LanguageOverride::current(defaults), expected);
    }
    MemoryDefaults defaults;
    for (Choice choice : {Choice::french, Choice::english, Choice::automatic}) {
        LanguageOverride::apply(defaults, choice);
        EXPECT_EQ(LanguageOverride::current(defaults), choice);
    }
    EXPECT_FALSE(defaults.object("AppleLanguages"));
}

TEST(Sounds, NothingIsLoadedWhileEitherSettingIsOff)
{
    testApplication();
    MemoryDefaults defaults;
    std::optional<bool> desktop;
    Sounds sounds(defaults, [&] { return desktop; });

    defaults.set("soundsEnabled", false);
    sounds.play(Sounds::Name::appear);
    defaults.set("soundsEnabled", true);
    desktop = false;
    sounds.play(Sounds::Name::fail);
    EXPECT_FALSE(sounds.isLoaded(Sounds::Name::appear));
    EXPECT_FALSE(sounds.isLoaded(Sounds::Name::fail));

    desktop.reset(); // a desktop without the setting does not silence us
    sounds.play(Sounds::Name::success);
    EXPECT_TRUE(sounds.isLoaded(Sounds::Name::success));
}
