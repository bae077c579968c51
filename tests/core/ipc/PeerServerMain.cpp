// A socket server for the tests to run as another user: it reports on standard output when its
// handler runs ("handled") and, once listening, whether its own user is served ("ready self-ok").
// With "any-peer" it is a bare listener that serves everyone: it reports "ready", then "got <line>"
// for each request line, and answers {"ok":{}}.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

#include "ipc/SocketClient.h"
#include "ipc/SocketIO.h"
#include "ipc/SocketServer.h"
#include "sys/Io.h"

using namespace vantorelle;

namespace {

void say(const std::string& line)
{
    const std::string text = line + "\n";
    (void)!::write(STDOUT_FILENO, text.data(), text.size());
}

} // namespace

int anyPeer(const char* path)
{
    const auto address = SocketIO::socketAddress(path);
    Fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!address || !listener
        || ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address->address), address->length) != 0
        || ::listen(listener.get(), 4) != 0) {
        say("start-failed");
        return 2;
    }
    say("ready");
    for (;;) {
        Fd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        const auto line = SocketIO::readLine(client.get(), std::chrono::steady_clock::now() + std::chrono::seconds(5));
        say("got " + std::string(line ? line->view() : "nothing"));
        (void)io::writeAll(client.get(), std::string_view("{\"ok\":{}}\n"));
    }
}

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[2]) == "any-peer") {
        return anyPeer(argv[1]);
    }
    if (argc != 2) {
        say("usage: peer-server <socket-path> [any-peer]");
        return 64;
    }
    SocketServer server(argv[1], [](Request, std::int32_t, SocketServer::Reply reply, std::stop_token) {
        say("handled");
        reply(Response::Ok{});
    });
    if (const auto started = server.start(); !started) {
        say("start-failed " + std::to_string(static_cast<int>(started.error().kind)) + " "
            + std::to_string(started.error().error));
        return 2;
    }
    const auto self = SocketClient::send(Request::Status{}, argv[1], 5.0);
    say(self && *self == Response(Response::Ok{}) ? "ready self-ok" : "ready self-failed");
    // The test kills this process when it is done; this bounds its life if the test dies first.
    std::this_thread::sleep_for(std::chrono::seconds(60));
    return 0;
}
