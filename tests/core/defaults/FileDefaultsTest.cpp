// The shared settings file: typed values, atomic private writes under a lock, damaged and hostile
// files kept aside, permission failures (run without root's powers) leaving the file alone.
#include "defaults/FileDefaults.h"

#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>

#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/WithoutPrivileges.h"
#include "sys/Fd.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;
using test::readFile;

class FileDefaultsTest : public ::testing::Test
{
protected:
    std::size_t entries(const fs::path& at) const { return std::distance(fs::directory_iterator(at), {}); }
    TempDir dir;
    fs::path file = dir.path() / "defaults.json";
};

TEST_F(FileDefaultsTest, ValuesKeepTheirKindInAPrivateFileConcurrentWritersKeepEachOthersKeysAndALockNeverHangs)
{
    FileDefaults defaults(file = dir.path() / "sub" / "defaults.json");
    const std::vector<std::string> paths{"/home/a/.ssh/id_ed25519", "/x y/\"q\""};
    // clang-format off
    const std::pair<const char*, DefaultsValue> values[] = {{"soundsEnabled", false}, {"count", std::int64_t{42}},
        {"ratio", 1.5}, {"infinite", std::numeric_limits<double>::infinity()}, {"managedKeyPaths", paths},
        {"unlockExpiry", dateFromSeconds(1'800'000'000.25)}, {"AppleLanguages", std::string("fr")}};
    // clang-format on
    for (const auto& [key, value] : values) {
        defaults.set(key, value);
    }
    EXPECT_FALSE(defaults.lastWriteFailed());
    EXPECT_EQ(fs::status(defaults.file()).permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(defaults.file().parent_path()).permissions(), fs::perms(0700));

    FileDefaults again(defaults.file()); // another process's view
    // Which typed readers answer for each key: a date is not a number, an integer is a number too,
    // and JSON has no infinity.
    std::string kinds;
    for (const auto& [key, value] : values) {
        kinds += std::string(again.boolean(key) ? "b" : "") + (again.integer(key) ? "i" : "")
            + (again.number(key) ? "n" : "") + (again.string(key) ? "s" : "") + (again.stringArray(key) ? "a" : "")
            + (again.date(key) ? "d" : "") + " ";
    }
    EXPECT_EQ(kinds, "b in n  a d s ");
    EXPECT_EQ(again.integer("count"), 42);
    EXPECT_EQ(again.stringArray("managedKeyPaths"), paths);
    EXPECT_DOUBLE_EQ(secondsSince1970(again.date("unlockExpiry").value()), 1'800'000'000.25);

    // The standard file follows XDG_CONFIG_HOME only when that is absolute.
    Environment env;
    env.set("HOME", "/home/ann");
    env.set("XDG_CONFIG_HOME", "relative/dir");
    EXPECT_EQ(FileDefaults::standardPath(env), "/home/ann/.config/vantorelle/defaults.json");
    env.set("XDG_CONFIG_HOME", "/cfg");
    EXPECT_EQ(FileDefaults::standardPath(env), "/cfg/vantorelle/defaults.json");

    // Each writer has its own lock descriptor, so two threads contend for the lock as two processes do;
    // a writer re-takes the lock at once, so a loaded machine can keep the other waiting long. A lock
    // held past the wait fails the write instead of hanging it.
    const auto writeAll = [&](char prefix) {
        FileDefaults writer(file, std::chrono::seconds(60));
        for (int i = 0; i < 150; ++i) {
            writer.set(prefix + std::to_string(i), std::int64_t{i});
        }
    };
    auto other = std::async(std::launch::async, writeAll, 'a');
    writeAll('b');
    ASSERT_EQ(other.wait_for(std::chrono::seconds(120)), std::future_status::ready);
    FileDefaults quick(file, std::chrono::milliseconds(50));
    for (int i = 0; i < 150; ++i) {
        EXPECT_TRUE(quick.integer("a" + std::to_string(i)) == i && quick.integer("b" + std::to_string(i)) == i);
    }
    EXPECT_EQ(entries(file.parent_path()), 2u); // no damaged copy: every write saw a whole file
    // flock(2) locks belong to the open file description, so this one conflicts in-process too.
    Fd holder(::open((file.native() + ".lock").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);
    quick.set("a0", false);
    EXPECT_TRUE(quick.lastWriteFailed() && quick.integer("a0") == 0);
    ::flock(holder.get(), LOCK_UN);
    quick.set("a0", false);
    EXPECT_TRUE(!quick.lastWriteFailed() && quick.boolean("a0") == false);
}

TEST_F(FileDefaultsTest, HostileFilesAreKeptAsideAndFilesThatCannotBeReplacedAreLeftAlone)
{
    const std::string deep = R"({"a":)" + std::string(100'000, '[') + std::string(100'000, ']') + "}";
    // clang-format off
    const std::vector<std::pair<std::string, std::function<void()>>> cases{
        {"fifo", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }}, {"link to /dev/zero", [&] { fs::create_symlink("/dev/zero", file); }},
        {"larger than 1 MiB", [&] { test::writeFile(file, std::string((1 << 20) + 1, ' ') + "{}"); }},
        {"nested too deeply", [&] { test::writeFile(file, deep); }}, {"not JSON", [&] { test::writeFile(file, "{ not json"); }}};
    // clang-format on
    for (const auto& [what, plant] : cases) {
        fs::create_directories((file = dir.path() / what / "defaults.json").parent_path());
        plant();
        FileDefaults defaults(file);
        EXPECT_FALSE(defaults.object("a")) << what;
        defaults.set("a", 900.0);
        EXPECT_EQ(defaults.number("a"), 900.0) << what;
        EXPECT_EQ(entries(file.parent_path()), 3u) << what; // the file, its lock and the damaged copy
    }
    // An unwritable directory and an unreadable file are left alone too.
    const fs::path locked = dir.path() / "locked" / "defaults.json";
    FileDefaults(locked).set("a", true);
    fs::remove_all(file = dir.path() / "defaults.json");
    test::writeFile(file, R"({"managedKeyPaths":["/k"]})", fs::perms::none);
    fs::permissions(locked.parent_path(), fs::perms(0500));
    const int outcome = runWithoutPrivileges(dir.path(), [&] {
        FileDefaults inLocked(locked), unreadable(file);
        inLocked.set("a", false);
        unreadable.set("a", true);
        return int(!(inLocked.lastWriteFailed() && inLocked.boolean("a") == true && unreadable.lastWriteFailed()
                     && !unreadable.object("managedKeyPaths")));
    });
    EXPECT_EQ(outcome, 0);
    fs::permissions(file, fs::perms(0600));
    EXPECT_EQ(readFile(file), R"({"managedKeyPaths":["/k"]})");
    EXPECT_EQ(FileDefaults(locked).boolean("a"), true);
}

} // namespace
} // namespace vantorelle
