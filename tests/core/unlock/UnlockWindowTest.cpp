// The unlock window: its remaining share, keeping it in the shared defaults file across restarts,
// whether sounds play, and window lengths (the clamping rule and the three ways one is written).
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <limits>

#include "defaults/FileDefaults.h"
#include "defaults/MemoryDefaults.h"
#include "support/TempDir.h"
#include "window/DurationPolicy.h"
#include "window/DurationText.h"
#include "window/SoundPolicy.h"
#include "window/UserDefaultsUnlockWindowStore.h"

using namespace vantorelle;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

const auto at = [](double seconds) { return dateFromSeconds(1'800'000'000 + seconds); };

TEST(UnlockWindow, FractionIsTheShareLeftWithinZeroAndOneAndZeroWithoutAPositiveLength)
{
    // Length, seconds from now, share left.
    // clang-format off
    const std::tuple<double, double, double> cases[] = {{3600, 0, 1}, {3600, -100, 1}, {3600, 900, 0.75}, {3600, 1800, 0.5},
        {3600, 3600, 0}, {3600, 5000, 0}, {0, 0, 0}, {-60, 0, 0}, {kNaN, 0, 0}};
    // clang-format on
    for (const auto& [duration, after, expected] : cases) {
        EXPECT_DOUBLE_EQ((UnlockWindow{at(3600), duration}.fraction(at(after))), expected) << duration << " " << after;
    }
}

TEST(UnlockWindowStore, SavedWindowLoadsInTheNextRunClearForgetsOnlyItAndWrongEntriesLoadAsNothingAndStay)
{
    TempDir dir;
    FileDefaults defaults{dir.path() / "defaults.json"};
    UserDefaultsUnlockWindowStore store{defaults};
    const UnlockWindow window{dateFromSeconds(1'800'000'000.5), 5400};
    store.save(window);
    EXPECT_EQ(defaults.date("unlockExpiry"), window.expiry);
    FileDefaults nextRun(dir.path() / "defaults.json");
    EXPECT_EQ(UserDefaultsUnlockWindowStore(nextRun).load(), window);
    defaults.set("unlockWindowDuration", std::int64_t{1800}); // a length written by hand as an integer
    EXPECT_EQ(store.load(), (UnlockWindow{window.expiry, 1800}));
    defaults.set("soundsEnabled", false);
    store.clear();
    EXPECT_FALSE(defaults.object("unlockExpiry") || defaults.object("unlockWindowDuration"));
    EXPECT_EQ(defaults.boolean("soundsEnabled"), false);
    // clang-format off
    const std::pair<std::optional<DefaultsValue>, std::optional<DefaultsValue>> cases[] = {{at(0), std::nullopt}, {at(0), 0.0},
        {at(0), std::string("900")}, {1'800'000'000.0, 900.0}, {std::string("2027-01-15"), 900.0}, {std::nullopt, 900.0}};
    // clang-format on
    for (const auto& row : cases) {
        const auto& [expiry, length] = row;
        expiry ? defaults.set("unlockExpiry", *expiry) : defaults.remove("unlockExpiry");
        length ? defaults.set("unlockWindowDuration", *length) : defaults.remove("unlockWindowDuration");
        EXPECT_FALSE(store.load()) << &row - cases;
        EXPECT_EQ(defaults.object("unlockExpiry").has_value(), expiry.has_value());
    }
}

// Whether either side turned sounds off is the platform suite's; here the setting's type.
TEST(SoundPolicy, AnAppSettingThatIsNotABooleanCountsAsAbsent)
{
    MemoryDefaults defaults;
    defaults.set(SoundPolicy::enabledKey, std::string("false"));
    EXPECT_TRUE(SoundPolicy::shouldPlay(defaults));
    defaults.set(SoundPolicy::enabledKey, std::int64_t{0});
    EXPECT_TRUE(SoundPolicy::shouldPlay(defaults, true));
    EXPECT_FALSE(SoundPolicy::shouldPlay(defaults, false));
}

TEST(DurationPolicy, RoundsToTheStepWithinBoundsAndAConfiguredLengthFallsBackToTheDefault)
{
    EXPECT_EQ(DurationPolicy::configured(std::nullopt), 10800);
    // Length, clamped, as configured.
    // clang-format off
    const std::tuple<double, double, double> cases[] = {{449, 900, 900}, {1349.9, 900, 900}, {1350, 1800, 1800}, {4020, 3600, 3600},
        {4050, 4500, 4500}, {10349, 9900, 9900}, {10350, 10800, 10800}, {1e9, 10800, 10800}, {0, 900, 10800}, {-0.0, 900, 10800},
        {-5, 900, 10800}, {-1e9, 900, 10800}, {kInf, 10800, 10800}, {kNaN, 900, 10800}, {1, 900, 900}, {3700, 3600, 3600}};
    // clang-format on
    for (const auto& [in, clamped, configured] : cases) {
        EXPECT_EQ(DurationPolicy::clamp(in), clamped) << in;
        EXPECT_EQ(DurationPolicy::configured(in), configured) << in;
    }
}

// Long text drops seconds, never rounds up: a window does not look longer than it is. Compact is
// "h:mm" the same way; the clock is "h:mm:ss" rounded up. Nothing sensible gives nothing (or 0:00).
TEST(DurationText, LongCompactAndClockForms)
{
    // clang-format off
    const std::tuple<double, const char*, const char*, const char*, const char*> cases[] = {
        {5400, "1h 30m", "1 h 30 min", "1:30", "1:30:00"}, {2700, "45m", "45 min", "0:45", "0:45:00"}, {-0.5, "0m", "0 min", "0:00", "0:00:00"},
        {3660, "1h 1m", "1 h 1 min", "1:01", "1:01:00"}, {1740.9, "29m", "29 min", "0:29", "0:29:01"}, {0, "0m", "0 min", "0:00", "0:00:00"},
        {3599.9, "59m", "59 min", "0:59", "1:00:00"}, {7259, "2h", "2 h", "2:00", "2:00:59"}, {60, "1m", "1 min", "0:01", "0:01:00"},
        {90000, "25h", "25 h", "25:00", "25:00:00"}, {59.2, "0m", "0 min", "0:00", "0:01:00"}, {kNaN, "", "", "0:00", ""},
        {kInf, "", "", "0:00", ""}, {-kInf, "", "", "0:00", "0:00:00"}, {1e19, "", "", "0:00", ""}, {-1e19, "", "", "0:00", "0:00:00"}};
    // clang-format on
    for (const auto& [in, english, french, compact, clock] : cases) {
        EXPECT_EQ(DurationText::longText(in, Language::English), english) << in;
        EXPECT_EQ(DurationText::longText(in, Language::French), french) << in;
        EXPECT_EQ(DurationText::compact(in), compact) << in;
        EXPECT_EQ(DurationText::clock(in), clock) << in;
    }
    EXPECT_EQ(DurationText::compact(9.2e18), "2555555555555555:33");
}

} // namespace
