// E2EWorld: private sshd, ssh-agent, key and test host for one scenario.
#include "E2EWorld.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "ssh/KeyPassphrase.h"
#include "sys/Fd.h"
#include "sys/Io.h"

namespace vantorelle::e2e {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kPassphrase = "e2e horse battery staple";

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

int freePort()
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

bool portAnswers(int port)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

Fd openLogFile(const fs::path& path)
{
    return Fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
}

void stopGently(std::optional<ChildProcess>& process)
{
    if (!process || !process->running()) {
        return;
    }
    process->signal(SIGTERM);
    if (!process->waitUntil(after(10s))) {
        process->kill();
    }
    process.reset();
}

} // namespace

Deadline after(std::chrono::seconds seconds)
{
    return std::chrono::steady_clock::now() + seconds;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
}

// --- TerminalRun ---

TerminalRun::TerminalRun(Pty pty, Fd slave, ChildProcess process)
    : m_pty(std::move(pty))
    , m_slave(std::move(slave))
    , m_process(std::move(process))
{
}

std::optional<TerminalRun> TerminalRun::start(const std::string& path, const std::vector<std::string>& args,
                                              const Environment& env)
{
    auto pty = Pty::open();
    if (!pty) {
        return std::nullopt;
    }
    Fd slave = pty->openSlave();
    ChildProcess::Options options;
    options.path = path;
    options.args = args;
    options.env = env;
    options.terminal = pty->slavePath;
    auto process = ChildProcess::spawn(options);
    if (!process) {
        return std::nullopt;
    }
    io::setNonBlocking(pty->master.get(), true);
    return TerminalRun(std::move(*pty), std::move(slave), std::move(*process));
}

RunResult TerminalRun::finish(Deadline deadline)
{
    const auto drain = [this] {
        char buffer[4096];
        while (true) {
            const ssize_t n = ::read(m_pty.master.get(), buffer, sizeof buffer);
            if (n > 0) {
                m_output.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return; // EAGAIN (nothing more for now), EIO or end of file
        }
    };
    std::optional<int> status;
    while (!status) {
        const auto step = std::min(deadline, std::chrono::steady_clock::now() + 50ms);
        if (io::pollOne(m_pty.master.get(), POLLIN, step) > 0) {
            drain();
        }
        status = m_process.waitUntil(std::chrono::steady_clock::now());
        if (!status && std::chrono::steady_clock::now() >= deadline) {
            status = m_process.kill();
            m_output += "\n[killed at the deadline]\n";
        }
    }
    drain();
    return RunResult{*status, m_output};
}

// --- World ---

std::optional<std::string> World::unavailableReason()
{
    if (::access("/usr/sbin/sshd", X_OK) != 0) {
        return "sshd cannot run here: /usr/sbin/sshd is not installed (Debian package openssh-server)";
    }
    if (::access("/usr/bin/ssh", X_OK) != 0 || ::access("/usr/bin/ssh-agent", X_OK) != 0) {
        return "the OpenSSH client tools are not installed";
    }
    struct stat info
    {
    };
    if (::stat("/run/sshd", &info) != 0 && ::mkdir("/run/sshd", 0755) != 0 && errno != EEXIST) {
        return "sshd cannot run here: its privilege separation directory /run/sshd is missing and cannot be "
               "created by this user";
    }
    return std::nullopt;
}

World::World()
{
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    fs::create_directories(root() / "home");
    fs::create_directories(root() / "app");
    fs::permissions(root() / "app", fs::perms::owner_all);
}

World::~World()
{
    stopHost();
    stopGently(m_sshd);
    stopGently(m_agent);
    reapOrphans();
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

void World::reapOrphans()
{
    // Adopted processes normally end on their own once the daemons are gone; give them a moment,
    // then end the rest (and whatever their ends orphan in turn).
    const auto reapAll = [] {
        while (true) {
            const pid_t pid = ::waitpid(-1, nullptr, WNOHANG);
            if (pid <= 0) {
                return pid == 0; // true: children remain
            }
        }
    };
    auto deadline = after(10s);
    while (reapAll() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    deadline = after(10s);
    while (reapAll() && std::chrono::steady_clock::now() < deadline) {
        for (const auto& entry : fs::directory_iterator("/proc")) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            const std::string text = readFile(entry.path() / "stat");
            const auto close = text.rfind(')');
            if (close == std::string::npos) {
                continue;
            }
            std::istringstream rest(text.substr(close + 1));
            std::string state;
            int ppid = 0;
            rest >> state >> ppid;
            if (ppid == ::getpid()) {
                ::kill(std::stoi(name), SIGKILL);
            }
        }
        std::this_thread::sleep_for(10ms);
    }
}

bool World::fail(const std::string& message)
{
    m_problem += message + "\n";
    return false;
}

const char* World::helperPath()
{
    return VANTORELLE_ASKPASS;
}
const char* World::hostPath()
{
    return VANTORELLE_TESTHOST;
}
const char* World::cliPath()
{
    return VANTORELLE_CLI;
}

bool World::makeKey()
{
    fs::create_directories(keyPath().parent_path());
    fs::permissions(keyPath().parent_path(), fs::perms::owner_all);
    auto made = ChildProcess::run("/usr/bin/ssh-keygen",
                                  {"-q", "-t", "ed25519", "-N", "", "-C", "e2e-key", "-f", keyPath().string()},
                                  toolEnvironment(), ChildProcess::StandardError::merge, after(30s));
    if (!made || made->status != 0) {
        return fail("ssh-keygen failed: " + (made ? made->output : std::string("did not run")));
    }
    // The passphrase is typed on a terminal, never given on a command line.
    const SecretString passphrase{std::string_view(kPassphrase)};
    if (!KeyPassphrase::add(passphrase, passphrase, keyPath().string(), toolEnvironment())) {
        return fail("could not put a passphrase on the test key");
    }
    writeFile(root() / "store", keyPath().string() + "\t" + kPassphrase + "\n");
    writeFile(root() / "authorized_keys", readFile(keyPath().string() + ".pub"));
    return true;
}

bool World::waitForSocketFile(const fs::path& path, ChildProcess& owner, Deadline deadline)
{
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code ec;
        if (fs::is_socket(path, ec)) {
            return true;
        }
        if (owner.waitUntil(std::chrono::steady_clock::now())) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

bool World::startAgent()
{
    // -d: foreground with debug output, which shows the lifetime every added key got.
    Fd log = openLogFile(root() / "agent.log");
    ChildProcess::Options options;
    options.path = "/usr/bin/ssh-agent";
    options.args = {"-d", "-a", agentSocket().string()};
    options.env = toolEnvironment();
    options.stderrFd = log.get();
    auto agent = ChildProcess::spawn(options);
    if (!agent) {
        return fail("ssh-agent did not start");
    }
    m_agent = std::move(*agent);
    if (!waitForSocketFile(agentSocket(), *m_agent, after(20s))) {
        return fail("ssh-agent did not listen: " + agentLog());
    }
    return true;
}

std::string World::agentLog() const
{
    return readFile(root() / "agent.log");
}

bool World::startSshd()
{
    const auto hostKey = root() / "ssh_host_ed25519_key";
    auto made = ChildProcess::run("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", hostKey.string()},
                                  toolEnvironment(), ChildProcess::StandardError::merge, after(30s));
    if (!made || made->status != 0) {
        return fail("host key generation failed");
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freePort();
        const auto config = root() / "sshd_config";
        writeFile(config,
                  "Port " + std::to_string(m_port)
                      + "\n"
                        "ListenAddress 127.0.0.1\n"
                        "HostKey "
                      + hostKey.string() + "\nPidFile " + (root() / "sshd.pid").string() + "\nAuthorizedKeysFile "
                      + (root() / "authorized_keys").string()
                      + "\n"
                        "StrictModes no\nUsePAM no\nPasswordAuthentication no\n"
                        "KbdInteractiveAuthentication no\nPubkeyAuthentication yes\n");
        Fd log = openLogFile(root() / "sshd.log");
        ChildProcess::Options options;
        options.path = "/usr/sbin/sshd"; // sshd re-executes itself and insists on an absolute path
        options.args = {"-D", "-e", "-f", config.string()};
        options.env = toolEnvironment();
        options.stderrFd = log.get();
        auto sshd = ChildProcess::spawn(options);
        if (!sshd) {
            return fail("sshd did not start");
        }
        m_sshd = std::move(*sshd);
        const auto deadline = after(20s);
        while (std::chrono::steady_clock::now() < deadline) {
            if (portAnswers(m_port)) {
                return true;
            }
            if (m_sshd->waitUntil(std::chrono::steady_clock::now())) {
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        // Another process may have taken the port between the probe and the bind: try another.
        const std::string log_text = readFile(root() / "sshd.log");
        stopGently(m_sshd);
        if (log_text.find("Address already in use") == std::string::npos) {
            return fail("sshd did not come up: " + log_text);
        }
    }
    return fail("no free port for sshd");
}

std::vector<std::string> World::hostArguments(const std::vector<std::string>& script) const
{
    std::vector<std::string> args = {"--socket", socketPath().string(),
                                     "--agent",  agentSocket().string(),
                                     "--keys",   keyPath().parent_path().string(),
                                     "--store",  (root() / "store").string(),
                                     "--log",    logPath().string()};
    args.insert(args.end(), script.begin(), script.end());
    return args;
}

bool World::startHost(const std::vector<std::string>& script)
{
    Fd log = openLogFile(root() / "host.stderr");
    ChildProcess::Options options;
    options.path = hostPath();
    options.args = hostArguments(script);
    options.env = toolEnvironment();
    options.env.set("HOME", (root() / "home").string());
    options.env.set("LANGUAGE", "en");
    options.stderrFd = log.get();
    auto host = ChildProcess::spawn(options);
    if (!host) {
        return fail("the test host did not start");
    }
    m_host = std::move(*host);
    const auto deadline = after(20s);
    while (std::chrono::steady_clock::now() < deadline) {
        if (countLog("listening") > 0) {
            return true;
        }
        if (m_host->waitUntil(std::chrono::steady_clock::now())) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    return fail("the test host did not listen: " + readFile(root() / "host.stderr") + readFile(logPath()));
}

void World::stopHost()
{
    stopGently(m_host);
}

Environment World::clientEnvironment() const
{
    Environment env;
    env.set("PATH", "/usr/bin:/bin");
    env.set("HOME", (root() / "home").string());
    env.set("USER", userName());
    env.set("LOGNAME", userName());
    env.set("LANG", "C.UTF-8");
    env.set("LANGUAGE", "en");
    env.set("SSH_ASKPASS", helperPath());
    env.set("SSH_ASKPASS_REQUIRE", "force");
    env.set("VANTORELLE_SOCKET", socketPath().string());
    env.set("SSH_AUTH_SOCK", agentSocket().string());
    env.set("XDG_DATA_HOME", dataHome().string());
    env.set("XDG_DATA_DIRS", (root() / "no-data-dirs").string());
    env.set("XDG_CONFIG_HOME", (root() / "home/.config").string());
    // A sanitizer build's settings reach the helper too.
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) {
            env.set(name, value);
        }
    }
    return env;
}

std::vector<std::string> World::sshArguments(const std::string& command, const std::vector<std::string>& options) const
{
    // ssh keeps the first value it is given for an option, so the scenario's own come first.
    std::vector<std::string> args
        = {"-F", "/dev/null", "-p", std::to_string(m_port), "-l", userName(), "-i", keyPath().string()};
    for (const auto& option : options) {
        args.insert(args.end(), {"-o", option});
    }
    for (const char* option :
         {"IdentitiesOnly=yes", "StrictHostKeyChecking=accept-new", "GlobalKnownHostsFile=/dev/null",
          "PasswordAuthentication=no", "KbdInteractiveAuthentication=no", "PreferredAuthentications=publickey",
          "NumberOfPasswordPrompts=1", "ConnectTimeout=20", "LogLevel=ERROR"}) {
        args.insert(args.end(), {"-o", option});
    }
    args.insert(args.end(), {"-o", "UserKnownHostsFile=" + (root() / "known_hosts").string(), "127.0.0.1", command});
    return args;
}

RunResult World::sshOnTerminal(const std::string& command, const std::vector<std::string>& options)
{
    return sshOnTerminal(command, options, clientEnvironment());
}

RunResult World::sshOnTerminal(const std::string& command, const std::vector<std::string>& options,
                               const Environment& env)
{
    auto run = TerminalRun::start("/usr/bin/ssh", sshArguments(command, options), env);
    if (!run) {
        return RunResult{-1, "could not start ssh on a terminal"};
    }
    return run->finish(after(90s));
}

fs::path World::countingAskpass() const
{
    const auto path = root() / "counting-askpass";
    writeFile(path,
              "#!/bin/sh\necho called >> '" + (root() / "askpass.calls").string() + "'\nexec '" + helperPath()
                  + "' \"$@\"\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

int World::askpassCalls() const
{
    std::istringstream text(readFile(root() / "askpass.calls"));
    int calls = 0;
    for (std::string line; std::getline(text, line);) {
        ++calls;
    }
    return calls;
}

RunResult World::listAgent() const
{
    Environment env = toolEnvironment();
    env.set("SSH_AUTH_SOCK", agentSocket().string());
    auto listed = ChildProcess::run("/usr/bin/ssh-add", {"-l", "-E", "sha256"}, env, ChildProcess::StandardError::merge,
                                    after(30s));
    return listed ? RunResult{listed->status, listed->output} : RunResult{};
}

RunResult World::cli(const std::vector<std::string>& args) const
{
    Environment env = toolEnvironment();
    env.set("HOME", (root() / "home").string());
    env.set("LANGUAGE", "en");
    env.set("VANTORELLE_SOCKET", socketPath().string());
    auto ran = ChildProcess::run(cliPath(), args, env, ChildProcess::StandardError::merge, after(60s));
    return ran ? RunResult{ran->status, ran->output} : RunResult{};
}

std::string World::fingerprint() const
{
    auto listed = ChildProcess::run("/usr/bin/ssh-keygen", {"-l", "-f", keyPath().string() + ".pub"}, toolEnvironment(),
                                    ChildProcess::StandardError::merge, after(30s));
    if (!listed) {
        return {};
    }
    std::istringstream words(listed->output);
    std::string bits, print;
    words >> bits >> print;
    return print;
}

std::vector<std::string> World::logLines() const
{
    std::vector<std::string> lines;
    std::istringstream text(readFile(logPath()));
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

int World::countLog(const std::string& prefix) const
{
    int count = 0;
    for (const auto& line : logLines()) {
        count += line.starts_with(prefix) ? 1 : 0;
    }
    return count;
}

bool World::waitForLog(const std::string& prefix, int count, Deadline deadline) const
{
    while (std::chrono::steady_clock::now() < deadline) {
        if (countLog(prefix) >= count) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return countLog(prefix) >= count;
}

} // namespace vantorelle::e2e
