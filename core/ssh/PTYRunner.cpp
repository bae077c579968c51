// PTYRunner: runs an OpenSSH tool on a fresh pseudo-terminal and types answers to its prompts.
#include "ssh/PTYRunner.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <poll.h>
#include <unistd.h>

#include "ssh/ToolText.h"
#include "sys/ChildProcess.h"
#include "sys/Io.h"
#include "sys/Pty.h"
#include "sys/Utf8.h"

namespace vantorelle::PTYRunner {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxWaitMs = 200;
constexpr size_t kReadSize = 4096;
// Far beyond any tool run; keeps the deadline arithmetic away from overflow.
constexpr double kLongestTimeout = 365.0 * 24 * 3600;

Clock::time_point deadlineAfter(double seconds)
{
    if (!(seconds > 0)) { // also NaN
        seconds = 0;
    }
    seconds = std::min(seconds, kLongestTimeout);
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The master is non-blocking: a child that stops reading must not hang the writer past the deadline.
bool writeUntil(int fd, std::string_view bytes, Clock::time_point deadline)
{
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return false;
        }
        if (io::pollOne(fd, POLLOUT, deadline) <= 0) {
            return false;
        }
    }
    return true;
}

} // namespace

std::expected<Result, PTYRunnerError> run(const std::string& path, const std::vector<std::string>& args,
                                          const Environment& env, const Answer& answer, double timeout)
{
    auto pty = Pty::open();
    if (!pty) {
        return std::unexpected(PTYRunnerError::ptyUnavailable());
    }
    // Held until the child has opened its own: with no slave open the master reads EIO at once.
    Fd slave = pty->openSlave();
    if (slave) {
        Pty::prepareForAnswers(slave.get());
    }

    ChildProcess::Options options;
    options.path = path;
    options.args = args;
    options.env = env;
    options.env.unset("SSH_ASKPASS");
    options.env.set("SSH_ASKPASS_REQUIRE", "never");
    options.terminal = pty->slavePath;
    auto child = ChildProcess::spawn(options);
    slave.reset();
    if (!child) {
        return std::unexpected(PTYRunnerError::spawnFailed(child.error()));
    }

    const int master = pty->master.get();
    io::setNonBlocking(master, true);
    const auto deadline = deadlineAfter(timeout);
    std::string pending;
    std::string all;
    std::array<char, kReadSize> buffer{};
    bool timedOut = true;
    while (Clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        const int ready = ::poll(&p, 1, io::pollTimeout(deadline, kMaxWaitMs));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            timedOut = false;
            break;
        }
        if (ready == 0) {
            continue;
        }
        const ssize_t n = ::read(master, buffer.data(), buffer.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        // 0 bytes, or EIO once the child has closed its side of the terminal: end of output.
        if (n <= 0) {
            timedOut = false;
            break;
        }
        pending.append(buffer.data(), static_cast<size_t>(n));
        all.append(buffer.data(), static_cast<size_t>(n));
        if (auto reply = answer(Utf8::repaired(pending))) {
            // A failed write (the child gone) shows up as end of output on the next read.
            if (writeUntil(master, reply->view(), deadline)) {
                writeUntil(master, "\n", deadline);
            }
            pending.clear();
        }
    }

    // A child that closed the terminal but keeps running is held to the same deadline.
    std::optional<int> status;
    if (!timedOut) {
        status = child->waitUntil(deadline);
    }
    if (!status) {
        child->kill();
        return std::unexpected(PTYRunnerError::timedOut(Utf8::repaired(all)));
    }
    return Result{*status, Utf8::repaired(all)};
}

Answer passphraseResponder(SecretString passphrase)
{
    // Shared, so copies of the rule (std::function copies) hold no further copy of the secret.
    return [passphrase = std::make_shared<const SecretString>(std::move(passphrase)),
            count = 0](std::string_view text) mutable -> std::optional<SecretString> {
        if (ToolText::lowercased(text).find("passphrase") == std::string::npos) {
            return std::nullopt;
        }
        return count++ == 0 ? passphrase->copy() : SecretString();
    };
}

} // namespace vantorelle::PTYRunner
