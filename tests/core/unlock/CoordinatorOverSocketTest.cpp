// The coordinator plugged into the real socket server: answers go back over the socket, and a
// client that hangs up while a dialog is open withdraws from it.
#include <functional>
#include <future>
#include <gtest/gtest.h>

#include "fakes/CoordinatorRig.h"
#include "ipc/SocketClient.h"
#include "ipc/SocketIO.h"
#include "ipc/SocketServer.h"
#include "support/TempDir.h"
#include "support/WaitFor.h"
#include "sys/Io.h"
#include "unlock/ThreadExecutor.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;
using test::waitFor;

TEST(CoordinatorOverSocketTest, AnswersOverTheSocketAndWithdrawsWhenTheClientHangsUp)
{
    const std::string key = "/home/u/.ssh/id_ed25519";
    CoordinatorRig rig({key}, [](const std::string&) { return "ed-pass"; });
    rig.presenter.answerWhenCancelled = true;
    TempDir dir("vt-unl");
    const auto path = dir.path() / "c.sock";
    ThreadExecutor executor;
    UnlockCoordinator coordinator(executor, rig.dependencies());
    SocketServer server(path, std::bind_front(&UnlockCoordinator::handle, &coordinator));
    ASSERT_TRUE(server.start());
    EXPECT_EQ(SocketClient::send(Request::Status{}, path, 10),
              Response(Response::Status{StatusReport{"locked", std::nullopt, {}}}));

    // A client asks, the dialog opens, the client goes away: the dialog is withdrawn.
    {
        auto connection = SocketIO::connectSocket(path, std::chrono::steady_clock::now() + 10s);
        ASSERT_TRUE(connection);
        ASSERT_TRUE(io::writeAll(connection->get(), *encode(Request(Request::Passphrase{key, "", 4100})) + "\n"));
        ASSERT_TRUE(waitFor([&] { return rig.presenter.unlockCount() == 1; }));
        EXPECT_FALSE(rig.presenter.unlockCall(0).cancelled.stop_requested());
    }
    ASSERT_TRUE(waitFor([&] { return rig.presenter.unlockCall(0).cancelled.stop_requested(); }));
    ASSERT_TRUE(waitFor([&] { return coordinator.waitingCount() == 0; }));
    EXPECT_EQ(coordinator.inFlightPresentation(), std::nullopt);

    // The next client is approved and gets its passphrase back over the socket.
    auto answer = std::async(std::launch::async, [&] {
        return SocketClient::send(Request::Passphrase{key, "", 4100}, path, 30);
    });
    ASSERT_TRUE(waitFor([&] { return rig.presenter.unlockCount() == 2; }));
    rig.presenter.answerUnlock(1, PresentResult::Approved{});
    EXPECT_EQ(answer.get(), Response(Response::Secret{secret("ed-pass")}));
    EXPECT_EQ(rig.agent.addCalls.size(), 1u);
}

} // namespace
} // namespace vantorelle
