// AskpassPrompt::parse: the examples OpenSSH produces and the edges of the prefix, quote and
// keyword rules.
#include "ipc/AskpassPrompt.h"

#include <gtest/gtest.h>

namespace vantorelle {
namespace {

using AskpassPrompt::Kind;
using AskpassPrompt::Other;
using AskpassPrompt::Passphrase;

struct Case
{
    const char* name;
    std::string prompt;
    Kind expected;
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

class ParseTest : public testing::TestWithParam<Case>
{
};

TEST_P(ParseTest, Decides)
{
    const auto& c = GetParam();
    const Kind kind = AskpassPrompt::parse(c.prompt);
    if (const auto* p = std::get_if<Passphrase>(&kind)) {
        EXPECT_EQ(c.expected, kind) << "passphrase for [" << p->keyPath << "]";
    } else {
        const auto& o = std::get<Other>(kind);
        EXPECT_EQ(c.expected, kind) << "other [" << o.text << "] secret " << o.secret;
    }
}

Other other(std::string text, bool secret)
{
    return Other{std::move(text), secret};
}

INSTANTIATE_TEST_SUITE_P(
    Prompts, ParseTest,
    testing::Values(
        // What OpenSSH asks.
        Case{"sshQuotedKey",
             "Enter passphrase for key '/home/me/.ssh/id_ed25519': ", Passphrase{"/home/me/.ssh/id_ed25519"}},
        Case{"sshAddBarePath", "Enter passphrase for /home/me/.ssh/id_rsa: ", Passphrase{"/home/me/.ssh/id_rsa"}},
        Case{"password", "Password:", other("Password:", true)},
        Case{"securityKeyPin", "Enter PIN for ECDSA-SK key /home/me/.ssh/id_ecdsa_sk: ",
             other("Enter PIN for ECDSA-SK key /home/me/.ssh/id_ecdsa_sk: ", true)},
        Case{"pinSuffix", "PIN:", other("PIN:", true)},
        Case{"hostKeyQuestion", "Are you sure you want to continue connecting (yes/no/[fingerprint])? ",
             other("Are you sure you want to continue connecting (yes/no/[fingerprint])? ", false)},
        Case{"emptyQuotedName", "Enter passphrase for '':", other("Enter passphrase for '':", true)},
        Case{"emptyQuotedKeyName", "Enter passphrase for key '':", other("Enter passphrase for key '':", true)},
        Case{"retryAfterBadPassphrase", "Bad passphrase, try again for /home/me/.ssh/id_rsa: ",
             other("Bad passphrase, try again for /home/me/.ssh/id_rsa: ", true)},
        // Blanks around a passphrase prompt do not reach the key path; the text of other prompts
        // is kept exactly, blanks included.
        Case{"blanksAndLineFeed", "  \t Enter passphrase for key '/k': \n", Passphrase{"/k"}},
        Case{"trailingTabAndFirstUnicodeSpace", "Enter passphrase for /k:\u2000\t", Passphrase{"/k"}},
        Case{"unicodeBlanks", "\u00a0\u3000Enter passphrase for /k:\u2003\u0085\r\n\v\f", Passphrase{"/k"}},
        Case{"otherKeepsBlanks", "  Password: \n", other("  Password: \n", true)},
        // The passphrase shape itself.
        Case{"noColon", "Enter passphrase for key '/k'", other("Enter passphrase for key '/k'", true)},
        Case{"innerSpacesKept", "Enter passphrase for key 'a b':", Passphrase{"a b"}},
        Case{"doubleQuotesKept", "Enter passphrase for \"/k\":", Passphrase{"\"/k\""}},
        Case{"singleQuoteAlone", "Enter passphrase for ':", Passphrase{"'"}},
        Case{"onlyOpeningQuote", "Enter passphrase for 'abc:", Passphrase{"'abc"}},
        Case{"nothingBetween", "Enter passphrase for :", other("Enter passphrase for :", true)},
        Case{"keyWordCaseSensitive", "Enter passphrase for Key '/k':", Passphrase{"Key '/k'"}},
        Case{"keyWordAlone", "Enter passphrase for key :", other("Enter passphrase for key :", true)},
        Case{"pathWithColon", "Enter passphrase for /a:b:", Passphrase{"/a:b"}},
        Case{"prefixCaseSensitive", "enter passphrase for /k:", other("enter passphrase for /k:", true)},
        Case{"nonAsciiPath", "Enter passphrase for key '/home/zoë/.ssh/clé':", Passphrase{"/home/zoë/.ssh/clé"}},
        // Keywords, lower-cased; the suffix rule matches inside a word.
        Case{"upperPassword", "ENTER PASSWORD", other("ENTER PASSWORD", true)},
        Case{"pinBetweenSpaces", "Your pin please", other("Your pin please", true)},
        Case{"pinWithoutSpaces", "Spinning?", other("Spinning?", false)},
        Case{"spinSuffix", "Please spin:", other("Please spin:", true)},
        Case{"spinThenMore", "Please spin: now", other("Please spin: now", false)},
        Case{"pinSuffixAfterTrim", "PIN:  \n", other("PIN:  \n", true)}, Case{"empty", "", other("", false)},
        Case{"onlyBlanks", " \n", other(" \n", false)},
        Case{"invalidUtf8", "\xff\xfe Password", other("\xff\xfe Password", true)},
        // Broken sequences at either end are characters, not blanks: they stay and stop the trim.
        Case{"truncatedAfterColon", "Enter passphrase for /k:\xe2\x80",
             other("Enter passphrase for /k:\xe2\x80", true)},
        Case{"loneContinuationsAtEnd", "Enter passphrase for /k:\x80\x80\x80\x80",
             other("Enter passphrase for /k:\x80\x80\x80\x80", true)},
        Case{"truncatedBlankBefore",
             "\xe3\x80"
             "Enter passphrase for /k:",
             other("\xe3\x80"
                   "Enter passphrase for /k:",
                   true)},
        Case{"overlongSpaceIsNoBlank", "Enter passphrase for /k:\xc0\xa0",
             other("Enter passphrase for /k:\xc0\xa0", true)},
        Case{"pathWithBrokenBytes", "Enter passphrase for /k\xff:", Passphrase{"/k\xff"}}),
    [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST(AskpassPromptKind, EqualityNeedsSameCaseAndValues)
{
    EXPECT_EQ(Kind(Passphrase{"/k"}), Kind(Passphrase{"/k"}));
    EXPECT_NE(Kind(Passphrase{"/k"}), Kind(Other{"/k", false}));
    EXPECT_NE(Kind(Other{"x", true}), Kind(Other{"x", false}));
}

} // namespace
} // namespace vantorelle
