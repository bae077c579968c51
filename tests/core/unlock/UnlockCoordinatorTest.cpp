// UnlockCoordinator on the manual executor over fakes: the decisions per request and requester, the
// shared dialog, grace, snooze, notification throttle, withdrawal, the typing round, the window.
#include "unlock/UnlockCoordinator.h"

#include <gtest/gtest.h>
#include <map>
#include <memory>

#include "fakes/CoordinatorRig.h"
#include "unlock/ManualExecutor.h"

namespace vantorelle {
namespace {

using Kind = Requester::Kind;

// What came back for one request.
struct Answers
{
    std::vector<Response> responses;
    bool answered() const { return !responses.empty(); }
    const Response& only() const
    {
        EXPECT_EQ(responses.size(), 1u);
        return responses.at(0);
    }
};

Response denied(const char* reason)
{
    return Response::Denied{reason};
}
Response secretOf(std::string_view text)
{
    return Response::Secret{secret(text)};
}

constexpr std::int32_t kGit = 100, kShell = 200, kSSHAdd = 250, kCron = 300, kRemote = 400;
const std::string kEd = "/home/u/.ssh/id_ed25519";
const std::string kRsa = "/home/u/.ssh/id_rsa";

class CoordinatorTest : public ::testing::Test
{
protected:
    CoordinatorTest()
        : rig({kEd, kRsa}, [](const std::string& path) { return path == kEd ? "ed-pass" : "rsa-pass"; })
    {
        executor.onTimeChange([this](SerialExecutor::Seconds now) { rig.clock.set(start + now); });
        rig.keys[0].comment = "me@laptop";
        rig.resolve = [this](std::int32_t pid, const std::optional<std::string>& reason) {
            resolved.emplace_back(pid, reason);
            Requester r = requesters.contains(pid) ? requesters.at(pid) : Requester{"ssh", Kind::background};
            return reason && r.kind != Kind::remote ? Requester{*reason, Kind::interactive} : r;
        };
        rig.verify = [this](const SecretString& passphrase, const std::string& path) {
            ++verifyCalls;
            rig.clock.advance(verifySeconds);
            return (path == kEd ? "ed-pass" : "rsa-pass") == passphrase.view();
        };
        rig.callerName = [](std::int32_t pid) -> std::optional<std::string> {
            return pid == kSSHAdd ? std::optional<std::string>("ssh-add") : std::nullopt;
        };
        coordinator = std::make_unique<UnlockCoordinator>(executor, rig.dependencies());
    }

    std::shared_ptr<Answers> send(Request request, std::stop_token cancelled = {})
    {
        auto answers = std::make_shared<Answers>();
        coordinator->handle(
            std::move(request), 1234, [answers](Response r) { answers->responses.push_back(std::move(r)); },
            std::move(cancelled));
        executor.runAll();
        return answers;
    }
    std::shared_ptr<Answers> passphrase(const std::string& path, std::int32_t pid, std::stop_token cancelled = {},
                                        const std::string& prompt = "Enter passphrase for key: ")
    {
        return send(Request::Passphrase{path, prompt, pid}, std::move(cancelled));
    }
    std::shared_ptr<Answers> unlock(std::int32_t pid, std::optional<double> duration = std::nullopt,
                                    std::optional<std::string> reason = std::nullopt, std::stop_token cancelled = {})
    {
        return send(Request::Unlock{duration, std::move(reason), pid}, std::move(cancelled));
    }
    void answer(size_t call, PresentResult result)
    {
        ASSERT_TRUE(presenter().answerUnlock(call, std::move(result)));
        executor.runAll();
    }
    void approve(size_t call) { answer(call, PresentResult::Approved{}); }
    PresentResult::Typed typed(std::initializer_list<std::pair<std::string, const char*>> entries)
    {
        std::map<std::string, SecretString> map;
        for (const auto& [path, text] : entries) {
            map.emplace(path, secret(text));
        }
        return {map};
    }
    StatusReport status()
    {
        std::optional<StatusReport> report;
        coordinator->status([&](StatusReport r) { report = std::move(r); });
        executor.runAll();
        return report.value();
    }
    bool lockNow()
    {
        std::optional<bool> locked;
        coordinator->lockNow([&](bool result) { locked = result; });
        executor.runAll();
        return locked.value();
    }
    std::optional<UnlockWindow> window()
    {
        std::optional<std::optional<UnlockWindow>> result;
        coordinator->window([&](std::optional<UnlockWindow> w) { result = w; });
        executor.runAll();
        return result.value();
    }
    void advance(double seconds) { executor.advance(SerialExecutor::Seconds(seconds)); }
    Date at(double seconds) const { return start + std::chrono::duration<double>(seconds); }
    FakeUnlockPresenter& presenter() { return rig.presenter; }
    FakeAgent& agent() { return rig.agent; }

    const Date start = dateFromSeconds(1'800'000'000);
    ManualExecutor executor;
    CoordinatorRig rig;
    std::map<std::int32_t, Requester> requesters{
        {kGit, {"git", Kind::interactive}},        {kShell, {"ssh", Kind::interactive}},
        {kSSHAdd, {"ssh-add", Kind::interactive}}, {kCron, {"cron", Kind::background}},
        {kRemote, {"sshd", Kind::remote}},
    };
    std::vector<std::pair<std::int32_t, std::optional<std::string>>> resolved;
    int verifyCalls = 0;
    double verifySeconds = 0; // how far each check moves the wall clock
    std::unique_ptr<UnlockCoordinator> coordinator;
};

TEST_F(CoordinatorTest, TwoRequestsShareOneDialogAndBothGetTheirOwnAnswer)
{
    auto fromGit = passphrase(kEd, kGit);
    auto fromSSHAdd = passphrase(kRsa, kSSHAdd);
    ASSERT_EQ(presenter().unlockCount(), 1u);
    const auto call = presenter().unlockCall(0);
    EXPECT_EQ(call.requester, (Requester{"git", Kind::interactive})); // the first request's
    EXPECT_EQ(call.keys, rig.keys);
    EXPECT_EQ(call.duration, 3600);
    EXPECT_EQ(call.mode, PresentMode(PresentMode::Biometric{}));
    EXPECT_EQ(coordinator->waitingCount(), 2);
    EXPECT_EQ(coordinator->inFlightPresentation(), 1);
    EXPECT_FALSE(fromGit->answered());

    advance(2);
    approve(0);
    EXPECT_EQ(fromGit->only(), secretOf("ed-pass"));
    EXPECT_EQ(fromSSHAdd->only(), Response(Response::AddedToAgent{3600}));
    EXPECT_EQ(coordinator->waitingCount(), 0);
    EXPECT_EQ(coordinator->inFlightPresentation(), std::nullopt);
    ASSERT_EQ(agent().addCalls.size(), 2u);
    EXPECT_EQ(agent().addCalls[0].keyPath, kEd);
    EXPECT_EQ(agent().addCalls[0].lifetime, 3600);
    EXPECT_EQ(agent().addCalls[1].passphrase, secret("rsa-pass"));
    EXPECT_EQ(coordinator->expiry(), at(3602));
    EXPECT_EQ(rig.windowStore.saved, (UnlockWindow{at(3602), 3600}));

    // A differently written path is the same key.
    for (const std::string path : {"/home/u/.ssh/./id_ed25519", "/home/u/.ssh/../.ssh//id_ed25519"}) {
        ASSERT_TRUE(lockNow());
        const size_t next = presenter().unlockCount();
        auto answers = passphrase(path, kGit);
        approve(next);
        EXPECT_EQ(answers->only(), secretOf("ed-pass")) << path;
    }
}

TEST_F(CoordinatorTest, KeysThatCouldNotBeLoadedAreUnavailable)
{
    agent().addFailures.emplace(kRsa, AgentClientError::commandFailed(1, "Bad passphrase"));
    auto ed = passphrase(kEd, kGit);
    auto rsa = passphrase(kRsa, kShell);
    approve(0);
    EXPECT_EQ(ed->only(), secretOf("ed-pass"));
    EXPECT_EQ(rsa->only(), denied("unavailable"));
    EXPECT_TRUE(coordinator->expiry());
}

TEST_F(CoordinatorTest, NothingLoadedOpensNoWindowAndNoGrace)
{
    agent().addFailures.emplace(kEd, AgentClientError::commandFailed(1, "x"));
    agent().addFailures.emplace(kRsa, AgentClientError::commandFailed(1, "x"));
    auto answers = unlock(kGit);
    approve(0);
    EXPECT_EQ(answers->only(), denied("unavailable"));
    EXPECT_FALSE(coordinator->expiry());
    EXPECT_EQ(rig.windowStore.saveCount, 0);
    passphrase(kEd, kGit);
    EXPECT_EQ(presenter().unlockCount(), 2u);
}

TEST_F(CoordinatorTest, GraceAnswersWithoutADialogForFiveSecondsUntilLocked)
{
    ASSERT_FALSE(passphrase(kEd, kGit)->answered());
    approve(0);
    advance(3);
    EXPECT_EQ(passphrase(kRsa, kShell)->only(), secretOf("rsa-pass"));
    EXPECT_EQ(passphrase(kEd, kSSHAdd)->only(), Response(Response::AddedToAgent{3597}));
    EXPECT_FALSE(unlock(kGit)->answered()); // an unlock never uses the grace
    EXPECT_EQ(presenter().unlockCount(), 2u);
    answer(1, PresentResult::Abandoned{});
    advance(3);
    EXPECT_FALSE(passphrase(kEd, kGit)->answered());
    EXPECT_EQ(presenter().unlockCount(), 3u);
    answer(2, PresentResult::Abandoned{});

    // A lock ends the grace at once.
    passphrase(kEd, kGit);
    approve(3);
    ASSERT_TRUE(lockNow());
    advance(1);
    EXPECT_FALSE(passphrase(kEd, kGit)->answered());
    EXPECT_EQ(presenter().unlockCount(), 5u);
}

TEST_F(CoordinatorTest, SweepDropsTheReleasedPassphrasesSixSecondsAfterTheApproval)
{
    passphrase(kEd, kGit);
    approve(0);
    EXPECT_EQ(executor.delayedCount(), 1u);
    advance(6);
    EXPECT_EQ(executor.delayedCount(), 0u);
    // Put the wall clock back inside the grace: only a sweep that ran leaves nothing to hand out.
    rig.clock.set(at(2));
    passphrase(kEd, kGit);
    EXPECT_EQ(presenter().unlockCount(), 2u);
}

// The grace is consulted only after the requester was admitted.
TEST_F(CoordinatorTest, GraceIsNeverReachedByARequesterThatIsRefused)
{
    passphrase(kEd, kShell);
    approve(0);
    unlock(kGit);
    answer(1, PresentResult::Cancelled{}); // git snoozed while the grace runs
    advance(1);
    EXPECT_EQ(passphrase(kEd, kRemote)->only(), denied("remote"));
    EXPECT_EQ(passphrase(kEd, kCron)->only(), denied("background"));
    EXPECT_EQ(passphrase(kEd, 0)->only(), denied("background"));
    EXPECT_EQ(passphrase(kEd, kGit)->only(), denied("snoozed"));
    EXPECT_EQ(passphrase(kEd, kShell)->only(), secretOf("ed-pass"));
    EXPECT_EQ(presenter().unlockCount(), 2u);
}

// Expiry counts from the moment the dialog returned; the grace from after the agent work.
TEST_F(CoordinatorTest, WindowCountsFromTheDialogAndGraceFromAfterTheAgentWork)
{
    verifySeconds = 2;
    auto answers = passphrase(kEd, kGit);
    advance(10);
    answer(0, typed({{kEd, "ed-pass"}}));
    ASSERT_EQ(answers->only(), secretOf("ed-pass"));
    EXPECT_EQ(coordinator->expiry(), at(10 + 3600));
    EXPECT_EQ(rig.store.saveCalls, 0); // typed at once: used, not saved
    rig.clock.set(at(16));
    EXPECT_EQ(passphrase(kEd, kShell)->only(), secretOf("ed-pass"));
    EXPECT_EQ(presenter().unlockCount(), 1u);
}

TEST_F(CoordinatorTest, CancelAnswersEveryWaiterButSnoozesOnlyTheFirstRequester)
{
    auto fromGit = passphrase(kEd, kGit);
    auto fromShell = passphrase(kRsa, kShell);
    advance(100); // the user looks at the dialog for a while
    answer(0, PresentResult::Cancelled{});
    EXPECT_EQ(fromGit->only(), denied("cancelled"));
    EXPECT_EQ(fromShell->only(), denied("cancelled"));
    advance(10);
    EXPECT_EQ(passphrase(kEd, kGit)->only(), denied("snoozed"));
    EXPECT_EQ(presenter().unlockCount(), 1u);

    // Another requester still gets a dialog, and so does an unlock or a question from the snoozed one.
    passphrase(kRsa, kShell);
    EXPECT_EQ(presenter().unlockCount(), 2u);
    answer(1, PresentResult::Abandoned{});
    EXPECT_FALSE(unlock(kGit)->answered());
    EXPECT_EQ(presenter().unlockCount(), 3u);
    answer(2, PresentResult::Abandoned{});
    send(Request::Prompt{"Are you sure?", false, kGit});
    EXPECT_EQ(presenter().promptCount(), 1u);

    advance(589); // 600 s after the dialog returned
    EXPECT_EQ(passphrase(kEd, kGit)->only(), denied("snoozed"));
    advance(1);
    passphrase(kEd, kGit);
    EXPECT_EQ(presenter().unlockCount(), 4u);
}

TEST_F(CoordinatorTest, StoreCancellingItsOwnAuthenticationSnoozes)
{
    rig.store.failNext = PassphraseStoreError{PassphraseStoreError::Kind::cancelled, {}};
    auto answers = passphrase(kEd, kGit);
    approve(0);
    EXPECT_EQ(answers->only(), denied("cancelled"));
    EXPECT_EQ(passphrase(kEd, kGit)->only(), denied("snoozed"));
}

TEST_F(CoordinatorTest, BackgroundRequestsNotifyAtMostEveryTenMinutes)
{
    // A refused free question neither notifies nor uses up the throttle.
    EXPECT_EQ(send(Request::Prompt{"Continue?", false, kCron})->only(), denied("background"));
    EXPECT_EQ(passphrase("/other/key", kCron)->only(), denied("background"));
    EXPECT_TRUE(presenter().notifications().empty());

    EXPECT_EQ(passphrase(kEd, kCron)->only(), denied("background"));
    EXPECT_EQ(presenter().notifications(), std::vector<Requester>{requesters.at(kCron)});
    advance(300);
    EXPECT_EQ(unlock(kCron)->only(), denied("background"));
    EXPECT_EQ(presenter().notifications().size(), 1u);
    advance(300);
    EXPECT_EQ(passphrase(kRsa, kCron)->only(), denied("background"));
    EXPECT_EQ(presenter().notifications().size(), 2u);
    EXPECT_EQ(presenter().unlockCount(), 0u);
}

TEST_F(CoordinatorTest, CallerlessAndRemoteRequestersAreRefused)
{
    EXPECT_EQ(passphrase(kEd, 0)->only(), denied("background"));
    EXPECT_EQ(unlock(-5)->only(), denied("background"));
    EXPECT_EQ(send(Request::Prompt{"Continue?", false, 0})->only(), denied("background"));
    EXPECT_TRUE(resolved.empty());
    EXPECT_EQ(presenter().notifications(), (std::vector<Requester>{Requester{"ssh", Kind::background}}));

    EXPECT_EQ(passphrase(kEd, kRemote)->only(), denied("remote"));
    EXPECT_EQ(passphrase("/elsewhere/key", kRemote)->only(), denied("remote"));
    EXPECT_EQ(unlock(kRemote, std::nullopt, "Vantorelle")->only(), denied("remote"));
    EXPECT_EQ(presenter().notifications().size(), 1u);
    EXPECT_EQ(presenter().unlockCount() + presenter().promptCount(), 0u);
}

TEST_F(CoordinatorTest, UnmanagedKeyIsAskedAsAFreeQuestion)
{
    auto withPrompt = passphrase("/other/key", kGit, {}, "Enter passphrase for key '/other/key': ");
    auto withoutPrompt = passphrase("/other/./key2", kShell, {}, "");
    ASSERT_EQ(presenter().promptCount(), 2u);
    EXPECT_EQ(presenter().promptCall(0).text, "Enter passphrase for key '/other/key': ");
    EXPECT_TRUE(presenter().promptCall(0).secret);
    EXPECT_EQ(presenter().promptCall(1).text, "Enter passphrase for /other/./key2: ");
    EXPECT_EQ(presenter().unlockCount(), 0u);
    ASSERT_TRUE(presenter().answerPrompt(0, secret("typed")));
    ASSERT_TRUE(presenter().answerPrompt(1, std::nullopt));
    executor.runAll();
    EXPECT_EQ(withPrompt->only(), Response(Response::Answer{secret("typed")}));
    EXPECT_EQ(withoutPrompt->only(), denied("cancelled"));

    // A client hanging up closes its question.
    presenter().answerWhenCancelled = true;
    std::stop_source client;
    auto question = send(Request::Prompt{"Continue?", false, kGit}, client.get_token());
    EXPECT_FALSE(presenter().promptCall(2).secret);
    EXPECT_FALSE(presenter().promptCall(2).cancelled.stop_requested());
    client.request_stop();
    executor.runAll();
    EXPECT_EQ(question->only(), denied("cancelled"));
}

TEST_F(CoordinatorTest, UnlockDurationsAreClampedAndRestartTheWindow)
{
    struct Case
    {
        std::optional<double> asked;
        double configured, shown;
    };
    for (const Case& c : {Case{100, 3600, 900}, Case{20000, 3600, 10800}, Case{std::nullopt, 1000, 900},
                          Case{std::nullopt, 5000, 5400}, Case{2700, 900, 2700}}) {
        rig.configuredDuration = c.configured;
        const size_t call = presenter().unlockCount();
        auto answers = unlock(kGit, c.asked);
        EXPECT_EQ(presenter().unlockCall(call).duration, c.shown);
        advance(10);
        approve(call);
        EXPECT_EQ(answers->only(), Response(Response::Ok{}));
        EXPECT_EQ(agent().addCalls.back().lifetime, c.shown);
        EXPECT_EQ(window(), (UnlockWindow{rig.clock.now() + std::chrono::duration<double>(c.shown), c.shown}));
    }
}

TEST_F(CoordinatorTest, UnlockReasonGoesToTheResolverAndNamesTheRequester)
{
    unlock(4321, std::nullopt, "Vantorelle");
    EXPECT_EQ(resolved, (decltype(resolved){{4321, "Vantorelle"}}));
    EXPECT_EQ(presenter().unlockCall(0).requester, (Requester{"Vantorelle", Kind::interactive}));
}

TEST_F(CoordinatorTest, WithoutManagedKeysUnlockIsUnavailableBeforeAnyoneIsLookedAt)
{
    rig.keys.clear();
    EXPECT_EQ(unlock(kGit)->only(), denied("unavailable"));
    EXPECT_EQ(unlock(kCron)->only(), denied("unavailable"));
    EXPECT_TRUE(resolved.empty());
    EXPECT_TRUE(presenter().notifications().empty());
    passphrase(kEd, kGit); // then a free question
    EXPECT_EQ(presenter().promptCount(), 1u);
}

TEST_F(CoordinatorTest, KeysGoneBeforeThePresentationStartsIsUnavailable)
{
    coordinator->handle(Request::Unlock{std::nullopt, std::nullopt, kGit}, 0, [](Response) {});
    auto answers = std::make_shared<Answers>();
    coordinator->handle(Request::Unlock{std::nullopt, std::nullopt, kGit}, 0,
                        [answers](Response r) { answers->responses.push_back(std::move(r)); });
    ASSERT_TRUE(executor.runOne()); // the first request starts the presentation task...
    ASSERT_TRUE(executor.runOne()); // ...the second joins it...
    rig.keys.clear(); // ...and the keys are gone when the presentation looks
    executor.runAll();
    EXPECT_EQ(answers->only(), denied("unavailable"));
    EXPECT_EQ(presenter().unlockCount(), 0u);
}

TEST_F(CoordinatorTest, WithdrawalOfEveryWaiterCancelsThePresentation)
{
    std::stop_source clientA, clientB;
    auto a = passphrase(kEd, kGit, clientA.get_token());
    auto b = unlock(kShell, std::nullopt, std::nullopt, clientB.get_token());
    clientA.request_stop();
    executor.runAll();
    EXPECT_EQ(coordinator->inFlightPresentation(), 1);
    EXPECT_FALSE(presenter().unlockCall(0).cancelled.stop_requested());
    clientB.request_stop();
    executor.runAll();
    EXPECT_EQ(coordinator->inFlightPresentation(), std::nullopt);
    EXPECT_TRUE(presenter().unlockCall(0).cancelled.stop_requested());
    EXPECT_EQ(coordinator->waitingCount(), 2); // still waiting for the dialog's end
    EXPECT_FALSE(a->answered());

    // A new request starts the next presentation while the old dialog is still closing.
    auto c = passphrase(kRsa, kShell);
    ASSERT_EQ(presenter().unlockCount(), 2u);
    EXPECT_EQ(coordinator->inFlightPresentation(), 2);
    EXPECT_EQ(coordinator->lastPresentationID(), 2);
    answer(0, PresentResult::Abandoned{});
    EXPECT_EQ(a->only(), denied("abandoned"));
    EXPECT_EQ(b->only(), denied("abandoned"));
    EXPECT_EQ(coordinator->inFlightPresentation(), 2);
    EXPECT_EQ(coordinator->waitingCount(), 1);
    approve(1);
    EXPECT_EQ(c->only(), secretOf("rsa-pass"));
}

TEST_F(CoordinatorTest, WithdrawnPresentationThatIsApprovedStillLoadsTheKeys)
{
    std::stop_source client;
    auto answers = passphrase(kEd, kGit, client.get_token());
    client.request_stop();
    executor.runAll();
    approve(0);
    EXPECT_EQ(answers->only(), secretOf("ed-pass")); // to a gone client
    EXPECT_EQ(agent().addCalls.size(), 2u);
    EXPECT_TRUE(coordinator->expiry());

    // A request gone before the dialog shows never shows it.
    std::stop_source gone;
    gone.request_stop();
    ASSERT_TRUE(lockNow());
    EXPECT_EQ(passphrase(kEd, kGit, gone.get_token())->only(), denied("abandoned"));
    EXPECT_EQ(presenter().unlockCount(), 1u);
    EXPECT_EQ(coordinator->waitingCount(), 0);
}

TEST_F(CoordinatorTest, PresenterThatLosesItsDialogCountsAsAbandoned)
{
    presenter().dropCompletions = true;
    EXPECT_EQ(unlock(kGit)->only(), denied("abandoned"));
    EXPECT_EQ(coordinator->inFlightPresentation(), std::nullopt);
}

TEST_F(CoordinatorTest, ShutdownWithdrawsTheDialogAndAnswersEveryWaiter)
{
    auto waiting = passphrase(kEd, kGit);
    auto asking = send(Request::Prompt{"Continue?", false, kShell});
    coordinator.reset();
    executor.runAll();
    EXPECT_EQ(waiting->only(), denied("abandoned"));
    EXPECT_EQ(asking->only(), denied("abandoned"));
    EXPECT_TRUE(presenter().unlockCall(0).cancelled.stop_requested());
    EXPECT_TRUE(presenter().promptCall(0).cancelled.stop_requested());
    presenter().answerUnlock(0, PresentResult::Approved{}); // late answers are ignored
    presenter().answerPrompt(0, secret("late"));
    executor.runAll();
    EXPECT_EQ(waiting->responses.size(), 1u);
    EXPECT_TRUE(agent().addCalls.empty());
}

TEST_F(CoordinatorTest, MissingPassphrasesAreTypedVerifiedAndSaved)
{
    (void)rig.store.remove(rig.keys[0]);
    (void)rig.store.remove(rig.keys[1]);
    auto ed = passphrase(kEd, kGit);
    auto rsa = passphrase(kRsa, kShell);
    approve(0);
    ASSERT_EQ(presenter().unlockCount(), 2u);
    EXPECT_EQ(presenter().unlockCall(1).mode, PresentMode(PresentMode::TypePassphrase{"missing"}));
    EXPECT_FALSE(ed->answered());
    answer(1, typed({{kEd, "ed-pass"}, {kRsa, "wrong"}}));
    EXPECT_EQ(verifyCalls, 2);
    EXPECT_EQ(rig.store.stored(kEd), secret("ed-pass"));
    EXPECT_FALSE(rig.store.has(kRsa)); // did not verify: dropped without a word
    ASSERT_EQ(agent().addCalls.size(), 1u);
    EXPECT_EQ(ed->only(), secretOf("ed-pass"));
    EXPECT_EQ(rsa->only(), denied("unavailable"));
}

TEST_F(CoordinatorTest, StoreFailuresAfterApproval)
{
    // Invalidated: one typing round with that reason, then unavailable.
    rig.store.markInvalidated(kRsa);
    auto answers = unlock(kGit);
    approve(0);
    EXPECT_EQ(presenter().unlockCall(1).mode, PresentMode(PresentMode::TypePassphrase{"invalidated"}));
    approve(1);
    EXPECT_EQ(answers->only(), denied("unavailable"));
    EXPECT_EQ(presenter().unlockCount(), 2u);

    // Any other failure: unavailable at once.
    rig.store.failNext = PassphraseStoreError{PassphraseStoreError::Kind::other, "bus gone"};
    EXPECT_FALSE(unlock(kGit)->answered());
    approve(2);
    EXPECT_EQ(presenter().unlockCount(), 3u);
    EXPECT_FALSE(coordinator->expiry());

    // No typing round once every waiter left.
    rig.store.failNext = PassphraseStoreError{PassphraseStoreError::Kind::notFound, {}};
    std::stop_source client;
    auto gone = unlock(kGit, std::nullopt, std::nullopt, client.get_token());
    client.request_stop();
    executor.runAll();
    approve(3);
    EXPECT_EQ(presenter().unlockCount(), 4u);
    EXPECT_EQ(gone->only(), denied("abandoned"));
}

TEST_F(CoordinatorTest, LockThatCannotBeConfirmedKeepsTheWindow)
{
    unlock(kGit);
    approve(0);
    const auto expiry = coordinator->expiry();
    ASSERT_TRUE(expiry);
    agent().removeFailure = AgentClientError::commandFailed(1, "agent refused");
    EXPECT_FALSE(lockNow());
    EXPECT_EQ(send(Request::Lock{})->only(), denied("unavailable"));
    EXPECT_EQ(coordinator->expiry(), expiry);
    EXPECT_EQ(status(), (StatusReport{"unlocked", 3600, {"me@laptop", "id_rsa"}}));
    EXPECT_EQ(window(), (UnlockWindow{*expiry, 3600}));

    agent().removeFailure.reset();
    agent().listFailure = AgentClientError::commandFailed(2, "no agent");
    EXPECT_FALSE(lockNow());
    EXPECT_EQ(coordinator->expiry(), expiry);

    agent().listFailure.reset();
    EXPECT_EQ(send(Request::Lock{})->only(), Response(Response::Ok{}));
    EXPECT_FALSE(coordinator->expiry());
    EXPECT_FALSE(rig.windowStore.saved);
    EXPECT_EQ(agent().removeCalls.back(), kRsa + ".pub");
    EXPECT_EQ(status(), (StatusReport{"locked", std::nullopt, {}}));
}

TEST_F(CoordinatorTest, StatusReportsAndClosesTheWindow)
{
    EXPECT_EQ(status(), (StatusReport{"locked", std::nullopt, {}}));
    unlock(kGit, 1800);
    approve(0);
    advance(100.5);
    EXPECT_EQ(send(Request::Status{})->only(),
              Response(Response::Status{StatusReport{"unlocked", 1699, {"me@laptop", "id_rsa"}}}));
    // An agent that does not answer reads as locked but closes nothing.
    agent().listFailure = AgentClientError::commandFailed(2, "no agent");
    EXPECT_EQ(status(), (StatusReport{"locked", std::nullopt, {}}));
    EXPECT_TRUE(rig.windowStore.saved);
    agent().listFailure.reset();
    // A window that ran out while the keys remain is closed.
    advance(1700);
    EXPECT_EQ(status(), (StatusReport{"unlocked", std::nullopt, {"me@laptop", "id_rsa"}}));
    EXPECT_FALSE(coordinator->expiry());
    EXPECT_FALSE(rig.windowStore.saved);
    EXPECT_EQ(window(), std::nullopt);

    // Keys the agent dropped close a running window.
    unlock(kGit);
    approve(1);
    agent().loaded.clear();
    EXPECT_EQ(status(), (StatusReport{"locked", std::nullopt, {}}));
    EXPECT_FALSE(coordinator->expiry());
    EXPECT_FALSE(rig.windowStore.saved);

    // Keys loaded by hand are unlocked without a time.
    agent().extraFingerprints = {rig.keys[1].fingerprint};
    EXPECT_EQ(status(), (StatusReport{"unlocked", std::nullopt, {"id_rsa"}}));
    EXPECT_EQ(window(), std::nullopt);
}

TEST_F(CoordinatorTest, RestoreTakesUpOnlyAPlausibleWindow)
{
    bool restored = false;
    coordinator->restoreWindow([&] { restored = true; });
    executor.runAll();
    EXPECT_TRUE(restored);
    EXPECT_EQ(rig.windowStore.clearCount + agent().listCalls, 0) << "nothing saved: nothing done";

    struct Case
    {
        const char* label;
        double expiresIn, duration;
        bool keyLoaded, agentAnswers, restored;
    };
    for (const Case& c : {
             Case{"an hour left", 3600, 10800, true, true, true},
             Case{"exactly the cap", 10800, 10800, true, true, true},
             Case{"four hours ahead", 14400, 10800, true, true, false},
             Case{"already over", 0, 900, true, true, false},
             Case{"no key in the agent", 3600, 10800, false, true, false},
             Case{"agent unreachable", 3600, 10800, true, false, false},
             Case{"no duration", 3600, 0, true, true, false},
         }) {
        rig.windowStore.saved = UnlockWindow{rig.clock.now() + std::chrono::duration<double>(c.expiresIn), c.duration};
        agent().loaded.clear();
        if (c.keyLoaded) {
            agent().loaded[kEd] = 10800;
        }
        agent().listFailure = c.agentAnswers ? std::nullopt : std::optional(AgentClientError::commandFailed(2, "x"));
        coordinator = std::make_unique<UnlockCoordinator>(executor, rig.dependencies());
        coordinator->restoreWindow();
        executor.runAll();
        EXPECT_EQ(coordinator->expiry().has_value(), c.restored) << c.label;
        EXPECT_EQ(rig.windowStore.saved.has_value(), c.restored) << c.label;
    }
}

} // namespace
} // namespace vantorelle
