// AgentSocket: the environment, then the session manager, then the desktops' usual sockets.
#include "platform/AgentSocket.h"

#include <chrono>

#include "ipc/SocketIO.h"
#include "platform/SessionEnvironment.h"

namespace vantorelle {

std::string agentSocketPath(const Environment& env, SessionEnvironment& session)
{
    if (auto own = env.nonEmpty("SSH_AUTH_SOCK")) {
        return *own;
    }
    if (auto fromSession = session.get("SSH_AUTH_SOCK"); fromSession && !fromSession->empty()) {
        return *fromSession;
    }
    const auto runtime = env.nonEmpty("XDG_RUNTIME_DIR");
    if (!runtime) {
        return {};
    }
    for (const char* candidate : {"gcr/ssh", "keyring/ssh", "ssh-agent.socket"}) {
        const std::string path = *runtime + "/" + candidate;
        // Only a socket somebody listens on: a stale file left by an ended agent would make every
        // ssh-add fail later with a less clear error.
        if (SocketIO::connectSocket(path, std::chrono::steady_clock::now() + std::chrono::milliseconds(500))) {
            return path;
        }
    }
    return {};
}

} // namespace vantorelle
