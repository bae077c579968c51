// RequesterResolver::liveTable against the real /proc: this process, its ancestors, children
// started in a new session with and without a terminal, odd names and vanished pids.
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

// A copy of sleep named `name`, run in a new session (with a controlling terminal if asked), killed
// and reaped at the end; the constructor returns once it has exec'd.
class Child
{
public:
    Child(const fs::path& dir, const std::string& name, bool terminal)
    {
        const std::string path = (dir / name).string();
        fs::copy_file("/bin/sleep", path);
        const char* slave = nullptr;
        if (terminal) {
            m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0
                || !(slave = ::ptsname(m_master))) {
                throw std::runtime_error("no pseudo-terminal");
            }
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            ::setsid();
            if (slave && ::ioctl(::open(slave, O_RDWR), TIOCSCTTY, 0) != 0) {
                ::_exit(126);
            }
            char* const argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("60"), nullptr};
            ::execv(path.c_str(), argv);
            ::_exit(127);
        }
        test::waitFor([&] {
            std::error_code error;
            return fs::read_symlink("/proc/" + std::to_string(m_pid) + "/exe", error) == path;
        });
    }
    ~Child()
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        if (m_master >= 0) {
            ::close(m_master);
        }
    }
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_master = -1;
};

TEST(LiveTableTest, ThisProcessAndItsAncestors)
{
    const auto self = liveTable(::getpid());
    ASSERT_TRUE(self);
    EXPECT_EQ(self->ppid, ::getppid());
    // The test program's name is longer than the 15 bytes the kernel keeps.
    EXPECT_EQ(self->name, fs::read_symlink("/proc/self/exe").filename().string());
    const int tty = ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    EXPECT_EQ(self->hasTTY, tty >= 0);
    if (tty >= 0) {
        ::close(tty);
    }
    int steps = 0;
    for (auto info = self; info && info->ppid >= 1 && steps < 200; ++steps) {
        info = liveTable(info->ppid);
        ASSERT_TRUE(info && !info->name.empty()) << "after " << steps << " steps";
    }
    EXPECT_GE(steps, 1);
    EXPECT_LT(steps, 200);
}

TEST(LiveTableTest, ChildrenWithAndWithoutTerminalAndOddNames)
{
    TempDir dir("vt-proc", VANTORELLE_BUILD_DIR);
    for (const auto& [name, terminal] : std::vector<std::pair<std::string, bool>>{
             {"sleep", false}, {"sleep2", true}, {"vantorelle-long-sleeper-name", false}, {"we) ird (x y", false}}) {
        Child child(dir.path(), name, terminal);
        EXPECT_EQ(liveTable(child.pid()), (ProcessInfoLite{child.pid(), ::getpid(), name, terminal})) << name;
    }
}

TEST(LiveTableTest, VanishedImpossibleAndDamagedRecordsGiveNothing)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(0);
    }
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    for (const pid_t gone : {pid, 0, -1, INT_MAX}) {
        EXPECT_EQ(liveTable(gone), std::nullopt) << gone;
    }

    TempDir root("vt-proc");
    auto write
        = [&](int id, const std::string& stat) { test::writeFile(root.path() / std::to_string(id) / "stat", stat); };
    write(10, "10 (ab) S 7 10 10 0 -1 4194560");
    test::writeFile(root.path() / "10" / "comm",
                    "ab\xff"
                    "c\n");
    write(11, "12 (other) S 7 11 11 0 -1"); // record for another pid
    write(12, "12 garbage");
    write(13, "13 (x) S notanumber 13 13 0");
    write(14, "14 (a) b) S 3 14 14 34817 -1"); // no comm file: the record's own name
    EXPECT_EQ(liveTable(10, root.path()),
              (ProcessInfoLite{10, 7,
                               "ab\xEF\xBF\xBD"
                               "c",
                               false}));
    for (const int bad : {11, 12, 13}) {
        EXPECT_EQ(liveTable(bad, root.path()), std::nullopt) << bad;
    }
    EXPECT_EQ(liveTable(14, root.path()), (ProcessInfoLite{14, 3, "a) b", true}));
}

TEST(WorkingDirectory, IsReadFromProcOrIsNothing)
{
    EXPECT_EQ(workingDirectoryOf(::getpid()), std::filesystem::current_path());
    for (const std::int32_t pid : {0, -1, INT_MAX}) {
        EXPECT_EQ(workingDirectoryOf(pid), std::nullopt) << pid;
    }
}

} // namespace
} // namespace vantorelle
