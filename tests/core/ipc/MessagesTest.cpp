// The wire messages' JSON form (exact shapes, decoding rules, hostile input), the reading of
// askpass prompts and the socket path.
#include "ipc/Messages.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "ipc/AskpassPrompt.h"
#include "ipc/IPCPaths.h"
#include "support/TempDir.h"

using namespace vantorelle;
using namespace std::string_literals;
namespace fs = std::filesystem;

namespace {

// JSON written with ' for " so the tables stay readable.
const auto j = [](std::string text) { return std::ranges::replace(text, '\'', '"'), text; };
// The canonical text of a value, or "!kind" of the failure.
template <typename T> std::string text(const std::expected<T, CodingError>& value)
{
    constexpr const char* kinds[] = {"!type", "!key", "!data", "!invalid"};
    if (!value) {
        return kinds[static_cast<int>(value.error().kind)];
    }
    if constexpr (std::is_same_v<T, SecretString>) {
        return std::string(value->view());
    } else {
        return text(encode(*value));
    }
}
const auto secret = [](std::string_view value) { return SecretString(value); };
using Vars = std::vector<std::pair<std::string, std::string>>;
const auto envOf = [](const Vars& vars) {
    Environment env;
    std::ranges::for_each(vars, [&](const auto& var) { env.set(var.first, var.second); });
    return env;
};
using SU = Request::Unlock;
using SR = StatusReport;
constexpr auto kUnlocked = StatusState::unlocked, kLocked = StatusState::locked;

} // namespace

TEST(Messages, EncodeToExactShapesThatDecodeBack)
{
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    // clang-format off
    const std::pair<Request, const char*> requests[] = {
        {Request::Passphrase{"/u/id", "Enter passphrase for /u/id: ", 4242},
         "{'passphrase':{'keyPath':'\\/u\\/id','prompt':'Enter passphrase for \\/u\\/id: ','callerPID':4242}}"},
        {Request::Prompt{"Are you sure?", false, 7},
         "{'prompt':{'text':'Are you sure?','secret':false,'callerPID':7}}"},
        {Request::Prompt{"PIN\n\r\n", true, -1}, "{'prompt':{'text':'PIN\\n\\r\\n','secret':true,'callerPID':-1}}"},
        {Request::Prompt{"Allow? \\/ \"quoted\" \t\x01", true, 99}, nullptr},
        {Request::Prompt{"caf\xc3\xa9", false, 1}, "{'prompt':{'text':'caf\xc3\xa9','secret':false,'callerPID':1}}"},
        {Request::Status{}, "{'status':{}}"}, {Request::Lock{}, "{'lock':{}}"},
        {SU{{}, {}, 12}, "{'unlock':{'callerPID':12}}"},
        {SU{3600.0, "deploy", 12}, "{'unlock':{'duration':3600,'reason':'deploy','callerPID':12}}"},
        {SU{1.5, {}, 0}, "{'unlock':{'duration':1.5,'callerPID':0}}"},
        {SU{{}, "", 0}, "{'unlock':{'reason':'','callerPID':0}}"}, {SU{inf, {}, 1}, "!invalid"},
        {SU{-inf, {}, 1}, "!invalid"}, {SU{nan, {}, 1}, "!invalid"},
        // Invalid UTF-8 is refused: a lossy repair would change the path.
        {Request::Passphrase{"/k\xff\xfe", "p", 1}, "!invalid"}, {Request::Passphrase{"", "", INT32_MIN}, nullptr},
        {Request::Passphrase{"/a", "p", INT32_MAX}, nullptr}, {SU{0.1, "because / reasons", 5}, nullptr},
        {SU{1e300, {}, 5}, nullptr}};
    // clang-format on
    // Each has its exact text (when given) and decodes back to itself (unless refused or repaired).
    const auto check = [](const auto& value, const char* expected, auto decode) {
        const auto encoded = text(encode(value));
        EXPECT_EQ(encoded, expected ? j(expected) : encoded);
        EXPECT_TRUE(encoded[0] == '!' || encoded.find("\xEF\xBF\xBD") != std::string::npos || decode(encoded) == value)
            << encoded;
    };
    for (const auto& [request, expected] : requests) {
        check(request, expected, decodeRequest);
    }
    // clang-format off
    const std::pair<Response, const char*> responses[] = {
        {Response::Secret{secret("p/w \"q\" \\ \n")}, "{'secret':{'_0':'p\\/w \\'q\\' \\\\ \\n'}}"},
        {Response::Answer{secret("yes")}, "{'answer':{'_0':'yes'}}"}, {Response::Ok{}, "{'ok':{}}"},
        {Response::Status{{kUnlocked, 3599, {"id_ed25519", "work/key"}}},
         "{'status':{'_0':{'state':'unlocked','remaining_seconds':3599,'keys':['id_ed25519','work\\/key']}}}"},
        {Response::Status{{kLocked, {}, {}}}, "{'status':{'_0':{'state':'locked','keys':[]}}}"},
        // A key file name that is not UTF-8 must not make the whole status report unsendable.
        {Response::Status{{kUnlocked, 60, {"caf\xE9"}}},
         "{'status':{'_0':{'state':'unlocked','remaining_seconds':60,'keys':['caf\xEF\xBF\xBD']}}}"},
        {Response::Denied{DenialReason::snoozed}, "{'denied':{'reason':'snoozed'}}"},
        {Response::AddedToAgent{10800.0}, "{'addedToAgent':{'lifetime':10800}}"},
        {Response::AddedToAgent{-0.25}, "{'addedToAgent':{'lifetime':-0.25}}"},
        {Response::AddedToAgent{-0.0}, "{'addedToAgent':{'lifetime':0}}"}, {Response::AddedToAgent{inf}, "!invalid"},
        {Response::AddedToAgent{nan}, "!invalid"}, {Response::Secret{secret("pw\xc3")}, "!invalid"},
        {Response::Answer{secret("")}, nullptr}, {Response::Status{{kUnlocked, INT64_MAX, {"a/b", "c"}}}, nullptr},
        {Response::Status{{kLocked, INT64_MIN, {}}}, nullptr}, {Response::Denied{DenialReason::abandoned}, nullptr},
        {Response::AddedToAgent{0.000123}, nullptr}, {Response::AddedToAgent{9007199254740993.0}, nullptr}};
    // clang-format on
    for (const auto& [response, expected] : responses) {
        check(response, expected, decodeResponse);
    }
    EXPECT_EQ(text(encode(SR{kUnlocked, -5, {"a"}})), j("{'state':'unlocked','remaining_seconds':-5,'keys':['a']}"));
}

TEST(Messages, WireWordsBothWaysAndUnknownWords)
{
    const char* words[] = {"cancelled", "snoozed", "background", "remote", "timeout", "unavailable", "abandoned"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(wireWord(DenialReason(i)), words[i]);
        EXPECT_EQ(denialReasonFromWire(words[i]), DenialReason(i));
    }
    for (const std::string_view unknown : {"", "Cancelled", "cancelled ", "Unlocked"}) {
        EXPECT_EQ(denialReasonFromWire(unknown), DenialReason::unavailable) << unknown;
        EXPECT_EQ(statusStateFromWire(unknown), kLocked) << unknown;
    }
}

TEST(Messages, DecodeTakesAnyEquivalentJSONAndRefusesTheRest)
{
    const auto pid
        = [](std::string value) { return "{'passphrase':{'keyPath':'\\/k','prompt':'p','callerPID':" + value + "}}"; };
    const auto unlock = [](std::string members) { return "{'unlock':{" + members + "'callerPID':3}}"; };
    // clang-format off
    const std::pair<std::string, std::string> requests[] = {{"{'status':{},'version':2}", "{'status':{}}"},
        {"{'status':{'x':1}}", "{'status':{}}"}, {" \n{ 'lock' : { } }\t", "{'lock':{}}"},
        {"{'lock':{'callerPID':3}}", "{'lock':{}}"}, {"{'status':{},'lock':{}}", "!type"}, {"{}", "!type"},
        {"{'version':1}", "!type"}, {"{'status':null}", "!type"}, {"{'status':[]}", "!type"}, {"{'status':1}", "!type"},
        {"['status']", "!type"}, {"'status'", "!type"}, {"null", "!type"}, {"{'Status':{}}", "!type"}, {"", "!data"},
        {"{'status':{}", "!data"}, {"{'status':{}} trailing", "!data"},
        {std::string("{'status':{}}\0garbage", 21), "!data"}, {std::string("{'status':{}}\0", 14), "!data"},
        {std::string("{'lock':{'x':'a\0b'}}", 20), "!data"},
        {"{'passphrase':{'keyPath':'k\xff','prompt':'p','callerPID':1}}", "!data"},
        {"{'passphrase':{'callerPID':1,'prompt':'p','keyPath':'/k'}}", pid("1")},
        {"{'passphrase':{'keyPath':'/k','prompt':'p','callerPID':1,'extra':[1,2]}}", pid("1")},
        {"{'passphrase':{'keyPath':'/k','prompt':'p'}}", "!key"}, {pid("null"), "!key"},
        {"{'passphrase':{'prompt':'p','callerPID':1}}", "!key"},
        {"{'passphrase':{'keyPath':7,'prompt':'p','callerPID':1}}", "!type"}, {pid("'1'"), "!type"},
        {pid("true"), "!type"}, {pid("2147483647"), pid("2147483647")}, {pid("-2147483648"), pid("-2147483648")},
        {pid("2147483648"), "!data"}, {pid("-2147483649"), "!data"}, {pid("18446744073709551616"), "!data"},
        {pid("12.0"), pid("12")}, {pid("1.2e1"), pid("12")}, {pid("12.5"), "!data"}, {pid("2147483648.0"), "!data"},
        {pid("1e400"), "!data"}, {"{'prompt':{'text':'t','secret':false,'callerPID':3}}",
         "{'prompt':{'text':'t','secret':false,'callerPID':3}}"},
        {"{'prompt':{'text':'t','secret':1,'callerPID':3}}", "!type"},
        {"{'prompt':{'text':'t','callerPID':3}}", "!key"}, {unlock("'duration':null,'reason':null,"), unlock("")},
        {unlock("'duration':3600.0,"), unlock("'duration':3600,")},
        {unlock("'duration':-2.5e-1,"), unlock("'duration':-0.25,")}, {unlock("'duration':'3600',"), "!type"},
        {unlock("'reason':5,"), "!type"}, {"{'unlock':{'reason':'r'}}", "!key"}};
    // clang-format on
    for (const auto& [json, expected] : requests) {
        EXPECT_EQ(text(decodeRequest(j(json))), j(expected)) << json;
    }
    for (const char* json : {"{'status':{},'lock':{}}", "{}", "{'passphrase':{},'prompt':{},'x':1}"}) {
        EXPECT_EQ(decodeRequest(j(json)).error().description, "Invalid number of keys found, expected one.");
    }
    const auto status = [](std::string report) { return "{'status':{'_0':" + report + "}}"; };
    // clang-format off
    const std::pair<std::string, std::string> responses[] = {{"{'secret':{'_0':'a\\/b'}}", "{'secret':{'_0':'a\\/b'}}"},
        {"{'answer':{'_0':'a/b','other':1}}", "{'answer':{'_0':'a\\/b'}}"}, {"{'secret':{}}", "!"},
        {"{'secret':{'_0':null}}", "!"}, {"{'secret':{'_0':1}}", "!"}, {"{'ok':{},'denied':{'reason':'x'}}", "!type"},
        {status("{'keys':['k'],'remaining_seconds':null,'state':'unlocked'}"),
         status("{'state':'unlocked','keys':['k']}")},
        {status("{'state':'unlocked','remaining_seconds':9223372036854775807,'keys':[]}"),
         status("{'state':'unlocked','remaining_seconds':9223372036854775807,'keys':[]}")},
        {status("{'state':'unlocked','remaining_seconds':9223372036854775808,'keys':[]}"), "!"},
        {status("{'state':'unlocked','remaining_seconds':1.5,'keys':[]}"), "!"},
        {status("{'state':'unlocked','keys':[1]}"), "!"}, {status("{'state':'unlocked'}"), "!"},
        {status("{'keys':[]}"), "!"}, {status("[]"), "!"}, {"{'status':{}}", "!"}, {"{'ok':null}", "!"},
        {"{'denied':{'reason':'whatever'}}", "{'denied':{'reason':'unavailable'}}"}, {"{'denied':{}}", "!"},
        {"{'addedToAgent':{'lifetime':3600.5}}", "{'addedToAgent':{'lifetime':3600.5}}"},
        {"{'addedToAgent':{'lifetime':false}}", "!"}, {"{'addedToAgent':{}}", "!"}, {"{'lock':{}}", "!"}};
    // clang-format on
    for (const auto& [json, expected] : responses) {
        const auto got = text(decodeResponse(j(json)));
        EXPECT_EQ(expected == "!" ? got.substr(0, 1) : got, j(expected)) << json;
    }
    // clang-format off
    const std::pair<const char*, const char*> reports[] = {
        {"{'state':'locked','keys':[]}", "{'state':'locked','keys':[]}"},
        // only "unlocked" is unlocked:
        {"{'state':'x','keys':['a'],'remaining_seconds':0,'more':{}}",
         "{'state':'locked','remaining_seconds':0,'keys':['a']}"},
        {"{'state':'x'}", "!key"}, {"[]", "!type"}, {"{'state':'x','keys':{}}", "!type"}};
    // clang-format on
    for (const auto& [json, expected] : reports) {
        EXPECT_EQ(text(decodeStatusReport(j(json))), j(expected)) << json;
    }
}

TEST(Messages, HostileInputNeverThrowsNorExhaustsTheStack)
{
    const auto repeat = [](std::string_view piece, int times) {
        std::string all;
        while (times-- > 0) {
            all += piece;
        }
        return all;
    };
    // Truncations, broken escapes and surrogates, bytes that are no UTF-8, numbers out of range, stray commas.
    // clang-format off
    const std::string inputs[] = {"", "{", "}", "[", "'", "'\\", "'\\u12'", "'\\ud83d'", "'\\udc00x'", "'\\q'", "\xff\xfe",
        "\0"s, "{'status':{}\0}"s, "-", "1e99999", "-0e-", "01", "{'a':}", "{,}", "[1,]", "tru", "nul", "{'lock':{}}}",
        "{'status':{'_0':{'state':", "{'status':{'_0':{'state':'unlocked','remaining_seconds':1e999,'keys':[]}}}",
        "{'passphrase':{'keyPath':'\\/k','prompt':'p','callerPID':5", "{'secret':{'_0':'\xc3'}}"};
    // clang-format on
    for (std::string input : inputs) {
        input = j(input);
        EXPECT_NO_THROW((void)decodeRequest(input); (void)decodeResponse(input); (void)decodeStatusReport(input))
            << input;
    }
    EXPECT_EQ(decodeRequest(repeat("[", 200000) + repeat("]", 200000)).error().kind, CodingError::Kind::dataCorrupted);
    EXPECT_FALSE(decodeRequest(j("{'status':{'x':" + repeat("{'x':", 100000) + "1" + repeat("}", 100002))));
    // Ordinary nesting is fine, closed brackets give their depth back, brackets in strings do not count.
    for (const std::string& json :
         {"{'status':{'x':[[[[{'y':[1]}]]]]}}"s, "{'status':{'x':[" + repeat("[{}],", 100) + "1]}}",
          "{'passphrase':{'keyPath':'" + repeat("[", 1000) + "','prompt':'p','callerPID':1}}"}) {
        EXPECT_TRUE(decodeRequest(j(json)).has_value()) << json.substr(0, 40);
    }
}

TEST(AskpassPrompt, KeyPassphraseOrOtherPrompt)
{
    // Expected: the key path, or "+"/"-" for another prompt (secret or not) that keeps its text exactly.
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"Enter passphrase for key '/home/me/.ssh/id_ed25519': ", "/home/me/.ssh/id_ed25519"},
        {"Enter passphrase for /home/me/.ssh/id_rsa: ", "/home/me/.ssh/id_rsa"}, {"Password:", "+"}, {"PIN:", "+"},
        {"Enter PIN for ECDSA-SK key /home/me/.ssh/id_ecdsa_sk: ", "+"},
        {"Are you sure you want to continue connecting (yes/no/[fingerprint])? ", "-"},
        {"Enter passphrase for '':", "+"}, {"Enter passphrase for key '':", "+"},
        {"Bad passphrase, try again for /home/me/.ssh/id_rsa: ", "+"},
        // Blanks around a passphrase prompt do not reach the key path.
        {"  \t Enter passphrase for key '/k': \n", "/k"}, {"Enter passphrase for /k:\u2000\t", "/k"},
        {"\u00a0\u3000Enter passphrase for /k:\u2003\u0085\r\n\v\f", "/k"}, {"  Password: \n", "+"},
        {"Enter passphrase for key '/k'", "+"}, {"Enter passphrase for key 'a b':", "a b"},
        {"Enter passphrase for \"/k\":", "\"/k\""}, {"Enter passphrase for ':", "'"},
        {"Enter passphrase for 'abc:", "'abc"}, {"Enter passphrase for :", "+"},
        {"Enter passphrase for Key '/k':", "Key '/k'"}, {"Enter passphrase for key :", "+"},
        {"Enter passphrase for /a:b:", "/a:b"}, {"enter passphrase for /k:", "+"},
        {"Enter passphrase for key '/home/zoë/.ssh/clé':", "/home/zoë/.ssh/clé"},
        // Keywords, lower-cased; the suffix rule matches inside a word.
        {"ENTER PASSWORD", "+"}, {"Your pin please", "+"}, {"Spinning?", "-"}, {"Please spin:", "+"},
        {"Please spin: now", "-"}, {"PIN:  \n", "+"}, {"", "-"}, {" \n", "-"}, {"\xff\xfe Password", "+"},
        // Broken sequences at either end are characters, not blanks: they stay and stop the trim.
        {"Enter passphrase for /k:\xe2\x80", "+"}, {"Enter passphrase for /k:\x80\x80\x80\x80", "+"},
        {"\xe3\x80" "Enter passphrase for /k:", "+"}, {"Enter passphrase for /k:\xc0\xa0", "+"},
        {"Enter passphrase for /k\xff:", "/k\xff"}};
    // clang-format on
    for (const auto& [prompt, expected] : cases) {
        const bool other = expected == "+" || expected == "-";
        EXPECT_TRUE(AskpassPrompt::parse(prompt)
                    == (other ? AskpassPrompt::Kind(AskpassPrompt::Other{prompt, expected == "+"})
                              : AskpassPrompt::Kind(AskpassPrompt::Passphrase{expected})))
            << prompt;
    }
}

TEST(IPCPaths, SocketPathFromTheEnvironmentOrThePrivateSessionDirectoryCreatingNothing)
{
    const auto cwd = std::filesystem::current_path();
    // clang-format off
    const std::pair<Vars, std::filesystem::path> cases[] = {
        {{{"VANTORELLE_SOCKET", "/custom/s.sock"}, {"XDG_RUNTIME_DIR", "/run/user/1"}}, "/custom/s.sock"},
        {{{"VANTORELLE_SOCKET", "rel/s.sock"}}, cwd / "rel/s.sock"},
        {{{"VANTORELLE_SOCKET", ""}, {"XDG_RUNTIME_DIR", "/run/user/1"}, {"HOME", "/h"}},
         "/run/user/1/vantorelle/c.sock"},
        {{{"XDG_RUNTIME_DIR", ""}, {"XDG_DATA_HOME", "/data"}, {"HOME", "/h"}}, "/data/vantorelle/c.sock"},
        {{{"XDG_RUNTIME_DIR", "relative"}, {"HOME", "/h"}}, "/h/.local/share/vantorelle/c.sock"},
        {{{"XDG_DATA_HOME", ""}, {"HOME", "/h"}}, "/h/.local/share/vantorelle/c.sock"},
        {{{"HOME", "/h"}}, "/h/.local/share/vantorelle/c.sock"}};
    // clang-format on
    for (const auto& [vars, expected] : cases) {
        EXPECT_EQ(IPCPaths::socket(envOf(vars), "/nonexistent-run-user"), expected);
    }
    // Without HOME the user's entry gives the home; a user without one gets the root directory.
    const passwd* me = ::getpwuid(::geteuid());
    const fs::path home = me ? me->pw_dir : "/";
    EXPECT_EQ(IPCPaths::socket(envOf({}), "/nonexistent"), home / ".local/share/vantorelle/c.sock");
    if (::geteuid() == 0 && !::getpwuid(54321)) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::_exit(::setresuid(54321, 54321, 54321) == 0
                    && IPCPaths::socket(envOf({}), "/nonexistent") == "/.local/share/vantorelle/c.sock");
        }
        int status = 0;
        EXPECT_TRUE(::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 1);
    }
    const auto runtime = "/tmp/vantorelle-never-created-" + std::to_string(::getpid());
    EXPECT_EQ(IPCPaths::socket(envOf({{"XDG_RUNTIME_DIR", runtime}})), runtime + "/vantorelle/c.sock");
    EXPECT_FALSE(std::filesystem::exists(runtime));
    // Without XDG_RUNTIME_DIR (cron, su, sudo -u) the session's runtime directory is used when it is private.
    TempDir runUser("vtr");
    const auto mine = runUser.path() / std::to_string(::geteuid());
    const std::filesystem::path fallback = "/h/.local/share/vantorelle/c.sock";
    const passwd* nobody = ::getpwnam("nobody");
    // The directory's mode (0: none) and owner.
    // clang-format off
    std::vector<std::tuple<mode_t, uid_t, std::filesystem::path>> dirs {{0, ::geteuid(), fallback},
        {0700, ::geteuid(), mine / "vantorelle/c.sock"}, {0770, ::geteuid(), fallback}, {0777, ::geteuid(), fallback}};
    // clang-format on
    if (::geteuid() == 0 && nobody) {
        dirs.emplace_back(0700, nobody->pw_uid, fallback);
    }
    for (const auto& [mode, owner, expected] : dirs) {
        std::filesystem::remove_all(mine);
        if (mode) {
            std::filesystem::create_directory(mine);
            ASSERT_EQ(::chmod(mine.c_str(), mode), 0);
            ASSERT_EQ(::chown(mine.c_str(), owner, static_cast<gid_t>(-1)), 0);
        }
        for (const auto& vars : {Vars{{"HOME", "/h"}}, Vars{{"HOME", "/h"}, {"XDG_RUNTIME_DIR", ""}}}) {
            EXPECT_EQ(IPCPaths::socket(envOf(vars), runUser.path()), expected) << mode << " " << owner;
        }
    }
}
