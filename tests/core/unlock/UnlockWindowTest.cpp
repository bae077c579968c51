// The unlock window: its remaining share, and keeping it in the shared defaults across restarts.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>

#include "defaults/FileDefaults.h"
#include "defaults/MemoryDefaults.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "window/SoundPolicy.h"
#include "window/UserDefaultsUnlockWindowStore.h"

using namespace vantorelle;

namespace {

const Date kOpened = dateFromSeconds(1'700'000'000);

} // namespace

TEST(UnlockWindow, FractionIsTheShareLeftWithinZeroAndOne)
{
    const UnlockWindow window{kOpened + std::chrono::duration<double>(3600), 3600};
    struct Case
    {
        double secondsAfterOpening;
        double expected;
    };
    for (const Case c : {Case{0, 1}, {-100, 1}, {900, 0.75}, {1800, 0.5}, {3600, 0}, {5000, 0}}) {
        EXPECT_DOUBLE_EQ(window.fraction(kOpened + std::chrono::duration<double>(c.secondsAfterOpening)), c.expected)
            << c.secondsAfterOpening;
    }
}

TEST(UnlockWindow, FractionIsZeroWithoutAPositiveDuration)
{
    for (double duration : {0.0, -60.0, std::nan("")}) {
        const UnlockWindow window{kOpened + std::chrono::duration<double>(60), duration};
        EXPECT_EQ(window.fraction(kOpened), 0) << duration;
    }
}

// The same rules over the in-memory store and over the real file that every process shares.
class WindowStoreTest : public ::testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        if (GetParam()) {
            m_dir = std::make_unique<TempDir>();
            m_defaults = std::make_unique<FileDefaults>(m_dir->path() / "vantorelle" / "defaults.json");
        } else {
            m_defaults = std::make_unique<MemoryDefaults>();
        }
    }
    // What another process (or the next run of the app) sees.
    std::unique_ptr<Defaults> reopened() const
    {
        if (GetParam()) {
            return std::make_unique<FileDefaults>(m_dir->path() / "vantorelle" / "defaults.json");
        }
        return nullptr;
    }

    std::unique_ptr<TempDir> m_dir;
    std::unique_ptr<Defaults> m_defaults;
};

TEST_P(WindowStoreTest, SavedWindowLoadsBackUnchanged)
{
    UserDefaultsUnlockWindowStore store(*m_defaults);
    EXPECT_FALSE(store.load());
    const UnlockWindow window{dateFromSeconds(1'800'000'000.5), 5400};
    store.save(window);
    EXPECT_EQ(store.load(), window);
    EXPECT_EQ(m_defaults->date("unlockExpiry"), window.expiry);
    EXPECT_EQ(m_defaults->number("unlockWindowDuration"), 5400.0);
    if (auto other = reopened()) {
        EXPECT_EQ(UserDefaultsUnlockWindowStore(*other).load(), window);
    }
    const UnlockWindow past{dateFromSeconds(1000), 900}; // an expired window comes back as it is
    store.save(past);
    EXPECT_EQ(store.load(), past);
    // A length written by hand (or by another tool) as a JSON integer is still a length.
    m_defaults->set("unlockWindowDuration", std::int64_t{1800});
    EXPECT_EQ(store.load(), (UnlockWindow{dateFromSeconds(1000), 1800}));
}

TEST_P(WindowStoreTest, ClearForgetsBothEntriesAndLeavesOthers)
{
    m_defaults->set("soundsEnabled", false);
    UserDefaultsUnlockWindowStore store(*m_defaults);
    store.save({dateFromSeconds(1'800'000'000), 900});
    store.clear();
    EXPECT_FALSE(store.load());
    EXPECT_FALSE(m_defaults->object("unlockExpiry"));
    EXPECT_FALSE(m_defaults->object("unlockWindowDuration"));
    EXPECT_EQ(m_defaults->boolean("soundsEnabled"), false);
}

TEST_P(WindowStoreTest, IncompleteOrWrongEntriesLoadAsNothing)
{
    const Date expiry = dateFromSeconds(1'800'000'000);
    struct Case
    {
        const char* what;
        std::optional<DefaultsValue> expiry;
        std::optional<DefaultsValue> duration;
    };
    const std::vector<Case> cases = {
        {"only the expiry", expiry, std::nullopt},
        {"zero length", expiry, 0.0},
        {"negative length", expiry, -900.0},
        {"length of another kind", expiry, std::string("900")},
        {"expiry as a plain number", 1'800'000'000.0, 900.0},
        {"expiry as a string", std::string("2027-01-15"), 900.0},
        {"only the length", std::nullopt, 900.0},
    };
    for (const auto& c : cases) {
        m_defaults->remove("unlockExpiry");
        m_defaults->remove("unlockWindowDuration");
        if (c.expiry) {
            m_defaults->set("unlockExpiry", *c.expiry);
        }
        if (c.duration) {
            m_defaults->set("unlockWindowDuration", *c.duration);
        }
        EXPECT_FALSE(UserDefaultsUnlockWindowStore(*m_defaults).load()) << c.what;
        // load() cleans nothing up.
        EXPECT_EQ(m_defaults->object("unlockExpiry").has_value(), c.expiry.has_value()) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, WindowStoreTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "FileDefaults" : "MemoryDefaults";
                         });

TEST(WindowStoreFile, DamagedFileLoadsAsNothingAndSaveKeepsTheDamagedCopy)
{
    TempDir dir;
    const auto file = dir.path() / "defaults.json";
    test::writeFile(file, "{\"unlockExpiry\": {\"$date\": 1800000000}, \"unlockWindowDuration\": 9");
    FileDefaults defaults(file);
    UserDefaultsUnlockWindowStore store(defaults);
    EXPECT_FALSE(store.load());
    const UnlockWindow window{dateFromSeconds(1'800'000'000), 900};
    store.save(window);
    EXPECT_EQ(store.load(), window);
    int damagedCopies = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        damagedCopies += entry.path().filename().string().starts_with("defaults.json.damaged.");
    }
    EXPECT_EQ(damagedCopies, 1);
}

TEST(SoundPolicy, AnAbsentSettingCountsAsOn)
{
    struct Case
    {
        std::optional<bool> app;
        std::optional<bool> system;
        bool expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, true},
        {true, std::nullopt, true},
        {std::nullopt, true, true},
        {true, true, true},
        {true, false, false},
        {std::nullopt, false, false},
        {false, std::nullopt, false},
        {false, true, false},
        {false, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SoundPolicy::shouldPlay(c.app, c.system), c.expected);
    }
}

TEST(SoundPolicy, ReadsTheAppSettingOnlyWhenItIsABoolean)
{
    MemoryDefaults defaults;
    EXPECT_TRUE(SoundPolicy::shouldPlay(defaults));
    EXPECT_FALSE(SoundPolicy::shouldPlay(defaults, false));
    defaults.set(SoundPolicy::enabledKey, false);
    EXPECT_FALSE(SoundPolicy::shouldPlay(defaults));
    EXPECT_FALSE(SoundPolicy::shouldPlay(defaults, true));
    defaults.set(SoundPolicy::enabledKey, true);
    EXPECT_TRUE(SoundPolicy::shouldPlay(defaults, true));
    EXPECT_FALSE(SoundPolicy::shouldPlay(defaults, false));
    // Not a boolean: as if absent.
    defaults.set(SoundPolicy::enabledKey, std::int64_t{0});
    EXPECT_TRUE(SoundPolicy::shouldPlay(defaults));
    defaults.set(SoundPolicy::enabledKey, std::string("false"));
    EXPECT_TRUE(SoundPolicy::shouldPlay(defaults, std::nullopt));
}
