#include "dialogs/DialogPresenter.h"

#include <QApplication>
#include <gtest/gtest.h>

#include "i18n/L.h"
#include "platform/Log.h"

namespace vantorelle {

// One application for the whole program, on the offscreen platform: the panels are widgets.
QApplication& testApplication()
{
    static int argc = 1;
    static char name[] = "test", *argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: Qt's own globals are gone by the time static objects would be.
    static auto* app = new QApplication(argc, argv);
    return *app;
}

namespace {

struct NoClock final : DialogClock
{
    double now() const override { return 0; }
    void after(double, std::function<void()>) override { }
};

struct NoReader final : BiometricContext
{
    void evaluate(const std::string&, Reply) override { }
    void invalidate() override { }
};

struct Presenter : ::testing::Test, DialogViews, WindowFocus
{
    struct Shown
    {
        UnlockModel* unlock = nullptr;
        PromptModel* prompt = nullptr;
        bool open = true;
    };
    struct Panel final : DialogViews::Panel
    {
        Shown& shown;
        explicit Panel(Shown& s)
            : shown(s)
        {
        }
        ~Panel() override { shown.open = false; }
        void fadeOut(double) override { }
    };

    NoClock clock;
    std::deque<Shown> shown;
    std::vector<std::string> log, dialogOpen;
    std::optional<Window> front = 7;
    std::vector<Window> activated;
    bool reader = true;
    std::unique_ptr<DialogPresenter> presenter;

    static void SetUpTestSuite() { testApplication(); }
    void SetUp() override
    {
        applog::setSink([this](std::string_view, applog::Level, std::string_view line) { log.emplace_back(line); });
        presenter = std::make_unique<DialogPresenter>(DialogPresenter::Parts{
            .views = *this,
            .focus = *this,
            .environment = {.clock = clock, .newContext = [] { return std::make_shared<NoReader>(); }},
            .setDialogOpen = [this](bool open) { dialogOpen.push_back(open ? "open" : "closed"); },
            .notify = [](const Requester&) {},
            .fingerprintAvailable = [this](auto answer) { answer(reader); }});
    }
    void TearDown() override
    {
        presenter.reset();
        applog::setSink({});
    }

    std::unique_ptr<DialogViews::Panel> showUnlock(UnlockModel& model) override
    {
        return std::make_unique<Panel>(shown.emplace_back(Shown{.unlock = &model}));
    }
    std::unique_ptr<DialogViews::Panel> showPrompt(PromptModel& model) override
    {
        return std::make_unique<Panel>(shown.emplace_back(Shown{.prompt = &model}));
    }
    std::optional<Window> activeForeignWindow() override { return std::exchange(front, std::nullopt); }
    void activate(Window window) override { activated.push_back(window); }

    static void settle()
    {
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::processEvents();
        }
    }
    bool logged(const std::string& line) const { return std::ranges::find(log, line) != log.end(); }

    std::shared_ptr<std::optional<PresentResult>> unlock(std::stop_source& source,
                                                         PresentMode mode = PresentMode::Biometric{})
    {
        auto result = std::make_shared<std::optional<PresentResult>>();
        presenter->showUnlock({"git", Requester::Kind::interactive}, {SSHKey{.path = "/h/a"}, SSHKey{.path = "/h/b"}},
                              900, mode, source.get_token(), [result](PresentResult r) { *result = std::move(r); });
        settle();
        return result;
    }
    std::shared_ptr<std::optional<std::optional<std::string>>> prompt(std::stop_source& source)
    {
        auto answer = std::make_shared<std::optional<std::optional<std::string>>>();
        presenter->showPrompt("Continue?", false, source.get_token(), [answer](std::optional<SecretString> a) {
            *answer = a ? std::optional<std::string>(a->view()) : std::nullopt;
        });
        settle();
        return answer;
    }
};

TEST_F(Presenter, QueuedDialogsShowOneAfterAnotherAndTheFocusReturnsAfterTheLast)
{
    std::stop_source first, second, third;
    auto a = unlock(first);
    auto b = unlock(second);
    auto c = prompt(third);
    EXPECT_TRUE(logged("unlock presentation started, stage touchID, keys 2 [a,b]"));
    EXPECT_TRUE(logged("unlock request while a panel is open, queue length now 1"));
    EXPECT_TRUE(logged("prompt request while a panel is open, queue length now 2"));
    ASSERT_EQ(shown.size(), 1u);
    shown[0].unlock->cancel();
    settle();
    EXPECT_TRUE(logged("unlock presentation ended, result cancelled"));
    ASSERT_TRUE(a->has_value());
    EXPECT_EQ((*a)->value.index(), 2u);
    EXPECT_FALSE(shown[0].open);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_TRUE(activated.empty()) << "others are still waiting";
    EXPECT_FALSE(b->has_value());
    second.request_stop();
    settle();
    EXPECT_TRUE(logged("abandoned"));
    EXPECT_TRUE(logged("unlock presentation ended, result abandoned"));
    ASSERT_TRUE(b->has_value());
    EXPECT_EQ((*b)->value.index(), 3u);
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_TRUE(logged("prompt presentation started"));
    shown[2].prompt->answer = SecretString(std::string_view("yes"));
    shown[2].prompt->submit();
    settle();
    EXPECT_TRUE(logged("prompt presentation ended, answered"));
    EXPECT_EQ(*c, std::optional<std::string>("yes"));
    EXPECT_EQ(dialogOpen, (std::vector<std::string>{"open", "closed", "open", "closed", "open", "closed"}));
    EXPECT_EQ(activated, std::vector<Window>{7}) << "the window in front before the first panel";
}

TEST_F(Presenter, WithdrawnWhileQueuedEndsAtOnceWithoutAPanel)
{
    std::stop_source first, second, third;
    unlock(first);
    auto b = unlock(second);
    auto c = prompt(third);
    const auto linesBefore = log.size();
    second.request_stop();
    third.request_stop();
    settle();
    ASSERT_TRUE(b->has_value() && c->has_value());
    EXPECT_EQ((*b)->value.index(), 3u);
    EXPECT_EQ(**c, std::nullopt);
    EXPECT_EQ(log.size(), linesBefore + 1) << "the prompt logs nothing";
    EXPECT_EQ(log.back(), "unlock presentation skipped, abandoned while queued");
    first.request_stop();
    settle();
    EXPECT_EQ(shown.size(), 1u);
    std::stop_source fourth;
    fourth.request_stop();
    auto d = unlock(fourth);
    EXPECT_EQ(shown.size(), 1u) << "a request already withdrawn never shows";
    EXPECT_TRUE(d->has_value());
}

TEST_F(Presenter, TheFirstStageFollowsTheModeAndTheReader)
{
    const struct
    {
        PresentMode mode;
        bool reader;
        std::string line; // empty: the fingerprint stage
    } rows[] = {
        {PresentMode::Biometric{}, true, ""},
        {PresentMode::Biometric{}, false, "dialog.typing.unavailable"},
        {PresentMode::TypePassphrase{"missing"}, true, "dialog.typing.missing"},
        {PresentMode::TypePassphrase{"invalidated"}, true, "dialog.typing.invalidated"},
        {PresentMode::TypePassphrase{"other"}, true, "dialog.typing.generic"},
    };
    for (const auto& row : rows) {
        reader = row.reader;
        std::stop_source source;
        unlock(source, row.mode);
        const auto& model = *shown.back().unlock;
        EXPECT_EQ(model.stage(),
                  row.line.empty() ? UnlockModel::Stage{UnlockModel::Fingerprint{}}
                                   : UnlockModel::Stage{UnlockModel::Typing{L(row.line)}});
        source.request_stop();
        settle();
    }
    EXPECT_TRUE(logged("unlock presentation started, stage typing, keys 2 [a,b]"));
}

} // namespace
} // namespace vantorelle
