// AskpassPrompt: tells a key-passphrase prompt of OpenSSH from every other askpass question.
#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace vantorelle::AskpassPrompt {

// The prompt asks for the passphrase of the private key at `keyPath`.
struct Passphrase
{
    std::string keyPath;
    bool operator==(const Passphrase&) const = default;
};

// Any other question. `text` is the prompt exactly as given (not trimmed); `secret` tells whether
// the answer should be typed hidden.
struct Other
{
    std::string text;
    bool secret = false;
    bool operator==(const Other&) const = default;
};

using Kind = std::variant<Passphrase, Other>;

// Pure; never fails. The text is taken as UTF-8; bytes that do not decode are ordinary
// characters that are neither white space nor part of any keyword.
Kind parse(std::string_view text);

} // namespace vantorelle::AskpassPrompt
