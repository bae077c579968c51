// RequesterResolver::liveTable against the real /proc: this process, its ancestors, children
// started in a new session with and without a terminal, odd names and vanished pids.
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/TempDir.h"
#include "sys/WorkingDirectory.h"
#include "unlock/RequesterResolver.h"

namespace vantorelle {
namespace {

using RequesterResolver::liveTable;

// A child running `program` that is always killed and reaped.
class Child
{
public:
    enum class Terminal { none, controlling };

    // Starts `program` (a copy of sleep) in a new session; returns once it has exec'd.
    Child(const std::filesystem::path& program, Terminal terminal)
    {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe2");
        }
        int master = -1;
        const char* slave = nullptr;
        if (terminal == Terminal::controlling) {
            master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 || !(slave = ::ptsname(master))) {
                throw std::runtime_error("no pseudo-terminal");
            }
            m_master = master;
        }
        const std::string path = program.string();
        m_pid = ::fork();
        if (m_pid == 0) {
            // Only async-signal-safe calls until exec.
            ::setsid();
            if (slave) {
                const int fd = ::open(slave, O_RDWR); // the first terminal a session leader opens
                if (fd < 0 || ::ioctl(fd, TIOCSCTTY, 0) != 0) {
                    ::_exit(126);
                }
            }
            char* const argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("60"), nullptr};
            ::execv(path.c_str(), argv);
            ::_exit(127);
        }
        ::close(ready[1]);
        // The read end sees end of file once the child's exec closed the write end.
        char byte;
        while (::read(ready[0], &byte, 1) < 0 && errno == EINTR) { }
        ::close(ready[0]);
    }
    ~Child()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            int status;
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) { }
        }
        if (m_master >= 0) {
            ::close(m_master);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_master = -1;
};

// Programs are copied next to the test binaries rather than into /tmp, which may be mounted noexec.
class ProgramDir
{
public:
    ProgramDir()
    {
        std::string pattern = std::string(VANTORELLE_BUILD_DIR) + "/vt-proc-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = pattern;
    }
    ~ProgramDir()
    {
        std::error_code error;
        std::filesystem::remove_all(m_path, error);
    }
    ProgramDir(const ProgramDir&) = delete;
    ProgramDir& operator=(const ProgramDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

std::filesystem::path copyOfSleep(const ProgramDir& dir, const std::string& name)
{
    const std::filesystem::path target = dir.path() / name;
    std::filesystem::copy_file("/bin/sleep", target);
    std::filesystem::permissions(target, std::filesystem::perms::owner_all);
    return target;
}

bool hasControllingTerminal()
{
    const int fd = ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

TEST(LiveTableTest, ThisProcess)
{
    const auto self = liveTable(::getpid());
    ASSERT_TRUE(self);
    EXPECT_EQ(self->pid, ::getpid());
    EXPECT_EQ(self->ppid, ::getppid());
    // The test program's name is longer than the 15 bytes the kernel keeps.
    EXPECT_EQ(self->name, std::filesystem::read_symlink("/proc/self/exe").filename().string());
    EXPECT_EQ(self->hasTTY, hasControllingTerminal());
}

TEST(LiveTableTest, ParentChainReachesTheTop)
{
    std::int32_t pid = ::getpid();
    int steps = 0;
    for (; steps < 200; ++steps) {
        const auto info = liveTable(pid);
        ASSERT_TRUE(info) << "pid " << pid << " after " << steps << " steps";
        EXPECT_FALSE(info->name.empty());
        if (info->ppid < 1) {
            break;
        }
        pid = info->ppid;
    }
    EXPECT_LT(steps, 200);
    EXPECT_GE(steps, 1); // ctest or a shell started us
}

TEST(LiveTableTest, ChildInANewSessionHasNoTerminal)
{
    ProgramDir dir;
    Child child(copyOfSleep(dir, "sleep"), Child::Terminal::none);
    const auto info = liveTable(child.pid());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->pid, child.pid());
    EXPECT_EQ(info->ppid, ::getpid());
    EXPECT_EQ(info->name, "sleep");
    EXPECT_FALSE(info->hasTTY);
}

TEST(LiveTableTest, ChildWithAControllingTerminalHasOne)
{
    ProgramDir dir;
    Child child(copyOfSleep(dir, "sleep"), Child::Terminal::controlling);
    const auto info = liveTable(child.pid());
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->hasTTY);
}

TEST(LiveTableTest, LongAndOddNamesComeOutWhole)
{
    ProgramDir dir;
    for (const std::string name : {"vantorelle-long-sleeper-name", "we) ird (x y", "exactly15chars!"}) {
        Child child(copyOfSleep(dir, name), Child::Terminal::none);
        const auto info = liveTable(child.pid());
        ASSERT_TRUE(info) << name;
        EXPECT_EQ(info->name, name);
        EXPECT_EQ(info->ppid, ::getpid()) << name;
    }
}

TEST(LiveTableTest, VanishedAndImpossiblePidsGiveNothing)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(0);
    }
    ASSERT_GT(pid, 0);
    int status;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(liveTable(pid), std::nullopt);
    EXPECT_EQ(liveTable(0), std::nullopt);
    EXPECT_EQ(liveTable(-1), std::nullopt);
    EXPECT_EQ(liveTable(INT_MAX), std::nullopt);
}

TEST(LiveTableTest, DamagedRecordsGiveNothingAndNamesAreRepaired)
{
    TempDir root("vt-proc");
    auto write = [&](int pid, const std::string& stat, const std::string* comm) {
        const auto dir = root.path() / std::to_string(pid);
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "stat", std::ios::binary) << stat;
        if (comm) {
            std::ofstream(dir / "comm", std::ios::binary) << *comm;
        }
    };
    const std::string bad = std::string("ab\xff") + "c\n";
    write(10, "10 (ab) S 7 10 10 0 -1 4194560", &bad);
    write(11, "12 (other) S 7 11 11 0 -1", nullptr); // record for another pid
    write(12, "12 garbage", nullptr);
    write(13, "13 (x) S notanumber 13 13 0", nullptr);
    write(14, "14 (a) b) S 3 14 14 34817 -1", nullptr); // no comm file: the record's own name

    const auto repaired = liveTable(10, root.path());
    ASSERT_TRUE(repaired);
    EXPECT_EQ(repaired->name,
              "ab\xEF\xBF\xBD"
              "c");
    EXPECT_EQ(repaired->ppid, 7);
    EXPECT_FALSE(repaired->hasTTY);
    EXPECT_EQ(liveTable(11, root.path()), std::nullopt);
    EXPECT_EQ(liveTable(12, root.path()), std::nullopt);
    EXPECT_EQ(liveTable(13, root.path()), std::nullopt);
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
