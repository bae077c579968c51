// UnlockCoordinator on a real thread: clients, hang-ups and dialog answers in random order, then
// shutdown with requests still waiting. Every request is answered exactly once; the thread executor
// keeps its delays and drops the work left at the end. Also run under ThreadSanitizer.
#include <algorithm>
#include <deque>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <thread>

#include "fakes/CoordinatorRig.h"
#include "support/WaitFor.h"
#include "unlock/ThreadExecutor.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;

TEST(CoordinatorOnThreadTest, AnswersEveryRequestExactlyOnceUnderLoadAndAtShutdownOnAnExecutorThatKeepsItsDelays)
{
    const std::string paths[] = {"/home/u/.ssh/id_ed25519", "/home/u/.ssh/id_rsa", "/home/u/.ssh/other"};
    CoordinatorRig rig({{paths[0], "pw0"}, {paths[1], "pw1"}});
    using enum Requester::Kind;
    // clang-format off
    rig.requesters = {{1, {"git", interactive}}, {2, {"ssh", interactive}}, {3, {"cron", background}}, {4, {"sshd", remote}}};
    // clang-format on
    rig.names = {{1, "ssh-add"}};
    const char* seedText = std::getenv("VANTORELLE_STRESS_SEED");
    const unsigned seed = seedText ? unsigned(std::stoul(seedText)) : std::random_device{}();
    SCOPED_TRACE("VANTORELLE_STRESS_SEED=" + std::to_string(seed));
    std::optional<ThreadExecutor> executor(std::in_place);
    auto coordinator = std::make_unique<UnlockCoordinator>(*executor, rig.dependencies());
    // The executor alone: a delay is kept, on its own thread, and work still pending at the end is dropped.
    std::atomic<bool> delayedRan{false};
    auto dropped = std::make_shared<int>(0);
    const std::weak_ptr<int> droppedWatch = dropped;
    const auto posted = std::chrono::steady_clock::now();
    executor->postAfter(std::chrono::milliseconds(50), [&] {
        delayedRan = std::chrono::steady_clock::now() - posted >= 50ms && executor->isCurrent();
    });
    executor->postAfter(std::chrono::hours(1), [keep = std::move(dropped)] {});
    EXPECT_FALSE(executor->isCurrent());
    std::jthread dialogs([&](std::stop_token stop) {
        for (std::mt19937 random(seed + 1000); !stop.stop_requested(); std::this_thread::yield()) {
            PresentResult results[]
                = {PresentResult::Abandoned{}, PresentResult::Approved{}, PresentResult::Cancelled{}};
            const size_t shown = rig.presenter.count(rig.presenter.unlocks),
                         asked = rig.presenter.count(rig.presenter.prompts);
            // mostly the newest
            rig.presenter.answer(rig.presenter.unlocks, random() % 4 ? shown - 1 : random() % (shown + 1),
                                 std::move(results[random() % 3]));
            rig.presenter.answer(rig.presenter.prompts, random() % (asked + 1), std::optional(secret("yes")));
            rig.clock.advance(std::uniform_real_distribution<double>(0, 50)(random)); // snoozes and grace run out
        }
    });
    std::vector<std::atomic<int>> replies(1200);
    std::atomic<int> answered{0};
    auto request = [&](std::mt19937& random, size_t id, std::stop_token stop) {
        const auto pid = std::int32_t(random() % 6) - 1;
        const Request requests[] = {Request::Status{}, Request::Lock{}, Request::Prompt{"Go?", true, pid},
                                    Request::Unlock{double(random() % 20000), std::nullopt, pid},
                                    Request::Passphrase{paths[random() % 3], "", pid}};
        coordinator->handle(
            requests[random() % 5], 1, [&, id](Response) { answered += replies[id]++ == 0; }, stop);
    };
    std::vector<std::jthread> clients;
    for (size_t client = 0; client < 4; ++client) {
        clients.emplace_back([&, client] {
            std::mt19937 random(seed + unsigned(client));
            std::deque<std::stop_source> connections;
            for (size_t id = client; id < 1000; id += 4, std::this_thread::yield()) {
                request(random, id, connections.emplace_back().get_token());
                connections[random() % connections.size()].request_stop(); // this client or an earlier one hangs up
                (void)coordinator->expiry();
            }
        });
    }
    clients.clear(); // joins
    EXPECT_TRUE(test::waitFor([&] { return answered == 1000; }, 120s));
    EXPECT_TRUE(test::waitFor([&] { return coordinator->waitingCount() == 0; }));
    EXPECT_EQ(coordinator->inFlightPresentation(), std::nullopt);

    dialogs = {}; // now nothing answers: the requests below wait until the coordinator goes
    std::mt19937 random(seed);
    for (size_t id = 1000; id < replies.size(); ++id) {
        request(random, id, {});
    }
    coordinator.reset();
    EXPECT_TRUE(test::waitFor([&] { return answered == int(replies.size()); }, 60s));
    EXPECT_GT(rig.presenter.unlocks.size(), 2u); // the run went through dialogs
    EXPECT_TRUE(std::ranges::all_of(replies, [](const std::atomic<int>& count) { return count == 1; }));
    EXPECT_TRUE(test::waitFor([&] { return delayedRan.load(); }));
    executor.reset();
    EXPECT_TRUE(droppedWatch.expired());
}

} // namespace
} // namespace vantorelle
