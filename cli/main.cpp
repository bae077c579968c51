// vantorelle: reports the unlock state and locks or unlocks from a terminal.
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/CLI.h"
#include "ipc/IPCPaths.h"
#include "ipc/SocketClient.h"
#include "sys/CoreDumps.h"
#include "sys/Io.h"

namespace {

// One message per line.
vantorelle::CLI::Write lineWriter(int fd)
{
    return [fd](const std::string& message) {
        std::string line = message;
        line += '\n';
        vantorelle::io::writeAll(fd, line);
    };
}

} // namespace

int main(int argc, char** argv)
{
    using namespace vantorelle;
    forbidCoreDumps(); // an answer may carry a passphrase
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const CLI::Send send = [](const Request& request, double timeout) {
        return SocketClient::send(request, IPCPaths::socket(), timeout);
    };
    // The coordinator names the requester from this process's own entry in the process table.
    return CLI::run(arguments, send, lineWriter(STDOUT_FILENO), lineWriter(STDERR_FILENO),
                    static_cast<std::int32_t>(::getpid()));
}
