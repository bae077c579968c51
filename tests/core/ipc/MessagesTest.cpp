// The wire messages' JSON form (exact shapes, decoding rules, nesting too deep), the reading of
// askpass prompts and the socket path.
#include "ipc/Messages.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <pwd.h>
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
const auto request = [](const std::string& json) { return text(decodeRequest(j(json))); };
const auto response = [](const std::string& json) { return text(decodeResponse(j(json))); };
const auto secret = [](std::string_view value) { return SecretString(value); };
using Vars = std::vector<std::pair<std::string, std::string>>;
const auto envOf = [](const Vars& vars) {
    Environment env;
    std::ranges::for_each(vars, [&](const auto& var) { env.set(var.first, var.second); });
    return env;
};
using SU = Request::Unlock;
using Added = Response::AddedToAgent;
using RS = Response::Status;
constexpr auto kUnlocked = StatusState::unlocked, kLocked = StatusState::locked;

} // namespace

TEST(Messages, EncodeToExactShapesAndDecodeAnyEquivalentJSONRefusingTheRest)
{
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    // Exact text when given; each decodes back to itself unless refused or repaired.
    // clang-format off
    const std::pair<std::variant<Request, Response>, const char*> cases[] = {
        {Request::Passphrase{"/k", "/k:", 42}, "{'passphrase':{'keyPath':'\\/k','prompt':'\\/k:','callerPID':42}}"},
        {Request::Prompt{"\xc3\xa9\n", false, -1}, "{'prompt':{'text':'\xc3\xa9\\n','secret':false,'callerPID':-1}}"},
        {Request::Status{}, "{'status':{}}"}, {Request::Lock{}, "{'lock':{}}"}, {Response::Ok{}, "{'ok':{}}"},
        {SU{{}, {}, 12}, "{'unlock':{'callerPID':12}}"},
        {SU{3600.0, "deploy", 12}, "{'unlock':{'duration':3600,'reason':'deploy','callerPID':12}}"},
        {SU{0.1, "", 0}, "{'unlock':{'duration':0.1,'reason':'','callerPID':0}}"},
        {SU{1e300, {}, 5}, nullptr},
        {SU{inf, {}, 1}, "!invalid"},
        // Invalid UTF-8 is refused: a lossy repair would change the path or the passphrase.
        {Request::Passphrase{"/k\xff\xfe", "p", 1}, "!invalid"},
        {Response::Secret{secret("pw\xc3")}, "!invalid"},
        {Response::Secret{secret("p/w \"q\" \\ \n")}, "{'secret':{'_0':'p\\/w \\'q\\' \\\\ \\n'}}"},
        {Response::Answer{secret("yes")}, "{'answer':{'_0':'yes'}}"},
        {RS{{kUnlocked, 9, {"w/k"}}}, "{'status':{'_0':{'state':'unlocked','remaining_seconds':9,'keys':['w\\/k']}}}"},
        // A key file name that is not UTF-8 must not make the whole status report unsendable.
        {RS{{kLocked, {}, {"caf\xE9"}}}, "{'status':{'_0':{'state':'locked','keys':['caf\xEF\xBF\xBD']}}}"},
        {Response::Denied{DenialReason::snoozed}, "{'denied':{'reason':'snoozed'}}"},
        {Added{10800.0}, "{'addedToAgent':{'lifetime':10800}}"},
        {Added{-0.0}, "{'addedToAgent':{'lifetime':0}}"},
        {Added{nan}, "!invalid"}};
    // clang-format on
    for (const auto& [message, expected] : cases) {
        const auto encoded = std::visit([](const auto& m) { return text(encode(m)); }, message);
        EXPECT_EQ(encoded, expected ? j(expected) : encoded);
        const bool same = std::holds_alternative<Request>(message)
            ? decodeRequest(encoded) == std::get<Request>(message)
            : decodeResponse(encoded) == std::get<Response>(message);
        EXPECT_TRUE(same || encoded[0] == '!' || encoded.find("\xEF\xBF\xBD") != std::string::npos) << encoded;
    }
    // Decoding takes any equivalent JSON and refuses the rest.
    const auto pid
        = [](std::string v) { return "{'passphrase':{'keyPath':'\\/k','prompt':'p','callerPID':" + v + "}}"; };
    const auto unlock = [](std::string members) { return "{'unlock':{" + members + "'callerPID':3}}"; };
    const auto status = [](std::string report) { return "{'status':{'_0':" + report + "}}"; };
    const auto left
        = [&](std::string n) { return status("{'state':'unlocked','remaining_seconds':" + n + ",'keys':[]}"); };
    const auto prompt = [](std::string members) { return "{'prompt':{'text':'t'," + members + "'callerPID':3}}"; };
    // The decoder, the input and the canonical text of what it reads, or the kind of refusal.
    // clang-format off
    const std::tuple<std::string (*)(const std::string&), std::string, std::string> readings[] = {
        {request, "{'status':{},'lock':{}}", "!type"}, {request, "{}", "!type"}, {request, "{'status':null}", "!type"},
        {request, "{'status':{}}\0garbage"s, "!data"}, {request, pid("null"), "!key"}, {request, pid("'1'"), "!type"},
        {request, "{'passphrase':{'callerPID':1,'prompt':'p','extra':[1],'keyPath':'/k'}}", pid("1")},
        {request, "{'passphrase':{'keyPath':7,'prompt':'p','callerPID':1}}", "!type"},
        {request, pid("2147483647"), pid("2147483647")}, {request, pid("-2147483648"), pid("-2147483648")},
        {request, pid("2147483648"), "!data"}, {request, pid("-2147483649"), "!data"},
        {request, pid("1.2e1"), pid("12")}, {request, pid("12.5"), "!data"}, {request, pid("2147483648.0"), "!data"},
        {request, prompt("'secret':1,"), "!type"}, {request, prompt(""), "!key"},
        {request, unlock("'duration':null,'reason':null,"), unlock("")},
        {request, unlock("'duration':'3600',"), "!type"}, {request, unlock("'reason':5,"), "!type"},
        {response, "{'answer':{'_0':'a/b','other':1}}", "{'answer':{'_0':'a\\/b'}}"},
        {response, "{'secret':{'_0':null}}", "!key"}, {response, "{'secret':{'_0':1}}", "!type"},
        // Members in any order, null for absent, and only "unlocked" is unlocked.
        {response, status("{'keys':[],'remaining_seconds':null,'state':'x'}"), status("{'state':'locked','keys':[]}")},
        {response, left("-5"), left("-5")}, {response, left("9223372036854775807"), left("9223372036854775807")},
        {response, left("9223372036854775808"), "!data"}, {response, status("{'state':'unlocked'}"), "!key"},
        {response, status("{'state':'unlocked','keys':[1]}"), "!type"}, {response, status("[]"), "!type"},
        {response, "{'status':{}}", "!key"}, {response, "{'denied':{}}", "!key"},
        {response, "{'denied':{'reason':'whatever'}}", "{'denied':{'reason':'unavailable'}}"},
        {response, "{'addedToAgent':{'lifetime':false}}", "!type"}, {response, "{'addedToAgent':{}}", "!key"},
        {response, status("{'state':'x','keys':{}}"), "!type"}};
    // clang-format on
    for (const auto& [decode, json, expected] : readings) {
        EXPECT_EQ(decode(json), j(expected)) << json;
    }
    EXPECT_EQ(decodeRequest("{}").error().description, "Invalid number of keys found, expected one.");
}

TEST(Messages, DeepNestingIsRefusedBeforeItExhaustsTheStack)
{
    const auto repeat = [](std::string_view piece, int times) {
        std::string all;
        while (times-- > 0) {
            all += piece;
        }
        return all;
    };
    EXPECT_EQ(decodeRequest(repeat("[", 200000) + repeat("]", 200000)).error().kind, CodingError::Kind::dataCorrupted);
    EXPECT_FALSE(decodeRequest(j("{'status':{'x':" + repeat("{'x':", 100000) + "1" + repeat("}", 100002))));
    // Ordinary nesting is fine: closed brackets give their depth back, brackets in strings do not count.
    EXPECT_TRUE(decodeRequest(j("{'status':{'x':[" + repeat("[{}],", 100) + "'" + repeat("[", 100) + "']}}")));
}

TEST(AskpassPrompt, KeyPassphraseOrOtherPrompt)
{
    // Expected: the key path, or "+"/"-" for another prompt (secret or not) that keeps its text exactly.
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"Enter passphrase for key '/home/me/.ssh/id_ed25519': ", "/home/me/.ssh/id_ed25519"},
        {"Enter PIN for ECDSA-SK key /home/me/.ssh/id_ecdsa_sk: ", "+"},
        {"Enter passphrase for '':", "+"}, {"Enter passphrase for ':", "'"}, {"Enter passphrase for 'abc:", "'abc"},
        {"Enter passphrase for key '/k'", "+"},
        // Blanks around a prompt do not reach the key path, nor the keyword's end.
        {"\u00a0\u3000Enter passphrase for /k:\u2003\u0085\r\n\v\f", "/k"},
        {"PIN:  \n", "+"}, {" \n", "-"},
        // Keywords, lower-cased; the suffix rule matches inside a word.
        {"ENTER PASSWORD", "+"}, {"Spinning?", "-"},
        // Broken sequences at either end are characters, not blanks: they stay and stop the trim.
        {"\xff\xfe Password", "+"},
        {"Enter passphrase for /k:\x80\x80\x80\x80", "+"}, {"Enter passphrase for /k:\xc0\xa0", "+"}};
    // clang-format on
    for (const auto& [prompt, expected] : cases) {
        const bool other = expected == "+" || expected == "-";
        EXPECT_TRUE(AskpassPrompt::parse(prompt)
                    == (other ? AskpassPrompt::Kind(AskpassPrompt::Other{prompt, expected == "+"})
                              : AskpassPrompt::Kind(AskpassPrompt::Passphrase{expected})))
            << prompt;
    }
}

TEST(IPCPaths, SocketPathFromTheEnvironmentOrThePrivateSessionDirectory)
{
    // clang-format off
    const std::pair<Vars, fs::path> cases[] = {
        {{{"VANTORELLE_SOCKET", "/custom/s.sock"}, {"XDG_RUNTIME_DIR", "/run/user/1"}}, "/custom/s.sock"},
        {{{"VANTORELLE_SOCKET", "rel/s.sock"}}, fs::current_path() / "rel/s.sock"},
        {{{"XDG_RUNTIME_DIR", ""}, {"XDG_DATA_HOME", "/data"}, {"HOME", "/h"}}, "/data/vantorelle/c.sock"},
        {{{"XDG_DATA_HOME", ""}, {"XDG_RUNTIME_DIR", "rel"}, {"HOME", "/h"}}, "/h/.local/share/vantorelle/c.sock"}};
    // clang-format on
    for (const auto& [vars, expected] : cases) {
        EXPECT_EQ(IPCPaths::socket(envOf(vars), "/nonexistent-run-user"), expected);
    }
    // Without HOME the user's entry gives the home.
    const passwd* me = ::getpwuid(::geteuid());
    EXPECT_EQ(IPCPaths::socket(envOf({}), "/nonexistent"),
              fs::path(me ? me->pw_dir : "/") / ".local/share/vantorelle/c.sock");
    // Without XDG_RUNTIME_DIR (cron, su, sudo -u) the session's runtime directory is used while it is private.
    TempDir runUser("vtr");
    const auto mine = runUser.path() / std::to_string(::geteuid());
    const auto noRuntime = envOf({{"HOME", "/h"}, {"XDG_RUNTIME_DIR", ""}});
    fs::create_directory(mine);
    EXPECT_EQ(IPCPaths::socket(noRuntime, runUser.path()), mine / "vantorelle/c.sock");
    fs::permissions(mine, fs::perms::group_write, fs::perm_options::add);
    EXPECT_EQ(IPCPaths::socket(noRuntime, runUser.path()), "/h/.local/share/vantorelle/c.sock");
    if (::geteuid() == 0 && !::getpwuid(54321)) { // someone else's, and a user without an entry
        fs::permissions(mine, fs::perms::owner_all, fs::perm_options::replace);
        ASSERT_EQ(::chown(mine.c_str(), 54321, 54321), 0);
        EXPECT_EQ(IPCPaths::socket(noRuntime, runUser.path()), "/h/.local/share/vantorelle/c.sock");
        const pid_t child = ::fork();
        if (child == 0) {
            ::_exit(::setresuid(54321, 54321, 54321) == 0
                    && IPCPaths::socket(envOf({}), "/nonexistent") == "/.local/share/vantorelle/c.sock");
        }
        int status = 0;
        EXPECT_TRUE(::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 1);
    }
}
