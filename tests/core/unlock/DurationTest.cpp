// Window lengths: the clamping rule and the three ways a duration is written.
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

#include "window/DurationPolicy.h"
#include "window/DurationText.h"

using namespace vantorelle;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

TEST(DurationPolicy, RoundsToTheStepWithinBoundsAndAConfiguredLengthFallsBackToTheDefault)
{
    for (const auto& [in, out] : std::vector<std::pair<double, double>>{
             {449, 900},   {450, 900},   {1000, 900},   {1349.9, 900},  {1350, 1800},   {1800, 1800}, {3600, 3600},
             {4020, 3600}, {4050, 4500}, {10349, 9900}, {10350, 10800}, {10800, 10800}, {1e9, 10800}, {0, 900},
             {-0.0, 900},  {-1350, 900}, {-1e9, 900},   {kInf, 10800},  {-kInf, 900},   {kNaN, 900}}) {
        EXPECT_EQ(DurationPolicy::clamp(in), out) << in;
    }
    EXPECT_EQ(DurationPolicy::clamp(DurationPolicy::defaultValue), DurationPolicy::cap);
    const std::pair<std::optional<double>, double> configured[]
        = {{std::nullopt, 10800}, {0.0, 10800},    {-5.0, 10800}, {kNaN, 10800}, {1.0, 900},
           {3700.0, 3600},        {86400.0, 10800}};
    for (const auto& [in, out] : configured) {
        EXPECT_EQ(DurationPolicy::configured(in), out) << in.value_or(-1);
    }
}

TEST(DurationText, LongWritesHoursAndMinutesInBothLanguages)
{
    // Seconds are dropped, never rounded up: a window does not look longer than it is. Under a
    // minute, zero and negative times read as zero minutes; nothing sensible gives nothing.
    // clang-format off
    const std::pair<double, const char*> cases[] = {
        {10800, "3h|3 h"}, {5400, "1h 30m|1 h 30 min"}, {2700, "45m|45 min"}, {3600, "1h|1 h"},
        {3660, "1h 1m|1 h 1 min"}, {1740.9, "29m|29 min"}, {3599.9, "59m|59 min"}, {7259, "2h|2 h"},
        {90000, "25h|25 h"}, {59, "0m|0 min"}, {0, "0m|0 min"}, {-5400, "0m|0 min"}, {kNaN, "|"}, {kInf, "|"},
        {-kInf, "|"}, {1e19, "|"}};
    // clang-format on
    for (const auto& [in, out] : cases) { // English|French
        EXPECT_EQ(DurationText::longText(in, Language::English) + "|" + DurationText::longText(in, Language::French),
                  out)
            << in;
    }
}

TEST(DurationText, CompactIsHoursColonMinutesAndClockIsPaddedAndRoundedUp)
{
    for (const auto& [in, out] : std::vector<std::pair<double, const char*>>{{5400, "1:30"},
                                                                             {10800, "3:00"},
                                                                             {59, "0:00"},
                                                                             {3599.9, "0:59"},
                                                                             {36000, "10:00"},
                                                                             {60, "0:01"},
                                                                             {0, "0:00"},
                                                                             {-0.5, "0:00"},
                                                                             {-5400, "0:00"},
                                                                             {kNaN, "0:00"},
                                                                             {kInf, "0:00"},
                                                                             {-kInf, "0:00"},
                                                                             {1e19, "0:00"},
                                                                             {-1e19, "0:00"},
                                                                             {9.2e18, "2555555555555555:33"}}) {
        EXPECT_EQ(DurationText::compact(in), out) << in;
    }
    for (const auto& [in, out] : std::vector<std::pair<double, const char*>>{{59.2, "0:01:00"},
                                                                             {3600, "1:00:00"},
                                                                             {0, "0:00:00"},
                                                                             {-5, "0:00:00"},
                                                                             {-0.5, "0:00:00"},
                                                                             {0.001, "0:00:01"},
                                                                             {10799.5, "3:00:00"},
                                                                             {5405, "1:30:05"},
                                                                             {36000, "10:00:00"},
                                                                             {-kInf, "0:00:00"},
                                                                             {kNaN, ""},
                                                                             {kInf, ""},
                                                                             {1e19, ""}}) {
        EXPECT_EQ(DurationText::clock(in), out) << in;
    }
}

} // namespace
