// The one UTF-8 decoder: strict validity, code points, and the repair by maximal subparts.
#include <gtest/gtest.h>

#include "sys/Utf8.h"

namespace vantorelle {
namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

TEST(Utf8, RepairReplacesEachMaximalSubpartOnce)
{
    struct Case
    {
        std::string bytes;
        std::string repaired;
    };
    const std::vector<Case> cases{
        {"plain ascii", "plain ascii"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"\xF0\x9F\x94\x91 key", "\xF0\x9F\x94\x91 key"},
        {"a\xFF" "b", "a" + kFFFD + "b"},
        {"caf\xE9", "caf" + kFFFD}, // Latin-1
        {"\xC0\xAF", kFFFD + kFFFD}, // overlong
        {"\xE0\x80\x80", kFFFD + kFFFD + kFFFD}, // overlong three-byte form
        {"\xED\xA0\x80", kFFFD + kFFFD + kFFFD}, // surrogate
        {"\xE2\x82", kFFFD}, // truncated at the end
        {"\xE2\x82x", kFFFD + "x"},
        {"\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD}, // above U+10FFFF
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"}, // U+10FFFF itself
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8::repaired(c.bytes), c.repaired) << c.bytes;
        EXPECT_EQ(Utf8::isValid(c.bytes), c.bytes == c.repaired) << c.bytes;
        EXPECT_TRUE(Utf8::isValid(Utf8::repaired(c.bytes)));
    }
}

TEST(Utf8, DecodesCodePointsAndRefusesIllFormedOnes)
{
    struct Case
    {
        std::string bytes;
        std::optional<char32_t> value;
        std::size_t length;
    };
    const std::vector<Case> cases{
        {"A", U'A', 1},           {"\xC2\xA0", 0xA0, 2},        {"\xE3\x80\x80", 0x3000, 3},
        {"\xF0\x9F\x94\x91", 0x1F511, 4}, {"\xC1\xBF", std::nullopt, 0}, {"\xED\xBF\xBF", std::nullopt, 0},
        {"\xE3\x80", std::nullopt, 0}, {"\x80", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        const auto decoded = Utf8::decodeAt(c.bytes, 0);
        ASSERT_EQ(decoded.has_value(), c.value.has_value()) << c.bytes;
        if (decoded) {
            EXPECT_EQ(decoded->value, *c.value);
            EXPECT_EQ(decoded->length, c.length);
        }
    }
}

} // namespace
} // namespace vantorelle
