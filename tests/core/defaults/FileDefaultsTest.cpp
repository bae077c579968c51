// The shared settings file: typed values, atomic private writes, damaged files kept.
#include "defaults/FileDefaults.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>

#include "defaults/MemoryDefaults.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/WithoutPrivileges.h"
#include "sys/Fd.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

std::vector<std::string> damagedCopies(const fs::path& dir)
{
    std::vector<std::string> copies;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().starts_with("defaults.json.damaged.")) {
            copies.push_back(readFile(entry.path()));
        }
    }
    std::ranges::sort(copies);
    return copies;
}

TEST(FileDefaults, FirstWriteCreatesAPrivateFileAndValuesKeepTheirKind)
{
    TempDir dir;
    FileDefaults defaults(dir.path() / "sub" / "defaults.json");
    EXPECT_FALSE(defaults.object("unlockDuration"));
    defaults.set("unlockDuration", 3600.0);
    EXPECT_FALSE(defaults.lastWriteFailed());
    struct stat st = {};
    ASSERT_EQ(::stat(defaults.file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    defaults.set("soundsEnabled", false);
    defaults.set("count", std::int64_t{42});
    defaults.set("managedKeyPaths", std::vector<std::string>{"/home/a/.ssh/id_ed25519", "/x y/\"q\""});
    defaults.set("unlockExpiry", dateFromSeconds(1'800'000'000.25));
    defaults.set("AppleLanguages", std::string("fr"));
    defaults.set("x", std::numeric_limits<double>::infinity());
    FileDefaults again(defaults.file()); // another process's view
    EXPECT_EQ(again.number("unlockDuration"), 3600.0);
    EXPECT_EQ(again.boolean("soundsEnabled"), false);
    EXPECT_EQ(again.integer("count"), 42);
    EXPECT_EQ(again.number("count"), 42.0);
    EXPECT_EQ(again.stringArray("managedKeyPaths")->at(1), "/x y/\"q\"");
    EXPECT_DOUBLE_EQ(secondsSince1970(again.date("unlockExpiry").value()), 1'800'000'000.25);
    EXPECT_EQ(again.string("AppleLanguages"), "fr");
    // A date is not a number and a number is not a date or a bool; infinity is no number.
    EXPECT_FALSE(again.number("unlockExpiry"));
    EXPECT_FALSE(again.date("count"));
    EXPECT_FALSE(again.boolean("count"));
    EXPECT_FALSE(again.number("x"));
    again.remove("count");
    EXPECT_FALSE(defaults.object("count"));
    EXPECT_TRUE(defaults.object("soundsEnabled"));
}

TEST(FileDefaults, EveryDamagedVersionIsKeptBeforeTheNextWriteEvenWithinOneSecond)
{
    TempDir dir;
    const fs::path file = dir.path() / "defaults.json";
    writeFile(file, "first damage");
    FileDefaults defaults(file);
    EXPECT_FALSE(defaults.object("anything"));
    defaults.set("a", true);
    writeFile(file, "second damage");
    defaults.set("b", true);
    EXPECT_FALSE(defaults.lastWriteFailed());
    EXPECT_EQ(defaults.boolean("b"), true);
    EXPECT_EQ(damagedCopies(dir.path()), (std::vector<std::string>{"first damage", "second damage"}));
}

TEST(FileDefaults, UnwritableDirectoryOrUnreadableFileIsLeftAlone)
{
    TempDir dir;
    const fs::path file = dir.path() / "defaults.json";
    FileDefaults(file).set("a", true);
    ::chmod(dir.path().c_str(), 0500);
    EXPECT_EQ(runWithoutPrivileges(dir.path(),
                                   [&] {
                                       FileDefaults defaults(file);
                                       defaults.set("a", false);
                                       return defaults.lastWriteFailed() && defaults.boolean("a") == true ? 0 : 1;
                                   }),
              0);
    ::chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(FileDefaults(file).boolean("a"), true);

    const std::string before = readFile(file);
    ::chmod(file.c_str(), 0);
    EXPECT_EQ(runWithoutPrivileges(dir.path(),
                                   [&] {
                                       FileDefaults defaults(file);
                                       if (defaults.object("a")) {
                                           return 1;
                                       }
                                       defaults.set("b", true);
                                       return defaults.lastWriteFailed() ? 0 : 2;
                                   }),
              0);
    ::chmod(file.c_str(), 0600);
    EXPECT_EQ(readFile(file), before);
}

TEST(FileDefaults, StandardPathFollowsXdgConfigHome)
{
    for (const auto& [value, expected] : std::vector<std::pair<std::optional<std::string>, std::string>>{
             {std::nullopt, "/home/ann/.config/vantorelle/defaults.json"},
             {"", "/home/ann/.config/vantorelle/defaults.json"},
             {"relative/dir", "/home/ann/.config/vantorelle/defaults.json"},
             {"/cfg", "/cfg/vantorelle/defaults.json"}}) {
        Environment env;
        env.set("HOME", "/home/ann");
        if (value) {
            env.set("XDG_CONFIG_HOME", *value);
        }
        EXPECT_EQ(FileDefaults::standardPath(env), expected);
    }
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

TEST(FileDefaults, ConcurrentWritersKeepEachOthersKeysAndAHeldLockNeverHangs)
{
    TempDir dir;
    const fs::path file = dir.path() / "defaults.json";
    constexpr int kWrites = 150;
    {
        std::vector<std::jthread> writers;
        for (const char prefix : {'a', 'b'}) {
            writers.emplace_back([&file, prefix] {
                FileDefaults defaults(file); // each its own lock description, as another process
                for (int i = 0; i < kWrites; ++i) {
                    defaults.set(prefix + std::to_string(i), std::int64_t{i});
                    EXPECT_FALSE(defaults.lastWriteFailed());
                }
            });
        }
    }
    FileDefaults defaults(file);
    for (int i = 0; i < kWrites; ++i) {
        EXPECT_EQ(defaults.integer("a" + std::to_string(i)), i);
        EXPECT_EQ(defaults.integer("b" + std::to_string(i)), i);
    }
    EXPECT_TRUE(damagedCopies(dir.path()).empty());

    // flock(2) locks belong to the open file description, so this one conflicts in-process too.
    Fd holder(::open((file.native() + ".lock").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);
    defaults.set("a0", false);
    EXPECT_TRUE(defaults.lastWriteFailed());
    EXPECT_EQ(defaults.integer("a0"), 0);
    ::flock(holder.get(), LOCK_UN);
    defaults.set("a0", false);
    EXPECT_FALSE(defaults.lastWriteFailed());
    EXPECT_EQ(defaults.boolean("a0"), false);
}

} // namespace
} // namespace vantorelle
