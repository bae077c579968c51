// RequesterResolver::resolve over a process table built in the test: naming, kinds and the bounds
// of the walk; and the requester's JSON form.
#include "unlock/RequesterResolver.h"

#include <gtest/gtest.h>
#include <map>

namespace vantorelle {
namespace {

using Kind = Requester::Kind;
constexpr auto I = Kind::interactive, B = Kind::background, R = Kind::remote;

// "ssh+|zsh+|Terminal": pids 100, 101, ... each the child of the next; "+" marks a terminal.
struct Table
{
    explicit Table(std::string_view chain, std::int32_t pid = 100)
    {
        for (; !chain.empty(); ++pid) {
            std::string name(chain.substr(0, chain.find('|')));
            chain.remove_prefix(std::min(chain.size(), name.size() + 1));
            const bool tty = name.ends_with('+');
            processes[pid] = {pid, chain.empty() ? 0 : pid + 1, tty ? name.substr(0, name.size() - 1) : name, tty};
        }
    }
    Requester resolve(std::int32_t pid = 100, std::optional<std::string> reason = {})
    {
        return RequesterResolver::resolve(
            pid,
            [this](std::int32_t at) {
                ++lookups;
                return processes.contains(at) ? std::optional(processes.at(at)) : std::nullopt;
            },
            reason);
    }
    std::map<std::int32_t, ProcessInfoLite> processes;
    int lookups = 0;
};

TEST(ResolveTest, NamesAndClassifiesTheChain)
{
    // The requesting process first, then its ancestors; the reason given; who it resolves to.
    // clang-format off
    const std::tuple<const char*, const char*, Requester> cases[] = {
        {"", nullptr, {"ssh", B}}, // unknown pid
        {"", "Vantorelle", {"Vantorelle", B}}, {"ssh+|git+|zsh+|login+|Terminal", nullptr, {"git", I}},
        {"ssh+|zsh+|iTerm2", nullptr, {"ssh", I}}, {"ssh+|bash+|gnome-terminal-server|systemd", nullptr, {"ssh", I}},
        {"ssh|backup-agent|launchd", nullptr, {"ssh", B}},
        {"ssh|konsole", nullptr, {"ssh", I}}, // a terminal alone makes it interactive
        {"Alacritty", nullptr, {"Alacritty", I}}, {"ssh+|zsh+|sshd-session", nullptr, {"sshd", R}},
        {"ssh+|zsh+|sshd", "Vantorelle", {"sshd", R}}, // remote wins over a reason
        {"ssh|SSHD", nullptr, {"ssh", B}}, {"vantorelle-app|systemd", "Vantorelle", {"Vantorelle", I}},
        {"ssh+|zsh+|xterm|git", nullptr, {"ssh", I}}, // a tool above the terminal is not used
        {"ssh|git|Code Helper (Plugin)", nullptr, {"Visual Studio Code", B}},
        {"ssh+|Code Helper (Renderer)", nullptr, {"Visual Studio Code", I}},
        {"ssh|code", nullptr, {"Visual Studio Code", B}}, {"ssh|Electron", nullptr, {"Visual Studio Code", B}},
        {"ssh|git|Claude", nullptr, {"Claude Code", I}}, {"ssh|git|claude", nullptr, {"Claude Code", I}},
        {"ssh+|GhosttyApp", nullptr, {"ssh", I}}, {"GHOSTTY", nullptr, {"Ghostty", I}},
        {"ssh+|GIT+", nullptr, {"ssh", I}}, // tool names are case-sensitive
        {"ssh|rsync|zsh+", nullptr, {"rsync", I}},
        {"|x", nullptr, {"ssh", B}}, // empty name
        {"ssh|myterminal", nullptr, {"ssh", B}}, // a terminal's key must begin the name
        {"gnome-terminal-server", nullptr, {"GNOME Terminal", I}},
    };
    // clang-format on
    for (const auto& [chain, reason, expected] : cases) {
        EXPECT_EQ(Table(chain).resolve(100, reason ? std::optional<std::string>(reason) : std::nullopt), expected)
            << chain;
    }
}

TEST(ResolveTest, WalkEndsAtALoopAVanishedParentPidZeroOrTwentyProcesses)
{
    Table loop("ssh|helper|daemon");
    loop.processes[102].ppid = 100;
    EXPECT_EQ(loop.resolve(), (Requester{"ssh", B}));
    EXPECT_EQ(loop.lookups, 3);
    Table self("git");
    self.processes[100].ppid = 100;
    EXPECT_EQ(self.resolve(), (Requester{"git", B}));
    EXPECT_EQ(self.lookups, 1);
    Table orphan("git+");
    orphan.processes[100].ppid = 555;
    EXPECT_EQ(orphan.resolve(), (Requester{"git", I}));
    EXPECT_EQ(orphan.resolve(0), (Requester{"ssh", B}));

    std::string sh;
    for (int i = 0; i < 19; ++i) {
        sh += "sh|";
    }
    Table twentieth(sh + "sshd-session"); // the twentieth process still counts
    EXPECT_EQ(twentieth.resolve(), (Requester{"sshd", R}));
    Table beyond(sh + "sh|sshd|Terminal+|init|init|init");
    EXPECT_EQ(beyond.resolve(), (Requester{"sh", B}));
    EXPECT_EQ(beyond.lookups, 20);
}

TEST(RequesterTest, JSONFormRoundTripsAndRefusesAnythingElse)
{
    const Requester code{"Visual Studio Code", I};
    EXPECT_EQ(encodeRequester(code), R"({"displayName":"Visual Studio Code","kind":"interactive"})");
    for (const Requester& r : {code, Requester{"sshd", R}, Requester{"", B}, Requester{"say \"hi\" \\ é", B}}) {
        EXPECT_EQ(decodeRequester(encodeRequester(r)), r) << r.displayName;
    }
    // A process name that is not valid UTF-8 still encodes.
    EXPECT_EQ(decodeRequester(encodeRequester({"ab\xff", B})), (Requester{"ab\xEF\xBF\xBD", B}));
    EXPECT_EQ(decodeRequester(R"({"kind":"remote","displayName":"x","extra":[1]})"), (Requester{"x", R}));
    for (const std::string bad : {"", "null", "[]", "{", R"({"displayName":"x"})", R"({"kind":"remote"})",
                                  R"({"displayName":1,"kind":"remote"})", R"({"displayName":"x","kind":"Remote"})",
                                  R"({"displayName":"x","kind":"remote"} trailing)"}) {
        EXPECT_EQ(decodeRequester(bad), std::nullopt) << bad;
    }
}

} // namespace
} // namespace vantorelle
