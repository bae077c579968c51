// RequesterResolver::resolve over a process table built in the test: naming, kinds and the bounds
// of the walk.
#include "unlock/RequesterResolver.h"

#include <gtest/gtest.h>
#include <map>
#include <regex>

namespace vantorelle {
namespace {

using Kind = Requester::Kind;
constexpr auto I = Kind::interactive, B = Kind::background, R = Kind::remote;

// "ssh+|zsh+|Terminal": pids 100, 101, ... each the child of the next; "+" marks a terminal.
// Resolves pid 100 and counts the lookups; `parent` re-links one process.
Requester resolve(std::string_view chain, const char* reason = nullptr, std::pair<int, int> parent = {},
                  int* lookups = nullptr)
{
    std::map<std::int32_t, ProcessInfoLite> processes;
    for (std::int32_t pid = 100; !chain.empty(); ++pid) {
        const std::string name(chain.substr(0, chain.find('|')));
        chain.remove_prefix(std::min(chain.size(), name.size() + 1));
        processes[pid] = {pid, chain.empty() ? 0 : pid + 1, name.substr(0, name.find('+')), name.ends_with('+')};
    }
    if (parent.first) {
        processes[parent.first].ppid = parent.second;
    }
    const auto table = [&](std::int32_t pid) {
        lookups && ++*lookups;
        return processes.contains(pid) ? std::optional(processes.at(pid)) : std::nullopt;
    };
    return RequesterResolver::resolve(100, table, reason ? std::optional<std::string>(reason) : std::nullopt);
}

TEST(ResolveTest, NamesAndClassifiesTheChain)
{
    // The requesting process first, then its ancestors; the reason given; who it resolves to.
    // clang-format off
    const std::tuple<const char*, const char*, Requester> cases[] = {
        {"", nullptr, {"ssh", B}}, {"", "Vantorelle", {"Vantorelle", B}}, {"Alacritty", nullptr, {"Alacritty", I}}, // first two: unknown pid
        {"ssh+|git+|zsh+|login+|Terminal", nullptr, {"git", I}}, {"ssh+|zsh+|iTerm2", nullptr, {"ssh", I}},
        {"ssh+|bash+|gnome-terminal-server|systemd", nullptr, {"ssh", I}}, {"ssh|backup-agent|launchd", nullptr, {"ssh", B}},
        {"ssh|konsole", nullptr, {"ssh", I}}, {"ssh|SSHD", nullptr, {"ssh", B}}, // a terminal alone will do; SSHD is not sshd
        {"ssh+|zsh+|sshd-session", nullptr, {"sshd", R}}, {"ssh+|zsh+|sshd", "Vantorelle", {"sshd", R}}, // remote wins over a reason
        {"vantorelle-app|systemd", "Vantorelle", {"Vantorelle", I}}, {"ssh+|zsh+|xterm|git", nullptr, {"ssh", I}}, // a tool above the terminal is not used
        {"ssh|git|Code Helper (Plugin)", nullptr, {"Visual Studio Code", B}}, {"ssh|code", nullptr, {"Visual Studio Code", B}},
        {"ssh+|Code Helper (Renderer)", nullptr, {"Visual Studio Code", I}}, {"ssh|Electron", nullptr, {"Visual Studio Code", B}},
        {"ssh|git|Claude", nullptr, {"Claude Code", I}}, {"ssh|git|claude", nullptr, {"Claude Code", I}}, {"GHOSTTY", nullptr, {"Ghostty", I}},
        {"ssh+|GhosttyApp", nullptr, {"ssh", I}}, {"ssh+|GIT+", nullptr, {"ssh", I}}, {"ssh|rsync|zsh+", nullptr, {"rsync", I}}, // GIT is no tool
        {"|x", nullptr, {"ssh", B}}, {"ssh|myterminal", nullptr, {"ssh", B}}, // an empty name; a terminal's key must begin the name
        {"gnome-terminal-server", nullptr, {"GNOME Terminal", I}}};
    // clang-format on
    for (const auto& [chain, reason, expected] : cases) {
        EXPECT_EQ(resolve(chain, reason), expected) << chain;
    }
}

TEST(ResolveTest, WalkEndsAtALoopAVanishedParentPidZeroOrTwentyProcesses)
{
    const std::string sh19 = std::regex_replace(std::string(19, '.'), std::regex("."), "sh|");
    // Chain, re-linked process, who it resolves to, lookups (0: not counted).
    // clang-format off
    const std::tuple<std::string, std::pair<int, int>, Requester, int> cases[] = {
        {"ssh|helper|daemon", {102, 100}, {"ssh", B}, 3}, {"git", {100, 100}, {"git", B}, 1}, {"git+", {100, 555}, {"git", I}, 2},
        {sh19 + "sshd-session", {}, {"sshd", R}, 20}, // the twentieth process still counts
        {sh19 + "sh|sshd|Terminal+|init|init|init", {}, {"sh", B}, 20}};
    // clang-format on
    for (const auto& [chain, parent, expected, lookups] : cases) {
        int counted = 0;
        EXPECT_EQ(resolve(chain, nullptr, parent, &counted), expected) << chain;
        EXPECT_EQ(counted, lookups) << chain;
    }
}

TEST(RequesterTest, JSONFormRoundTripsAndRefusesAnythingElse)
{
    const Requester code{"Visual Studio Code", I};
    EXPECT_EQ(encodeRequester(code), R"({"displayName":"Visual Studio Code","kind":"interactive"})");
    for (const Requester& r : {code, Requester{"sshd", R}, Requester{"say \"hi\" \\ é", B}}) {
        EXPECT_EQ(decodeRequester(encodeRequester(r)), r) << r.displayName;
    }
    // A process name that is not valid UTF-8 still encodes.
    EXPECT_EQ(decodeRequester(encodeRequester({"ab\xff", B})), (Requester{"ab\xEF\xBF\xBD", B}));
    EXPECT_EQ(decodeRequester(R"({"kind":"remote","displayName":"x","extra":[1]})"), (Requester{"x", R}));
    for (const std::string bad : {"[]", "{", R"({"displayName":"x"})", R"({"displayName":1,"kind":"remote"})",
                                  R"({"displayName":"x","kind":"Remote"})"}) {
        EXPECT_EQ(decodeRequester(bad), std::nullopt) << bad;
    }
}

} // namespace
} // namespace vantorelle
