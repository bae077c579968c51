// The command-line logic over a fake transport: usage, argument parsing, every exit status and
// message, the status text and the JSON status byte for byte.
#include "cli/CLI.h"

#include <gtest/gtest.h>
#include <stdexcept>

#include "cli/LaunchIntent.h"
#include "i18n/L.h"
#include "support/CannedReply.h"

using namespace vantorelle;
using CK = SocketClient::ClientError::Kind;
using DR = DenialReason;
using Lines = std::vector<std::string>;

namespace {

const auto en = [](std::string_view key) { return i18n::text(Language::English, key); };
const auto fails = [](CK kind, int error = 0) -> CannedReply {
    return std::unexpected(SocketClient::ClientError{kind, error});
};
const auto unlocked = [](std::optional<std::int64_t> left, Lines keys) {
    return StatusReport{StatusState::unlocked, left, keys};
};

// One run against a transport that answers `reply`, or throws without one.
struct Outcome
{
    explicit Outcome(Lines args, std::optional<CannedReply> reply = Response(Response::Ok{}))
    {
        i18n::setCurrentLanguage(Language::English);
        status = CLI::run(
            args,
            [&](const Request& request, double timeout) {
                sent.push_back(request), timeouts.push_back(timeout);
                return reply ? reply->get() : throw std::runtime_error("transport exploded");
            },
            [&](const std::string& s) { out.push_back(s); }, [&](const std::string& s) { err.push_back(s); }, 4242);
    }
    int status = -1;
    std::vector<Request> sent;
    std::vector<double> timeouts;
    Lines out, err;
};

} // namespace

TEST(CLI, EachCommandSendsItsRequestAndEachAnswerBecomesAnExitStatusAndOneLine)
{
    const CannedReply ok = Response(Response::Ok{}), status = Response(Response::Status{unlocked(1740, {"id"})});
    const auto denied = [](DR reason) { return CannedReply(Response(Response::Denied{reason})); };
    const std::string usage = en("cli.usage"), unavailable = en("cli.denied.unavailable"),
                      noApp = en("cli.error.noapp"), late = en("cli.denied.timeout");
    const Lines lock{"lock"}, unlock{"unlock", "--for", "1h"};
    using Case = std::tuple<Lines, CannedReply, int, std::string, std::string>;
    const auto no = [&](const Lines& args, DR why, const char* key) { return Case{args, denied(why), 1, "", en(key)}; };
    // The arguments, the answer, the exit status, the line on standard output and the one on standard error.
    // clang-format off
    const Case cases[] = {
        {{}, ok, 64, "", usage}, {{"STATUS"}, ok, 64, "", usage}, {{"--json"}, ok, 64, "", usage},
        {{"status", "--json", "--json"}, ok, 64, "", usage}, {{"status", "json"}, ok, 64, "", usage},
        {{"lock", "now"}, ok, 64, "", usage}, {{"unlock", "--for", "2x"}, ok, 64, "", usage},
        {{"status"}, status, 0, "Unlocked, 29m left: id", ""},
        {{"status", "--json"}, status, 0, R"({"keys":["id"],"remaining_seconds":1740,"state":"unlocked"})", ""},
        // A status asked gets every reply but a status as "unavailable", a denial included.
        {{"status"}, ok, 1, "", unavailable}, {{"status"}, denied(DR::cancelled), 1, "", unavailable},
        {{"status"}, fails(CK::timeout), 1, "", late}, {lock, ok, 0, "", ""}, {unlock, ok, 0, "", ""},
        no(lock, DR::cancelled, "cli.denied.cancelled"), no(lock, DR::snoozed, "cli.denied.snoozed"),
        no(lock, DR::background, "cli.denied.background"), no(lock, DR::remote, "cli.denied.remote"),
        no(unlock, DR::timeout, "cli.denied.timeout"), no(lock, DR::unavailable, "cli.denied.unavailable"),
        no(unlock, DR::abandoned, "cli.denied.unavailable"), {unlock, status, 1, "", unavailable},
        {lock, fails(CK::connectFailed, ECONNREFUSED), 2, "", noApp}, {unlock, fails(CK::timeout), 1, "", late},
        {lock, fails(CK::badResponse), 2, "", en("cli.error.generic")}};
    // clang-format on
    const auto line = [](const std::string& text) { return text.empty() ? Lines{} : Lines{text}; };
    for (const auto& [args, reply, code, out, err] : cases) {
        const Outcome run(args, reply);
        EXPECT_TRUE(run.status == code && run.out == line(out) && run.err == line(err)) << testing::PrintToString(args);
        EXPECT_EQ(run.sent.empty(), code == 64) << testing::PrintToString(args);
    }
    const Outcome thrown(lock, std::nullopt); // a transport that throws
    EXPECT_TRUE(thrown.status == 2 && thrown.err == Lines{en("cli.error.generic")});
    // clang-format off
    const std::tuple<Lines, Request, double> requests[] = {{{"status", "--json"}, Request::Status{}, 5},
        {lock, Request::Lock{}, 5}, {{"unlock", "--reason", "x"}, Request::Unlock{{}, "x", 4242}, 120}};
    // clang-format on
    for (const auto& [args, request, timeout] : requests) {
        const Outcome run(args);
        EXPECT_TRUE(run.sent == std::vector{request} && run.timeouts[0] == timeout) << testing::PrintToString(args);
    }
}

TEST(CLI, UnlockArgumentsArePairsWhereTheLaterWinsAndDurationsAreHoursMinutesSeconds)
{
    using U = CLI::UnlockArguments;
    // clang-format off
    const std::pair<Lines, std::optional<U>> unlocks[] = {{{}, U{}},
        {{"--for", "2h", "--reason", "deploy"}, U{7200.0, "deploy"}}, {{"--for", "1h", "--for", "2h"}, U{7200.0, {}}},
        {{"--reason", "a", "--reason", "b"}, U{{}, "b"}}, {{"--reason", "--for"}, U{{}, "--for"}},
        {{"--for", "1000000h"}, U{10800.0, {}}}, {{"--for", "449s"}, U{900.0, {}}}, {{"--for"}, {}},
        {{"--for", "1h", "--for", "bad"}, {}}, {{"--json", "x"}, {}}, {{"--for", "1h", "extra", "x"}, {}}};
    const std::pair<std::string, std::optional<double>> durations[] = {{"2h", 7200}, {"90m", 5400}, {"45s", 45},
        {"0h0m0s", 0}, {"1h7m30s", 4050}, {"1h30s", 3630}, {"007m", 420}, {"1000000s", 1'000'000},
        {"1000000h", 3'600'000'000.0}, {"0000000000000000000001m", 60}, {"", {}}, {"1000001s", {}},
        {"99999999999999999999999h", {}}, {"h", {}}, {"1", {}}, {"1h30", {}}, {"1m1h", {}}, {"1h1h", {}}, {"1H", {}},
        {" 1h", {}}, {"1h ", {}}, {"1.5h", {}}, {"-1h", {}}, {"1d", {}}, {"\xd9\xa1h", {}}}; // U+0661 is no digit here
    // clang-format on
    for (const auto& [rest, expected] : unlocks) {
        EXPECT_EQ(CLI::parseUnlockArguments(rest), expected) << testing::PrintToString(rest);
    }
    for (const auto& [text, expected] : durations) {
        EXPECT_EQ(CLI::parseDuration(text), expected) << testing::PrintToString(text);
    }
}

TEST(CLI, StatusTextWithoutControlCharactersAndStatusJSONByteExact)
{
    // The text (none: not checked) and the JSON. Key names go in as they are, placeholders and all,
    // but no C0, DEL or C1 (U+009B is CSI) reaches the terminal. JSON keeps slashes, escapes quotes,
    // backslashes and control characters and turns invalid UTF-8 into U+FFFD.
    const auto json = [](std::string keys, std::string left, std::string state = "unlocked") {
        return R"({"keys":[)" + keys + R"(],"remaining_seconds":)" + left + R"(,"state":")" + state + "\"}";
    };
    // clang-format off
    const std::tuple<StatusReport, const char*, std::string> cases[] = {
        {{StatusState::locked, 600, {"stale"}}, "Locked", json(R"("stale")", "600", "locked")},
        {unlocked(5400, {"a", "w"}), "Unlocked, 1h 30m left: a, w", json(R"("a","w")", "5400")},
        {unlocked({}, {"~/k", "a\"b\\c\t"}), "Unlocked: ~/k, a\"b\\c\\x09", json(R"("~/k","a\"b\\c\t")", "null")},
        {unlocked({}, {"100%1", "bad\xff"}), "Unlocked: 100%1, bad\xff", json("\"100%1\",\"bad\xef\xbf\xbd\"", "null")},
        {unlocked({}, {"\x1b]\x07\r\n\x7f\xc2\x9b\xc2\xa0"}), "Unlocked: \\x1b]\\x07\\x0d\\x0a\\x7f\\u009b\xc2\xa0",
         json("\"\\u001b]\\u0007\\r\\n\x7f\xc2\x9b\xc2\xa0\"", "null")},
        {unlocked(INT64_MAX, {}), nullptr, json("", "9223372036854775807")}};
    // clang-format on
    i18n::setCurrentLanguage(Language::English);
    for (const auto& [report, text, expected] : cases) {
        EXPECT_EQ(text ? CLI::statusText(report) : "", text ? text : "");
        EXPECT_EQ(CLI::statusJSON(report), expected);
    }
}

TEST(LaunchIntent, SettingsOpenOnlyOnAnOrdinaryLaunch)
{
    // clang-format off
    const std::tuple<bool, Lines, bool, bool> cases[] = {{false, {}, false, true},
        {false, {"--autostart"}, false, true}, {false, {"-x", "--background", "y"}, false, false},
        {false, {"--background=1"}, false, true}, {true, {}, false, false}, {false, {}, true, false}};
    // clang-format on
    for (const auto& [loginItem, args, relaunched, expected] : cases) {
        EXPECT_EQ(LaunchIntent::showsSettingsAtLaunch(loginItem, args, relaunched), expected)
            << testing::PrintToString(args);
    }
}
