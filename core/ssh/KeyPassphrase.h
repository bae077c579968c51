// KeyPassphrase: puts a passphrase on a private key that has none, through ssh-keygen -p.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "ssh/PTYRunnerError.h"
#include "sys/Environment.h"
#include "sys/SecretString.h"

namespace vantorelle {

struct KeyPassphraseError
{
    enum class Kind {
        failed, // ssh-keygen ran and exited with `status` != 0 (e.g. the key already has a passphrase)
        empty, // the new passphrase is empty
        mismatch, // the passphrase and its confirmation differ
        runner, // the pseudo-terminal run failed: `runner`, unchanged
    };
    Kind kind = Kind::failed;
    std::int32_t status = 0;
    PTYRunnerError runner;
    bool operator==(const KeyPassphraseError&) const = default;
};

namespace KeyPassphrase {

inline constexpr double kTimeout = 15;

// Encrypts the private key file at `path` with `passphrase`, typing both answers on a
// pseudo-terminal (never on a command line or in the environment). `empty` and `mismatch` are
// decided before anything runs. Only HOME of `environment` reaches ssh-keygen.
std::expected<void, KeyPassphraseError> add(const SecretString& passphrase, const SecretString& confirmation,
                                            const std::string& path,
                                            const Environment& environment = Environment::current());

} // namespace KeyPassphrase
} // namespace vantorelle
