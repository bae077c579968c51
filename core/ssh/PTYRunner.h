// PTYRunner: runs an OpenSSH tool on a fresh pseudo-terminal and types answers to its prompts.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ssh/PTYRunnerError.h"
#include "sys/Environment.h"
#include "sys/SecretString.h"

namespace vantorelle::PTYRunner {

struct Result
{
    std::int32_t status = 0; // exit status, or 128 + signal for a child ended by a signal
    std::string output; // everything the program printed (UTF-8, invalid bytes replaced)
};

// Given everything the program printed since the last answer (or the start), returns the text to
// type (followed by a line feed), or nothing to wait for more output. Called on the running thread.
using Answer = std::function<std::optional<SecretString>(std::string_view text)>;

// Runs `path` (absolute; also argv[0]) with `args` on a new pseudo-terminal that becomes the child's
// controlling terminal, echo off, with exactly `env` minus "SSH_ASKPASS" plus "SSH_ASKPASS_REQUIRE"
// = "never". Blocks for at most `timeout` seconds, then kills the child (timedOut). The child is
// always reaped and every descriptor closed; safe to call from several threads at once.
std::expected<Result, PTYRunnerError> run(const std::string& path, const std::vector<std::string>& args,
                                          const Environment& env, const Answer& answer, double timeout);

// Types `passphrase` at the first prompt that mentions "passphrase" (any letter case) and an empty
// line at every later one, so a tool told the passphrase was wrong gives up instead of asking
// forever. For one run only: it counts prompts.
Answer passphraseResponder(SecretString passphrase);

} // namespace vantorelle::PTYRunner
