// AgentClient: talks to one ssh-agent by running /usr/bin/ssh-add against its socket.
#include "ssh/AgentClient.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "ipc/SocketIO.h"
#include "ssh/AgentProtocol.h"
#include "ssh/PTYRunner.h"
#include "ssh/ToolText.h"
#include "sys/ChildProcess.h"
#include "sys/Io.h"
#include "sys/Utf8.h"

namespace vantorelle {

namespace {

constexpr double kMaxLifetime = 2147483647;
constexpr std::string_view kCommunicationFailed = "communication with agent failed";

struct PlainRun
{
    int status = 0;
    std::string output;
};

std::expected<PlainRun, AgentClientError> runPlain(const Environment& env, std::vector<std::string> args)
{
    const auto deadline = std::chrono::steady_clock::now()
        + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(AgentClient::kPlainTimeout));
    auto run = ChildProcess::run(ToolText::kSshAdd, args, env, ChildProcess::StandardError::merge, deadline);
    if (!run) {
        if (run.error().kind == ChildProcess::RunError::Kind::timedOut) {
            return std::unexpected(AgentClientError::timedOut(Utf8::repaired(run.error().output)));
        }
        return std::unexpected(AgentClientError::launchFailed(run.error().error));
    }
    return PlainRun{run->status, Utf8::repaired(run->output)};
}

} // namespace

AgentClient::AgentClient(std::string socket, const Environment& appEnvironment)
    : m_socket(std::move(socket))
    , m_environment(ToolText::toolEnvironment(appEnvironment))
{
    m_environment.set("SSH_AUTH_SOCK", m_socket);
}

std::string AgentClient::lifetimeArgument(double lifetime)
{
    const double seconds = std::min(std::trunc(lifetime), kMaxLifetime);
    return std::to_string(static_cast<std::int64_t>(seconds));
}

std::expected<void, AgentClientError> AgentClient::add(const std::string& keyPath, const SecretString& passphrase,
                                                       double lifetime)
{
    if (!std::isfinite(lifetime) || lifetime < 1) {
        return std::unexpected(AgentClientError::invalidLifetime(lifetime));
    }
    auto run = PTYRunner::run(ToolText::kSshAdd, {"-t", lifetimeArgument(lifetime), ToolText::pathArgument(keyPath)},
                              m_environment, PTYRunner::passphraseResponder(passphrase.copy()), kAddTimeout);
    if (!run) {
        return std::unexpected(AgentClientError::fromRunner(std::move(run.error())));
    }
    if (run->status != 0) {
        return std::unexpected(AgentClientError::commandFailed(run->status, std::move(run->output)));
    }
    return {};
}

std::expected<void, AgentClientError> AgentClient::remove(const std::string& keyPath)
{
    // By the private key, not its ".pub": ssh-add then also takes out the certificate it loaded
    // beside the key, and reads the public half from the key file when the ".pub" is missing.
    auto run = runPlain(m_environment, {"-d", ToolText::pathArgument(keyPath)});
    if (!run) {
        return std::unexpected(std::move(run.error()));
    }
    if (run->status != 0) {
        return std::unexpected(AgentClientError::commandFailed(run->status, std::move(run->output)));
    }
    return {};
}

std::expected<std::set<std::string>, AgentClientError> AgentClient::loadedFingerprints()
{
    // Asked over the agent's socket: starting ssh-add for it cost more than everything else a
    // status or a refresh does. Failures read as ssh-add would report them.
    const auto failed = [](int status, std::string_view text) {
        return std::unexpected(AgentClientError::commandFailed(status, std::string(text) + "\n"));
    };
    const auto fetchFailed
        = [&](std::string_view why) { return failed(1, "error fetching identities: " + std::string(why)); };
    if (m_socket.empty()) {
        return failed(2, "Could not open a connection to your authentication agent.");
    }
    const auto deadline = std::chrono::steady_clock::now()
        + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(kPlainTimeout));
    const auto noAnswer = [] { return std::unexpected(AgentClientError::timedOut("the agent did not answer")); };
    auto connected = SocketIO::connectSocket(m_socket, deadline);
    if (!connected) {
        if (connected.error().kind == SocketClient::ClientError::Kind::timeout) {
            return noAnswer();
        }
        return failed(2, "Error connecting to agent: " + std::string(std::strerror(connected.error().error)));
    }
    const int fd = connected->get();
    const auto request = AgentProtocol::identitiesRequest();
    if (!SocketIO::setSendDeadline(fd, deadline) || !io::writeAll(fd, {request.data(), request.size()})) {
        return errno == EAGAIN || errno == EWOULDBLOCK ? noAnswer() : fetchFailed(kCommunicationFailed);
    }
    std::array<char, 4> header{};
    auto read = io::readExactly(fd, header, deadline);
    std::uint32_t length = 0;
    for (const char c : header) {
        length = length << 8 | static_cast<unsigned char>(c);
    }
    if (read && length > AgentProtocol::kMaxMessageBytes) {
        return fetchFailed(AgentProtocol::faultText(AgentProtocol::Fault::invalidFormat));
    }
    std::string message(read ? length : 0, '\0');
    if (read) {
        read = io::readExactly(fd, message, deadline);
    }
    if (!read) {
        return read.error() == ETIMEDOUT ? noAnswer() : fetchFailed(kCommunicationFailed);
    }
    auto loaded = AgentProtocol::fingerprints(message);
    if (!loaded) {
        return fetchFailed(AgentProtocol::faultText(loaded.error()));
    }
    // ssh-add ends with "The agent has no identities." and status 1 here: the empty set all the same.
    return std::move(*loaded);
}

std::set<std::string> AgentClient::parseFingerprints(std::string_view output)
{
    std::set<std::string> fingerprints;
    for (const std::string_view line : ToolText::lines(output)) {
        // "<bits> <fingerprint> <comment> (<type>)": the second blank-separated word.
        std::vector<std::string_view> pieces;
        size_t pos = 0;
        while (pos < line.size() && pieces.size() < 2) {
            const size_t space = line.find(' ', pos);
            const size_t stop = space == std::string_view::npos ? line.size() : space;
            if (stop > pos) {
                pieces.push_back(line.substr(pos, stop - pos));
            }
            pos = stop + 1;
        }
        if (pieces.size() >= 2 && pieces[1].starts_with("SHA256:")) {
            fingerprints.emplace(pieces[1]);
        }
    }
    return fingerprints;
}

} // namespace vantorelle
