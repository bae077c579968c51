// The system layer against the real system: Files (bounded reads that never block, atomic replaces,
// exclusive creation, directories), Utf8, ChildProcess (plain children with stdin on /dev/null and
// output through a pipe, always reaped) and Fd.
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/SshTools.h"
#include "support/TempDir.h"
#include "support/WithoutPrivileges.h"
#include "sys/ChildProcess.h"
#include "sys/Files.h"
#include "sys/Utf8.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const auto modeOf = [](const fs::path& path) { return fs::status(path).permissions() & fs::perms::mask; };
const std::unexpected<std::error_code> kExists(std::error_code(EEXIST, std::generic_category()));

TEST(Files, ReadsOnlyRegularFilesWithinTheBoundReplacesAtomicallyAndMakesDirectoriesWithExactlyTheMode)
{
    TempDir dir;
    test::writeFile(dir.path() / "ten", "0123456789");
    using Kind = Files::ReadError::Kind;
    using Result = std::expected<std::string, Kind>;
    // A FIFO and /dev/zero are among the defaults file's hostile cases.
    // clang-format off
    const auto no = [](Kind kind) { return Result(std::unexpected(kind)); };
    const std::tuple<std::string, std::size_t, Result> cases[] = {{"ten", 10, "0123456789"}, {"ten", 9, no(Kind::tooLarge)},
        {"ten/below", 10, no(Kind::missing)}, {".", 10, no(Kind::notRegular)}};
    // clang-format on
    for (const auto& [name, bound, expected] : cases) {
        const auto read = Files::read(dir.path() / name, bound);
        EXPECT_EQ(read ? Result(*read) : std::unexpected(read.error().kind), expected) << name;
    }
    // Replaces and exclusive creations are atomic with the given mode (mkostemp(3) keeps concurrent
    // writers apart); a link at the target is replaced, not written through.
    const fs::path file = dir.path() / "f";
    const mode_t previous = ::umask(027); // 0666 as the umask leaves it, and directories exactly as asked
    test::writeFile(dir.path() / "victim", "keep");
    fs::create_symlink(dir.path() / "victim", file);
    ASSERT_TRUE(Files::replace(file, "mine", Files::Mode{0640, false}));
    EXPECT_EQ(test::readFile(dir.path() / "victim"), "keep");
    EXPECT_EQ(test::readFile(file), "mine");
    EXPECT_EQ(modeOf(file), fs::perms(0640));
    EXPECT_EQ(Files::replace(file, "x", Files::Mode{}, Files::Existing::keep), kExists);
    EXPECT_EQ(Files::createExclusive(file, "x", Files::Mode{}), kExists);
    ASSERT_TRUE(Files::replace(dir.path() / "new", "n", Files::Mode{0666, true}, Files::Existing::keep));
    EXPECT_EQ(modeOf(dir.path() / "new"), fs::perms(0640));
    ASSERT_TRUE(Files::createExclusive(dir.path() / "backup", "first", Files::Mode{0604, false}));
    EXPECT_EQ(test::readFile(dir.path() / "backup") + " " + test::readFile(file), "first mine");
    EXPECT_EQ(modeOf(dir.path() / "backup"), fs::perms(0604));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 5); // nothing left
    // Directories are made with exactly the mode and kept; their safety is judged by owner and mode.
    EXPECT_EQ(Files::createDirectories(dir.path() / "a/b", 0711), true);
    ::umask(previous);
    EXPECT_TRUE(modeOf(dir.path() / "a") == fs::perms(0711) && modeOf(dir.path() / "a/b") == fs::perms(0711));
    ASSERT_EQ(::chmod((dir.path() / "a/b").c_str(), 0755), 0);
    EXPECT_EQ(Files::createDirectories(dir.path() / "a/b", 0700), false);
    EXPECT_EQ(modeOf(dir.path() / "a/b"), fs::perms(0755));
    EXPECT_EQ(Files::createDirectories(dir.path() / "ten/c", 0700),
              std::unexpected(std::error_code(ENOTDIR, std::generic_category())));
    for (const auto& [mode, safe, isPrivate] : std::vector<std::tuple<mode_t, bool, bool>>{
             {0700, true, true}, {0755, true, true}, {0770, true, false}, {01777, true, false}}) {
        ASSERT_EQ(::chmod(dir.path().c_str(), mode), 0);
        EXPECT_EQ(Files::isSafeDirectory(dir.path()), safe) << std::oct << mode;
        EXPECT_EQ(Files::isPrivateDirectory(dir.path()), isPrivate) << std::oct << mode;
    }
    EXPECT_FALSE(Files::isSafeDirectory(dir.path() / "missing"));
    // Root's, sticky or not, judged by a user who is not root: the count of wrong answers.
    const auto wrong = [] {
        return !Files::isSafeDirectory("/tmp") + Files::isSafeDirectory("/usr") + Files::isPrivateDirectory("/");
    };
    EXPECT_EQ(runWithoutPrivileges(dir.path(), wrong), 0);
    for (const auto& [path, expected] : std::vector<std::pair<fs::path, fs::path>>{
             {"/a/./b/../c", "/a/c"}, {"/a//b/", "/a/b"}, {"rel/k", fs::current_path() / "rel/k"}}) {
        EXPECT_EQ(Files::standardizedPath(path), expected) << path;
    }
}

TEST(Utf8, RepairReplacesEachMaximalSubpartOnceAndValidityRefusesIllFormedSequences)
{
    const std::string r = "\xEF\xBF\xBD";
    // Latin-1, overlong forms, a surrogate, truncations, above U+10FFFF, and U+10FFFF itself.
    // clang-format off
    const std::pair<std::string, std::string> repairs[] = {
        {"caf\xC3\xA9", "caf\xC3\xA9"}, {"\xF0\x9F\x94\x91 key", "\xF0\x9F\x94\x91 key"}, {"caf\xE9", "caf" + r},
        {"\xC0\xAF", r + r}, {"\xE0\x80\x80", r + r + r}, {"\xED\xA0\x80", r + r + r}, {"\xE2\x82", r}, {"\xE2\x82x", r + "x"},
        {"\xF4\x90\x80\x80", r + r + r + r}, {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"}};
    // clang-format on
    for (const auto& [bytes, repaired] : repairs) {
        EXPECT_EQ(Utf8::repaired(bytes), repaired) << bytes;
        EXPECT_EQ(Utf8::isValid(bytes), bytes == repaired) << bytes;
    }
    EXPECT_EQ(Utf8::decodeAt("\xF0\x9F\x94\x91", 0).value().value, U'\U0001F511'); // and U+3000 in the ssh config rules
}

// "<status> <output>" of a finished run, "timedOut <output so far>" or "launchFailed <errno>".
std::string shell(const std::string& script, std::chrono::milliseconds limit = 30s,
                  ChildProcess::StandardError errors = ChildProcess::StandardError::merge,
                  const std::string& path = "/bin/sh")
{
    const auto run = ChildProcess::run(path, {"-c", script}, test::minimalEnvironment(), errors,
                                       std::chrono::steady_clock::now() + limit);
    return run ? std::to_string(run->status) + " " + run->output
        : run.error().kind == ChildProcess::RunError::Kind::timedOut
        ? "timedOut " + run.error().output
        : "launchFailed " + std::to_string(run.error().error);
}

// Detached programs are the app launcher's tests, with real processes.
TEST(ChildProcess, InputIsTheNullDeviceOutputAndStatusAreCollectedDeadlinesHoldAndEveryChildIsReaped)
{
    EXPECT_EQ(shell("cat; echo \"eof $?\"; if (: </dev/tty) 2>/dev/null; then echo tty; fi; echo err >&2"),
              "0 eof 0\nerr\n");
    EXPECT_EQ(shell("echo out; echo err >&2", 30s, ChildProcess::StandardError::discard), "0 out\n");
    EXPECT_EQ(shell("head -c 1000000 /dev/zero").size(), 1000002u); // more than a pipe holds
    std::signal(SIGTERM, SIG_IGN); // ignored by the caller, back to its default action in the child
    const auto statuses = shell("exit 7") + shell("kill -TERM $$");
    std::signal(SIGTERM, SIG_DFL);
    EXPECT_EQ(statuses, "7 " + std::to_string(128 + SIGTERM) + " ");
    EXPECT_EQ(shell("", 5s, {}, "/nonexistent/tool"), "launchFailed " + std::to_string(ENOENT));
    EXPECT_EQ(shell("echo started; exec sleep 60", 3s), "timedOut started\n");
    // Closed its output but keeps running: the deadline still holds.
    EXPECT_EQ(shell("exec sleep 60 >/dev/null 2>&1", 300ms), "timedOut ");
    auto child = ChildProcess::spawn({"/bin/sleep", {"60"}, test::minimalEnvironment()});
    ASSERT_TRUE(child);
    const pid_t pid = child->pid();
    EXPECT_FALSE(child->waitUntil(std::chrono::steady_clock::now() + 50ms));
    std::optional<ChildProcess> moved(std::move(*child));
    EXPECT_FALSE(child->running());
    moved.reset(); // dropping a running child kills and reaps it
    EXPECT_NE(::kill(pid, 0), 0);
    test::expectNoChildren(); // every child reaped
}

TEST(Fd, ClosesWhatItOwnsEvenDescriptorZero)
{
    // A daemon started with its standard input closed gets 0 from its first open.
    const int savedStdin = ::fcntl(0, F_DUPFD_CLOEXEC, 10);
    ::dup2(Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)).get(), 0);
    Fd(0); // closed again at once
    const bool closed = ::fcntl(0, F_GETFD) < 0;
    ::dup2(savedStdin, 0), ::close(savedStdin);
    EXPECT_TRUE(closed) << "descriptor 0 was left open";
}

} // namespace
} // namespace vantorelle
