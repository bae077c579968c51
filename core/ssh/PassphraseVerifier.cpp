// PassphraseVerifier: checks whether a passphrase opens a private key, through ssh-keygen -y.
#include "ssh/PassphraseVerifier.h"

#include "ssh/PTYRunner.h"
#include "ssh/ToolText.h"

namespace vantorelle::PassphraseVerifier {

bool isValid(const SecretString& passphrase, const std::string& path, const Environment& environment)
{
    const auto run = PTYRunner::run(ToolText::kSshKeygen, {"-y", "-f", path}, ToolText::toolEnvironment(environment),
                                    PTYRunner::passphraseResponder(passphrase.copy()), kTimeout);
    return run && run->status == 0;
}

} // namespace vantorelle::PassphraseVerifier
