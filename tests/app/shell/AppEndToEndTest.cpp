// The real vantorelle-app under Xvfb with a private session bus, GNOME Keyring and ssh-agent,
// driven from outside: the command line, the askpass helper, ssh, D-Bus calls and signals.
#include <algorithm>
#include <sys/inotify.h>

#include "../../e2e/EndToEnd.h"
#include "defaults/FileDefaults.h"
#include "i18n/L.h"
#include "setup/MarkedBlock.h"
#include "sys/Pipe.h"

namespace vantorelle::e2e {
namespace {

constexpr const char* kLocked = "{\"keys\":[],\"remaining_seconds\":null,\"state\":\"locked\"}\n";
constexpr const char* kPlainUnlocked = "{\"keys\":[\"plain-key\"],\"remaining_seconds\":null,\"state\":\"unlocked\"}\n";

// Starts `program`, whose first line on standard output is the result.
std::optional<std::string> firstLine(const std::string& program, const std::vector<std::string>& args,
                                     const Environment& env, std::optional<ChildProcess>& daemon)
{
    auto pipe = Pipe::create();
    daemon = ChildProcess::spawn({program, args, env, std::nullopt, pipe->write.get()}).value();
    pipe->write.reset();
    std::string line;
    for (char c = 0; io::pollOne(pipe->read.get(), POLLIN, after(30s)) > 0 && ::read(pipe->read.get(), &c, 1) == 1;) {
        if (c == '\n') {
            return line;
        }
        line.push_back(c);
    }
    return std::nullopt;
}
std::optional<std::string> startBus(const Environment& env, std::optional<ChildProcess>& daemon)
{
    return firstLine("/usr/bin/dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1"}, env,
                     daemon);
}
bool nameHasOwner(const Environment& env, const std::string& name, const std::string& bus = "--session")
{
    const auto result = ChildProcess::run("/usr/bin/dbus-send",
                                          {bus, "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus.NameHasOwner", "string:" + name},
                                          env, ChildProcess::StandardError::discard, after(10s));
    return result && result->status == 0 && mentions(result->output, "boolean true");
}

// A private X server, session bus and GNOME Keyring for each scenario, then the app against them.
class AppEndToEnd : public EndToEnd
{
protected:
    void SetUp() override
    {
        i18n::setCurrentLanguage(Language::English);
        for (const char* tool : {"/usr/bin/Xvfb", "/usr/bin/dbus-daemon", "/usr/bin/gnome-keyring-daemon",
                                 "/usr/bin/dbus-send", "/usr/bin/xdotool"}) {
            if (::access(tool, X_OK) != 0) {
                GTEST_SKIP() << tool << " is not installed";
            }
        }
        EndToEnd::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        m_env = clientEnvironment();
        fs::create_directories(root() / "run");
        fs::permissions(root() / "run", fs::perms::owner_all);
        m_env.set("XDG_RUNTIME_DIR", root() / "run");
        m_env.set("VANTORELLE_LOG", "stderr");
        // Qt, fontconfig and the X libraries keep caches to the end of the process; in a sanitizer
        // build those would turn every clean exit of the app into a failure.
        if (auto asan = m_env.get("ASAN_OPTIONS")) {
            m_env.set("ASAN_OPTIONS", *asan + ":detect_leaks=0");
        }
        // Services installed here become activatable on the session bus (after a ReloadConfig).
        m_env.set("XDG_DATA_DIRS", root() / "prefix/share");
        m_env.unset("SSH_ASKPASS");
        m_env.unset("SSH_ASKPASS_REQUIRE");
        // An abstract-namespace socket only: no /tmp/.X11-unix entry is left behind.
        const auto display = firstLine(
            "/usr/bin/Xvfb",
            {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-nolisten", "unix", "-noreset"},
            m_env, m_display);
        ASSERT_TRUE(display && !display->empty()) << "Xvfb reported no display";
        m_env.set("DISPLAY", ":" + *display);
        const auto bus = startBus(m_env, m_bus);
        ASSERT_TRUE(bus) << "dbus-daemon did not start";
        m_env.set("DBUS_SESSION_BUS_ADDRESS", *bus);
        writeFile(root() / "keyring-password", "test-keyring");
        m_keyring = spawnLogged("/bin/sh",
                                {"-c",
                                 "exec /usr/bin/gnome-keyring-daemon --foreground --unlock --components=secrets < '"
                                     + (root() / "keyring-password").string() + "'"},
                                m_env, root() / "keyring.log");
        ASSERT_TRUE(waitFor([&] { return nameHasOwner(m_env, "org.freedesktop.secrets"); }))
            << "GNOME Keyring never owned org.freedesktop.secrets";
    }
    void TearDown() override
    {
        for (auto* child : {&m_app, &m_keyring, &m_bus, &m_display}) {
            stopGently(*child);
        }
        EndToEnd::TearDown();
    }

    FileDefaults defaults() const { return FileDefaults(home() / ".config/vantorelle/defaults.json"); }
    void manage(const fs::path& key) { defaults().set("managedKeyPaths", std::vector<std::string>{key}); }
    int addPlainKey(const std::vector<std::string>& options = {})
    {
        auto args = options;
        args.push_back(plainKey());
        return run("/usr/bin/ssh-add", args).status;
    }
    RunResult tool(const std::string& path, const std::vector<std::string>& args) const
    {
        auto ran = ChildProcess::run(path, args, m_env, ChildProcess::StandardError::merge, after(60s));
        return ran ? RunResult{ran->status, ran->output} : RunResult{};
    }
    RunResult gdbus(const std::string& bus, const std::string& dest, const std::string& object,
                    std::vector<std::string> call)
    {
        call.insert(call.begin(), {"call", bus, "--dest", dest, "--object-path", object, "--method"});
        return tool("/usr/bin/gdbus", call);
    }
    RunResult appAction(const std::string& name)
    {
        return gdbus("--session", "org.vantorelle.Vantorelle", "/org/vantorelle/Vantorelle",
                     {"org.freedesktop.Application.ActivateAction", name, "[]", "{}"});
    }
    bool hasDbusmock() const
    {
        return ChildProcess::run("/usr/bin/python3", {"-c", "import dbusmock"}, m_env,
                                 ChildProcess::StandardError::discard, after(30s))
                   .value_or(ChildProcess::Output{1, ""})
                   .status
            == 0;
    }

    std::optional<ChildProcess> launch(const std::vector<std::string>& args, const fs::path& log,
                                       const std::string& program = VANTORELLE_APP)
    {
        return spawnLogged(program, args, m_env, log);
    }
    // Starts the app and waits until the command line gets an answer from it.
    testing::AssertionResult startApp(const std::vector<std::string>& args = {"--background"},
                                      const std::string& program = VANTORELLE_APP)
    {
        m_app = launch(args, appLogPath(), program);
        if (!m_app || !waitFor([&] { return cli({"status"}).status == 0 || !m_app->running(); }, 60s)
            || !m_app->running()) {
            return testing::AssertionFailure() << "the app never answered\n" << appLog();
        }
        return testing::AssertionSuccess();
    }
    fs::path appLogPath() const { return root() / "app.log"; }
    std::string appLog() const { return readFile(appLogPath()); }
    int countInLog(const std::string& text) const { return occurrences(appLog(), text); }
    bool waitForLog(const std::string& text, int count = 1) const
    {
        return waitFor([&] { return countInLog(text) >= count; }, 60s);
    }
    // Waits for the app's window and gives it the focus; its X id, or empty when none came.
    // `name` is a pattern for the window's title: the app's own panels and questions by default.
    std::string focusWindow(const std::string& name = "^Vantorelle$")
    {
        std::string window;
        if (!waitFor(
                [&] {
                    window = tool("/usr/bin/xdotool", {"search", "--onlyvisible", "--name", name}).output;
                    return !window.empty();
                },
                60s)) {
            return {};
        }
        m_window = window.substr(0, window.find('\n'));
        tool("/usr/bin/xdotool", {"windowfocus", "--sync", m_window});
        return m_window;
    }
    bool windowGone()
    {
        return waitFor(
            [&] {
                return tool("/usr/bin/xdotool", {"search", "--onlyvisible", "--name", "^Vantorelle$"}).status != 0;
            },
            60s);
    }
    // The focused window with some of the screen around it, the bare root in a desktop's blue.
    void screenshot(const std::string& name)
    {
        // "X=368\nY=229\nWIDTH=288\nHEIGHT=310\n..."
        const std::string geometry = tool("/usr/bin/xdotool", {"getwindowgeometry", "--shell", m_window}).output;
        const auto value = [&](const std::string& field) {
            const auto at = geometry.find(field + "=");
            return at == std::string::npos ? 0 : std::stoi(geometry.substr(at + field.size() + 1));
        };
        constexpr int margin = 48;
        const int x = std::max(0, value("X") - margin), y = std::max(0, value("Y") - margin);
        const std::string crop = std::to_string(value("WIDTH") + 2 * margin) + "x"
            + std::to_string(value("HEIGHT") + 2 * margin) + "+" + std::to_string(x) + "+" + std::to_string(y);
        tool("/usr/bin/import", {"-window", "root", root() / "screen.png"});
        tool("/usr/bin/convert",
             {root() / "screen.png", "-fill", "#4a6a8c", "-opaque", "black", "-crop", crop, "+repage",
              VANTORELLE_SOURCE_DIR "/docs/screenshots/" + name + ".png"});
    }
    // Focuses the app's window, types `typed` into it, saves a screenshot if asked and presses `key`.
    testing::AssertionResult pressInWindow(const std::string& key, const std::string& screenshotName = {},
                                           const std::string& typed = {}, const std::string& name = "^Vantorelle$")
    {
        if (focusWindow(name).empty()) {
            return testing::AssertionFailure() << "no window named " << name << "\n" << appLog();
        }
        if (!typed.empty()) {
            tool("/usr/bin/xdotool", {"type", "--delay", "5", typed});
        }
        if (!screenshotName.empty()) {
            screenshot(screenshotName);
        }
        tool("/usr/bin/xdotool", {"key", key});
        return testing::AssertionSuccess();
    }
    // The askpass helper on a terminal of its own, asking what ssh would ask.
    RunResult askpass(const std::string& prompt) { return TerminalRun(VANTORELLE_ASKPASS, {prompt}, m_env).finish(); }
    std::string passphrasePrompt(const fs::path& key) { return "Enter passphrase for key '" + key.string() + "': "; }

    // `cmake --install` of this build into root/prefix, whose share/ the session bus reads.
    testing::AssertionResult install()
    {
        const auto installed = tool(CMAKE_COMMAND, {"--install", VANTORELLE_BUILD_DIR, "--prefix", root() / "prefix"});
        return installed.status == 0 ? testing::AssertionSuccess() : testing::AssertionFailure() << installed.output;
    }

    Environment m_env;
    std::optional<ChildProcess> m_display, m_bus, m_keyring, m_app;
    std::string m_window;
};

TEST_F(AppEndToEnd, StartsAnswersStatusAndOwnsItsBusName)
{
    ASSERT_TRUE(startApp());
    const auto status = cli({"status"});
    EXPECT_EQ(0, status.status);
    EXPECT_TRUE(mentions(status.output, L("status.locked"))) << status.output;
    EXPECT_EQ(kLocked, cli({"status", "--json"}).output);
    EXPECT_TRUE(nameHasOwner(m_env, "org.vantorelle.Vantorelle"));
    EXPECT_EQ(0, countInLog("SSH_AUTH_SOCK not found")) << appLog();
}

TEST_F(AppEndToEnd, SecondStartLeavesQuietlyAndReopensTheFirst)
{
    ASSERT_TRUE(startApp());
    auto second = launch({"--background"}, root() / "second.log");
    ASSERT_TRUE(second);
    EXPECT_EQ(0, second->waitUntil(after(60s)));
    EXPECT_TRUE(mentions(readFile(root() / "second.log"), "another instance is running; quitting"));
    EXPECT_EQ(0, countInLog("reopened by another launch")) << "a background start must not reopen the first";

    auto third = launch({}, root() / "third.log");
    ASSERT_TRUE(third);
    EXPECT_EQ(0, third->waitUntil(after(60s)));
    EXPECT_TRUE(waitForLog("reopened by another launch")) << appLog();
    EXPECT_EQ(0, cli({"status"}).status) << "the first copy keeps serving";
}

TEST_F(AppEndToEnd, LockStatusAndUnlockAgainstTheAgent)
{
    manage(plainKey());
    ASSERT_TRUE(startApp());
    ASSERT_EQ(0, addPlainKey());
    EXPECT_EQ(kPlainUnlocked, cli({"status", "--json"}).output);
    EXPECT_EQ(0, cli({"lock"}).status);
    EXPECT_EQ(1, listAgent().status) << "the agent holds no key after a lock";
    EXPECT_EQ(kLocked, cli({"status", "--json"}).output);
    // Unlocking shows the dialog; Escape there refuses the request.
    TerminalRun unlocking(VANTORELLE_CLI, {"unlock"}, m_env);
    ASSERT_TRUE(waitForLog("unlock presentation started, stage typing, keys 1")) << appLog();
    ASSERT_TRUE(pressInWindow("Escape"));
    const auto refused = unlocking.finish();
    EXPECT_EQ(1, refused.status) << refused.output;
    EXPECT_TRUE(waitForLog("unlock presentation ended, result cancelled")) << appLog();
}

TEST_F(AppEndToEnd, OnlyPassphraseUnlockAndLockRequestsRefresh)
{
    manage(plainKey());
    ASSERT_TRUE(startApp());
    const auto before = countInLog("refresh after");
    askpass("Are you sure you want to continue connecting (yes/no/[fingerprint])? ");
    ASSERT_TRUE(waitForLog("request prompt from peer")) << appLog();
    cli({"status"});
    cli({"status", "--json"});
    EXPECT_EQ(0, cli({"lock"}).status);
    ASSERT_TRUE(waitForLog("refresh after lock")) << appLog();
    EXPECT_EQ(before + 1, countInLog("refresh after")) << appLog();
}

TEST_F(AppEndToEnd, UnlockAsksForTheConfiguredWindow)
{
    manage(plainKey());
    m_env.set("VANTORELLE_TEST_UNLOCK", "cancel");
    ASSERT_TRUE(startApp({"--background"}, VANTORELLE_APP_SCRIPTED));
    const std::pair<std::optional<double>, int> cases[]
        = {{0, 10800}, {-5, 10800}, {std::nullopt, 10800}, {1000, 900}, {99999, 10800}};
    int asked = 0;
    for (const auto& [stored, expected] : cases) {
        SCOPED_TRACE(stored ? std::to_string(*stored) : "missing");
        stored ? defaults().set("unlockDuration", *stored) : defaults().remove("unlockDuration");
        TerminalRun(VANTORELLE_CLI, {"unlock"}, m_env).finish();
        ASSERT_TRUE(waitForLog("scripted unlock for", ++asked)) << appLog();
        const std::string log = appLog();
        const std::string line = log.substr(log.rfind("scripted unlock for"));
        EXPECT_TRUE(line.substr(0, line.find('\n')).ends_with("(" + std::to_string(expected) + " s): cancel")) << line;
    }
}

TEST_F(AppEndToEnd, NothingManagedMeansNoKeyIsRead)
{
    ASSERT_TRUE(startApp());
    // Every open of a file in ~/.ssh shows up here; the scan would open each key there.
    Fd watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    ASSERT_GE(::inotify_add_watch(watch.get(), (home() / ".ssh").c_str(), IN_OPEN), 0);
    const auto opened = [&] {
        char buffer[4096];
        int events = 0;
        for (ssize_t n; (n = ::read(watch.get(), buffer, sizeof buffer)) > 0;) {
            for (char* at = buffer; at < buffer + n; at += sizeof(inotify_event) + ((inotify_event*)at)->len) {
                ++events;
            }
        }
        return events;
    };
    EXPECT_EQ(1, askpass(passphrasePrompt(plainKey())).status);
    ASSERT_TRUE(waitForLog("request passphrase from peer"));
    EXPECT_EQ(0, opened()) << "with nothing managed the key directory is not scanned";
    // The same request with the key managed does read the directory.
    manage(plainKey());
    askpass(passphrasePrompt(plainKey()));
    ASSERT_TRUE(waitForLog("request passphrase from peer", 2));
    EXPECT_GT(opened(), 0);
}

TEST_F(AppEndToEnd, SshWithoutAnyTerminalIsRefusedAsBackground)
{
    if (ownAncestry() != Requester::Kind::background) {
        GTEST_SKIP() << "this test process has a terminal among its ancestors, so a child of it can never look like "
                        "a background job; run the suite without a terminal (as CI does)";
    }
    startSshd();
    manage(keyPath());
    ASSERT_TRUE(startApp());
    // A plain child runs in a session of its own with no controlling terminal.
    Environment env = m_env;
    env.set("SSH_ASKPASS", VANTORELLE_ASKPASS);
    env.set("SSH_ASKPASS_REQUIRE", "force");
    const auto ssh = ChildProcess::run("/usr/bin/ssh", sshArguments("true", {"IdentityAgent=none"}), env,
                                       ChildProcess::StandardError::merge, after(90s));
    ASSERT_TRUE(ssh);
    EXPECT_NE(0, ssh->status);
    EXPECT_TRUE(mentions(ssh->output, L("cli.denied.background"))) << ssh->output;
    // No notification server runs in this session: that is logged, nothing else.
    EXPECT_TRUE(waitForLog("notification not posted")) << appLog();
    EXPECT_EQ(0, countInLog("no unlock dialog to show")) << appLog();
}

TEST_F(AppEndToEnd, HelperUnderAnSshSessionIsRefusedAsRemoteWithoutADialog)
{
    startSshd();
    manage(keyPath());
    ASSERT_TRUE(startApp());
    // Logged in with the plain key, the session runs an ssh of its own that needs the passphrase
    // key without an agent: its helper's ancestors include the session's sshd.
    std::string inner = "env";
    for (const char* name :
         {"HOME", "LANG", "LANGUAGE", "VANTORELLE_SOCKET", "XDG_CONFIG_HOME", "ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (const auto value = m_env.get(name)) {
            inner += std::string(" ") + name + "='" + *value + "'";
        }
    }
    inner += " SSH_ASKPASS='" VANTORELLE_ASKPASS "' SSH_ASKPASS_REQUIRE=force /usr/bin/ssh";
    for (const auto& word : sshArguments("echo inner-ok", {"IdentityAgent=none"})) {
        inner += " '" + word + "'";
    }
    const auto outer
        = TerminalRun("/usr/bin/ssh", sshArguments(inner, {"IdentityAgent=none"}, plainKey()), m_env).finish();
    EXPECT_NE(0, outer.status) << outer.output;
    EXPECT_FALSE(mentions(outer.output, "inner-ok")) << outer.output;
    EXPECT_TRUE(mentions(outer.output, "vantorelle-askpass: " + L("cli.denied.remote"))) << outer.output << appLog();
    EXPECT_EQ(1, countInLog("request passphrase from peer")) << appLog();
    EXPECT_EQ(0, countInLog("no unlock dialog to show") + countInLog("no dialog to show")) << appLog();
    EXPECT_EQ(0, countInLog("notification")) << appLog();
}

TEST_F(AppEndToEnd, QuitAsksOnlyWhileUnlockedAndLockAndQuitLocks)
{
    ASSERT_TRUE(startApp());
    appAction("quit");
    EXPECT_EQ(0, m_app->waitUntil(after(60s))) << "quit while locked asks nothing";
    m_app.reset();
    EXPECT_FALSE(fs::exists(socketPath())) << "the socket goes with the app";

    manage(plainKey());
    ASSERT_TRUE(startApp());
    ASSERT_EQ(0, addPlainKey());
    // The question is a window of its own; look at it, and answer it with a key.
    const auto answer = [&](const std::string& key) {
        EXPECT_EQ(0, appAction("quit").status);
        ASSERT_TRUE(pressInWindow(key, "quit-while-unlocked")) << appLog();
        EXPECT_TRUE(m_app->running());
    };
    // Escape is Cancel: the app keeps running and the key stays.
    answer("Escape");
    ASSERT_TRUE(windowGone());
    EXPECT_TRUE(m_app->running());
    EXPECT_EQ(0, listAgent().status);
    // Asked again, Return takes the default: lock, then quit.
    answer("Return");
    EXPECT_EQ(0, m_app->waitUntil(after(60s)));
    m_app.reset();
    EXPECT_EQ(1, listAgent().status) << "lock and quit leaves no key in the agent";
}

TEST_F(AppEndToEnd, AutostartEntryIsWrittenOnceAndNeverAgain)
{
    const auto entry = home() / ".config/autostart/org.vantorelle.Vantorelle.desktop";
    ASSERT_TRUE(startApp());
    ASSERT_TRUE(waitFor([&] { return fs::exists(entry); }));
    EXPECT_TRUE(mentions(readFile(entry), "--autostart")) << readFile(entry);
    EXPECT_EQ(true, defaults().boolean("loginItemDefaulted"));
    stopGently(m_app);
    fs::remove(entry);
    ASSERT_TRUE(startApp());
    stopGently(m_app);
    EXPECT_FALSE(fs::exists(entry)) << "the user's removal stands";
}

TEST_F(AppEndToEnd, StopSignalRemovesOnlyItsOwnSocket)
{
    ASSERT_TRUE(startApp());
    EXPECT_EQ(0, stopGently(m_app, SIGTERM));
    EXPECT_FALSE(fs::exists(socketPath()));
    EXPECT_TRUE(waitForLog("stopping on"));
    ASSERT_TRUE(startApp());
    // Someone else's file now sits where the socket was.
    fs::remove(socketPath());
    writeFile(socketPath(), "not ours\n");
    EXPECT_EQ(0, stopGently(m_app, SIGINT));
    EXPECT_EQ("not ours\n", readFile(socketPath()));
}

TEST_F(AppEndToEnd, WindowSavedBeforeARestartIsRestored)
{
    manage(plainKey());
    ASSERT_EQ(0, addPlainKey({"-t", "3000"}));
    defaults().set("unlockExpiry", Date(std::chrono::system_clock::now() + 2000s));
    defaults().set("unlockWindowDuration", 3600.0);
    ASSERT_TRUE(startApp());
    const auto json = cli({"status", "--json"}).output;
    const auto at = json.find("\"remaining_seconds\":");
    ASSERT_NE(std::string::npos, at) << json;
    const long remaining = std::stol(json.substr(at + 20));
    EXPECT_GT(remaining, 1900) << json;
    EXPECT_LE(remaining, 2000) << json;
    stopGently(m_app);
    // A saved window longer than any the app grants is implausible and dropped.
    defaults().set("unlockExpiry", Date(std::chrono::system_clock::now() + 4h));
    ASSERT_TRUE(startApp());
    EXPECT_EQ(kPlainUnlocked, cli({"status", "--json"}).output);
    EXPECT_TRUE(waitFor([&] { return !defaults().date("unlockExpiry").has_value(); }));
}

TEST_F(AppEndToEnd, SleepLocksTheKeysUnlessLockOnSleepIsOff)
{
    if (!hasDbusmock()) {
        GTEST_SKIP() << "python3-dbusmock is not installed";
    }
    // A stand-in system bus with python3-dbusmock's logind, which the app watches for sleep.
    std::optional<ChildProcess> systemBus;
    auto address = startBus(m_env, systemBus);
    ASSERT_TRUE(address);
    m_env.set("DBUS_SYSTEM_BUS_ADDRESS", *address);
    auto logind = spawnLogged("/usr/bin/python3", {"-m", "dbusmock", "--system", "--template", "logind"}, m_env,
                              root() / "logind.log");
    ASSERT_TRUE(waitFor([&] { return nameHasOwner(m_env, "org.freedesktop.login1", "--system"); }));
    manage(plainKey());
    for (const bool lockOnSleep : {true, false}) {
        SCOPED_TRACE(lockOnSleep ? "lockOnSleep on" : "lockOnSleep off");
        defaults().set("lockOnSleep", lockOnSleep);
        ASSERT_TRUE(startApp());
        ASSERT_EQ(0, addPlainKey());
        const std::string said = lockOnSleep ? "vantorelle[app]: locking for sleep" : "not locking for sleep";
        // The watch is set up while the app starts; a signal sent before that is simply sent again.
        EXPECT_TRUE(waitFor(
            [&] {
                gdbus("--system", "org.freedesktop.login1", "/org/freedesktop/login1",
                      {"org.freedesktop.DBus.Mock.EmitSignal", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                       "[<true>]"});
                return countInLog(said) > 0;
            },
            60s))
            << appLog();
        if (lockOnSleep) {
            EXPECT_TRUE(waitFor([&] { return listAgent().status == 1; })) << "the agent still holds the key";
        } else {
            EXPECT_EQ(0, listAgent().status) << "the key stays in the agent";
        }
        stopGently(m_app);
        fs::remove(appLogPath());
    }
    stopGently(logind);
    stopGently(systemBus);
}

TEST_F(AppEndToEnd, AppliedSetupExportsTheHelperToTheUserManager)
{
    if (!hasDbusmock()) {
        GTEST_SKIP() << "python3-dbusmock is not installed";
    }
    ASSERT_TRUE(install());
    // The user manager: python3-dbusmock's systemd, taught the environment verbs systemctl uses.
    auto manager = spawnLogged("/usr/bin/python3", {"-m", "dbusmock", "--session", "--template", "systemd"}, m_env,
                               root() / "systemd.log");
    ASSERT_TRUE(waitFor([&] { return nameHasOwner(m_env, "org.freedesktop.systemd1"); }, 60s));
    const auto mock = [&](const std::vector<std::string>& call) {
        return gdbus("--session", "org.freedesktop.systemd1", "/org/freedesktop/systemd1", call).status == 0;
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
    const auto userEnvironment = [&] { return tool("/usr/bin/systemctl", {"--user", "show-environment"}).output; };
    const auto installedApp = (root() / "prefix/lib/vantorelle/vantorelle-app").string();

    ASSERT_TRUE(startApp({"--background"}, installedApp));
    stopGently(m_app);
    EXPECT_FALSE(mentions(userEnvironment(), "SSH_ASKPASS")) << "not applied: nothing is exported";

    writeFile(home() / ".bashrc",
              std::string(MarkedBlock::begin) + "\nexport SSH_ASKPASS_REQUIRE=force\n" + std::string(MarkedBlock::end)
                  + "\n");
    ASSERT_TRUE(startApp({"--background"}, installedApp));
    const std::string helper = (root() / "prefix/lib/vantorelle/vantorelle-askpass").string();
    EXPECT_TRUE(waitFor(
        [&] {
            return mentions(userEnvironment(), "SSH_ASKPASS=" + helper + "\n")
                && mentions(userEnvironment(), "SSH_ASKPASS_REQUIRE=force\n");
        },
        60s))
        << userEnvironment() << appLog();
    stopGently(m_app);
    stopGently(manager);
}

TEST_F(AppEndToEnd, HelperStartsTheAppByBusActivationWithTheSessionEnvironment)
{
    ASSERT_TRUE(install());
    ASSERT_EQ(0,
              gdbus("--session", "org.freedesktop.DBus", "/org/freedesktop/DBus", {"org.freedesktop.DBus.ReloadConfig"})
                  .status);
    // The terminal's own agent and preload must not become the app's.
    Environment terminal = m_env;
    terminal.set("SSH_AUTH_SOCK", "/tmp/some-terminal-agent");
    terminal.set("VANTORELLE_TERMINAL_ONLY", "1");
    TerminalRun(VANTORELLE_ASKPASS, {"Are you sure you want to continue connecting (yes/no)? "}, terminal).finish();
    ASSERT_TRUE(nameHasOwner(m_env, "org.vantorelle.Vantorelle"));
    EXPECT_EQ(0, cli({"status"}).status);
    // The reply reads "(uint32 1234,)".
    const auto reply = gdbus("--session", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             {"org.freedesktop.DBus.GetConnectionUnixProcessID", "org.vantorelle.Vantorelle"});
    ASSERT_EQ(0, reply.status) << reply.output;
    const pid_t pid = std::stoi(reply.output.substr(reply.output.find(' ') + 1));
    std::string environ = test::readProcFile(pid, "environ");
    std::ranges::replace(environ, '\0', '\n');
    EXPECT_TRUE(mentions(environ, "SSH_AUTH_SOCK=" + agentSocket().string() + "\n")) << environ;
    EXPECT_FALSE(mentions(environ, "VANTORELLE_TERMINAL_ONLY")) << environ;
    EXPECT_TRUE(mentions(test::readProcFile(pid, "cmdline"), "--background"));
    appAction("quit");
    EXPECT_TRUE(waitFor([&] { return !nameHasOwner(m_env, "org.vantorelle.Vantorelle"); }, 60s));
}

// The real app with a presenter that types the passphrase or cancels, or with its own dialogs, and
// ssh run as a person at a terminal would, never asking the agent, so every run needs the passphrase.
class ScriptedAppEndToEnd : public AppEndToEnd
{
protected:
    void TearDown() override
    {
        // The app first: it holds the reader while a dialog is up.
        for (auto* child : {&m_app, &m_fprintd, &m_polkit, &m_systemBus}) {
            stopGently(*child);
        }
        AppEndToEnd::TearDown();
    }

    // With an empty script, the app's own dialogs.
    testing::AssertionResult startScripted(const std::string& script)
    {
        startSshd();
        manage(keyPath());
        writeFile(root() / "typed", keyPath().string() + "\t" + kPassphrase + "\n");
        m_env.set("VANTORELLE_TEST_UNLOCK", script == "type" ? "type:" + (root() / "typed").string() : script);
        m_ssh = m_env;
        m_ssh.set("SSH_ASKPASS", VANTORELLE_ASKPASS);
        m_ssh.set("SSH_ASKPASS_REQUIRE", "force");
        return startApp({"--background"}, script.empty() ? VANTORELLE_APP : VANTORELLE_APP_SCRIPTED);
    }
    TerminalRun startSsh(std::vector<std::string> options = {}, const fs::path& key = {})
    {
        options.push_back("IdentityAgent=none");
        return TerminalRun("/usr/bin/ssh", sshArguments("echo ran-$((6*7))", options, key), m_ssh);
    }
    RunResult sshWithoutAgent() { return startSsh().finish(); }
    static testing::AssertionResult connected(const RunResult& ran)
    {
        if (ran.status == 0 && mentions(ran.output, "ran-42")) {
            return testing::AssertionSuccess();
        }
        return testing::AssertionFailure() << "ssh ended with " << ran.status << ":\n" << ran.output;
    }
    // When the app logged the `nth` line holding `text`, in its own milliseconds.
    long long loggedAt(const std::string& text, int nth) const
    {
        const std::string log = appLog();
        auto at = log.find(text);
        for (int i = 1; i < nth && at != std::string::npos; ++i) {
            at = log.find(text, at + 1);
        }
        return at == std::string::npos ? -1 : std::stoll(log.substr(log.rfind('\n', at) + 1));
    }
    // What a person does outside the app: see session-tools.py.
    RunResult sessionTool(std::vector<std::string> args)
    {
        args.insert(args.begin(), VANTORELLE_SOURCE_DIR "/tests/app/shell/session-tools.py");
        return tool("/usr/bin/python3", args);
    }
    fs::path reader() const { return root() / "reader"; }
    // fprintd with libfprint's virtual reader on a private system bus where python3-dbusmock's polkit
    // allows what fprintd asks, and one finger enrolled on it.
    testing::AssertionResult startFingerprintReader()
    {
        const auto address = startBus(m_env, m_systemBus);
        if (!address) {
            return testing::AssertionFailure() << "no system bus";
        }
        m_env.set("DBUS_SYSTEM_BUS_ADDRESS", *address);
        m_polkit = spawnLogged("/usr/bin/python3", {"-m", "dbusmock", "--system", "-t", "polkitd"}, m_env,
                               root() / "polkit.log");
        if (!waitFor([&] { return nameHasOwner(m_env, "org.freedesktop.PolicyKit1", "--system"); }, 60s)) {
            return testing::AssertionFailure() << readFile(root() / "polkit.log");
        }
        gdbus("--system", "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
              {"org.freedesktop.DBus.Mock.SetAllowed",
               "['net.reactivated.fprint.device.verify', 'net.reactivated.fprint.device.enroll']"});
        fs::create_directories(root() / "fprint-state");
        m_fprintd = spawnLogged("/usr/libexec/fprintd", {"-t"},
                                with(m_env,
                                     {"FP_VIRTUAL_DEVICE=" + reader().string(), "FP_DRIVERS_WHITELIST=virtual_device",
                                      "STATE_DIRECTORY=" + (root() / "fprint-state").string()}),
                                root() / "fprintd.log");
        if (!waitFor([&] { return nameHasOwner(m_env, "net.reactivated.Fprint", "--system"); }, 60s)) {
            return testing::AssertionFailure() << readFile(root() / "fprintd.log");
        }
        const auto enrolled = sessionTool({"enrol", reader(), "finger-a"});
        return enrolled.status == 0
            ? testing::AssertionSuccess()
            : testing::AssertionFailure() << enrolled.output << readFile(root() / "fprintd.log");
    }
    // The passphrase goes to the tool through a FIFO: never on a command line, never in a file.
    testing::AssertionResult storePassphrase()
    {
        const auto fifo = root() / "passphrase";
        ::mkfifo(fifo.c_str(), 0600);
        auto storing = spawnLogged(
            "/usr/bin/python3",
            {VANTORELLE_SOURCE_DIR "/tests/app/shell/session-tools.py", "store-passphrase", keyPath(), fifo}, m_env,
            root() / "store.log");
        Fd writer;
        // Opening the writing end without blocking succeeds once the tool has the reading end open.
        waitFor([&] {
            writer = Fd(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
            return writer.valid() || !storing->running();
        });
        const std::string_view passphrase = kPassphrase;
        const bool written = writer.valid() && io::writeAll(writer.get(), passphrase);
        writer.reset();
        if (!written || storing->waitUntil(after(60s)) != 0) {
            return testing::AssertionFailure() << readFile(root() / "store.log");
        }
        return testing::AssertionSuccess();
    }

    Environment m_ssh;
    std::optional<ChildProcess> m_systemBus, m_polkit, m_fprintd;
};

TEST_F(ScriptedAppEndToEnd, AnswerWithinTheGraceNeedsNoSecondDialog)
{
    ASSERT_TRUE(startScripted("type"));
    // The grace lasts 5 s from the approval, which comes after the dialog, in the app's own time. A pair of ssh runs
    // slower than that proves nothing either way, so then a lock ends the grace and the pair runs again.
    std::string tries;
    for (int attempt = 1, dialogs = 0; attempt <= 5; ++attempt) {
        const auto first = sshWithoutAgent();
        ASSERT_EQ(0, first.status) << first.output << appLog();
        EXPECT_TRUE(mentions(first.output, "ran-42")) << first.output;
        const auto second = sshWithoutAgent();
        EXPECT_EQ(0, second.status) << second.output << appLog();
        EXPECT_EQ(0, listAgent().status) << "the approval loaded the key";
        const long long took
            = loggedAt("request passphrase from peer", 2 * attempt) - loggedAt("scripted unlock for ssh", dialogs + 1);
        if (took >= 0 && took < 4500) {
            EXPECT_EQ(dialogs + 1, countInLog("scripted unlock for ssh"))
                << "an answer " << took << " ms after the approval comes from the grace\n"
                << appLog();
            return;
        }
        tries += " " + std::to_string(took) + " ms";
        dialogs = countInLog("scripted unlock for ssh");
        ASSERT_EQ(0, cli({"lock"}).status);
    }
    GTEST_SKIP() << "this machine never ran two ssh within the grace:" << tries << "\n" << appLog();
}

TEST_F(ScriptedAppEndToEnd, APassphraseTypedIntoTheDialogLetsSshConnectAndLoadsTheKey)
{
    ASSERT_TRUE(startScripted(""));
    auto connecting = startSsh();
    ASSERT_TRUE(waitForLog("unlock presentation started, stage typing, keys 1")) << appLog();
    ASSERT_TRUE(pressInWindow("Return", "dialog-on-the-desktop", kPassphrase));
    EXPECT_TRUE(connected(connecting.finish())) << appLog();
    EXPECT_TRUE(waitForLog("unlock presentation ended, result typed")) << appLog();
    EXPECT_EQ(0, listAgent().status) << "the key is in the agent";
    EXPECT_TRUE(mentions(agentLog(), "(life: 10800)")) << agentLog();
}

TEST_F(ScriptedAppEndToEnd, EscapeInThePanelRefusesAndTheNextAttemptIsSnoozedWithoutAPanel)
{
    ASSERT_TRUE(startScripted(""));
    auto connecting = startSsh();
    ASSERT_TRUE(waitForLog("unlock presentation started")) << appLog();
    ASSERT_TRUE(pressInWindow("Escape"));
    const auto refused = connecting.finish();
    EXPECT_NE(0, refused.status);
    EXPECT_TRUE(mentions(refused.output, L("cli.denied.cancelled"))) << refused.output;
    EXPECT_TRUE(windowGone());
    const auto again = sshWithoutAgent();
    EXPECT_NE(0, again.status);
    EXPECT_TRUE(mentions(again.output, L("askpass.denied.snoozed"))) << again.output;
    EXPECT_EQ(1, countInLog("unlock presentation started")) << appLog();
}

TEST_F(ScriptedAppEndToEnd, TwoSshStartedTogetherShareOnePanelAndBothConnect)
{
    ASSERT_TRUE(startScripted(""));
    auto first = startSsh();
    auto second = startSsh();
    // Both requests have reached the app before the passphrase goes in.
    ASSERT_TRUE(waitForLog("request passphrase from peer", 2)) << appLog();
    ASSERT_TRUE(waitForLog("unlock presentation started")) << appLog();
    ASSERT_TRUE(pressInWindow("Return", {}, kPassphrase));
    EXPECT_TRUE(connected(first.finish())) << appLog();
    EXPECT_TRUE(connected(second.finish())) << appLog();
    EXPECT_EQ(1, countInLog("unlock presentation started")) << appLog();
    EXPECT_EQ(0, countInLog("request while a panel is open")) << appLog();
}

TEST_F(ScriptedAppEndToEnd, AHostKeyQuestionIsAnsweredInThePromptPanel)
{
    ASSERT_TRUE(startScripted(""));
    // The plain key needs no passphrase: the only question is whether to trust the new host.
    auto connecting = startSsh({"StrictHostKeyChecking=ask"}, plainKey());
    ASSERT_TRUE(waitForLog("prompt presentation started")) << appLog();
    ASSERT_TRUE(pressInWindow("Return", "host-key-question", "yes"));
    EXPECT_TRUE(connected(connecting.finish())) << appLog();
    EXPECT_TRUE(waitForLog("prompt presentation ended, answered")) << appLog();
    EXPECT_TRUE(mentions(readFile(root() / "known_hosts"), "127.0.0.1"))
        << "ssh recorded the host it was told to trust";
}

TEST_F(ScriptedAppEndToEnd, SshKilledWhileItsPanelIsUpTakesThePanelAndItsHelperAway)
{
    ASSERT_TRUE(startScripted(""));
    auto connecting = startSsh();
    ASSERT_TRUE(waitForLog("unlock presentation started")) << appLog();
    ASSERT_FALSE(focusWindow().empty());
    connecting.process().kill();
    EXPECT_TRUE(waitForLog("unlock presentation ended, result abandoned")) << appLog();
    EXPECT_TRUE(windowGone());
    // Orphaned, the helper is this process's child until it ends.
    EXPECT_TRUE(waitFor([] { return test::childrenOfThisProcess("vantorelle-askp").empty(); }, 60s))
        << "the helper outlived its ssh";
    EXPECT_TRUE(m_app->running());
}

TEST_F(ScriptedAppEndToEnd, AnotherFingerOffersARetryAndTheEnrolledOneLetsSshConnectWithTheStoredPassphrase)
{
    if (!hasDbusmock() || ::access("/usr/libexec/fprintd", X_OK) != 0) {
        GTEST_SKIP() << "fprintd or python3-dbusmock is not installed";
    }
    ASSERT_TRUE(startFingerprintReader());
    ASSERT_TRUE(storePassphrase());
    // In French, for the screenshot.
    m_env.set("LANGUAGE", "fr");
    ASSERT_TRUE(startScripted(""));
    auto connecting = startSsh();
    ASSERT_TRUE(waitForLog("unlock presentation started, stage touchID")) << appLog();
    ASSERT_FALSE(focusWindow().empty());
    ASSERT_TRUE(waitForLog("evaluatePolicy started")) << appLog();
    screenshot("dialog-fingerprint-on-the-desktop-fr");
    // Another finger first: the panel stays and offers a retry, which the keyboard reaches first.
    EXPECT_EQ(0, sessionTool({"scan", reader(), "finger-b"}).status);
    ASSERT_TRUE(waitForLog("failed: ")) << appLog();
    tool("/usr/bin/xdotool", {"key", "Tab", "space"});
    ASSERT_TRUE(waitForLog("rearm, new context")) << appLog();
    ASSERT_TRUE(waitForLog("evaluatePolicy started", 2)) << appLog();
    EXPECT_EQ(0, sessionTool({"scan", reader(), "finger-a"}).status);
    EXPECT_TRUE(connected(connecting.finish())) << appLog();
    EXPECT_TRUE(waitForLog("unlock presentation ended, result approved")) << appLog();
    EXPECT_EQ(0, listAgent().status) << "the key is in the agent";
}

// A new user's whole road through the settings of the installed app, on the desktop: store the
// passphrase, connect ssh after the review, connect from a fresh shell that asks through the helper,
// then undo and find every file as it was.
TEST_F(AppEndToEnd, ANewUserConnectsSshThroughTheSettingsAndUndoesItAll)
{
    startSshd();
    ASSERT_TRUE(install());
    fs::remove(plainKey());
    fs::remove(plainKey() += ".pub");
    const std::string bashrc = "# my own\nalias ll='ls -l'\n";
    writeFile(home() / ".bashrc", bashrc);
    const auto installedApp = (root() / "prefix/lib/vantorelle/vantorelle-app").string();
    const std::string settings = "^" + L("settings.title") + "$";
    ASSERT_TRUE(startApp({"--background"}, installedApp));

    // Starting the app again opens the settings of the running one, its key step asking for the
    // passphrase once the scan has found the key.
    auto second = launch({}, root() / "second.log", installedApp);
    ASSERT_TRUE(second);
    EXPECT_EQ(0, second->waitUntil(after(60s)));
    ASSERT_TRUE(waitForLog("key form for id_ed25519")) << appLog();
    ASSERT_TRUE(pressInWindow("Return", "settings-on-the-desktop", kPassphrase, settings));
    ASSERT_TRUE(waitFor([&] {
        return defaults().stringArray("managedKeyPaths") == std::vector<std::string>{keyPath().string()};
    })) << appLog();

    // Connect: the review names both files; Return confirms.
    ASSERT_TRUE(waitForLog("ssh step offers connect")) << appLog();
    ASSERT_TRUE(pressInWindow("alt+c", {}, {}, settings));
    const std::string review = "^" + L("settings.review.apply.title") + "$";
    ASSERT_TRUE(pressInWindow("Return", "settings-review-on-the-desktop", {}, review));
    ASSERT_TRUE(waitFor([&] { return MarkedBlock::contains(readFile(home() / ".bashrc")); })) << appLog();
    EXPECT_TRUE(MarkedBlock::contains(readFile(home() / ".ssh/config")));
    EXPECT_TRUE(readFile(home() / ".bashrc").starts_with(bashrc));

    // A fresh interactive bash, as a new terminal runs it, reads the block: ssh asks the helper,
    // which shows the unlock panel.
    Environment shell = m_env;
    shell.set("SHELL", "/bin/bash");
    std::string command = "/usr/bin/ssh";
    auto arguments = sshArguments("echo ran-$((6*7))", {"IdentityAgent=none"});
    arguments.erase(arguments.begin(), arguments.begin() + 2); // "-F /dev/null": the user's configuration counts
    for (const auto& word : arguments) {
        command += " '" + word + "'";
    }
    TerminalRun connecting("/bin/bash", {"-i", "-c", command}, shell);
    ASSERT_TRUE(waitForLog("unlock presentation started, stage typing, keys 1")) << appLog();
    ASSERT_TRUE(pressInWindow("Return", {}, kPassphrase));
    const auto connected = connecting.finish();
    EXPECT_EQ(0, connected.status) << connected.output << appLog();
    EXPECT_TRUE(mentions(connected.output, "ran-42")) << connected.output;
    EXPECT_EQ(1, countInLog("request passphrase from peer")) << appLog();

    // Undo, reviewed the same way: the files are as they were before, byte for byte.
    ASSERT_TRUE(pressInWindow("alt+u", {}, {}, settings));
    ASSERT_TRUE(pressInWindow("Return", {}, {}, "^" + L("settings.review.undo.title") + "$"));
    EXPECT_TRUE(waitFor([&] { return readFile(home() / ".bashrc") == bashrc; })) << readFile(home() / ".bashrc");
    EXPECT_TRUE(waitFor([&] { return !fs::exists(home() / ".ssh/config"); })) << "setup made it, undo removes it";
    EXPECT_TRUE(waitFor([&] { return defaults().stringArray("managedKeyPaths").value_or(std::vector<std::string>{"x"}).empty(); }));
}

} // namespace
} // namespace vantorelle::e2e
