// PassphraseVerifier and KeyPassphrase against the real ssh-keygen, and the rule that a passphrase
// never reaches a child's command line or environment.
#include <gtest/gtest.h>

#include "ssh/AgentClient.h"
#include "ssh/KeyPassphrase.h"
#include "ssh/KeyScanner.h"
#include "ssh/PTYRunner.h"
#include "ssh/PassphraseVerifier.h"
#include "support/SshTools.h"
#include "support/TempDir.h"

namespace vantorelle {
namespace {

SecretString sec(std::string_view text)
{
    return SecretString(text);
}

using test::KeySpec;

class PassphraseOps : public ::testing::Test
{
protected:
    TempDir dir{"vt-pass"};
};

TEST_F(PassphraseOps, VerifierAcceptsOnlyTheRightPassphrase)
{
    for (const KeySpec& spec :
         {KeySpec{.passphrase = "open sesame"}, KeySpec{.type = "rsa", .passphrase = "open sesame", .pem = true},
          KeySpec{.type = "ecdsa", .passphrase = "open sesame", .keepPublic = false}}) {
        const auto key = test::makeKey(dir.path() / ("k-" + spec.type + (spec.pem ? "-pem" : "")), spec);
        EXPECT_TRUE(PassphraseVerifier::isValid(sec("open sesame"), key)) << key;
        EXPECT_FALSE(PassphraseVerifier::isValid(sec("open sesamE"), key)) << key;
        EXPECT_FALSE(PassphraseVerifier::isValid(sec(""), key)) << key;
    }
    EXPECT_TRUE(PassphraseVerifier::isValid(sec("whatever"), test::makeKey(dir.path() / "plain")));
    EXPECT_FALSE(PassphraseVerifier::isValid(sec("whatever"), (dir.path() / "missing").string()));
}

TEST_F(PassphraseOps, WrongPassphraseMakesSshKeygenGiveUpRatherThanTimeOut)
{
    const auto key = test::makeKey(dir.path() / "k", {.passphrase = "right"});
    const auto run = PTYRunner::run("/usr/bin/ssh-keygen", {"-y", "-f", key.string()}, test::minimalEnvironment(),
                                    PTYRunner::passphraseResponder(sec("wrong")), 15);
    ASSERT_TRUE(run) << run.error().description();
    EXPECT_NE(run->status, 0);
}

TEST_F(PassphraseOps, AddChecksItsInputsBeforeRunningAnything)
{
    const std::string missing = (dir.path() / "missing").string();
    EXPECT_EQ(KeyPassphrase::add(sec(""), sec(""), missing).error().kind, KeyPassphraseError::Kind::empty);
    EXPECT_EQ(KeyPassphrase::add(sec(""), sec("x"), missing).error().kind, KeyPassphraseError::Kind::empty);
    EXPECT_EQ(KeyPassphrase::add(sec("Secret"), sec("secret"), missing).error().kind,
              KeyPassphraseError::Kind::mismatch);
}

TEST_F(PassphraseOps, AddEncryptsAKeyWithoutPassphrase)
{
    // ssh-keygen shows "Key has comment '...'" before it asks: prompt words in a comment are no prompt.
    int n = 0;
    for (const KeySpec& spec : {KeySpec{}, KeySpec{.type = "rsa", .pem = true}, KeySpec{.comment = "again"},
                                KeySpec{.comment = "new passphrase"}, KeySpec{.comment = "passphrase again"}}) {
        const auto key = test::makeKey(dir.path() / ("k" + std::to_string(n++)), spec);
        const auto fingerprint = test::fingerprintOf(key.string() + ".pub");
        const auto added = KeyPassphrase::add(sec("new secret"), sec("new secret"), key);
        ASSERT_TRUE(added) << key;
        EXPECT_TRUE(PassphraseVerifier::isValid(sec("new secret"), key));
        EXPECT_FALSE(PassphraseVerifier::isValid(sec("other"), key));
        // Same key, now protected.
        const auto scanned = KeyScanner::describeKey(key, false);
        ASSERT_TRUE(scanned);
        EXPECT_EQ(scanned->status, SSHKey::Status::usable);
        EXPECT_EQ(scanned->fingerprint, fingerprint);
    }
}

TEST_F(PassphraseOps, AddPutsExactlyThePassphraseOnEvenWithTerminalControlCharacters)
{
    // Typed on a terminal with line editing, "abc^U" would reach ssh-keygen as an empty line
    // twice, and add would "succeed" leaving the key unprotected.
    const auto key = test::makeKey(dir.path() / "k");
    const std::string passphrase = "pass\x15word\x7f!";
    ASSERT_TRUE(KeyPassphrase::add(SecretString(passphrase), SecretString(passphrase), key));
    const auto opens = [&](const std::string& candidate) {
        return test::runTool("/usr/bin/ssh-keygen", {"-y", "-P", candidate, "-f", key.string()}).status == 0;
    };
    EXPECT_TRUE(opens(passphrase));
    EXPECT_FALSE(opens(""));
    EXPECT_FALSE(opens("word!"));
    EXPECT_TRUE(PassphraseVerifier::isValid(SecretString(passphrase), key));
    EXPECT_FALSE(PassphraseVerifier::isValid(sec("word!"), key));
}

TEST_F(PassphraseOps, AddOnAKeyThatHasAPassphraseFailsAndLeavesItAlone)
{
    const auto key = test::makeKey(dir.path() / "k", {.passphrase = "old"});
    const auto added = KeyPassphrase::add(sec("new"), sec("new"), key);
    ASSERT_FALSE(added);
    EXPECT_EQ(added.error().kind, KeyPassphraseError::Kind::failed);
    EXPECT_NE(added.error().status, 0);
    EXPECT_TRUE(PassphraseVerifier::isValid(sec("old"), key));
}

// Wraps an answering rule so that, at every prompt, the waiting tool's command line and environment
// are read from /proc before anything is typed.
struct InspectingAnswer
{
    std::string comm;
    std::string secret;
    PTYRunner::Answer inner;
    std::shared_ptr<int> inspected = std::make_shared<int>(0);
    std::shared_ptr<std::vector<std::string>> findings = std::make_shared<std::vector<std::string>>();

    std::optional<SecretString> operator()(std::string_view text) const
    {
        for (const pid_t pid : test::childrenOfThisProcess(comm)) {
            const auto cmdline = test::readProcFile(pid, "cmdline");
            const auto environ = test::readProcFile(pid, "environ");
            if (cmdline.empty() || environ.empty()) {
                continue; // exiting after its last words: nothing left to read
            }
            ++*inspected;
            if (cmdline.find(secret) != std::string::npos) {
                findings->push_back("argv: " + cmdline);
            }
            if (environ.find(secret) != std::string::npos) {
                findings->push_back("environment");
            }
            if (environ.find("SSH_ASKPASS_REQUIRE=never") == std::string::npos
                || environ.find("SSH_ASKPASS=") != std::string::npos
                || environ.find("VANTORELLE_CANARY") != std::string::npos) {
                findings->push_back("unexpected environment: " + environ);
            }
        }
        return inner(text);
    }
};

TEST_F(PassphraseOps, PassphraseNeverAppearsInAnyChildsArgvOrEnvironment)
{
    const std::string secret = "canary-passphrase-7f3a";
    ::setenv("VANTORELLE_CANARY", secret.c_str(), 1);
    ::setenv("SSH_ASKPASS", "/usr/bin/whatever", 1);
    const auto key = test::makeKey(dir.path() / "k", {.passphrase = secret});
    const auto plain = test::makeKey(dir.path() / "plain");
    test::TestAgent agent(dir.path() / "agent.sock");
    const AgentClient client(agent.socket().string());
    const auto toolEnvironment = client.childEnvironment();

    struct Case
    {
        std::string comm;
        std::vector<std::string> argv; // [0] is the program
        PTYRunner::Answer inner;
    };
    // The very argument lists the verifier, the passphrase adder and the agent client run.
    const std::vector<Case> cases{
        {"ssh-keygen",
         {"/usr/bin/ssh-keygen", "-y", "-f", key.string()},
         PTYRunner::passphraseResponder(SecretString(secret))},
        {"ssh-add",
         {"/usr/bin/ssh-add", "-t", "60", key.string()},
         PTYRunner::passphraseResponder(SecretString(secret))},
        {"ssh-keygen",
         {"/usr/bin/ssh-keygen", "-p", "-f", plain.string()},
         [secret, n = 0](std::string_view text) mutable -> std::optional<SecretString> {
             if (text.find("assphrase") == std::string_view::npos) {
                 return std::nullopt;
             }
             return n++ < 2 ? SecretString(secret) : SecretString();
         }},
    };
    for (const auto& c : cases) {
        InspectingAnswer answer{c.comm, secret, c.inner};
        const auto run = PTYRunner::run(c.argv[0], {c.argv.begin() + 1, c.argv.end()}, toolEnvironment, answer, 15);
        ASSERT_TRUE(run) << c.argv[1];
        EXPECT_EQ(run->status, 0) << c.argv[0] << " " << c.argv[1] << ": " << run->output;
        EXPECT_GE(*answer.inspected, 1) << "the tool was looked at while it waited";
        EXPECT_EQ(*answer.findings, std::vector<std::string>{}) << c.argv[1];
        EXPECT_EQ(run->output.find(secret), std::string::npos) << run->output;
    }
    ::unsetenv("VANTORELLE_CANARY");
    ::unsetenv("SSH_ASKPASS");
    // The adder and the verifier themselves, end to end, with the caller's environment full of secrets.
    EXPECT_TRUE(PassphraseVerifier::isValid(SecretString(secret), plain));
}

} // namespace
} // namespace vantorelle
