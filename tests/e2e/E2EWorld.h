// E2EWorld: one scenario's private OpenSSH world (sshd on 127.0.0.1, ssh-agent, a passphrase key)
// plus the test host, and ways to run ssh and the other tools against them.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "sys/ChildProcess.h"
#include "sys/Environment.h"
#include "sys/Pty.h"

namespace vantorelle::e2e {

using Deadline = std::chrono::steady_clock::time_point;
Deadline after(std::chrono::seconds seconds);

struct RunResult
{
    int status = -1; // exit status, 128 + signal, or -1 when it never ran
    std::string output;
};

// A program on a pseudo-terminal of the test's own, which becomes its controlling terminal.
class TerminalRun
{
public:
    static std::optional<TerminalRun> start(const std::string& path, const std::vector<std::string>& args,
                                            const Environment& env);
    // Reads everything it prints until it ends (killed at the deadline).
    RunResult finish(Deadline deadline);
    ChildProcess& process() { return m_process; }

private:
    TerminalRun(Pty pty, Fd slave, ChildProcess process);
    Pty m_pty;
    Fd m_slave; // kept open so the master never reads EIO before the child has its own
    ChildProcess m_process;
    std::string m_output;
};

class World
{
public:
    // Why the scenario cannot run here at all (no sshd, no privilege-separation directory), or
    // nothing. Checked before anything starts.
    static std::optional<std::string> unavailableReason();

    // Makes this process a subreaper for the world's lifetime: whatever its daemons and tools leave
    // orphaned (sshd's connection processes, a detached application, a helper whose ssh died) is
    // adopted here instead of by a PID 1 that may never reap.
    World();
    // Stops every daemon it started and reaps them and every adopted orphan.
    ~World();

    const std::filesystem::path& root() const { return m_dir.path(); }
    std::filesystem::path keyPath() const { return root() / "keys/id_ed25519"; }
    std::filesystem::path socketPath() const { return root() / "app/c.sock"; }
    std::filesystem::path logPath() const { return root() / "host.log"; }
    std::filesystem::path agentSocket() const { return root() / "agent.sock"; }
    std::filesystem::path dataHome() const { return root() / "data"; }
    int port() const { return m_port; }

    // Each returns false with a message added to `problem()` when it fails.
    bool makeKey();
    bool startAgent();
    bool startSshd();
    // The host's arguments for a script ("--unlock approve" etc.), socket and files filled in.
    std::vector<std::string> hostArguments(const std::vector<std::string>& script) const;
    bool startHost(const std::vector<std::string>& script);
    void stopHost();
    const std::string& problem() const { return m_problem; }

    // The environment ssh and the tools get: a private HOME, English texts, the helper as
    // askpass (forced), the host's socket, the private agent and XDG data directories.
    Environment clientEnvironment() const;
    // ssh to the test sshd running `command`, with extra -o options.
    std::vector<std::string> sshArguments(const std::string& command,
                                          const std::vector<std::string>& options = {}) const;
    RunResult sshOnTerminal(const std::string& command, const std::vector<std::string>& options = {});
    RunResult sshOnTerminal(const std::string& command, const std::vector<std::string>& options,
                            const Environment& env);
    // An askpass program that notes each call in a file, then becomes the helper (same process, so
    // its parent is still the caller's ssh), and the number of calls noted so far.
    std::filesystem::path countingAskpass() const;
    int askpassCalls() const;
    // `ssh-add -l -E sha256` against the private agent.
    RunResult listAgent() const;
    // The `vantorelle` command line against the host's socket.
    RunResult cli(const std::vector<std::string>& args) const;
    // The key's "SHA256:..." fingerprint.
    std::string fingerprint() const;
    std::string agentLog() const;

    std::vector<std::string> logLines() const;
    int countLog(const std::string& prefix) const;
    // Waits until the host log has at least `count` lines starting with `prefix`.
    bool waitForLog(const std::string& prefix, int count, Deadline deadline) const;

    static const char* helperPath();
    static const char* hostPath();
    static const char* cliPath();

private:
    bool fail(const std::string& message);
    void reapOrphans();
    bool waitForSocketFile(const std::filesystem::path& path, ChildProcess& owner, Deadline deadline);

    TempDir m_dir;
    int m_port = 0;
    std::string m_problem;
    std::optional<ChildProcess> m_agent;
    std::optional<ChildProcess> m_sshd;
    std::optional<ChildProcess> m_host;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& text);

} // namespace vantorelle::e2e
