// KeyPassphrase: puts a passphrase on a private key that has none, through ssh-keygen -p.
#include "ssh/KeyPassphrase.h"

#include "ssh/PTYRunner.h"
#include "ssh/ToolText.h"

namespace vantorelle::KeyPassphrase {

std::expected<void, KeyPassphraseError> add(const SecretString& passphrase, const SecretString& confirmation,
                                            const std::string& path, const Environment& environment)
{
    if (passphrase.empty()) {
        return std::unexpected(KeyPassphraseError{KeyPassphraseError::Kind::empty, 0, {}});
    }
    if (passphrase != confirmation) {
        return std::unexpected(KeyPassphraseError{KeyPassphraseError::Kind::mismatch, 0, {}});
    }
    // Each answer is given once; a repeated question gets an empty line so ssh-keygen gives up.
    // The old passphrase (asked only of a key that has one) is always an empty line.
    bool confirmationTyped = false;
    bool passphraseTyped = false;
    const PTYRunner::Answer answer = [&](std::string_view text) -> std::optional<SecretString> {
        // Only the line being asked: the comment ssh-keygen prints first may hold any word.
        const std::string lower = ToolText::lowercased(text.substr(text.find_last_of("\r\n") + 1));
        if (lower.find("passphrase") == std::string::npos) {
            return std::nullopt;
        }
        if (lower.find("again") != std::string::npos) {
            return std::exchange(confirmationTyped, true) ? SecretString() : confirmation.copy();
        }
        if (lower.find("new passphrase") != std::string::npos) {
            return std::exchange(passphraseTyped, true) ? SecretString() : passphrase.copy();
        }
        return SecretString();
    };
    auto run = PTYRunner::run(ToolText::kSshKeygen, {"-p", "-f", path}, ToolText::toolEnvironment(environment), answer,
                              kTimeout);
    if (!run) {
        return std::unexpected(KeyPassphraseError{KeyPassphraseError::Kind::runner, 0, std::move(run.error())});
    }
    if (run->status != 0) {
        return std::unexpected(KeyPassphraseError{KeyPassphraseError::Kind::failed, run->status, {}});
    }
    return {};
}

} // namespace vantorelle::KeyPassphrase
