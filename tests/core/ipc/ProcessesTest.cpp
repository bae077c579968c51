// ParentWatch and AppLauncher against real processes: parents that die, pids that are not the
// parent, and detached starts of a script found through desktop entries.
#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include "ipc/AppLauncher.h"
#include "ipc/ParentWatch.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"
#include "sys/Io.h"
#include "sys/Pipe.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Kind = AppLauncher::LaunchError::Kind;

// Reaps whatever this process adopted as a subreaper; true when nothing is left.
const auto reapAll = [] { return test::waitFor([] { return ::waitpid(-1, nullptr, WNOHANG) < 0; }, 10s); };

// A live process that is not our parent; killed and reaped at the end.
struct IdleChild
{
    pid_t pid = ::fork();
    IdleChild() { pid == 0 ? (::pause(), ::_exit(0)) : void(); }
    void stop() { (void)(pid > 0 && ::kill(pid, SIGKILL) == 0 && ::waitpid(std::exchange(pid, -1), nullptr, 0)); }
    ~IdleChild() { stop(); }
};

TEST(ParentWatch, FiresOnceWhenThePidIsNoLongerTheParentAndTheActionMayEndItsOwnWatch)
{
    for (const pid_t pid : {0, 1, -5}) {
        EXPECT_EQ(nullptr, ParentWatch::create(pid, 0.05, [] {}));
    }
    std::atomic<int> parentCalls = 0, calls = 0, cancelledCalls = 0;
    std::atomic<bool> ready = false, cancelled = false, destroyed = false;
    auto quiet = ParentWatch::create(::getppid(), 0.01, [&] { ++parentCalls; });
    IdleChild other; // alive, but not our parent: only the tick can notice
    const auto started = std::chrono::steady_clock::now();
    auto watch = ParentWatch::create(other.pid, 0.05, [&] { ++calls; });
    auto stopped = ParentWatch::create(other.pid, 0.05, [&] { ++cancelledCalls; });
    stopped->cancel();
    std::unique_ptr<ParentWatch> first, second;
    first = ParentWatch::create(other.pid, 0.02, [&] {
        test::waitFor([&] { return ready.load(); });
        first->cancel();
        cancelled = true;
    });
    second = ParentWatch::create(other.pid, 0.02, [&] {
        test::waitFor([&] { return ready.load(); });
        auto* done = &destroyed; // the closure goes with the watch
        second.reset(); // the thread cannot join itself: it must let itself go
        *done = true;
    });
    ready = true;
    EXPECT_TRUE(test::waitFor([&] { return calls > 0 && cancelled && destroyed; }));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 45ms);
    other.stop(); // later ticks and the process's death do not call again
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(1, calls);
    EXPECT_EQ(0, cancelledCalls);
    EXPECT_EQ(0, parentCalls); // some twenty ticks while the parent lives
}

TEST(ParentWatch, KilledParentFiresExactlyOncePromptly)
{
    // This test (a subreaper, so it inherits the orphan) -> parent -> watcher, which reports each
    // call on a pipe and exits with its count. With a tick far off only the pidfd can be this quick.
    ASSERT_EQ(0, ::prctl(PR_SET_CHILD_SUBREAPER, 1));
    for (const double interval : {0.02, 30.0}) {
        auto events = Pipe::create();
        const pid_t parent = ::fork();
        if (parent == 0 && ::fork() == 0) {
            std::atomic<int> calls = 0;
            auto watch = ParentWatch::create(::getppid(), interval, [&] {
                ++calls, (void)io::writeAll(events->write.get(), {"f", 1});
            });
            (void)io::writeAll(events->write.get(), {watch ? "r" : "n", 1});
            test::waitFor([&] { return calls > 0; }, 20s);
            std::this_thread::sleep_for(
                std::chrono::duration<double>(std::min(interval * 4 + 0.2, 1.0))); // room for a second call
            watch.reset(); // joined rather than left behind by _exit
            ::_exit(calls.load());
        } else if (parent == 0) {
            ::pause();
        }
        events->write.reset();
        char byte = 0;
        EXPECT_TRUE(io::pollOne(events->read.get(), POLLIN, std::chrono::steady_clock::now() + 20s) > 0
                    && ::read(events->read.get(), &byte, 1) == 1 && byte == 'r');
        const auto killed = std::chrono::steady_clock::now();
        ::kill(parent, SIGKILL);
        ::waitpid(parent, nullptr, 0);
        EXPECT_TRUE(io::pollOne(events->read.get(), POLLIN, killed + 5s) > 0
                    && ::read(events->read.get(), &byte, 1) == 1)
            << interval;
        int status = 0;
        EXPECT_GT(::waitpid(-1, &status, 0), 0); // the orphaned watcher: its status is its count of calls
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << interval;
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

Environment envWith(std::initializer_list<std::pair<const char*, std::string>> vars)
{
    Environment env;
    std::ranges::for_each(vars, [&](const auto& var) { env.set(var.first, var.second); });
    return env;
}

TEST(AppLauncher, FindsEntriesInXdgOrderAndNeverOutsideTheDirectory)
{
    TempDir dir;
    const auto home = dir.path() / "home", a = dir.path() / "a", b = dir.path() / "b";
    const AppLauncher launcher(
        envWith({{"XDG_DATA_HOME", home}, {"XDG_DATA_DIRS", "relative/dir:" + a.native() + ":" + b.native()}}));
    for (const auto& where : {b, a, home}) { // each new one takes precedence
        test::writeFile(where / "applications/app.id.desktop", "");
        EXPECT_EQ(where / "applications/app.id.desktop", launcher.findEntry("app.id"));
    }
    EXPECT_EQ(std::nullopt, launcher.findEntry("other.id"));
    test::writeFile(dir.path() / ".local/share/applications/.desktop", "");
    test::writeFile(dir.path() / ".local/share/applications/x.desktop", "");
    for (const char* dataHome : {"", "relative"}) { // both mean the default under HOME
        const AppLauncher defaults(
            envWith({{"HOME", dir.path()}, {"XDG_DATA_HOME", dataHome}, {"XDG_DATA_DIRS", "/nonexistent"}}));
        EXPECT_EQ(dir.path() / ".local/share/applications/x.desktop", defaults.findEntry("x"));
        for (const char* id : {"", "../applications/x", ".."}) {
            EXPECT_EQ(std::nullopt, defaults.findEntry(id)) << id;
        }
    }
}

TEST(AppLauncher, ExecLineQuotingAndFieldCodes)
{
    const std::string head = "[Desktop Entry]\nType=Application\nName=App\n";
    using Args = std::vector<std::string>; // empty: refused as a bad entry
    // clang-format off
    const std::pair<std::string, Args> cases[] = {
        {"Exec=/usr/bin/app --flag value\n", {"/usr/bin/app", "--flag", "value"}},
        {"Exec=app %U --x %f %i %c %k\n", {"app", "--x"}}, {"Exec=app --file=%f\n", {"app", "--file="}},
        {"Exec=app 100%%\n", {"app", "100%"}}, {"Exec=\"/opt/My App/run\" \"a b\"\n", {"/opt/My App/run", "a b"}},
        {"Exec=app \"\" end\n", {"app", "", "end"}},
        {"Exec=app \"say \\\\\"hi\\\\\" \\\\$HOME \\\\`x\\\\` \\\\\\\\\"\n", {"app", "say \"hi\" $HOME `x` \\"}},
        // String escapes come first; the space they make then separates arguments.
        {"Exec=app a\\sb \"c\\sd\"\n", {"app", "a", "b", "c d"}},
        {"Exec = app  x \n", {"app", "x"}}, {"Exec=first\nExec=second\n", {"first"}},
        {"Exec[fr]=autre\nExec=app\n", {"app"}}, {"Exec=%U %f\n", {}}, {"Exec=\"app x\n", {}}, {"Exec=app %z\n", {}},
        {"Exec=app %\n", {}}, {"", {}}};
    // clang-format on
    for (const auto& [exec, expected] : cases) {
        const auto result = AppLauncher::execArguments(head + exec);
        EXPECT_EQ(result.value_or(Args{}), expected) << exec;
        EXPECT_TRUE(result || result.error().kind == Kind::badEntry) << exec;
    }
    EXPECT_EQ(
        AppLauncher::execArguments("[Desktop Action new]\nExec=wrong\n" + head + "Exec=right\n[X-Other]\nExec=wrong\n"),
        Args{"right"});
    EXPECT_EQ(AppLauncher::execArguments("# c\r\n[Desktop Entry]\r\nExec=app -v\r\n"), (Args{"app", "-v"}));
    EXPECT_EQ(AppLauncher::execArguments("[Desktop Entry]\nType=Link\nExec=app\n").error().kind, Kind::badEntry);
    EXPECT_EQ(AppLauncher::execArguments(head + "Hidden=true\nExec=app\n").error().kind, Kind::noEntry);
}

// Real starts. This process becomes a subreaper so the detached program is reparented to it and
// can be reaped here.
class AppLauncherStart : public testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(0, ::prctl(PR_SET_CHILD_SUBREAPER, 1)); }
    void TearDown() override { reapAll(), ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
    std::expected<void, AppLauncher::LaunchError> launch(const std::string& exec, std::vector<std::string> args = {},
                                                         const std::string& id = "test.app")
    {
        test::writeFile(dir.path() / "data/applications/test.app.desktop",
                        "[Desktop Entry]\nType=Application\nExec=" + exec + "\n");
        // clang-format off
        return AppLauncher(envWith({{"XDG_DATA_HOME", dir.path() / "data"}, {"XDG_DATA_DIRS", "/nonexistent"},
            {"HOME", dir.path()}, {"PATH", (dir.path() / "bin").native() + ":/usr/bin:/bin"}, {"LANG", "fr_FR.UTF-8"},
            {"VANTORELLE_SOCKET", "/run/v.sock"}, // a terminal's own settings stay with it:
            {"LD_PRELOAD", "/nonexistent/preload.so"}, {"SSH_ASKPASS", "/usr/bin/true"},
            {"SSH_AUTH_SOCK", "/tmp/terminal-agent"}, {"MARKER", "from-terminal"}}))
            // clang-format on
            .launch(id, args, std::chrono::steady_clock::now() + 20s);
    }
    TempDir dir;
};

TEST_F(AppLauncherStart, StartsDetachedWithBackgroundArgumentOrSaysWhyNot)
{
    // The script reports, then renames the report into place so the test never reads half of it.
    const auto report = dir.path() / "report";
    test::writeFile(dir.path() / "bin/fake-app", "#!/bin/sh\nout=" + report.native() + R"sh(
in=$(readlink /proc/$$/fd/0) so=$(readlink /proc/$$/fd/1)
{ printf 'arg:%s\n' "$@"; echo "env:$LANG|$VANTORELLE_SOCKET|$LD_PRELOAD|$SSH_ASKPASS|$SSH_AUTH_SOCK|$MARKER"
  echo "stdin:$in stdout:$so fd50:$(test -e /proc/$$/fd/50 && echo open)"
  echo "cwd:$(pwd)"; echo "pid:$$ sid:$(ps -o sid= -p $$ | tr -d ' ')"; } > "$out.tmp"
mv "$out.tmp" "$out"
)sh",
                    fs::perms::owner_all);
    ASSERT_EQ(50, ::dup2(STDERR_FILENO, 50)); // inherited without close-on-exec, as ssh hands its pipes down
    const bool launched = launch("fake-app \"two words\" %U", {"--background"}).has_value();
    ::close(50);
    ASSERT_TRUE(launched);
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(report); }));
    const auto text = test::readFile(report);
    EXPECT_NE(std::string::npos,
              text.find("arg:two words\narg:--background\nenv:fr_FR.UTF-8|/run/v.sock||||\n"
                        "stdin:/dev/null stdout:/dev/null fd50:\ncwd:"
                        + dir.path().native() + "\n"))
        << text;
    pid_t pid = 0, sid = 0;
    ASSERT_EQ(2, std::sscanf(text.c_str() + text.find("pid:"), "pid:%d sid:%d", &pid, &sid));
    EXPECT_NE(::getsid(0), sid) << "the program must run in a session of its own";
    // launch() reaped the intermediate child; the program, adopted here, is the only one left.
    EXPECT_EQ(pid, ::waitpid(-1, nullptr, 0));
    EXPECT_EQ(-1, ::waitpid(-1, nullptr, WNOHANG));
    // Failures are reported at once, leaving nothing behind.
    EXPECT_EQ(Kind::noEntry, launch("fake-app", {}, "other.app").error().kind);
    EXPECT_EQ(Kind::notFound, launch("no-such-program-here").error().kind);
    test::writeFile(dir.path() / "bin/not-executable", "#!/bin/sh\n");
    EXPECT_EQ(Kind::notFound, launch("not-executable").error().kind);
    // Executable, but the kernel cannot run it: the exec itself fails, in the detached child.
    test::writeFile(dir.path() / "bin/bad-interpreter", "#!/nonexistent/interpreter\n", fs::perms::owner_all);
    const auto error = launch("bad-interpreter").error();
    EXPECT_TRUE(error.kind == Kind::spawnFailed && error.error == ENOENT);
    EXPECT_TRUE(reapAll()) << "a failed start must leave no process behind";
}

} // namespace
} // namespace vantorelle
