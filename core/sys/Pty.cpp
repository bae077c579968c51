// Pty: a fresh pseudo-terminal: the master descriptor and the path of its slave.
#include "sys/Pty.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>

namespace vantorelle {

std::expected<Pty, int> Pty::open()
{
    Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master) {
        return std::unexpected(errno);
    }
    if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
        return std::unexpected(errno);
    }
    // ptsname(3) returns a static buffer; the _r form is safe with several runs in parallel.
    std::array<char, 128> name{};
    if (const int rc = ::ptsname_r(master.get(), name.data(), name.size()); rc != 0) {
        return std::unexpected(rc);
    }
    // Older C libraries ignore O_CLOEXEC on posix_openpt; make sure.
    if (::fcntl(master.get(), F_SETFD, FD_CLOEXEC) != 0) {
        return std::unexpected(errno);
    }
    return Pty{std::move(master), std::string(name.data())};
}

Fd Pty::openSlave() const
{
    int fd;
    do {
        fd = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return Fd(fd);
}

bool Pty::disableEcho(int terminalFd)
{
    termios settings{};
    if (::tcgetattr(terminalFd, &settings) != 0) {
        return false;
    }
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    return ::tcsetattr(terminalFd, TCSANOW, &settings) == 0;
}

} // namespace vantorelle
