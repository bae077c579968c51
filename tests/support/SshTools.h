// The real OpenSSH tools for tests: keys made by ssh-keygen, a private ssh-agent, and a look at
// this process's children through /proc.
#pragma once

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "support/TestFiles.h"
#include "support/WaitFor.h"
#include "sys/ChildProcess.h"

namespace vantorelle::test {

using namespace std::chrono_literals;

inline Environment minimalEnvironment()
{
    Environment env;
    env.set("PATH", "/usr/bin:/bin");
    env.set("LANG", "C");
    if (auto home = Environment::current().get("HOME")) {
        env.set("HOME", *home);
    }
    return env;
}

// Runs a tool to completion (stdin /dev/null, stderr merged), against `agent` when given; throws
// when it cannot run.
inline ChildProcess::Output runTool(const std::string& path, const std::vector<std::string>& args,
                                    const std::filesystem::path& agent = {})
{
    Environment env = minimalEnvironment();
    if (!agent.empty()) {
        env.set("SSH_AUTH_SOCK", agent.string());
    }
    auto run = ChildProcess::run(path, args, env, ChildProcess::StandardError::merge,
                                 std::chrono::steady_clock::now() + 60s);
    if (!run) {
        throw std::runtime_error("could not run " + path);
    }
    return *run;
}

struct KeySpec
{
    std::string type = "ed25519"; // ed25519, rsa, ecdsa
    std::string passphrase; // empty: none
    bool pem = false; // the old PEM format instead of the OpenSSH one
    bool keepPublic = true;
    std::string comment = "test@vantorelle";
};

// Makes a key at `path` with ssh-keygen (a test passphrase on argv is fine: it protects nothing).
inline std::filesystem::path makeKey(const std::filesystem::path& path, const KeySpec& spec = {})
{
    std::vector<std::string> args{"-q", "-t", spec.type, "-N", spec.passphrase, "-C", spec.comment, "-f", path};
    if (spec.type == "rsa") {
        args.insert(args.end(), {"-b", "2048"});
    }
    if (spec.pem) {
        args.insert(args.end(), {"-m", "PEM"});
    }
    if (const auto made = runTool("/usr/bin/ssh-keygen", args); made.status != 0) {
        throw std::runtime_error("ssh-keygen failed: " + made.output);
    }
    if (!spec.keepPublic) {
        std::filesystem::remove(path.string() + ".pub");
    }
    return path;
}

// The "SHA256:..." fingerprint ssh-keygen gives for a key file.
inline std::string fingerprintOf(const std::filesystem::path& path)
{
    std::istringstream words(runTool("/usr/bin/ssh-keygen", {"-l", "-f", path}).output);
    std::string bits, fingerprint;
    words >> bits >> fingerprint;
    return fingerprint;
}

// A security-key (sk-ssh-ed25519@openssh.com) public key line; no token needed to list it.
inline std::string securityKeyLine(const std::string& comment)
{
    return "sk-ssh-ed25519@openssh.com AAAAGnNrLXNzaC1lZDI1NTE5QG9wZW5zc2guY29tAAAAIEJCQkJCQkJCQkJCQkJCQkJCQkJCQkJCQkJC"
           "QkJCQkJCAAAABHNzaDo= "
        + comment + "\n";
}

// A private `ssh-agent -D -a <socket>`, killed and reaped when the object goes.
class TestAgent
{
public:
    explicit TestAgent(const std::filesystem::path& socketPath)
        : m_socket(socketPath)
    {
        auto child = ChildProcess::spawn({"/usr/bin/ssh-agent", {"-D", "-a", socketPath}, minimalEnvironment()});
        if (!child) {
            throw std::runtime_error("cannot start ssh-agent");
        }
        m_process = std::move(*child);
        // ssh-add -l answers 1 for an empty agent and 2 while nothing listens.
        if (!waitFor([&] { return runTool("/usr/bin/ssh-add", {"-l"}, m_socket).status != 2; })) {
            throw std::runtime_error("ssh-agent did not start listening");
        }
    }
    const std::filesystem::path& socket() const { return m_socket; }

private:
    std::filesystem::path m_socket;
    ChildProcess m_process;
};

inline std::string readProcFile(pid_t pid, const char* name)
{
    return readFile("/proc/" + std::to_string(pid) + "/" + name);
}

// Live children of `parent`, optionally only those with a given comm.
inline std::vector<pid_t> childrenOf(pid_t parent, const std::string& comm = {})
{
    std::vector<pid_t> children;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename();
        // Not a process, or one that is gone: an empty text, which has no "(".
        const bool digits = name.find_first_not_of("0123456789") == std::string::npos;
        const std::string stat = digits ? readProcFile(std::stoi(name), "stat") : "";
        const auto open = stat.find('('), close = stat.rfind(')');
        char state = 0;
        pid_t ppid = 0;
        if (close != std::string::npos && open < close
            && std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent && state != 'Z'
            && (comm.empty() || stat.substr(open + 1, close - open - 1) == comm)) {
            children.push_back(std::stoi(name));
        }
    }
    return children;
}
inline std::vector<pid_t> childrenOfThisProcess(const std::string& comm = {})
{
    return childrenOf(::getpid(), comm);
}

inline int openDescriptorCount()
{
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// No child may be left behind, not even as a zombie.
inline void expectNoChildren()
{
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

} // namespace vantorelle::test
