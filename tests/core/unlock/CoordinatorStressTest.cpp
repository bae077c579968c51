// UnlockCoordinator on a real thread: many clients, hang-ups and dialog answers in random order.
// Every request must be answered exactly once. Built and run under ThreadSanitizer as well.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include <vector>

#include "fakes/CoordinatorRig.h"
#include "support/WaitFor.h"
#include "unlock/ThreadExecutor.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;
const std::vector<std::string> kPaths = {"/home/u/.ssh/id_ed25519", "/home/u/.ssh/id_rsa", "/home/u/.ssh/work"};

class CoordinatorStressTest : public ::testing::Test
{
protected:
    CoordinatorStressTest()
        : rig(kPaths, [](const std::string& path) { return "pass:" + path; })
    {
        rig.presenter.answerWhenCancelled = true;
        rig.resolve = [](std::int32_t pid, const std::optional<std::string>& reason) {
            const Requester::Kind kinds[] = {Requester::Kind::background, Requester::Kind::remote};
            return pid % 4 < 2
                ? Requester{"other", kinds[pid % 4 == 1]}
                : Requester{reason.value_or("git" + std::to_string(pid % 7)), Requester::Kind::interactive};
        };
        rig.verify = [](const SecretString& pass, const std::string& path) { return pass.view() == "pass:" + path; };
        rig.callerName
            = [](std::int32_t pid) { return pid % 5 == 0 ? std::optional<std::string>("ssh-add") : std::nullopt; };
        const char* seedText = std::getenv("VANTORELLE_STRESS_SEED");
        seed = seedText ? static_cast<unsigned>(std::strtoul(seedText, nullptr, 10)) : std::random_device{}();
        std::printf("stress seed %u (set VANTORELLE_STRESS_SEED to repeat)\n", seed);
    }

    static Request randomRequest(std::mt19937& random)
    {
        const auto pid = static_cast<std::int32_t>(std::uniform_int_distribution<int>(-1, 40)(random));
        switch (random() % 8) {
        case 0:
            return Request::Status{};
        case 1:
            return Request::Lock{};
        case 2:
            return Request::Prompt{"Continue?", (random() % 2) == 0, pid};
        case 3:
            return Request::Passphrase{"/home/u/.ssh/other", "", pid};
        case 4:
            return Request::Unlock{std::optional<double>(random() % 20000), std::nullopt, pid};
        default:
            return Request::Passphrase{kPaths[random() % kPaths.size()], "Enter passphrase: ", pid};
        }
    }

    // Answers the open dialogs in random order until told to stop, moving the clock now and then.
    void answerDialogs(std::stop_token stop, unsigned threadSeed)
    {
        std::mt19937 random(threadSeed);
        while (!stop.stop_requested()) {
            if (const auto unlocks = rig.presenter.unansweredUnlocks(); !unlocks.empty()) {
                std::map<std::string, SecretString> typed;
                for (const std::string& path : kPaths) {
                    typed.emplace(path, secret(random() % 3 ? "pass:" + path : "wrong"));
                }
                PresentResult results[] = {PresentResult::Approved{}, PresentResult::Typed{std::move(typed)},
                                           PresentResult::Cancelled{}, PresentResult::Abandoned{}};
                rig.presenter.answerUnlock(unlocks[random() % unlocks.size()], std::move(results[random() % 4]));
            }
            if (const auto prompts = rig.presenter.unansweredPrompts(); !prompts.empty()) {
                rig.presenter.answerPrompt(prompts[random() % prompts.size()],
                                           random() % 2 ? std::optional(secret("yes")) : std::nullopt);
            }
            if (random() % 8 == 0) {
                rig.clock.advance(std::uniform_real_distribution<double>(0, 400)(random));
            }
            std::this_thread::yield();
        }
    }

    void expectEachAnsweredOnce(const std::vector<std::atomic<int>>& counts)
    {
        ASSERT_TRUE(test::waitFor([&] { return std::ranges::all_of(counts, [](auto& n) { return n > 0; }); }, 120s))
            << "seed " << seed;
        for (size_t id = 0; id < counts.size(); ++id) {
            ASSERT_EQ(counts[id], 1) << "request " << id << ", seed " << seed;
        }
    }

    CoordinatorRig rig;
    unsigned seed = 0;
};

TEST_F(CoordinatorStressTest, EveryRequestIsAnsweredExactlyOnce)
{
    constexpr int kClients = 4, kPerClient = 250;
    std::vector<std::atomic<int>> counts(kClients * kPerClient);
    ThreadExecutor executor;
    auto coordinator = std::make_unique<UnlockCoordinator>(executor, rig.dependencies());
    coordinator->restoreWindow();
    std::jthread dialogs([&](std::stop_token stop) { answerDialogs(stop, seed + 1000); });
    std::vector<std::jthread> clients;
    for (int client = 0; client < kClients; ++client) {
        clients.emplace_back([&, client] {
            std::mt19937 random(seed + static_cast<unsigned>(client));
            std::vector<std::stop_source> hangUps;
            for (int i = 0; i < kPerClient; ++i) {
                std::stop_source connection;
                auto& count = counts[static_cast<size_t>(client * kPerClient + i)];
                coordinator->handle(
                    randomRequest(random), 1, [&count](Response) { ++count; }, connection.get_token());
                if (random() % 3 == 0) {
                    connection.request_stop(); // hangs up at once
                } else if (random() % 3 == 0) {
                    hangUps.push_back(connection); // hangs up a little later
                }
                if (hangUps.size() > 4 || (!hangUps.empty() && random() % 4 == 0)) {
                    hangUps[random() % hangUps.size()].request_stop();
                }
                if (random() % 16 == 0) {
                    coordinator->status([](StatusReport) {});
                    coordinator->window([](std::optional<UnlockWindow>) {});
                }
                (void)coordinator->expiry();
                (void)coordinator->waitingCount();
            }
            for (auto& hangUp : hangUps) {
                hangUp.request_stop();
            }
        });
    }
    clients.clear(); // joins
    expectEachAnsweredOnce(counts);
    dialogs = {};
    EXPECT_EQ(coordinator->waitingCount(), 0);
    EXPECT_EQ(coordinator->inFlightPresentation(), std::nullopt);
    EXPECT_GT(rig.presenter.unlockCount(), 0u);
}

TEST_F(CoordinatorStressTest, ShutdownWithRequestsStillWaitingAnswersEachOnce)
{
    constexpr size_t kRequests = 400;
    std::vector<std::atomic<int>> counts(kRequests);
    ThreadExecutor executor;
    auto coordinator = std::make_unique<UnlockCoordinator>(executor, rig.dependencies());
    std::jthread dialogs([&](std::stop_token stop) { answerDialogs(stop, seed + 2000); });
    std::mt19937 random(seed);
    std::vector<std::stop_source> connections(kRequests);
    for (size_t id = 0; id < kRequests; ++id) {
        auto& count = counts[id];
        coordinator->handle(
            randomRequest(random), 1, [&count](Response) { ++count; }, connections[id].get_token());
        if (random() % 5 == 0) {
            connections[random() % (id + 1)].request_stop();
        }
    }
    // Tear down in the middle of it: the dialogs stop answering, then the coordinator goes.
    dialogs = {};
    coordinator.reset();
    expectEachAnsweredOnce(counts);
    for (size_t call : rig.presenter.unansweredUnlocks()) { // answers after the end are ignored
        rig.presenter.answerUnlock(call, PresentResult::Approved{});
    }
    expectEachAnsweredOnce(counts);
}

} // namespace
} // namespace vantorelle
