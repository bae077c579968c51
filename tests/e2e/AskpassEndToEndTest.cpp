// The whole road of a passphrase request with real OpenSSH: ssh runs the built helper, which asks
// the test host over the socket; the host decides with the real coordinator, loads the key into a
// private ssh-agent and answers; ssh then logs in to a private sshd.
#include <regex>

#include "EndToEnd.h"
#include "i18n/L.h"

namespace vantorelle::e2e {
namespace {

std::string helperSays(const std::string& message)
{
    return "vantorelle-askpass: " + message;
}

// Waits for `pid` to end as a child of ours: an orphan becomes ours only once its parent is gone.
std::optional<int> waitForChild(pid_t pid)
{
    int status = 0;
    if (!waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
        return std::nullopt;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
class AskpassEndToEnd : public EndToEnd
{
protected:
    void SetUp() override
    {
        i18n::setCurrentLanguage(Language::English);
        EndToEnd::SetUp();
        if (!IsSkipped() && !HasFatalFailure()) {
            writeFile(root() / "store", keyPath().string() + "\t" + kPassphrase + "\n");
            startSshd();
        }
    }
    void TearDown() override
    {
        stopGently(m_host);
        EndToEnd::TearDown();
    }
    fs::path logPath() const { return root() / "host.log"; }
    std::string context() const { return "\n--- host log ---\n" + readFile(logPath()); }
    int countLog(const std::string& prefix) const { return occurrences("\n" + readFile(logPath()), "\n" + prefix); }
    bool waitForLog(const std::string& prefix, int count = 1) const
    {
        return waitFor([&] { return countLog(prefix) >= count; });
    }
    std::vector<std::string> hostArguments(const std::vector<std::string>& script) const
    {
        std::vector<std::string> args = {"--socket",      socketPath(), "--agent",        agentSocket(), "--keys",
                                         home() / ".ssh", "--store",    root() / "store", "--log",       logPath()};
        args.insert(args.end(), script.begin(), script.end());
        return args;
    }
    void startHost(const std::vector<std::string>& script)
    {
        Environment env = test::minimalEnvironment();
        env.set("HOME", home());
        m_host = spawnLogged(VANTORELLE_TESTHOST, hostArguments(script), env, root() / "host.stderr");
        ASSERT_TRUE(m_host && waitFor([&] { return countLog("listening") > 0 || !m_host->running(); })
                    && m_host->running())
            << readFile(root() / "host.stderr") << context();
    }
    // A desktop entry "<id>.desktop" in the clients' XDG_DATA_HOME that starts the test host.
    void writeHostEntry(const std::string& id, const std::string& program = VANTORELLE_TESTHOST)
    {
        std::string exec = program;
        for (const auto& word : hostArguments({"--unlock", "approve"})) {
            exec += " " + word;
        }
        writeFile(dataHome() / ("applications/" + id + ".desktop"),
                  "[Desktop Entry]\nType=Application\nName=Vantorelle test host\nExec=" + exec + "\n");
    }

    std::optional<ChildProcess> m_host;
};

// The host key question first, then the passphrase request; the window the approval opens spares
// ssh the helper until a lock; ssh-add is told the key went in instead of being given the passphrase.
TEST_F(AskpassEndToEnd, ApprovalOpensAWindowThatLockClosesAndSshAddGetsTheKeyAdded)
{
    ASSERT_NO_FATAL_FAILURE(startHost({"--unlock", "approve", "--answer", "yes"}));
    // An askpass that notes each call, then becomes the helper (same process, so its parent is ssh).
    writeFile(root() / "counting-askpass",
              "#!/bin/sh\necho called >> '" + (root() / "calls").string() + "'\nexec '" VANTORELLE_ASKPASS "' \"$@\"\n",
              fs::perms::owner_all);
    Environment env = clientEnvironment();
    env.set("SSH_ASKPASS", root() / "counting-askpass");
    const auto calls = [&] { return occurrences(readFile(root() / "calls"), "called"); };

    const auto first = ssh("echo e2e-$((40+2))", {"StrictHostKeyChecking=ask"}, env);
    EXPECT_EQ(0, first.status) << first.output << context();
    EXPECT_TRUE(mentions(first.output, "e2e-42")) << first.output;
    EXPECT_TRUE(std::regex_search(
        readFile(logPath()), std::regex("\nshowPrompt secret=0 [^\n]*Are you sure you want to continue connecting")))
        << context();
    EXPECT_EQ(1, countLog("reply answer")) << context();
    EXPECT_FALSE(readFile(root() / "known_hosts").empty());
    EXPECT_EQ(1, countLog("showUnlock requester=ssh kind=interactive keys=1 duration=10800 mode=biometric"))
        << context();
    EXPECT_EQ(1, countLog("reply secret")) << context();
    EXPECT_TRUE(agentHas(keyPath()));
    EXPECT_TRUE(mentions(agentLog(), "(life: 10800)")) << agentLog();
    const auto status = cli({"status", "--json"}).output;
    EXPECT_TRUE(mentions(status, "\"keys\":[\"e2e-key\"]") && mentions(status, "\"state\":\"unlocked\"")) << status;
    std::smatch remaining;
    ASSERT_TRUE(std::regex_search(status, remaining, std::regex("\"remaining_seconds\":([0-9]+)"))) << status;
    EXPECT_GT(std::stoi(remaining[1]), 10000);
    EXPECT_LE(std::stoi(remaining[1]), 10800);

    // Inside the window the agent has the key: ssh runs no helper and the host hears nothing.
    EXPECT_EQ(0, ssh("true", {}, env).status) << context();
    EXPECT_EQ(2, calls());
    EXPECT_EQ(1, countLog("request passphrase")) << context();

    EXPECT_EQ(0, cli({"lock"}).status) << context();
    EXPECT_FALSE(agentHas(keyPath()));
    EXPECT_EQ(0, ssh("true", {}, env).status) << context();
    EXPECT_EQ(3, calls());
    EXPECT_EQ(2, countLog("showUnlock")) << context();

    EXPECT_EQ(0, cli({"lock"}).status) << context();
    const auto added = TerminalRun("/usr/bin/ssh-add", {keyPath()}, clientEnvironment()).finish();
    EXPECT_EQ(1, countLog("reply addedToAgent")) << context();
    EXPECT_EQ(2, countLog("reply secret")) << "ssh-add must not be given the passphrase" << context();
    // "... for %1 ...": both sides of the lifetime appear in what the helper printed.
    const std::string text = L("askpass.added", {"\x01"});
    const auto cut = text.find('\x01');
    EXPECT_TRUE(mentions(added.output, helperSays(text.substr(0, cut))) && mentions(added.output, text.substr(cut + 1)))
        << added.output;
    EXPECT_TRUE(agentHas(keyPath()));
}

TEST_F(AskpassEndToEnd, KilledSshEndsTheHelperAndWithdrawsTheRequest)
{
    ASSERT_NO_FATAL_FAILURE(startHost({"--unlock", "hold"}));
    // As in a person's terminal, a shell leads the terminal's session and ssh is its child; so
    // killing ssh hangs nothing up, and only the helper's own watch can end it.
    std::vector<std::string> args = {"-c", "\"$@\"; exec sleep 120", "sh", "/usr/bin/ssh"};
    std::ranges::copy(sshArguments("true"), std::back_inserter(args));
    TerminalRun shell("/bin/sh", args, clientEnvironment());
    ASSERT_TRUE(waitForLog("showUnlock")) << context();
    const auto ssh = test::childrenOf(shell.process().pid(), "ssh");
    ASSERT_EQ(1u, ssh.size()) << "no ssh under the shell";
    const auto helper = test::childrenOf(ssh[0]); // its only child
    ASSERT_EQ(1u, helper.size()) << "no helper under ssh";
    EXPECT_TRUE(mentions(test::readProcFile(helper[0], "cmdline"), "vantorelle-askpass"));

    const auto killed = std::chrono::steady_clock::now();
    ::kill(ssh[0], SIGKILL);
    EXPECT_EQ(1, waitForChild(helper[0])) << "the helper outlived its ssh";
    const auto took = std::chrono::steady_clock::now() - killed;
    EXPECT_LT(took, 500ms) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    EXPECT_TRUE(waitForLog("client-gone passphrase")) << context();
    EXPECT_TRUE(waitForLog("unlock-result abandoned")) << context();
    EXPECT_EQ(0, countLog("reply secret")) << context();
    shell.process().kill();
}

TEST_F(AskpassEndToEnd, NothingListeningStartsTheAppTheDesktopEntryNames)
{
    // Each case: its name, the desktop entries starting the host (the default's may be broken),
    // VANTORELLE_BUNDLE_ID and whether the host is started. In the second the default's entry fails
    // at once: a helper ignoring the variable would end quickly with "no app".
    // clang-format off
    const std::tuple<const char*, std::vector<std::string>, std::optional<std::string>, bool> cases[] = {
        {"the default entry", {"org.vantorelle.Vantorelle"}, std::nullopt, true},
        {"the variable's entry", {"org.example.OtherHost", "broken:org.vantorelle.Vantorelle"}, "org.example.OtherHost", true},
        {"an empty variable still replaces the default", {"org.vantorelle.Vantorelle"}, "", false},
        {"no entry at all", {}, std::nullopt, false}};
    // clang-format on
    for (const auto& [name, entries, bundle, launches] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(dataHome());
        fs::remove(logPath());
        run("/usr/bin/ssh-add", {"-D"}); // the last case's approval loaded the key
        for (const auto& id : entries) {
            id.starts_with("broken:") ? writeHostEntry(id.substr(7), root() / "missing-program") : writeHostEntry(id);
        }
        Environment env = clientEnvironment();
        if (bundle) {
            env.set("VANTORELLE_BUNDLE_ID", *bundle);
        }
        const auto began = std::chrono::steady_clock::now();
        const auto run = ssh("echo launched-ok", {}, env);
        if (!launches) {
            EXPECT_NE(0, run.status);
            EXPECT_TRUE(mentions(run.output, helperSays(L("cli.error.noapp")))) << run.output;
            // Far below the 15 s the retries would take if the failed start were not noticed.
            EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
            EXPECT_EQ(0, countLog("started")) << context();
            continue;
        }
        EXPECT_EQ(0, run.status) << run.output << context();
        EXPECT_TRUE(mentions(run.output, "launched-ok")) << run.output;
        EXPECT_EQ(1, countLog("reply secret")) << context();
        // The helper started the host with "--background"; it was adopted here, so it is ours to reap.
        std::smatch started;
        const std::string log = readFile(logPath());
        ASSERT_TRUE(std::regex_search(log, started, std::regex("started pid=([0-9]+) args=(.*)"))) << log;
        EXPECT_TRUE(std::string(started[2]).ends_with(" --background")) << started[2];
        ::kill(std::stoi(started[1]), SIGTERM);
        EXPECT_EQ(0, waitForChild(std::stoi(started[1])));
    }
}

} // namespace
} // namespace vantorelle::e2e
