// The unlock window: its remaining share, keeping it in the shared defaults file across restarts,
// and whether sounds play.
#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>

#include "defaults/FileDefaults.h"
#include "defaults/MemoryDefaults.h"
#include "support/TempDir.h"
#include "window/SoundPolicy.h"
#include "window/UserDefaultsUnlockWindowStore.h"

using namespace vantorelle;

namespace {

Date at(double seconds)
{
    return dateFromSeconds(1'800'000'000 + seconds);
}

TEST(UnlockWindow, FractionIsTheShareLeftWithinZeroAndOneAndZeroWithoutAPositiveLength)
{
    struct Case
    {
        double duration, after, expected;
    };
    // clang-format off
    const Case cases[] = {{3600, 0, 1}, {3600, -100, 1}, {3600, 900, 0.75}, {3600, 1800, 0.5}, {3600, 3600, 0},
                          {3600, 5000, 0}, {0, 0, 0}, {-60, 0, 0}, {std::nan(""), 0, 0}};
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ((UnlockWindow{at(3600), c.duration}.fraction(at(c.after))), c.expected)
            << c.duration << " " << c.after;
    }
}

class WindowStoreTest : public ::testing::Test
{
protected:
    TempDir dir;
    const std::filesystem::path file = dir.path() / "vantorelle" / "defaults.json";
    FileDefaults defaults{file};
    UserDefaultsUnlockWindowStore store{defaults};
};

TEST_F(WindowStoreTest, SavedWindowLoadsBackInTheNextRunAndClearForgetsOnlyIt)
{
    EXPECT_FALSE(store.load());
    const UnlockWindow window{dateFromSeconds(1'800'000'000.5), 5400};
    store.save(window);
    EXPECT_EQ(defaults.date("unlockExpiry"), window.expiry);
    EXPECT_EQ(defaults.number("unlockWindowDuration"), 5400.0);
    FileDefaults nextRun(file);
    EXPECT_EQ(UserDefaultsUnlockWindowStore(nextRun).load(), window);
    store.save({at(-1e9), 900}); // an expired window comes back as it is
    EXPECT_EQ(store.load(), (UnlockWindow{at(-1e9), 900}));
    defaults.set("unlockWindowDuration", std::int64_t{1800}); // a length written by hand as an integer
    EXPECT_EQ(store.load(), (UnlockWindow{at(-1e9), 1800}));
    defaults.set("soundsEnabled", false);
    store.clear();
    EXPECT_FALSE(store.load());
    EXPECT_FALSE(defaults.object("unlockExpiry") || defaults.object("unlockWindowDuration"));
    EXPECT_EQ(defaults.boolean("soundsEnabled"), false);
}

TEST_F(WindowStoreTest, IncompleteOrWrongEntriesLoadAsNothingAndStay)
{
    struct Case
    {
        std::optional<DefaultsValue> expiry, duration;
    };
    // clang-format off
    const Case cases[] = {{at(0), std::nullopt}, {at(0), 0.0}, {at(0), -900.0}, {at(0), std::string("900")},
                          {1'800'000'000.0, 900.0}, {std::string("2027-01-15"), 900.0}, {std::nullopt, 900.0}};
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        defaults.remove("unlockExpiry");
        defaults.remove("unlockWindowDuration");
        if (c.expiry) {
            defaults.set("unlockExpiry", *c.expiry);
        }
        if (c.duration) {
            defaults.set("unlockWindowDuration", *c.duration);
        }
        EXPECT_FALSE(store.load());
        EXPECT_EQ(defaults.object("unlockExpiry").has_value(), c.expiry.has_value());
    }
}

TEST(SoundPolicy, PlaysUnlessTheAppOrTheSystemTurnedSoundsOffAndReadsOnlyABooleanSetting)
{
    const std::optional<bool> settings[] = {std::nullopt, true, false};
    for (const auto app : settings) {
        for (const auto system : settings) {
            EXPECT_EQ(SoundPolicy::shouldPlay(app, system), app != false && system != false);
        }
    }
    MemoryDefaults defaults;
    EXPECT_TRUE(SoundPolicy::shouldPlay(defaults));
    EXPECT_FALSE(SoundPolicy::shouldPlay(defaults, false));
    const std::tuple<DefaultsValue, std::optional<bool>, bool> rows[] = {{false, true, false},
                                                                         {true, true, true},
                                                                         {true, false, false},
                                                                         {std::int64_t{0}, std::nullopt, true},
                                                                         {std::string("false"), std::nullopt, true}};
    for (const auto& row : rows) { // a setting that is not a boolean counts as absent
        SCOPED_TRACE(&row - rows);
        defaults.set(SoundPolicy::enabledKey, std::get<0>(row));
        EXPECT_EQ(SoundPolicy::shouldPlay(defaults, std::get<1>(row)), std::get<2>(row));
    }
}

} // namespace
