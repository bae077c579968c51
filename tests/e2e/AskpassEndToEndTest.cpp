// The whole road of a passphrase request with real OpenSSH: ssh runs the built helper, which asks
// the test host over the socket; the host decides with the real coordinator, loads the key into a
// private ssh-agent and answers; ssh then logs in to a private sshd.
#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <regex>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include "i18n/L.h"
#include "ssh/KeyPassphrase.h"
#include "support/SshTools.h"
#include "support/TempDir.h"
#include "sys/Io.h"
#include "sys/Pty.h"
#include "unlock/RequesterResolver.h"

namespace vantorelle::e2e {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::readFile;
using test::waitFor;
using test::writeFile;
using Deadline = std::chrono::steady_clock::time_point;

constexpr const char* kPassphrase = "e2e horse battery staple";
const char* const kHelper = VANTORELLE_ASKPASS;
const char* const kHost = VANTORELLE_TESTHOST;

Deadline after(std::chrono::seconds seconds)
{
    return std::chrono::steady_clock::now() + seconds;
}
bool mentions(const std::string& output, const std::string& text)
{
    return output.find(text) != std::string::npos;
}
std::string helperSays(const std::string& message)
{
    return "vantorelle-askpass: " + message;
}
std::string userName()
{
    const passwd* entry = ::getpwuid(::geteuid());
    return entry ? entry->pw_name : "root";
}
Environment toolEnvironment()
{
    Environment env;
    env.set("PATH", "/usr/bin:/bin");
    env.set("LANG", "C");
    return env;
}
Requester::Kind ownAncestry()
{
    return RequesterResolver::resolve(
               ::getpid(), [](std::int32_t pid) { return RequesterResolver::liveTable(pid); }, std::nullopt)
        .kind;
}
std::optional<ChildProcess> spawnLogged(const std::string& path, const std::vector<std::string>& args, Environment env,
                                        const fs::path& log)
{
    Fd fd(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    auto child = ChildProcess::spawn({path, args, std::move(env), std::nullopt, -1, fd.get()});
    return child ? std::optional(std::move(*child)) : std::nullopt;
}
void stopGently(std::optional<ChildProcess>& process)
{
    if (process && process->running()) {
        process->signal(SIGTERM);
        if (!process->waitUntil(after(10s))) {
            process->kill();
        }
    }
    process.reset();
}
// Waits for `pid` to end as a child of ours. An orphan becomes ours (the fixture makes this
// process a subreaper) only once its parent is gone, so "not our child" is retried.
std::optional<int> waitForChild(pid_t pid, Deadline deadline)
{
    int status = 0;
    if (!waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                 std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()))) {
        return std::nullopt;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
// The child of `parent` named `name`, found through /proc.
std::optional<pid_t> childNamed(pid_t parent, const std::string& name)
{
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") == std::string::npos) {
            if (const auto info = RequesterResolver::liveTable(std::stoi(pid));
                info && info->ppid == parent && info->name == name) {
                return info->pid;
            }
        }
    }
    return std::nullopt;
}

struct RunResult
{
    int status = -1; // exit status, 128 + signal, or -1 when it never ran
    std::string output;
};

// A program on a pseudo-terminal of the test's own, which becomes its controlling terminal.
class TerminalRun
{
public:
    TerminalRun(const std::string& path, const std::vector<std::string>& args, const Environment& env)
        : m_pty(Pty::open().value())
        , m_slave(m_pty.openSlave()) // kept open so the master never reads EIO before the child has its own
        , m_process(ChildProcess::spawn({path, args, env, m_pty.slavePath}).value())
    {
        io::setNonBlocking(m_pty.master.get(), true);
    }
    // Reads everything it prints until it ends (killed at the deadline).
    RunResult finish(Deadline deadline)
    {
        std::string output;
        const auto drain = [&] {
            char buffer[4096];
            for (ssize_t n; (n = ::read(m_pty.master.get(), buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);) {
                output.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            }
        };
        std::optional<int> status;
        while (!status) {
            if (io::pollOne(m_pty.master.get(), POLLIN, std::min(deadline, std::chrono::steady_clock::now() + 50ms))
                > 0) {
                drain();
            }
            status = m_process.waitUntil(std::chrono::steady_clock::now());
            if (!status && std::chrono::steady_clock::now() >= deadline) {
                status = m_process.kill();
                output += "\n[killed at the deadline]\n";
            }
        }
        drain();
        return RunResult{*status, output};
    }
    ChildProcess& process() { return m_process; }

private:
    Pty m_pty;
    Fd m_slave;
    ChildProcess m_process;
};

// One scenario's private OpenSSH world: sshd on 127.0.0.1, ssh-agent, a key with a passphrase, and
// the test host standing in for the application.
class AskpassEndToEnd : public testing::Test
{
protected:
    void SetUp() override
    {
        i18n::setCurrentLanguage(Language::English);
        struct stat info = {};
        if (::access("/usr/sbin/sshd", X_OK) != 0 || ::access("/usr/bin/ssh", X_OK) != 0) {
            GTEST_SKIP() << "sshd or ssh is not installed (Debian packages openssh-server, openssh-client)";
        }
        if (::stat("/run/sshd", &info) != 0 && ::mkdir("/run/sshd", 0755) != 0 && errno != EEXIST) {
            GTEST_SKIP() << "sshd's privilege separation directory /run/sshd is missing and cannot be created";
        }
        if (ownAncestry() == Requester::Kind::remote) {
            GTEST_SKIP() << "this test process runs under sshd, so every requester below it resolves as remote; "
                            "run the suite from a local session";
        }
        // Whatever the daemons and tools leave orphaned is adopted here instead of by a PID 1 that
        // may never reap.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        fs::create_directories(root() / "home");
        fs::create_directories(root() / "app");
        fs::permissions(root() / "app", fs::perms::owner_all);
        makeKey();
        m_agent
            = spawnLogged("/usr/bin/ssh-agent", {"-d", "-a", agentSocket()}, toolEnvironment(), root() / "agent.log");
        ASSERT_TRUE(m_agent && waitFor([&] { return fs::is_socket(agentSocket()); })) << agentLog();
        startSshd();
    }
    void TearDown() override
    {
        stopGently(m_host);
        stopGently(m_sshd);
        stopGently(m_agent);
        // Adopted processes normally end on their own once the daemons are gone; then the rest is killed.
        const auto reaped = [] {
            pid_t pid;
            while ((pid = ::waitpid(-1, nullptr, WNOHANG)) > 0) { }
            return pid < 0 && errno == ECHILD;
        };
        if (!waitFor(reaped, 10s)) {
            waitFor(
                [&] {
                    for (const pid_t pid : test::childrenOfThisProcess()) {
                        ::kill(pid, SIGKILL);
                    }
                    return reaped();
                },
                10s);
        }
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }

    fs::path root() const { return m_dir.path(); }
    fs::path keyPath() const { return root() / "keys/id_ed25519"; }
    fs::path socketPath() const { return root() / "app/c.sock"; }
    fs::path logPath() const { return root() / "host.log"; }
    fs::path agentSocket() const { return root() / "agent.sock"; }
    fs::path dataHome() const { return root() / "data"; }
    std::string agentLog() const { return readFile(root() / "agent.log"); }
    std::string context() const { return "\n--- host log ---\n" + readFile(logPath()); }

    void makeKey()
    {
        fs::create_directories(keyPath().parent_path());
        fs::permissions(keyPath().parent_path(), fs::perms::owner_all);
        test::makeKey(keyPath(), {.comment = "e2e-key"});
        // The passphrase is typed on a terminal, never given on a command line.
        const SecretString passphrase{std::string_view(kPassphrase)};
        ASSERT_TRUE(KeyPassphrase::add(passphrase, passphrase, keyPath().string(), toolEnvironment()));
        writeFile(root() / "store", keyPath().string() + "\t" + kPassphrase + "\n");
        writeFile(root() / "authorized_keys", readFile(keyPath().string() + ".pub"));
    }
    void startSshd()
    {
        const auto hostKey = root() / "ssh_host_ed25519_key";
        test::makeKey(hostKey);
        // Another process may take the probed port before sshd binds it: then another port.
        for (int attempt = 0; attempt < 5; ++attempt) {
            Fd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
            socklen_t length = sizeof address;
            ::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
            ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length);
            probe.reset();
            m_port = ntohs(address.sin_port);
            writeFile(root() / "sshd_config",
                      "Port " + std::to_string(m_port) + "\nListenAddress 127.0.0.1\nHostKey " + hostKey.string()
                          + "\nPidFile " + (root() / "sshd.pid").string() + "\nAuthorizedKeysFile "
                          + (root() / "authorized_keys").string()
                          + "\nStrictModes no\nUsePAM no\nPasswordAuthentication no\n"
                            "KbdInteractiveAuthentication no\nPubkeyAuthentication yes\n");
            // sshd re-executes itself and insists on an absolute path.
            m_sshd = spawnLogged("/usr/sbin/sshd", {"-D", "-e", "-f", root() / "sshd_config"}, toolEnvironment(),
                                 root() / "sshd.log");
            ASSERT_TRUE(m_sshd);
            const bool up
                = waitFor(
                      [&] {
                          Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                          return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
                              || m_sshd->waitUntil(std::chrono::steady_clock::now());
                      },
                      20s)
                && m_sshd->running();
            if (up) {
                return;
            }
            stopGently(m_sshd);
            ASSERT_TRUE(mentions(readFile(root() / "sshd.log"), "Address already in use"))
                << readFile(root() / "sshd.log");
        }
        FAIL() << "no free port for sshd";
    }

    // The host's arguments for a script ("--unlock approve" etc.), socket and files filled in.
    std::vector<std::string> hostArguments(const std::vector<std::string>& script) const
    {
        std::vector<std::string> args
            = {"--socket", socketPath(),     "--agent", agentSocket(), "--keys", keyPath().parent_path(),
               "--store",  root() / "store", "--log",   logPath()};
        args.insert(args.end(), script.begin(), script.end());
        return args;
    }
    bool startHost(const std::vector<std::string>& script)
    {
        Environment env = toolEnvironment();
        env.set("HOME", root() / "home");
        env.set("LANGUAGE", "en");
        m_host = spawnLogged(kHost, hostArguments(script), env, root() / "host.stderr");
        return m_host
            && waitFor([&] { return countLog("listening") > 0 || m_host->waitUntil(std::chrono::steady_clock::now()); },
                       20s)
            && m_host->running();
    }

    // The environment ssh and the tools get: a private HOME, English texts, the helper as askpass
    // (forced), the host's socket, the private agent and XDG data directories.
    Environment clientEnvironment() const
    {
        Environment env;
        for (const auto& [name, value] :
             std::vector<std::pair<std::string, std::string>>{{"PATH", "/usr/bin:/bin"},
                                                              {"HOME", root() / "home"},
                                                              {"USER", userName()},
                                                              {"LOGNAME", userName()},
                                                              {"LANG", "C.UTF-8"},
                                                              {"LANGUAGE", "en"},
                                                              {"SSH_ASKPASS", kHelper},
                                                              {"SSH_ASKPASS_REQUIRE", "force"},
                                                              {"VANTORELLE_SOCKET", socketPath()},
                                                              {"SSH_AUTH_SOCK", agentSocket()},
                                                              {"XDG_DATA_HOME", dataHome()},
                                                              {"XDG_DATA_DIRS", root() / "no-data-dirs"},
                                                              {"XDG_CONFIG_HOME", root() / "home/.config"}}) {
            env.set(name, value);
        }
        // A sanitizer build's settings reach the helper too.
        for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
            if (const char* value = std::getenv(name)) {
                env.set(name, value);
            }
        }
        return env;
    }
    // ssh to the test sshd running `command`; ssh keeps the first value of an option, so the
    // scenario's own `options` come first.
    std::vector<std::string> sshArguments(const std::string& command,
                                          const std::vector<std::string>& options = {}) const
    {
        std::vector<std::string> args
            = {"-F", "/dev/null", "-p", std::to_string(m_port), "-l", userName(), "-i", keyPath()};
        for (const auto& option : options) {
            args.insert(args.end(), {"-o", option});
        }
        for (const char* option :
             {"IdentitiesOnly=yes", "StrictHostKeyChecking=accept-new", "GlobalKnownHostsFile=/dev/null",
              "PasswordAuthentication=no", "KbdInteractiveAuthentication=no", "PreferredAuthentications=publickey",
              "NumberOfPasswordPrompts=1", "ConnectTimeout=20", "LogLevel=ERROR"}) {
            args.insert(args.end(), {"-o", option});
        }
        args.insert(args.end(),
                    {"-o", "UserKnownHostsFile=" + (root() / "known_hosts").string(), "127.0.0.1", command});
        return args;
    }
    RunResult sshOnTerminal(const std::string& command, const std::vector<std::string>& options = {},
                            std::optional<Environment> env = std::nullopt)
    {
        return TerminalRun("/usr/bin/ssh", sshArguments(command, options), env.value_or(clientEnvironment()))
            .finish(after(90s));
    }
    // An askpass program that notes each call in a file, then becomes the helper (same process, so
    // its parent is still the caller's ssh).
    fs::path countingAskpass() const
    {
        const auto path = root() / "counting-askpass";
        writeFile(path,
                  "#!/bin/sh\necho called >> '" + (root() / "askpass.calls").string() + "'\nexec '" + kHelper
                      + "' \"$@\"\n",
                  fs::perms::owner_all);
        return path;
    }
    int askpassCalls() const { return static_cast<int>(std::ranges::count(readFile(root() / "askpass.calls"), '\n')); }
    RunResult run(const std::string& path, const std::vector<std::string>& args, Environment env) const
    {
        env.set("SSH_AUTH_SOCK", agentSocket());
        env.set("HOME", root() / "home");
        env.set("LANGUAGE", "en");
        env.set("VANTORELLE_SOCKET", socketPath());
        auto ran = ChildProcess::run(path, args, env, ChildProcess::StandardError::merge, after(60s));
        return ran ? RunResult{ran->status, ran->output} : RunResult{};
    }
    RunResult listAgent() const { return run("/usr/bin/ssh-add", {"-l", "-E", "sha256"}, toolEnvironment()); }
    RunResult cli(const std::vector<std::string>& args) const { return run(VANTORELLE_CLI, args, toolEnvironment()); }
    void expectKeyInAgent()
    {
        const auto listed = listAgent();
        EXPECT_TRUE(mentions(listed.output, test::fingerprintOf(keyPath().string() + ".pub"))) << listed.output;
    }
    std::vector<std::string> logLines() const
    {
        std::vector<std::string> lines;
        std::istringstream text(readFile(logPath()));
        for (std::string line; std::getline(text, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    int countLog(const std::string& prefix) const
    {
        return static_cast<int>(
            std::ranges::count_if(logLines(), [&](const auto& line) { return line.starts_with(prefix); }));
    }
    bool waitForLog(const std::string& prefix, int count) const
    {
        return waitFor([&] { return countLog(prefix) >= count; });
    }

    // A desktop entry "<id>.desktop" in the clients' XDG_DATA_HOME that starts the test host.
    void writeHostEntry(const std::string& id)
    {
        std::string exec = kHost;
        for (const auto& word : hostArguments({"--unlock", "approve"})) {
            exec += " " + word;
        }
        writeFile(dataHome() / ("applications/" + id + ".desktop"),
                  "[Desktop Entry]\nType=Application\nName=Vantorelle test host\nExec=" + exec + "\n");
    }

    // Checks that the helper started the host with "--background", then stops and reaps it (the
    // detached host was adopted by this process, see World).
    void expectLaunchedHostAndStopIt()
    {
        std::smatch started;
        const std::string log = readFile(logPath());
        ASSERT_TRUE(std::regex_search(log, started, std::regex("started pid=([0-9]+) args=(.*)"))) << log;
        EXPECT_TRUE(std::string(started[2]).ends_with(" --background")) << started[2];
        const pid_t host = std::stoi(started[1]);
        ::kill(host, SIGTERM);
        auto stopped = waitForChild(host, after(20s));
        if (!stopped) {
            ::kill(host, SIGKILL);
            stopped = waitForChild(host, after(20s));
        }
        EXPECT_TRUE(stopped.has_value()) << "the launched host was not ours to reap";
    }

    TempDir m_dir{"vt-e2e"};
    int m_port = 0;
    std::optional<ChildProcess> m_agent, m_sshd, m_host;
};

TEST_F(AskpassEndToEnd, ApprovalLoadsTheKeyForAWindowAndSshLogsIn)
{
    ASSERT_TRUE(startHost({"--unlock", "approve"})) << context();
    const auto run = sshOnTerminal("echo e2e-$((40+2))");
    EXPECT_EQ(0, run.status) << run.output << context();
    EXPECT_TRUE(mentions(run.output, "e2e-42")) << run.output;
    EXPECT_EQ(1, countLog("showUnlock requester=ssh kind=interactive keys=1 duration=10800 mode=biometric"))
        << context();
    EXPECT_EQ(1, countLog("reply secret")) << context();

    expectKeyInAgent();
    EXPECT_TRUE(mentions(agentLog(), "(life: 10800)")) << agentLog();

    const auto status = cli({"status", "--json"});
    EXPECT_EQ(0, status.status) << status.output;
    EXPECT_TRUE(mentions(status.output, "\"state\":\"unlocked\"")) << status.output;
    EXPECT_TRUE(mentions(status.output, "\"keys\":[\"e2e-key\"]")) << status.output;
    std::smatch remaining;
    ASSERT_TRUE(std::regex_search(status.output, remaining, std::regex("\"remaining_seconds\":([0-9]+)")))
        << status.output;
    EXPECT_GT(std::stoi(remaining[1]), 10000);
    EXPECT_LE(std::stoi(remaining[1]), 10800);
}

TEST_F(AskpassEndToEnd, SecondSshInsideTheWindowAsksNothing)
{
    ASSERT_TRUE(startHost({"--unlock", "approve"})) << context();
    Environment env = clientEnvironment();
    env.set("SSH_ASKPASS", countingAskpass().string());
    ASSERT_EQ(0, sshOnTerminal("true", {}, env).status) << context();
    ASSERT_EQ(1, askpassCalls()) << "the first ssh had to ask";
    const int requests = countLog("request ");

    const auto again = sshOnTerminal("echo again-ok", {}, env);
    EXPECT_EQ(0, again.status) << again.output << context();
    EXPECT_TRUE(mentions(again.output, "again-ok"));
    EXPECT_EQ(1, askpassCalls()) << "the agent had the key: ssh may not run the helper at all";
    EXPECT_EQ(requests, countLog("request ")) << "the agent had the key: no request may reach the host" << context();
}

TEST_F(AskpassEndToEnd, SshAddIsToldTheKeyWasAddedInsteadOfAPassphrase)
{
    ASSERT_TRUE(startHost({"--unlock", "approve"})) << context();
    TerminalRun add("/usr/bin/ssh-add", {keyPath().string()}, clientEnvironment());
    const auto run = add.finish(after(90s));

    EXPECT_EQ(1, countLog("reply addedToAgent")) << context();
    EXPECT_EQ(0, countLog("reply secret")) << "ssh-add must not be given the passphrase" << context();
    // "... for %1 ...": both sides of the lifetime appear in what the helper printed.
    const std::string text = L("askpass.added", {"\x01"});
    const auto cut = text.find('\x01');
    EXPECT_TRUE(mentions(run.output, helperSays(text.substr(0, cut)))) << run.output;
    EXPECT_TRUE(mentions(run.output, text.substr(cut + 1))) << run.output;
    expectKeyInAgent();
}

TEST_F(AskpassEndToEnd, CancelRefusesAndThenSnoozesWithoutADialog)
{
    ASSERT_TRUE(startHost({"--unlock", "cancel"}));
    const auto first = sshOnTerminal("true");
    EXPECT_NE(0, first.status) << first.output;
    EXPECT_TRUE(mentions(first.output, helperSays(L("cli.denied.cancelled")))) << first.output << context();
    EXPECT_EQ(1, countLog("unlock-result cancelled")) << context();

    const auto second = sshOnTerminal("true");
    EXPECT_NE(0, second.status) << second.output;
    EXPECT_TRUE(mentions(second.output, helperSays(L("askpass.denied.snoozed")))) << second.output << context();
    EXPECT_EQ(1, countLog("reply denied snoozed")) << context();
    EXPECT_EQ(1, countLog("showUnlock")) << "a snoozed requester gets no dialog" << context();
}

TEST_F(AskpassEndToEnd, KilledSshEndsTheHelperAndWithdrawsTheRequest)
{
    ASSERT_TRUE(startHost({"--unlock", "delay:120"}));
    // The orphaned helper is adopted by this process (see the fixture), so its exit status can be read.
    // As in a person's terminal, a shell leads the terminal's session and ssh is its child; so
    // killing ssh hangs nothing up, and only the helper's own watch can end it.
    std::vector<std::string> args = {"-c", "\"$@\"; exec sleep 120", "sh", "/usr/bin/ssh"};
    for (const auto& word : sshArguments("true")) {
        args.push_back(word);
    }
    TerminalRun shell("/bin/sh", args, clientEnvironment());
    ASSERT_TRUE(waitForLog("showUnlock", 1)) << context();
    const auto ssh = childNamed(shell.process().pid(), "ssh");
    ASSERT_TRUE(ssh.has_value()) << "no ssh under the shell";
    const auto helper = childNamed(*ssh, "vantorelle-askpass");
    ASSERT_TRUE(helper.has_value()) << "no helper under ssh";

    const auto killed = std::chrono::steady_clock::now();
    ::kill(*ssh, SIGKILL);
    const auto status = waitForChild(*helper, after(30s));
    const auto took = std::chrono::steady_clock::now() - killed;
    ASSERT_TRUE(status.has_value()) << "the helper outlived its ssh";
    EXPECT_EQ(1, *status);
    EXPECT_LT(took, 500ms) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";

    EXPECT_TRUE(waitForLog("client-gone passphrase", 1)) << context();
    EXPECT_TRUE(waitForLog("unlock-result abandoned", 1)) << context();
    EXPECT_EQ(0, countLog("reply secret")) << context();
    shell.process().kill();
}

TEST_F(AskpassEndToEnd, NothingListeningStartsTheAppThroughItsDesktopEntry)
{
    writeHostEntry("org.vantorelle.Vantorelle");

    const auto run = sshOnTerminal("echo launched-ok");
    EXPECT_EQ(0, run.status) << run.output << context();
    EXPECT_TRUE(mentions(run.output, "launched-ok")) << run.output;
    EXPECT_EQ(1, countLog("reply secret")) << context();
    expectLaunchedHostAndStopIt();
}

TEST_F(AskpassEndToEnd, BundleIdentifierFromTheEnvironmentChoosesTheApp)
{
    writeHostEntry("org.example.OtherHost");
    // The default identifier's entry names a program that does not exist: starting it fails at
    // once, so a helper that ignored the variable would end with "no app" quickly.
    writeFile(dataHome() / "applications/org.vantorelle.Vantorelle.desktop",
              "[Desktop Entry]\nType=Application\nExec=" + (root() / "missing-program").string() + "\n");
    Environment env = clientEnvironment();
    env.set("VANTORELLE_BUNDLE_ID", "org.example.OtherHost");

    const auto run = sshOnTerminal("echo other-ok", {}, env);
    EXPECT_EQ(0, run.status) << run.output << context();
    EXPECT_TRUE(mentions(run.output, "other-ok")) << run.output;
    expectLaunchedHostAndStopIt();
}

TEST_F(AskpassEndToEnd, EmptyBundleIdentifierStartsNothing)
{
    // Present but empty still replaces the default: the default's working entry must not be used.
    writeHostEntry("org.vantorelle.Vantorelle");
    Environment env = clientEnvironment();
    env.set("VANTORELLE_BUNDLE_ID", "");

    const auto began = std::chrono::steady_clock::now();
    const auto run = sshOnTerminal("true", {}, env);
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_NE(0, run.status) << run.output;
    EXPECT_TRUE(mentions(run.output, helperSays(L("cli.error.noapp")))) << run.output;
    EXPECT_LT(took, 10s);
    EXPECT_EQ(0, countLog("started")) << context();
}

TEST_F(AskpassEndToEnd, NothingListeningAndNoDesktopEntryFailsAtOnce)
{
    const auto began = std::chrono::steady_clock::now();
    const auto run = sshOnTerminal("true");
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_NE(0, run.status);
    EXPECT_TRUE(mentions(run.output, helperSays(L("cli.error.noapp")))) << run.output;
    // Far below the 15 s the retries would take if the failed start were not noticed.
    EXPECT_LT(took, 10s);
}

TEST_F(AskpassEndToEnd, HostKeyConfirmationIsAPlainQuestion)
{
    ASSERT_TRUE(startHost({"--unlock", "approve", "--answer", "yes"}));
    const auto run = sshOnTerminal("echo confirmed-ok", {"StrictHostKeyChecking=ask"});
    EXPECT_EQ(0, run.status) << run.output << context();
    EXPECT_TRUE(mentions(run.output, "confirmed-ok")) << run.output;
    bool asked = false;
    for (const auto& line : logLines()) {
        asked = asked
            || (line.starts_with("showPrompt secret=0 ")
                && mentions(line, "Are you sure you want to continue connecting"));
    }
    EXPECT_TRUE(asked) << context();
    EXPECT_EQ(1, countLog("reply answer")) << context();
    EXPECT_EQ(1, countLog("reply secret")) << context();
    EXPECT_FALSE(readFile(root() / "known_hosts").empty());
}

TEST_F(AskpassEndToEnd, LockRemovesTheKeyAndTheNextSshAsksAgain)
{
    ASSERT_TRUE(startHost({"--unlock", "approve"})) << context();
    ASSERT_EQ(0, sshOnTerminal("true").status) << context();
    expectKeyInAgent();

    const auto lock = cli({"lock"});
    EXPECT_EQ(0, lock.status) << lock.output << context();
    const auto listed = listAgent();
    EXPECT_FALSE(mentions(listed.output, test::fingerprintOf(keyPath().string() + ".pub"))) << listed.output;

    const auto again = sshOnTerminal("true");
    EXPECT_EQ(0, again.status) << again.output << context();
    EXPECT_EQ(2, countLog("showUnlock")) << context();
    EXPECT_EQ(2, countLog("request passphrase")) << "the second ssh ran the helper again" << context();
}

TEST_F(AskpassEndToEnd, SshWithoutAnyTerminalIsRefusedAsBackground)
{
    if (ownAncestry() != Requester::Kind::background) {
        GTEST_SKIP() << "this test process has a terminal among its ancestors, so a child of it can never look like "
                        "a background job; run the suite without a terminal (as CI does)";
    }
    ASSERT_TRUE(startHost({"--unlock", "approve"})) << context();
    // A plain child runs in a session of its own with no controlling terminal.
    auto ssh = spawnLogged("/usr/bin/ssh", sshArguments("true"), clientEnvironment(), root() / "ssh.out");
    ASSERT_TRUE(ssh.has_value());
    auto status = ssh->waitUntil(after(90s));
    if (!status) {
        status = ssh->kill();
    }
    const std::string text = readFile(root() / "ssh.out");
    EXPECT_NE(0, *status) << text;
    EXPECT_TRUE(mentions(text, helperSays(L("cli.denied.background")))) << text << context();
    EXPECT_EQ(1, countLog("notifyBackground requester=ssh kind=background")) << context();
    EXPECT_EQ(0, countLog("showUnlock")) << context();
    EXPECT_EQ(0, countLog("showPrompt")) << context();
    EXPECT_EQ(1, countLog("reply denied background")) << context();
}

} // namespace
} // namespace vantorelle::e2e
