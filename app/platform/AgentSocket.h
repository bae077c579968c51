// AgentSocket: where the user's ssh-agent listens.
#pragma once

#include <string>

#include "sys/Environment.h"

namespace vantorelle {

class SessionEnvironment;

// SSH_AUTH_SOCK from `env` when set and not empty; else the session's SSH_AUTH_SOCK when not
// empty; else the first of $XDG_RUNTIME_DIR/gcr/ssh, keyring/ssh and ssh-agent.socket that accepts
// a connection. Empty when none. Blocks briefly (tools and connects have deadlines).
std::string agentSocketPath(const Environment& env, SessionEnvironment& session);

} // namespace vantorelle
