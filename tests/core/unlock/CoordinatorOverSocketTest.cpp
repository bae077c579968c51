// The coordinator plugged into the real socket server: answers go back over the socket, and a
// client that hangs up while a dialog is open withdraws from it.
#include <chrono>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <thread>

#include "fakes/FakeAgent.h"
#include "fakes/FakeClock.h"
#include "fakes/FakeUnlockPresenter.h"
#include "fakes/InMemoryPassphraseStore.h"
#include "ipc/SocketClient.h"
#include "ipc/SocketIO.h"
#include "ipc/SocketServer.h"
#include "support/TempDir.h"
#include "sys/Io.h"
#include "unlock/ThreadExecutor.h"
#include "unlock/UnlockCoordinator.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;

static_assert(std::is_convertible_v<SocketServer::Reply, UnlockCoordinator::Reply>);

constexpr std::int32_t kGit = 4100;
const std::string kKey = "/home/u/.ssh/id_ed25519";

// Polls a condition that another thread makes true; fails after ten seconds.
bool eventually(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class CoordinatorOverSocketTest : public ::testing::Test
{
protected:
    CoordinatorOverSocketTest()
    {
        SSHKey key;
        key.path = kKey;
        key.publicKeyPath = kKey + ".pub";
        key.fingerprint = "SHA256:" + kKey;
        keys = {key};
        (void)store.save(SecretString(std::string_view("ed-pass")), key);
        presenter.answerWhenCancelled = true;
    }

    UnlockCoordinator::Dependencies dependencies()
    {
        return {
            .keys = [this] { return keys; },
            .duration = [] { return 3600.0; },
            .store = store,
            .agent = agent,
            .presenter = presenter,
            .resolve =
                [](std::int32_t, const std::optional<std::string>&) {
                    return Requester{"git", Requester::Kind::interactive};
                },
            .clock = clock,
            .verify = [](const SecretString&, const std::string&) { return false; },
            .callerName = [](std::int32_t) -> std::optional<std::string> { return std::nullopt; },
            .callerDirectory = {},
            .windowStore = nullptr,
        };
    }

    TempDir dir{"vt-unl"};
    std::vector<SSHKey> keys;
    FakeClock clock;
    FakeAgent agent;
    InMemoryPassphraseStore store;
    FakeUnlockPresenter presenter;
};

TEST_F(CoordinatorOverSocketTest, AnswersOverTheSocketAndWithdrawsWhenTheClientHangsUp)
{
    const auto path = dir.path() / "c.sock";
    ThreadExecutor executor;
    UnlockCoordinator coordinator(executor, dependencies());
    SocketServer server(path, std::bind_front(&UnlockCoordinator::handle, &coordinator));
    ASSERT_TRUE(server.start());

    const auto status = SocketClient::send(Request::Status{}, path, 10);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, Response(Response::Status{StatusReport{StatusState::locked, std::nullopt, {}}}));

    // A client asks, the dialog opens, the client goes away: the dialog is withdrawn.
    {
        auto connection = SocketIO::connectSocket(path, std::chrono::steady_clock::now() + 10s);
        ASSERT_TRUE(connection);
        std::string line = std::string(encode(Request(Request::Passphrase{kKey, "", kGit}))->view()) + "\n";
        ASSERT_TRUE(io::writeAll(connection->get(), line));
        ASSERT_TRUE(eventually([&] { return presenter.unlockCount() == 1; }));
        EXPECT_FALSE(presenter.unlockCall(0).cancelled.stop_requested());
    }
    ASSERT_TRUE(eventually([&] { return presenter.unlockCall(0).cancelled.stop_requested(); }));
    ASSERT_TRUE(eventually([&] { return coordinator.waitingCount() == 0; }));
    EXPECT_EQ(coordinator.inFlightPresentation(), std::nullopt);

    // The next client is approved and gets its passphrase back over the socket.
    auto answer = std::async(std::launch::async, [&] {
        return SocketClient::send(Request::Passphrase{kKey, "", kGit}, path, 30);
    });
    ASSERT_TRUE(eventually([&] { return presenter.unlockCount() == 2; }));
    presenter.answerUnlock(1, PresentResult::Approved{});
    const auto response = answer.get();
    ASSERT_TRUE(response);
    EXPECT_EQ(*response, Response(Response::Secret{SecretString(std::string_view("ed-pass"))}));
    EXPECT_EQ(agent.addCalls.size(), 1u);
}

} // namespace
} // namespace vantorelle
