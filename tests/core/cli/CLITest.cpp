// The command-line logic over a fake transport: usage, argument parsing, every exit status and
// message, the status text in both languages and the JSON status byte for byte.
#include "cli/CLI.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <limits>
#include <stdexcept>

#include "cli/LaunchIntent.h"
#include "i18n/L.h"

using namespace vantorelle;
using Kind = SocketClient::ClientError::Kind;

namespace {

using Result = std::expected<Response, SocketClient::ClientError>;

std::string en(std::string_view key)
{
    return i18n::text(Language::English, key);
}

Result failure(Kind kind, int error = 0)
{
    return std::unexpected(SocketClient::ClientError{kind, error});
}

// One run of the command against a transport that answers `result` (or throws when it is empty).
struct Outcome
{
    explicit Outcome(std::vector<std::string> args, std::optional<Result> result = Response(Response::Ok{}),
                     std::int32_t pid = 4242)
    {
        const CLI::Send send = [&](const Request& request, double timeout) -> Result {
            sent.push_back(request);
            timeouts.push_back(timeout);
            if (!result) {
                throw std::runtime_error("transport exploded");
            }
            return *result;
        };
        status = CLI::run(
            args, send, [&](const std::string& s) { out.push_back(s); },
            [&](const std::string& s) { err.push_back(s); }, pid);
    }
    int status = -1;
    std::vector<Request> sent;
    std::vector<double> timeouts;
    std::vector<std::string> out;
    std::vector<std::string> err;
};

using Lines = std::vector<std::string>;

class CLITest : public ::testing::Test
{
protected:
    void SetUp() override { i18n::setCurrentLanguage(Language::English); }
    void TearDown() override { i18n::setCurrentLanguage(Language::English); }
};

StatusReport unlocked(std::optional<std::int64_t> remaining, std::vector<std::string> keys)
{
    return StatusReport{"unlocked", remaining, std::move(keys)};
}

} // namespace

TEST_F(CLITest, UsageErrorsSendNothingAndPrintTheUsage)
{
    const std::vector<Lines> cases = {
        {},
        {"STATUS"},
        {"--json"},
        {"status", "--json", "--json"},
        {"status", ""},
        {"lock", "now"},
        {"unlock", "--for"},
        {"unlock", "2h"},
        {"unlock", "--for", "2x"},
        {"unlock", "--for", ""},
        {"unlock", "--reason"},
        {"unlock", "--for", "1h", "--reason"},
        {"unlock", "--why", "x"},
        {"unlock", "--for", "1h", "extra", "x"},
    };
    for (const auto& args : cases) {
        const Outcome run(args);
        const std::string where = ::testing::PrintToString(args);
        EXPECT_EQ(run.status, 64) << where;
        EXPECT_TRUE(run.sent.empty()) << where;
        EXPECT_TRUE(run.out.empty()) << where;
        EXPECT_EQ(run.err, Lines{en("cli.usage")}) << where;
    }
}

TEST_F(CLITest, EachCommandSendsItsRequestWithItsTimeout)
{
    struct Case
    {
        Lines args;
        Request expected;
        double timeout;
    };
    const std::vector<Case> cases = {
        {{"status"}, Request::Status{}, 5},
        {{"lock"}, Request::Lock{}, 5},
        {{"unlock"}, Request::Unlock{std::nullopt, std::nullopt, 4242}, 120},
        {{"unlock", "--for", "20m"}, Request::Unlock{900.0, std::nullopt, 4242}, 120},
        {{"unlock", "--for", "10h"}, Request::Unlock{10800.0, std::nullopt, 4242}, 120},
        {{"unlock", "--for", "1h7m30s"}, Request::Unlock{4500.0, std::nullopt, 4242}, 120},
        {{"unlock", "--reason", "deploy to prod"}, Request::Unlock{std::nullopt, "deploy to prod", 4242}, 120},
        {{"unlock", "--reason", "x", "--for", "2h"}, Request::Unlock{7200.0, "x", 4242}, 120},
    };
    for (const auto& c : cases) {
        const Outcome run(c.args);
        const std::string where = ::testing::PrintToString(c.args);
        ASSERT_EQ(run.sent.size(), 1u) << where;
        EXPECT_TRUE(run.sent[0] == c.expected) << where;
        EXPECT_EQ(run.timeouts[0], c.timeout) << where;
    }
}

TEST_F(CLITest, UnlockArgumentsArePairsWhereTheLaterWins)
{
    using U = CLI::UnlockArguments;
    struct Case
    {
        Lines rest;
        std::optional<U> expected;
    };
    const std::vector<Case> cases = {
        {{}, U{}},
        {{"--for", "2h", "--reason", "deploy"}, U{7200.0, "deploy"}},
        {{"--for", "1h", "--for", "2h"}, U{7200.0, std::nullopt}},
        {{"--reason", "a", "--reason", "b"}, U{std::nullopt, "b"}},
        {{"--reason", "--for"}, U{std::nullopt, "--for"}},
        {{"--for", "1000000h"}, U{10800.0, std::nullopt}},
        {{"--for", "449s"}, U{900.0, std::nullopt}},
        {{"--for", "1350s"}, U{1800.0, std::nullopt}},
        {{"--for", "1h", "--for", "bad"}, std::nullopt},
        {{"--for"}, std::nullopt},
        {{"--reason", "x", "--for"}, std::nullopt},
        {{"--json", "x"}, std::nullopt},
        {{"for", "1h"}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CLI::parseUnlockArguments(c.rest), c.expected) << ::testing::PrintToString(c.rest);
    }
}

TEST(ParseDuration, HoursMinutesSecondsInThatOrder)
{
    const std::vector<std::pair<std::string, std::optional<double>>> cases = {
        {"2h", 7200},
        {"1h30m", 5400},
        {"45s", 45},
        {"0m", 0},
        {"1h7m30s", 4050},
        {"2m5s", 125},
        {"1000000s", 1'000'000},
        {"1000000h", 3'600'000'000.0},
        {"", std::nullopt},
        {"1000001s", std::nullopt},
        {"99999999999999999999999h", std::nullopt},
        {"h", std::nullopt},
        {"1", std::nullopt},
        {"1h30", std::nullopt},
        {"1m1h", std::nullopt},
        {"1h1h", std::nullopt},
        {"1H", std::nullopt},
        {"1 h", std::nullopt},
        {"90m\n", std::nullopt},
        {"1.5h", std::nullopt},
        {"-1h", std::nullopt},
        {"1hm", std::nullopt},
        {"\xd9\xa1h", std::nullopt}, // ARABIC-INDIC DIGIT ONE is not a decimal digit here
        {std::string("1h\0", 3), std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(CLI::parseDuration(text), expected) << ::testing::PrintToString(text);
    }
}

TEST_F(CLITest, LockAndUnlockAnswers)
{
    struct Case
    {
        Result result;
        int status;
        Lines err;
    };
    const std::vector<Case> cases = {
        {Response(Response::Ok{}), 0, {}},
        {Response(Response::Denied{"cancelled"}), 1, {en("cli.denied.cancelled")}},
        {Response(Response::Denied{"timeout"}), 1, {en("cli.denied.timeout")}},
        {Response(Response::Denied{"unavailable"}), 1, {en("cli.denied.unavailable")}},
        {Response(Response::Denied{"abandoned"}), 1, {en("cli.denied.unavailable")}},
        // Replies that make no sense for a change of state.
        {Response(Response::Status{unlocked(60, {"a"})}), 1, {en("cli.denied.unavailable")}},
        {Response(Response::Secret{SecretString(std::string_view("pw"))}), 1, {en("cli.denied.unavailable")}},
        {Response(Response::AddedToAgent{600}), 1, {en("cli.denied.unavailable")}},
        // Transport failures.
        {failure(Kind::connectFailed, ECONNREFUSED), 2, {en("cli.error.noapp")}},
        {failure(Kind::timeout), 1, {en("cli.denied.timeout")}},
        {failure(Kind::io), 2, {en("cli.error.generic")}},
        {failure(Kind::badResponse), 2, {en("cli.error.generic")}},
    };
    for (const Lines& args : {Lines{"lock"}, Lines{"unlock", "--for", "1h"}}) {
        for (const auto& c : cases) {
            const Outcome run(args, c.result);
            const std::string where = ::testing::PrintToString(args) + " / " + ::testing::PrintToString(c.err);
            EXPECT_EQ(run.status, c.status) << where;
            EXPECT_EQ(run.err, c.err) << where;
            EXPECT_TRUE(run.out.empty()) << where;
        }
    }
}

TEST_F(CLITest, StatusAnswers)
{
    struct Case
    {
        Result result;
        int status;
        Lines out;
        Lines err;
    };
    const std::vector<Case> cases = {
        {Response(Response::Status{{"locked", std::nullopt, {}}}), 0, {"Locked"}, {}},
        // Any reply but a status is "unavailable", a denial included.
        {Response(Response::Ok{}), 1, {}, {en("cli.denied.unavailable")}},
        {Response(Response::Denied{"cancelled"}), 1, {}, {en("cli.denied.unavailable")}},
        {failure(Kind::connectFailed, ECONNREFUSED), 2, {}, {en("cli.error.noapp")}},
        {failure(Kind::timeout), 1, {}, {en("cli.denied.timeout")}},
        {failure(Kind::io), 2, {}, {en("cli.error.generic")}},
    };
    for (const auto& c : cases) {
        const Outcome run({"status"}, c.result);
        EXPECT_EQ(run.status, c.status) << ::testing::PrintToString(c.err);
        EXPECT_EQ(run.out, c.out) << ::testing::PrintToString(c.err);
        EXPECT_EQ(run.err, c.err) << ::testing::PrintToString(c.out);
    }
}

TEST_F(CLITest, ATransportThatThrowsIsAGenericError)
{
    for (const Lines& args : {Lines{"status"}, Lines{"lock"}, Lines{"unlock"}}) {
        const Outcome run(args, std::nullopt);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.err, Lines{en("cli.error.generic")});
    }
}

TEST_F(CLITest, StatusTextInBothLanguages)
{
    struct Case
    {
        StatusReport report;
        const char* english;
        const char* french;
    };
    const std::vector<Case> cases = {
        {{"locked", std::nullopt, {}}, "Locked", "Verrouillé"},
        {{"locked", 600, {"stale"}}, "Locked", "Verrouillé"},
        {{"Unlocked", 600, {"a"}}, "Locked", "Verrouillé"}, // the state word is compared exactly
        {unlocked(5400, {"id_ed25519", "work"}), "Unlocked, 1h 30m left: id_ed25519, work",
         "Déverrouillé, encore 1 h 30 min : id_ed25519, work"},
        {unlocked(10800, {"a"}), "Unlocked, 3h left: a", "Déverrouillé, encore 3 h : a"},
        {unlocked(30, {"a"}), "Unlocked, 0m left: a", "Déverrouillé, encore 0 min : a"},
        {unlocked(std::nullopt, {"id_rsa", "id_ed25519"}), "Unlocked: id_rsa, id_ed25519",
         "Déverrouillé : id_rsa, id_ed25519"},
        // Key names are inserted as they are, placeholders and all.
        {unlocked(std::nullopt, {"100%1 key"}), "Unlocked: 100%1 key", "Déverrouillé : 100%1 key"},
    };
    for (const auto& c : cases) {
        i18n::setCurrentLanguage(Language::English);
        EXPECT_EQ(CLI::statusText(c.report), c.english);
        i18n::setCurrentLanguage(Language::French);
        EXPECT_EQ(CLI::statusText(c.report), c.french);
    }
}

TEST(StatusJSON, ShapeIsByteExact)
{
    const std::vector<std::pair<StatusReport, std::string>> cases = {
        {unlocked(1740, {"id_ed25519"}), R"({"keys":["id_ed25519"],"remaining_seconds":1740,"state":"unlocked"})"},
        {{"locked", std::nullopt, {}}, R"({"keys":[],"remaining_seconds":null,"state":"locked"})"},
        {unlocked(std::nullopt, {"a", "b"}), R"({"keys":["a","b"],"remaining_seconds":null,"state":"unlocked"})"},
        {unlocked(std::numeric_limits<std::int64_t>::max(), {}),
         R"({"keys":[],"remaining_seconds":9223372036854775807,"state":"unlocked"})"},
        // Slashes stay as they are; quotes, backslashes and control characters are escaped.
        {unlocked(60, {"~/.ssh/id_rsa", "a\"b\\c\n\t"}),
         R"({"keys":["~/.ssh/id_rsa","a\"b\\c\n\t"],"remaining_seconds":60,"state":"unlocked"})"},
        // UTF-8 is written as it is; invalid sequences become U+FFFD.
        {unlocked(60, {"clé", "bad\xff"}),
         "{\"keys\":[\"clé\",\"bad\xef\xbf\xbd\"],\"remaining_seconds\":60,"
         "\"state\":\"unlocked\"}"},
    };
    for (const auto& [report, expected] : cases) {
        EXPECT_EQ(CLI::statusJSON(report), expected);
    }
}

TEST(DeniedMessage, EachReasonHasItsSentence)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"cancelled", "cli.denied.cancelled"},   {"snoozed", "cli.denied.snoozed"},
        {"background", "cli.denied.background"}, {"remote", "cli.denied.remote"},
        {"timeout", "cli.denied.timeout"},       {"abandoned", "cli.denied.unavailable"},
        {"Cancelled", "cli.denied.unavailable"},
    };
    i18n::setCurrentLanguage(Language::French);
    for (const auto& [reason, key] : cases) {
        EXPECT_EQ(CLI::deniedMessage(reason), i18n::text(Language::French, key)) << reason;
    }
    i18n::setCurrentLanguage(Language::English);
}

TEST(LaunchIntent, SettingsOpenOnlyOnAnOrdinaryLaunch)
{
    struct Case
    {
        bool loginItem;
        Lines args;
        bool relaunched;
        bool expected;
    };
    const std::vector<Case> cases = {
        {false, {}, false, true},
        {false, {"--background"}, false, false},
        {false, {"-x", "--background", "y"}, false, false},
        {false, {"--background=1"}, false, true},
        {true, {}, false, false},
        {false, {}, true, false},
        {true, {"--background"}, true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LaunchIntent::showsSettingsAtLaunch(c.loginItem, c.args, c.relaunched), c.expected)
            << ::testing::PrintToString(c.args);
    }
}
