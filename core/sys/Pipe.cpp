// Pipe: a close-on-exec pipe whose two ends are owned Fds.
#include "sys/Pipe.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace vantorelle {

std::expected<Pipe, int> Pipe::create(int extraFlags)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | extraFlags) != 0) {
        return std::unexpected(errno);
    }
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

} // namespace vantorelle
