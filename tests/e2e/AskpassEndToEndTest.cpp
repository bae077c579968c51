// The whole road of a passphrase request with real OpenSSH: ssh runs the built helper, which asks
// the test host over the socket; the host decides with the real coordinator, loads the key into a
// private ssh-agent and answers; ssh then logs in to a private sshd.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "E2EWorld.h"
#include "i18n/L.h"
#include "unlock/RequesterResolver.h"

namespace vantorelle::e2e {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The helper's stderr reaches the terminal, where line feeds become CR LF; the texts themselves
// are single lines.
bool mentions(const std::string& output, const std::string& text)
{
    return output.find(text) != std::string::npos;
}

std::string helperSays(const std::string& message)
{
    return "vantorelle-askpass: " + message;
}

Requester::Kind ownAncestry()
{
    return RequesterResolver::resolve(
               ::getpid(), [](std::int32_t pid) { return RequesterResolver::liveTable(pid); }, std::nullopt)
        .kind;
}

// Waits for `pid` to end as a child of ours. An orphan becomes ours (the world makes this process
// a subreaper) only once its parent is gone, so "not our child" is retried until the deadline.
std::optional<int> waitForChild(pid_t pid, Deadline deadline)
{
    while (true) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(1ms);
    }
}

// The child of `parent` named `name`, found through /proc.
std::optional<pid_t> childNamed(pid_t parent, const std::string& name)
{
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const auto info = RequesterResolver::liveTable(std::stoi(pid));
        if (info && info->ppid == parent && info->name == name) {
            return info->pid;
        }
    }
    return std::nullopt;
}

class AskpassEndToEnd : public testing::Test
{
protected:
    void SetUp() override
    {
        i18n::setCurrentLanguage(Language::English);
        if (auto why = World::unavailableReason()) {
            GTEST_SKIP() << *why;
        }
        if (ownAncestry() == Requester::Kind::remote) {
            GTEST_SKIP() << "this test process runs under sshd, so every requester below it resolves as remote; "
                            "run the suite from a local session";
        }
        ASSERT_TRUE(world.makeKey()) << world.problem();
        ASSERT_TRUE(world.startAgent()) << world.problem();
        ASSERT_TRUE(world.startSshd()) << world.problem();
    }

    std::string context() const { return "\n--- host log ---\n" + readFile(world.logPath()); }

    void expectKeyInAgent()
    {
        const auto listed = world.listAgent();
        EXPECT_TRUE(mentions(listed.output, world.fingerprint())) << listed.output;
    }

    World world;
};

TEST_F(AskpassEndToEnd, ApprovalLoadsTheKeyForAWindowAndSshLogsIn)
{
    ASSERT_TRUE(world.startHost({"--unlock", "approve"})) << world.problem();
    const auto run = world.sshOnTerminal("echo e2e-$((40+2))");
    EXPECT_EQ(0, run.status) << run.output << context();
    EXPECT_TRUE(mentions(run.output, "e2e-42")) << run.output;
    EXPECT_EQ(1, world.countLog("showUnlock requester=ssh kind=interactive keys=1 duration=10800 mode=biometric"))
        << context();
    EXPECT_EQ(1, world.countLog("reply secret")) << context();

    expectKeyInAgent();
    EXPECT_TRUE(mentions(world.agentLog(), "(life: 10800)")) << world.agentLog();

    const auto status = world.cli({"status", "--json"});
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
    ASSERT_TRUE(world.startHost({"--unlock", "approve"})) << world.problem();
    Environment env = world.clientEnvironment();
    env.set("SSH_ASKPASS", world.countingAskpass().string());
    ASSERT_EQ(0, world.sshOnTerminal("true", {}, env).status) << context();
    ASSERT_EQ(1, world.askpassCalls()) << "the first ssh had to ask";
    const int requests = world.countLog("request ");

    const auto again = world.sshOnTerminal("echo again-ok", {}, env);
    EXPECT_EQ(0, again.status) << again.output << context();
    EXPECT_TRUE(mentions(again.output, "again-ok"));
    EXPECT_EQ(1, world.askpassCalls()) << "the agent had the key: ssh may not run the helper at all";
    EXPECT_EQ(requests, world.countLog("request "))
        << "the agent had the key: no request may reach the host" << context();
}

TEST_F(AskpassEndToEnd, SshAddIsToldTheKeyWasAddedInsteadOfAPassphrase)
{
    ASSERT_TRUE(world.startHost({"--unlock", "approve"})) << world.problem();
    auto add = TerminalRun::start("/usr/bin/ssh-add", {world.keyPath().string()}, world.clientEnvironment());
    ASSERT_TRUE(add.has_value());
    const auto run = add->finish(after(90s));

    EXPECT_EQ(1, world.countLog("reply addedToAgent")) << context();
    EXPECT_EQ(0, world.countLog("reply secret")) << "ssh-add must not be given the passphrase" << context();
    // "... for %1 ...": both sides of the lifetime appear in what the helper printed.
    const std::string text = L("askpass.added", {"\x01"});
    const auto cut = text.find('\x01');
    EXPECT_TRUE(mentions(run.output, helperSays(text.substr(0, cut)))) << run.output;
    EXPECT_TRUE(mentions(run.output, text.substr(cut + 1))) << run.output;
    expectKeyInAgent();
}

TEST_F(AskpassEndToEnd, CancelRefusesAndThenSnoozesWithoutADialog)
{
    ASSERT_TRUE(world.startHost({"--unlock", "cancel"})) << world.problem();
    const auto first = world.sshOnTerminal("true");
    EXPECT_NE(0, first.status) << first.output;
    EXPECT_TRUE(mentions(first.output, helperSays(L("cli.denied.cancelled")))) << first.output << context();
    EXPECT_EQ(1, world.countLog("unlock-result cancelled")) << context();

    const auto second = world.sshOnTerminal("true");
    EXPECT_NE(0, second.status) << second.output;
    EXPECT_TRUE(mentions(second.output, helperSays(L("askpass.denied.snoozed")))) << second.output << context();
    EXPECT_EQ(1, world.countLog("reply denied snoozed")) << context();
    EXPECT_EQ(1, world.countLog("showUnlock")) << "a snoozed requester gets no dialog" << context();
}

TEST_F(AskpassEndToEnd, KilledSshEndsTheHelperAndWithdrawsTheRequest)
{
    ASSERT_TRUE(world.startHost({"--unlock", "delay:120"})) << world.problem();
    // The orphaned helper is adopted by this process (see World), so its exit status can be read.
    // As in a person's terminal, a shell leads the terminal's session and ssh is its child; so
    // killing ssh hangs nothing up, and only the helper's own watch can end it.
    std::vector<std::string> args = {"-c", "\"$@\"; exec sleep 120", "sh", "/usr/bin/ssh"};
    for (const auto& word : world.sshArguments("true")) {
        args.push_back(word);
    }
    auto shell = TerminalRun::start("/bin/sh", args, world.clientEnvironment());
    ASSERT_TRUE(shell.has_value());
    ASSERT_TRUE(world.waitForLog("showUnlock", 1, after(60s))) << context();
    const auto ssh = childNamed(shell->process().pid(), "ssh");
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

    EXPECT_TRUE(world.waitForLog("client-gone passphrase", 1, after(30s))) << context();
    EXPECT_TRUE(world.waitForLog("unlock-result abandoned", 1, after(30s))) << context();
    EXPECT_EQ(0, world.countLog("reply secret")) << context();
    shell->process().kill();
}

// A desktop entry "<id>.desktop" in the clients' XDG_DATA_HOME that starts the test host.
void writeHostEntry(const World& world, const std::string& id)
{
    std::string exec = World::hostPath();
    for (const auto& word : world.hostArguments({"--unlock", "approve"})) {
        exec += " " + word;
    }
    writeFile(world.dataHome() / ("applications/" + id + ".desktop"),
              "[Desktop Entry]\nType=Application\nName=Vantorelle test host\nExec=" + exec + "\n");
}

// Checks that the helper started the host with "--background", then stops and reaps it (the
// detached host was adopted by this process, see World).
void expectLaunchedHostAndStopIt(const World& world)
{
    std::smatch started;
    const std::string log = readFile(world.logPath());
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

TEST_F(AskpassEndToEnd, NothingListeningStartsTheAppThroughItsDesktopEntry)
{
    writeHostEntry(world, "org.vantorelle.Vantorelle");

    const auto run = world.sshOnTerminal("echo launched-ok");
    EXPECT_EQ(0, run.status) << run.output << context();
    EXPECT_TRUE(mentions(run.output, "launched-ok")) << run.output;
    EXPECT_EQ(1, world.countLog("reply secret")) << context();
    expectLaunchedHostAndStopIt(world);
}

TEST_F(AskpassEndToEnd, BundleIdentifierFromTheEnvironmentChoosesTheApp)
{
    writeHostEntry(world, "org.example.OtherHost");
    // The default identifier's entry names a program that does not exist: starting it fails at
    // once, so a helper that ignored the variable would end with "no app" quickly.
    writeFile(world.dataHome() / "applications/org.vantorelle.Vantorelle.desktop",
              "[Desktop Entry]\nType=Application\nExec=" + (world.root() / "missing-program").string() + "\n");
    Environment env = world.clientEnvironment();
    env.set("VANTORELLE_BUNDLE_ID", "org.example.OtherHost");

    const auto run = world.sshOnTerminal("echo other-ok", {}, env);
    EXPECT_EQ(0, run.status) << run.output << context();
    EXPECT_TRUE(mentions(run.output, "other-ok")) << run.output;
    expectLaunchedHostAndStopIt(world);
}

TEST_F(AskpassEndToEnd, EmptyBundleIdentifierStartsNothing)
{
    // Present but empty still replaces the default: the default's working entry must not be used.
    writeHostEntry(world, "org.vantorelle.Vantorelle");
    Environment env = world.clientEnvironment();
    env.set("VANTORELLE_BUNDLE_ID", "");

    const auto began = std::chrono::steady_clock::now();
    const auto run = world.sshOnTerminal("true", {}, env);
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_NE(0, run.status) << run.output;
    EXPECT_TRUE(mentions(run.output, helperSays(L("cli.error.noapp")))) << run.output;
    EXPECT_LT(took, 10s);
    EXPECT_EQ(0, world.countLog("started")) << context();
}

TEST_F(AskpassEndToEnd, NothingListeningAndNoDesktopEntryFailsAtOnce)
{
    const auto began = std::chrono::steady_clock::now();
    const auto run = world.sshOnTerminal("true");
    const auto took = std::chrono::steady_clock::now() - began;
    EXPECT_NE(0, run.status);
    EXPECT_TRUE(mentions(run.output, helperSays(L("cli.error.noapp")))) << run.output;
    // Far below the 15 s the retries would take if the failed start were not noticed.
    EXPECT_LT(took, 10s);
}

TEST_F(AskpassEndToEnd, HostKeyConfirmationIsAPlainQuestion)
{
    ASSERT_TRUE(world.startHost({"--unlock", "approve", "--answer", "yes"})) << world.problem();
    const auto run = world.sshOnTerminal("echo confirmed-ok", {"StrictHostKeyChecking=ask"});
    EXPECT_EQ(0, run.status) << run.output << context();
    EXPECT_TRUE(mentions(run.output, "confirmed-ok")) << run.output;
    bool asked = false;
    for (const auto& line : world.logLines()) {
        asked = asked
            || (line.starts_with("showPrompt secret=0 ")
                && mentions(line, "Are you sure you want to continue connecting"));
    }
    EXPECT_TRUE(asked) << context();
    EXPECT_EQ(1, world.countLog("reply answer")) << context();
    EXPECT_EQ(1, world.countLog("reply secret")) << context();
    EXPECT_FALSE(readFile(world.root() / "known_hosts").empty());
}

TEST_F(AskpassEndToEnd, LockRemovesTheKeyAndTheNextSshAsksAgain)
{
    ASSERT_TRUE(world.startHost({"--unlock", "approve"})) << world.problem();
    ASSERT_EQ(0, world.sshOnTerminal("true").status) << context();
    expectKeyInAgent();

    const auto lock = world.cli({"lock"});
    EXPECT_EQ(0, lock.status) << lock.output << context();
    const auto listed = world.listAgent();
    EXPECT_FALSE(mentions(listed.output, world.fingerprint())) << listed.output;

    const auto again = world.sshOnTerminal("true");
    EXPECT_EQ(0, again.status) << again.output << context();
    EXPECT_EQ(2, world.countLog("showUnlock")) << context();
    EXPECT_EQ(2, world.countLog("request passphrase")) << "the second ssh ran the helper again" << context();
}

TEST_F(AskpassEndToEnd, SshWithoutAnyTerminalIsRefusedAsBackground)
{
    if (ownAncestry() != Requester::Kind::background) {
        GTEST_SKIP() << "this test process has a terminal among its ancestors, so a child of it can never look like "
                        "a background job; run the suite without a terminal (as CI does)";
    }
    ASSERT_TRUE(world.startHost({"--unlock", "approve"})) << world.problem();
    // A plain child runs in a session of its own with no controlling terminal.
    const auto outputPath = world.root() / "ssh.out";
    Fd output(::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ChildProcess::Options options;
    options.path = "/usr/bin/ssh";
    options.args = world.sshArguments("true");
    options.env = world.clientEnvironment();
    options.stdoutFd = output.get();
    options.stderrFd = output.get();
    auto ssh = ChildProcess::spawn(options);
    ASSERT_TRUE(ssh.has_value());
    auto status = ssh->waitUntil(after(90s));
    if (!status) {
        status = ssh->kill();
    }
    const std::string text = readFile(outputPath);
    EXPECT_NE(0, *status) << text;
    EXPECT_TRUE(mentions(text, helperSays(L("cli.denied.background")))) << text << context();
    EXPECT_EQ(1, world.countLog("notifyBackground requester=ssh kind=background")) << context();
    EXPECT_EQ(0, world.countLog("showUnlock")) << context();
    EXPECT_EQ(0, world.countLog("showPrompt")) << context();
    EXPECT_EQ(1, world.countLog("reply denied background")) << context();
}

} // namespace
} // namespace vantorelle::e2e
