#include "dialogs/UnlockModel.h"

#include <gtest/gtest.h>
#include <tuple>

#include "app/dialogs/DialogFakes.h"
#include "i18n/L.h"

namespace vantorelle {
namespace {

using namespace test;
using Code = BiometricContext::Code;
using Error = BiometricContext::Error;

struct Dialog : ::testing::Test
{
    ManualClock clock;
    LogCapture log;
    std::vector<std::shared_ptr<FakeContext>> contexts;
    std::vector<Sounds::Name> sounds;
    std::vector<double> fades;
    std::vector<PresentResult> results;
    bool reducedMotion = false, appActive = true;
    std::unique_ptr<UnlockModel> model;

    // A new dialog; what an earlier one left behind is forgotten.
    void open(UnlockModel::Stage stage = UnlockModel::Fingerprint{}, std::vector<SSHKey> keys = {{.path = "/h/id"}})
    {
        model.reset();
        contexts.clear(), sounds.clear(), fades.clear(), results.clear(), log.lines.clear();
        model = std::make_unique<UnlockModel>(
            std::move(stage), Requester{"git", Requester::Kind::interactive}, std::move(keys), 3600,
            DialogEnvironment{.clock = clock,
                              .newContext = [this] { return contexts.emplace_back(std::make_shared<FakeContext>()); },
                              .play = [this](Sounds::Name s) { sounds.push_back(s); },
                              .reducedMotion = [this] { return reducedMotion; },
                              .appActive = [this] { return appActive; }});
        model->onFinish = [this](PresentResult r) { results.push_back(std::move(r)); };
        model->onFadeOut = [this](double s) { fades.push_back(s); };
    }
    FakeContext& current() { return *contexts.back(); }
    std::string id() const { return UnlockModel::identity(model->context().get()); }
    // Key panel, control mounted, the arm delay over: the current context is being evaluated.
    void evaluating()
    {
        model->panelKeyChanged(true);
        model->mounted(model->context());
        clock.advance(UnlockModel::armDelay);
        ASSERT_EQ(current().evaluations, 1);
    }
};

TEST_F(Dialog, FingerprintArmsOnceWhenMountedAndKeyThenStartsOverOrEndsAsItShould)
{
    open();
    SCOPED_TRACE("nothing mounted: the watchdog re-arms once with a new context");
    model->panelKeyChanged(true);
    clock.advance(1.49);
    EXPECT_EQ(contexts.size(), 1u);
    clock.advance(0.02);
    ASSERT_EQ(contexts.size(), 2u) << "nothing mounted 1.5 s after the panel became key";
    EXPECT_TRUE(contexts[0]->invalidated);
    model->mounted(contexts[0]);
    EXPECT_TRUE(log.has("remount ignored, stale context " + UnlockModel::identity(contexts[0].get())));
    model->panelKeyChanged(false);
    model->mounted(model->context());
    clock.advance(10);
    EXPECT_EQ(current().evaluations, 0) << "mounted but the panel is not key";
    SCOPED_TRACE("an arm dropped in its delay may be armed again; one evaluation per context");
    model->panelKeyChanged(true);
    model->panelKeyChanged(false);
    clock.advance(0.5);
    model->panelKeyChanged(true);
    clock.advance(0.49);
    EXPECT_EQ(current().evaluations, 0);
    clock.advance(0.02);
    EXPECT_EQ(current().evaluations, 1) << "the dropped context may be armed again";
    model->mounted(model->context());
    EXPECT_TRUE(log.has("remount ignored, context " + id() + " (evaluating true, already attempted true)"));
    model->rearm(); // ignored while evaluating
    SCOPED_TRACE("focus lost during an evaluation: our own cancel, a new context on focus");
    model->panelKeyChanged(false);
    current().answer(std::unexpected(Error{Code::appCancel, "Cancelled"}));
    EXPECT_TRUE(current().invalidated);
    EXPECT_TRUE(log.has("cancel from our own focus-loss invalidation, no retry state"));
    model->panelKeyChanged(true);
    ASSERT_EQ(contexts.size(), 3u);
    evaluating();
    SCOPED_TRACE("a failure shows the retry button, which re-arms with a new context");
    current().answer(std::unexpected(Error{Code::authenticationFailed, "no match"}));
    ASSERT_TRUE(model->needsRetry());
    model->panelKeyChanged(false);
    model->rearm();
    ASSERT_EQ(contexts.size(), 4u);
    EXPECT_FALSE(model->needsRetry());
    evaluating();
    current().answer(false);
    SCOPED_TRACE("cancel and abandon end the dialog once, even with an evaluation in flight");
    model->rearm();
    evaluating();
    model->cancel();
    model->abandon();
    EXPECT_TRUE(current().invalidated);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(std::holds_alternative<PresentResult::Cancelled>(results[0].value));
    current().answer(std::unexpected(Error{Code::appCancel, "Cancelled"}));
    EXPECT_FALSE(model->needsRetry()) << "the invalidation's own cancel comes after the finish";
    EXPECT_EQ(sounds, (std::vector{Sounds::Name::appear, Sounds::Name::fail})) << "appear on the first key event only";
}

TEST_F(Dialog, EachFailureLeadsWhereItShould)
{
    enum Then { retry, typing, rearmOnFocus };
    const std::tuple<Error, bool, Then> rows[] = {
        {{Code::systemCancel, "text"}, true, retry},
        {{Code::systemCancel, "text"}, false, rearmOnFocus},
        {{Code::appCancel, "text"}, false, rearmOnFocus},
        {{Code::biometryNotAvailable, "text"}, true, typing},
        {{Code::biometryNotEnrolled, "text"}, false, typing},
        {{Code::biometryLockout, "text"}, true, typing},
        {{Code::biometryNotAvailable, "text", "net.reactivated.Fprint.Error.Internal"}, true, retry},
    };
    for (const auto& [failure, inFront, then] : rows) {
        SCOPED_TRACE(failure.text());
        open();
        evaluating();
        appActive = inFront;
        current().answer(std::unexpected(failure));
        EXPECT_EQ(model->needsRetry(), then == retry);
        EXPECT_EQ(model->stage(),
                  then == typing ? UnlockModel::Stage{UnlockModel::Typing{L("dialog.typing.unavailable")}}
                                 : UnlockModel::Stage{UnlockModel::Fingerprint{}});
        EXPECT_EQ(std::ranges::count(sounds, Sounds::Name::fail), then == rearmOnFocus ? 0 : 1);
        model->panelKeyChanged(false);
        model->panelKeyChanged(true);
        EXPECT_EQ(contexts.size(), then == rearmOnFocus ? 2u : 1u);
    }
    EXPECT_EQ((Error{Code::biometryNotAvailable, "text", "x.Error"}.text()), "x.Error -6 text");
}

TEST_F(Dialog, SuccessIsDeliveredOnceAfterItsAnimationAndCannotBeCancelled)
{
    for (bool reduced : {true, false}) {
        SCOPED_TRACE(reduced ? "reduced motion" : "animated");
        reducedMotion = reduced;
        open();
        evaluating();
        current().answer(true);
        EXPECT_EQ(model->juice(), reduced ? 0 : 1);
        clock.advance(0.2);
        EXPECT_EQ(model->awake(), reduced);
        clock.advance(0.02);
        EXPECT_TRUE(model->awake()) << "the mascot wakes at 55% of the fill";
        model->cancel();
        model->abandon();
        clock.advance((reduced ? 1.7 : 2.35) - 0.22 - 0.01);
        EXPECT_TRUE(results.empty());
        clock.advance(0.02);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(std::get<PresentResult::Approved>(results[0].value).context, model->context());
        EXPECT_EQ(fades, std::vector{reduced ? 0.3 : 0.35});
        EXPECT_EQ(sounds, (std::vector{Sounds::Name::appear, Sounds::Name::success}));
    }
    EXPECT_NEAR(UnlockModel::juiceCurve(UnlockModel::juiceTimeAt(0.55)), 0.55, 1e-6);
}

TEST_F(Dialog, TypingHandsOnOnlyTheFilledFields)
{
    open(UnlockModel::Typing{"why"}, {{.path = "/h/.ssh/a"}, {.path = "/h/.ssh/b"}});
    model->panelKeyChanged(true);
    clock.advance(5);
    EXPECT_TRUE(log.lines.size() == 1 && contexts.size() == 1) << "no fingerprint work in the typing stage";
    model->updateTyped("/h/.ssh/a", SecretString(std::string_view("")));
    model->submitTyped();
    EXPECT_FALSE(model->canSubmit());
    EXPECT_TRUE(results.empty());
    model->updateTyped("/h/.ssh/b", SecretString(std::string_view("pass b")));
    EXPECT_TRUE(model->canSubmit());
    model->submitTyped();
    model->cancel();
    ASSERT_EQ(results.size(), 1u);
    const auto& typed = std::get<PresentResult::Typed>(results[0].value).passphrases;
    EXPECT_EQ(typed.size(), 1u);
    EXPECT_EQ(typed.at("/h/.ssh/b").view(), "pass b");
}

TEST_F(Dialog, KeyNamesAreAListInTheCurrentLanguage)
{
    const std::tuple<Language, std::vector<SSHKey>, std::string> rows[] = {
        {Language::English, {{.path = "/h/.ssh/a"}, {.path = "/h/b"}}, "a and b"},
        {Language::English, {{.path = "/a"}, {.path = "/b"}, {.path = "/c"}}, "a, b, and c"},
        {Language::French, {{.path = "/a"}, {.path = "/b"}, {.path = "/c"}}, "a, b et c"},
    };
    for (const auto& [language, keys, names] : rows) {
        open(UnlockModel::Typing{}, keys);
        i18n::setCurrentLanguage(language);
        EXPECT_EQ(model->keyNames(), names);
    }
    i18n::setCurrentLanguage(Language::English);
}

TEST(PromptModel, AnswersOnceAndForgetsTheAnswer)
{
    std::vector<bool> answered;
    PromptModel prompt("Are you sure?", false);
    prompt.onFinish = [&](auto answer) { answered.push_back(answer.has_value()); };
    prompt.answer = SecretString(std::string_view("yes"));
    prompt.cancel();
    EXPECT_TRUE(prompt.answer.empty());
    prompt.answer = SecretString(std::string_view("again"));
    prompt.submit();
    prompt.cancel();
    EXPECT_TRUE(prompt.answer.empty());
    EXPECT_EQ(answered, std::vector{false});
}

} // namespace
} // namespace vantorelle
