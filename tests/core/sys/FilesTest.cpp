// Files: bounded reads that never block, atomic replaces, exclusive creation, directories.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "sys/Files.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;
using ReadKind = Files::ReadError::Kind;

mode_t modeOf(const fs::path& path)
{
    struct stat st = {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(Files, ReadTakesOnlyRegularFilesWithinTheBound)
{
    TempDir dir;
    writeFile(dir.path() / "ten", "0123456789");
    ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", dir.path() / "zero");
    struct Case
    {
        std::string name;
        std::size_t bound;
        std::expected<std::string, ReadKind> expected;
    };
    const std::vector<Case> cases{
        {"ten", 10, "0123456789"},
        {"ten", 9, std::unexpected(ReadKind::tooLarge)},
        {"missing", 10, std::unexpected(ReadKind::missing)},
        {"ten/below", 10, std::unexpected(ReadKind::missing)},
        {"fifo", 10, std::unexpected(ReadKind::notRegular)}, // no writer: a blocking open would hang
        {"zero", 10, std::unexpected(ReadKind::notRegular)},
        {".", 10, std::unexpected(ReadKind::notRegular)},
    };
    for (const auto& c : cases) {
        const auto read = Files::read(dir.path() / c.name, c.bound);
        EXPECT_EQ(read.has_value(), c.expected.has_value()) << c.name;
        if (read && c.expected) {
            EXPECT_EQ(*read, *c.expected);
        } else if (!read && !c.expected) {
            EXPECT_EQ(read.error().kind, c.expected.error()) << c.name;
        }
    }
}

TEST(Files, ReplaceIsAtomicKeepsTheGivenModeAndLeavesNothingBehind)
{
    TempDir dir;
    const fs::path file = dir.path() / "f";
    writeFile(file, "old", fs::perms(0644));
    ASSERT_TRUE(Files::replace(file, "new", Files::Mode{0640, false}));
    EXPECT_EQ(readFile(file), "new");
    EXPECT_EQ(modeOf(file), 0640u);

    // A link at the target is replaced, not written through.
    writeFile(dir.path() / "victim", "keep");
    fs::remove(file);
    fs::create_symlink(dir.path() / "victim", file);
    ASSERT_TRUE(Files::replace(file, "mine", Files::Mode{0600, false}));
    EXPECT_EQ(readFile(dir.path() / "victim"), "keep");
    EXPECT_FALSE(fs::is_symlink(file));

    // Keep: a file that is there is not replaced.
    EXPECT_EQ(Files::replace(file, "x", Files::Mode{}, Files::Existing::keep),
              std::unexpected(std::error_code(EEXIST, std::generic_category())));
    EXPECT_EQ(readFile(file), "mine");

    // The umask rule: 0666 as the umask leaves it.
    const mode_t previous = ::umask(027);
    ASSERT_TRUE(Files::replace(dir.path() / "new", "n", Files::Mode{0666, true}, Files::Existing::keep));
    ::umask(previous);
    EXPECT_EQ(modeOf(dir.path() / "new"), 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);
}

TEST(Files, ConcurrentReplacesNeverShareATemporaryFile)
{
    TempDir dir;
    const fs::path file = dir.path() / "f";
    std::atomic<int> failures = 0;
    auto writer = [&](const std::string& text) {
        for (int i = 0; i < 300; ++i) {
            failures += !Files::replace(file, text, Files::Mode{0600, false}).has_value();
        }
    };
    std::thread a(writer, std::string(4096, 'a'));
    std::thread b(writer, std::string(4096, 'b'));
    a.join();
    b.join();
    EXPECT_EQ(failures, 0);
    const std::string last = readFile(file);
    EXPECT_TRUE(last == std::string(4096, 'a') || last == std::string(4096, 'b'));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(Files, CreateExclusiveHasOneWinner)
{
    TempDir dir;
    const fs::path file = dir.path() / "backup";
    ASSERT_TRUE(Files::createExclusive(file, "first", Files::Mode{0604, false}));
    EXPECT_EQ(Files::createExclusive(file, "second", Files::Mode{0600, false}),
              std::unexpected(std::error_code(EEXIST, std::generic_category())));
    EXPECT_EQ(readFile(file), "first");
    EXPECT_EQ(modeOf(file), 0604u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(Files, DirectoriesAreCreatedWithExactlyTheModeAndExistingOnesKept)
{
    TempDir dir;
    const mode_t previous = ::umask(077);
    const auto created = Files::createDirectories(dir.path() / "a/b", 0711);
    ::umask(previous);
    ASSERT_TRUE(created);
    EXPECT_TRUE(*created);
    EXPECT_EQ(modeOf(dir.path() / "a"), 0711u);
    EXPECT_EQ(modeOf(dir.path() / "a/b"), 0711u);

    ASSERT_EQ(::chmod((dir.path() / "a/b").c_str(), 0755), 0);
    EXPECT_EQ(Files::createDirectories(dir.path() / "a/b", 0700), false);
    EXPECT_EQ(modeOf(dir.path() / "a/b"), 0755u);

    writeFile(dir.path() / "file", "");
    EXPECT_EQ(Files::createDirectories(dir.path() / "file/c", 0700),
              std::unexpected(std::error_code(ENOTDIR, std::generic_category())));
}

TEST(Files, SafeAndPrivateDirectories)
{
    TempDir dir;
    struct Case
    {
        mode_t mode;
        bool safe;
        bool isPrivate;
    };
    const Case cases[] = {{0700, true, true}, {0755, true, true}, {0770, true, false}, {01777, true, false}};
    for (const auto& c : cases) {
        ASSERT_EQ(::chmod(dir.path().c_str(), c.mode), 0);
        EXPECT_EQ(Files::isSafeDirectory(dir.path()), c.safe) << std::oct << c.mode;
        EXPECT_EQ(Files::isPrivateDirectory(dir.path()), c.isPrivate) << std::oct << c.mode;
    }
    EXPECT_FALSE(Files::isSafeDirectory(dir.path() / "missing"));
    if (::geteuid() != 0) {
        EXPECT_TRUE(Files::isSafeDirectory("/tmp")); // root's, sticky
        EXPECT_FALSE(Files::isSafeDirectory("/usr")); // root's, not sticky
        EXPECT_FALSE(Files::isPrivateDirectory("/"));
    }
}

TEST(Files, StandardizedPathResolvesDotsLexically)
{
    const auto cwd = fs::current_path();
    const std::pair<fs::path, fs::path> cases[] = {
        {"/a/./b/../c", "/a/c"}, {"/a//b/", "/a/b"}, {"/", "/"}, {"rel/k", cwd / "rel/k"}, {"", cwd},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(Files::standardizedPath(path), expected) << path;
    }
}

} // namespace
} // namespace vantorelle
