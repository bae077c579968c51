// The JSON form of the wire messages: exact shapes, decoding rules and hostile input.
#include "ipc/Messages.h"

#include <gtest/gtest.h>
#include <random>

#include "ipc/IPCPaths.h"

using namespace vantorelle;

namespace {

using Kind = CodingError::Kind;

std::string encoded(const auto& value)
{
    auto text = encode(value);
    EXPECT_TRUE(text.has_value()) << (text ? "" : text.error().description);
    return text ? std::string(text->view()) : "<failed>";
}

SecretString secret(std::string_view text)
{
    return SecretString(text);
}

} // namespace

TEST(MessagesEncode, ExactShapes)
{
    struct Case
    {
        std::string expected;
        std::string actual;
    };
    const Case cases[] = {
        {R"({"passphrase":{"keyPath":"\/home\/u\/.ssh\/id_ed25519","prompt":"Enter passphrase for key '\/home\/u\/.ssh\/id_ed25519': ","callerPID":4242}})",
         encoded(Request(Request::Passphrase{"/home/u/.ssh/id_ed25519",
                                             "Enter passphrase for key '/home/u/.ssh/id_ed25519': ", 4242}))},
        {R"({"prompt":{"text":"Are you sure?","secret":false,"callerPID":7}})",
         encoded(Request(Request::Prompt{"Are you sure?", false, 7}))},
        {R"({"prompt":{"text":"PIN\n\r\n","secret":true,"callerPID":-1}})",
         encoded(Request(Request::Prompt{"PIN\n\r\n", true, -1}))},
        {R"({"status":{}})", encoded(Request(Request::Status{}))},
        {R"({"unlock":{"callerPID":12}})", encoded(Request(Request::Unlock{std::nullopt, std::nullopt, 12}))},
        {R"({"unlock":{"duration":3600,"reason":"deploy","callerPID":12}})",
         encoded(Request(Request::Unlock{3600.0, "deploy", 12}))},
        {R"({"unlock":{"duration":1.5,"callerPID":0}})", encoded(Request(Request::Unlock{1.5, std::nullopt, 0}))},
        {R"({"unlock":{"reason":"","callerPID":0}})", encoded(Request(Request::Unlock{std::nullopt, "", 0}))},
        {R"({"lock":{}})", encoded(Request(Request::Lock{}))},
        {R"({"secret":{"_0":"p\/w \"q\" \\ \n"}})", encoded(Response(Response::Secret{secret("p/w \"q\" \\ \n")}))},
        {R"({"answer":{"_0":"yes"}})", encoded(Response(Response::Answer{secret("yes")}))},
        {R"({"status":{"_0":{"state":"unlocked","remaining_seconds":3599,"keys":["id_ed25519","work\/key"]}}})",
         encoded(Response(Response::Status{{StatusState::unlocked, 3599, {"id_ed25519", "work/key"}}}))},
        {R"({"status":{"_0":{"state":"locked","keys":[]}}})",
         encoded(Response(Response::Status{{StatusState::locked, {}, {}}}))},
        {R"({"ok":{}})", encoded(Response(Response::Ok{}))},
        {R"({"denied":{"reason":"snoozed"}})", encoded(Response(Response::Denied{DenialReason::snoozed}))},
        {R"({"addedToAgent":{"lifetime":10800}})", encoded(Response(Response::AddedToAgent{10800.0}))},
        {R"({"addedToAgent":{"lifetime":-0.25}})", encoded(Response(Response::AddedToAgent{-0.25}))},
        {R"({"addedToAgent":{"lifetime":0}})", encoded(Response(Response::AddedToAgent{-0.0}))},
        {R"({"state":"locked","keys":[]})", encoded(StatusReport{StatusState::locked, {}, {}})},
        {R"({"state":"unlocked","remaining_seconds":-5,"keys":["a"]})",
         encoded(StatusReport{StatusState::unlocked, -5, {"a"}})},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.actual, c.expected);
    }
}

TEST(MessagesEncode, RefusesNonFiniteDoublesAndInvalidUtf8)
{
    for (const double bad : {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_EQ(encode(Request(Request::Unlock{bad, std::nullopt, 1})).error().kind, Kind::invalidValue);
        EXPECT_EQ(encode(Response(Response::AddedToAgent{bad})).error().kind, Kind::invalidValue);
    }
    EXPECT_EQ(encode(Request(Request::Passphrase{"/home/u/.ssh/k\xff\xfe", "p", 1})).error().kind, Kind::invalidValue);
    EXPECT_EQ(encode(Response(Response::Secret{secret("pw\xc3")})).error().kind, Kind::invalidValue);
    // Valid multi-byte text passes through as UTF-8.
    EXPECT_EQ(encoded(Request(Request::Prompt{"caf\xc3\xa9", false, 1})),
              "{\"prompt\":{\"text\":\"caf\xc3\xa9\",\"secret\":false,\"callerPID\":1}}");
}

TEST(WireWords, EveryCaseHasItsWordBothWays)
{
    const std::pair<DenialReason, std::string_view> reasons[] = {
        {DenialReason::cancelled, "cancelled"},   {DenialReason::snoozed, "snoozed"},
        {DenialReason::background, "background"}, {DenialReason::remote, "remote"},
        {DenialReason::timeout, "timeout"},       {DenialReason::unavailable, "unavailable"},
        {DenialReason::abandoned, "abandoned"},
    };
    for (const auto& [reason, word] : reasons) {
        EXPECT_EQ(wireWord(reason), word);
        EXPECT_EQ(denialReasonFromWire(word), reason) << word;
    }
    EXPECT_EQ(wireWord(StatusState::locked), "locked");
    EXPECT_EQ(wireWord(StatusState::unlocked), "unlocked");
    EXPECT_EQ(statusStateFromWire("unlocked"), StatusState::unlocked);
    for (const std::string_view unknown : {"", "Cancelled", "cancelled ", "Unlocked"}) {
        EXPECT_EQ(denialReasonFromWire(unknown), DenialReason::unavailable) << unknown;
        EXPECT_EQ(statusStateFromWire(unknown), StatusState::locked) << unknown;
    }
}

TEST(MessagesEncode, StatusReportNamesAreRepairedSoStatusAlwaysAnswers)
{
    // A key file name that is not UTF-8 must not make the whole status report unsendable.
    const StatusReport report{StatusState::unlocked, 60, {"caf\xE9", "ok"}};
    const auto text = encode(Response(Response::Status{report}));
    ASSERT_TRUE(text.has_value());
    const auto decoded = decodeResponse(text->view());
    ASSERT_TRUE(decoded.has_value());
    const StatusReport expected{StatusState::unlocked, 60, {"caf\xEF\xBF\xBD", "ok"}};
    EXPECT_EQ(Response(Response::Status{expected}), *decoded);
}

TEST(MessagesRoundTrip, EveryCaseSurvives)
{
    const Request requests[] = {
        Request::Passphrase{"/a/b/c", "Enter passphrase for /a/b/c: ", 2147483647},
        Request::Passphrase{"", "", -2147483647 - 1},
        Request::Prompt{"Allow? \\/ \"quoted\" \t\x01", true, 99},
        Request::Status{},
        Request::Unlock{0.1, "because / reasons", 5},
        Request::Unlock{1e300, std::nullopt, 5},
        Request::Unlock{std::nullopt, std::nullopt, 0},
        Request::Lock{},
    };
    for (const auto& request : requests) {
        const auto decoded = decodeRequest(encoded(request));
        ASSERT_TRUE(decoded.has_value()) << encoded(request) << ": " << decoded.error().description;
        EXPECT_EQ(*decoded, request) << encoded(request);
    }
    const Response responses[] = {
        Response::Secret{secret("s3cr/t")},
        Response::Answer{secret("")},
        Response::Status{{StatusState::unlocked, INT64_MAX, {"a/b", "c"}}},
        Response::Status{{StatusState::locked, INT64_MIN, {}}},
        Response::Ok{},
        Response::Denied{DenialReason::abandoned},
        Response::AddedToAgent{0.000123},
        Response::AddedToAgent{9007199254740993.0},
    };
    for (const auto& response : responses) {
        const auto decoded = decodeResponse(encoded(response));
        ASSERT_TRUE(decoded.has_value()) << encoded(response) << ": " << decoded.error().description;
        EXPECT_EQ(*decoded, response) << encoded(response);
    }
}

// ---- decoding ---------------------------------------------------------------------------------

struct RequestCase
{
    std::string_view json;
    std::optional<Request> expected; // nothing: must fail
    std::optional<Kind> failure = std::nullopt;
};

TEST(MessagesDecode, Requests)
{
    const RequestCase cases[] = {
        {R"({"status":{}})", Request::Status{}},
        {R"({"status":{},"version":2})", Request::Status{}},
        {R"({"status":{"x":1}})", Request::Status{}},
        {" \n{ \"lock\" : { } }\t", Request::Lock{}},
        {R"({"status":{},"lock":{}})", std::nullopt, Kind::typeMismatch},
        {R"({})", std::nullopt, Kind::typeMismatch},
        {R"({"version":1})", std::nullopt, Kind::typeMismatch},
        {R"({"status":null})", std::nullopt, Kind::typeMismatch},
        {R"({"status":[]})", std::nullopt, Kind::typeMismatch},
        {R"({"status":1})", std::nullopt, Kind::typeMismatch},
        {R"(["status"])", std::nullopt, Kind::typeMismatch},
        {R"("status")", std::nullopt, Kind::typeMismatch},
        {R"(null)", std::nullopt, Kind::typeMismatch},
        {R"()", std::nullopt, Kind::dataCorrupted},
        {R"({"status":{})", std::nullopt, Kind::dataCorrupted},
        {R"({"status":{}} trailing)", std::nullopt, Kind::dataCorrupted},
        {std::string_view("{\"status\":{}}\0garbage", 21), std::nullopt, Kind::dataCorrupted},
        {std::string_view("{\"status\":{}}\0", 14), std::nullopt, Kind::dataCorrupted},
        {std::string_view("{\"lock\":{\"x\":\"a\0b\"}}", 20), std::nullopt, Kind::dataCorrupted},
        {"{\"passphrase\":{\"keyPath\":\"k\xff\",\"prompt\":\"p\",\"callerPID\":1}}", std::nullopt,
         Kind::dataCorrupted},
        {R"({"Status":{}})", std::nullopt, Kind::typeMismatch},
        // passphrase
        {R"({"passphrase":{"callerPID":1,"prompt":"p","keyPath":"\/k"}})", Request::Passphrase{"/k", "p", 1}},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p","callerPID":1,"extra":[1,2]}})",
         Request::Passphrase{"/k", "p", 1}},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p"}})", std::nullopt, Kind::keyNotFound},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p","callerPID":null}})", std::nullopt, Kind::keyNotFound},
        {R"({"passphrase":{"prompt":"p","callerPID":1}})", std::nullopt, Kind::keyNotFound},
        {R"({"passphrase":{"keyPath":7,"prompt":"p","callerPID":1}})", std::nullopt, Kind::typeMismatch},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p","callerPID":"1"}})", std::nullopt, Kind::typeMismatch},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p","callerPID":true}})", std::nullopt, Kind::typeMismatch},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p","callerPID":2147483647}})",
         Request::Passphrase{"/k", "p", 2147483647}},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p","callerPID":-2147483648}})",
         Request::Passphrase{"/k", "p", -2147483647 - 1}},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p","callerPID":2147483648}})", std::nullopt, Kind::dataCorrupted},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p","callerPID":-2147483649}})", std::nullopt, Kind::dataCorrupted},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p","callerPID":18446744073709551616}})", std::nullopt,
         Kind::dataCorrupted},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p","callerPID":12.0}})", Request::Passphrase{"/k", "p", 12}},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p","callerPID":1.2e1}})", Request::Passphrase{"/k", "p", 12}},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p","callerPID":12.5}})", std::nullopt, Kind::dataCorrupted},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p","callerPID":2147483648.0}})", std::nullopt, Kind::dataCorrupted},
        {R"({"passphrase":{"keyPath":"/k","prompt":"p","callerPID":1e400}})", std::nullopt, Kind::dataCorrupted},
        // prompt
        {R"({"prompt":{"text":"t","secret":false,"callerPID":3}})", Request::Prompt{"t", false, 3}},
        {R"({"prompt":{"text":"t","secret":1,"callerPID":3}})", std::nullopt, Kind::typeMismatch},
        {R"({"prompt":{"text":"t","callerPID":3}})", std::nullopt, Kind::keyNotFound},
        // unlock: optionals absent or null
        {R"({"unlock":{"callerPID":3}})", Request::Unlock{std::nullopt, std::nullopt, 3}},
        {R"({"unlock":{"duration":null,"reason":null,"callerPID":3}})", Request::Unlock{std::nullopt, std::nullopt, 3}},
        {R"({"unlock":{"duration":3600,"callerPID":3}})", Request::Unlock{3600.0, std::nullopt, 3}},
        {R"({"unlock":{"duration":3600.0,"callerPID":3}})", Request::Unlock{3600.0, std::nullopt, 3}},
        {R"({"unlock":{"duration":-2.5e-1,"callerPID":3}})", Request::Unlock{-0.25, std::nullopt, 3}},
        {R"({"unlock":{"duration":"3600","callerPID":3}})", std::nullopt, Kind::typeMismatch},
        {R"({"unlock":{"reason":5,"callerPID":3}})", std::nullopt, Kind::typeMismatch},
        {R"({"unlock":{"reason":"r"}})", std::nullopt, Kind::keyNotFound},
        {R"({"lock":{"callerPID":3}})", Request::Lock{}},
    };
    for (const auto& c : cases) {
        const auto decoded = decodeRequest(c.json);
        if (c.expected) {
            ASSERT_TRUE(decoded.has_value()) << c.json << ": " << decoded.error().description;
            EXPECT_EQ(*decoded, *c.expected) << c.json;
        } else {
            ASSERT_FALSE(decoded.has_value()) << c.json;
            EXPECT_EQ(decoded.error().kind, *c.failure) << c.json << ": " << decoded.error().description;
        }
    }
}

TEST(MessagesDecode, InvalidNumberOfKeysHasTheExactDescription)
{
    for (const char* json : {R"({"status":{},"lock":{}})", R"({})", R"({"passphrase":{},"prompt":{},"x":1})"}) {
        EXPECT_EQ(decodeRequest(json).error().description, "Invalid number of keys found, expected one.");
    }
    EXPECT_EQ(decodeResponse(R"({"ok":{},"denied":{"reason":"x"}})").error().kind, Kind::typeMismatch);
}

TEST(MessagesDecode, Responses)
{
    struct Case
    {
        const char* json;
        std::optional<Response> expected;
    };
    const Case cases[] = {
        {R"({"secret":{"_0":"a\/b"}})", Response::Secret{secret("a/b")}},
        {R"({"answer":{"_0":"a/b","other":1}})", Response::Answer{secret("a/b")}},
        {R"({"secret":{}})", std::nullopt},
        {R"({"secret":{"_0":null}})", std::nullopt},
        {R"({"secret":{"_0":1}})", std::nullopt},
        {R"({"status":{"_0":{"state":"locked","keys":[]}}})",
         Response::Status{{StatusState::locked, std::nullopt, {}}}},
        {R"({"status":{"_0":{"keys":["k"],"remaining_seconds":null,"state":"unlocked"}}})",
         Response::Status{{StatusState::unlocked, std::nullopt, {"k"}}}},
        {R"({"status":{"_0":{"state":"unlocked","remaining_seconds":9223372036854775807,"keys":[]}}})",
         Response::Status{{StatusState::unlocked, INT64_MAX, {}}}},
        {R"({"status":{"_0":{"state":"unlocked","remaining_seconds":9223372036854775808,"keys":[]}}})", std::nullopt},
        {R"({"status":{"_0":{"state":"unlocked","remaining_seconds":1.5,"keys":[]}}})", std::nullopt},
        {R"({"status":{"_0":{"state":"unlocked","keys":[1]}}})", std::nullopt},
        {R"({"status":{"_0":{"state":"unlocked"}}})", std::nullopt},
        {R"({"status":{"_0":{"keys":[]}}})", std::nullopt},
        {R"({"status":{"_0":[]}})", std::nullopt},
        {R"({"status":{}})", std::nullopt},
        {R"({"ok":{}})", Response::Ok{}},
        {R"({"ok":null})", std::nullopt},
        {R"({"denied":{"reason":"whatever"}})", Response::Denied{DenialReason::unavailable}},
        {R"({"denied":{}})", std::nullopt},
        {R"({"addedToAgent":{"lifetime":3600}})", Response::AddedToAgent{3600}},
        {R"({"addedToAgent":{"lifetime":3600.5}})", Response::AddedToAgent{3600.5}},
        {R"({"addedToAgent":{"lifetime":false}})", std::nullopt},
        {R"({"addedToAgent":{}})", std::nullopt},
        {R"({"lock":{}})", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto decoded = decodeResponse(c.json);
        if (c.expected) {
            ASSERT_TRUE(decoded.has_value()) << c.json << ": " << decoded.error().description;
            EXPECT_EQ(*decoded, *c.expected) << c.json;
        } else {
            EXPECT_FALSE(decoded.has_value()) << c.json;
        }
    }
}

TEST(MessagesDecode, StatusReportOnItsOwn)
{
    const auto locked = decodeStatusReport(R"({"state":"locked","keys":[]})");
    ASSERT_TRUE(locked.has_value());
    EXPECT_EQ(*locked, (StatusReport{StatusState::locked, std::nullopt, {}}));
    const auto unknown = decodeStatusReport(R"({"state":"x","keys":["a"],"remaining_seconds":0,"more":{}})");
    ASSERT_TRUE(unknown.has_value());
    EXPECT_EQ(*unknown, (StatusReport{StatusState::locked, 0, {"a"}})); // only "unlocked" is unlocked
    EXPECT_EQ(decodeStatusReport(R"({"state":"x"})").error().kind, Kind::keyNotFound);
    EXPECT_EQ(decodeStatusReport(R"([])").error().kind, Kind::typeMismatch);
    EXPECT_EQ(decodeStatusReport(R"({"state":"x","keys":{}})").error().kind, Kind::typeMismatch);
}

TEST(MessagesDecode, HostileInputNeverThrowsOrCrashes)
{
    std::mt19937 random(20240601);
    const std::string seeds[] = {
        encoded(Request(Request::Passphrase{"/k/p", "prompt", 5})),
        encoded(Request(Request::Unlock{3600.0, "r", 5})),
        encoded(Response(Response::Status{{StatusState::unlocked, 5, {"a", "b"}}})),
        "{\"a\":[1,2,{\"b\":null}],\"c\":\"\\u00e9\\ud83d\\ude00\"}",
    };
    const std::string alphabet = "{}[]\":,\\/0123456789.eE+-truefalsnul _\x00\xff\xc3\n";
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        if (i % 3 == 0) {
            const auto length = random() % 64;
            for (unsigned j = 0; j < length; ++j) {
                text += static_cast<char>(random() & 0xff);
            }
        } else {
            text = seeds[random() % std::size(seeds)];
            const int edits = 1 + static_cast<int>(random() % 4);
            for (int e = 0; e < edits && !text.empty(); ++e) {
                const auto at = random() % text.size();
                const char c = alphabet[random() % alphabet.size()];
                text.replace(at, random() % 2, random() % 2 ? std::string(1, c) : std::string());
            }
        }
        EXPECT_NO_THROW({
            (void)decodeRequest(text);
            (void)decodeResponse(text);
            (void)decodeStatusReport(text);
        }) << text;
    }
}

TEST(MessagesDecode, DeepNestingIsRefusedWithoutExhaustingTheStack)
{
    const std::string deepArray = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_EQ(decodeRequest(deepArray).error().kind, Kind::dataCorrupted);
    std::string deepObject = R"({"status":{"x":)";
    for (int i = 0; i < 100000; ++i) {
        deepObject += R"({"x":)";
    }
    EXPECT_FALSE(decodeRequest(deepObject + "1" + std::string(100002, '}')).has_value());
    // Ordinary nesting inside an ignored member is fine, and closed brackets give their depth back.
    EXPECT_TRUE(decodeRequest(R"({"status":{"x":[[[[{"y":[1]}]]]]}})").has_value());
    std::string siblings;
    for (int i = 0; i < 100; ++i) {
        siblings += R"([{}],)";
    }
    EXPECT_TRUE(decodeRequest(R"({"status":{"x":[)" + siblings + "1]}}").has_value());
    // Brackets inside strings do not count.
    EXPECT_TRUE(
        decodeRequest(R"({"passphrase":{"keyPath":")" + std::string(1000, '[') + R"(","prompt":"p","callerPID":1}})")
            .has_value());
}

// ---- socket path ------------------------------------------------------------------------------

TEST(IPCPaths, SocketPathFromTheEnvironment)
{
    struct Case
    {
        std::vector<std::pair<std::string, std::string>> vars;
        std::filesystem::path expected;
    };
    const auto cwd = std::filesystem::current_path();
    const Case cases[] = {
        {{{"VANTORELLE_SOCKET", "/custom/s.sock"}, {"XDG_RUNTIME_DIR", "/run/user/1"}}, "/custom/s.sock"},
        {{{"VANTORELLE_SOCKET", "rel/s.sock"}}, cwd / "rel/s.sock"},
        {{{"VANTORELLE_SOCKET", ""}, {"XDG_RUNTIME_DIR", "/run/user/1"}, {"HOME", "/h"}},
         "/run/user/1/vantorelle/c.sock"},
        {{{"XDG_RUNTIME_DIR", ""}, {"XDG_DATA_HOME", "/data"}, {"HOME", "/h"}}, "/data/vantorelle/c.sock"},
        {{{"XDG_RUNTIME_DIR", "relative"}, {"HOME", "/h"}}, "/h/.local/share/vantorelle/c.sock"},
        {{{"XDG_DATA_HOME", ""}, {"HOME", "/h"}}, "/h/.local/share/vantorelle/c.sock"},
        {{{"HOME", "/h"}}, "/h/.local/share/vantorelle/c.sock"},
    };
    for (const auto& c : cases) {
        Environment env;
        for (const auto& [name, value] : c.vars) {
            env.set(name, value);
        }
        EXPECT_EQ(IPCPaths::socket(env, "/nonexistent-run-user"), c.expected) << c.expected;
    }
}

TEST(IPCPaths, ReadingThePathCreatesNothing)
{
    Environment env;
    env.set("XDG_RUNTIME_DIR", "/tmp/vantorelle-never-created-" + std::to_string(::getpid()));
    const auto path = IPCPaths::socket(env);
    EXPECT_FALSE(std::filesystem::exists(path.parent_path().parent_path()));
}
