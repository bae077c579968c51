// RequesterResolver::resolve over a fake process table: naming, kinds and the bounds of the walk.
#include "unlock/RequesterResolver.h"

#include <gtest/gtest.h>

#include "fakes/FakeProcessTable.h"

namespace vantorelle {
namespace {

using Kind = Requester::Kind;
using Entry = FakeProcessTable::Entry;

struct Case
{
    const char* label;
    std::vector<Entry> chain; // requesting process first, then its ancestors
    std::optional<std::string> reason;
    Requester expected;
};

class ResolveTest : public ::testing::TestWithParam<Case>
{
};

TEST_P(ResolveTest, NamesAndClassifiesTheChain)
{
    const Case& c = GetParam();
    FakeProcessTable table;
    const std::int32_t pid = c.chain.empty() ? 4242 : table.chain(100, c.chain);
    EXPECT_EQ(RequesterResolver::resolve(pid, std::ref(table), c.reason), c.expected) << c.label;
}

const Entry login{"login", true};
const Entry zsh{"zsh", true};
const Entry ssh{"ssh", true};

INSTANTIATE_TEST_SUITE_P(
    Chains, ResolveTest,
    ::testing::Values(
        Case{"unknown pid", {}, std::nullopt, {"ssh", Kind::background}},
        Case{"unknown pid with a reason", {}, "Vantorelle", {"Vantorelle", Kind::background}},
        Case{"git in a shell in Terminal",
             {ssh, {"git", true}, zsh, login, {"Terminal", false}},
             std::nullopt,
             {"git", Kind::interactive}},
        Case{"ssh typed in iTerm2", {ssh, zsh, {"iTerm2", false}}, std::nullopt, {"ssh", Kind::interactive}},
        Case{"ssh typed in GNOME Terminal",
             {ssh, {"bash", true}, {"gnome-terminal-server", false}, {"systemd", false}},
             std::nullopt,
             {"ssh", Kind::interactive}},
        Case{"login item without terminal",
             {{"ssh", false}, {"backup-agent", false}, {"launchd", false}},
             std::nullopt,
             {"ssh", Kind::background}},
        Case{"terminal alone makes it interactive",
             {{"ssh", false}, {"konsole", false}},
             std::nullopt,
             {"ssh", Kind::interactive}},
        Case{"requester is itself a terminal", {{"Alacritty", false}}, std::nullopt, {"Alacritty", Kind::interactive}},
        Case{"per-session sshd", {ssh, zsh, {"sshd-session", false}}, std::nullopt, {"sshd", Kind::remote}},
        Case{"sshd wins over a reason", {ssh, zsh, {"sshd", false}}, "Vantorelle", {"sshd", Kind::remote}},
        Case{
            "sshd match is case-sensitive", {{"ssh", false}, {"SSHD", false}}, std::nullopt, {"ssh", Kind::background}},
        Case{"reason names an interactive requester",
             {{"vantorelle-app", false}, {"systemd", false}},
             "Vantorelle",
             {"Vantorelle", Kind::interactive}},
        Case{"tool above the terminal is not used",
             {ssh, zsh, {"xterm", false}, {"git", false}},
             std::nullopt,
             {"ssh", Kind::interactive}},
        Case{"VS Code helper, no terminal",
             {{"ssh", false}, {"git", false}, {"Code Helper (Plugin)", false}},
             std::nullopt,
             {"Visual Studio Code", Kind::background}},
        Case{"VS Code helper with a tty",
             {ssh, {"Code Helper (Renderer)", false}},
             std::nullopt,
             {"Visual Studio Code", Kind::interactive}},
        Case{"VS Code on Linux",
             {{"ssh", false}, {"code", false}},
             std::nullopt,
             {"Visual Studio Code", Kind::background}},
        Case{"Electron", {{"ssh", false}, {"Electron", false}}, std::nullopt, {"Visual Studio Code", Kind::background}},
        Case{"Claude is interactive even without a tty",
             {{"ssh", false}, {"git", false}, {"Claude", false}},
             std::nullopt,
             {"Claude Code", Kind::interactive}},
        Case{"editor beats a tool below it",
             {{"ssh", false}, {"git", false}, {"claude", false}},
             std::nullopt,
             {"Claude Code", Kind::interactive}},
        Case{"Ghostty in any case is a terminal",
             {ssh, {"GhosttyApp", false}},
             std::nullopt,
             {"ssh", Kind::interactive}},
        Case{"Ghostty as the requester", {{"GHOSTTY", false}}, std::nullopt, {"Ghostty", Kind::interactive}},
        Case{"tool names are case-sensitive", {ssh, {"GIT", true}}, std::nullopt, {"ssh", Kind::interactive}},
        Case{"rsync", {{"ssh", false}, {"rsync", false}, zsh}, std::nullopt, {"rsync", Kind::interactive}},
        Case{"empty name", {{"", false}}, std::nullopt, {"ssh", Kind::background}},
        Case{"a terminal's key must begin the name",
             {{"ssh", false}, {"myterminal", false}},
             std::nullopt,
             {"ssh", Kind::background}},
        Case{"a terminal is named by its row",
             {{"gnome-terminal-server", false}},
             std::nullopt,
             {"GNOME Terminal", Kind::interactive}}),
    [](const ::testing::TestParamInfo<Case>& param) { return "case" + std::to_string(param.index); });

TEST(ResolveWalkTest, LoopEndsAtTheRepeat)
{
    FakeProcessTable table;
    table.processes[10] = {10, 11, "ssh", false};
    table.processes[11] = {11, 12, "helper", false};
    table.processes[12] = {12, 10, "daemon", false};
    EXPECT_EQ(RequesterResolver::resolve(10, std::ref(table), std::nullopt), (Requester{"ssh", Kind::background}));
    EXPECT_EQ(table.lookups, 3);

    // A process that names itself as its parent.
    FakeProcessTable self;
    self.processes[7] = {7, 7, "git", false};
    EXPECT_EQ(RequesterResolver::resolve(7, std::ref(self), std::nullopt), (Requester{"git", Kind::background}));
    EXPECT_EQ(self.lookups, 1);
}

TEST(ResolveWalkTest, WalkStopsAfterTwentyProcesses)
{
    // 25 processes; only the 21st and above would make it remote or interactive.
    std::vector<Entry> entries(20, Entry{"sh", false});
    entries.push_back({"sshd", false});
    entries.push_back({"Terminal", true});
    entries.resize(25, Entry{"init", false});
    FakeProcessTable table;
    const std::int32_t pid = table.chain(500, entries);
    EXPECT_EQ(RequesterResolver::resolve(pid, std::ref(table), std::nullopt), (Requester{"sh", Kind::background}));
    EXPECT_EQ(table.lookups, 20);

    // The twentieth process still counts.
    std::vector<Entry> twenty(19, Entry{"sh", false});
    twenty.push_back({"sshd-session", false});
    FakeProcessTable shorter;
    EXPECT_EQ(RequesterResolver::resolve(shorter.chain(900, twenty), std::ref(shorter), std::nullopt),
              (Requester{"sshd", Kind::remote}));
}

TEST(ResolveWalkTest, VanishedAncestorOrZeroPidEndsTheWalkWithWhatWasGathered)
{
    FakeProcessTable table;
    table.processes[10] = {10, 11, "git", true}; // parent 11 is gone
    EXPECT_EQ(RequesterResolver::resolve(10, std::ref(table), std::nullopt), (Requester{"git", Kind::interactive}));
    EXPECT_EQ(RequesterResolver::resolve(0, std::ref(table), std::nullopt), (Requester{"ssh", Kind::background}));
}

TEST(RequesterTest, JSONFormRoundTripsAndRefusesAnythingElse)
{
    const Requester code{"Visual Studio Code", Kind::interactive};
    EXPECT_EQ(encodeRequester(code), R"({"displayName":"Visual Studio Code","kind":"interactive"})");
    for (const Requester& r : {code, Requester{"sshd", Kind::remote}, Requester{"", Kind::background},
                               Requester{"say \"hi\" \\ é", Kind::background}}) {
        EXPECT_EQ(decodeRequester(encodeRequester(r)), r) << r.displayName;
    }
    // A process name that is not valid UTF-8 still encodes.
    EXPECT_EQ(decodeRequester(encodeRequester({"ab\xff", Kind::background})),
              (Requester{"ab\xEF\xBF\xBD", Kind::background}));
    EXPECT_EQ(decodeRequester(R"({"kind":"remote","displayName":"x","extra":[1]})"), (Requester{"x", Kind::remote}));

    for (const std::string& bad :
         std::vector<std::string>{"", "null", "[]", "{", R"({"displayName":"x"})", R"({"kind":"remote"})",
                                  R"({"displayName":1,"kind":"remote"})", R"({"displayName":"x","kind":"Remote"})",
                                  R"({"displayName":"x","kind":"remote"} trailing)"}) {
        EXPECT_EQ(decodeRequester(bad), std::nullopt) << bad.substr(0, 40);
    }
}

} // namespace
} // namespace vantorelle
