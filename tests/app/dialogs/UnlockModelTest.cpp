#include "dialogs/UnlockModel.h"

#include <algorithm>
#include <deque>
#include <gtest/gtest.h>
#include <map>

#include "i18n/L.h"
#include "platform/Log.h"

namespace vantorelle {
namespace {

using Code = BiometricContext::Code;

struct ManualClock final : DialogClock
{
    double time = 0;
    std::multimap<double, std::function<void()>> due;
    double now() const override { return time; }
    void after(double seconds, std::function<void()> work) override { due.emplace(time + seconds, std::move(work)); }
    void advance(double seconds)
    {
        const double end = time + seconds + 1e-9;
        while (!due.empty() && due.begin()->first <= end) {
            auto [at, work] = std::move(*due.begin());
            due.erase(due.begin());
            time = std::max(time, at);
            work();
        }
        time = end;
    }
};

struct FakeContext final : BiometricContext
{
    explicit FakeContext(DialogClock& c)
        : clock(c)
    {
    }
    DialogClock& clock;
    int evaluations = 0;
    bool invalidated = false;
    Reply reply;
    void evaluate(const std::string& reason, Reply r) override
    {
        EXPECT_EQ(reason, "unlock your SSH keys for git");
        ++evaluations;
        reply = std::move(r);
    }
    void invalidate() override
    {
        invalidated = true;
        if (reply) {
            clock.after(0, [r = std::make_shared<Reply>(std::exchange(reply, {}))] {
                (*r)(std::unexpected(Error{appCancel, "Cancelled"}));
            });
        }
    }
    void answer(std::expected<bool, Error> outcome) { std::exchange(reply, {})(std::move(outcome)); }
};

struct Dialog : ::testing::Test
{
    ManualClock clock;
    std::vector<std::shared_ptr<FakeContext>> contexts;
    std::vector<std::string> log;
    std::vector<Sounds::Name> sounds;
    std::vector<double> fades;
    std::vector<std::pair<double, PresentResult>> results;
    bool reducedMotion = false, appActive = true;
    std::unique_ptr<UnlockModel> model;

    void SetUp() override
    {
        i18n::setCurrentLanguage(Language::English);
        applog::setSink([this](std::string_view category, applog::Level, std::string_view line) {
            EXPECT_EQ(category, "touchid");
            log.emplace_back(line);
        });
    }
    void TearDown() override { applog::setSink({}); }

    void open(UnlockModel::Stage stage = UnlockModel::Fingerprint{}, std::vector<std::string> keyPaths = {"/h/.ssh/id"})
    {
        std::vector<SSHKey> keys;
        for (auto& p : keyPaths) {
            keys.push_back(SSHKey{.path = p});
        }
        model = std::make_unique<UnlockModel>(
            std::move(stage), Requester{"git", Requester::Kind::interactive}, keys, 3600,
            DialogEnvironment{.clock = clock,
                              .newContext
                              = [this] { return contexts.emplace_back(std::make_shared<FakeContext>(clock)); },
                              .play = [this](Sounds::Name s) { sounds.push_back(s); },
                              .reducedMotion = [this] { return reducedMotion; },
                              .appActive = [this] { return appActive; }});
        model->onFinish = [this](PresentResult r) { results.emplace_back(clock.time, std::move(r)); };
        model->onFadeOut = [this](double s) { fades.push_back(s); };
    }
    FakeContext& current() { return *contexts.back(); }
    std::string id() const { return UnlockModel::identity(model->context().get()); }
    bool logged(const std::string& line) const { return std::ranges::find(log, line) != log.end(); }
    // Key panel, control mounted, the arm delay over: the current context is being evaluated.
    void evaluating()
    {
        model->panelKeyChanged(true);
        model->mounted(model->context());
        clock.advance(UnlockModel::armDelay);
        ASSERT_EQ(current().evaluations, 1);
    }
    static BiometricContext::Error error(int code, std::string domain = {})
    {
        return {code, "text", std::move(domain)};
    }
};

TEST_F(Dialog, ArmsOnlyWhenMountedInTheKeyPanelAndOnlyOncePerContext)
{
    open();
    model->mounted(model->context());
    clock.advance(1);
    EXPECT_EQ(current().evaluations, 0) << "mounted but the panel is not key";
    model->panelKeyChanged(true);
    model->panelKeyChanged(false);
    EXPECT_TRUE(logged("focus lost, no evaluation in flight, nothing to cancel"));
    clock.advance(0.5);
    EXPECT_TRUE(logged("arm dropped after delay, context " + id() + ", panel key false"));
    model->panelKeyChanged(true);
    clock.advance(0.49);
    EXPECT_EQ(current().evaluations, 0);
    clock.advance(0.02);
    EXPECT_EQ(current().evaluations, 1) << "the dropped context may be armed again";
    EXPECT_TRUE(logged("evaluatePolicy started, context " + id() + ", app active true"));
    model->mounted(model->context());
    EXPECT_TRUE(logged("remount ignored, context " + id() + " (evaluating true, already attempted true)"));
    model->rearm();
    EXPECT_TRUE(logged("rearm ignored (evaluating true, succeeded false, finished false)"));
    EXPECT_EQ(sounds, std::vector{Sounds::Name::appear}) << "the appear sound plays on the first key event only";
    EXPECT_EQ(contexts.size(), 1u);
    clock.advance(5);
    EXPECT_EQ(current().evaluations, 1);
    EXPECT_TRUE(logged("watchdog: evaluation had started, nothing to do"));
}

TEST_F(Dialog, StaleMountChangesNothingAndTheWatchdogRearmsOnce)
{
    open();
    auto first = model->context();
    model->panelKeyChanged(true);
    clock.advance(1.49);
    EXPECT_EQ(contexts.size(), 1u);
    clock.advance(0.02);
    ASSERT_EQ(contexts.size(), 2u);
    EXPECT_TRUE(contexts[0]->invalidated);
    EXPECT_TRUE(logged("watchdog: no evaluation 1.5s after the panel became key (mounted false, key true); "
                       "re-arming once with a new context"));
    EXPECT_TRUE(logged("watchdog re-arm, new context " + id()));
    model->mounted(first);
    EXPECT_TRUE(logged("remount ignored, stale context " + UnlockModel::identity(first.get())));
    clock.advance(10);
    EXPECT_EQ(contexts.size(), 2u) << "later stalls are not retried by the watchdog";
    model->mounted(model->context());
    clock.advance(0.5);
    EXPECT_EQ(current().evaluations, 1);
}

TEST_F(Dialog, FocusLossDuringAnEvaluationIsOurOwnCancelAndFocusRearms)
{
    open();
    evaluating();
    auto blurred = model->context();
    model->panelKeyChanged(false);
    clock.advance(0);
    EXPECT_TRUE(blurred.get() == &current() && current().invalidated);
    EXPECT_TRUE(logged("focus lost during evaluation, invalidating context " + id() + "; will re-arm on focus"));
    EXPECT_TRUE(logged("cancel from our own focus-loss invalidation, no retry state"));
    EXPECT_FALSE(model->needsRetry());
    model->panelKeyChanged(true);
    EXPECT_TRUE(logged("panel key again (needs re-arm true, retry shown false)"));
    ASSERT_EQ(contexts.size(), 2u);
    EXPECT_TRUE(logged("focus regained, re-arming with new context " + id()));
    model->mounted(model->context());
    clock.advance(0.5);
    EXPECT_EQ(current().evaluations, 1);
}

TEST_F(Dialog, EachFailureLeadsWhereItShould)
{
    enum Then { retry, typing, rearmOnFocus };
    const struct
    {
        BiometricContext::Error error;
        bool inFront;
        Then then;
    } rows[] = {
        {error(Code::authenticationFailed), true, retry},
        {error(Code::userCancel), true, retry},
        {error(Code::systemCancel), true, retry},
        {error(Code::systemCancel), false, rearmOnFocus},
        {error(Code::appCancel), false, rearmOnFocus},
        {error(Code::biometryNotAvailable), true, typing},
        {error(Code::biometryNotEnrolled), false, typing},
        {error(Code::biometryLockout), true, typing},
        {error(Code::biometryNotAvailable, "net.reactivated.Fprint.Error.Internal"), true, retry},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.error.text());
        contexts.clear(), sounds.clear(), log.clear();
        open();
        evaluating();
        appActive = row.inFront;
        current().answer(std::unexpected(row.error));
        appActive = true;
        EXPECT_TRUE(logged("evaluatePolicy finished, context " + id() + ", failed: " + row.error.text()));
        EXPECT_EQ(model->needsRetry(), row.then == retry);
        EXPECT_EQ(model->typingStage(), row.then == typing);
        if (row.then == typing) {
            EXPECT_EQ(model->stage(), UnlockModel::Stage{UnlockModel::Typing{L("dialog.typing.unavailable")}});
        }
        EXPECT_EQ(logged("system cancel while not in front, will re-arm on focus"), row.then == rearmOnFocus);
        EXPECT_EQ(std::ranges::count(sounds, Sounds::Name::fail), row.then == rearmOnFocus ? 0 : 1);
        model->panelKeyChanged(false);
        model->panelKeyChanged(true);
        EXPECT_EQ(contexts.size(), row.then == rearmOnFocus ? 2u : 1u);
    }
    EXPECT_EQ(error(Code::biometryNotAvailable, "x.Error").text(), "x.Error -6 text");
}

TEST_F(Dialog, RetryRearmsWithANewContext)
{
    open();
    evaluating();
    current().answer(std::unexpected(error(Code::authenticationFailed)));
    ASSERT_TRUE(model->needsRetry());
    model->panelKeyChanged(false);
    EXPECT_FALSE(logged("focus lost, no evaluation in flight, nothing to cancel")) << "the retry button is shown";
    model->panelKeyChanged(true);
    model->rearm();
    ASSERT_EQ(contexts.size(), 2u);
    EXPECT_FALSE(model->needsRetry());
    EXPECT_TRUE(logged("rearm, new context " + id()));
    model->mounted(model->context());
    clock.advance(0.5);
    EXPECT_EQ(current().evaluations, 1);
    current().answer(false);
    EXPECT_TRUE(logged("evaluatePolicy finished, context " + id() + ", success false"));
    EXPECT_TRUE(results.empty());
}

TEST_F(Dialog, SuccessIsDeliveredOnceAfterItsAnimationAndCannotBeCancelled)
{
    for (bool reduced : {true, false}) {
        SCOPED_TRACE(reduced ? "reduced motion" : "animated");
        contexts.clear(), results.clear(), fades.clear(), sounds.clear();
        reducedMotion = reduced;
        open();
        evaluating();
        const double start = clock.time;
        current().answer(true);
        EXPECT_EQ(model->juiceStart(), start);
        EXPECT_EQ(model->juice(), reduced ? 0 : 1);
        EXPECT_EQ(model->awake(), reduced);
        clock.advance(0.2);
        EXPECT_EQ(model->awake(), reduced);
        clock.advance(0.02);
        EXPECT_TRUE(model->awake()) << "the mascot wakes at 55% of the fill";
        model->cancel();
        model->abandon();
        model->panelKeyChanged(false);
        EXPECT_FALSE(logged("cancel"));
        clock.advance((reduced ? 1.7 : 2.35) - 0.22 - 0.01);
        EXPECT_TRUE(results.empty());
        clock.advance(0.02);
        ASSERT_EQ(results.size(), 1u);
        auto* approved = std::get_if<PresentResult::Approved>(&results[0].second.value);
        ASSERT_NE(approved, nullptr);
        EXPECT_EQ(approved->context, model->context());
        EXPECT_EQ(fades, std::vector{reduced ? 0.3 : 0.35});
        EXPECT_EQ(sounds, (std::vector{Sounds::Name::appear, Sounds::Name::success}));
    }
    EXPECT_NEAR(UnlockModel::juiceTimeAt(0.55), 0.234, 0.001);
    EXPECT_NEAR(UnlockModel::juiceCurve(UnlockModel::juiceTimeAt(0.55)), 0.55, 1e-6);
    EXPECT_EQ(UnlockModel::juiceCurve(0), 0);
    EXPECT_EQ(UnlockModel::juiceCurve(1), 1);
}

TEST_F(Dialog, CancelAndAbandonEndTheDialogOnce)
{
    for (bool cancel : {true, false}) {
        contexts.clear(), results.clear(), log.clear();
        open();
        evaluating();
        cancel ? model->cancel() : model->abandon();
        cancel ? model->abandon() : model->cancel();
        EXPECT_TRUE(current().invalidated);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].second.value.index(), cancel ? 2u : 3u);
        EXPECT_TRUE(logged(cancel ? "cancel" : "abandoned"));
        clock.advance(0);
        EXPECT_FALSE(model->needsRetry()) << "the invalidation's own cancel comes after the finish";
        clock.advance(5);
        EXPECT_EQ(contexts.size(), 1u);
    }
}

TEST_F(Dialog, TypingHandsOnOnlyTheFilledFields)
{
    open(UnlockModel::Typing{"why"}, {"/h/.ssh/a", "/h/.ssh/b"});
    model->panelKeyChanged(true);
    clock.advance(5);
    EXPECT_TRUE(log.size() == 1 && contexts.size() == 1) << "no fingerprint work in the typing stage";
    model->submitTyped();
    model->updateTyped("/h/.ssh/a", SecretString(std::string_view("")));
    EXPECT_FALSE(model->canSubmit());
    model->submitTyped();
    EXPECT_TRUE(results.empty());
    model->updateTyped("/h/.ssh/b", SecretString(std::string_view("pass b")));
    EXPECT_TRUE(model->canSubmit());
    model->submitTyped();
    ASSERT_EQ(results.size(), 1u);
    const auto& typed = std::get<PresentResult::Typed>(results[0].second.value).passphrases;
    ASSERT_EQ(typed.size(), 1u);
    EXPECT_EQ(typed.at("/h/.ssh/b").view(), "pass b");
    EXPECT_FALSE(model->canSubmit());
    model->cancel();
    EXPECT_EQ(results.size(), 1u);
}

TEST_F(Dialog, KeyNamesAreAListInTheCurrentLanguage)
{
    const struct
    {
        Language language;
        std::vector<std::string> paths;
        std::string names;
    } rows[] = {
        {Language::English, {"/h/.ssh/a"}, "a"},
        {Language::English, {"/h/.ssh/a", "/h/b"}, "a and b"},
        {Language::English, {"/a", "/b", "/c"}, "a, b, and c"},
        {Language::French, {"/a", "/b"}, "a et b"},
        {Language::French, {"/a", "/b", "/c"}, "a, b et c"},
    };
    for (const auto& row : rows) {
        open(UnlockModel::Typing{}, row.paths);
        i18n::setCurrentLanguage(row.language);
        EXPECT_EQ(model->keyNames(), row.names);
        i18n::setCurrentLanguage(Language::English);
    }
}

TEST(PromptModel, AnswersOnceAndForgetsTheAnswer)
{
    std::vector<std::optional<std::string>> answers;
    for (bool submit : {true, false}) {
        PromptModel prompt("Are you sure?", false);
        prompt.onFinish = [&](std::optional<SecretString> a) {
            answers.push_back(a ? std::optional<std::string>(a->view()) : std::nullopt);
        };
        prompt.answer = SecretString(std::string_view("yes"));
        submit ? prompt.submit() : prompt.cancel();
        prompt.answer = SecretString(std::string_view("again"));
        prompt.submit();
        prompt.cancel();
        EXPECT_TRUE(prompt.answer.empty());
    }
    EXPECT_EQ(answers, (std::vector<std::optional<std::string>>{"yes", std::nullopt}));
}

} // namespace
} // namespace vantorelle
