// UnlockCoordinator on a real thread: many clients, hang-ups and dialog answers in random order,
// then shutdown with requests waiting. Every request is answered exactly once. Also run under
// ThreadSanitizer.
#include <algorithm>
#include <array>
#include <deque>
#include <gtest/gtest.h>
#include <random>
#include <thread>

#include "fakes/CoordinatorRig.h"
#include "support/WaitFor.h"
#include "unlock/ThreadExecutor.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;

const std::vector<std::string> kPaths = {"/home/u/.ssh/id_ed25519", "/home/u/.ssh/id_rsa", "/home/u/.ssh/work"};

TEST(CoordinatorOnThreadTest, AnswersEveryRequestExactlyOnceUnderLoadAndAtShutdown)
{
    CoordinatorRig rig({{kPaths[0], "pw0"}, {kPaths[1], "pw1"}, {kPaths[2], "pw2"}});
    using enum Requester::Kind;
    for (std::int32_t pid = 1; pid <= 40; ++pid) { // background, remote, interactive; every fifth one ssh-add
        rig.requesters[pid] = {"git" + std::to_string(pid % 7), std::array{background, remote, interactive}[pid % 3]};
        rig.names[pid] = pid % 5 ? "ssh" : "ssh-add";
    }
    const char* seedText = std::getenv("VANTORELLE_STRESS_SEED");
    const unsigned seed = seedText ? unsigned(std::stoul(seedText)) : std::random_device{}();
    SCOPED_TRACE("VANTORELLE_STRESS_SEED=" + std::to_string(seed));
    ThreadExecutor executor;
    auto coordinator = std::make_unique<UnlockCoordinator>(executor, rig.dependencies());
    std::jthread dialogs([&](std::stop_token stop) {
        for (std::mt19937 random(seed + 1000); !stop.stop_requested(); std::this_thread::yield()) {
            if (const size_t shown = rig.presenter.count(rig.presenter.unlocks)) {
                PresentResult results[]
                    = {PresentResult::Abandoned{}, PresentResult::Approved{}, PresentResult::Cancelled{}};
                rig.presenter.answer(rig.presenter.unlocks, random() % shown, std::move(results[random() % 3]));
            }
            if (const size_t asked = rig.presenter.count(rig.presenter.prompts)) {
                rig.presenter.answer(rig.presenter.prompts, random() % asked,
                                     random() % 2 ? std::optional(secret("yes")) : std::nullopt);
            }
            if (random() % 8 == 0) {
                rig.clock.advance(std::uniform_real_distribution<double>(0, 400)(random));
            }
        }
    });
    constexpr int kClients = 4, kPerClient = 250, kLate = 300;
    std::vector<std::atomic<int>> replies(kClients * kPerClient + kLate);
    std::atomic<int> answered{0};
    auto request = [&](std::mt19937& random, size_t id, std::stop_token stop) {
        const auto pid = std::int32_t(random() % 42) - 1;
        const Request requests[]
            = {Request::Status{}, Request::Lock{}, Request::Prompt{"Go?", random() % 2 == 0, pid},
               Request::Unlock{double(random() % 20000), std::nullopt, pid},
               Request::Passphrase{random() % 4 ? kPaths[random() % 3] : "/home/u/.ssh/other", "", pid}};
        coordinator->handle(
            requests[random() % 2 ? random() % 4 : 4], 1, [&, id](Response) { answered += replies[id]++ == 0; }, stop);
    };
    std::vector<std::jthread> clients;
    for (int client = 0; client < kClients; ++client) {
        clients.emplace_back([&, client] {
            std::mt19937 random(seed + unsigned(client));
            std::deque<std::stop_source> connections;
            for (int i = 0; i < kPerClient; ++i, std::this_thread::yield()) {
                request(random, size_t(client * kPerClient + i), connections.emplace_back().get_token());
                connections[random() % connections.size()].request_stop(); // this client or an earlier one hangs up
                (void)coordinator->expiry();
            }
        });
    }
    clients.clear(); // joins
    EXPECT_TRUE(test::waitFor([&] { return answered == kClients * kPerClient; }, 120s));
    EXPECT_TRUE(test::waitFor([&] { return coordinator->waitingCount() == 0; }));
    EXPECT_EQ(coordinator->inFlightPresentation(), std::nullopt);

    // Shutdown with requests still waiting: the dialogs stop answering, then the coordinator goes.
    dialogs = {};
    std::mt19937 random(seed);
    std::stop_source hungUp;
    for (size_t id = kClients * kPerClient; id < replies.size(); ++id) {
        request(random, id, random() % 5 ? std::stop_token() : hungUp.get_token());
    }
    hungUp.request_stop();
    coordinator.reset();
    EXPECT_TRUE(test::waitFor([&] { return answered == int(replies.size()); }, 60s));
    for (size_t call = 0; call < rig.presenter.unlocks.size(); ++call) {
        rig.presenter.answer(rig.presenter.unlocks, call, PresentResult::Approved{}); // too late: ignored
    }
    EXPECT_GT(rig.presenter.unlocks.size(), 2u); // the run went through dialogs
    EXPECT_TRUE(std::ranges::all_of(replies, [](const std::atomic<int>& count) { return count == 1; }));
}

} // namespace
} // namespace vantorelle
