// The real vantorelle-app under Xvfb with a private session bus, GNOME Keyring and ssh-agent,
// driven from outside: the command line, the askpass helper, ssh, D-Bus calls and signals.
#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include "../../e2e/E2EWorld.h"
#include "DesktopSession.h"
#include "defaults/FileDefaults.h"
#include "i18n/L.h"
#include "setup/MarkedBlock.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"
#include "sys/Fd.h"

namespace vantorelle::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class AppEndToEnd : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (auto why = World::unavailableReason()) {
            GTEST_SKIP() << *why;
        }
        if (auto why = DesktopSession::unavailableReason()) {
            GTEST_SKIP() << *why;
        }
        m_env = m_world.clientEnvironment();
        fs::create_directories(m_world.root() / "run");
        fs::permissions(m_world.root() / "run", fs::perms::owner_all);
        m_env.set("XDG_RUNTIME_DIR", (m_world.root() / "run").string());
        m_env.set("VANTORELLE_LOG", "stderr");
        // Qt, fontconfig and the X libraries keep caches to the end of the process; in a sanitizer
        // build those would turn every clean exit of the app into a failure.
        if (auto asan = m_env.get("ASAN_OPTIONS")) {
            m_env.set("ASAN_OPTIONS", *asan + ":detect_leaks=0");
        }
        // Services installed here become activatable on the session bus (after a ReloadConfig).
        m_env.set("XDG_DATA_DIRS", (m_world.root() / "prefix/share").string());
        m_env.unset("SSH_ASKPASS");
        m_env.unset("SSH_ASKPASS_REQUIRE");
        ASSERT_TRUE(m_world.startAgent()) << m_world.problem();
        ASSERT_TRUE(m_session.start(m_env, m_world.root())) << m_session.problem();
    }

    fs::path home() const { return m_world.root() / "home"; }
    fs::path plainKey() const { return home() / ".ssh/id_plain"; }
    FileDefaults defaults() const { return FileDefaults(home() / ".config/vantorelle/defaults.json"); }
    fs::path autostartEntry() const { return home() / ".config/autostart/org.vantorelle.Vantorelle.desktop"; }

    // A key without passphrase in ~/.ssh, managed, so status and lock have something to show.
    void manageAPlainKey()
    {
        fs::create_directories(home() / ".ssh");
        auto made = ChildProcess::run("/usr/bin/ssh-keygen",
                                      {"-q", "-t", "ed25519", "-N", "", "-C", "plain-key", "-f", plainKey().string()},
                                      m_env, ChildProcess::StandardError::merge, after(30s));
        ASSERT_TRUE(made && made->status == 0);
        defaults().set("managedKeyPaths", std::vector<std::string>{plainKey().string()});
    }
    RunResult addPlainKeyToAgent(std::optional<int> lifetime = std::nullopt)
    {
        std::vector<std::string> args;
        if (lifetime) {
            args = {"-t", std::to_string(*lifetime)};
        }
        args.push_back(plainKey().string());
        auto added = ChildProcess::run("/usr/bin/ssh-add", args, m_env, ChildProcess::StandardError::merge, after(30s));
        return added ? RunResult{added->status, added->output} : RunResult{};
    }

    std::optional<ChildProcess> launch(const std::vector<std::string>& args, const fs::path& log,
                                       const char* program = VANTORELLE_APP)
    {
        Fd out(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        ChildProcess::Options options{
            .path = program, .args = args, .env = m_env, .stdoutFd = out.get(), .stderrFd = out.get()};
        auto started = ChildProcess::spawn(options);
        if (!started) {
            return std::nullopt;
        }
        return std::move(*started);
    }

    // Starts the app and waits until the command line gets an answer from it.
    ::testing::AssertionResult startApp(const std::vector<std::string>& args = {"--background"},
                                        const char* program = VANTORELLE_APP)
    {
        m_app = launch(args, appLogPath(), program);
        if (!m_app) {
            return ::testing::AssertionFailure() << "the app did not start";
        }
        const bool answering = test::waitFor(
            [&] {
                return m_world.cli({"status"}).status == 0 || !m_app->running()
                    || m_app->waitUntil(std::chrono::steady_clock::now());
            },
            60s);
        if (!answering || !m_app->running()) {
            return ::testing::AssertionFailure() << "the app never answered\n" << appLog();
        }
        return ::testing::AssertionSuccess();
    }
    std::optional<int> stopApp(int signal = SIGTERM)
    {
        if (!m_app) {
            return std::nullopt;
        }
        m_app->signal(signal);
        auto status = m_app->waitUntil(after(30s));
        if (!status) {
            m_app->kill();
        }
        m_app.reset();
        return status;
    }
    void TearDown() override { stopApp(); }

    fs::path appLogPath() const { return m_world.root() / "app.log"; }
    std::string appLog() const { return test::readFile(appLogPath()); }
    int countInLog(const std::string& text) const
    {
        const std::string log = appLog();
        int count = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
            ++count;
        }
        return count;
    }
    bool waitForLog(const std::string& text, int count = 1) const
    {
        return test::waitFor([&] { return countInLog(text) >= count; }, 60s);
    }

    RunResult appAction(const std::string& name)
    {
        auto sent = ChildProcess::run("/usr/bin/gdbus",
                                      {"call", "--session", "--dest", "org.vantorelle.Vantorelle", "--object-path",
                                       "/org/vantorelle/Vantorelle", "--method",
                                       "org.freedesktop.Application.ActivateAction", name, "[]", "{}"},
                                      m_env, ChildProcess::StandardError::merge, after(30s));
        return sent ? RunResult{sent->status, sent->output} : RunResult{};
    }

    // `cmake --install` of this build into root/prefix, whose share/ the session bus reads.
    ::testing::AssertionResult install()
    {
        auto installed = ChildProcess::run(
            CMAKE_COMMAND, {"--install", VANTORELLE_BUILD_DIR, "--prefix", (m_world.root() / "prefix").string()}, m_env,
            ChildProcess::StandardError::merge, after(120s));
        if (!installed || installed->status != 0) {
            return ::testing::AssertionFailure() << (installed ? installed->output : "cmake did not run");
        }
        return ::testing::AssertionSuccess();
    }
    std::string installedApp() const { return (m_world.root() / "prefix/lib/vantorelle/vantorelle-app").string(); }

    // The askpass helper on a terminal of its own, asking what ssh would ask.
    RunResult askpass(const std::string& prompt)
    {
        auto run = TerminalRun::start(World::helperPath(), {prompt}, m_env);
        return run ? run->finish(after(90s)) : RunResult{};
    }

    World m_world;
    DesktopSession m_session;
    Environment m_env;
    std::optional<ChildProcess> m_app;
};

TEST_F(AppEndToEnd, StartsAnswersStatusAndOwnsItsBusName)
{
    ASSERT_TRUE(startApp());
    const auto status = m_world.cli({"status"});
    EXPECT_EQ(0, status.status);
    EXPECT_NE(std::string::npos, status.output.find(L("status.locked"))) << status.output;
    const auto json = m_world.cli({"status", "--json"});
    EXPECT_EQ(0, json.status);
    EXPECT_EQ("{\"keys\":[],\"remaining_seconds\":null,\"state\":\"locked\"}\n", json.output);
    EXPECT_TRUE(DesktopSession::nameHasOwner(m_env, "org.vantorelle.Vantorelle"));
    EXPECT_EQ(0, countInLog("SSH_AUTH_SOCK not found")) << appLog();
}

TEST_F(AppEndToEnd, SecondStartLeavesQuietlyAndReopensTheFirst)
{
    ASSERT_TRUE(startApp());
    auto second = launch({"--background"}, m_world.root() / "second.log");
    ASSERT_TRUE(second);
    EXPECT_EQ(0, second->waitUntil(after(60s)));
    EXPECT_NE(std::string::npos,
              test::readFile(m_world.root() / "second.log").find("another instance is running; quitting"));
    EXPECT_EQ(0, countInLog("reopened by another launch")) << "a background start must not reopen the first";

    auto third = launch({}, m_world.root() / "third.log");
    ASSERT_TRUE(third);
    EXPECT_EQ(0, third->waitUntil(after(60s)));
    EXPECT_TRUE(waitForLog("reopened by another launch")) << appLog();
    EXPECT_EQ(0, m_world.cli({"status"}).status) << "the first copy keeps serving";
}

TEST_F(AppEndToEnd, LockAndStatusAgainstTheAgent)
{
    manageAPlainKey();
    ASSERT_TRUE(startApp());
    ASSERT_EQ(0, addPlainKeyToAgent().status);
    EXPECT_EQ("{\"keys\":[\"plain-key\"],\"remaining_seconds\":null,\"state\":\"unlocked\"}\n",
              m_world.cli({"status", "--json"}).output);

    EXPECT_EQ(0, m_world.cli({"lock"}).status);
    EXPECT_EQ(1, m_world.listAgent().status) << "the agent holds no key after a lock";
    EXPECT_EQ("{\"keys\":[],\"remaining_seconds\":null,\"state\":\"locked\"}\n",
              m_world.cli({"status", "--json"}).output);

    // Unlocking needs an approval dialog, which this build does not have: the request is refused.
    auto unlock = TerminalRun::start(World::cliPath(), {"unlock"}, m_env);
    ASSERT_TRUE(unlock);
    const auto refused = unlock->finish(after(90s));
    EXPECT_EQ(1, refused.status) << refused.output;
}

TEST_F(AppEndToEnd, OnlyPassphraseUnlockAndLockRequestsRefresh)
{
    manageAPlainKey();
    ASSERT_TRUE(startApp());
    const auto before = countInLog("refresh after");
    askpass("Are you sure you want to continue connecting (yes/no/[fingerprint])? ");
    ASSERT_TRUE(waitForLog("request prompt from peer")) << appLog();
    m_world.cli({"status"});
    m_world.cli({"status", "--json"});
    EXPECT_EQ(0, m_world.cli({"lock"}).status);
    ASSERT_TRUE(waitForLog("refresh after lock")) << appLog();
    EXPECT_EQ(before + 1, countInLog("refresh after")) << appLog();
}

TEST_F(AppEndToEnd, UnlockAsksForTheConfiguredWindow)
{
    manageAPlainKey();
    ASSERT_TRUE(startApp());
    const std::vector<std::pair<std::optional<double>, int>> cases
        = {{0, 10800}, {-5, 10800}, {std::nullopt, 10800}, {1000, 900}, {99999, 10800}};
    int asked = 0;
    for (const auto& [stored, expected] : cases) {
        auto settings = defaults();
        if (stored) {
            settings.set("unlockDuration", *stored);
        } else {
            settings.remove("unlockDuration");
        }
        auto unlock = TerminalRun::start(World::cliPath(), {"unlock"}, m_env);
        ASSERT_TRUE(unlock);
        unlock->finish(after(90s));
        ++asked;
        ASSERT_TRUE(waitForLog("no unlock dialog to show for", asked)) << appLog();
        EXPECT_EQ(asked, countInLog("window of ")) << appLog();
        const std::string wanted = "window of " + std::to_string(expected) + " s)";
        const std::string log = appLog();
        const auto last = log.rfind("window of ");
        EXPECT_EQ(wanted, log.substr(last, wanted.size())) << (stored ? std::to_string(*stored) : "missing");
    }
}

TEST_F(AppEndToEnd, NothingManagedMeansNoKeyIsRead)
{
    manageAPlainKey();
    defaults().remove("managedKeyPaths");
    ASSERT_TRUE(startApp());
    // Every open of a file in ~/.ssh shows up here; the scan would open each key there.
    Fd watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    ASSERT_TRUE(watch.valid());
    ASSERT_GE(::inotify_add_watch(watch.get(), (home() / ".ssh").c_str(), IN_OPEN), 0);
    const auto opened = [&] {
        char buffer[4096];
        int events = 0;
        ssize_t n;
        while ((n = ::read(watch.get(), buffer, sizeof buffer)) > 0) {
            for (char* at = buffer; at < buffer + n;
                 at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len) {
                ++events;
            }
        }
        return events;
    };
    const std::string prompt = "Enter passphrase for key '" + plainKey().string() + "': ";
    const auto refused = askpass(prompt);
    EXPECT_EQ(1, refused.status) << refused.output;
    ASSERT_TRUE(waitForLog("request passphrase from peer"));
    EXPECT_EQ(0, opened()) << "with nothing managed the key directory is not scanned";

    // The same request with the key managed does read the directory.
    defaults().set("managedKeyPaths", std::vector<std::string>{plainKey().string()});
    askpass(prompt);
    ASSERT_TRUE(waitForLog("request passphrase from peer", 2));
    EXPECT_GT(opened(), 0);
}

TEST_F(AppEndToEnd, BackgroundSshIsRefusedAndNotified)
{
    manageAPlainKey();
    ASSERT_TRUE(startApp());
    // No terminal anywhere above: the requester is a background process.
    auto run = ChildProcess::run(World::helperPath(), {"Enter passphrase for key '" + plainKey().string() + "': "},
                                 m_env, ChildProcess::StandardError::merge, after(90s));
    ASSERT_TRUE(run);
    if (run->output.find(L("cli.denied.background")) == std::string::npos) {
        GTEST_SKIP() << "this test process has a terminal among its ancestors: " << run->output;
    }
    EXPECT_EQ(1, run->status);
    // No notification server runs in this session: that is logged, nothing else.
    EXPECT_TRUE(waitForLog("notification not posted")) << appLog();
    EXPECT_EQ(0, m_world.cli({"status"}).status);
}

TEST_F(AppEndToEnd, QuitWhileLockedAsksNothing)
{
    ASSERT_TRUE(startApp());
    appAction("quit");
    EXPECT_EQ(0, m_app->waitUntil(after(60s)));
    m_app.reset();
    EXPECT_FALSE(fs::exists(m_world.socketPath())) << "the socket goes with the app";
}

TEST_F(AppEndToEnd, QuitWhileUnlockedAsksAndLockAndQuitLocks)
{
    manageAPlainKey();
    ASSERT_TRUE(startApp());
    ASSERT_EQ(0, addPlainKeyToAgent().status);
    EXPECT_EQ(0, appAction("quit").status);
    // The question is a window of its own; find it and look at it.
    std::string window;
    ASSERT_TRUE(test::waitFor(
        [&] {
            auto found = ChildProcess::run("/usr/bin/xdotool", {"search", "--name", "Vantorelle"}, m_env,
                                           ChildProcess::StandardError::discard, after(10s));
            if (found && found->status == 0 && !found->output.empty()) {
                window = found->output.substr(0, found->output.find('\n'));
                return true;
            }
            return false;
        },
        60s))
        << appLog();
    EXPECT_TRUE(m_app->running());
    DesktopSession::screenshot(m_env, fs::path(VANTORELLE_SOURCE_DIR) / "docs/screenshots/quit-while-unlocked.png");

    // Escape is Cancel: the app keeps running and the key stays.
    ChildProcess::run("/usr/bin/xdotool", {"windowfocus", "--sync", window}, m_env,
                      ChildProcess::StandardError::discard, after(10s));
    ChildProcess::run("/usr/bin/xdotool", {"key", "Escape"}, m_env, ChildProcess::StandardError::discard, after(10s));
    ASSERT_TRUE(test::waitFor(
        [&] {
            auto found = ChildProcess::run("/usr/bin/xdotool", {"search", "--onlyvisible", "--name", "Vantorelle"},
                                           m_env, ChildProcess::StandardError::discard, after(10s));
            return found && found->status != 0;
        },
        60s));
    EXPECT_TRUE(m_app->running());
    EXPECT_EQ(0, m_world.listAgent().status);

    // Asked again, Return takes the default: lock, then quit.
    EXPECT_EQ(0, appAction("quit").status);
    ASSERT_TRUE(test::waitFor(
        [&] {
            auto found = ChildProcess::run("/usr/bin/xdotool", {"search", "--onlyvisible", "--name", "Vantorelle"},
                                           m_env, ChildProcess::StandardError::discard, after(10s));
            if (found && found->status == 0 && !found->output.empty()) {
                window = found->output.substr(0, found->output.find('\n'));
                return true;
            }
            return false;
        },
        60s));
    ChildProcess::run("/usr/bin/xdotool", {"windowfocus", "--sync", window}, m_env,
                      ChildProcess::StandardError::discard, after(10s));
    ChildProcess::run("/usr/bin/xdotool", {"key", "Return"}, m_env, ChildProcess::StandardError::discard, after(10s));
    EXPECT_EQ(0, m_app->waitUntil(after(60s)));
    m_app.reset();
    EXPECT_EQ(1, m_world.listAgent().status) << "lock and quit leaves no key in the agent";
}

TEST_F(AppEndToEnd, AutostartEntryIsWrittenOnceAndNeverAgain)
{
    ASSERT_TRUE(startApp());
    ASSERT_TRUE(test::waitFor([&] { return fs::exists(autostartEntry()); }, 30s));
    const std::string entry = test::readFile(autostartEntry());
    EXPECT_NE(std::string::npos, entry.find("--autostart")) << entry;
    EXPECT_EQ(true, defaults().boolean("loginItemDefaulted"));
    stopApp();

    fs::remove(autostartEntry());
    ASSERT_TRUE(startApp());
    stopApp();
    EXPECT_FALSE(fs::exists(autostartEntry())) << "the user's removal stands";
}

TEST_F(AppEndToEnd, StopSignalRemovesOnlyItsOwnSocket)
{
    ASSERT_TRUE(startApp());
    EXPECT_EQ(0, stopApp(SIGTERM));
    EXPECT_FALSE(fs::exists(m_world.socketPath()));
    EXPECT_TRUE(waitForLog("stopping on"));

    ASSERT_TRUE(startApp());
    // Someone else's file now sits where the socket was.
    fs::remove(m_world.socketPath());
    test::writeFile(m_world.socketPath(), "not ours\n");
    EXPECT_EQ(0, stopApp(SIGINT));
    EXPECT_EQ("not ours\n", test::readFile(m_world.socketPath()));
}

TEST_F(AppEndToEnd, WindowSavedBeforeARestartIsRestored)
{
    manageAPlainKey();
    ASSERT_EQ(0, addPlainKeyToAgent(3000).status);
    auto settings = defaults();
    settings.set("unlockExpiry", Date(std::chrono::system_clock::now() + 2000s));
    settings.set("unlockWindowDuration", 3600.0);
    ASSERT_TRUE(startApp());
    const auto json = m_world.cli({"status", "--json"}).output;
    const auto at = json.find("\"remaining_seconds\":");
    ASSERT_NE(std::string::npos, at) << json;
    const long remaining = std::stol(json.substr(at + 20));
    EXPECT_GT(remaining, 1900) << json;
    EXPECT_LE(remaining, 2000) << json;
    stopApp();

    // A saved window longer than any the app grants is implausible and dropped.
    settings.set("unlockExpiry", Date(std::chrono::system_clock::now() + 4h));
    ASSERT_TRUE(startApp());
    EXPECT_EQ("{\"keys\":[\"plain-key\"],\"remaining_seconds\":null,\"state\":\"unlocked\"}\n",
              m_world.cli({"status", "--json"}).output);
    EXPECT_TRUE(test::waitFor([&] { return !defaults().date("unlockExpiry").has_value(); }, 30s));
}

// The world's key (with a passphrase) managed, and ssh run as a person at a terminal would.
class ScriptedAppEndToEnd : public AppEndToEnd
{
protected:
    void SetUp() override
    {
        AppEndToEnd::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        ASSERT_TRUE(m_world.makeKey()) << m_world.problem();
        ASSERT_TRUE(m_world.startSshd()) << m_world.problem();
        test::writeFile(home() / ".ssh/config", "IdentityFile " + m_world.keyPath().string() + "\n");
        defaults().set("managedKeyPaths", std::vector<std::string>{m_world.keyPath().string()});
        test::writeFile(m_world.root() / "typed", m_world.keyPath().string() + "\te2e horse battery staple\n");
        m_ssh = m_env;
        m_ssh.set("SSH_ASKPASS", World::helperPath());
        m_ssh.set("SSH_ASKPASS_REQUIRE", "force");
    }
    // ssh that never asks the agent, so every run needs the passphrase.
    RunResult sshWithoutAgent() { return m_world.sshOnTerminal("echo ran-$((6*7))", {"IdentityAgent=none"}, m_ssh); }

    Environment m_ssh;
};

TEST_F(ScriptedAppEndToEnd, AnswerWithinTheGraceNeedsNoSecondDialog)
{
    m_env.set("VANTORELLE_TEST_UNLOCK", "type:" + (m_world.root() / "typed").string());
    ASSERT_TRUE(startApp({"--background"}, VANTORELLE_APP_SCRIPTED));
    const auto first = sshWithoutAgent();
    EXPECT_EQ(0, first.status) << first.output << appLog();
    EXPECT_NE(std::string::npos, first.output.find("ran-42")) << first.output;
    EXPECT_EQ(0, m_world.listAgent().status) << "the approval loaded the key";

    const auto second = sshWithoutAgent();
    EXPECT_EQ(0, second.status) << second.output << appLog();
    EXPECT_EQ(1, countInLog("scripted unlock for ssh")) << "the second answer came from the grace" << appLog();
    EXPECT_EQ(2, countInLog("request passphrase from peer"));
}

TEST_F(ScriptedAppEndToEnd, CancelSnoozesTheNextRequestWithoutADialog)
{
    m_env.set("VANTORELLE_TEST_UNLOCK", "cancel");
    ASSERT_TRUE(startApp({"--background"}, VANTORELLE_APP_SCRIPTED));
    const auto first = sshWithoutAgent();
    EXPECT_NE(0, first.status);
    EXPECT_NE(std::string::npos, first.output.find(L("cli.denied.cancelled"))) << first.output;
    const auto second = sshWithoutAgent();
    EXPECT_NE(0, second.status);
    EXPECT_NE(std::string::npos, second.output.find(L("askpass.denied.snoozed"))) << second.output;
    EXPECT_EQ(1, countInLog("scripted unlock for ssh")) << appLog();
}

// A stand-in system bus with python3-dbusmock's logind, which the app watches for sleep and locks.
class SleepEndToEnd : public AppEndToEnd
{
protected:
    void SetUp() override
    {
        if (::access("/usr/bin/python3", X_OK) != 0
            || !ChildProcess::run("/usr/bin/python3", {"-c", "import dbusmock"}, m_env,
                                  ChildProcess::StandardError::discard, after(30s))
                    .value_or(ChildProcess::Output{1, ""})
                    .status
                == 0) {
            GTEST_SKIP() << "python3-dbusmock is not installed";
        }
        AppEndToEnd::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        auto address = DesktopSession::startBus(m_env, m_systemBus);
        ASSERT_TRUE(address);
        m_env.set("DBUS_SYSTEM_BUS_ADDRESS", *address);
        auto logind = ChildProcess::spawn(ChildProcess::Options{
            .path = "/usr/bin/python3", .args = {"-m", "dbusmock", "--system", "--template", "logind"}, .env = m_env});
        ASSERT_TRUE(logind);
        m_logind = std::move(*logind);
        ASSERT_TRUE(test::waitFor(
            [&] { return DesktopSession::nameHasOwner(m_env, "org.freedesktop.login1", "--system"); }, 60s));
        manageAPlainKey();
    }
    void TearDown() override
    {
        AppEndToEnd::TearDown();
        for (auto* child : {&m_logind, &m_systemBus}) {
            if (*child) {
                (*child)->signal(SIGTERM);
                if (!(*child)->waitUntil(after(10s))) {
                    (*child)->kill();
                }
            }
        }
    }
    void emitPrepareForSleep(bool start)
    {
        ChildProcess::run("/usr/bin/gdbus",
                          {"call", "--system", "--dest", "org.freedesktop.login1", "--object-path",
                           "/org/freedesktop/login1", "--method", "org.freedesktop.DBus.Mock.EmitSignal",
                           "org.freedesktop.login1.Manager", "PrepareForSleep", "b", start ? "[<true>]" : "[<false>]"},
                          m_env, ChildProcess::StandardError::merge, after(30s));
    }

    std::optional<ChildProcess> m_systemBus;
    std::optional<ChildProcess> m_logind;
};

TEST_F(SleepEndToEnd, SleepLocksTheKeys)
{
    ASSERT_TRUE(startApp());
    ASSERT_EQ(0, addPlainKeyToAgent().status);
    // The watch is set up while the app starts; a signal sent before that is simply sent again.
    EXPECT_TRUE(test::waitFor(
        [&] {
            emitPrepareForSleep(true);
            return countInLog("locking for sleep") > 0;
        },
        60s))
        << appLog();
    EXPECT_TRUE(test::waitFor([&] { return m_world.listAgent().status == 1; }, 30s)) << "the agent still holds the key";
}

TEST_F(SleepEndToEnd, SleepLeavesTheKeysWhenLockOnSleepIsOff)
{
    defaults().set("lockOnSleep", false);
    ASSERT_TRUE(startApp());
    ASSERT_EQ(0, addPlainKeyToAgent().status);
    EXPECT_TRUE(test::waitFor(
        [&] {
            emitPrepareForSleep(true);
            return countInLog("not locking for sleep") > 0;
        },
        60s))
        << appLog();
    EXPECT_EQ(0, m_world.listAgent().status) << "the key stays in the agent";
    EXPECT_EQ(0, countInLog("locking for sleep") - countInLog("not locking for sleep"));
}

TEST_F(AppEndToEnd, AppliedSetupExportsTheHelperToTheUserManager)
{
    if (!ChildProcess::run("/usr/bin/python3", {"-c", "import dbusmock"}, m_env, ChildProcess::StandardError::discard,
                           after(30s))
             .value_or(ChildProcess::Output{1, ""})
             .status
        == 0) {
        GTEST_SKIP() << "python3-dbusmock is not installed";
    }
    ASSERT_TRUE(install());
    // The user manager: python3-dbusmock's systemd, taught the environment verbs systemctl uses.
    auto manager = ChildProcess::spawn(ChildProcess::Options{
        .path = "/usr/bin/python3", .args = {"-m", "dbusmock", "--session", "--template", "systemd"}, .env = m_env});
    ASSERT_TRUE(manager);
    std::optional<ChildProcess> managerProcess = std::move(*manager);
    ASSERT_TRUE(test::waitFor([&] { return DesktopSession::nameHasOwner(m_env, "org.freedesktop.systemd1"); }, 60s));
    const auto mock = [&](std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"call", "--session", "--dest", "org.freedesktop.systemd1", "--object-path",
                     "/org/freedesktop/systemd1", "--method"});
        auto ran = ChildProcess::run("/usr/bin/gdbus", args, m_env, ChildProcess::StandardError::merge, after(30s));
        return ran && ran->status == 0;
    };
    ASSERT_TRUE(
        mock({"org.freedesktop.DBus.Mock.AddProperty", "org.freedesktop.systemd1.Manager", "Environment", "<@as []>"}));
    ASSERT_TRUE(
        mock({"org.freedesktop.DBus.Mock.AddMethod", "org.freedesktop.systemd1.Manager", "SetEnvironment", "as", "",
              // Comprehensions only touch their own names: the method body runs under exec().
              "m = 'org.freedesktop.systemd1.Manager'; "
              "env = dict(e.split('=', 1) for e in self.Get(m, 'Environment')); "
              "env.update(a.split('=', 1) for a in args[0]); "
              "self.Set(m, 'Environment', dbus.Array([k + '=' + v for k, v in env.items()], signature='s'))"}));
    const auto userEnvironment = [&] {
        auto shown = ChildProcess::run("/usr/bin/systemctl", {"--user", "show-environment"}, m_env,
                                       ChildProcess::StandardError::merge, after(30s));
        return shown ? shown->output : std::string();
    };

    // Not applied: nothing is exported.
    m_app = launch({"--background"}, appLogPath(), installedApp().c_str());
    ASSERT_TRUE(test::waitFor([&] { return m_world.cli({"status"}).status == 0; }, 60s)) << appLog();
    stopApp();
    EXPECT_EQ(std::string::npos, userEnvironment().find("SSH_ASKPASS"));

    test::writeFile(home() / ".bashrc",
                    std::string(MarkedBlock::begin) + "\nexport SSH_ASKPASS_REQUIRE=force\n"
                        + std::string(MarkedBlock::end) + "\n");
    m_app = launch({"--background"}, appLogPath(), installedApp().c_str());
    const std::string helper = (m_world.root() / "prefix/lib/vantorelle/vantorelle-askpass").string();
    EXPECT_TRUE(test::waitFor(
        [&] {
            const auto shown = userEnvironment();
            return shown.find("SSH_ASKPASS=" + helper + "\n") != std::string::npos
                && shown.find("SSH_ASKPASS_REQUIRE=force\n") != std::string::npos;
        },
        60s))
        << userEnvironment() << appLog();
    stopApp();
    managerProcess->signal(SIGTERM);
    managerProcess->waitUntil(after(10s));
}

TEST_F(AppEndToEnd, HelperStartsTheAppByBusActivationWithTheSessionEnvironment)
{
    ASSERT_TRUE(install());
    auto reload = ChildProcess::run("/usr/bin/gdbus",
                                    {"call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                                     "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.ReloadConfig"},
                                    m_env, ChildProcess::StandardError::merge, after(30s));
    ASSERT_TRUE(reload && reload->status == 0);

    // The terminal's own agent and preload must not become the app's.
    Environment terminal = m_env;
    terminal.set("SSH_AUTH_SOCK", "/tmp/some-terminal-agent");
    terminal.set("VANTORELLE_TERMINAL_ONLY", "1");
    auto run = TerminalRun::start(World::helperPath(), {"Are you sure you want to continue connecting (yes/no)? "},
                                  terminal);
    ASSERT_TRUE(run);
    run->finish(after(90s));
    ASSERT_TRUE(DesktopSession::nameHasOwner(m_env, "org.vantorelle.Vantorelle"));
    EXPECT_EQ(0, m_world.cli({"status"}).status);

    auto pidReply = ChildProcess::run("/usr/bin/gdbus",
                                      {"call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                                       "/org/freedesktop/DBus", "--method",
                                       "org.freedesktop.DBus.GetConnectionUnixProcessID", "org.vantorelle.Vantorelle"},
                                      m_env, ChildProcess::StandardError::merge, after(30s));
    ASSERT_TRUE(pidReply && pidReply->status == 0);
    // The reply reads "(uint32 1234,)".
    const auto number = pidReply->output.find(' ');
    ASSERT_NE(std::string::npos, number) << pidReply->output;
    const pid_t pid = std::stoi(pidReply->output.substr(number + 1));
    std::string environ = test::readFile("/proc/" + std::to_string(pid) + "/environ");
    std::replace(environ.begin(), environ.end(), '\0', '\n');
    EXPECT_NE(std::string::npos, environ.find("SSH_AUTH_SOCK=" + m_world.agentSocket().string() + "\n")) << environ;
    EXPECT_EQ(std::string::npos, environ.find("VANTORELLE_TERMINAL_ONLY")) << environ;
    const auto cmdline = test::readFile("/proc/" + std::to_string(pid) + "/cmdline");
    EXPECT_NE(std::string::npos, cmdline.find("--background")) << cmdline;

    appAction("quit");
    EXPECT_TRUE(test::waitFor([&] { return !DesktopSession::nameHasOwner(m_env, "org.vantorelle.Vantorelle"); }, 60s));
}

} // namespace
} // namespace vantorelle::e2e
