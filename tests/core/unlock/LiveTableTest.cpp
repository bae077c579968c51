// RequesterResolver::liveTable against the real /proc: this process, pid 1, children started in
// a new session with and without a terminal, odd names, reaped pids; damaged records under a made-up root.
#include <climits>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"
#include "sys/WorkingDirectory.h"
#include "unlock/RequesterResolver.h"

namespace vantorelle {
namespace {

using RequesterResolver::liveTable;
namespace fs = std::filesystem;

// Copies of sleep named `name` in a new session, with a controlling terminal if asked.
TEST(LiveTableTest, ThisProcessInitChildrenWithAndWithoutTerminalOddNamesAndReapedOnes)
{
    EXPECT_EQ(liveTable(::getpid()).value().ppid, ::getppid());
    EXPECT_EQ(workingDirectoryOf(::getpid()), fs::current_path());
    EXPECT_EQ(liveTable(1).value().ppid, 0); // the top of the tree
    TempDir dir("vt-proc", VANTORELLE_BUILD_DIR);
    for (const auto& [name, terminal] : std::vector<std::pair<std::string, bool>>{
             {"sleep2", true}, {"vantorelle-long-sleeper-name", false}, {"we) ird (x y", false}}) {
        const std::string path = (dir.path() / name).string();
        fs::copy_file("/bin/sleep", path);
        const int master = terminal ? ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
        const char* slave = terminal && ::grantpt(master) == 0 && ::unlockpt(master) == 0 ? ::ptsname(master) : nullptr;
        ASSERT_EQ(terminal, slave != nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setsid();
            if (slave && ::ioctl(::open(slave, O_RDWR), TIOCSCTTY, 0) != 0) {
                ::_exit(126);
            }
            ::execl(path.c_str(), path.c_str(), "60", nullptr);
            ::_exit(127);
        }
        EXPECT_TRUE(
            test::waitFor([&] { return liveTable(pid).value_or(ProcessInfoLite{}).name == name; })); // after the exec
        EXPECT_EQ(liveTable(pid), (ProcessInfoLite{pid, ::getpid(), name, terminal})) << name;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ::close(master); // -1 without a terminal: nothing to close
        for (const pid_t gone : {pid, 0, -1, INT_MAX}) { // reaped, impossible
            EXPECT_EQ(liveTable(gone), std::nullopt) << gone;
            EXPECT_EQ(workingDirectoryOf(gone), std::nullopt) << gone;
        }
    }
}

TEST(LiveTableTest, DamagedRecordsGiveNothing)
{
    TempDir root("vt-proc");
    // 11 is a record for another pid; 14 has no comm file: the record's own name.
    // clang-format off
    const std::tuple<int, std::string, std::optional<ProcessInfoLite>> cases[] = {{11, "12 (other) S 7 11 11 0 -1", std::nullopt},
        {12, "12 garbage", std::nullopt}, {13, "13 (x) S notanumber 13 13 0", std::nullopt},
        {14, "14 (a) b) S 3 14 14 34817 -1", ProcessInfoLite{14, 3, "a) b", true}}};
    // clang-format on
    for (const auto& [id, stat, expected] : cases) {
        test::writeFile(root.path() / std::to_string(id) / "stat", stat);
        EXPECT_EQ(liveTable(id, root.path()), expected) << id;
    }
}

} // namespace
} // namespace vantorelle
