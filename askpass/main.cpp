// vantorelle-askpass: the program ssh runs for a passphrase or a question; prints the answer.
#include <memory>
#include <signal.h>
#include <string>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

#include "AskpassHelper.h"
#include "Vantorelle.h"
#include "cli/LaunchIntent.h"
#include "ipc/AppLauncher.h"
#include "ipc/AskpassTiming.h"
#include "ipc/IPCPaths.h"
#include "ipc/ParentWatch.h"
#include "ipc/SocketClient.h"
#include "sys/CoreDumps.h"
#include "sys/Environment.h"
#include "sys/Io.h"

int main(int argc, char** argv)
{
    using namespace vantorelle;
    // It holds a passphrase: no core dump, and no other process of the user may read its memory.
    forbidCoreDumps();
    // ssh may stop reading before the answer is written; a write error is handled, a signal would
    // not be.
    ::signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const std::int32_t caller = ::getppid();
    const Environment env = Environment::current();
    // Present but empty still counts: the launch then finds no entry and says so.
    const std::string bundleID = env.get("VANTORELLE_BUNDLE_ID").value_or(std::string(Vantorelle::bundleID));
    const auto socketPath = IPCPaths::socket(env);
    const AppLauncher launcher(env);
    std::unique_ptr<ParentWatch> watch;

    AskpassHelper::Effects effects;
    effects.send
        = [&](const Request& request, double timeout) { return SocketClient::send(request, socketPath, timeout); };
    effects.launch = [&](const std::string& id, AskpassHelper::TimePoint deadline) {
        return launcher.launch(id, {LaunchIntent::backgroundArgument}, deadline).has_value();
    };
    effects.watchParent = [&](std::int32_t pid) {
        // _exit: the action runs on the watch thread while main may be inside a socket call.
        try {
            watch = ParentWatch::create(pid, AskpassTiming::parentPollInterval, [] { ::_exit(1); });
        } catch (const std::system_error&) {
            // No thread to spare: answer without the watch; the overall limit still ends the run.
        }
    };
    effects.now = [] { return std::chrono::steady_clock::now(); };
    effects.sleep = [](std::chrono::steady_clock::duration duration) { std::this_thread::sleep_for(duration); };
    effects.writeOut = [](std::string_view text) { return io::writeAll(STDOUT_FILENO, {text.data(), text.size()}); };
    effects.writeErr = [](std::string_view text) { (void)io::writeAll(STDERR_FILENO, {text.data(), text.size()}); };

    return AskpassHelper::run(arguments, caller, bundleID, effects);
}
