// The helper's run against a scripted world on a fake clock: every reply and client error, the
// application start with its retries and limits, and the one-line-on-stderr rule.
#include "AskpassHelper.h"

#include <deque>
#include <gtest/gtest.h>

#include "cli/CLI.h"
#include "i18n/L.h"
#include "support/CannedReply.h"
#include "window/DurationText.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using CK = SocketClient::ClientError::Kind;
constexpr std::int32_t kCaller = 4242;
using Lines = std::vector<std::string>;
const std::string kKeyPrompt = "Enter passphrase for key '/home/me/.ssh/id_ed25519': ";

const auto fails = [](CK kind, int error = 0) -> CannedReply {
    return std::unexpected(SocketClient::ClientError{kind, error});
};
const auto secret = [](std::string_view text) -> CannedReply { return Response::Secret{SecretString(text)}; };
const auto says = [](const std::string& text) { return Lines{"vantorelle-askpass: " + text + "\n"}; };
const auto err = [](const std::string& key) { return says(L(key)); };
const CannedReply none = fails(CK::connectFailed, ECONNREFUSED); // nothing listens

// Sends answer from `replies` (the last one repeats); launches succeed; sleeps advance the clock.
// Every request must go out within the overall limit of 90 s, with what is left of it as its timeout.
struct Harness
{
    std::deque<CannedReply> replies;
    bool stdoutWorks = true;
    Clock::duration sendCost{}, launchCost{};
    std::vector<Request> sent;
    Lines launched, errLines;
    std::vector<std::int32_t> watched;
    std::vector<Clock::duration> sleeps;
    std::string out;
    Clock::time_point start{1000s}, now = start;

    int run(Lines arguments = {kKeyPrompt})
    {
        return AskpassHelper::run(
            arguments, kCaller, "org.example.Other",
            {.send = [this](const Request& request, double timeout) -> CannedReply::Result {
                 const double elapsed = std::chrono::duration<double>(now - start).count();
                 EXPECT_LT(elapsed, 90.0);
                 EXPECT_NEAR(timeout, 90.0 - elapsed, 1e-9);
                 sent.push_back(request);
                 now += sendCost;
                 const CannedReply reply = replies.front();
                 replies.size() > 1 ? replies.pop_front() : void();
                 return reply.get();
             },
             .launch =
                 [this](const std::string& id, Clock::time_point deadline) {
                     EXPECT_GT(deadline, now);
                     return launched.push_back(id), now += launchCost, true;
                 },
             .watchParent =
                 [this](std::int32_t pid) {
                     EXPECT_TRUE(sent.empty()) << "the watch starts before the first request";
                     watched.push_back(pid);
                 },
             .now = [this] { return now; },
             .sleep = [this](Clock::duration d) { sleeps.push_back(d), now += d; },
             .writeOut = [this](std::string_view text) { return stdoutWorks && (out += text, true); },
             .writeErr = [this](std::string_view text) { errLines.emplace_back(text); }});
    }
};

TEST(AskpassHelper, EachReplyGivesItsOutputOrOneErrorLineAndNothingListeningStartsTheAppOnce)
{
    const Lines denied = says(CLI::deniedMessage(DenialReason::remote)), timeout = err("cli.denied.timeout"),
                generic = err("cli.error.generic"), snoozed = err("askpass.denied.snoozed"), app{"org.example.Other"};
    const auto added = says(L("askpass.added", {DurationText::longText(5400, i18n::currentLanguage())}));
    const CannedReply yes = Response::Answer{SecretString(std::string_view("yes"))};
    const Lines key{kKeyPrompt};
    const CannedReply remote = Response::Denied{DenialReason::remote}, snooze = Response::Denied{DenialReason::snoozed};
    // The arguments, the replies, what goes to standard output and standard error, how many requests
    // were sent and which application was started. Only a failed connect starts the app; a retry
    // follows every fifth of a second.
    // clang-format off
    const std::tuple<Lines, std::deque<CannedReply>, std::string, Lines, std::size_t, Lines> cases[] = {
        {{kKeyPrompt, "ignored extra"}, {secret("correct horse")}, "correct horse\n", {}, 1, {}},
        {key, {secret("")}, "\n", {}, 1, {}}, {key, {yes}, "yes\n", {}, 1, {}}, {key, {remote}, "", denied, 1, {}},
        {key, {snooze}, "", snoozed, 1, {}}, {key, {Response::AddedToAgent{5400}}, "", added, 1, {}},
        {key, {Response::Status{{}}}, "", generic, 1, {}}, {key, {fails(CK::timeout)}, "", timeout, 1, {}},
        {key, {fails(CK::io)}, "", generic, 1, {}}, {{}, {secret("x")}, "", err("askpass.error.noprompt"), 0, {}},
        {key, {fails(CK::connectFailed, ENOENT), none, none, secret("pw")}, "pw\n", {}, 4, app},
        {key, {none, none, fails(CK::timeout)}, "", timeout, 3, app}, {key, {none, snooze}, "", snoozed, 2, app},
        {key, {none, none, fails(CK::io)}, "", generic, 3, app}};
    // clang-format on
    for (const auto& [args, replies, out, errLines, sends, launched] : cases) {
        SCOPED_TRACE(out + testing::PrintToString(errLines));
        Harness h{.replies = replies};
        EXPECT_EQ(h.run(args), errLines.empty() ? 0 : 1);
        EXPECT_TRUE(h.out == out && h.errLines == errLines && h.sent.size() == sends && h.launched == launched);
        EXPECT_EQ(h.watched, sends ? std::vector{kCaller} : std::vector<std::int32_t>{});
        EXPECT_EQ(h.sleeps, std::vector<Clock::duration>(launched.empty() ? 0 : sends - 2, 200ms));
    }
    Harness h{.replies = {secret("pw")}, .stdoutWorks = false}; // the answer cannot be written
    EXPECT_TRUE(h.run() == 1 && h.errLines == generic);
    // A Latin-1 host or file name: invalid bytes become U+FFFD so the request can be encoded.
    const std::string latin = "/home/me/.ssh/caf\xE9", fixed = "/home/me/.ssh/caf\xEF\xBF\xBD";
    const auto ask = [](const std::string& path) { return "Enter passphrase for " + path + ": "; };
    // clang-format off
    const std::pair<std::string, Request> prompts[] = {
        {ask(latin), Request::Passphrase{fixed, ask(fixed), kCaller}},
        {"Password for r\xE9mi@host: ", Request::Prompt{"Password for r\xEF\xBF\xBDmi@host: ", true, kCaller}}};
    // clang-format on
    for (const auto& [prompt, expected] : prompts) {
        Harness one{.replies = {secret("x")}};
        one.run({prompt});
        EXPECT_EQ(one.sent, std::vector{expected});
    }
    Harness waiting{.replies = {none}}; // first try, then one per 0.2 s for 15 s
    EXPECT_TRUE(waiting.run() == 1 && waiting.errLines == err("cli.error.noapp") && waiting.launched.size() == 1);
    EXPECT_TRUE(waiting.sent.size() == 76 && waiting.now - waiting.start >= 15s
                && waiting.now - waiting.start <= 15200ms);
    Harness slow{.replies = {none}, .sendCost = 1s, .launchCost = 80s}; // a launch that took most of the time
    EXPECT_TRUE(slow.run() == 1 && slow.errLines == err("cli.error.noapp"));
}

} // namespace
} // namespace vantorelle
