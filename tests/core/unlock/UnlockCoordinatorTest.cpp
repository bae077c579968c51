// UnlockCoordinator on the manual executor over fakes: who is asked and who refused, the shared
// dialog, grace, snooze, withdrawal, the typing round, lock, status and the window.
#include "unlock/UnlockCoordinator.h"

#include <gtest/gtest.h>

#include "fakes/CoordinatorRig.h"
#include "unlock/ManualExecutor.h"

namespace vantorelle {
namespace {

using Kind = Requester::Kind;
// What came back for one request; equal to a response when it is the only one.
struct Replies : std::vector<Response>
{
    bool operator==(const Response& response) const { return size() == 1 && front() == response; }
};
using StoreKind = PassphraseStoreError::Kind;
constexpr std::int32_t kGit = 100, kShell = 200, kSSHAdd = 250, kCron = 300, kRemote = 400;
const std::string kEd = "/home/u/.ssh/id_ed25519", kRsa = "/home/u/.ssh/id_rsa";
const StatusReport kLocked{StatusState::locked, std::nullopt, {}};

class CoordinatorTest : public ::testing::Test, protected CoordinatorRig
{
protected:
    CoordinatorTest()
        : CoordinatorRig({{kEd, "ed-pass"}, {kRsa, "rsa-pass"}})
    {
        keys[0].comment = "me@laptop";
        // clang-format off
        requesters = {{kGit, {"git", Kind::interactive}}, {kShell, {"ssh", Kind::interactive}},
            {kSSHAdd, {"ssh-add", Kind::interactive}}, {kCron, {"cron", Kind::background}}, {kRemote, {"sshd", Kind::remote}}};
        // clang-format on
        names = {{kSSHAdd, "ssh-add"}, {kShell, "ssh"}};
        executor.onTimeChange([this](SerialExecutor::Seconds now) { clock.at = at(now.count()); });
        restart();
    }
    // Waiting requests, the dialog in flight, and the dialogs and questions shown so far.
    using State = std::tuple<int, std::optional<int>, size_t, size_t>;
    State state() const
    {
        return {coordinator->waitingCount(), coordinator->inFlightPresentation(), presenter.unlocks.size(),
                presenter.prompts.size()};
    }
    void restart() { coordinator = std::make_unique<UnlockCoordinator>(executor, dependencies()); }

    std::shared_ptr<Replies> send(Request request, std::stop_token stop = {})
    {
        auto replies = std::make_shared<Replies>();
        coordinator->handle(
            std::move(request), 1, [replies](Response r) { replies->push_back(std::move(r)); }, stop);
        executor.runAll();
        return replies;
    }
    auto ask(const std::string& path, std::int32_t pid, std::stop_token stop = {})
    {
        return send(Request::Passphrase{path, "Enter passphrase for key: ", pid}, stop);
    }
    auto unlock(std::int32_t pid, std::optional<double> length = {}, std::stop_token stop = {})
    {
        return send(Request::Unlock{length, std::nullopt, pid}, stop);
    }
    void answer(size_t call, PresentResult result)
    {
        ASSERT_TRUE(presenter.answer(call, std::move(result)));
        executor.runAll();
    }
    void approve(size_t call) { answer(call, PresentResult::Approved{}); }
    template <class T> T get(void (UnlockCoordinator::*call)(std::move_only_function<void(T)>))
    {
        std::optional<T> result;
        (coordinator.get()->*call)([&](T value) { result = std::move(value); });
        executor.runAll();
        return result.value();
    }
    void advance(double seconds) { executor.advance(SerialExecutor::Seconds(seconds)); }
    Date at(double seconds) const { return dateFromSeconds(1'800'000'000 + seconds); }
    static Response no(std::string_view word) { return Response::Denied{denialReasonFromWire(word)}; }
    static Response yes(std::string_view passphrase) { return Response::Secret{secret(passphrase)}; }
    static PresentResult typed(const std::map<std::string, std::string>& entries)
    {
        PresentResult::Typed result;
        for (const auto& [path, text] : entries) {
            result.passphrases.emplace(path, secret(text));
        }
        return result;
    }

    ManualExecutor executor;
    std::unique_ptr<UnlockCoordinator> coordinator;
};

TEST_F(CoordinatorTest, RemoteAndBackgroundCallersAreRefusedAndBackgroundOnesNotifiedAtMostEveryTenMinutes)
{
    struct Row
    {
        double after;
        Request request;
        const char* refusal;
        size_t notified;
    };
    // clang-format off
    const Row rows[] = {
        {0, Request::Prompt{"Continue?", false, kCron}, "background", 0}, // free questions never notify
        {0, Request::Passphrase{"/other/key", "", kCron}, "background", 0}, {0, Request::Passphrase{"/other/key", "", kRemote}, "remote", 0},
        {0, Request::Passphrase{kEd, "", kRemote}, "remote", 0}, {0, Request::Unlock{std::nullopt, "Vantorelle", kRemote}, "remote", 0},
        {0, Request::Unlock{std::nullopt, std::nullopt, kCron}, "background", 1}, {300, Request::Passphrase{kEd, "", kCron}, "background", 1},
        {299, Request::Passphrase{kRsa, "", kCron}, "background", 1}, {1, Request::Passphrase{kRsa, "", kCron}, "background", 2},
        {0, Request::Unlock{std::nullopt, std::nullopt, -5}, "background", 3}, // no caller: ("ssh", background)
        {0, Request::Passphrase{kEd, "", 0}, "background", 3}, {0, Request::Prompt{"Continue?", false, 0}, "background", 3},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        advance(row.after);
        EXPECT_EQ(*send(row.request), no(row.refusal));
        EXPECT_EQ(presenter.notified.size(), row.notified);
    }
    const Requester cron{"cron", Kind::background};
    EXPECT_EQ(presenter.notified, (std::vector<Requester>{cron, cron, {"ssh", Kind::background}}));
    EXPECT_EQ(resolved.size(), 9u); // never for a caller without an id
    EXPECT_TRUE(presenter.unlocks.empty() && presenter.prompts.empty());
}

TEST_F(CoordinatorTest, ConcurrentRequestsShareOneDialogAndEachGetsItsOwnAnswer)
{
    auto git = ask(kEd, kGit), sshAdd = ask(kRsa, kSSHAdd);
    ASSERT_EQ(state(), State(2, 1, 1, 0));
    const auto& shown = presenter.unlocks[0];
    EXPECT_EQ(shown.requester, (Requester{"git", Kind::interactive})); // the first request's
    EXPECT_EQ(shown.keys, keys);
    EXPECT_EQ(shown.duration, 3600);
    EXPECT_EQ(shown.mode, PresentMode(PresentMode::Biometric{}));
    advance(2);
    approve(0);
    EXPECT_EQ(*git, yes("ed-pass"));
    EXPECT_EQ(*sshAdd, Response(Response::AddedToAgent{3600})); // ssh-add is told the key is in
    EXPECT_EQ(state(), State(0, std::nullopt, 1, 0));
    EXPECT_EQ(agent.adds, (std::vector<FakeAgent::Add>{{kEd, "ed-pass", 3600}, {kRsa, "rsa-pass", 3600}}));
    EXPECT_EQ(windowStore.saved, (UnlockWindow{at(3602), 3600}));
}

TEST_F(CoordinatorTest, ManagedKeyIsFoundByItsStandardizedPathElseAskedAsAFreeQuestion)
{
    directories = {{kGit, "/home/u/.ssh"}, {kShell, "/tmp"}};
    ask("id_ed25519", kGit); // relative to the caller's directory
    ask("../.ssh/./id_rsa", kGit);
    ask("/home//u/.ssh/../.ssh/id_ed25519", kShell);
    auto own = send(Request::Passphrase{"id_ed25519", "Key? ", kShell});
    auto bare = send(Request::Passphrase{"id_rsa", "", kSSHAdd}); // its directory cannot be read
    ASSERT_EQ(state(), State(3, 1, 1, 2));
    EXPECT_EQ(presenter.prompts[0].text, "Key? ");
    EXPECT_TRUE(presenter.prompts[0].secret);
    EXPECT_EQ(presenter.prompts[1].text, "Enter passphrase for id_rsa: ");
    presenter.answerPrompt(0, secret("typed"));
    presenter.answerPrompt(1, std::nullopt);
    executor.runAll();
    EXPECT_EQ(*own, Response(Response::Answer{secret("typed")}));
    EXPECT_EQ(*bare, no("cancelled"));
}

TEST_F(CoordinatorTest, GraceAnswersOnlyAdmittedPassphraseRequestsUntilTheSweep)
{
    ask(kEd, kShell);
    approve(0);
    unlock(kGit); // never from the grace...
    answer(1, PresentResult::Cancelled{}); // ...and git cancels it
    advance(3);
    EXPECT_EQ(*ask(kRsa, kShell), yes("rsa-pass"));
    EXPECT_EQ(*ask(kEd, kSSHAdd), Response(Response::AddedToAgent{3597}));
    EXPECT_EQ(*ask(kEd, kRemote), no("remote"));
    EXPECT_EQ(*ask(kEd, kCron), no("background"));
    EXPECT_EQ(*ask(kEd, 0), no("background"));
    EXPECT_EQ(*ask(kEd, kGit), no("snoozed"));
    send(Request::Prompt{"Sure?", false, kGit}); // a prompt: neither snoozed nor from the grace
    ASSERT_EQ(state(), State(0, std::nullopt, 2, 1));
    EXPECT_FALSE(presenter.prompts[0].secret);
    advance(3);
    EXPECT_EQ(executor.delayedCount(), 0u);
    clock.at = at(2); // back inside the grace: only a sweep that ran leaves nothing to hand out
    ask(kEd, kShell);
    EXPECT_EQ(presenter.unlocks.size(), 3u);
}

TEST_F(CoordinatorTest, WindowCountsFromTheDialogsReturnAndGraceFromAfterTheAgentWork)
{
    verifySeconds = 2;
    auto answers = ask(kEd, kGit);
    advance(10);
    answer(0, typed({{kEd, "ed-pass"}}));
    EXPECT_EQ(*answers, yes("ed-pass"));
    EXPECT_EQ(store.saves, 0); // typed at once: used, not saved
    EXPECT_EQ(coordinator->expiry(), at(3610));
    clock.at = at(16); // 6 s after the dialog, 4 s after the grant
    EXPECT_EQ(*ask(kEd, kShell), yes("ed-pass"));
    EXPECT_EQ(presenter.unlocks.size(), 1u);
}

TEST_F(CoordinatorTest, CancelAnswersEveryWaiterAndSnoozesTheFirstRequesterForTenMinutes)
{
    auto git = ask(kEd, kGit), shell = ask(kRsa, kShell);
    advance(100);
    answer(0, PresentResult::Cancelled{});
    EXPECT_EQ(*git, no("cancelled"));
    EXPECT_EQ(*shell, no("cancelled"));
    advance(599);
    EXPECT_EQ(*ask(kEd, kGit), no("snoozed"));
    ask(kRsa, kShell); // another requester still gets a dialog...
    answer(1, PresentResult::Abandoned{});
    unlock(kGit); // ...and so does an unlock from the snoozed one
    answer(2, PresentResult::Abandoned{});
    advance(1); // 600 s after the dialog returned
    ask(kEd, kGit);
    EXPECT_EQ(presenter.unlocks.size(), 4u);
}

TEST_F(CoordinatorTest, StoreFailingAfterTheApproval)
{
    struct Case
    {
        StoreKind kind;
        const char* refusal;
        const char* typeReason; // asks once to type the passphrases
        bool snoozes;
    };
    for (const Case& c :
         {Case{StoreKind::cancelled, "cancelled", nullptr, true}, Case{StoreKind::other, "unavailable", nullptr, false},
          Case{StoreKind::invalidated, "unavailable", "invalidated", false}}) {
        SCOPED_TRACE(c.refusal);
        store.failure = PassphraseStoreError{c.kind, {}};
        restart();
        const size_t first = presenter.unlocks.size();
        auto answers = ask(kEd, kGit);
        approve(first);
        if (c.typeReason) {
            ASSERT_EQ(presenter.unlocks.size(), first + 2);
            EXPECT_EQ(presenter.unlocks[first + 1].mode, PresentMode(PresentMode::TypePassphrase{c.typeReason}));
            approve(first + 1); // approving instead of typing, and failing again: no third dialog
        }
        EXPECT_EQ(*answers, no(c.refusal));
        EXPECT_EQ(presenter.unlocks.size(), first + (c.typeReason ? 2 : 1));
        EXPECT_FALSE(coordinator->expiry());
        EXPECT_EQ(*ask(kEd, kGit) == no("snoozed"), c.snoozes);
    }
}

TEST_F(CoordinatorTest, MissingPassphrasesAreTypedAndOnlyThoseThatOpenTheirKeyAreSavedAndUsed)
{
    store.items.clear();
    auto ed = ask(kEd, kGit), rsa = ask(kRsa, kShell);
    approve(0);
    ASSERT_EQ(presenter.unlocks.size(), 2u);
    EXPECT_EQ(presenter.unlocks[1].mode, PresentMode(PresentMode::TypePassphrase{"missing"}));
    EXPECT_TRUE(ed->empty());
    answer(1, typed({{kEd, "ed-pass"}, {kRsa, "wrong"}}));
    EXPECT_EQ(verifies, 2);
    EXPECT_EQ(store.items.at(kEd), secret("ed-pass"));
    EXPECT_FALSE(store.items.contains(kRsa));
    EXPECT_EQ(agent.adds, (std::vector<FakeAgent::Add>{{kEd, "ed-pass", 3600}}));
    EXPECT_EQ(*ed, yes("ed-pass"));
    EXPECT_EQ(*rsa, no("unavailable"));
}

TEST_F(CoordinatorTest, KeyTheAgentRefusedIsUnavailableAndWithoutAnyLoadedNoWindowOpens)
{
    agent.failing = {kEd, kRsa};
    auto none = unlock(kGit);
    approve(0);
    EXPECT_EQ(*none, no("unavailable"));
    EXPECT_FALSE(coordinator->expiry());
    EXPECT_EQ(windowStore.saves, 0);
    agent.failing = {kRsa};
    auto ed = ask(kEd, kGit), rsa = ask(kRsa, kShell); // no grace: a dialog of its own
    approve(1);
    EXPECT_EQ(*ed, yes("ed-pass"));
    EXPECT_EQ(*rsa, no("unavailable"));
    EXPECT_TRUE(coordinator->expiry());
}

TEST_F(CoordinatorTest, UnlockLengthIsClampedAndEveryApprovalRestartsTheWindowFromNow)
{
    struct Case
    {
        std::optional<double> asked;
        double configured, shown;
    };
    for (const Case& c : {Case{100, 3600, 900}, Case{20000, 3600, 10800}, Case{std::nullopt, 1000, 900},
                          Case{std::nullopt, 5000, 5400}, Case{2700, 900, 2700}}) {
        advance(100);
        duration = c.configured;
        const size_t call = presenter.unlocks.size();
        auto answers = send(Request::Unlock{c.asked, "Vantorelle", kGit});
        ASSERT_EQ(presenter.unlocks.size(), call + 1);
        EXPECT_EQ(presenter.unlocks[call].requester, (Requester{"Vantorelle", Kind::interactive}));
        EXPECT_EQ(presenter.unlocks[call].duration, c.shown);
        approve(call);
        EXPECT_EQ(*answers, Response(Response::Ok{}));
        EXPECT_EQ(std::get<2>(agent.adds.back()), c.shown);
        EXPECT_EQ(windowStore.saved, (UnlockWindow{clock.now() + std::chrono::duration<double>(c.shown), c.shown}));
        EXPECT_EQ(coordinator->expiry(), windowStore.saved->expiry);
    }
}

TEST_F(CoordinatorTest, WithoutManagedKeysUnlockIsUnavailableAndAPassphraseAFreeQuestion)
{
    auto early = std::make_shared<Replies>();
    coordinator->handle(Request::Unlock{std::nullopt, std::nullopt, kGit}, 1,
                        [early](Response r) { early->push_back(std::move(r)); });
    ASSERT_TRUE(executor.runOne()); // the request starts the presentation...
    keys.clear(); // ...and the keys are gone when it looks
    executor.runAll();
    EXPECT_EQ(*early, no("unavailable"));
    EXPECT_TRUE(presenter.unlocks.empty());
    EXPECT_EQ(*unlock(kGit), no("unavailable"));
    EXPECT_EQ(*unlock(kCron), no("unavailable")); // before anyone is looked at
    EXPECT_EQ(resolved.size(), 1u);
    EXPECT_TRUE(presenter.notified.empty());
    ask(kEd, kGit);
    EXPECT_EQ(presenter.prompts.size(), 1u);
}

TEST_F(CoordinatorTest, WithdrawalOfEveryWaiterTakesTheDialogDownAndItsLateEndStillAnswersThem)
{
    std::stop_source a, b, question;
    send(Request::Prompt{"Continue?", false, kGit}, question.get_token());
    auto fromA = ask(kEd, kGit, a.get_token()), fromB = unlock(kShell, std::nullopt, b.get_token());
    question.request_stop();
    a.request_stop();
    executor.runAll();
    EXPECT_TRUE(presenter.prompts[0].stop.stop_requested());
    EXPECT_EQ(state(), State(2, 1, 1, 1));
    EXPECT_FALSE(presenter.unlocks[0].stop.stop_requested());
    b.request_stop();
    executor.runAll();
    EXPECT_EQ(state(), State(2, std::nullopt, 1, 1)); // still waiting for the dialog to end
    EXPECT_TRUE(presenter.unlocks[0].stop.stop_requested());
    EXPECT_TRUE(fromA->empty());
    auto c = ask(kRsa, kShell); // the next presentation starts while the old dialog still closes
    ASSERT_EQ(state(), State(3, 2, 2, 1));
    EXPECT_EQ(coordinator->lastPresentationID(), 2);
    approve(0); // late, and approved: the keys are loaded all the same
    EXPECT_EQ(*fromA, yes("ed-pass"));
    EXPECT_EQ(*fromB, Response(Response::Ok{}));
    EXPECT_EQ(agent.adds.size(), 2u);
    EXPECT_EQ(state(), State(1, 2, 2, 1));
    approve(1);
    EXPECT_EQ(*c, yes("rsa-pass"));
}

TEST_F(CoordinatorTest, RequestGoneBeforeTheDialogNeverShowsOneNorATypingRound)
{
    std::stop_source gone, leaving;
    gone.request_stop();
    EXPECT_EQ(*ask(kEd, kGit, gone.get_token()), no("abandoned"));
    EXPECT_TRUE(presenter.unlocks.empty());
    store.failure = PassphraseStoreError{StoreKind::notFound, {}};
    auto answers = unlock(kGit, std::nullopt, leaving.get_token());
    leaving.request_stop();
    executor.runAll();
    approve(0);
    EXPECT_EQ(*answers, no("abandoned"));
    presenter.loseDialogs = true; // a presenter that drops its dialog: abandoned too
    EXPECT_EQ(*unlock(kGit), no("abandoned"));
    EXPECT_EQ(state(), State(0, std::nullopt, 2, 0));
}

TEST_F(CoordinatorTest, ShutdownWithdrawsTheDialogsAndAnswersEveryWaiterOnce)
{
    auto waiting = ask(kEd, kGit);
    auto asking = send(Request::Prompt{"Continue?", false, kShell});
    coordinator.reset();
    executor.runAll();
    EXPECT_TRUE(presenter.unlocks[0].stop.stop_requested());
    EXPECT_TRUE(presenter.prompts[0].stop.stop_requested());
    presenter.answer(0, PresentResult::Approved{}); // late answers are ignored
    presenter.answerPrompt(0, secret("late"));
    executor.runAll();
    EXPECT_EQ(*waiting, no("abandoned"));
    EXPECT_EQ(*asking, no("abandoned"));
    EXPECT_TRUE(agent.adds.empty());
}

TEST_F(CoordinatorTest, LockKeepsTheWindowUntilTheAgentConfirmsNoKeyIsLeftAndStatusClosesOneRunOutOrDropped)
{
    EXPECT_EQ(get(&UnlockCoordinator::status), kLocked);
    unlock(kGit, 1800);
    approve(0);
    advance(100.5);
    const StatusReport open{StatusState::unlocked, 1699, {"me@laptop", "id_rsa"}};
    EXPECT_EQ(*send(Request::Status{}), Response(Response::Status{open}));
    EXPECT_EQ(get(&UnlockCoordinator::window), (UnlockWindow{at(1800), 1800}));
    agent.failing = {"remove"};
    EXPECT_FALSE(get(&UnlockCoordinator::lockNow));
    EXPECT_EQ(*send(Request::Lock{}), no("unavailable"));
    agent.failing = {"list"};
    EXPECT_FALSE(get(&UnlockCoordinator::lockNow));
    EXPECT_EQ(get(&UnlockCoordinator::status), kLocked); // an unreachable agent proves nothing
    EXPECT_EQ(coordinator->expiry(), at(1800));
    EXPECT_TRUE(windowStore.saved);
    agent.failing.clear();
    ask(kEd, kGit);
    approve(1);
    EXPECT_EQ(*send(Request::Lock{}), Response(Response::Ok{}));
    EXPECT_FALSE(coordinator->expiry());
    EXPECT_FALSE(windowStore.saved);
    EXPECT_EQ(agent.removes.back(), kRsa); // by the private key: its certificate goes too
    EXPECT_EQ(get(&UnlockCoordinator::status), kLocked);
    ask(kEd, kGit); // the lock ended the grace
    EXPECT_EQ(presenter.unlocks.size(), 3u);
    approve(2);
    agent.loaded.clear(); // the agent dropped them
    EXPECT_EQ(get(&UnlockCoordinator::status), kLocked);
    EXPECT_FALSE(coordinator->expiry());
    EXPECT_FALSE(windowStore.saved);
    agent.extra = {keys[1].fingerprint}; // loaded by hand: unlocked without a time
    EXPECT_EQ(get(&UnlockCoordinator::status), (StatusReport{StatusState::unlocked, std::nullopt, {"id_rsa"}}));
    unlock(kGit, 900);
    approve(3);
    advance(900); // ran out
    EXPECT_EQ(get(&UnlockCoordinator::status),
              (StatusReport{StatusState::unlocked, std::nullopt, {"me@laptop", "id_rsa"}}));
    EXPECT_FALSE(coordinator->expiry());
    EXPECT_FALSE(windowStore.saved);
    EXPECT_EQ(get(&UnlockCoordinator::window), std::nullopt);
}

TEST_F(CoordinatorTest, RestoreTakesUpOnlyAPlausibleSavedWindow)
{
    coordinator->restoreWindow();
    executor.runAll();
    EXPECT_EQ(windowStore.clears + agent.lists, 0); // nothing saved, nothing asked
    struct Case
    {
        double expiresIn, duration;
        bool loaded, agentAnswers, restored;
    };
    // clang-format off
    const Case cases[] = {{3600, 10800, true, true, true}, {10800, 10800, true, true, true}, {10801, 10800, true, true, false},
        {0, 900, true, true, false}, {3600, 10800, false, true, false}, {3600, 10800, true, false, false}, {3600, 0, true, true, false}};
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        const UnlockWindow saved{clock.now() + std::chrono::duration<double>(c.expiresIn), c.duration};
        windowStore.saved = saved;
        agent.loaded = c.loaded ? std::set{kEd} : std::set<std::string>{};
        agent.failing = {c.agentAnswers ? "" : "list"};
        restart();
        coordinator->restoreWindow();
        executor.runAll();
        EXPECT_EQ(coordinator->expiry(), c.restored ? std::optional(saved.expiry) : std::nullopt);
        EXPECT_EQ(windowStore.saved.has_value(), c.restored);
        EXPECT_EQ(get(&UnlockCoordinator::window), c.restored ? std::optional(saved) : std::nullopt);
    }
}

} // namespace
} // namespace vantorelle
