// A socket server the tests run as another user. It says "handled" on standard output when its
// handler runs and, once listening, "ready self-ok" when its own user is served. With "any-peer"
// it is a bare listener that serves everyone: "ready", then "got <line>" per request line.
#include <chrono>
#include <string>
#include <thread>

#include "SocketTestSupport.h"
#include "ipc/SocketClient.h"
#include "ipc/SocketServer.h"

using namespace vantorelle;

static void say(const std::string& line)
{
    test::sendRaw(STDOUT_FILENO, line + "\n");
}

int main(int argc, char** argv)
{
    if (argc == 3) {
        Fd listener = test::listenOn(argv[1]);
        for (say("ready");;) {
            Fd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            const auto line = SocketIO::readLine(client.get(), test::after(std::chrono::seconds(5)));
            say("got " + std::string(line ? line->view() : "nothing"));
            test::sendRaw(client.get(), "{\"ok\":{}}\n");
        }
    }
    SocketServer server(argv[1], [](Request, std::int32_t, SocketServer::Reply reply, std::stop_token) {
        say("handled");
        reply(Response::Ok{});
    });
    if (!server.start()) {
        return 2;
    }
    const auto self = SocketClient::send(Request::Status{}, argv[1], 5.0);
    say(self && *self == Response(Response::Ok{}) ? "ready self-ok" : "ready self-failed");
    // The test kills this process; this bounds its life if the test dies first.
    std::this_thread::sleep_for(std::chrono::seconds(60));
}
