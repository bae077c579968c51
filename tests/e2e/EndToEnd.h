// The end-to-end fixture both suites share: one scenario's private OpenSSH world (a key with a
// passphrase, a plain key, ssh-agent, sshd on 127.0.0.1 with its own host key) and ways to run
// ssh, ssh-add and the command line against it, each on a terminal of its own when asked.
#pragma once

#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "ssh/KeyPassphrase.h"
#include "support/SshTools.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/WaitFor.h"
#include "sys/Io.h"
#include "sys/Pty.h"
#include "unlock/RequesterResolver.h"

namespace vantorelle::e2e {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using test::readFile;
using test::waitFor;
using test::writeFile;
using Deadline = std::chrono::steady_clock::time_point;

inline constexpr const char* kPassphrase = "e2e horse battery staple";

inline Deadline after(std::chrono::seconds seconds)
{
    return std::chrono::steady_clock::now() + seconds;
}
inline bool mentions(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}
inline int occurrences(const std::string& text, const std::string& part)
{
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}
inline std::string userName()
{
    const passwd* entry = ::getpwuid(::geteuid());
    return entry ? entry->pw_name : "root";
}
// `env` with each "NAME=value" of `settings` set.
inline Environment with(Environment env, const std::vector<std::string>& settings)
{
    for (const auto& setting : settings) {
        env.set(setting.substr(0, setting.find('=')), setting.substr(setting.find('=') + 1));
    }
    return env;
}
inline std::optional<ChildProcess> spawnLogged(const std::string& path, const std::vector<std::string>& args,
                                               Environment env, const fs::path& log)
{
    Fd fd(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    auto child = ChildProcess::spawn({path, args, std::move(env), std::nullopt, fd.get(), fd.get()});
    return child ? std::optional(std::move(*child)) : std::nullopt;
}
inline std::optional<int> stopGently(std::optional<ChildProcess>& process, int signal = SIGTERM)
{
    std::optional<int> status;
    if (process && process->running()) {
        process->signal(signal);
        if (!(status = process->waitUntil(after(30s)))) {
            process->kill();
        }
    }
    process.reset();
    return status;
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
    RunResult finish(Deadline deadline = after(90s))
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
            if (io::pollOne(m_pty.master.get(), POLLIN, std::min(deadline, after(0s) + 50ms)) > 0) {
                drain();
            }
            status = m_process.waitUntil(after(0s));
            if (!status && after(0s) >= deadline) {
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

class EndToEnd : public testing::Test
{
protected:
    void SetUp() override
    {
        if (::access("/usr/sbin/sshd", X_OK) != 0 || ::access("/usr/bin/ssh", X_OK) != 0) {
            GTEST_SKIP() << "sshd or ssh is not installed (Debian packages openssh-server, openssh-client)";
        }
        if (::mkdir("/run/sshd", 0755) != 0 && errno != EEXIST) {
            GTEST_SKIP() << "sshd's privilege separation directory /run/sshd is missing and cannot be created";
        }
        if (RequesterResolver::resolveLive(::getpid(), std::nullopt).kind == Requester::Kind::remote) {
            GTEST_SKIP() << "this test process runs under sshd, so every requester below it resolves as remote; "
                            "run the suite from a local session";
        }
        // Whatever the daemons and tools leave orphaned is adopted here instead of by a PID 1 that
        // may never reap.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        fs::create_directories(root() / "home/.ssh");
        fs::create_directories(root() / "app");
        fs::permissions(root() / "app", fs::perms::owner_all);
        test::makeKey(keyPath(), {.comment = "e2e-key"});
        // The passphrase is typed on a terminal, never given on a command line.
        const SecretString passphrase{std::string_view(kPassphrase)};
        ASSERT_TRUE(KeyPassphrase::add(passphrase, passphrase, keyPath().string(), test::minimalEnvironment()));
        test::makeKey(plainKey(), {.comment = "plain-key"});
        writeFile(root() / "authorized_keys", readFile(keyPath() += ".pub") + readFile(plainKey() += ".pub"));
        m_agent = spawnLogged("/usr/bin/ssh-agent", {"-d", "-a", agentSocket()}, test::minimalEnvironment(),
                              root() / "agent.log");
        ASSERT_TRUE(m_agent && waitFor([&] { return fs::is_socket(agentSocket()); })) << agentLog();
    }
    void TearDown() override
    {
        stopGently(m_sshd);
        stopGently(m_agent);
        // Adopted processes normally end on their own once the daemons are gone; then the rest is killed.
        const auto reaped = [] {
            while (::waitpid(-1, nullptr, WNOHANG) > 0) { }
            return errno == ECHILD;
        };
        const auto killed = [&] {
            for (const pid_t pid : test::childrenOfThisProcess()) {
                ::kill(pid, SIGKILL);
            }
            return reaped();
        };
        waitFor(reaped, 10s) || waitFor(killed, 10s);
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    }

    fs::path root() const { return m_dir.path(); }
    fs::path home() const { return root() / "home"; }
    fs::path keyPath() const { return home() / ".ssh/id_ed25519"; }
    fs::path plainKey() const { return home() / ".ssh/id_plain"; }
    fs::path socketPath() const { return root() / "app/c.sock"; }
    fs::path agentSocket() const { return root() / "agent.sock"; }
    fs::path dataHome() const { return root() / "data"; }
    std::string agentLog() const { return readFile(root() / "agent.log"); }

    void startSshd()
    {
        const auto hostKey = test::makeKey(root() / "ssh_host_ed25519_key");
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
            m_sshd = spawnLogged("/usr/sbin/sshd", {"-D", "-e", "-f", root() / "sshd_config"},
                                 test::minimalEnvironment(), root() / "sshd.log");
            ASSERT_TRUE(m_sshd);
            if (waitFor(
                    [&] {
                        Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
                        return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
                            || m_sshd->waitUntil(after(0s));
                    },
                    20s)
                && m_sshd->running()) {
                return;
            }
            stopGently(m_sshd);
            ASSERT_TRUE(mentions(readFile(root() / "sshd.log"), "Address already in use"))
                << readFile(root() / "sshd.log");
        }
        FAIL() << "no free port for sshd";
    }

    // A private HOME, English texts, the helper as askpass (forced), the app's socket, the private
    // agent and XDG data directories; a sanitizer build's settings reach the helper too.
    Environment clientEnvironment() const
    {
        Environment env
            = with({},
                   {"PATH=/usr/bin:/bin", "HOME=" + home().string(), "USER=" + userName(), "LOGNAME=" + userName(),
                    "LANG=C.UTF-8", "LANGUAGE=en", "SSH_ASKPASS=" VANTORELLE_ASKPASS, "SSH_ASKPASS_REQUIRE=force",
                    "VANTORELLE_SOCKET=" + socketPath().string(), "SSH_AUTH_SOCK=" + agentSocket().string(),
                    "XDG_DATA_HOME=" + dataHome().string(), "XDG_DATA_DIRS=" + (root() / "no-data-dirs").string(),
                    "XDG_CONFIG_HOME=" + (home() / ".config").string()});
        for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
            if (const char* value = std::getenv(name)) {
                env.set(name, value);
            }
        }
        return env;
    }
    // ssh to the test sshd running `command` with the passphrase key; ssh keeps the first value of
    // an option, so the scenario's own `options` come first.
    std::vector<std::string> sshArguments(const std::string& command, const std::vector<std::string>& options = {},
                                          const fs::path& key = {}) const
    {
        std::vector<std::string> args
            = {"-F", "/dev/null", "-p", std::to_string(m_port), "-l", userName(), "-i", key.empty() ? keyPath() : key};
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
    RunResult ssh(const std::string& command, const std::vector<std::string>& options = {},
                  std::optional<Environment> env = std::nullopt)
    {
        return TerminalRun("/usr/bin/ssh", sshArguments(command, options), env.value_or(clientEnvironment())).finish();
    }
    RunResult run(const std::string& path, const std::vector<std::string>& args) const
    {
        const Environment env
            = with(test::minimalEnvironment(),
                   {"SSH_AUTH_SOCK=" + agentSocket().string(), "HOME=" + home().string(), "LANGUAGE=en",
                    "VANTORELLE_SOCKET=" + socketPath().string(), "XDG_CONFIG_HOME=" + (home() / ".config").string()});
        auto ran = ChildProcess::run(path, args, env, ChildProcess::StandardError::merge, after(60s));
        return ran ? RunResult{ran->status, ran->output} : RunResult{};
    }
    RunResult listAgent() const { return run("/usr/bin/ssh-add", {"-l", "-E", "sha256"}); }
    RunResult cli(const std::vector<std::string>& args) const { return run(VANTORELLE_CLI, args); }
    bool agentHas(const fs::path& key) const
    {
        return mentions(listAgent().output, test::fingerprintOf(key.string() + ".pub"));
    }

    TempDir m_dir{"vt-e2e"};
    int m_port = 0;
    std::optional<ChildProcess> m_agent, m_sshd;
};

} // namespace vantorelle::e2e
