// The platform layer's own rules: the autostart entry, the language override, sounds, the log.
#include <QCoreApplication>
#include <QFile>
#include <filesystem>
#include <gtest/gtest.h>

#include "defaults/MemoryDefaults.h"
#include "ipc/AppLauncher.h"
#include "platform/Autostart.h"
#include "platform/LanguageOverride.h"
#include "platform/Log.h"
#include "platform/SessionEnvironment.h"
#include "platform/Sounds.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

using namespace vantorelle;
namespace fs = std::filesystem;

namespace {

Environment configHome(const fs::path& dir)
{
    Environment env;
    env.set("HOME", "/nonexistent-home");
    env.set("XDG_CONFIG_HOME", dir.string());
    return env;
}

} // namespace

TEST(XdgAutostart, WritesAnEntryWhoseExecRunsTheAppWithAutostart)
{
    TempDir dir;
    XdgAutostart autostart(configHome(dir.path()));
    EXPECT_EQ(autostart.entryPath(), dir.path() / "autostart" / "org.vantorelle.Vantorelle.desktop");
    EXPECT_FALSE(autostart.enabled());

    // Paths that need quoting (a space, quotes, '$', a backslash) and a '%' that is no field code.
    for (const std::string app : {"/opt/My Apps/\"real\" $x/back\\slash/vantorelle-app", "/opt/100%/vantorelle-app"}) {
        ASSERT_TRUE(autostart.setEnabled(true, app));
        EXPECT_TRUE(autostart.enabled());
        const auto args = AppLauncher::execArguments(test::readFile(autostart.entryPath()));
        ASSERT_TRUE(args) << app;
        EXPECT_EQ(*args, (std::vector<std::string>{app, "--autostart"}));
    }

    // Rewriting replaces the entry and leaves nothing else in the directory.
    ASSERT_TRUE(autostart.setEnabled(true, "/usr/lib/vantorelle/vantorelle-app"));
    EXPECT_EQ(*AppLauncher::execArguments(test::readFile(autostart.entryPath())),
              (std::vector<std::string>{"/usr/lib/vantorelle/vantorelle-app", "--autostart"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "autostart"), fs::directory_iterator()), 1);

    ASSERT_TRUE(autostart.setEnabled(false, {}));
    EXPECT_FALSE(fs::exists(autostart.entryPath()));
    EXPECT_TRUE(autostart.setEnabled(false, {})); // already gone: no error
}

TEST(XdgAutostart, AnEntryHiddenByTheUserCountsAsDisabled)
{
    TempDir dir;
    XdgAutostart autostart(configHome(dir.path()));
    fs::create_directories(autostart.entryPath().parent_path());
    const struct
    {
        const char* text;
        bool enabled;
    } cases[] = {
        {"[Desktop Entry]\nExec=x\nHidden=true\n", false},
        {"[Desktop Entry]\nExec=x\nHidden = true\n", false},
        {"[Desktop Entry]\nExec=x\nHidden=false\n", true},
        {"[Desktop Entry]\nExec=x\n[Desktop Action a]\nHidden=true\n", true},
        {"[Desktop Entry]\nExec=x\nHiddenThing=true\n", true},
    };
    for (const auto& c : cases) {
        test::writeFile(autostart.entryPath(), c.text);
        EXPECT_EQ(autostart.enabled(), c.enabled) << c.text;
    }
}

TEST(XdgAutostart, FallsBackToDotConfigAndReportsAFailedWrite)
{
    TempDir dir;
    Environment env;
    env.set("HOME", dir.path().string());
    env.set("XDG_CONFIG_HOME", "relative/config"); // not absolute: ignored
    XdgAutostart autostart(env);
    EXPECT_EQ(autostart.entryPath(), dir.path() / ".config" / "autostart" / "org.vantorelle.Vantorelle.desktop");

    test::writeFile(dir.path() / ".config", "a file where the directory should be");
    auto result = autostart.setEnabled(true, "/usr/bin/vantorelle-app");
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().code);
    EXPECT_FALSE(autostart.enabled());
}

TEST(LanguageOverride, OnlyTheExactLanguageCodesCount)
{
    using Choice = LanguageOverride::Choice;
    const struct
    {
        std::optional<DefaultsValue> stored;
        Choice expected;
    } cases[] = {
        {std::nullopt, Choice::automatic},
        {std::vector<std::string>{}, Choice::automatic},
        {std::vector<std::string>{"fr"}, Choice::french},
        {std::vector<std::string>{"en", "fr"}, Choice::english},
        {std::vector<std::string>{"fr-CA"}, Choice::automatic},
        {std::vector<std::string>{"de"}, Choice::automatic},
        {std::string("fr"), Choice::automatic},
    };
    for (const auto& c : cases) {
        MemoryDefaults defaults;
        if (c.stored) {
            defaults.set("AppleLanguages", *c.stored);
        }
        EXPECT_EQ(LanguageOverride::current(defaults), c.expected);
    }
}

TEST(LanguageOverride, ApplyStoresTheCodeOrRemovesTheKey)
{
    using Choice = LanguageOverride::Choice;
    MemoryDefaults defaults;
    for (Choice choice : LanguageOverride::allChoices) {
        LanguageOverride::apply(defaults, choice);
        EXPECT_EQ(LanguageOverride::current(defaults), choice) << LanguageOverride::rawValue(choice);
    }
    LanguageOverride::apply(defaults, Choice::french);
    EXPECT_EQ(defaults.stringArray("AppleLanguages"), (std::vector<std::string>{"fr"}));
    LanguageOverride::apply(defaults, Choice::automatic);
    EXPECT_FALSE(defaults.object("AppleLanguages"));
    EXPECT_EQ(LanguageOverride::label(Choice::automatic), "Same as the system");
}

TEST(Sounds, NothingIsLoadedWhileEitherSettingIsOff)
{
    int argc = 1;
    char name[] = "platform-tests";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    MemoryDefaults defaults;
    std::optional<bool> desktop;
    int asked = 0;
    Sounds sounds(defaults, [&] {
        ++asked;
        return desktop;
    });

    defaults.set("soundsEnabled", false);
    sounds.play(Sounds::Name::appear);
    defaults.set("soundsEnabled", true);
    desktop = false;
    sounds.play(Sounds::Name::fail);
    EXPECT_FALSE(sounds.isLoaded(Sounds::Name::appear));
    EXPECT_FALSE(sounds.isLoaded(Sounds::Name::fail));
    EXPECT_EQ(asked, 2);

    desktop.reset(); // a desktop without the setting does not silence us
    sounds.play(Sounds::Name::success);
    EXPECT_TRUE(sounds.isLoaded(Sounds::Name::success));
    EXPECT_FALSE(sounds.isLoaded(Sounds::Name::appear));
}

TEST(Sounds, EachSoundHasItsFileAndVolume)
{
    EXPECT_EQ(Sounds::source(Sounds::Name::success).toString(), QStringLiteral("qrc:/sounds/juice.wav"));
    EXPECT_DOUBLE_EQ(Sounds::volume(Sounds::Name::appear), 0.3);
    EXPECT_DOUBLE_EQ(Sounds::volume(Sounds::Name::success), 0.5);
    EXPECT_DOUBLE_EQ(Sounds::volume(Sounds::Name::fail), 0.5);
    for (auto name : {Sounds::Name::appear, Sounds::Name::success, Sounds::Name::fail}) {
        const QString resource = Sounds::source(name).toString().mid(3); // ":/sounds/..."
        QFile file(resource);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << resource.toStdString();
        EXPECT_TRUE(file.read(12).startsWith("RIFF")) << resource.toStdString();
    }
}

TEST(SessionEnvironmentOutput, FindsExactlyTheNamedVariable)
{
    const std::string output = "HOME=/home/u\nSSH_AUTH_SOCK_OLD=/old\nSSH_AUTH_SOCK=/run/user/1/keyring/ssh\n"
                               "QUOTED=$'a b\\'c\\\\d\\n'\nEMPTY=\nLAST=no newline";
    EXPECT_EQ(SystemdSessionEnvironment::valueIn(output, "SSH_AUTH_SOCK"), "/run/user/1/keyring/ssh");
    EXPECT_EQ(SystemdSessionEnvironment::valueIn(output, "QUOTED"), "a b'c\\d\n");
    EXPECT_EQ(SystemdSessionEnvironment::valueIn(output, "EMPTY"), "");
    EXPECT_EQ(SystemdSessionEnvironment::valueIn(output, "LAST"), "no newline");
    EXPECT_EQ(SystemdSessionEnvironment::valueIn(output, "SSH_AUTH"), std::nullopt);
    EXPECT_EQ(SystemdSessionEnvironment::valueIn("", "HOME"), std::nullopt);
}

TEST(AppLog, GoesToStandardErrorWhenAskedAndToASinkWhileOneIsSet)
{
    ::setenv("VANTORELLE_LOG", "stderr", 1); // read on the first line logged
    testing::internal::CaptureStderr();
    applog::error("keychain", "save failed: 42");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "vantorelle[keychain]: save failed: 42\n");

    std::vector<std::string> seen;
    applog::setSink([&](std::string_view category, applog::Level level, std::string_view message) {
        seen.push_back(std::string(category) + "/" + std::to_string(static_cast<int>(level)) + "/"
                       + std::string(message));
    });
    testing::internal::CaptureStderr();
    applog::notice("notify", "notification not posted: x");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    applog::setSink({});
    EXPECT_EQ(seen, (std::vector<std::string>{"notify/1/notification not posted: x"}));
}
