// Pipe: a close-on-exec pipe whose two ends are owned Fds.
#pragma once

#include <expected>

#include "sys/Fd.h"

namespace vantorelle {

struct Pipe
{
    Fd read;
    Fd write;

    // pipe2(O_CLOEXEC | extraFlags); the error is errno.
    static std::expected<Pipe, int> create(int extraFlags = 0);
};

} // namespace vantorelle
