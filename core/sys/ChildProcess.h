// ChildProcess: sole owner of one spawned child; it is always reaped, killed if still running.
#pragma once

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "sys/Environment.h"
#include "sys/Fd.h"

namespace vantorelle {

class ChildProcess
{
public:
    using Deadline = std::chrono::steady_clock::time_point;

    struct Options
    {
        std::string path; // absolute path of the program, also argv[0]
        std::vector<std::string> args; // argv[1...]
        Environment env; // the child's complete environment; nothing else is inherited
        // When set, the child's standard input, output and error are this terminal, opened in the child
        // after it started a session of its own, so the terminal becomes its controlling terminal.
        std::optional<std::string> terminal;
        // Without a terminal: stdin is /dev/null; stdout and stderr go to these descriptors (borrowed,
        // not closed), or to /dev/null when -1.
        int stdoutFd = -1;
        int stderrFd = -1;
        // The child's working directory; empty: the caller's.
        std::string directory = {};
    };

    // What a finished run of a plain child collected.
    struct Output
    {
        int status = 0; // exit status 0-255, or 128 + signal number
        std::string output;
    };
    struct RunError
    {
        enum class Kind {
            launchFailed, // `error` is the errno of the spawn (or of setting it up)
            timedOut, // killed at the deadline; `output` is what it printed until then
        };
        Kind kind = Kind::launchFailed;
        int error = 0;
        std::string output;
        bool operator==(const RunError&) const = default;
    };
    enum class StandardError { discard, merge };

    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts the program in a session of its own (it never shares the caller's terminal), with an
    // empty signal mask and default signal actions, and with no descriptor of the caller other than
    // those named in `options`. The error is the errno the spawn reported.
    static std::expected<ChildProcess, int> spawn(const Options& options);

    // Starts the program fully detached: in a session of its own, as a grandchild that init adopts
    // at once (so no zombie of it is ever left to this process), with standard input, output and
    // error on /dev/null, no other descriptor of the caller, default signal handling, and the
    // working directory `options.directory` ("/" when that fails). `terminal`, `stdoutFd` and
    // `stderrFd` are ignored. Returns once the program was executed; the error is the errno of
    // the fork or exec, ETIMEDOUT past `deadline`.
    static std::expected<void, int> spawnDetached(const Options& options, Deadline deadline);

    // Runs a program with stdin on /dev/null and stdout (plus stderr when `merge`) read through a pipe
    // to its end, then reaps it. Past `deadline` the child is killed and reaped: `timedOut`.
    static std::expected<Output, RunError> run(const std::string& path, const std::vector<std::string>& args,
                                               const Environment& env, StandardError standardError, Deadline deadline);

    pid_t pid() const noexcept { return m_pid; }
    bool running() const noexcept { return m_pid > 0; }

    // Waits until the child ends or `deadline` passes. Returns its status (exitStatus form) once
    // reaped; nothing while it still runs.
    std::optional<int> waitUntil(Deadline deadline);
    // SIGKILL, then reap however long that takes (a killed process ends promptly). Returns the status.
    int kill();
    // Sends `signal` if the child has not been reaped yet.
    void signal(int signal) const;

    // Exit status 0-255, or 128 + the signal number for a child ended by a signal.
    static int exitStatus(int waitStatus);

private:
    ChildProcess(pid_t pid, Fd pidfd) noexcept;
    std::optional<int> reap(bool block);

    pid_t m_pid = -1;
    Fd m_pidfd; // readable once the child has ended; absent where pidfd_open is not available
};

// Replaces the running program with `path` (argv[0] = path, then `args`), keeping the environment
// and every descriptor not marked close-on-exec. Returns only on failure, with errno.
int replaceCurrentProcess(const std::string& path, const std::vector<std::string>& args);

} // namespace vantorelle
