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
using Lines = std::vector<std::string>;
const std::string kKeyPrompt = "Enter passphrase for key '/home/me/.ssh/id_ed25519': ";

const auto fails = [](CK kind, int error = 0) -> CannedReply {
    return std::unexpected(SocketClient::ClientError{kind, error});
};
const auto secret = [](std::string_view text) -> CannedReply { return Response::Secret{SecretString(text)}; };
const auto err = [](const std::string& key) { return Lines{"vantorelle-askpass: " + L(key) + "\n"}; };
const CannedReply refused = fails(CK::connectFailed, ECONNREFUSED);

// Sends answer from `replies` (the last one repeats); launches answer `launchWorks`; sleeps advance the clock.
// Every request must go out within the overall limit of 90 s, with what is left of it as its timeout.
struct Harness
{
    std::deque<CannedReply> replies;
    bool launchWorks = true, stdoutWorks = true;
    Clock::duration sendCost{}, launchCost{};
    std::vector<Request> sent;
    Lines launched, errLines;
    std::vector<std::int32_t> watched;
    std::vector<Clock::duration> sleeps;
    std::string out;
    Clock::time_point start{1000s}, now = start;

    int run(Lines arguments = {kKeyPrompt}, const std::string& bundleID = "org.vantorelle.Vantorelle")
    {
        return AskpassHelper::run(
            arguments, kCaller, bundleID,
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

TEST(AskpassHelper, EachReplyGivesItsOutputOrOneErrorLineAndPromptsAreRepairedToUtf8)
{
    const auto denied = Lines{"vantorelle-askpass: " + CLI::deniedMessage(DenialReason::remote) + "\n"};
    const auto added = Lines{
        "vantorelle-askpass: " + L("askpass.added", {DurationText::longText(5400, i18n::currentLanguage())}) + "\n"};
    // clang-format off
    const std::tuple<CannedReply, std::string, Lines> cases[] = {
        {secret("correct horse"), "correct horse\n", {}},
        {secret(""), "\n", {}},
        {Response::Answer{SecretString(std::string_view("yes"))}, "yes\n", {}},
        {Response::Denied{DenialReason::remote}, "", denied},
        {Response::Denied{DenialReason::snoozed}, "", err("askpass.denied.snoozed")},
        {Response::AddedToAgent{5400}, "", added},
        {Response::Status{{}}, "", err("cli.error.generic")},
        // First-try errors other than a failed connect do not start the app.
        {fails(CK::timeout), "", err("cli.denied.timeout")},
        {fails(CK::io), "", err("cli.error.generic")}};
    // clang-format on
    for (const auto& [reply, out, errLines] : cases) {
        SCOPED_TRACE(out + testing::PrintToString(errLines));
        Harness h{.replies = {reply}};
        EXPECT_EQ(h.run({kKeyPrompt, "ignored extra"}), errLines.empty() ? 0 : 1);
        EXPECT_TRUE(h.out == out && h.errLines == errLines);
        EXPECT_TRUE(h.launched.empty() && h.sent.size() == 1 && h.watched == std::vector{kCaller});
    }
    Harness h{.replies = {secret("pw")}, .stdoutWorks = false};
    EXPECT_EQ(h.run(), 1);
    EXPECT_EQ(h.errLines, err("cli.error.generic"));
    h = Harness{};
    EXPECT_EQ(h.run({}), 1);
    EXPECT_TRUE(h.errLines == err("askpass.error.noprompt") && h.sent.empty() && h.watched.empty());
    // A Latin-1 host or file name: invalid bytes become U+FFFD so the request can be encoded.
    const std::string latin = "/home/me/.ssh/caf\xE9", fixed = "/home/me/.ssh/caf\xEF\xBF\xBD";
    // clang-format off
    const std::pair<std::string, Request> prompts[] = {
        {"Are you sure?", Request::Prompt{"Are you sure?", false, kCaller}},
        {"Enter passphrase for " + latin + ": ", Request::Passphrase{fixed, "Enter passphrase for " + fixed + ": ", kCaller}},
        {"Password for r\xE9mi@host: ", Request::Prompt{"Password for r\xEF\xBF\xBDmi@host: ", true, kCaller}}};
    // clang-format on
    for (const auto& [prompt, expected] : prompts) {
        Harness one{.replies = {secret("x")}};
        one.run({prompt});
        EXPECT_EQ(one.sent, std::vector{expected});
    }
}

TEST(AskpassHelper, NothingListeningStartsTheAppOnceAndRetriesEveryFifthOfASecondForFifteen)
{
    Harness h{.replies = {fails(CK::connectFailed, ENOENT), refused, refused, secret("pw")}};
    EXPECT_EQ(h.run({kKeyPrompt}, ""), 0); // an empty identifier is passed on as it is
    EXPECT_TRUE(h.launched == Lines{""} && h.sent.size() == 4 && h.out == "pw\n" && h.errLines.empty());
    EXPECT_EQ(h.sleeps, std::vector<Clock::duration>(2, 200ms));
    // clang-format off
    const std::pair<std::deque<CannedReply>, Lines> endings[] = {
        {{refused, refused, fails(CK::timeout)}, err("cli.denied.timeout")},
        {{refused, refused, fails(CK::io)}, err("cli.error.generic")},
        {{refused, Response::Denied{DenialReason::snoozed}}, err("askpass.denied.snoozed")}};
    // clang-format on
    for (const auto& [replies, message] : endings) {
        Harness one{.replies = replies};
        EXPECT_EQ(one.run({kKeyPrompt}, "org.example.Other"), 1);
        EXPECT_TRUE(one.errLines == message && one.sent.size() == replies.size() && one.out.empty());
        EXPECT_EQ(one.launched, Lines{"org.example.Other"});
    }
    Harness never{.replies = {refused}, .launchWorks = false}; // the app cannot be started: ends at once
    EXPECT_EQ(never.run(), 1);
    EXPECT_TRUE(never.errLines == err("cli.error.noapp") && never.sent.size() == 1 && never.sleeps.empty());
    Harness waiting{.replies = {refused}}; // first try, then one per 0.2 s for 15 s
    EXPECT_EQ(waiting.run(), 1);
    EXPECT_TRUE(waiting.errLines == err("cli.error.noapp") && waiting.launched.size() == 1);
    ASSERT_EQ(waiting.sent.size(), 1u + 75u);
    EXPECT_TRUE(waiting.now - waiting.start >= 15s && waiting.now - waiting.start <= 15200ms);
    Harness slow{.replies = {refused}, .sendCost = 1s, .launchCost = 80s}; // a launch that took most of the time
    EXPECT_EQ(slow.run(), 1);
    EXPECT_EQ(slow.errLines, err("cli.error.noapp"));
}

} // namespace
} // namespace vantorelle
