// The helper's run against a scripted world on a fake clock: every reply and client error, the
// application start with its retries and limits, and the one-line-on-stderr rule.
#include "AskpassHelper.h"

#include <algorithm>
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
const std::string kKeyPrompt = "Enter passphrase for key '/home/me/.ssh/id_ed25519': ";

const auto fails = [](CK kind, int error = 0) -> CannedReply {
    return std::unexpected(SocketClient::ClientError{kind, error});
};
const auto secret = [](std::string_view text) -> CannedReply { return Response::Secret{SecretString(text)}; };
const auto err = [](const std::string& key) { return "vantorelle-askpass: " + L(key) + "\n"; };

// Sends answer from `replies` (the last one repeats); launches answer `launchWorks`; sleeps advance the clock.
struct Harness
{
    std::deque<CannedReply> replies;
    bool launchWorks = true, stdoutWorks = true;
    Clock::duration sendCost{}, launchCost{};
    std::vector<Request> sent;
    std::vector<double> timeouts, sendTimes; // sendTimes: seconds since the start
    std::vector<std::string> launched, errLines;
    std::vector<std::int32_t> watched;
    std::vector<Clock::duration> sleeps;
    std::string out;
    Clock::time_point start{1000s}, now = start;

    int run(std::vector<std::string> arguments = {kKeyPrompt},
            const std::string& bundleID = "org.vantorelle.Vantorelle")
    {
        return AskpassHelper::run(
            arguments, kCaller, bundleID,
            {.send = [this](const Request& request, double timeout) -> CannedReply::Result {
                 sent.push_back(request), timeouts.push_back(timeout);
                 sendTimes.push_back(std::chrono::duration<double>(now - start).count());
                 now += sendCost;
                 EXPECT_FALSE(replies.empty());
                 const CannedReply reply = replies.front();
                 replies.size() > 1 ? replies.pop_front() : void();
                 return reply.get();
             },
             .launch =
                 [this](const std::string& id, Clock::time_point deadline) {
                     EXPECT_GT(deadline, now);
                     return launched.push_back(id), now += launchCost, launchWorks;
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

TEST(AskpassHelper, EachReplyGivesItsOutputOrOneErrorLine)
{
    using DR = DenialReason;
    const auto denied = [](DR reason) { return "vantorelle-askpass: " + CLI::deniedMessage(reason) + "\n"; };
    const std::string question = "Are you sure you want to continue connecting (yes/no/[fingerprint])? ";
    // clang-format off
    struct Case { std::string prompt; CannedReply reply; std::string out, err; };
    // clang-format off
    const Case cases[] = {{kKeyPrompt, secret("correct horse"), "correct horse\n", ""},
        {kKeyPrompt, secret(" ä ✓ 秘密 "), " ä ✓ 秘密 \n", ""}, {kKeyPrompt, secret(""), "\n", ""},
        {question, Response::Answer{SecretString(std::string_view("yes"))}, "yes\n", ""},
        {kKeyPrompt, Response::Denied{DR::cancelled}, "", denied(DR::cancelled)},
        {kKeyPrompt, Response::Denied{DR::background}, "", denied(DR::background)},
        {kKeyPrompt, Response::Denied{DR::remote}, "", denied(DR::remote)},
        {kKeyPrompt, Response::Denied{DR::timeout}, "", denied(DR::timeout)},
        {kKeyPrompt, Response::Denied{DR::abandoned}, "", denied(DR::abandoned)},
        {kKeyPrompt, Response::Denied{DR::snoozed}, "", err("askpass.denied.snoozed")},
        {kKeyPrompt, Response::AddedToAgent{5400}, "",
         "vantorelle-askpass: " + L("askpass.added", {DurationText::longText(5400, i18n::currentLanguage())}) + "\n"},
        {kKeyPrompt, Response::Status{{}}, "", err("cli.error.generic")},
        {kKeyPrompt, Response::Ok{}, "", err("cli.error.generic")},
        // First-try errors other than a failed connect do not start the app.
        {kKeyPrompt, fails(CK::timeout), "", err("cli.denied.timeout")},
        {kKeyPrompt, fails(CK::io), "", err("cli.error.generic")},
        {kKeyPrompt, fails(CK::badResponse), "", err("cli.error.generic")},
        {kKeyPrompt, fails(CK::encoding), "", err("cli.error.generic")}};
    // clang-format on
    for (const auto& c : cases) {
        Harness h{.replies = {c.reply}};
        EXPECT_EQ(h.run({c.prompt, "ignored extra"}), c.err.empty() ? 0 : 1) << c.out << c.err;
        EXPECT_EQ(h.out
                      + (h.errLines.size() == 1   ? h.errLines[0]
                             : h.errLines.empty() ? ""
                                                  : "several"),
                  c.out + c.err);
        EXPECT_TRUE(h.launched.empty() && h.sent.size() == 1 && h.timeouts[0] == 90.0);
        EXPECT_EQ(h.watched, std::vector{kCaller});
    }
    Harness h{.replies = {secret("pw")}, .stdoutWorks = false};
    EXPECT_EQ(h.run(), 1);
    EXPECT_EQ(h.errLines, std::vector{err("cli.error.generic")});
    h = Harness{};
    EXPECT_EQ(h.run({}), 1);
    EXPECT_TRUE(h.errLines == std::vector{err("askpass.error.noprompt")} && h.sent.empty() && h.watched.empty());
}

TEST(AskpassHelper, PromptsBecomeRequestsRepairedToUtf8)
{
    // A Latin-1 host or file name: invalid bytes become U+FFFD so the request can be encoded.
    const std::string latin = "/home/me/.ssh/caf\xE9", fixed = "/home/me/.ssh/caf\xEF\xBF\xBD";
    // clang-format off
    const std::pair<std::string, Request> cases[] = {
        {kKeyPrompt, Request::Passphrase{"/home/me/.ssh/id_ed25519", kKeyPrompt, kCaller}},
        {"Are you sure?", Request::Prompt{"Are you sure?", false, kCaller}},
        {"Enter passphrase for " + latin + ": ",
         Request::Passphrase{fixed, "Enter passphrase for " + fixed + ": ", kCaller}},
        {"Password for r\xE9mi@host: ", Request::Prompt{"Password for r\xEF\xBF\xBDmi@host: ", true, kCaller}}};
    // clang-format on
    for (const auto& [prompt, expected] : cases) {
        Harness h{.replies = {secret("x")}};
        h.run({prompt});
        EXPECT_EQ(h.sent, std::vector{expected});
    }
}

TEST(AskpassHelper, NothingListeningStartsTheAppOnceAndRetriesEveryFifthOfASecondForFifteen)
{
    for (const int error : {ECONNREFUSED, ENOENT, ENAMETOOLONG}) {
        Harness h{.replies = {fails(CK::connectFailed, error), fails(CK::connectFailed, ECONNREFUSED),
                              fails(CK::connectFailed, ECONNREFUSED), secret("pw")}};
        EXPECT_EQ(h.run({kKeyPrompt}, ""), 0); // an empty identifier is passed on as it is
        EXPECT_TRUE(h.launched == std::vector<std::string>{""} && h.sent.size() == 4 && h.out == "pw\n"
                    && h.errLines.empty());
        EXPECT_EQ(h.sleeps, std::vector<Clock::duration>(2, 200ms));
    }
    const auto refused = fails(CK::connectFailed, ECONNREFUSED);
    // clang-format off
    const std::pair<std::deque<CannedReply>, std::string> endings[] = {
        {{refused, refused, fails(CK::timeout)}, err("cli.denied.timeout")},
        {{refused, refused, fails(CK::io)}, err("cli.error.generic")},
        {{refused, refused, fails(CK::badResponse)}, err("cli.error.generic")},
        {{refused, Response::Denied{DenialReason::snoozed}}, err("askpass.denied.snoozed")}};
    // clang-format on
    for (const auto& [replies, message] : endings) {
        Harness h{.replies = replies};
        EXPECT_EQ(h.run({kKeyPrompt}, "org.example.Other"), 1);
        EXPECT_TRUE(h.errLines == std::vector{message} && h.sent.size() == replies.size() && h.out.empty());
        EXPECT_EQ(h.launched, std::vector<std::string>{"org.example.Other"});
    }
    Harness never{.replies = {refused}, .launchWorks = false}; // the app cannot be started: ends at once
    EXPECT_EQ(never.run(), 1);
    EXPECT_TRUE(never.errLines == std::vector{err("cli.error.noapp")} && never.sent.size() == 1
                && never.sleeps.empty());
    Harness waiting{.replies = {refused}}; // first try, then one per 0.2 s for 15 s, each with the time left
    EXPECT_EQ(waiting.run(), 1);
    EXPECT_TRUE(waiting.errLines == std::vector{err("cli.error.noapp")} && waiting.launched.size() == 1);
    ASSERT_EQ(waiting.sent.size(), 1u + 75u);
    EXPECT_TRUE(waiting.now - waiting.start >= 15s && waiting.now - waiting.start <= 15200ms);
    for (std::size_t i = 0; i < waiting.sent.size(); ++i) {
        EXPECT_NEAR(90.0 - waiting.sendTimes[i], waiting.timeouts[i], 1e-9) << i;
    }
    Harness slow{.replies = {refused}, .sendCost = 1s, .launchCost = 80s}; // a launch that took most of the time
    EXPECT_EQ(slow.run(), 1);
    EXPECT_TRUE(slow.errLines == std::vector{err("cli.error.noapp")} && slow.sendTimes.back() < 90.0);
    EXPECT_TRUE(std::ranges::all_of(slow.timeouts, [](double t) { return t > 0 && t <= 90.0; }));
}

} // namespace
} // namespace vantorelle
