// AskpassHelper: prompt to request, first try, application start with retries, answer.
#include "AskpassHelper.h"

#include <optional>

#include "cli/CLI.h"
#include "i18n/L.h"
#include "ipc/AskpassPrompt.h"
#include "ipc/AskpassTiming.h"
#include "sys/SecretString.h"
#include "sys/Utf8.h"
#include "window/DurationText.h"

namespace vantorelle::AskpassHelper {
namespace {

using Seconds = std::chrono::duration<double>;
using ClientKind = SocketClient::ClientError::Kind;

std::chrono::steady_clock::duration toDuration(double seconds)
{
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(Seconds(seconds));
}

struct Run
{
    const Effects& effects;
    TimePoint start;

    double elapsed() const { return Seconds(effects.now() - start).count(); }
    double timeLeft() const
    {
        const double left = AskpassTiming::overall - elapsed();
        return left > 0 ? left : 0;
    }
    int fail(std::string_view message) const
    {
        effects.writeErr(errorLine(message));
        return 1;
    }
};

// A Latin-1 host or file name is still shown to the user: bytes that are not UTF-8 become U+FFFD,
// as the wire repairs strings elsewhere, instead of making the request impossible to send.
Request makeRequest(const std::string& prompt, std::int32_t caller)
{
    auto kind = AskpassPrompt::parse(prompt);
    if (auto* passphrase = std::get_if<AskpassPrompt::Passphrase>(&kind)) {
        return Request::Passphrase{Utf8::repaired(passphrase->keyPath), Utf8::repaired(prompt), caller};
    }
    auto& other = std::get<AskpassPrompt::Other>(kind);
    return Request::Prompt{Utf8::repaired(other.text), other.secret, caller};
}

int printSecret(const Run& run, const SecretString& secret)
{
    std::string line;
    line.reserve(secret.size() + 1);
    line.append(secret.view());
    line.push_back('\n');
    const bool written = run.effects.writeOut(line);
    wipeString(line);
    return written ? 0 : run.fail(L("cli.error.generic"));
}

} // namespace

std::string errorLine(std::string_view message)
{
    std::string line = "vantorelle-askpass: ";
    line.append(message);
    line.push_back('\n');
    return line;
}

int run(std::span<const std::string> arguments, std::int32_t callerPID, const std::string& bundleID,
        const Effects& effects)
{
    const Run run{effects, effects.now()};
    if (arguments.empty()) {
        return run.fail(L("askpass.error.noprompt"));
    }
    const Request request = makeRequest(arguments.front(), callerPID);

    // From here on the helper ends with status 1 as soon as the process that ran it goes away,
    // which closes the socket and makes the application withdraw its dialog.
    effects.watchParent(callerPID);

    std::optional<Response> response;
    auto first = effects.send(request, run.timeLeft());
    if (first) {
        response = std::move(*first);
    } else if (first.error().kind == ClientKind::timeout) {
        return run.fail(L("cli.denied.timeout"));
    } else if (first.error().kind != ClientKind::connectFailed) {
        return run.fail(L("cli.error.generic"));
    } else {
        // Nothing listens: start the application in the background and retry while it comes up.
        const auto launchDeadline = std::min(effects.now() + toDuration(AskpassTiming::launchWait),
                                             run.start + toDuration(AskpassTiming::overall));
        const bool launched = effects.launch(bundleID, launchDeadline);
        const auto retryUntil = effects.now() + toDuration(AskpassTiming::launchWait);
        // A launcher that could not start the application ends the retries at once: waiting the
        // full launch time for a program that never came up would only delay the message.
        while (launched && effects.now() < retryUntil && run.elapsed() < AskpassTiming::overall) {
            auto attempt = effects.send(request, run.timeLeft());
            if (attempt) {
                response = std::move(*attempt);
                break;
            }
            if (attempt.error().kind == ClientKind::timeout) {
                return run.fail(L("cli.denied.timeout"));
            }
            if (attempt.error().kind != ClientKind::connectFailed) {
                return run.fail(L("cli.error.generic"));
            }
            effects.sleep(toDuration(AskpassTiming::retryDelay));
        }
    }

    if (!response) {
        return run.fail(L("cli.error.noapp"));
    }
    return std::visit(
        [&](const auto& value) -> int {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, Response::Secret> || std::is_same_v<T, Response::Answer>) {
                return printSecret(run, value.value);
            } else if constexpr (std::is_same_v<T, Response::Denied>) {
                return run.fail(value.reason == DenialReason::snoozed ? L("askpass.denied.snoozed")
                                                                      : CLI::deniedMessage(value.reason));
            } else if constexpr (std::is_same_v<T, Response::AddedToAgent>) {
                // ssh-add gets no passphrase: the key is already in the agent.
                return run.fail(L("askpass.added", {DurationText::longText(value.lifetime, i18n::currentLanguage())}));
            } else {
                return run.fail(L("cli.error.generic"));
            }
        },
        response->value);
}

} // namespace vantorelle::AskpassHelper
