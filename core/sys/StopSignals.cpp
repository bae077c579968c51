// StopSignals: signalfd(2) over a blocked mask.
#include "sys/StopSignals.h"

#include <cerrno>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace vantorelle {

std::expected<StopSignals, int> StopSignals::install()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (const int error = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); error != 0) {
        return std::unexpected(error);
    }
    const int fd = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) {
        return std::unexpected(errno);
    }
    return StopSignals(Fd(fd));
}

int StopSignals::take()
{
    signalfd_siginfo info{};
    ssize_t got;
    do {
        got = ::read(m_fd.get(), &info, sizeof info);
    } while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

} // namespace vantorelle
