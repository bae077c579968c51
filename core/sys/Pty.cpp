// Pty: a fresh pseudo-terminal: the master descriptor and the path of its slave.
#include "sys/Pty.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

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

bool Pty::prepareForAnswers(int terminalFd)
{
    termios settings{};
    if (::tcgetattr(terminalFd, &settings) != 0) {
        return false;
    }
    // ISIG would turn ^C in a passphrase into SIGINT for the tool, IEXTEN makes ^V and ^W special,
    // IXON stops all output at ^S. Canonical mode stays (the tools read whole lines), minus its
    // erase, kill and end-of-file characters: ^U in a passphrase must not wipe what came before it.
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ISIG | IEXTEN);
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON);
    for (const int special : {VERASE, VKILL, VEOF, VEOL, VEOL2}) {
        settings.c_cc[special] = _POSIX_VDISABLE;
    }
    return ::tcsetattr(terminalFd, TCSANOW, &settings) == 0;
}

} // namespace vantorelle
