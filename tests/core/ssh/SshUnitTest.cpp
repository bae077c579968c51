// Pure pieces of the ssh area: the key record's JSON form, lossy decoding and the tool environment.
#include <gtest/gtest.h>

#include "ssh/SSHKey.h"
#include "ssh/ToolText.h"

namespace vantorelle {
namespace {

TEST(SSHKey, JsonFormKeepsTheFieldOrderRoundTripsAndRefusesDamage)
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
    for (const char* bad :
         {"", "[]", "null", "{", R"({"path":"/k"})",
          R"({"path":"/k","publicKeyPath":"/k.pub","fingerprint":"f","comment":"c","status":"lost"})",
          R"({"path":1,"publicKeyPath":"/k.pub","fingerprint":"f","comment":"c","status":"usable"})"}) {
        EXPECT_FALSE(decodeSSHKey(bad)) << bad;
    }
    // A comment read from a key file may not be UTF-8: it is replaced, not thrown.
    const auto odd = decodeSSHKey(encodeSSHKey({"/k", "/k.pub", "SHA256:x", "caf\xE9", SSHKey::Status::usable}));
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->comment, "caf\xEF\xBF\xBD");
}

TEST(ToolText, ToolEnvironmentIsMinimalAndPathsAreNeverOptions)
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

} // namespace
} // namespace vantorelle
