// UnlockCoordinator on the manual executor over fakes: the decisions per request and requester, the
// shared dialog, grace, snooze, notification throttle, withdrawal, the typing round, the window.
#include "unlock/UnlockCoordinator.h"

#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <stop_token>

#include "fakes/FakeAgent.h"
#include "fakes/FakeClock.h"
#include "fakes/FakeUnlockPresenter.h"
#include "fakes/InMemoryPassphraseStore.h"
#include "fakes/MemoryUnlockWindowStore.h"
#include "unlock/ManualExecutor.h"

namespace vantorelle {
namespace {

using Kind = Requester::Kind;

SecretString secret(std::string_view text)
{
    return SecretString(text);
}

SSHKey key(const std::string& path, const std::string& comment = {})
{
    SSHKey k;
    k.path = path;
    k.publicKeyPath = path + ".pub";
    k.fingerprint = "SHA256:" + path; // as FakeAgent reports a loaded key
    k.comment = comment;
    return k;
}

Response deniedWith(std::string_view word)
{
    return Response::Denied{denialReasonFromWire(word)};
}

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

constexpr std::int32_t kGit = 100; // interactive "git"
constexpr std::int32_t kShell = 200; // interactive "ssh"
constexpr std::int32_t kSSHAdd = 250; // interactive, its executable is ssh-add
constexpr std::int32_t kCron = 300; // background "cron"
constexpr std::int32_t kRemote = 400; // remote

const std::string kEd = "/home/u/.ssh/id_ed25519";
const std::string kRsa = "/home/u/.ssh/id_rsa";

class CoordinatorTest : public ::testing::Test
{
protected:
    CoordinatorTest()
    {
        executor.onTimeChange([this](SerialExecutor::Seconds now) { clock.set(start + now); });
        keys = {key(kEd, "me@laptop"), key(kRsa)};
        (void)store.save(secret("ed-pass"), keys[0]);
        (void)store.save(secret("rsa-pass"), keys[1]);
        store.saveCalls = 0;
        requesters = {
            {kGit, {"git", Kind::interactive}},        {kShell, {"ssh", Kind::interactive}},
            {kSSHAdd, {"ssh-add", Kind::interactive}}, {kCron, {"cron", Kind::background}},
            {kRemote, {"sshd", Kind::remote}},
        };
        names = {{kSSHAdd, "ssh-add"}, {kShell, "ssh"}};
        accepted = {{kEd, "ed-pass"}, {kRsa, "rsa-pass"}};
        coordinator = std::make_unique<UnlockCoordinator>(executor, dependencies());
    }

    UnlockCoordinator::Dependencies dependencies()
    {
        return {
            .keys = [this] { return keys; },
            .duration = [this] { return configuredDuration; },
            .store = store,
            .agent = agent,
            .presenter = presenter,
            .resolve =
                [this](std::int32_t pid, const std::optional<std::string>& reason) {
                    resolved.emplace_back(pid, reason);
                    Requester r = requesters.contains(pid) ? requesters.at(pid) : Requester{"ssh", Kind::background};
                    if (reason && r.kind != Kind::remote) {
                        r = {*reason, Kind::interactive};
                    }
                    return r;
                },
            .clock = clock,
            .verify =
                [this](const SecretString& passphrase, const std::string& path) {
                    ++verifyCalls;
                    clock.advance(verifySeconds);
                    return accepted.contains(path) && accepted.at(path) == passphrase.view();
                },
            .callerName = [this](std::int32_t pid) -> std::optional<std::string> {
                if (names.contains(pid)) {
                    return names.at(pid);
                }
                return std::nullopt;
            },
            .callerDirectory = [this](std::int32_t pid) -> std::optional<std::filesystem::path> {
                if (directories.contains(pid)) {
                    return directories.at(pid);
                }
                return std::nullopt;
            },
            .windowStore = &windowStore,
        };
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
        ASSERT_TRUE(presenter.answerUnlock(call, std::move(result)));
        executor.runAll();
    }
    void approve(size_t call) { answer(call, PresentResult::Approved{}); }

    StatusReport status()
    {
        std::optional<StatusReport> report;
        coordinator->status([&](StatusReport r) { report = std::move(r); });
        executor.runAll();
        EXPECT_TRUE(report);
        return report.value_or(StatusReport{});
    }
    bool lockNow()
    {
        std::optional<bool> locked;
        coordinator->lockNow([&](bool result) { locked = result; });
        executor.runAll();
        EXPECT_TRUE(locked);
        return locked.value_or(false);
    }
    std::optional<UnlockWindow> window()
    {
        bool called = false;
        std::optional<UnlockWindow> result;
        coordinator->window([&](std::optional<UnlockWindow> w) {
            called = true;
            result = w;
        });
        executor.runAll();
        EXPECT_TRUE(called);
        return result;
    }
    void restoreWindow()
    {
        bool called = false;
        coordinator->restoreWindow([&] { called = true; });
        executor.runAll();
        EXPECT_TRUE(called);
    }
    void advance(double seconds) { executor.advance(SerialExecutor::Seconds(seconds)); }
    Date at(double seconds) const { return start + std::chrono::duration<double>(seconds); }

    const Date start = dateFromSeconds(1'800'000'000);
    ManualExecutor executor;
    FakeClock clock{start};
    FakeAgent agent;
    InMemoryPassphraseStore store;
    FakeUnlockPresenter presenter;
    MemoryUnlockWindowStore windowStore;
    std::vector<SSHKey> keys;
    double configuredDuration = 3600;
    std::map<std::int32_t, Requester> requesters;
    std::map<std::int32_t, std::string> names;
    std::map<std::int32_t, std::string> directories; // working directories; others cannot be read
    std::map<std::string, std::string> accepted;
    std::vector<std::pair<std::int32_t, std::optional<std::string>>> resolved;
    int verifyCalls = 0;
    double verifySeconds = 0; // how far each check moves the wall clock
    std::unique_ptr<UnlockCoordinator> coordinator;
};

// ----- the shared dialog

TEST_F(CoordinatorTest, TwoRequestsShareOneDialogAndBothGetTheirOwnAnswer)
{
    auto fromGit = passphrase(kEd, kGit);
    auto fromSSHAdd = passphrase(kRsa, kSSHAdd);
    ASSERT_EQ(presenter.unlockCount(), 1u);
    const auto call = presenter.unlockCall(0);
    EXPECT_EQ(call.requester, (Requester{"git", Kind::interactive})); // the first request's
    EXPECT_EQ(call.keys, keys);
    EXPECT_EQ(call.duration, 3600);
    EXPECT_EQ(call.mode, PresentMode(PresentMode::Biometric{}));
    EXPECT_EQ(coordinator->waitingCount(), 2);
    EXPECT_EQ(coordinator->inFlightPresentation(), 1);
    EXPECT_FALSE(fromGit->answered());

    advance(2);
    approve(0);
    EXPECT_EQ(fromGit->only(), Response(Response::Secret{secret("ed-pass")}));
    EXPECT_EQ(fromSSHAdd->only(), Response(Response::AddedToAgent{3600}));
    EXPECT_EQ(coordinator->waitingCount(), 0);
    EXPECT_EQ(coordinator->inFlightPresentation(), std::nullopt);

    ASSERT_EQ(agent.addCalls.size(), 2u);
    EXPECT_EQ(agent.addCalls[0].keyPath, kEd);
    EXPECT_EQ(agent.addCalls[0].lifetime, 3600);
    EXPECT_EQ(agent.addCalls[1].passphrase, secret("rsa-pass"));
    EXPECT_EQ(coordinator->expiry(), at(3602));
    EXPECT_EQ(windowStore.saved, (UnlockWindow{at(3602), 3600}));
}

TEST_F(CoordinatorTest, ApprovalForADifferentlyWrittenPathCountsAsTheKey)
{
    for (const std::string& path :
         {std::string("/home/u/.ssh/./id_ed25519"), std::string("/home/u/.ssh/../.ssh//id_ed25519"),
          std::string("/home//u/.ssh/id_ed25519")}) {
        const size_t call = presenter.unlockCount();
        auto answers = passphrase(path, kGit);
        ASSERT_EQ(presenter.unlockCount(), call + 1) << path;
        approve(call);
        EXPECT_EQ(answers->only(), Response(Response::Secret{secret("ed-pass")})) << path;
        ASSERT_TRUE(lockNow());
    }
}

TEST_F(CoordinatorTest, KeyThatCouldNotBeLoadedIsUnavailableToItsRequest)
{
    agent.addFailures.emplace(kRsa, AgentClientError::commandFailed(1, "Bad passphrase"));
    auto ed = passphrase(kEd, kGit);
    auto rsa = passphrase(kRsa, kShell);
    approve(0);
    EXPECT_EQ(ed->only(), Response(Response::Secret{secret("ed-pass")}));
    EXPECT_EQ(rsa->only(), deniedWith("unavailable"));
    EXPECT_TRUE(coordinator->expiry());
}

TEST_F(CoordinatorTest, NothingLoadedOpensNoWindow)
{
    agent.addFailures.emplace(kEd, AgentClientError::commandFailed(1, "x"));
    agent.addFailures.emplace(kRsa, AgentClientError::commandFailed(1, "x"));
    auto answers = unlock(kGit);
    approve(0);
    EXPECT_EQ(answers->only(), deniedWith("unavailable"));
    EXPECT_FALSE(coordinator->expiry());
    EXPECT_EQ(windowStore.saveCount, 0);
    // No grace either: the next request asks again.
    passphrase(kEd, kGit);
    EXPECT_EQ(presenter.unlockCount(), 2u);
}

// ----- grace

TEST_F(CoordinatorTest, GraceAnswersWithoutADialogAtThreeSecondsButNotAtSix)
{
    auto first = passphrase(kEd, kGit);
    approve(0);
    ASSERT_EQ(first->only(), Response(Response::Secret{secret("ed-pass")}));

    advance(3);
    auto soon = passphrase(kRsa, kShell);
    EXPECT_EQ(soon->only(), Response(Response::Secret{secret("rsa-pass")}));
    auto soonSSHAdd = passphrase(kEd, kSSHAdd);
    EXPECT_EQ(soonSSHAdd->only(), Response(Response::AddedToAgent{3597}));
    EXPECT_EQ(presenter.unlockCount(), 1u);

    advance(3);
    auto late = passphrase(kEd, kGit);
    EXPECT_FALSE(late->answered());
    EXPECT_EQ(presenter.unlockCount(), 2u);
}

TEST_F(CoordinatorTest, SweepDropsTheReleasedPassphrasesSixSecondsAfterTheApproval)
{
    passphrase(kEd, kGit);
    approve(0);
    EXPECT_EQ(executor.delayedCount(), 1u);
    advance(6);
    EXPECT_EQ(executor.delayedCount(), 0u);
    // Put the wall clock back inside the grace: only a sweep that ran leaves nothing to hand out.
    clock.set(at(2));
    passphrase(kEd, kGit);
    EXPECT_EQ(presenter.unlockCount(), 2u);
}

TEST_F(CoordinatorTest, LockEndsTheGrace)
{
    passphrase(kEd, kGit);
    approve(0);
    ASSERT_TRUE(lockNow());
    advance(1);
    auto after = passphrase(kEd, kGit);
    EXPECT_FALSE(after->answered());
    EXPECT_EQ(presenter.unlockCount(), 2u);
}

// The grace is consulted only after the requester was admitted: a running grace never answers a
// remote, background or snoozed requester.
TEST_F(CoordinatorTest, GraceIsNeverReachedByARequesterThatIsRefused)
{
    auto first = passphrase(kEd, kShell);
    approve(0);
    ASSERT_EQ(first->only(), Response(Response::Secret{secret("ed-pass")}));
    // git cancels a dialog of its own while the grace runs.
    unlock(kGit);
    answer(1, PresentResult::Cancelled{});

    advance(1);
    EXPECT_EQ(passphrase(kEd, kRemote)->only(), deniedWith("remote"));
    EXPECT_EQ(passphrase(kEd, kCron)->only(), deniedWith("background"));
    EXPECT_EQ(passphrase(kEd, 0)->only(), deniedWith("background"));
    EXPECT_EQ(passphrase(kEd, kGit)->only(), deniedWith("snoozed"));
    // The grace itself still runs for an admitted requester.
    EXPECT_EQ(passphrase(kEd, kShell)->only(), Response(Response::Secret{secret("ed-pass")}));
    EXPECT_EQ(presenter.unlockCount(), 2u);
}

// Expiry counts from the moment the dialog returned; the grace from a reading taken after the
// passphrases were checked and loaded.
TEST_F(CoordinatorTest, WindowCountsFromTheDialogAndGraceFromAfterTheAgentWork)
{
    verifySeconds = 2; // checking a typed passphrase takes a while
    auto answers = passphrase(kEd, kGit);
    advance(10);
    std::map<std::string, SecretString> typed;
    typed.emplace(kEd, secret("ed-pass"));
    answer(0, PresentResult::Typed{std::move(typed)});
    ASSERT_EQ(answers->only(), Response(Response::Secret{secret("ed-pass")}));
    EXPECT_EQ(coordinator->expiry(), at(10 + 3600)); // not moved by the time spent checking

    // 6 s after the dialog returned but 4 s after the grant: still within the grace.
    clock.set(at(16));
    EXPECT_EQ(passphrase(kEd, kShell)->only(), Response(Response::Secret{secret("ed-pass")}));
    EXPECT_EQ(presenter.unlockCount(), 1u);
}

TEST_F(CoordinatorTest, SnoozeCountsFromTheMomentTheDialogReturned)
{
    passphrase(kEd, kGit);
    advance(100); // the user looks at the dialog for a while
    answer(0, PresentResult::Cancelled{});
    advance(599);
    EXPECT_EQ(passphrase(kEd, kGit)->only(), deniedWith("snoozed"));
    advance(1);
    passphrase(kEd, kGit);
    EXPECT_EQ(presenter.unlockCount(), 2u);
}

// A refused free question neither notifies nor uses up the notification throttle.
TEST_F(CoordinatorTest, BackgroundPromptLeavesTheThrottleAlone)
{
    EXPECT_EQ(send(Request::Prompt{"Continue?", false, kCron})->only(), deniedWith("background"));
    EXPECT_EQ(passphrase("/other/key", kCron)->only(), deniedWith("background"));
    EXPECT_TRUE(presenter.notifications().empty());
    EXPECT_EQ(passphrase(kEd, kCron)->only(), deniedWith("background"));
    EXPECT_EQ(presenter.notifications().size(), 1u);
}

TEST_F(CoordinatorTest, UnlockAndPromptsNeverUseTheGrace)
{
    passphrase(kEd, kGit);
    approve(0);
    auto again = unlock(kGit);
    EXPECT_EQ(presenter.unlockCount(), 2u);
    EXPECT_FALSE(again->answered());
}

// ----- snooze

TEST_F(CoordinatorTest, CancelAnswersEveryWaiterButSnoozesOnlyTheFirstRequester)
{
    auto fromGit = passphrase(kEd, kGit);
    auto fromShell = passphrase(kRsa, kShell);
    answer(0, PresentResult::Cancelled{});
    EXPECT_EQ(fromGit->only(), deniedWith("cancelled"));
    EXPECT_EQ(fromShell->only(), deniedWith("cancelled"));

    advance(10);
    EXPECT_EQ(passphrase(kEd, kGit)->only(), deniedWith("snoozed"));
    EXPECT_EQ(presenter.unlockCount(), 1u);

    // Another requester still gets a dialog, and so does an unlock from the snoozed one.
    auto shellAgain = passphrase(kRsa, kShell);
    EXPECT_EQ(presenter.unlockCount(), 2u);
    answer(1, PresentResult::Abandoned{});
    auto unlockFromGit = unlock(kGit);
    EXPECT_EQ(presenter.unlockCount(), 3u);
    EXPECT_FALSE(unlockFromGit->answered());
    answer(2, PresentResult::Abandoned{});

    // The snooze runs out 600 s after the dialog returned.
    advance(589);
    EXPECT_EQ(passphrase(kEd, kGit)->only(), deniedWith("snoozed"));
    advance(1);
    passphrase(kEd, kGit);
    EXPECT_EQ(presenter.unlockCount(), 4u);
}

TEST_F(CoordinatorTest, StoreCancellingItsOwnAuthenticationSnoozes)
{
    store.failNext = PassphraseStoreError{PassphraseStoreError::Kind::cancelled, {}};
    auto answers = passphrase(kEd, kGit);
    approve(0);
    EXPECT_EQ(answers->only(), deniedWith("cancelled"));
    EXPECT_EQ(passphrase(kEd, kGit)->only(), deniedWith("snoozed"));
}

// ----- who asks

TEST_F(CoordinatorTest, BackgroundRequestsNotifyAtMostEveryTenMinutes)
{
    EXPECT_EQ(passphrase(kEd, kCron)->only(), deniedWith("background"));
    ASSERT_EQ(presenter.notifications().size(), 1u);
    EXPECT_EQ(presenter.notifications()[0], (Requester{"cron", Kind::background}));

    advance(300);
    EXPECT_EQ(passphrase(kEd, kCron)->only(), deniedWith("background"));
    EXPECT_EQ(unlock(kCron)->only(), deniedWith("background")); // the same throttle
    EXPECT_EQ(presenter.notifications().size(), 1u);

    advance(300);
    EXPECT_EQ(passphrase(kRsa, kCron)->only(), deniedWith("background"));
    EXPECT_EQ(presenter.notifications().size(), 2u);
    EXPECT_EQ(presenter.unlockCount(), 0u);
}

TEST_F(CoordinatorTest, RequestsWithoutCallerAreBackgroundSsh)
{
    const Requester ssh{"ssh", Kind::background};
    EXPECT_EQ(passphrase(kEd, 0)->only(), deniedWith("background"));
    EXPECT_EQ(unlock(-5)->only(), deniedWith("background"));
    EXPECT_EQ(presenter.notifications(), std::vector<Requester>{ssh});
    EXPECT_EQ(send(Request::Prompt{"Continue?", false, 0})->only(), deniedWith("background"));
    EXPECT_TRUE(resolved.empty());
}

TEST_F(CoordinatorTest, RemoteRequestersAreRefusedWithoutNotification)
{
    EXPECT_EQ(passphrase(kEd, kRemote)->only(), deniedWith("remote"));
    EXPECT_EQ(passphrase("/elsewhere/key", kRemote)->only(), deniedWith("remote"));
    EXPECT_EQ(unlock(kRemote, std::nullopt, "Vantorelle")->only(), deniedWith("remote"));
    EXPECT_TRUE(presenter.notifications().empty());
    EXPECT_EQ(presenter.unlockCount() + presenter.promptCount(), 0u);
}

TEST_F(CoordinatorTest, UnmanagedKeyIsAskedAsAFreeQuestion)
{
    auto withPrompt = passphrase("/other/key", kGit, {}, "Enter passphrase for key '/other/key': ");
    auto withoutPrompt = passphrase("/other/./key2", kShell, {}, "");
    ASSERT_EQ(presenter.promptCount(), 2u);
    EXPECT_EQ(presenter.promptCall(0).text, "Enter passphrase for key '/other/key': ");
    EXPECT_TRUE(presenter.promptCall(0).secret);
    EXPECT_EQ(presenter.promptCall(1).text, "Enter passphrase for /other/./key2: ");
    EXPECT_EQ(presenter.unlockCount(), 0u);

    ASSERT_TRUE(presenter.answerPrompt(0, secret("typed")));
    ASSERT_TRUE(presenter.answerPrompt(1, std::nullopt));
    executor.runAll();
    EXPECT_EQ(withPrompt->only(), Response(Response::Answer{secret("typed")}));
    EXPECT_EQ(withoutPrompt->only(), deniedWith("cancelled"));

    // Background and remote callers of a free question: refused, nobody notified.
    EXPECT_EQ(passphrase("/other/key", kCron)->only(), deniedWith("background"));
    EXPECT_TRUE(presenter.notifications().empty());
}

TEST_F(CoordinatorTest, RelativeKeyPathIsTheCallersAndWithoutItsDirectoryNoKey)
{
    directories = {{kGit, "/home/u/.ssh"}, {kShell, "/tmp"}};
    passphrase("id_ed25519", kGit);
    passphrase("../.ssh/./id_rsa", kGit); // joins the dialog
    passphrase("id_ed25519", kShell);
    passphrase("id_ed25519", kSSHAdd); // its directory cannot be read
    EXPECT_EQ(presenter.unlockCount(), 1u);
    ASSERT_EQ(presenter.promptCount(), 2u);
    EXPECT_EQ(presenter.promptCall(1).text, "Enter passphrase for key: ");
}

TEST_F(CoordinatorTest, PromptsAreNeverSnoozed)
{
    auto first = passphrase(kEd, kGit);
    answer(0, PresentResult::Cancelled{});
    auto question = send(Request::Prompt{"Are you sure?", false, kGit});
    ASSERT_EQ(presenter.promptCount(), 1u);
    EXPECT_FALSE(presenter.promptCall(0).secret);
    presenter.answerPrompt(0, secret("yes"));
    executor.runAll();
    EXPECT_EQ(question->only(), Response(Response::Answer{secret("yes")}));
}

TEST_F(CoordinatorTest, ClientHangingUpOnAPromptClosesIt)
{
    presenter.answerWhenCancelled = true;
    std::stop_source client;
    auto answers = send(Request::Prompt{"Continue?", false, kGit}, client.get_token());
    ASSERT_EQ(presenter.promptCount(), 1u);
    EXPECT_FALSE(presenter.promptCall(0).cancelled.stop_requested());
    client.request_stop();
    executor.runAll();
    EXPECT_TRUE(presenter.promptCall(0).cancelled.stop_requested());
    EXPECT_EQ(answers->only(), deniedWith("cancelled"));
}

// ----- unlock requests

TEST_F(CoordinatorTest, UnlockDurationsAreClamped)
{
    struct Case
    {
        std::optional<double> asked;
        double configured;
        double shown;
    };
    for (const Case& c : {Case{100, 3600, 900}, Case{20000, 3600, 10800}, Case{std::nullopt, 1000, 900},
                          Case{std::nullopt, 5000, 5400}, Case{2700, 900, 2700}}) {
        configuredDuration = c.configured;
        const size_t call = presenter.unlockCount();
        auto answers = unlock(kGit, c.asked);
        ASSERT_EQ(presenter.unlockCount(), call + 1);
        EXPECT_EQ(presenter.unlockCall(call).duration, c.shown);
        approve(call);
        EXPECT_EQ(answers->only(), Response(Response::Ok{}));
        EXPECT_EQ(agent.addCalls.back().lifetime, c.shown);
        EXPECT_EQ(windowStore.saved->duration, c.shown);
    }
}

TEST_F(CoordinatorTest, UnlockReasonGoesToTheResolverAndNamesTheRequester)
{
    auto answers = unlock(4321, std::nullopt, "Vantorelle");
    ASSERT_EQ(resolved.size(), 1u);
    EXPECT_EQ(resolved[0], (std::pair<std::int32_t, std::optional<std::string>>{4321, "Vantorelle"}));
    EXPECT_EQ(presenter.unlockCall(0).requester, (Requester{"Vantorelle", Kind::interactive}));
}

TEST_F(CoordinatorTest, WithoutManagedKeysUnlockIsUnavailableBeforeAnyoneIsLookedAt)
{
    keys.clear();
    EXPECT_EQ(unlock(kGit)->only(), deniedWith("unavailable"));
    EXPECT_EQ(unlock(kCron)->only(), deniedWith("unavailable"));
    EXPECT_TRUE(resolved.empty());
    EXPECT_TRUE(presenter.notifications().empty());
    // And a passphrase request is then a free question.
    passphrase(kEd, kGit);
    EXPECT_EQ(presenter.promptCount(), 1u);
}

TEST_F(CoordinatorTest, KeysGoneBeforeThePresentationStartsIsUnavailable)
{
    coordinator->handle(Request::Unlock{std::nullopt, std::nullopt, kGit}, 0, [](Response) {});
    auto answers = std::make_shared<Answers>();
    coordinator->handle(Request::Unlock{std::nullopt, std::nullopt, kGit}, 0,
                        [answers](Response r) { answers->responses.push_back(std::move(r)); });
    ASSERT_TRUE(executor.runOne()); // the first request starts the presentation task...
    ASSERT_TRUE(executor.runOne()); // ...the second joins it...
    keys.clear(); // ...and the keys are gone when the presentation looks
    executor.runAll();
    EXPECT_EQ(answers->only(), deniedWith("unavailable"));
    EXPECT_EQ(presenter.unlockCount(), 0u);
}

// ----- withdrawal

TEST_F(CoordinatorTest, WithdrawalOfEveryWaiterCancelsThePresentation)
{
    presenter.answerWhenCancelled = false; // the dialog closes late
    std::stop_source clientA, clientB;
    auto a = passphrase(kEd, kGit, clientA.get_token());
    auto b = unlock(kShell, std::nullopt, std::nullopt, clientB.get_token());
    ASSERT_EQ(presenter.unlockCount(), 1u);

    clientA.request_stop();
    executor.runAll();
    EXPECT_EQ(coordinator->inFlightPresentation(), 1);
    EXPECT_FALSE(presenter.unlockCall(0).cancelled.stop_requested());

    clientB.request_stop();
    executor.runAll();
    EXPECT_EQ(coordinator->inFlightPresentation(), std::nullopt);
    EXPECT_TRUE(presenter.unlockCall(0).cancelled.stop_requested());
    EXPECT_EQ(coordinator->waitingCount(), 2); // still waiting for the dialog's end
    EXPECT_FALSE(a->answered());

    // A new request starts the next presentation while the old dialog is still closing.
    auto c = passphrase(kRsa, kShell);
    ASSERT_EQ(presenter.unlockCount(), 2u);
    EXPECT_EQ(coordinator->inFlightPresentation(), 2);
    EXPECT_EQ(coordinator->lastPresentationID(), 2);

    // The late end of the first one answers its waiters and leaves the newer one in flight.
    answer(0, PresentResult::Abandoned{});
    EXPECT_EQ(a->only(), deniedWith("abandoned"));
    EXPECT_EQ(b->only(), deniedWith("abandoned"));
    EXPECT_EQ(coordinator->inFlightPresentation(), 2);
    EXPECT_EQ(coordinator->waitingCount(), 1);

    approve(1);
    EXPECT_EQ(c->only(), Response(Response::Secret{secret("rsa-pass")}));
}

TEST_F(CoordinatorTest, WithdrawnPresentationThatIsApprovedStillLoadsTheKeys)
{
    std::stop_source client;
    auto answers = passphrase(kEd, kGit, client.get_token());
    client.request_stop();
    executor.runAll();
    approve(0);
    EXPECT_EQ(answers->only(), Response(Response::Secret{secret("ed-pass")})); // to a gone client
    EXPECT_EQ(agent.addCalls.size(), 2u);
    EXPECT_TRUE(coordinator->expiry());
}

TEST_F(CoordinatorTest, RequestAlreadyGoneBeforeTheDialogShowsNeverShowsIt)
{
    std::stop_source client;
    client.request_stop();
    auto answers = passphrase(kEd, kGit, client.get_token());
    EXPECT_EQ(answers->only(), deniedWith("abandoned"));
    EXPECT_EQ(presenter.unlockCount(), 0u);
    EXPECT_EQ(coordinator->inFlightPresentation(), std::nullopt);
    EXPECT_EQ(coordinator->waitingCount(), 0);
}

TEST_F(CoordinatorTest, PresenterThatLosesItsDialogCountsAsAbandoned)
{
    presenter.dropCompletions = true;
    auto answers = unlock(kGit);
    EXPECT_EQ(answers->only(), deniedWith("abandoned"));
    EXPECT_EQ(coordinator->inFlightPresentation(), std::nullopt);

    auto question = send(Request::Prompt{"Continue?", false, kGit});
    EXPECT_FALSE(question->answered()); // this presenter keeps prompt completions
    presenter.answerPrompt(0, std::nullopt);
    executor.runAll();
    EXPECT_EQ(question->only(), deniedWith("cancelled"));
}

TEST_F(CoordinatorTest, ShutdownWithdrawsTheDialogAndAnswersEveryWaiter)
{
    auto waiting = passphrase(kEd, kGit);
    auto asking = send(Request::Prompt{"Continue?", false, kShell});
    coordinator.reset();
    executor.runAll();
    EXPECT_EQ(waiting->only(), deniedWith("abandoned"));
    EXPECT_EQ(asking->only(), deniedWith("abandoned"));
    EXPECT_TRUE(presenter.unlockCall(0).cancelled.stop_requested());
    EXPECT_TRUE(presenter.promptCall(0).cancelled.stop_requested());
    // Late answers from the dialogs are ignored.
    presenter.answerUnlock(0, PresentResult::Approved{});
    presenter.answerPrompt(0, secret("late"));
    executor.runAll();
    EXPECT_EQ(waiting->responses.size(), 1u);
    EXPECT_TRUE(agent.addCalls.empty());
}

// ----- the typing round

TEST_F(CoordinatorTest, MissingPassphrasesAreTypedVerifiedAndSaved)
{
    (void)store.remove(keys[0]);
    (void)store.remove(keys[1]);
    auto ed = passphrase(kEd, kGit);
    auto rsa = passphrase(kRsa, kShell);
    approve(0);
    ASSERT_EQ(presenter.unlockCount(), 2u);
    EXPECT_EQ(presenter.unlockCall(1).mode, PresentMode(PresentMode::TypePassphrase{"missing"}));
    EXPECT_FALSE(ed->answered());

    std::map<std::string, SecretString> typed;
    typed.emplace(kEd, secret("ed-pass"));
    typed.emplace(kRsa, secret("wrong"));
    answer(1, PresentResult::Typed{std::move(typed)});
    EXPECT_EQ(verifyCalls, 2);
    EXPECT_EQ(store.stored(kEd), secret("ed-pass"));
    EXPECT_FALSE(store.has(kRsa)); // did not verify: dropped without a word
    ASSERT_EQ(agent.addCalls.size(), 1u);
    EXPECT_EQ(agent.addCalls[0].keyPath, kEd);
    EXPECT_EQ(ed->only(), Response(Response::Secret{secret("ed-pass")}));
    EXPECT_EQ(rsa->only(), deniedWith("unavailable"));
}

TEST_F(CoordinatorTest, InvalidatedPassphraseAsksToTypeWithThatReason)
{
    store.markInvalidated(kRsa);
    auto answers = unlock(kGit);
    approve(0);
    ASSERT_EQ(presenter.unlockCount(), 2u);
    EXPECT_EQ(presenter.unlockCall(1).mode, PresentMode(PresentMode::TypePassphrase{"invalidated"}));
    // Approving again instead of typing, and failing again: no third dialog.
    approve(1);
    EXPECT_EQ(answers->only(), deniedWith("unavailable"));
    EXPECT_EQ(presenter.unlockCount(), 2u);
}

TEST_F(CoordinatorTest, TypedAtOnceIsUsedButNotSaved)
{
    auto answers = unlock(kGit);
    std::map<std::string, SecretString> typed;
    typed.emplace(kEd, secret("ed-pass"));
    answer(0, PresentResult::Typed{std::move(typed)});
    EXPECT_EQ(answers->only(), Response(Response::Ok{}));
    EXPECT_EQ(store.saveCalls, 0);
}

TEST_F(CoordinatorTest, NoTypingRoundOnceEveryWaiterLeft)
{
    store.failNext = PassphraseStoreError{PassphraseStoreError::Kind::notFound, {}};
    std::stop_source client;
    auto answers = unlock(kGit, std::nullopt, std::nullopt, client.get_token());
    client.request_stop();
    executor.runAll();
    approve(0);
    EXPECT_EQ(presenter.unlockCount(), 1u);
    EXPECT_EQ(answers->only(), deniedWith("abandoned"));
}

TEST_F(CoordinatorTest, OtherStoreFailuresAreUnavailable)
{
    store.failNext = PassphraseStoreError{PassphraseStoreError::Kind::other, "bus gone"};
    auto answers = unlock(kGit);
    approve(0);
    EXPECT_EQ(answers->only(), deniedWith("unavailable"));
    EXPECT_EQ(presenter.unlockCount(), 1u);
    EXPECT_FALSE(coordinator->expiry());
}

// ----- lock, status, window, restore

TEST_F(CoordinatorTest, LockThatCannotBeConfirmedKeepsTheWindow)
{
    unlock(kGit);
    approve(0);
    const auto expiry = coordinator->expiry();
    ASSERT_TRUE(expiry);

    agent.removeFailure = AgentClientError::commandFailed(1, "agent refused");
    EXPECT_FALSE(lockNow());
    EXPECT_EQ(send(Request::Lock{})->only(), deniedWith("unavailable"));
    EXPECT_EQ(coordinator->expiry(), expiry);
    const StatusReport report = status();
    EXPECT_EQ(report.state, StatusState::unlocked);
    EXPECT_EQ(report.remainingSeconds, 3600);
    EXPECT_EQ(window(), (UnlockWindow{*expiry, 3600}));

    agent.removeFailure.reset();
    agent.listFailure = AgentClientError::commandFailed(2, "no agent");
    EXPECT_FALSE(lockNow());
    EXPECT_EQ(coordinator->expiry(), expiry);

    agent.listFailure.reset();
    EXPECT_EQ(send(Request::Lock{})->only(), Response(Response::Ok{}));
    EXPECT_FALSE(coordinator->expiry());
    EXPECT_FALSE(windowStore.saved);
    EXPECT_EQ(agent.removeCalls.back(), kRsa); // by the private key: its certificate goes too
    EXPECT_EQ(status(), (StatusReport{StatusState::locked, std::nullopt, {}}));
}

TEST_F(CoordinatorTest, StatusReportsTheWindowAndTheKeysShown)
{
    EXPECT_EQ(status(), (StatusReport{StatusState::locked, std::nullopt, {}}));
    unlock(kGit, 1800);
    approve(0);
    advance(100.5);
    EXPECT_EQ(send(Request::Status{})->only(),
              Response(Response::Status{StatusReport{StatusState::unlocked, 1699, {"me@laptop", "id_rsa"}}}));
}

TEST_F(CoordinatorTest, StatusClosesAWindowThatRanOutWhileKeysRemain)
{
    unlock(kGit, 900);
    approve(0);
    advance(900);
    EXPECT_EQ(status(), (StatusReport{StatusState::unlocked, std::nullopt, {"me@laptop", "id_rsa"}}));
    EXPECT_FALSE(coordinator->expiry());
    EXPECT_FALSE(windowStore.saved);
    EXPECT_EQ(window(), std::nullopt);
}

TEST_F(CoordinatorTest, StatusClosesTheWindowOnlyWhenTheAgentAnswered)
{
    unlock(kGit);
    approve(0);
    agent.listFailure = AgentClientError::commandFailed(2, "no agent");
    EXPECT_EQ(status(), (StatusReport{StatusState::locked, std::nullopt, {}}));
    EXPECT_TRUE(coordinator->expiry());
    EXPECT_TRUE(windowStore.saved);

    agent.listFailure.reset();
    agent.loaded.clear(); // the agent dropped the keys at the end of their lifetime
    EXPECT_EQ(status(), (StatusReport{StatusState::locked, std::nullopt, {}}));
    EXPECT_FALSE(coordinator->expiry());
    EXPECT_FALSE(windowStore.saved);
}

TEST_F(CoordinatorTest, KeysLoadedByHandAreUnlockedWithoutATime)
{
    agent.extraFingerprints = {keys[1].fingerprint};
    EXPECT_EQ(status(), (StatusReport{StatusState::unlocked, std::nullopt, {"id_rsa"}}));
    EXPECT_EQ(window(), std::nullopt);
}

TEST_F(CoordinatorTest, NewApprovalRestartsTheWindow)
{
    unlock(kGit, 3600);
    approve(0);
    advance(1000);
    unlock(kGit, 1800);
    approve(1);
    EXPECT_EQ(coordinator->expiry(), at(2800));
    EXPECT_EQ(window(), (UnlockWindow{at(2800), 1800}));
    EXPECT_EQ(agent.addCalls.back().lifetime, 1800);
}

TEST_F(CoordinatorTest, RestoreTakesUpOnlyAPlausibleWindow)
{
    struct Case
    {
        const char* label;
        double expiresIn;
        double duration;
        bool keyLoaded;
        bool agentAnswers;
        bool restored;
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
        windowStore.saved = UnlockWindow{clock.now() + std::chrono::duration<double>(c.expiresIn), c.duration};
        agent.loaded.clear();
        if (c.keyLoaded) {
            agent.loaded[kEd] = 10800;
        }
        agent.listFailure
            = c.agentAnswers ? std::nullopt : std::optional(AgentClientError::commandFailed(2, "no agent"));
        coordinator = std::make_unique<UnlockCoordinator>(executor, dependencies());
        restoreWindow();
        EXPECT_EQ(coordinator->expiry().has_value(), c.restored) << c.label;
        EXPECT_EQ(windowStore.saved.has_value(), c.restored) << c.label;
    }
}

TEST_F(CoordinatorTest, RestoreWithoutSavedWindowDoesNothing)
{
    restoreWindow();
    EXPECT_EQ(windowStore.clearCount, 0);
    EXPECT_EQ(agent.listCalls, 0);
    EXPECT_FALSE(coordinator->expiry());
}

} // namespace
} // namespace vantorelle
