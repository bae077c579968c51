// The shared settings file: typed values, atomic private writes, damaged files kept.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "defaults/FileDefaults.h"
#include "defaults/MemoryDefaults.h"
#include "support/TempDir.h"

using namespace vantorelle;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& p)
{
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(FileDefaults, MissingFileReadsEmptyAndFirstWriteCreatesPrivateFile)
{
    TempDir dir;
    FileDefaults defaults(dir.path() / "sub" / "defaults.json");
    EXPECT_FALSE(defaults.object("unlockDuration"));
    defaults.set("unlockDuration", 3600.0);
    EXPECT_FALSE(defaults.lastWriteFailed());
    struct stat st {};
    ASSERT_EQ(::stat(defaults.file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(defaults.number("unlockDuration"), 3600.0);
}

TEST(FileDefaults, ValuesKeepTheirKind)
{
    TempDir dir;
    FileDefaults defaults(dir.path() / "defaults.json");
    const Date when = dateFromSeconds(1'800'000'000.25);
    defaults.set("soundsEnabled", false);
    defaults.set("count", std::int64_t{42});
    defaults.set("managedKeyPaths", std::vector<std::string>{"/home/a/.ssh/id_ed25519", "/x y/\"q\""});
    defaults.set("unlockExpiry", when);
    defaults.set("AppleLanguages", std::string("fr"));

    FileDefaults again(dir.path() / "defaults.json"); // another process's view
    EXPECT_EQ(again.boolean("soundsEnabled"), false);
    EXPECT_EQ(again.integer("count"), 42);
    EXPECT_EQ(again.number("count"), 42.0);
    EXPECT_EQ(again.stringArray("managedKeyPaths")->at(1), "/x y/\"q\"");
    ASSERT_TRUE(again.date("unlockExpiry"));
    EXPECT_DOUBLE_EQ(secondsSince1970(*again.date("unlockExpiry")), 1'800'000'000.25);
    // A date is not a number and a number is not a date or a bool.
    EXPECT_FALSE(again.number("unlockExpiry"));
    EXPECT_FALSE(again.date("count"));
    EXPECT_FALSE(again.boolean("count"));
    EXPECT_EQ(again.string("AppleLanguages"), "fr");

    again.remove("count");
    EXPECT_FALSE(defaults.object("count"));
    EXPECT_TRUE(defaults.object("soundsEnabled"));
}

TEST(FileDefaults, DamagedFileReadsEmptyAndIsKeptBeforeTheFirstWrite)
{
    TempDir dir;
    const fs::path file = dir.path() / "defaults.json";
    std::ofstream(file) << "{ not json";
    FileDefaults defaults(file);
    EXPECT_FALSE(defaults.object("anything"));
    defaults.set("unlockDuration", 900.0);
    EXPECT_FALSE(defaults.lastWriteFailed());
    EXPECT_EQ(defaults.number("unlockDuration"), 900.0);

    int backups = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        if (entry.path().filename().string().starts_with("defaults.json.damaged.")) {
            ++backups;
            EXPECT_EQ(readFile(entry.path()), "{ not json");
        }
    }
    EXPECT_EQ(backups, 1);
}

TEST(FileDefaults, UnwritableDirectoryLeavesTheOldFileAlone)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root ignores directory permissions";
    }
    TempDir dir;
    const fs::path file = dir.path() / "defaults.json";
    FileDefaults defaults(file);
    defaults.set("a", true);
    ::chmod(dir.path().c_str(), 0500);
    defaults.set("a", false);
    ::chmod(dir.path().c_str(), 0700);
    EXPECT_TRUE(defaults.lastWriteFailed());
    EXPECT_EQ(defaults.boolean("a"), true);
}

TEST(FileDefaults, NonFiniteNumberIsNotStoredAsANumber)
{
    TempDir dir;
    FileDefaults defaults(dir.path() / "defaults.json");
    defaults.set("x", std::numeric_limits<double>::infinity());
    EXPECT_FALSE(defaults.number("x"));
}

TEST(FileDefaults, StandardPathFollowsXdgConfigHome)
{
    Environment env;
    env.set("HOME", "/home/ann");
    EXPECT_EQ(FileDefaults::standardPath(env), "/home/ann/.config/vantorelle/defaults.json");
    env.set("XDG_CONFIG_HOME", "");
    EXPECT_EQ(FileDefaults::standardPath(env), "/home/ann/.config/vantorelle/defaults.json");
    env.set("XDG_CONFIG_HOME", "relative/dir");
    EXPECT_EQ(FileDefaults::standardPath(env), "/home/ann/.config/vantorelle/defaults.json");
    env.set("XDG_CONFIG_HOME", "/cfg");
    EXPECT_EQ(FileDefaults::standardPath(env), "/cfg/vantorelle/defaults.json");
}

TEST(MemoryDefaults, TypedReadersMatchKinds)
{
    MemoryDefaults defaults;
    defaults.set("b", true);
    defaults.set("d", 1.5);
    EXPECT_EQ(defaults.boolean("b"), true);
    EXPECT_FALSE(defaults.number("b"));
    EXPECT_EQ(defaults.number("d"), 1.5);
    EXPECT_FALSE(defaults.integer("d"));
    defaults.remove("b");
    EXPECT_FALSE(defaults.object("b"));
}
