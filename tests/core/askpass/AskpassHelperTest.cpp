// The helper's run against fake effects: every response kind, every client error, the
// application start with its retries and limits, and the one-line-on-stderr rule.
#include "AskpassHelper.h"

#include <deque>
#include <gtest/gtest.h>

#include "cli/CLI.h"
#include "i18n/L.h"
#include "unlock/DurationText.h"

namespace vantorelle {
namespace {

using namespace std::chrono_literals;
using ClientError = SocketClient::ClientError;
using SendResult = std::expected<Response, ClientError>;
using Clock = std::chrono::steady_clock;

constexpr std::int32_t kCaller = 4242;
const std::string kKeyPrompt = "Enter passphrase for key '/home/me/.ssh/id_ed25519': ";

ClientError clientError(ClientError::Kind kind, int error = 0)
{
    return ClientError{kind, error};
}

// A scripted world on a fake clock: sends answer from a queue (the last entry repeats), launches
// answer `launchWorks`, sleeps advance the clock.
class Harness
{
public:
    std::deque<SendResult> replies;
    bool launchWorks = true;
    bool stdoutWorks = true;
    Clock::duration sendCost = 0s;
    Clock::duration launchCost = 0s;

    std::vector<Request> sent;
    std::vector<double> timeouts;
    std::vector<double> sendTimes; // seconds since start
    std::vector<std::string> launched;
    std::vector<std::int32_t> watched;
    std::vector<Clock::duration> sleeps;
    std::string out;
    std::vector<std::string> errLines;

    int run(std::vector<std::string> arguments, const std::string& bundleID = "org.vantorelle.Vantorelle")
    {
        AskpassHelper::Effects effects;
        effects.now = [this] { return m_now; };
        effects.sleep = [this](Clock::duration d) {
            sleeps.push_back(d);
            m_now += d;
        };
        effects.watchParent = [this](std::int32_t pid) {
            EXPECT_TRUE(sent.empty()) << "the watch starts before the first request";
            watched.push_back(pid);
        };
        effects.send = [this](const Request& request, double timeout) -> SendResult {
            sent.push_back(request);
            timeouts.push_back(timeout);
            sendTimes.push_back(std::chrono::duration<double>(m_now - m_start).count());
            m_now += sendCost;
            EXPECT_FALSE(replies.empty());
            SendResult reply = replies.front();
            if (replies.size() > 1) {
                replies.pop_front();
            }
            return reply;
        };
        effects.launch = [this](const std::string& id, Clock::time_point deadline) {
            launched.push_back(id);
            EXPECT_GT(deadline, m_now);
            m_now += launchCost;
            return launchWorks;
        };
        effects.writeOut = [this](std::string_view text) {
            if (stdoutWorks) {
                out += text;
            }
            return stdoutWorks;
        };
        effects.writeErr = [this](std::string_view text) { errLines.emplace_back(text); };
        const int status = AskpassHelper::run(arguments, kCaller, bundleID, effects);
        m_elapsed = std::chrono::duration<double>(m_now - m_start).count();
        return status;
    }

    double elapsed() const { return m_elapsed; }

    // Exactly one line on stderr, with the program's prefix, carrying `message`.
    void expectOneError(const std::string& message) const
    {
        ASSERT_EQ(1u, errLines.size());
        EXPECT_EQ("vantorelle-askpass: " + message + "\n", errLines.front());
        EXPECT_EQ("", out);
    }

private:
    Clock::time_point m_start = Clock::time_point(1000s);
    Clock::time_point m_now = m_start;
    double m_elapsed = 0;
};

TEST(AskpassHelper, NoPromptIsAnErrorWithoutAnyRequest)
{
    Harness h;
    EXPECT_EQ(1, h.run({}));
    h.expectOneError(L("askpass.error.noprompt"));
    EXPECT_TRUE(h.sent.empty());
    EXPECT_TRUE(h.watched.empty());
}

TEST(AskpassHelper, KeyPromptBecomesPassphraseRequestWithTheWholePrompt)
{
    Harness h;
    h.replies = {Response::Secret{SecretString(std::string_view("pw"))}};
    EXPECT_EQ(0, h.run({kKeyPrompt, "ignored extra"}));
    ASSERT_EQ(1u, h.sent.size());
    EXPECT_EQ(Request(Request::Passphrase{"/home/me/.ssh/id_ed25519", kKeyPrompt, kCaller}), h.sent[0]);
    EXPECT_EQ(std::vector<std::int32_t>{kCaller}, h.watched);
    EXPECT_DOUBLE_EQ(90.0, h.timeouts[0]);
}

TEST(AskpassHelper, OtherPromptBecomesPromptRequest)
{
    Harness h;
    h.replies = {Response::Answer{SecretString(std::string_view("yes"))}};
    const std::string question = "Are you sure you want to continue connecting (yes/no/[fingerprint])? ";
    EXPECT_EQ(0, h.run({question}));
    EXPECT_EQ(Request(Request::Prompt{question, false, kCaller}), h.sent.at(0));
    EXPECT_EQ("yes\n", h.out);
    EXPECT_TRUE(h.errLines.empty());
}

TEST(AskpassHelper, SecretIsPrintedUnchangedWithOneLineFeed)
{
    for (const std::string secret : {"correct horse battery staple", "pässwörd ✓ 秘密", " leading and trailing ", ""}) {
        Harness h;
        h.replies = {Response::Secret{SecretString(std::string_view(secret))}};
        EXPECT_EQ(0, h.run({kKeyPrompt}));
        EXPECT_EQ(secret + "\n", h.out);
        EXPECT_TRUE(h.errLines.empty());
    }
}

TEST(AskpassHelper, StdoutFailureIsNotSuccess)
{
    Harness h;
    h.stdoutWorks = false;
    h.replies = {Response::Secret{SecretString(std::string_view("pw"))}};
    EXPECT_EQ(1, h.run({kKeyPrompt}));
    h.expectOneError(L("cli.error.generic"));
}

TEST(AskpassHelper, EveryOtherReplyFailsWithOneMessageWithoutStartingTheApp)
{
    const std::vector<std::pair<Response, std::string>> cases = {
        {Response::Denied{"cancelled"}, CLI::deniedMessage("cancelled")},
        {Response::Denied{"snoozed"}, L("askpass.denied.snoozed")}, // its own text
        {Response::Denied{"remote"}, CLI::deniedMessage("remote")},
        {Response::Denied{"???"}, CLI::deniedMessage("unavailable")},
        {Response::AddedToAgent{5400}, L("askpass.added", {DurationText::longText(5400, i18n::currentLanguage())})},
        {Response::Status{StatusReport{"locked", std::nullopt, {}}}, L("cli.error.generic")},
        {Response::Ok{}, L("cli.error.generic")},
    };
    for (const auto& [response, message] : cases) {
        Harness h;
        h.replies = {response};
        EXPECT_EQ(1, h.run({kKeyPrompt}));
        h.expectOneError(message);
        EXPECT_TRUE(h.launched.empty());
    }
}

TEST(AskpassHelper, ClientErrorsOtherThanConnectEndTheRunOnTheFirstTryOrAfterRetries)
{
    const std::vector<std::pair<ClientError, std::string>> cases = {
        {clientError(ClientError::Kind::timeout), L("cli.denied.timeout")},
        {clientError(ClientError::Kind::io), L("cli.error.generic")},
        {clientError(ClientError::Kind::badResponse), L("cli.error.generic")},
        {clientError(ClientError::Kind::encoding), L("cli.error.generic")},
    };
    for (const auto& [error, message] : cases) {
        for (const bool afterStart : {false, true}) {
            Harness h;
            const SendResult refused = std::unexpected(clientError(ClientError::Kind::connectFailed, ECONNREFUSED));
            h.replies = afterStart ? std::deque<SendResult>{refused, refused, std::unexpected(error)}
                                   : std::deque<SendResult>{std::unexpected(error)};
            EXPECT_EQ(1, h.run({kKeyPrompt}));
            h.expectOneError(message);
            EXPECT_EQ(afterStart ? 1u : 0u, h.launched.size());
            EXPECT_EQ(afterStart ? 3u : 1u, h.sent.size());
        }
    }
}

TEST(AskpassHelper, NothingListeningStartsTheAppOnceAndRetriesUntilItAnswers)
{
    for (const int errorNumber : {ECONNREFUSED, ENOENT, ENAMETOOLONG}) {
        Harness h;
        h.replies = {std::unexpected(clientError(ClientError::Kind::connectFailed, errorNumber)),
                     std::unexpected(clientError(ClientError::Kind::connectFailed, ECONNREFUSED)),
                     std::unexpected(clientError(ClientError::Kind::connectFailed, ECONNREFUSED)),
                     Response::Secret{SecretString(std::string_view("pw"))}};
        EXPECT_EQ(0, h.run({kKeyPrompt}, "org.example.Other"));
        EXPECT_EQ(std::vector<std::string>{"org.example.Other"}, h.launched);
        EXPECT_EQ(4u, h.sent.size());
        EXPECT_EQ(std::vector<Clock::duration>(2, 200ms), h.sleeps);
        EXPECT_EQ("pw\n", h.out);
        EXPECT_TRUE(h.errLines.empty());
    }
}

TEST(AskpassHelper, AppThatCannotBeStartedEndsAtOnceWithNoApp)
{
    Harness h;
    h.replies = {std::unexpected(clientError(ClientError::Kind::connectFailed, ENOENT))};
    h.launchWorks = false;
    EXPECT_EQ(1, h.run({kKeyPrompt}, "")); // an empty identifier is passed on as it is
    EXPECT_EQ(std::vector<std::string>{""}, h.launched);
    h.expectOneError(L("cli.error.noapp"));
    EXPECT_EQ(1u, h.sent.size());
    EXPECT_TRUE(h.sleeps.empty());
}

TEST(AskpassHelper, RetriesEveryFifthOfASecondForFifteenSeconds)
{
    Harness h;
    h.replies = {std::unexpected(clientError(ClientError::Kind::connectFailed, ECONNREFUSED))};
    EXPECT_EQ(1, h.run({kKeyPrompt}));
    h.expectOneError(L("cli.error.noapp"));
    EXPECT_EQ(1u, h.launched.size());
    // First try, then one try per 0.2 s for 15 s.
    EXPECT_EQ(1u + 75u, h.sent.size());
    EXPECT_GE(h.elapsed(), 15.0);
    EXPECT_LE(h.elapsed(), 15.2 + 1e-9);
    for (std::size_t i = 0; i < h.sent.size(); ++i) {
        EXPECT_NEAR(90.0 - h.sendTimes[i], h.timeouts[i], 1e-9) << "each call gets the time that is left";
    }
}

TEST(AskpassHelper, RetriesStopAtTheOverallLimit)
{
    Harness h;
    h.replies = {std::unexpected(clientError(ClientError::Kind::connectFailed, ECONNREFUSED))};
    h.sendCost = 1s;
    h.launchCost = 80s; // a launch that took most of the time
    EXPECT_EQ(1, h.run({kKeyPrompt}));
    h.expectOneError(L("cli.error.noapp"));
    ASSERT_FALSE(h.sendTimes.empty());
    EXPECT_LT(h.sendTimes.back(), 90.0);
    for (const double timeout : h.timeouts) {
        EXPECT_GT(timeout, 0);
        EXPECT_LE(timeout, 90.0);
    }
}

} // namespace
} // namespace vantorelle
