// AppLauncher: desktop entry lookup in XDG order, Exec quoting and field codes, and real detached
// starts of a script (new session, /dev/null stdio, "--background" appended, nothing left to reap).
#include "ipc/AppLauncher.h"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;
using Kind = AppLauncher::LaunchError::Kind;
namespace fs = std::filesystem;

using test::readFile;

void writeFile(const fs::path& path, const std::string& text, fs::perms perms = fs::perms(0600))
{
    test::writeFile(path, text, perms);
}

Environment envWith(std::initializer_list<std::pair<const char*, std::string>> vars)
{
    Environment env;
    for (const auto& [name, value] : vars) {
        env.set(name, value);
    }
    return env;
}

TEST(AppLauncherFind, LooksInDataHomeThenEachDataDir)
{
    TempDir dir;
    const auto home = dir.path() / "home", a = dir.path() / "a", b = dir.path() / "b";
    writeFile(b / "applications/app.id.desktop", "");
    const AppLauncher launcher(envWith(
        {{"XDG_DATA_HOME", home.string()}, {"XDG_DATA_DIRS", "relative/dir:" + a.string() + ":" + b.string()}}));
    EXPECT_EQ(b / "applications/app.id.desktop", launcher.findEntry("app.id"));
    writeFile(a / "applications/app.id.desktop", "");
    EXPECT_EQ(a / "applications/app.id.desktop", launcher.findEntry("app.id"));
    writeFile(home / "applications/app.id.desktop", "");
    EXPECT_EQ(home / "applications/app.id.desktop", launcher.findEntry("app.id"));
    EXPECT_EQ(std::nullopt, launcher.findEntry("other.id"));
}

TEST(AppLauncherFind, DefaultsAndUnsafeIds)
{
    TempDir dir;
    writeFile(dir.path() / ".local/share/applications/x.desktop", "");
    // An empty XDG_DATA_HOME means the default under HOME.
    const AppLauncher launcher(
        envWith({{"HOME", dir.path().string()}, {"XDG_DATA_HOME", ""}, {"XDG_DATA_DIRS", "/nonexistent"}}));
    EXPECT_EQ(dir.path() / ".local/share/applications/x.desktop", launcher.findEntry("x"));
    // So does a relative one, which is invalid.
    const AppLauncher relative(
        envWith({{"HOME", dir.path().string()}, {"XDG_DATA_HOME", "relative"}, {"XDG_DATA_DIRS", "/nonexistent"}}));
    EXPECT_EQ(dir.path() / ".local/share/applications/x.desktop", relative.findEntry("x"));
    writeFile(dir.path() / ".local/share/applications/.desktop", "");
    // An empty identifier (VANTORELLE_BUNDLE_ID set but empty) and ids that leave the directory
    // have no entry, whatever files exist.
    EXPECT_EQ(std::nullopt, launcher.findEntry(""));
    EXPECT_EQ(std::nullopt, launcher.findEntry("../applications/x"));
    EXPECT_EQ(std::nullopt, launcher.findEntry(".."));
}

struct ExecCase
{
    const char* name;
    std::string file;
    std::vector<std::string> arguments; // empty: an error of `kind`
    Kind kind = Kind::badEntry;
};

void PrintTo(const ExecCase& c, std::ostream* os)
{
    *os << c.name;
}

class ExecArgumentsTest : public testing::TestWithParam<ExecCase>
{
};

TEST_P(ExecArgumentsTest, Parses)
{
    const auto& c = GetParam();
    const auto result = AppLauncher::execArguments(c.file);
    if (c.arguments.empty()) {
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(c.kind, result.error().kind);
    } else {
        ASSERT_TRUE(result.has_value()) << static_cast<int>(result.error().kind);
        EXPECT_EQ(c.arguments, *result);
    }
}

const std::string kHead = "[Desktop Entry]\nType=Application\nName=App\n";

INSTANTIATE_TEST_SUITE_P(
    Entries, ExecArgumentsTest,
    testing::Values(
        ExecCase{"plain", kHead + "Exec=/usr/bin/app --flag value\n", {"/usr/bin/app", "--flag", "value"}},
        ExecCase{"fieldCodesDropped", kHead + "Exec=app %U --x %f %i %c %k\n", {"app", "--x"}},
        ExecCase{"fieldCodeInsideWordDropped", kHead + "Exec=app --file=%f\n", {"app", "--file="}},
        ExecCase{"percentEscape", kHead + "Exec=app 100%%\n", {"app", "100%"}},
        ExecCase{"quotedSpaces", kHead + "Exec=\"/opt/My App/run\" \"a b\"\n", {"/opt/My App/run", "a b"}},
        ExecCase{"quotedEscapes",
                 kHead + "Exec=app \"say \\\\\"hi\\\\\" \\\\$HOME \\\\`x\\\\` \\\\\\\\\"\n",
                 {"app", "say \"hi\" $HOME `x` \\"}},
        ExecCase{"emptyQuotedArgumentKept", kHead + "Exec=app \"\" end\n", {"app", "", "end"}},
        // String escapes come first; the space they make then separates arguments.
        ExecCase{"stringEscapes", kHead + "Exec=app a\\sb \"c\\sd\"\n", {"app", "a", "b", "c d"}},
        ExecCase{"blanksAroundEquals", kHead + "Exec = app  x \n", {"app", "x"}},
        ExecCase{"otherGroupIgnored",
                 "[Desktop Action new]\nExec=wrong\n" + kHead + "Exec=right\n[X-Other]\nExec=wrong\n",
                 {"right"}},
        ExecCase{"firstKeyWins", kHead + "Exec=first\nExec=second\n", {"first"}},
        ExecCase{"localisedKeyIgnored", kHead + "Exec[fr]=autre\nExec=app\n", {"app"}},
        ExecCase{"commentsAndCrLf", "# c\r\n" + std::string("[Desktop Entry]\r\nExec=app -v\r\n"), {"app", "-v"}},
        ExecCase{"noExec", kHead, {}, Kind::badEntry},
        ExecCase{"onlyFieldCodes", kHead + "Exec=%U %f\n", {}, Kind::badEntry},
        ExecCase{"unclosedQuote", kHead + "Exec=\"app x\n", {}, Kind::badEntry},
        ExecCase{"unknownFieldCode", kHead + "Exec=app %z\n", {}, Kind::badEntry},
        ExecCase{"trailingPercent", kHead + "Exec=app %\n", {}, Kind::badEntry},
        ExecCase{"notAnApplication", "[Desktop Entry]\nType=Link\nExec=app\n", {}, Kind::badEntry},
        ExecCase{"hidden", kHead + "Hidden=true\nExec=app\n", {}, Kind::noEntry}),
    [](const testing::TestParamInfo<ExecCase>& param) { return std::string(param.param.name); });

// A real start. This test process becomes a subreaper so that the detached program is reparented
// to it (not to a PID 1 that might not reap) and can be reaped here.
class AppLauncherStart : public testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(0, ::prctl(PR_SET_CHILD_SUBREAPER, 1)); }
    void TearDown() override
    {
        // Reap whatever the launches left to us.
        test::waitFor([] { return ::waitpid(-1, nullptr, WNOHANG) < 0; }, 10s);
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
    AppLauncher launcherFor(const std::string& exec)
    {
        writeFile(m_dir.path() / "data/applications/test.app.desktop",
                  "[Desktop Entry]\nType=Application\nExec=" + exec + "\n");
        return AppLauncher(envWith({{"XDG_DATA_HOME", (m_dir.path() / "data").string()},
                                    {"XDG_DATA_DIRS", "/nonexistent"},
                                    {"HOME", m_dir.path().string()},
                                    {"PATH", (m_dir.path() / "bin").string() + ":/usr/bin:/bin"},
                                    {"LANG", "fr_FR.UTF-8"},
                                    {"VANTORELLE_SOCKET", "/run/v.sock"},
                                    // A terminal's own settings stay with the terminal.
                                    {"LD_PRELOAD", "/nonexistent/preload.so"},
                                    {"SSH_ASKPASS", "/usr/bin/true"},
                                    {"SSH_AUTH_SOCK", "/tmp/terminal-agent"},
                                    {"MARKER", "from-terminal"}}));
    }

    std::optional<std::string> waitForFile(const fs::path& path)
    {
        return test::waitFor([&] { return fs::exists(path); }) ? std::optional(readFile(path)) : std::nullopt;
    }
    io::Deadline soon() const { return std::chrono::steady_clock::now() + 20s; }

    TempDir m_dir;
};

TEST_F(AppLauncherStart, StartsDetachedWithBackgroundArgument)
{
    const auto report = m_dir.path() / "report";
    // The script reports its arguments, environment, stdio, session and working directory, then
    // renames the report into place so the test never reads half of it.
    writeFile(m_dir.path() / "bin/fake-app",
              "#!/bin/sh\n"
              "out="
                  + report.string()
                  + "\n"
                    "in=$(readlink /proc/$$/fd/0); so=$(readlink /proc/$$/fd/1); sid=$(ps -o sid= -p $$ | tr -d ' ')\n"
                    "if [ -e /proc/$$/fd/50 ]; then fd50=open; else fd50=closed; fi\n"
                    "{ printf 'arg:%s\\n' \"$@\"; echo "
                    "\"env:$LANG|$VANTORELLE_SOCKET|$LD_PRELOAD|$SSH_ASKPASS|$SSH_AUTH_SOCK|$MARKER\"; echo "
                    "\"stdin:$in\"; echo \"stdout:$so\";\n"
                    "  echo \"pid:$$\"; echo \"sid:$sid\"; echo \"cwd:$(pwd)\"; echo \"fd50:$fd50\"; } > \"$out.tmp\"\n"
                    "mv \"$out.tmp\" \"$out\"\n",
              fs::perms::owner_all);
    auto launcher = launcherFor("fake-app \"two words\" %U");
    // A descriptor inherited without close-on-exec (as ssh hands its pipes down) must not reach it.
    ASSERT_EQ(50, ::dup2(STDERR_FILENO, 50));
    const bool launched = launcher.launch("test.app", {"--background"}, soon()).has_value();
    ::close(50);
    ASSERT_TRUE(launched);

    const auto text = waitForFile(report);
    ASSERT_TRUE(text.has_value());
    EXPECT_NE(std::string::npos, text->find("arg:two words\narg:--background\nenv:fr_FR.UTF-8|/run/v.sock||||\n"))
        << *text;
    EXPECT_NE(std::string::npos, text->find("stdin:/dev/null\nstdout:/dev/null\n")) << *text;
    EXPECT_NE(std::string::npos, text->find("cwd:" + m_dir.path().string() + "\n")) << *text;
    EXPECT_NE(std::string::npos, text->find("fd50:closed\n")) << *text;
    const auto pidAt = text->find("pid:"), sidAt = text->find("sid:");
    const pid_t pid = std::stoi(text->substr(pidAt + 4));
    const pid_t sid = std::stoi(text->substr(sidAt + 4));
    EXPECT_NE(::getsid(0), sid) << "the program must run in a session of its own";

    // The intermediate child was reaped by launch(); the only child left to us is the program,
    // adopted because we are a subreaper.
    int status = 0;
    EXPECT_EQ(pid, ::waitpid(-1, &status, 0));
    EXPECT_EQ(-1, ::waitpid(-1, &status, WNOHANG));
}

TEST_F(AppLauncherStart, FailuresAreReportedAtOnce)
{
    EXPECT_EQ(Kind::noEntry,
              AppLauncher(envWith({{"XDG_DATA_HOME", m_dir.path().string()}, {"XDG_DATA_DIRS", "/nonexistent"}}))
                  .launch("test.app", {}, soon())
                  .error()
                  .kind);
    EXPECT_EQ(Kind::notFound, launcherFor("no-such-program-here").launch("test.app", {}, soon()).error().kind);
    writeFile(m_dir.path() / "bin/not-executable", "#!/bin/sh\n");
    EXPECT_EQ(Kind::notFound, launcherFor("not-executable").launch("test.app", {}, soon()).error().kind);
    // Executable, but the kernel cannot run it: the exec itself fails, in the detached child.
    writeFile(m_dir.path() / "bin/bad-interpreter", "#!/nonexistent/interpreter\n", fs::perms::owner_all);
    const auto error = launcherFor("bad-interpreter").launch("test.app", {}, soon()).error();
    EXPECT_EQ(Kind::spawnFailed, error.kind);
    EXPECT_EQ(ENOENT, error.error);
    // The child whose exec failed is adopted here on its way out; nothing may stay behind.
    EXPECT_TRUE(test::waitFor([] { return ::waitpid(-1, nullptr, WNOHANG) < 0; }, 10s))
        << "a failed start must leave no process behind";
}

} // namespace
} // namespace vantorelle
