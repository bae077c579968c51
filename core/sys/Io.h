// Small blocking I/O helpers over raw descriptors: EINTR retried, short writes looped.
#pragma once

#include <chrono>
#include <expected>
#include <span>

namespace vantorelle::io {

using Deadline = std::chrono::steady_clock::time_point;

// Milliseconds left until `deadline`, clamped to [0, maxMs], for poll(2).
int pollTimeout(Deadline deadline, int maxMs = 3'600'000);

// Writes every byte; EINTR is repeated. Sockets are written with MSG_NOSIGNAL so a gone peer
// gives EPIPE instead of a signal. Returns false on any other failure.
bool writeAll(int fd, std::span<const char> bytes);

// poll(2) for one descriptor and one event set until `deadline`. Returns the revents, 0 on
// time-out, -1 on failure (errno set). EINTR is repeated with the time left.
int pollOne(int fd, short events, Deadline deadline);

// Fills `bytes` from `fd`, waiting at most until `deadline`. The error is ETIMEDOUT when the
// deadline passed, 0 when the other end closed first, else the errno of the failed read.
std::expected<void, int> readExactly(int fd, std::span<char> bytes, Deadline deadline);

// Sets or clears O_NONBLOCK; returns false on failure.
bool setNonBlocking(int fd, bool on);

} // namespace vantorelle::io
