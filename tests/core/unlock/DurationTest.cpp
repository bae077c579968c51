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
    // clang-format off
    for (const auto& [in, out] : std::vector<std::pair<double, double>>{
             {449, 900}, {450, 900}, {1000, 900}, {1349.9, 900}, {1350, 1800}, {1800, 1800}, {3600, 3600}, {4020, 3600},
             {4050, 4500}, {10349, 9900}, {10350, 10800}, {10800, 10800}, {1e9, 10800}, {0, 900}, {-0.0, 900},
             {-1350, 900}, {-1e9, 900}, {kInf, 10800}, {-kInf, 900}, {kNaN, 900}}) {
        EXPECT_EQ(DurationPolicy::clamp(in), out) << in;
    }
    EXPECT_EQ(DurationPolicy::clamp(DurationPolicy::defaultValue), DurationPolicy::cap);
    const std::pair<std::optional<double>, double> configured[] = {{std::nullopt, 10800}, {0.0, 10800}, {-5.0, 10800},
        {kNaN, 10800}, {1.0, 900}, {3700.0, 3600}, {86400.0, 10800}};
    // clang-format on
    for (const auto& [in, out] : configured) {
        EXPECT_EQ(DurationPolicy::configured(in), out) << in.value_or(-1);
    }
}

// Long text drops seconds, never rounds up: a window does not look longer than it is. Compact is
// "h:mm" the same way; the clock is "h:mm:ss" rounded up. Nothing sensible gives nothing (or 0:00).
TEST(DurationText, LongCompactAndClockForms)
{
    struct Case
    {
        double in;
        const char *english, *french, *compact, *clock;
    };
    // clang-format off
    const Case cases[] = {
        {10800, "3h", "3 h", "3:00", "3:00:00"}, {5400, "1h 30m", "1 h 30 min", "1:30", "1:30:00"},
        {2700, "45m", "45 min", "0:45", "0:45:00"}, {3660, "1h 1m", "1 h 1 min", "1:01", "1:01:00"},
        {1740.9, "29m", "29 min", "0:29", "0:29:01"}, {3599.9, "59m", "59 min", "0:59", "1:00:00"},
        {7259, "2h", "2 h", "2:00", "2:00:59"}, {90000, "25h", "25 h", "25:00", "25:00:00"},
        {36000, "10h", "10 h", "10:00", "10:00:00"}, {59, "0m", "0 min", "0:00", "0:00:59"},
        {59.2, "0m", "0 min", "0:00", "0:01:00"}, {60, "1m", "1 min", "0:01", "0:01:00"},
        {0.001, "0m", "0 min", "0:00", "0:00:01"}, {10799.5, "2h 59m", "2 h 59 min", "2:59", "3:00:00"},
        {5405, "1h 30m", "1 h 30 min", "1:30", "1:30:05"}, {0, "0m", "0 min", "0:00", "0:00:00"},
        {-0.5, "0m", "0 min", "0:00", "0:00:00"}, {-5400, "0m", "0 min", "0:00", "0:00:00"},
        {kNaN, "", "", "0:00", ""}, {kInf, "", "", "0:00", ""}, {-kInf, "", "", "0:00", "0:00:00"},
        {1e19, "", "", "0:00", ""}, {-1e19, "", "", "0:00", "0:00:00"}, {9.2e18, nullptr, nullptr, "2555555555555555:33", nullptr}};
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        if (c.english) {
            EXPECT_EQ(DurationText::longText(c.in, Language::English), c.english);
            EXPECT_EQ(DurationText::longText(c.in, Language::French), c.french);
            EXPECT_EQ(DurationText::clock(c.in), c.clock);
        }
        EXPECT_EQ(DurationText::compact(c.in), c.compact);
    }
}

} // namespace
