// Helpers for the ssh tests: keys made with the real ssh-keygen, a private ssh-agent per test,
// waiting for conditions, and a look at our children through /proc.
#pragma once

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sys/ChildProcess.h"
#include "sys/Fd.h"
#include "sys/SecretString.h"

namespace vantorelle::test {

using namespace std::chrono_literals;

// A literal has two equally good SecretString constructors; pick one.
inline SecretString sec(std::string_view text)
{
    return SecretString(text);
}

inline std::chrono::steady_clock::time_point after(std::chrono::steady_clock::duration d)
{
    return std::chrono::steady_clock::now() + d;
}

// Polls `condition` until it holds or `timeout` passes; a generous timeout costs nothing when the
// condition comes true early.
inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 30s)
{
    const auto deadline = after(timeout);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

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
    auto run = ChildProcess::run(path, args, env, ChildProcess::StandardError::merge, after(60s));
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
    std::vector<std::string> args{"-q", "-t",         spec.type, "-N",         spec.passphrase,
                                  "-C", spec.comment, "-f",      path.string()};
    if (spec.type == "rsa") {
        args.insert(args.end(), {"-b", "2048"});
    }
    if (spec.pem) {
        args.insert(args.end(), {"-m", "PEM"});
    }
    const auto made = runTool("/usr/bin/ssh-keygen", args);
    if (made.status != 0) {
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
    const auto listed = runTool("/usr/bin/ssh-keygen", {"-l", "-f", path.string()});
    std::istringstream words(listed.output);
    std::string bits, fingerprint;
    words >> bits >> fingerprint;
    return fingerprint;
}

inline std::string base64(const std::string& bytes)
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16)
            | (static_cast<unsigned char>(bytes[i + 1]) << 8) | static_cast<unsigned char>(bytes[i + 2]);
        out += {kAlphabet[(v >> 18) & 63], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], kAlphabet[v & 63]};
    }
    if (i + 1 == bytes.size()) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += {kAlphabet[(v >> 18) & 63], kAlphabet[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const unsigned v
            = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += {kAlphabet[(v >> 18) & 63], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
    }
    return out;
}

// An OpenSSH wire "string": 32-bit big-endian length, then the bytes.
inline std::string sshString(const std::string& bytes)
{
    const auto n = static_cast<uint32_t>(bytes.size());
    std::string out{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                    static_cast<char>(n)};
    return out + bytes;
}

// A security-key (sk-ssh-ed25519@openssh.com) public key line; no token needed to list it.
inline std::string securityKeyLine(const std::string& comment)
{
    const std::string type = "sk-ssh-ed25519@openssh.com";
    const std::string blob = sshString(type) + sshString(std::string(32, '\x42')) + sshString("ssh:");
    return type + " " + base64(blob) + " " + comment + "\n";
}

inline void writeFile(const std::filesystem::path& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
}

inline bool connects(const std::filesystem::path& socketPath)
{
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = socketPath.string();
    if (!fd || text.size() >= sizeof(address.sun_path)) {
        return false;
    }
    text.copy(address.sun_path, text.size());
    return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

// A private `ssh-agent -D -a <socket>`, killed and reaped when the object goes.
class TestAgent
{
public:
    explicit TestAgent(const std::filesystem::path& socketPath)
        : m_socket(socketPath)
    {
        ChildProcess::Options options;
        options.path = "/usr/bin/ssh-agent";
        options.args = {"-D", "-a", socketPath.string()};
        options.env = minimalEnvironment();
        auto child = ChildProcess::spawn(options);
        if (!child) {
            throw std::runtime_error("cannot start ssh-agent");
        }
        m_process = std::move(*child);
        if (!waitFor([&] { return connects(m_socket); })) {
            throw std::runtime_error("ssh-agent did not start listening");
        }
    }
    const std::filesystem::path& socket() const { return m_socket; }
    pid_t pid() const { return m_process.pid(); }

private:
    std::filesystem::path m_socket;
    ChildProcess m_process;
};

inline std::string readProcFile(pid_t pid, const char* name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Live children of this process (from /proc/<pid>/stat), optionally only those with a given comm.
inline std::vector<pid_t> childrenOfThisProcess(const std::string& comm = {})
{
    std::vector<pid_t> children;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const pid_t pid = std::stoi(name);
        const std::string stat = readProcFile(pid, "stat");
        const auto close = stat.rfind(')');
        const auto open = stat.find('(');
        if (close == std::string::npos || open == std::string::npos) {
            continue;
        }
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid != ::getpid() || state == 'Z') {
            continue;
        }
        if (!comm.empty() && stat.substr(open + 1, close - open - 1) != comm) {
            continue;
        }
        children.push_back(pid);
    }
    return children;
}

inline int openDescriptorCount()
{
    int count = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++count;
    }
    return count;
}

} // namespace vantorelle::test
