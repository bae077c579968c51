// ChildProcess: sole owner of one spawned child; it is always reaped, killed if still running.
#include "sys/ChildProcess.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <linux/close_range.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "sys/Io.h"
#include "sys/Pipe.h"

namespace vantorelle {

namespace {

class FileActions
{
public:
    FileActions() { m_ok = ::posix_spawn_file_actions_init(&m_actions) == 0; }
    ~FileActions()
    {
        if (m_ok) {
            ::posix_spawn_file_actions_destroy(&m_actions);
        }
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    bool ok() const { return m_ok; }
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions{};
    bool m_ok = false;
};

class SpawnAttributes
{
public:
    SpawnAttributes() { m_ok = ::posix_spawnattr_init(&m_attr) == 0; }
    ~SpawnAttributes()
    {
        if (m_ok) {
            ::posix_spawnattr_destroy(&m_attr);
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool ok() const { return m_ok; }
    posix_spawnattr_t* get() { return &m_attr; }

private:
    posix_spawnattr_t m_attr{};
    bool m_ok = false;
};

// A descriptor the child's file actions will dup must not sit on 0-2, where an earlier action (or
// the /dev/null on stdin) would replace it first. Happens when the caller runs without stdio.
std::expected<int, int> aboveStdio(int fd, Fd& holder)
{
    if (fd < 0 || fd > 2) {
        return fd;
    }
    holder.reset(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
    if (!holder) {
        return std::unexpected(errno);
    }
    return holder.get();
}

// Standard stream `target` of the child: a dup of `source`, or /dev/null.
int addStream(posix_spawn_file_actions_t* actions, int target, int source)
{
    if (source >= 0) {
        return ::posix_spawn_file_actions_adddup2(actions, source, target);
    }
    return ::posix_spawn_file_actions_addopen(actions, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY, 0);
}

// Between fork and exec only async-signal-safe calls on data prepared beforehand: the caller may
// have other threads.
[[noreturn]] void reportAndExit(int fd, int error, int status)
{
    ssize_t ignored = ::write(fd, &error, sizeof error);
    (void)ignored;
    ::_exit(status);
}

[[noreturn]] void runDetached(const char* program, char* const* argv, char* const* envp, const char* directory,
                              int statusFd)
{
    if (::setsid() < 0) {
        reportAndExit(statusFd, errno, 1);
    }
    const pid_t grandchild = ::fork();
    if (grandchild < 0) {
        reportAndExit(statusFd, errno, 1);
    }
    if (grandchild > 0) {
        // The grandchild is orphaned at once and adopted by init (or the nearest subreaper).
        ::_exit(0);
    }
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        ::sigaction(signal, &defaults, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0) {
        reportAndExit(statusFd, errno, 127);
    }
    // Descriptors inherited from whoever ran us (ssh passes its pipes) must not reach the program.
    ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    if (*directory && ::chdir(directory) != 0) {
        (void)::chdir("/");
    }
    ::execve(program, argv, envp);
    reportAndExit(statusFd, errno, 127);
}

// The argument and environment arrays exec wants, built before fork: the child may not allocate.
class ExecVectors
{
public:
    explicit ExecVectors(const ChildProcess::Options& options)
        : m_entries(options.env.entries())
    {
        m_argv.reserve(options.args.size() + 2);
        m_argv.push_back(const_cast<char*>(options.path.c_str()));
        for (const auto& arg : options.args) {
            m_argv.push_back(const_cast<char*>(arg.c_str()));
        }
        m_argv.push_back(nullptr);
        m_envp.reserve(m_entries.size() + 1);
        for (const auto& entry : m_entries) {
            m_envp.push_back(const_cast<char*>(entry.c_str()));
        }
        m_envp.push_back(nullptr);
    }
    char* const* argv() const { return m_argv.data(); }
    char* const* envp() const { return m_envp.data(); }

private:
    std::vector<std::string> m_entries;
    std::vector<char*> m_argv;
    std::vector<char*> m_envp;
};

} // namespace

ChildProcess::ChildProcess(pid_t pid, Fd pidfd) noexcept
    : m_pid(pid)
    , m_pidfd(std::move(pidfd))
{
}

ChildProcess::~ChildProcess()
{
    if (running()) {
        kill();
    }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : m_pid(std::exchange(other.m_pid, -1))
    , m_pidfd(std::move(other.m_pidfd))
{
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
    if (this != &other) {
        if (running()) {
            kill();
        }
        m_pid = std::exchange(other.m_pid, -1);
        m_pidfd = std::move(other.m_pidfd);
    }
    return *this;
}

std::expected<ChildProcess, int> ChildProcess::spawn(const Options& options)
{
    Fd outHolder;
    Fd errHolder;
    const auto outFd = aboveStdio(options.stdoutFd, outHolder);
    if (!outFd) {
        return std::unexpected(outFd.error());
    }
    const auto errFd = aboveStdio(options.stderrFd, errHolder);
    if (!errFd) {
        return std::unexpected(errFd.error());
    }

    FileActions actions;
    SpawnAttributes attributes;
    if (!actions.ok() || !attributes.ok()) {
        return std::unexpected(ENOMEM);
    }
    int rc = 0;
    if (options.terminal) {
        // Opened after setsid() and without O_NOCTTY: the terminal becomes the controlling one.
        rc = ::posix_spawn_file_actions_addopen(actions.get(), 0, options.terminal->c_str(), O_RDWR, 0);
        rc = rc ? rc : ::posix_spawn_file_actions_adddup2(actions.get(), 0, 1);
        rc = rc ? rc : ::posix_spawn_file_actions_adddup2(actions.get(), 0, 2);
    } else {
        rc = addStream(actions.get(), 1, *outFd);
        rc = rc ? rc : addStream(actions.get(), 2, *errFd);
        rc = rc ? rc : addStream(actions.get(), 0, -1);
    }
    if (!options.directory.empty()) {
        rc = rc ? rc : ::posix_spawn_file_actions_addchdir_np(actions.get(), options.directory.c_str());
    }
    // Descriptors other threads open without O_CLOEXEC must not leak into the child either.
    rc = rc ? rc : ::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);

    sigset_t noSignals;
    sigset_t allSignals;
    ::sigemptyset(&noSignals);
    ::sigfillset(&allSignals);
    rc = rc ? rc
            : ::posix_spawnattr_setflags(attributes.get(),
                                         POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    // The caller's blocked or ignored signals (SIGPIPE, say) must not carry over into the tool.
    rc = rc ? rc : ::posix_spawnattr_setsigmask(attributes.get(), &noSignals);
    rc = rc ? rc : ::posix_spawnattr_setsigdefault(attributes.get(), &allSignals);
    if (rc != 0) {
        return std::unexpected(rc);
    }

    const ExecVectors exec(options);

    pid_t pid = -1;
    rc = ::posix_spawn(&pid, options.path.c_str(), actions.get(), attributes.get(), exec.argv(), exec.envp());
    if (rc != 0) {
        return std::unexpected(rc);
    }
    // Not yet reaped, so the pid cannot have been reused: the pidfd refers to our child.
    // Through syscall(2): glibc 2.36's <sys/pidfd.h> lacks C linkage for C++. The pidfd is close-on-exec.
    return ChildProcess(pid, Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))));
}

std::optional<int> ChildProcess::reap(bool block)
{
    if (!running()) {
        return std::nullopt;
    }
    for (;;) {
        int waitStatus = 0;
        const pid_t r = ::waitpid(m_pid, &waitStatus, block ? 0 : WNOHANG);
        if (r == m_pid) {
            m_pid = -1;
            m_pidfd.reset();
            return exitStatus(waitStatus);
        }
        if (r == 0) {
            return std::nullopt;
        }
        if (errno == EINTR) {
            continue;
        }
        // ECHILD: someone reaped it behind our back (SIGCHLD set to SIG_IGN); nothing is left to own.
        m_pid = -1;
        m_pidfd.reset();
        return -1;
    }
}

std::optional<int> ChildProcess::waitUntil(Deadline deadline)
{
    for (;;) {
        if (auto status = reap(false); status || !running()) {
            return status;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        if (m_pidfd) {
            if (io::pollOne(m_pidfd.get(), POLLIN, deadline) >= 0) {
                continue;
            }
        }
        // No pidfd (old kernel, seccomp): look again shortly.
        const auto left = deadline - std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(5)));
    }
}

int ChildProcess::kill()
{
    if (!running()) {
        return -1;
    }
    ::kill(m_pid, SIGKILL);
    return reap(true).value_or(-1);
}

void ChildProcess::signal(int signalNumber) const
{
    if (running()) {
        ::kill(m_pid, signalNumber);
    }
}

int ChildProcess::exitStatus(int waitStatus)
{
    if (WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    return -1;
}

std::expected<ChildProcess::Output, ChildProcess::RunError>
ChildProcess::run(const std::string& path, const std::vector<std::string>& args, const Environment& env,
                  StandardError standardError, Deadline deadline)
{
    auto pipe = Pipe::create();
    if (!pipe) {
        return std::unexpected(RunError{RunError::Kind::launchFailed, pipe.error(), {}});
    }
    Options options{path,
                    args,
                    env,
                    std::nullopt,
                    pipe->write.get(),
                    standardError == StandardError::merge ? pipe->write.get() : -1,
                    {}};
    auto child = spawn(options);
    // Only the child may hold the write end now, or the read below would never see its end.
    pipe->write.reset();
    if (!child) {
        return std::unexpected(RunError{RunError::Kind::launchFailed, child.error(), {}});
    }

    std::string output;
    std::array<char, 4096> buffer{};
    for (;;) {
        const int events = io::pollOne(pipe->read.get(), POLLIN, deadline);
        if (events == 0) {
            child->kill();
            return std::unexpected(RunError{RunError::Kind::timedOut, 0, std::move(output)});
        }
        if (events < 0) {
            break;
        }
        const ssize_t n = ::read(pipe->read.get(), buffer.data(), buffer.size());
        if (n > 0) {
            output.append(buffer.data(), static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    const auto status = child->waitUntil(deadline);
    if (!status) {
        child->kill();
        return std::unexpected(RunError{RunError::Kind::timedOut, 0, std::move(output)});
    }
    return Output{*status, std::move(output)};
}

} // namespace vantorelle

namespace vantorelle {

std::expected<void, int> ChildProcess::spawnDetached(const Options& options, Deadline deadline)
{
    const ExecVectors exec(options);

    auto status = Pipe::create();
    if (!status) {
        return std::unexpected(status.error());
    }
    const pid_t child = ::fork();
    if (child < 0) {
        return std::unexpected(errno);
    }
    if (child == 0) {
        runDetached(options.path.c_str(), exec.argv(), exec.envp(), options.directory.c_str(), status->write.get());
    }
    status->write.reset();
    // The intermediate child is ours: it exits at once, and is reaped below whatever happens.
    ChildProcess intermediate(child, Fd(static_cast<int>(::syscall(SYS_pidfd_open, child, 0))));

    // The pipe reaches end of file once the intermediate child has exited and the grandchild has
    // exec'd (close-on-exec) or died; an errno arrives first when something failed.
    int error = 0;
    std::size_t got = 0;
    for (;;) {
        const int events = io::pollOne(status->read.get(), POLLIN, deadline);
        if (events == 0) {
            return std::unexpected(ETIMEDOUT);
        }
        if (events < 0) {
            break;
        }
        const ssize_t n = ::read(status->read.get(), reinterpret_cast<char*>(&error) + got, sizeof error - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
        if (got == sizeof error) {
            return std::unexpected(error);
        }
    }
    const auto exited = intermediate.waitUntil(deadline);
    if (!exited) {
        return std::unexpected(ETIMEDOUT);
    }
    return *exited == 0 ? std::expected<void, int>() : std::unexpected(ECHILD);
}

int replaceCurrentProcess(const std::string& path, const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    return errno;
}

} // namespace vantorelle
