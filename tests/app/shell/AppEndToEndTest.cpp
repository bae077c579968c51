// The real vantorelle-app under Xvfb with a private session bus, GNOME Keyring and ssh-agent,
// driven from outside: the command line, the askpass helper, ssh, D-Bus calls and signals.
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
constexpr const char* kTools = VANTORELLE_SOURCE_DIR "/tests/app/shell/session-tools.py";

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

// A private X server, session bus and GNOME Keyring for each scenario, then the app against them.
class AppEndToEnd : public EndToEnd
{
protected:
    void SetUp() override
    {
        i18n::setCurrentLanguage(Language::English);
        for (const char* tool : {"/usr/bin/Xvfb", "/usr/bin/dbus-daemon", "/usr/bin/gnome-keyring-daemon",
                                 "/usr/bin/gdbus", "/usr/bin/xdotool"}) {
            if (::access(tool, X_OK) != 0) {
                GTEST_SKIP() << tool << " is not installed";
            }
        }
        EndToEnd::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        fs::create_directories(root() / "run");
        fs::permissions(root() / "run", fs::perms::owner_all);
        // Services installed here become activatable on the session bus (after a ReloadConfig).
        m_env = with(clientEnvironment(),
                     {"XDG_RUNTIME_DIR=" + (root() / "run").string(), "VANTORELLE_LOG=stderr",
                      "XDG_DATA_DIRS=" + (root() / "prefix/share").string()});
        // Qt, fontconfig and the X libraries keep caches to the end of the process; in a sanitizer
        // build those would turn every clean exit of the app into a failure.
        if (auto asan = m_env.get("ASAN_OPTIONS")) {
            m_env.set("ASAN_OPTIONS", *asan + ":detect_leaks=0");
        }
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
        ASSERT_TRUE(waitFor([&] { return nameHasOwner("org.freedesktop.secrets"); }))
            << "GNOME Keyring never owned org.freedesktop.secrets";
    }
    void TearDown() override
    {
        // The app first: it holds the reader while a dialog is up.
        for (auto* child : {&m_app, &m_fprintd, &m_mock, &m_systemBus, &m_keyring, &m_bus, &m_display}) {
            stopGently(*child);
        }
        EndToEnd::TearDown();
    }

    FileDefaults defaults() const { return FileDefaults(home() / ".config/vantorelle/defaults.json"); }
    void manage(const fs::path& key) { defaults().set("managedKeyPaths", std::vector<std::string>{key}); }
    int addPlainKey() const { return run("/usr/bin/ssh-add", {plainKey()}).status; }
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
    bool nameHasOwner(const std::string& name, const std::string& bus = "--session")
    {
        const auto reply
            = gdbus(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", {"org.freedesktop.DBus.NameHasOwner", name});
        return reply.status == 0 && mentions(reply.output, "(true,)");
    }
    RunResult appAction(const std::string& name)
    {
        return gdbus("--session", "org.vantorelle.Vantorelle", "/org/vantorelle/Vantorelle",
                     {"org.freedesktop.Application.ActivateAction", name, "[]", "{}"});
    }
    bool hasDbusmock() const { return tool("/usr/bin/python3", {"-c", "import dbusmock"}).status == 0; }
    // python3-dbusmock's `mock` template owning `name` on `bus`; "--system" is a stand-in bus of its own.
    testing::AssertionResult startMock(const std::string& bus, const std::string& mock, const std::string& name)
    {
        if (bus == "--system") {
            m_env.set("DBUS_SYSTEM_BUS_ADDRESS", startBus(m_env, m_systemBus).value_or("none"));
        }
        const auto log = root() / (name + ".log");
        m_mock = spawnLogged("/usr/bin/python3", {"-m", "dbusmock", bus, "--template", mock}, m_env, log);
        return waitFor([&] { return nameHasOwner(name, bus); }, 60s) ? testing::AssertionSuccess()
                                                                     : testing::AssertionFailure() << readFile(log);
    }

    // Starts the app and waits until the command line gets an answer from it.
    testing::AssertionResult startApp(const std::string& program = VANTORELLE_APP)
    {
        m_app = spawnLogged(program, {"--background"}, m_env, root() / "app.log");
        const bool answered = m_app && waitFor([&] { return !m_app->running() || cli({"status"}).status == 0; }, 60s);
        return answered && m_app->running() ? testing::AssertionSuccess()
                                            : testing::AssertionFailure() << "the app never answered\n"
                                                                          << appLog();
    }
    // Another start of the app while one runs; how it ended.
    std::optional<int> launchAgain(const std::vector<std::string>& args, const std::string& log,
                                   const std::string& program = VANTORELLE_APP)
    {
        auto again = spawnLogged(program, args, m_env, root() / log);
        return again ? again->waitUntil(after(60s)) : std::nullopt;
    }
    std::string appLog() const { return readFile(root() / "app.log"); }
    int countInLog(const std::string& text) const { return occurrences(appLog(), text); }
    bool waitForLog(const std::string& text, int count = 1) const
    {
        return waitFor([&] { return countInLog(text) >= count; }, 60s);
    }
    // The X id of a shown window whose title matches `name`, or empty: by default the app's own
    // panels and questions.
    std::string window(const std::string& name = "^Vantorelle$")
    {
        const auto found = tool("/usr/bin/xdotool", {"search", "--onlyvisible", "--name", name});
        return found.status == 0 ? found.output.substr(0, found.output.find('\n')) : "";
    }
    bool windowGone()
    {
        return waitFor([&] { return window().empty(); }, 60s);
    }
    // Waits for such a window and gives it the focus; its X id, or empty when none came.
    std::string focusWindow(const std::string& name = "^Vantorelle$")
    {
        if (waitFor([&] { return !(m_window = window(name)).empty(); }, 60s)) {
            tool("/usr/bin/xdotool", {"windowfocus", "--sync", m_window});
        }
        return m_window;
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
    // ssh as a person at a terminal runs it, never asking the agent, so every run needs the passphrase.
    TerminalRun startSsh(std::vector<std::string> options = {}, const fs::path& key = {})
    {
        options.push_back("IdentityAgent=none");
        return TerminalRun("/usr/bin/ssh", sshArguments("echo ran-$((6*7))", options, key),
                           with(m_env, {"SSH_ASKPASS=" VANTORELLE_ASKPASS, "SSH_ASKPASS_REQUIRE=force"}));
    }
    static testing::AssertionResult connected(const RunResult& ran)
    {
        return ran.status == 0 && mentions(ran.output, "ran-42") ? testing::AssertionSuccess()
                                                                 : testing::AssertionFailure()
                << "ssh ended with " << ran.status << ":\n"
                << ran.output;
    }
    // `cmake --install` of this build into root/prefix, whose share/ the session bus reads.
    testing::AssertionResult install()
    {
        const auto installed = tool(CMAKE_COMMAND, {"--install", VANTORELLE_BUILD_DIR, "--prefix", root() / "prefix"});
        return installed.status == 0 ? testing::AssertionSuccess() : testing::AssertionFailure() << installed.output;
    }
    std::string installedApp() const { return (root() / "prefix/lib/vantorelle/vantorelle-app").string(); }

    Environment m_env;
    std::optional<ChildProcess> m_display, m_bus, m_keyring, m_app, m_systemBus, m_mock, m_fprintd;
    std::string m_window;
};

// One app through the command line, refreshes, the key scan, the agent, sleep and the quit
// question, then restarted over what the last run left.
TEST_F(AppEndToEnd, AppAnswersLocksTheAgentAsksBeforeQuittingUnlockedAndRestartsFromItsSavedState)
{
    const bool logind = hasDbusmock(); // the app watches logind for sleep
    if (logind) {
        ASSERT_TRUE(startMock("--system", "logind", "org.freedesktop.login1"));
    }
    const auto entry = home() / ".config/autostart/org.vantorelle.Vantorelle.desktop";
    ASSERT_TRUE(startApp());
    SCOPED_TRACE("started: locked, on the bus, the autostart entry written");
    EXPECT_EQ(kLocked, cli({"status", "--json"}).output);
    EXPECT_EQ(0, countInLog("SSH_AUTH_SOCK not found")) << appLog();
    ASSERT_TRUE(waitFor([&] { return fs::exists(entry); }));
    EXPECT_TRUE(mentions(readFile(entry), "--autostart")) << readFile(entry);
    EXPECT_EQ(true, defaults().boolean("loginItemDefaulted"));

    SCOPED_TRACE("of the status, prompt and lock requests so far only the lock refreshes");
    askpass("Are you sure you want to continue connecting (yes/no/[fingerprint])? ");
    ASSERT_TRUE(waitForLog("request prompt from peer")) << appLog();
    EXPECT_EQ(0, cli({"lock"}).status);
    ASSERT_TRUE(waitForLog("refresh after lock")) << appLog();
    EXPECT_EQ(1, countInLog("refresh after")) << appLog();

    SCOPED_TRACE("with nothing managed no key is read");
    // Every open of a file in ~/.ssh shows up here; the scan would open each key there.
    Fd watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    ASSERT_GE(::inotify_add_watch(watch.get(), (home() / ".ssh").c_str(), IN_OPEN), 0);
    const auto opened = [&] {
        char events[4096];
        return ::read(watch.get(), events, sizeof events) > 0;
    };
    const std::string passphrasePrompt = "Enter passphrase for key '" + plainKey().string() + "': ";
    EXPECT_EQ(1, askpass(passphrasePrompt).status);
    ASSERT_TRUE(waitForLog("request passphrase from peer"));
    EXPECT_FALSE(opened()) << "with nothing managed the key directory is not scanned";
    manage(plainKey());
    askpass(passphrasePrompt);
    ASSERT_TRUE(waitForLog("request passphrase from peer", 2));
    EXPECT_TRUE(opened());

    SCOPED_TRACE("the status follows the agent; Escape in the unlock dialog refuses");
    ASSERT_EQ(0, addPlainKey());
    EXPECT_EQ(kPlainUnlocked, cli({"status", "--json"}).output);
    EXPECT_EQ(0, cli({"lock"}).status);
    EXPECT_EQ(kLocked, cli({"status", "--json"}).output);
    TerminalRun unlocking(VANTORELLE_CLI, {"unlock"}, m_env);
    ASSERT_TRUE(waitForLog("unlock presentation started, stage typing, keys 1")) << appLog();
    ASSERT_TRUE(pressInWindow("Escape"));
    EXPECT_EQ(1, unlocking.finish().status);
    EXPECT_TRUE(waitForLog("unlock presentation ended, result cancelled")) << appLog();
    ASSERT_TRUE(windowGone());

    if (logind) {
        SCOPED_TRACE("sleep locks the keys unless lockOnSleep is off");
        ASSERT_EQ(0, addPlainKey());
        for (const bool lockOnSleep : {false, true}) {
            defaults().set("lockOnSleep", lockOnSleep);
            const std::string said = lockOnSleep ? "vantorelle[app]: locking for sleep" : "not locking for sleep";
            // The watch is set up while the app starts; a signal sent before that is simply sent again.
            EXPECT_TRUE(waitFor(
                [&] {
                    gdbus("--system", "org.freedesktop.login1", "/org/freedesktop/login1",
                          {"org.freedesktop.DBus.Mock.EmitSignal", "org.freedesktop.login1.Manager", "PrepareForSleep",
                           "b", "[<true>]"});
                    return countInLog(said) > 0;
                },
                60s))
                << appLog();
            EXPECT_TRUE(waitFor([&] { return listAgent().status == (lockOnSleep ? 1 : 0); })) << said;
        }
    }

    SCOPED_TRACE("quit while unlocked asks: Escape keeps app and key, Return locks and quits");
    ASSERT_EQ(0, addPlainKey());
    const auto askToQuit = [&](const std::string& key) {
        EXPECT_EQ(0, appAction("quit").status);
        ASSERT_TRUE(pressInWindow(key, "quit-while-unlocked")) << appLog();
    };
    askToQuit("Escape");
    ASSERT_TRUE(windowGone());
    EXPECT_TRUE(m_app->running());
    EXPECT_EQ(0, listAgent().status);
    askToQuit("Return");
    EXPECT_EQ(0, m_app->waitUntil(after(60s)));
    EXPECT_EQ(1, listAgent().status) << "lock and quit leaves no key in the agent";

    SCOPED_TRACE("restarted: the saved window is restored");
    fs::remove(entry);
    ASSERT_EQ(0, run("/usr/bin/ssh-add", {"-t", "3000", plainKey()}).status);
    defaults().set("unlockExpiry", Date(std::chrono::system_clock::now() + 2000s));
    defaults().set("unlockWindowDuration", 3600.0);
    ASSERT_TRUE(startApp());
    const auto json = cli({"status", "--json"}).output;
    EXPECT_TRUE(mentions(json, "\"remaining_seconds\":19")) << "1900 to 1999 s of the 2000 s saved are left\n" << json;

    SCOPED_TRACE("a second start leaves quietly, one in the foreground reopens the first");
    EXPECT_EQ(0, launchAgain({"--background"}, "second.log"));
    EXPECT_TRUE(mentions(readFile(root() / "second.log"), "another instance is running; quitting"));
    EXPECT_EQ(0, countInLog("reopened by another launch")) << "a background start must not reopen the first";
    EXPECT_EQ(0, launchAgain({}, "third.log"));
    EXPECT_TRUE(waitForLog("reopened by another launch")) << appLog();

    SCOPED_TRACE("quit while locked asks nothing; the socket goes with the app");
    EXPECT_EQ(0, cli({"lock"}).status) << "the first copy keeps serving";
    appAction("quit");
    EXPECT_EQ(0, m_app->waitUntil(after(60s)));
    EXPECT_FALSE(fs::exists(socketPath()));
    EXPECT_FALSE(fs::exists(entry)) << "the user's removal of the autostart entry stands";

    SCOPED_TRACE(
        "unlock asks for the configured window; a stop signal leaves someone else's file where the socket was");
    defaults().set("unlockDuration", 2700.0);
    ASSERT_TRUE(startApp(VANTORELLE_APP_SCRIPTED)); // whose presenter cancels every unlock
    TerminalRun(VANTORELLE_CLI, {"unlock"}, m_env).finish();
    EXPECT_TRUE(waitForLog(" (2700 s): cancel")) << appLog();
    fs::remove(socketPath());
    writeFile(socketPath(), "not ours\n");
    EXPECT_EQ(0, stopGently(m_app, SIGINT));
    EXPECT_EQ("not ours\n", readFile(socketPath()));
    EXPECT_TRUE(waitForLog("stopping on"));
}

// The installed app: started by bus activation, then by hand once the setup is applied, when ssh
// asks through its panels.
TEST_F(AppEndToEnd, InstalledAppStartsByBusActivationExportsTheHelperAndSshAsksThroughItsPanels)
{
    startSshd();
    ASSERT_TRUE(install());
    ASSERT_EQ(0,
              gdbus("--session", "org.freedesktop.DBus", "/org/freedesktop/DBus", {"org.freedesktop.DBus.ReloadConfig"})
                  .status);
    // The user manager: python3-dbusmock with the environment verbs systemctl uses.
    const bool manager = hasDbusmock();
    if (manager) {
        ASSERT_TRUE(startMock("--session", VANTORELLE_SOURCE_DIR "/tests/app/platform/systemd_user_manager.py",
                              "org.freedesktop.systemd1"));
    }
    const auto userEnvironment = [&] { return tool("/usr/bin/systemctl", {"--user", "show-environment"}).output; };

    SCOPED_TRACE("activated with the session's environment, not the terminal's agent and preload");
    const auto terminal = with(m_env, {"SSH_AUTH_SOCK=/tmp/some-terminal-agent", "VANTORELLE_TERMINAL_ONLY=1"});
    TerminalRun(VANTORELLE_ASKPASS, {"Are you sure you want to continue connecting (yes/no)? "}, terminal).finish();
    ASSERT_TRUE(nameHasOwner("org.vantorelle.Vantorelle"));
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
    EXPECT_TRUE(waitFor([&] { return !nameHasOwner("org.vantorelle.Vantorelle"); }, 60s));

    SCOPED_TRACE("not applied, nothing was exported; applied, a start exports the helper");
    EXPECT_FALSE(manager && mentions(userEnvironment(), "SSH_ASKPASS")) << userEnvironment();
    writeFile(home() / ".bashrc",
              std::string(MarkedBlock::begin) + "\nexport SSH_ASKPASS_REQUIRE=force\n" + std::string(MarkedBlock::end)
                  + "\n");
    manage(keyPath());
    ASSERT_TRUE(startApp(installedApp()));
    const std::string helper = (root() / "prefix/lib/vantorelle/vantorelle-askpass").string();
    EXPECT_TRUE(!manager || waitFor([&] {
        return mentions(userEnvironment(), "SSH_ASKPASS=" + helper + "\n")
            && mentions(userEnvironment(), "SSH_ASKPASS_REQUIRE=force\n");
    })) << userEnvironment()
        << appLog();

    SCOPED_TRACE("a host-key question is answered in the prompt panel");
    // The plain key needs no passphrase: the only question is whether to trust the new host.
    auto trusting = startSsh({"StrictHostKeyChecking=ask"}, plainKey());
    ASSERT_TRUE(waitForLog("prompt presentation started")) << appLog();
    ASSERT_TRUE(pressInWindow("Return", "host-key-question", "yes"));
    EXPECT_TRUE(connected(trusting.finish())) << appLog();
    EXPECT_TRUE(waitForLog("prompt presentation ended, answered")) << appLog();
    EXPECT_TRUE(mentions(readFile(root() / "known_hosts"), "127.0.0.1"))
        << "ssh recorded the host it was told to trust";

    SCOPED_TRACE("a helper under an ssh session is refused as remote, without a dialog or a notification");
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
    EXPECT_TRUE(mentions(outer.output, "vantorelle-askpass: " + L("cli.denied.remote"))) << outer.output << appLog();
    EXPECT_EQ(1, countInLog("request passphrase from peer")) << appLog();
    EXPECT_EQ(0, countInLog("no unlock dialog to show") + countInLog("no dialog to show")) << appLog();
    EXPECT_EQ(0, countInLog("notification")) << appLog();

    SCOPED_TRACE("ssh killed while its panel is up takes the panel and its helper away");
    auto killed = startSsh();
    ASSERT_TRUE(waitForLog("unlock presentation started, stage typing, keys 1")) << appLog();
    killed.process().kill();
    EXPECT_TRUE(waitForLog("unlock presentation ended, result abandoned")) << appLog();
    EXPECT_TRUE(windowGone());
    // Orphaned, the helper is this process's child until it ends.
    EXPECT_TRUE(waitFor([] { return test::childrenOfThisProcess("vantorelle-askp").empty(); }, 60s));

    SCOPED_TRACE("two ssh share one panel; the passphrase typed there lets both connect and loads the key");
    auto first = startSsh(), second = startSsh();
    ASSERT_TRUE(waitForLog("request passphrase from peer", 4)) << appLog(); // both, after the two above
    ASSERT_TRUE(waitForLog("unlock presentation started", 2)) << appLog();
    ASSERT_TRUE(pressInWindow("Return", "dialog-on-the-desktop", kPassphrase));
    EXPECT_TRUE(connected(first.finish()) && connected(second.finish())) << appLog();
    EXPECT_TRUE(waitForLog("unlock presentation ended, result typed")) << appLog();
    EXPECT_EQ(2, countInLog("unlock presentation started")) << appLog();
    EXPECT_EQ(0, stopGently(m_app, SIGTERM)); // unlocked, a stop signal still ends it cleanly
    EXPECT_FALSE(fs::exists(socketPath()));
    EXPECT_TRUE(mentions(agentLog(), "(life: 10800)")) << "the key is in the agent\n" << agentLog();
}

TEST_F(AppEndToEnd, TheEnrolledFingerLetsSshConnectWithThePassphraseStoredThroughTheSettings)
{
    if (!hasDbusmock() || ::access("/usr/libexec/fprintd", X_OK) != 0) {
        GTEST_SKIP() << "fprintd or python3-dbusmock is not installed";
    }
    // fprintd with libfprint's virtual reader on a stand-in system bus where python3-dbusmock's
    // polkit allows what fprintd asks, and one finger enrolled on it.
    ASSERT_TRUE(startMock("--system", "polkitd", "org.freedesktop.PolicyKit1"));
    gdbus("--system", "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
          {"org.freedesktop.DBus.Mock.SetAllowed",
           "['net.reactivated.fprint.device.verify', 'net.reactivated.fprint.device.enroll']"});
    fs::create_directories(root() / "fprint-state");
    const std::string reader = root() / "reader";
    m_fprintd = spawnLogged("/usr/libexec/fprintd", {"-t"},
                            with(m_env,
                                 {"FP_VIRTUAL_DEVICE=" + reader, "FP_DRIVERS_WHITELIST=virtual_device",
                                  "STATE_DIRECTORY=" + (root() / "fprint-state").string()}),
                            root() / "fprintd.log");
    ASSERT_TRUE(waitFor([&] { return nameHasOwner("net.reactivated.Fprint", "--system"); }, 60s))
        << readFile(root() / "fprintd.log");
    const auto enrolled = tool("/usr/bin/python3", {kTools, "enrol", reader, "finger-a"});
    ASSERT_EQ(0, enrolled.status) << enrolled.output << readFile(root() / "fprintd.log");

    SCOPED_TRACE("the passphrase is stored through the settings");
    startSshd();
    fs::remove(plainKey()); // so that the settings have one key to offer
    fs::remove(plainKey() += ".pub");
    ASSERT_TRUE(startApp());
    EXPECT_EQ(0, launchAgain({}, "settings.log"));
    ASSERT_TRUE(waitForLog("key form for id_ed25519")) << appLog();
    ASSERT_TRUE(pressInWindow("Return", {}, kPassphrase, "^" + L("settings.title") + "$"));
    ASSERT_TRUE(waitFor([&] { return defaults().stringArray("managedKeyPaths").has_value(); })) << appLog();
    stopGently(m_app);

    SCOPED_TRACE("the enrolled finger lets ssh connect with the stored passphrase");
    m_env.set("LANGUAGE", "fr"); // in French, for the screenshot
    ASSERT_TRUE(startApp());
    auto connecting = startSsh();
    ASSERT_TRUE(waitForLog("unlock presentation started, stage touchID")) << appLog();
    ASSERT_FALSE(focusWindow().empty());
    ASSERT_TRUE(waitForLog("evaluatePolicy started")) << appLog();
    screenshot("dialog-fingerprint-on-the-desktop-fr");
    EXPECT_EQ(0, tool("/usr/bin/python3", {kTools, "scan", reader, "finger-a"}).status);
    EXPECT_TRUE(connected(connecting.finish())) << appLog();
    EXPECT_TRUE(waitForLog("unlock presentation ended, result approved")) << appLog();
    EXPECT_EQ(0, listAgent().status) << "the key is in the agent";
}

// A new user's road through the settings of the installed app, on the desktop: store the
// passphrase, connect ssh after the review, connect from a fresh shell that asks through the helper.
TEST_F(AppEndToEnd, ANewUserConnectsSshThroughTheSettings)
{
    startSshd();
    ASSERT_TRUE(install());
    fs::remove(plainKey());
    fs::remove(plainKey() += ".pub");
    const std::string bashrc = "# my own\nalias ll='ls -l'\n";
    writeFile(home() / ".bashrc", bashrc);
    const std::string settings = "^" + L("settings.title") + "$";
    ASSERT_TRUE(startApp(installedApp()));

    SCOPED_TRACE("starting the app again opens the settings, which ask for the passphrase of the key found");
    EXPECT_EQ(0, launchAgain({}, "second.log", installedApp()));
    ASSERT_TRUE(waitForLog("key form for id_ed25519")) << appLog();
    ASSERT_TRUE(pressInWindow("Return", "settings-on-the-desktop", kPassphrase, settings));
    ASSERT_TRUE(waitFor([&] {
        return defaults().stringArray("managedKeyPaths") == std::vector<std::string>{keyPath().string()};
    })) << appLog();

    SCOPED_TRACE("connect: the review names both files; Return confirms");
    ASSERT_TRUE(waitForLog("ssh step offers connect")) << appLog();
    ASSERT_TRUE(pressInWindow("alt+c", {}, {}, settings));
    const std::string review = "^" + L("settings.review.apply.title") + "$";
    ASSERT_TRUE(pressInWindow("Return", "settings-review-on-the-desktop", {}, review));
    ASSERT_TRUE(waitFor([&] { return MarkedBlock::contains(readFile(home() / ".bashrc")); })) << appLog();
    EXPECT_TRUE(MarkedBlock::contains(readFile(home() / ".ssh/config")));
    EXPECT_TRUE(readFile(home() / ".bashrc").starts_with(bashrc));

    SCOPED_TRACE("a fresh interactive bash reads the block: ssh asks the helper, which shows the unlock panel");
    std::string command = "/usr/bin/ssh";
    auto arguments = sshArguments("echo ran-$((6*7))", {"IdentityAgent=none"});
    arguments.erase(arguments.begin(), arguments.begin() + 2); // "-F /dev/null": the user's configuration counts
    for (const auto& word : arguments) {
        command += " '" + word + "'";
    }
    TerminalRun connecting("/bin/bash", {"-i", "-c", command}, with(m_env, {"SHELL=/bin/bash"}));
    ASSERT_TRUE(waitForLog("unlock presentation started, stage typing, keys 1")) << appLog();
    ASSERT_TRUE(pressInWindow("Return", {}, kPassphrase));
    EXPECT_TRUE(connected(connecting.finish())) << appLog();
    EXPECT_EQ(1, countInLog("request passphrase from peer")) << appLog();
}

} // namespace
} // namespace vantorelle::e2e
