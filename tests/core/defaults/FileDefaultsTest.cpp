// The shared settings file: typed values, atomic private writes, damaged files kept.
#include "defaults/FileDefaults.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "defaults/MemoryDefaults.h"
#include "support/TempDir.h"
#include "support/WithoutPrivileges.h"
#include "sys/Fd.h"

using namespace vantorelle;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& p)
{
    std::ifstream in(p);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<fs::path> damagedCopies(const fs::path& dir)
{
    std::vector<fs::path> copies;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().starts_with("defaults.json.damaged.")) {
            copies.push_back(entry.path());
        }
    }
    return copies;
}

// Runs `body` in a child process; its exit status is 0 when `body` returns true.
pid_t forkRunning(const std::function<bool()>& body)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(body() ? 0 : 1);
    }
    return pid;
}

// The child's exit status, or -1 when it has not ended within `limit` (it is then killed and reaped).
int reap(pid_t pid, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

TEST(FileDefaults, MissingFileReadsEmptyAndFirstWriteCreatesPrivateFile)
{
    TempDir dir;
    FileDefaults defaults(dir.path() / "sub" / "defaults.json");
    EXPECT_FALSE(defaults.object("unlockDuration"));
    defaults.set("unlockDuration", 3600.0);
    EXPECT_FALSE(defaults.lastWriteFailed());
    struct stat st = {};
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

TEST(FileDefaults, HostileFilesReadAsDamagedWithoutHangingOrExhaustingMemory)
{
    // Each planted at the defaults path: reads never block or grow without bound, and the first
    // write keeps the thing aside and puts a regular file in its place.
    const std::string deep = R"({"a":)" + std::string(100'000, '[') + std::string(100'000, ']') + "}";
    const std::string huge = R"({"a":")" + std::string((1 << 20) + 1, 'x') + R"("})";
    const std::vector<std::pair<std::string, std::function<void(const fs::path&)>>> cases{
        {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
        {"link to /dev/zero", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }},
        {"directory", [](const fs::path& p) { fs::create_directory(p); }},
        {"larger than 1 MiB", [&](const fs::path& p) { std::ofstream(p) << huge; }},
        {"nested too deeply", [&](const fs::path& p) { std::ofstream(p) << deep; }},
    };
    for (const auto& [what, plant] : cases) {
        TempDir dir;
        const fs::path file = dir.path() / "defaults.json";
        plant(file);
        FileDefaults defaults(file);
        EXPECT_FALSE(defaults.object("a")) << what;
        defaults.set("unlockDuration", 900.0);
        if (what == "directory") {
            EXPECT_TRUE(defaults.lastWriteFailed()); // cannot be replaced, and is left as it is
            continue;
        }
        EXPECT_FALSE(defaults.lastWriteFailed()) << what;
        EXPECT_EQ(defaults.number("unlockDuration"), 900.0) << what;
        EXPECT_EQ(damagedCopies(dir.path()).size(), 1u) << what;
    }
}

TEST(FileDefaults, UnwritableDirectoryLeavesTheOldFileAlone)
{
    TempDir dir;
    const fs::path file = dir.path() / "defaults.json";
    FileDefaults(file).set("a", true);
    ::chmod(dir.path().c_str(), 0500);
    const int outcome = runWithoutPrivileges(dir.path(), [&] {
        FileDefaults defaults(file);
        defaults.set("a", false);
        return defaults.lastWriteFailed() && defaults.boolean("a") == true ? 0 : 1;
    });
    ::chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(outcome, 0);
    EXPECT_EQ(FileDefaults(file).boolean("a"), true);
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

TEST(FileDefaults, WritersInTwoProcessesKeepEachOthersKeys)
{
    TempDir dir;
    const fs::path file = dir.path() / "defaults.json";
    constexpr int kWrites = 150;
    auto writer = [&](char prefix) {
        return forkRunning([&file, prefix] {
            FileDefaults defaults(file);
            bool ok = true;
            for (int i = 0; i < kWrites; ++i) {
                defaults.set(std::string(1, prefix) + std::to_string(i), std::int64_t{i});
                ok = ok && !defaults.lastWriteFailed();
            }
            return ok;
        });
    };
    const pid_t first = writer('a');
    const pid_t second = writer('b');
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    EXPECT_EQ(reap(first, std::chrono::seconds(60)), 0);
    EXPECT_EQ(reap(second, std::chrono::seconds(60)), 0);

    FileDefaults defaults(file);
    int missing = 0;
    for (int i = 0; i < kWrites; ++i) {
        for (const char prefix : {'a', 'b'}) {
            if (defaults.integer(std::string(1, prefix) + std::to_string(i)) != i) {
                ++missing;
            }
        }
    }
    EXPECT_EQ(missing, 0);
    EXPECT_TRUE(damagedCopies(dir.path()).empty());
}

TEST(FileDefaults, EveryDamagedVersionIsKeptEvenWithinOneSecond)
{
    TempDir dir;
    const fs::path file = dir.path() / "defaults.json";
    FileDefaults defaults(file);
    // Two different damaged files in quick succession (the same second, almost always): neither
    // may be lost to a backup name that is already taken.
    std::ofstream(file) << "first damage";
    defaults.set("a", true);
    std::ofstream(file) << "second damage";
    defaults.set("b", true);
    EXPECT_FALSE(defaults.lastWriteFailed());
    EXPECT_EQ(defaults.boolean("b"), true);

    std::vector<std::string> kept;
    for (const auto& copy : damagedCopies(dir.path())) {
        kept.push_back(readFile(copy));
    }
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"first damage", "second damage"}));
}

TEST(FileDefaults, UnreadableFileIsLeftAsItIs)
{
    TempDir dir;
    const fs::path file = dir.path() / "defaults.json";
    std::ofstream(file) << R"({"managedKeyPaths":["/k"]})";
    ::chmod(file.c_str(), 0);
    const int outcome = runWithoutPrivileges(dir.path(), [&] {
        FileDefaults defaults(file);
        if (defaults.object("managedKeyPaths")) {
            return 1;
        }
        defaults.set("a", true);
        return defaults.lastWriteFailed() ? 0 : 2;
    });
    EXPECT_EQ(outcome, 0);
    ::chmod(file.c_str(), 0600);
    EXPECT_EQ(readFile(file), R"({"managedKeyPaths":["/k"]})");
}

TEST(FileDefaults, AWriterHoldingTheLockDelaysButNeverHangsAnother)
{
    TempDir dir;
    const fs::path file = dir.path() / "defaults.json";
    FileDefaults defaults(file, std::chrono::milliseconds(50));
    defaults.set("a", true);

    // flock(2) locks belong to the open file description, so this one conflicts in-process too.
    Fd holder(::open((file.native() + ".lock").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(holder);
    ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);
    defaults.set("a", false);
    EXPECT_TRUE(defaults.lastWriteFailed());
    EXPECT_EQ(defaults.boolean("a"), true);

    ::flock(holder.get(), LOCK_UN);
    defaults.set("a", false);
    EXPECT_FALSE(defaults.lastWriteFailed());
    EXPECT_EQ(defaults.boolean("a"), false);
}
