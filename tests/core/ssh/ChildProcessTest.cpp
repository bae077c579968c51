// ChildProcess: plain children with stdin on /dev/null, output through a pipe, always reaped.
#include "sys/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "SshTestSupport.h"
#include "ssh/PTYRunner.h"

namespace vantorelle {
namespace {

using test::after;
using test::minimalEnvironment;
using namespace std::chrono_literals;

std::expected<ChildProcess::Output, ChildProcess::RunError>
shell(const std::string& script, ChildProcess::StandardError standardError = ChildProcess::StandardError::merge,
      std::chrono::milliseconds limit = 30s)
{
    return ChildProcess::run("/bin/sh", {"-c", script}, minimalEnvironment(), standardError, after(limit));
}

void expectNoChildren()
{
    int status = 0;
    EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(ChildProcess, StandardInputIsTheNullDeviceAndThereIsNoTerminal)
{
    const auto run = shell("cat; echo \"eof $?\"; if (: </dev/tty) 2>/dev/null; then echo tty; else echo notty; fi");
    ASSERT_TRUE(run);
    EXPECT_EQ(run->status, 0);
    EXPECT_EQ(run->output, "eof 0\nnotty\n");
}

TEST(ChildProcess, NoTerminalEvenWhenTheCallerHasOne)
{
    // The test above, run again in a copy of this program that has a controlling terminal.
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    const auto run = PTYRunner::run(
        self, {"--gtest_filter=ChildProcess.StandardInputIsTheNullDeviceAndThereIsNoTerminal"}, minimalEnvironment(),
        [](std::string_view) { return std::nullopt; }, 60);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->status, 0) << run->output;
    EXPECT_NE(run->output.find("[  PASSED  ] 1 test"), std::string::npos) << run->output;
}

TEST(ChildProcess, StandardErrorIsMergedOrDiscarded)
{
    const auto merged = shell("echo out; echo err >&2");
    ASSERT_TRUE(merged);
    EXPECT_EQ(merged->output, "out\nerr\n");
    const auto discarded = shell("echo out; echo err >&2", ChildProcess::StandardError::discard);
    ASSERT_TRUE(discarded);
    EXPECT_EQ(discarded->output, "out\n");
}

TEST(ChildProcess, OutputLargerThanAPipeIsReadWhileTheChildWrites)
{
    const auto run = shell("head -c 1000000 /dev/zero");
    ASSERT_TRUE(run);
    EXPECT_EQ(run->status, 0);
    EXPECT_EQ(run->output.size(), 1000000u);
}

TEST(ChildProcess, StatusIsTheExitCodeOr128PlusTheSignal)
{
    EXPECT_EQ(shell("exit 7")->status, 7);
    EXPECT_EQ(shell("kill -KILL $$")->status, 128 + SIGKILL);
    // A signal the caller ignores is back to its default action in the child.
    std::signal(SIGTERM, SIG_IGN);
    const auto term = shell("kill -TERM $$");
    std::signal(SIGTERM, SIG_DFL);
    EXPECT_EQ(term->status, 128 + SIGTERM);
    expectNoChildren();
}

TEST(ChildProcess, MissingProgramIsALaunchError)
{
    const auto run = ChildProcess::run("/nonexistent/tool", {}, minimalEnvironment(),
                                       ChildProcess::StandardError::merge, after(5s));
    ASSERT_FALSE(run);
    EXPECT_EQ(run.error().kind, ChildProcess::RunError::Kind::launchFailed);
    EXPECT_EQ(run.error().error, ENOENT);
}

TEST(ChildProcess, DeadlineKillsAndReapsAndKeepsTheOutputSoFar)
{
    const auto run = shell("echo started; exec sleep 60", ChildProcess::StandardError::merge, 3s);
    ASSERT_FALSE(run);
    EXPECT_EQ(run.error().kind, ChildProcess::RunError::Kind::timedOut);
    EXPECT_EQ(run.error().output, "started\n");
    // Closed its output but keeps running: the deadline still holds.
    const auto detached = shell("exec sleep 60 >/dev/null 2>&1", ChildProcess::StandardError::merge, 300ms);
    ASSERT_FALSE(detached);
    EXPECT_EQ(detached.error().kind, ChildProcess::RunError::Kind::timedOut);
    expectNoChildren();
}

TEST(ChildProcess, DroppingARunningChildKillsAndReapsIt)
{
    pid_t pid = -1;
    {
        ChildProcess::Options options;
        options.path = "/bin/sleep";
        options.args = {"60"};
        options.env = minimalEnvironment();
        auto child = ChildProcess::spawn(options);
        ASSERT_TRUE(child);
        pid = child->pid();
        EXPECT_FALSE(child->waitUntil(after(50ms)));
        ChildProcess moved = std::move(*child);
        EXPECT_FALSE(child->running());
        EXPECT_TRUE(moved.running());
    }
    EXPECT_NE(::kill(pid, 0), 0);
    expectNoChildren();
}

} // namespace
} // namespace vantorelle
