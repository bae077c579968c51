// ChildProcess::spawnDetached: the program runs in its own session, in the given directory, and
// is never left to this process as a child to reap.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"
#include "sys/ChildProcess.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;

ChildProcess::Options shell(const std::string& script)
{
    ChildProcess::Options options;
    options.path = "/bin/sh";
    options.args = {"-c", script};
    options.env.set("PATH", "/usr/bin:/bin");
    return options;
}

TEST(SpawnDetached, RunsInItsOwnSessionAndDirectoryAndLeavesNoChild)
{
    TempDir dir;
    const auto report = dir.path() / "report";
    auto options = shell("echo \"$(pwd) $(ps -o sid= -p $$ | tr -d ' ') $$\" > report.tmp && mv report.tmp report");
    options.directory = dir.path().string();
    ASSERT_TRUE(ChildProcess::spawnDetached(options, std::chrono::steady_clock::now() + 20s));
    ASSERT_TRUE(test::waitFor([&] { return std::filesystem::exists(report); }));
    std::istringstream words(test::readFile(report));
    std::string directory;
    pid_t session = 0;
    pid_t pid = 0;
    words >> directory >> session >> pid;
    EXPECT_EQ(directory, dir.path().string());
    // A session of its own, started by the intermediate process: not ours, and the program is not
    // its leader, so it can never acquire a controlling terminal.
    EXPECT_NE(session, ::getsid(0));
    EXPECT_NE(session, pid);
    // The intermediate process is reaped and the program was adopted elsewhere.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(SpawnDetached, AProgramThatCannotBeExecutedIsReportedWithItsErrno)
{
    ChildProcess::Options options;
    options.path = "/nonexistent/program";
    EXPECT_EQ(ChildProcess::spawnDetached(options, std::chrono::steady_clock::now() + 20s), std::unexpected(ENOENT));
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

} // namespace
} // namespace vantorelle
