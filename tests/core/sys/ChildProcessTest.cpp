// ChildProcess: plain children with stdin on /dev/null, output through a pipe, always reaped.
#include "sys/ChildProcess.h"

#include <csignal>
#include <gtest/gtest.h>

#include "ssh/PTYRunner.h"
#include "support/SshTools.h"

namespace vantorelle {
namespace {

using test::expectNoChildren;
using test::minimalEnvironment;
using namespace std::chrono_literals;
using Kind = ChildProcess::RunError::Kind;

std::expected<ChildProcess::Output, ChildProcess::RunError>
shell(const std::string& script, ChildProcess::StandardError standardError = ChildProcess::StandardError::merge,
      std::chrono::milliseconds limit = 30s)
{
    return ChildProcess::run("/bin/sh", {"-c", script}, minimalEnvironment(), standardError,
                             std::chrono::steady_clock::now() + limit);
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
    const auto run = PTYRunner::run(
        std::filesystem::read_symlink("/proc/self/exe"),
        {"--gtest_filter=ChildProcess.StandardInputIsTheNullDeviceAndThereIsNoTerminal"}, minimalEnvironment(),
        [](std::string_view) { return std::nullopt; }, 60);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->status, 0) << run->output;
    EXPECT_NE(run->output.find("[  PASSED  ] 1 test"), std::string::npos) << run->output;
}

TEST(ChildProcess, OutputStandardErrorAndStatus)
{
    EXPECT_EQ(shell("echo out; echo err >&2")->output, "out\nerr\n");
    EXPECT_EQ(shell("echo out; echo err >&2", ChildProcess::StandardError::discard)->output, "out\n");
    // More than a pipe holds is read while the child writes.
    EXPECT_EQ(shell("head -c 1000000 /dev/zero")->output.size(), 1000000u);
    EXPECT_EQ(shell("exit 7")->status, 7);
    EXPECT_EQ(shell("kill -KILL $$")->status, 128 + SIGKILL);
    // A signal the caller ignores is back to its default action in the child.
    std::signal(SIGTERM, SIG_IGN);
    const auto term = shell("kill -TERM $$");
    std::signal(SIGTERM, SIG_DFL);
    EXPECT_EQ(term->status, 128 + SIGTERM);
    const auto missing = ChildProcess::run("/nonexistent/tool", {}, minimalEnvironment(),
                                           ChildProcess::StandardError::merge, std::chrono::steady_clock::now() + 5s);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, Kind::launchFailed);
    EXPECT_EQ(missing.error().error, ENOENT);
    expectNoChildren();
}

TEST(ChildProcess, DeadlineKillsAndReapsAndKeepsTheOutputSoFar)
{
    const auto run = shell("echo started; exec sleep 60", ChildProcess::StandardError::merge, 3s);
    ASSERT_FALSE(run);
    EXPECT_EQ(run.error().kind, Kind::timedOut);
    EXPECT_EQ(run.error().output, "started\n");
    // Closed its output but keeps running: the deadline still holds.
    const auto detached = shell("exec sleep 60 >/dev/null 2>&1", ChildProcess::StandardError::merge, 300ms);
    ASSERT_FALSE(detached);
    EXPECT_EQ(detached.error().kind, Kind::timedOut);
    expectNoChildren();
}

TEST(ChildProcess, DroppingARunningChildKillsAndReapsIt)
{
    pid_t pid = -1;
    {
        auto child = ChildProcess::spawn({"/bin/sleep", {"60"}, minimalEnvironment()});
        ASSERT_TRUE(child);
        pid = child->pid();
        EXPECT_FALSE(child->waitUntil(std::chrono::steady_clock::now() + 50ms));
        ChildProcess moved = std::move(*child);
        EXPECT_FALSE(child->running());
        EXPECT_TRUE(moved.running());
    }
    EXPECT_NE(::kill(pid, 0), 0);
    expectNoChildren();
}

} // namespace
} // namespace vantorelle
