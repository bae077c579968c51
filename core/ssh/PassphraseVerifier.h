// PassphraseVerifier: checks whether a passphrase opens a private key, through ssh-keygen -y.
#pragma once

#include <string>

#include "sys/Environment.h"
#include "sys/SecretString.h"

namespace vantorelle::PassphraseVerifier {

inline constexpr double kTimeout = 15;

// True when `passphrase` opens the private key at `path` (a key without a passphrase opens with any).
// The passphrase is typed on a pseudo-terminal. Every failure (no such file, no terminal, time-out)
// reads as false. Blocks for at most about 15 s. Only HOME of `environment` reaches ssh-keygen.
bool isValid(const SecretString& passphrase, const std::string& path,
             const Environment& environment = Environment::current());

} // namespace vantorelle::PassphraseVerifier
