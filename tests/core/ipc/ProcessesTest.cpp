// ParentWatch and AppLauncher against real processes: pids that are not the parent and detached
// starts of a script found through desktop entries.
#include <algorithm>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include "ipc/AppLauncher.h"
#include "ipc/ParentWatch.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Kind = AppLauncher::LaunchError::Kind;
using Args = std::vector<std::string>;

const auto envWith = [](std::initializer_list<std::pair<const char*, std::string>> vars) {
    Environment env;
    std::ranges::for_each(vars, [&](const auto& var) { env.set(var.first, var.second); });
    return env;
};

// This process becomes a subreaper, so what the test orphans is reparented to it and reaped here.
class Subreaper : public testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(0, ::prctl(PR_SET_CHILD_SUBREAPER, 1)); }
    void TearDown() override
    {
        EXPECT_TRUE(test::waitFor([] { return ::waitpid(-1, nullptr, WNOHANG) < 0; }, 10s)) << "a child is left";
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
    TempDir dir;
};

TEST_F(Subreaper, ParentWatchFiresOnceWhenThePidIsNoLongerTheParentOrDiesAndTheActionMayEndItsOwnWatch)
{
    EXPECT_EQ(nullptr, ParentWatch::create(1, 0.05, [] {})); // orphans are reparented to it
    // To this test the child is a live process that is not its own parent: the tick notices. With
    // the tick far off only the pidfd can notice its death in time.
    const pid_t parent = ::fork();
    if (parent == 0) {
        ::pause();
    }
    std::atomic<int> calls = 0, cancelledCalls = 0, deaths = 0;
    const auto onDeath = ParentWatch::create(parent, 30.0, [&] { ++deaths; });
    std::atomic<bool> ready = false, cancelled = false, destroyed = false;
    const auto created = std::chrono::steady_clock::now();
    auto watch = ParentWatch::create(parent, 0.05, [&] { ++calls; });
    auto stopped = ParentWatch::create(parent, 0.05, [&] { ++cancelledCalls; });
    stopped->cancel();
    std::unique_ptr<ParentWatch> first, second;
    first = ParentWatch::create(parent, 0.02, [&] {
        test::waitFor([&] { return ready.load(); });
        first->cancel();
        cancelled = true;
    });
    second = ParentWatch::create(parent, 0.02, [&] {
        test::waitFor([&] { return ready.load(); });
        auto* done = &destroyed; // the closure goes with the watch
        second.reset(); // the thread cannot join itself: it must let itself go
        *done = true;
    });
    ready = true;
    EXPECT_TRUE(test::waitFor([&] { return calls > 0 && cancelled && destroyed; }));
    EXPECT_GE(std::chrono::steady_clock::now() - created, 45ms);
    ::kill(parent, SIGKILL); // neither its death nor later ticks call again
    EXPECT_TRUE(test::waitFor([&] { return deaths > 0; }, 10s));
    ::waitpid(parent, nullptr, 0);
    EXPECT_EQ(1, calls);
    EXPECT_EQ(0, cancelledCalls);
}

TEST(AppLauncher, FindsEntriesInXdgOrderNeverOutsideTheDirectoryAndSplitsTheirExecLines)
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
    test::writeFile(home / "applications/.desktop", "");
    for (const char* id : {"", "../applications/app.id", ".."}) {
        EXPECT_EQ(std::nullopt, launcher.findEntry(id)) << id;
    }
    const std::string head = "[Desktop Entry]\nType=Application\nName=App\n";
    // Empty: refused as a bad entry.
    // clang-format off
    const std::pair<std::string, Args> cases[] = {{"Exec=app %U --x %f %i %c %k\n", {"app", "--x"}},
        {"Exec=app --file=%f 100%%\n", {"app", "--file=", "100%"}}, {"Exec = app  x \n", {"app", "x"}},
        {"Exec=\"/o/My App\" \"\" end\n", {"/o/My App", "", "end"}}, {"Exec=first\nExec=second\n", {"first"}},
        {"Exec=app \"say \\\\\"hi\\\\\" \\\\$HOME \\\\`x\\\\` \\\\\\\\\"\n", {"app", "say \"hi\" $HOME `x` \\"}},
        // String escapes come first; the space they make then separates arguments.
        {"Exec=app a\\sb \"c\\sd\"\n", {"app", "a", "b", "c d"}}, {"Exec[fr]=autre\nExec=app\n", {"app"}},
        {"Exec=%U %f\n", {}}, {"Exec=\"app x\n", {}}, {"Exec=app %z\n", {}}, {"Exec=app %\n", {}}, {"", {}}};
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

TEST_F(Subreaper, AppLauncherStartsDetachedWithBackgroundArgumentOrSaysWhyNot)
{
    const auto launch = [&](const std::string& exec, Args args = {}, const std::string& id = "test.app") {
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
    };
    // The script reports, then renames the report into place so the test never reads half of it.
    const auto report = dir.path() / "report";
    test::writeFile(dir.path() / "bin/fake-app", "#!/bin/sh\nout=" + report.native() + R"sh(
in=$(readlink /proc/$$/fd/0) so=$(readlink /proc/$$/fd/1)
{ printf 'arg:%s\n' "$@"; echo "env:$LANG|$VANTORELLE_SOCKET|$LD_PRELOAD|$SSH_ASKPASS|$SSH_AUTH_SOCK|$MARKER"
  echo "stdin:$in stdout:$so fd50:$(test -e /proc/$$/fd/50 && echo open)"
  echo "cwd:$(pwd)"; } > "$out.tmp"
mv "$out.tmp" "$out"
)sh",
                    fs::perms::owner_all);
    ASSERT_EQ(50, ::dup2(STDERR_FILENO, 50)); // inherited without close-on-exec, as ssh hands its pipes down
    ASSERT_TRUE(launch("fake-app \"two words\" %U", {"--background"}));
    ::close(50);
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(report); }));
    EXPECT_EQ(test::readFile(report),
              "arg:two words\narg:--background\nenv:fr_FR.UTF-8|/run/v.sock||||\n"
              "stdin:/dev/null stdout:/dev/null fd50:\ncwd:"
                  + dir.path().native() + "\n");
    // Failures are reported at once, leaving nothing behind.
    EXPECT_EQ(Kind::noEntry, launch("fake-app", {}, "other.app").error().kind);
    test::writeFile(dir.path() / "bin/not-executable", "#!/bin/sh\n");
    EXPECT_EQ(Kind::notFound, launch("not-executable").error().kind);
    // Executable, but the kernel cannot run it: the exec itself fails, in the detached child.
    test::writeFile(dir.path() / "bin/bad-interpreter", "#!/nonexistent/interpreter\n", fs::perms::owner_all);
    const auto error = launch("bad-interpreter").error();
    EXPECT_TRUE(error.kind == Kind::spawnFailed && error.error == ENOENT);
}

} // namespace
} // namespace vantorelle
