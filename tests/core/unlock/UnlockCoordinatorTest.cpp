// UnlockCoordinator on the manual executor over fakes: who is asked and who refused, the shared
// dialog, grace, snooze, withdrawal, the typing round, lock, status and the window. Most scenarios
// are steps run by one driver, each step written as "command -> everything it caused". Then its
// ApprovalGate alone: snooze, notification throttle and grace, each against explicit moments.
#include "unlock/UnlockCoordinator.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <numeric>
#include <ranges>
#include <sstream>

#include "fakes/CoordinatorRig.h"
#include "unlock/ApprovalGate.h"
#include "unlock/ManualExecutor.h"

namespace vantorelle {
namespace {

using Kind = Requester::Kind;
constexpr std::int32_t kGit = 100, kShell = 200, kSSHAdd = 250, kCron = 300, kRemote = 400;
const std::string kEd = "/u/ed", kRsa = "/u/rsa";
// clang-format off
const std::map<std::string, std::int32_t> kCallers = {{"git", kGit}, {"shell", kShell}, {"ssh-add", kSSHAdd}, {"cron", kCron},
                                                      {"remote", kRemote}, {"none", 0}, {"gone", -5}};
const std::map<std::string, PassphraseStoreError::Kind> kFailures = {{"cancelled", PassphraseStoreError::Kind::cancelled},
    {"other", PassphraseStoreError::Kind::other}, {"invalidated", PassphraseStoreError::Kind::invalidated}};
// clang-format on

const Requester git{"git", Kind::interactive}, gitBackground{"git", Kind::background};
const auto at = [](double seconds) { return dateFromSeconds(1'800'000'000 + seconds); };
const auto when = [](std::optional<Date> date) {
    return date ? std::to_string(std::lround(secondsSince1970(*date) - 1'800'000'000)) : "-";
};

template <class... F> struct Overload : F...
{
    using F::operator()...;
};
// clang-format off
std::string describe(const Response& response)
{
    return std::visit(Overload{
        [](const Response::Secret& value) { return "secret " + std::string(value.value.view()); },
        [](const Response::Answer& value) { return "answer " + std::string(value.value.view()); },
        [](const Response::Denied& value) { return std::string(wireWord(value.reason)); },
        [](const Response::AddedToAgent& value) { return "added " + std::to_string(std::lround(value.lifetime)); },
        [](const Response::Ok&) { return std::string("ok"); },
        [](const Response::Status& value) {
            const auto& [state, remaining, keys] = value.report;
            const std::string left = remaining ? " " + std::to_string(*remaining) : "";
            return std::accumulate(keys.begin(), keys.end(), "status " + std::string(wireWord(state)) + left,
                                   [](const std::string& text, const std::string& key) { return text + " " + key; });
        }}, response.value);
}
// clang-format on

class CoordinatorTest : public ::testing::Test, protected CoordinatorRig
{
protected:
    CoordinatorTest()
        : CoordinatorRig({{kEd, "pw-ed"}, {kRsa, "pw-rsa"}})
    {
        keys[0].comment = "me@laptop";
        // clang-format off
        requesters = {{kGit, {"git", Kind::interactive}}, {kShell, {"ssh", Kind::interactive}},
            {kSSHAdd, {"ssh-add", Kind::interactive}}, {kCron, {"cron", Kind::background}}, {kRemote, {"sshd", Kind::remote}}};
        // clang-format on
        names = {{kSSHAdd, "ssh-add"}, {kShell, "ssh"}};
        executor.onTimeChange([this](SerialExecutor::Seconds now) { clock.at = at(now.count()); });
        coordinator = std::make_unique<UnlockCoordinator>(executor, dependencies());
    }

    // A step tells what it caused: the replies as they came ("#<request> ..."), then the events. Steps:
    // "+SECONDS", "clock SECONDS", "ask KEY WHO [PROMPT]", "unlock WHO [LENGTH|-] [app]", "unlock-as-keys-go
    // WHO", "question WHO", "lock", "status", "hangup NAME", "approve|cancel|abandon N", "type N KEY=TEXT...",
    // "reply N TEXT|-", "menu", "state", "agent-fails WHAT...", "length SECONDS", "store
    // KIND|ok|empty", "shutdown", "saved EXPIRES-IN LENGTH", "restore". A request ending in "~NAME" hangs up
    // with "hangup NAME"; "app" asks as the application.
    // Runs the steps and checks that each caused what it must; stops at the first that did otherwise.
    void run(std::initializer_list<std::string> lines)
    {
        for (const std::string& line : lines) {
            const size_t arrow = line.find(" -> ");
            std::istringstream in(line.substr(0, arrow));
            const std::vector<std::string> w{std::istream_iterator<std::string>(in), {}};
            const auto who = [&](size_t i) { return kCallers.at(w[i]); };
            const auto arg = [&](size_t i) { return w.size() > i && !w[i].starts_with("~") ? w[i] : ""; };
            const auto request = [&](Request made) {
                const auto stop
                    = w.back().starts_with("~") ? hangUps[w.back().substr(1)].get_token() : std::stop_token();
                const auto reply = [this, id = requests++](Response r) { out << ", #" << id << " " << describe(r); };
                coordinator->handle(std::move(made), 1, reply, stop);
            };
            const auto typed = [&] {
                PresentResult::Typed result;
                for (auto word = w.begin() + 2; word != w.end(); ++word) {
                    result.passphrases.emplace(word->substr(0, word->find('=')),
                                               secret(word->substr(word->find('=') + 1)));
                }
                return result;
            };
            // clang-format off
            const auto dialog = [&](PresentResult r) { EXPECT_TRUE(presenter.answer(presenter.unlocks, std::stoul(w[1]), std::move(r))); };
            const std::map<std::string, std::function<void()>> steps = {
                {"clock", [&] { clock.at = at(std::stod(w[1])); }},
                {"ask", [&] { request(Request::Passphrase{w[1], arg(3), who(2)}); }},
                {"unlock", [&] {
                    const auto length = arg(2).empty() || w[2] == "-" ? std::nullopt : std::optional(std::stod(w[2]));
                    request(Request::Unlock{length, arg(3) == "app" ? std::optional("Vantorelle") : std::nullopt, who(1)});
                }},
                {"unlock-as-keys-go", [&] { // the keys go between the request's arrival and its dialog
                    request(Request::Unlock{std::nullopt, std::nullopt, who(1)});
                    executor.post([&] { keys.clear(); });
                }},
                {"question", [&] { request(Request::Prompt{"Sure?", false, who(1)}); }},
                {"lock", [&] { request(Request::Lock{}); }},
                {"status", [&] { request(Request::Status{}); }},
                {"hangup", [&] { hangUps[w[1]].request_stop(); }},
                {"approve", [&] { dialog(PresentResult::Approved{}); }},
                {"cancel", [&] { dialog(PresentResult::Cancelled{}); }},
                {"abandon", [&] { dialog(PresentResult::Abandoned{}); }},
                {"type", [&] { dialog(typed()); }},
                {"reply", [&] { presenter.answer(presenter.prompts, std::stoul(w[1]), w[2] == "-" ? std::nullopt : std::optional(secret(w[2])));
                }},
                {"menu", [&] { coordinator->window([&](const auto& open) {
                    out << ", menu " << when(open ? std::optional(open->expiry) : std::nullopt) << " " << (open ? open->duration : 0); }); }},
                {"state", [&] { out << ", waiting " << coordinator->waitingCount() << " shown " << coordinator->inFlightPresentation().value_or(0)
                                    << " expiry " << when(coordinator->expiry()) << " delayed " << executor.delayedCount(); }},
                {"agent-fails", [&] { agent.failing = {w.begin() + 1, w.end()}; }},
                {"length", [&] { duration = std::stod(w[1]); }},
                {"store", [&] { w[1] == "empty" ? store.items.clear() : w[1] == "ok" ? store.failure.reset() : (void)store.failure.emplace(kFailures.at(w[1]), ""); }},
                {"shutdown", [&] { coordinator.reset(); }},
                {"saved", [&] { windowStore.saved = UnlockWindow{clock.now() + std::chrono::duration<double>(std::stod(w[1])), std::stod(w[2])}; }},
                {"restore", [&] { (coordinator = std::make_unique<UnlockCoordinator>(executor, dependencies()))->restoreWindow(); }},
            };
            // clang-format on
            out.str("");
            w[0].starts_with("+") ? executor.advance(SerialExecutor::Seconds(std::stod(w[0]))) : steps.at(w[0])();
            executor.runAll();
            for (; told < events.size(); ++told) {
                out << ", " << events[told];
            }
            const std::string caused = out.str().substr(std::min<size_t>(2, out.str().size()));
            ASSERT_EQ(caused, arrow == std::string::npos ? "" : line.substr(arrow + 4)) << "at: " << line;
        }
    }

    ManualExecutor executor;
    std::unique_ptr<UnlockCoordinator> coordinator;
    std::ostringstream out;
    size_t requests = 0, told = 0; // events told so far
    std::map<std::string, std::stop_source> hangUps;
};

// clang-format off
TEST_F(CoordinatorTest, RemoteAndBackgroundCallersAreRefusedNotifiedAtMostEveryTenMinutesAndNoKeysMeansUnavailable)
{
    run({"question cron -> #0 background", "ask /other/key cron -> #1 background", // free questions never notify
         "ask /other/key remote -> #2 remote", "ask /u/ed remote -> #3 remote", "unlock remote - app -> #4 remote",
         "unlock cron -> #5 background, notify cron", "ask /u/ed cron -> #6 background", "+600",
         "ask /u/rsa cron -> #7 background, notify cron", "unlock gone -> #8 background, notify ssh",
         "ask /u/ed none -> #9 background", "question none -> #10 background",
         "unlock-as-keys-go git -> #11 unavailable", // the keys are gone when the dialog is to show
         "unlock cron -> #12 unavailable", // without keys, before anyone is looked at
         "ask /u/ed git -> question0 'Enter passphrase for /u/ed: ' secret"}); // a free question
    EXPECT_EQ(resolves, 10); // never for a caller without an id
}

TEST_F(CoordinatorTest, StoreOrAgentFailingAfterTheApprovalRefusesAndOnlyAnInvalidatedStoreAsksToTypeOnce)
{
    run({"store cancelled", "ask /u/ed git -> dialog0 git 3600", "approve 0 -> #0 cancelled",
         "ask /u/ed git -> #1 snoozed", "store other", "ask /u/ed shell -> dialog1 ssh 3600",
         "approve 1 -> #2 unavailable", "store invalidated", "ask /u/ed shell -> dialog2 ssh 3600",
         "approve 2 -> dialog3 ssh 3600 type invalidated", "approve 3 -> #3 unavailable", // not typed again: no third dialog
         "store ok", "agent-fails /u/ed /u/rsa", "unlock shell -> dialog4 ssh 3600",
         "approve 4 -> #4 unavailable, add ed 3600, add rsa 3600", // no key loaded: no window
         "agent-fails /u/rsa", "ask /u/ed shell -> dialog5 ssh 3600", "ask /u/rsa shell", // no grace: a dialog of its own
         "approve 5 -> #5 secret pw-ed, #6 unavailable, add ed 3600, add rsa 3600, window 3600 3600"});
}
// clang-format on

// clang-format off
TEST_F(CoordinatorTest, RestoreTakesUpOnlyAPlausibleSavedWindow)
{
    run({"unlock git -> dialog0 git 3600", "approve 0 -> #0 ok, add ed 3600, add rsa 3600, window 3600 3600", "restore",
         "menu -> menu 3600 3600", "saved 10800 10800", "restore", "menu -> menu 10800 10800", "saved 10801 10800",
         "restore -> window -", "menu -> menu - 0", "saved 0 900", "restore -> window -", "saved 3600 0",
         "restore -> window -", "agent-fails list", "saved 3600 10800", "restore -> window -", "agent-fails",
         "lock -> #1 ok, remove ed, remove rsa", "saved 3600 10800", "restore -> window -"});
}
// clang-format on

// clang-format off
TEST_F(CoordinatorTest, ConcurrentRequestsShareOneDialogThenGraceAnswersOnlyAdmittedPassphraseRequestsUntilTheSweep)
{
    run({"ask /u/ed shell -> dialog0 ssh 3600", "ask /u/rsa ssh-add", "state -> waiting 2 shown 1 expiry - delayed 0",
         "approve 0 -> #0 secret pw-ed, #1 added 3600, add ed 3600, add rsa 3600, window 3600 3600",
         "unlock git -> dialog1 git 3600", "cancel 1 -> #2 cancelled", // never from the grace
         "+3", "ask /u/rsa shell -> #3 secret pw-rsa", "ask /u/ed ssh-add -> #4 added 3597",
         "ask /u/ed remote -> #5 remote", "ask /u/ed cron -> #6 background, notify cron", "ask /u/ed git -> #7 snoozed",
         "question git -> question0 'Sure?'", // neither snoozed nor from the grace
         "+3", "state -> waiting 0 shown 0 expiry 3600 delayed 0", "clock 2", "ask /u/ed shell -> dialog2 ssh 3600"}); // only a sweep that ran ends the grace
}

TEST_F(CoordinatorTest, ManagedKeyIsFoundByItsStandardizedPathElseAskedAsAFreeQuestion)
{
    directories = {{kGit, "/u"}, {kShell, "/tmp"}}; // ssh-add's directory cannot be read
    run({"ask ed git -> dialog0 git 3600", "ask ../u/./rsa git", "ask //u/../u/ed shell",
         "ask ed shell Key? -> question0 'Key?' secret",
         "ask rsa ssh-add -> question1 'Enter passphrase for rsa: ' secret",
         "state -> waiting 3 shown 1 expiry - delayed 0", "reply 0 typed -> #3 answer typed",
         "reply 1 - -> #4 cancelled"});
}

TEST_F(CoordinatorTest, TypedPassphrasesOpenTheWindowFromTheDialogsReturnAndOnlyATypingRoundStoresThem)
{
    verifySeconds = 2;
    run({"ask /u/ed git -> dialog0 git 3600", "+10",
         "type 0 /u/ed=pw-ed -> #0 secret pw-ed, add ed 3600, window 3610 3600", "clock 16",
         "ask /u/ed shell -> #1 secret pw-ed", // 6 s after the dialog, 4 s after the grant
         "store empty", "+10", "ask /u/ed git -> dialog1 git 3600", "ask /u/rsa shell",
         "approve 1 -> dialog2 git 3600 type missing",
         "type 2 /u/ed=pw-ed /u/rsa=wrong -> #2 secret pw-ed, #3 unavailable, add ed 3600, window 3620 3600"});
    EXPECT_EQ(verifies, 3);
    EXPECT_EQ(store.saves, 1);
    EXPECT_EQ(store.items.at(kEd), secret("pw-ed"));
}

TEST_F(CoordinatorTest, CancelAnswersEveryWaiterAndSnoozesTheFirstRequesterForTenMinutes)
{
    run({"ask /u/ed git -> dialog0 git 3600", "ask /u/rsa shell", "+100", "cancel 0 -> #0 cancelled, #1 cancelled",
         "+599", "ask /u/ed git -> #2 snoozed", "ask /u/rsa shell -> dialog1 ssh 3600", "abandon 1 -> #3 abandoned",
         "ask /u/rsa shell -> dialog2 ssh 3600", "abandon 2 -> #4 abandoned", // abandoning does not snooze
         "unlock git -> dialog3 git 3600", "abandon 3 -> #5 abandoned", // an unlock is never snoozed
         "+1", "ask /u/ed git -> dialog4 git 3600"}); // 600 s after the dialog returned
}

TEST_F(CoordinatorTest, WithdrawalOfEveryWaiterTakesTheDialogDownItsLateEndStillAnswersThemAndShutdownAnswersTheRest)
{
    run({"question git ~q -> question0 'Sure?'", "ask /u/ed git ~a -> dialog0 git 3600", "unlock shell ~b",
         "hangup q -> withdrawn question0", "hangup a", "state -> waiting 2 shown 1 expiry - delayed 0",
         "hangup b -> withdrawn dialog0", "state -> waiting 2 shown 0 expiry - delayed 0", // the dialog has not ended
         "ask /u/rsa shell -> dialog1 ssh 3600", "state -> waiting 3 shown 2 expiry - delayed 0", // while the old one closes
         "approve 0 -> #1 secret pw-ed, #2 ok, add ed 3600, add rsa 3600, window 3600 3600", // late and approved
         "state -> waiting 1 shown 2 expiry 3600 delayed 1", "question shell -> question1 'Sure?'",
         "shutdown -> #3 abandoned, #0 abandoned, #4 abandoned, withdrawn dialog1, withdrawn question1", "approve 1",
         "reply 1 late"}); // ignored
}

TEST_F(CoordinatorTest, RequestGoneBeforeTheDialogNeverShowsOneNorATypingRound)
{
    run({"store empty", "hangup gone", "ask /u/ed git ~gone -> #0 abandoned", "unlock git ~leaving -> dialog0 git 3600",
         "hangup leaving -> withdrawn dialog0", "approve 0 -> #1 abandoned"});
    presenter.loseDialogs = true; // a presenter that drops its dialog: abandoned too
    run({"unlock git -> #2 abandoned, dialog1 git 3600", "state -> waiting 0 shown 0 expiry - delayed 0"});
}

TEST_F(CoordinatorTest, LengthsAreClampedLockKeepsTheWindowUntilTheAgentConfirmsNoKeyIsLeftAndStatusClosesOneRunOut)
{
    run({"status -> #0 status locked", "unlock git 1800 -> dialog0 git 1800",
         "approve 0 -> #1 ok, add ed 1800, add rsa 1800, window 1800 1800", "+100.5",
         "status -> #2 status unlocked 1699 me@laptop rsa", "menu -> menu 1800 1800", "agent-fails remove",
         "lock -> #3 unavailable, remove ed, remove rsa", "agent-fails list",
         "lock -> #4 unavailable, remove ed, remove rsa", // an unreachable agent proves nothing
         "status -> #5 status locked", "state -> waiting 0 shown 0 expiry 1800 delayed 0", "agent-fails", "length 5000",
         "ask /u/ed git -> dialog1 git 5400", // a new approval restarts the window from now
         "approve 1 -> #6 secret pw-ed, add ed 5400, add rsa 5400, window 5501 5400",
         "lock -> #7 ok, remove ed, remove rsa, window -", // by the private key: its certificate goes too
         "ask /u/ed git -> dialog2 git 5400", // the lock ended the grace
         "approve 2 -> #8 secret pw-ed, add ed 5400, add rsa 5400, window 5501 5400"});
    agent.loaded.clear(); // the agent dropped them
    run({"status -> #9 status locked, window -"});
    agent.extra = {keys[1].fingerprint}; // loaded by hand: unlocked without a time
    run({"status -> #10 status unlocked rsa", "unlock git 100 app -> dialog3 Vantorelle 900",
         "approve 3 -> #11 ok, add ed 900, add rsa 900, window 1001 900", "+900",
         "status -> #12 status unlocked me@laptop rsa, window -", "menu -> menu - 0"}); // ran out: the keys stay
}
// clang-format on

TEST(ApprovalGateTest, SnoozeAndNotificationsLastSixHundredSecondsPerRequesterAndKind)
{
    ApprovalGate gate;
    gate.snooze(git, at(0));
    gate.snooze(git, at(300)); // replaces the earlier entry
    EXPECT_TRUE(gate.isSnoozed(git, at(899.9)));
    EXPECT_FALSE(gate.isSnoozed(gitBackground, at(1)));
    EXPECT_FALSE(gate.isSnoozed(git, at(900)));
    // clang-format off
    for (const auto& [seconds, notify] : std::vector<std::pair<double, bool>>{{0, true}, {599, false}, {600, true}, {1199, false},
             {1200, true}, {50, true}}) { // 50: clock set back
        EXPECT_EQ(gate.shouldNotify(gitBackground, at(seconds)), notify) << seconds;
    }
    // clang-format on
    EXPECT_TRUE(gate.shouldNotify(git, at(51)));
    EXPECT_EQ(gate.lastNotified().at(gitBackground), at(50));
}

TEST(ApprovalGateTest, GraceGivesSecretsUpToFiveSecondsInclusiveAndTheSweepEndsItAfter)
{
    ApprovalGate gate;
    auto grant = [&](std::map<std::string, std::string> secrets, double seconds) {
        std::map<std::string, SecretString> granted;
        for (const auto& [path, text] : secrets) {
            granted.emplace(path, SecretString(std::string_view(text)));
        }
        gate.grant(std::move(granted), at(seconds));
    };
    // The passphrases the lookups find, in order, "-" for none.
    auto grace = [&](std::initializer_list<std::pair<const char*, double>> lookups, std::string found = "") {
        for (const auto& [path, seconds] : lookups) {
            const auto secret = gate.graceSecret(path, at(seconds));
            found += secret ? std::string(secret->view()) : "-";
        }
        return found;
    };
    grant({{"/k/a", "alpha"}, {"/k/b", "beta"}}, 0);
    EXPECT_EQ(grace({{"/k/a", 0}, {"/k/other", 1}, {"/k/b", 5}}), "alpha-beta"); // unknown key: grace goes on
    EXPECT_EQ(grace({{"/k/a", 5.001}, {"/k/b", 5}}), "--"); // over is over
    EXPECT_EQ(gate.graceSecretCount(), 0u);
    grant({{"/k/a", "alpha"}}, 0);
    EXPECT_EQ(grace({{"/k/a", -0.5}, {"/k/a", 1}}), "--"); // clock set back before the approval ends it
    grant({{"/k/a", "alpha"}, {"/k/b", "beta"}}, 0);
    grant({{"/k/b", "beta2"}}, 4); // replaces it wholesale
    EXPECT_EQ(grace({{"/k/a", 8}, {"/k/b", 8}}), "-beta2");
    for (const auto& [sweep, left] : std::vector<std::pair<double, size_t>>{{5, 1}, {6, 0}, {-1, 0}}) {
        grant({{"/k/a", "alpha"}}, 0);
        gate.expireGrace(at(sweep));
        EXPECT_EQ(gate.graceSecretCount(), left) << sweep;
        EXPECT_EQ(gate.approvedAt().has_value(), left == 1) << sweep;
    }
}

} // namespace
} // namespace vantorelle
