// Pty: a fresh pseudo-terminal: the master descriptor and the path of its slave.
#pragma once

#include <expected>
#include <string>

#include "sys/Fd.h"

namespace vantorelle {

struct Pty
{
    Fd master; // close-on-exec, not the caller's controlling terminal
    std::string slavePath;

    // posix_openpt, grantpt, unlockpt and ptsname_r; the error is errno.
    static std::expected<Pty, int> open();

    // Opens the slave (read-write, close-on-exec, never becoming the caller's controlling terminal);
    // an invalid Fd when that fails. Keep it open until the child has its own: once every slave
    // descriptor is closed, reads on the master fail with EIO.
    Fd openSlave() const;

    // Sets a terminal up, at once, for answers typed into the master: ECHO off, so they never come
    // back out of it; and no line editing, signal, literal-next or flow-control characters, so every
    // byte of an answer reaches the program as typed (a line feed still ends the line).
    static bool prepareForAnswers(int terminalFd);
};

} // namespace vantorelle
