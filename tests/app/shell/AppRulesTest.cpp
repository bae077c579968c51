// The rules the app hands the coordinator: the configured duration, the managed keys and whether
// the setup is applied.
#include <gtest/gtest.h>

#include "defaults/MemoryDefaults.h"
#include "setup/MarkedBlock.h"
#include "shell/App.h"
#include "ssh/KeyScanCache.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;

TEST(AppRules, ConfiguredDuration)
{
    const std::pair<std::optional<double>, double> cases[]
        = {{0, 10800}, {-5, 10800}, {std::nullopt, 10800}, {1000, 900}, {99999, 10800}, {2700, 2700}, {1400, 1800}};
    for (const auto& [stored, expected] : cases) {
        MemoryDefaults defaults;
        stored ? defaults.set("unlockDuration", *stored) : void();
        EXPECT_EQ(expected, App::configuredDuration(defaults)) << (stored ? std::to_string(*stored) : "missing");
    }
    MemoryDefaults text;
    text.set("unlockDuration", std::string("3600"));
    EXPECT_EQ(10800, App::configuredDuration(text)) << "a value of another kind counts as missing";
}

TEST(AppRules, SetupAppliedLooksAtZshenvThenBashrc)
{
    const std::string block
        = std::string(MarkedBlock::begin) + "\nexport SSH_ASKPASS=x\n" + std::string(MarkedBlock::end) + "\n";
    // .bash_profile and .profile are not read on this platform.
    const std::pair<const char*, bool> cases[]
        = {{".zshenv", true}, {".bashrc", true}, {".bash_profile", false}, {".profile", false}};
    for (const auto& [file, expected] : cases) {
        TempDir home;
        EXPECT_FALSE(App::setupApplied(home.path().string()));
        test::writeFile(home.path() / file, "alias ll='ls -l'\n" + block);
        EXPECT_EQ(expected, App::setupApplied(home.path().string())) << file;
    }
    TempDir half;
    test::writeFile(half.path() / ".bashrc", std::string(MarkedBlock::begin) + "\n");
    EXPECT_FALSE(App::setupApplied(half.path().string())) << "a begin marker alone is no block";
}

TEST(AppRules, ManagedKeysAreStandardisedInScanOrderAndNothingManagedScansNothing)
{
    TempDir home;
    int scans = 0;
    KeyScanCache cache([&](const fs::path& dir, std::string_view, const std::string&) {
        ++scans;
        std::vector<SSHKey> keys(3);
        for (int i = 0; const char* name : {"id_ed25519", "id_rsa", "work"}) {
            keys[i++].path = (dir / name).string();
        }
        return keys;
    });
    const auto managed = [&](std::optional<std::vector<std::string>> paths) {
        MemoryDefaults defaults;
        paths ? defaults.set("managedKeyPaths", *paths) : void();
        std::vector<std::string> names;
        for (const auto& key : App::managedKeys(defaults, cache, home.path().string())) {
            names.push_back(fs::path(key.path).filename().string());
        }
        return names;
    };
    EXPECT_TRUE(managed(std::nullopt).empty());
    EXPECT_TRUE(managed(std::vector<std::string>{}).empty());
    EXPECT_EQ(0, scans);
    const std::string ssh = (home.path() / ".ssh").string();
    EXPECT_EQ((std::vector<std::string>{"id_ed25519", "work"}),
              managed(std::vector<std::string>{ssh + "/work", ssh + "/../.ssh/./id_ed25519", ssh + "//id_ed25519"}));
    EXPECT_TRUE(managed(std::vector<std::string>{"~/.ssh/id_rsa"}).empty()) << "a tilde is not expanded";
    EXPECT_TRUE(managed(std::vector<std::string>{ssh + "/missing"}).empty());
}

} // namespace
} // namespace vantorelle
