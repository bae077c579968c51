// Pure pieces of the ssh area: texts, the key record, lossy decoding and the shared fakes.
#include <gtest/gtest.h>

#include "fakes/FakeAgent.h"
#include "fakes/InMemoryPassphraseStore.h"
#include "ssh/AgentClientError.h"
#include "ssh/SSHKey.h"
#include "ssh/ToolText.h"

namespace vantorelle {
namespace {

SecretString sec(std::string_view text)
{
    return SecretString(text);
}

TEST(SSHKey, StatusRawValuesRoundTripAndUnknownOnesYieldNothing)
{
    for (const auto status : {SSHKey::Status::usable, SSHKey::Status::noPassphrase, SSHKey::Status::hardwareToken,
                              SSHKey::Status::otherAgent}) {
        EXPECT_EQ(statusFromString(toString(status)), status);
    }
    EXPECT_EQ(toString(SSHKey::Status::noPassphrase), "noPassphrase");
    EXPECT_FALSE(statusFromString("Usable"));
    EXPECT_FALSE(statusFromString(""));
}

TEST(SSHKey, DisplayNameIsTheFileName)
{
    const SSHKey key{"/home/u/.ssh/id_ed25519", "/home/u/.ssh/id_ed25519.pub", "SHA256:x", "", SSHKey::Status::usable};
    EXPECT_EQ(key.displayName(), "id_ed25519");
}

TEST(SSHKey, JsonFormKeepsTheFieldOrderAndRoundTrips)
{
    const SSHKey key{"/home/a/.ssh/id_ed25519", "/home/a/.ssh/id_ed25519.pub", "SHA256:abc", "a@b",
                     SSHKey::Status::otherAgent};
    EXPECT_EQ(encodeSSHKey(key),
              R"({"path":"/home/a/.ssh/id_ed25519","publicKeyPath":"/home/a/.ssh/id_ed25519.pub",)"
              R"("fingerprint":"SHA256:abc","comment":"a@b","status":"otherAgent"})");
    EXPECT_EQ(decodeSSHKey(encodeSSHKey(key)), key);
    // Member order does not matter to the reader; unknown members are ignored.
    EXPECT_EQ(decodeSSHKey(R"({"status":"otherAgent","comment":"a@b","fingerprint":"SHA256:abc","x":1,)"
                           R"("publicKeyPath":"/home/a/.ssh/id_ed25519.pub","path":"/home/a/.ssh/id_ed25519"})"),
              key);
}

TEST(SSHKey, JsonReaderRefusesIncompleteOrDamagedInput)
{
    for (const char* bad :
         {"", "[]", "null", "{", R"({"path":"/k"})",
          R"({"path":"/k","publicKeyPath":"/k.pub","fingerprint":"f","comment":"c","status":"lost"})",
          R"({"path":1,"publicKeyPath":"/k.pub","fingerprint":"f","comment":"c","status":"usable"})"}) {
        EXPECT_FALSE(decodeSSHKey(bad)) << bad;
    }
    // A comment read from a key file may not be UTF-8: it is replaced, not thrown.
    SSHKey odd{"/k", "/k.pub", "SHA256:x", std::string("caf\xE9"), SSHKey::Status::usable};
    const auto decoded = decodeSSHKey(encodeSSHKey(odd));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->comment, "caf\xEF\xBF\xBD");
}

TEST(ToolText, ToolEnvironmentIsMinimal)
{
    Environment from;
    from.set("HOME", "/h");
    from.set("SSH_ASKPASS", "/x");
    from.set("DISPLAY", ":0");
    EXPECT_EQ(ToolText::toolEnvironment(from).entries(),
              (std::vector<std::string>{"HOME=/h", "LANG=C", "PATH=/usr/bin:/bin", "SSH_ASKPASS_REQUIRE=never"}));
    EXPECT_EQ(ToolText::pathArgument("-D"), "./-D");
    EXPECT_EQ(ToolText::pathArgument("/k"), "/k");
}

TEST(AgentClientError, Texts)
{
    EXPECT_EQ(AgentClientError::commandFailed(1, "Bad passphrase\n").description(),
              "ssh-add exited with status 1: Bad passphrase\n");
    EXPECT_EQ(AgentClientError::invalidLifetime(0.5).description(), "invalid key lifetime: 0.5");
    EXPECT_EQ(AgentClientError::fromRunner(PTYRunnerError::timedOut("x")).runner.kind, PTYRunnerError::Kind::timedOut);
}

SSHKey keyAt(const std::string& path)
{
    return SSHKey{path, path + ".pub", "SHA256:" + path, "", SSHKey::Status::usable};
}

TEST(InMemoryPassphraseStore, FollowsTheStoreContract)
{
    InMemoryPassphraseStore store;
    const auto a = keyAt("/k/a");
    const auto b = keyAt("/k/b");
    EXPECT_EQ(store.passphrases({}, nullptr).value().size(), 0u);

    const auto none = store.passphrases({a, b}, nullptr);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().kind, PassphraseStoreError::Kind::notFound);

    ASSERT_TRUE(store.save(sec("one"), a));
    ASSERT_TRUE(store.save(sec("two"), a));
    const auto some = store.passphrases({a, b}, nullptr);
    ASSERT_TRUE(some);
    ASSERT_EQ(some->size(), 1u);
    EXPECT_EQ(some->at("/k/a").view(), "two");

    store.locked = true;
    EXPECT_EQ(store.passphrases({a}, nullptr).error().kind, PassphraseStoreError::Kind::cancelled);
    EXPECT_TRUE(store.passphrases({a}, std::make_shared<AuthenticationContext>()));

    store.markInvalidated("/k/b");
    EXPECT_EQ(store.passphrases({a, b}, std::make_shared<AuthenticationContext>()).error().kind,
              PassphraseStoreError::Kind::invalidated);

    ASSERT_TRUE(store.remove(a));
    ASSERT_TRUE(store.remove(a));
    EXPECT_FALSE(store.has("/k/a"));
}

TEST(FakeAgent, TracksLoadedKeysAndInjectedFailures)
{
    FakeAgent agent;
    agent.acceptedPassphrases["/k/a"] = sec("right");
    EXPECT_FALSE(agent.add("/k/a", sec("wrong"), 60));
    ASSERT_TRUE(agent.add("/k/a", sec("right"), 60));
    EXPECT_EQ(agent.loadedFingerprints().value(), std::set<std::string>{"SHA256:/k/a"});
    ASSERT_TRUE(agent.remove("/k/a"));
    EXPECT_TRUE(agent.loadedFingerprints().value().empty());
    agent.listFailure = AgentClientError::commandFailed(2, "no agent");
    EXPECT_FALSE(agent.loadedFingerprints());
    EXPECT_EQ(agent.addCalls.size(), 2u);
}

} // namespace
} // namespace vantorelle
