// RequesterResolver: names the process behind a request and classifies it by walking up the
// process tree.
#include "unlock/RequesterResolver.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <fstream>
#include <iterator>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

#include "sys/Files.h"
#include "sys/Utf8.h"

namespace vantorelle::RequesterResolver {

namespace {

constexpr std::size_t kMaxProcFileBytes = 1 << 16;

struct TerminalRow
{
    std::string_view key; // prefix of the lower-cased process name
    std::string_view display;
};

// Looked up in this order: the first key that begins the lower-cased name gives the display.
constexpr std::array kTerminals{
    TerminalRow{"terminal", "Terminal"},
    TerminalRow{"iterm2", "iTerm2"},
    TerminalRow{"ghostty", "Ghostty"},
    TerminalRow{"wezterm", "WezTerm"},
    TerminalRow{"warp", "Warp"},
    TerminalRow{"kitty", "kitty"},
    TerminalRow{"alacritty", "Alacritty"},
    TerminalRow{"gnome-terminal", "GNOME Terminal"},
    TerminalRow{"kgx", "Console"},
    TerminalRow{"ptyxis", "Ptyxis"},
    TerminalRow{"konsole", "Konsole"},
    TerminalRow{"xfce4-terminal", "Xfce Terminal"},
    TerminalRow{"mate-terminal", "MATE Terminal"},
    TerminalRow{"lxterminal", "LXTerminal"},
    TerminalRow{"tilix", "Tilix"},
    TerminalRow{"terminator", "Terminator"},
    TerminalRow{"xterm", "XTerm"},
    TerminalRow{"urxvt", "URxvt"},
    TerminalRow{"foot", "foot"},
    TerminalRow{"contour", "Contour"},
    TerminalRow{"rio", "Rio"},
};

const std::set<std::string, std::less<>>& knownTools()
{
    static const std::set<std::string, std::less<>> tools{"git", "scp", "sftp", "rsync"};
    return tools;
}

std::string lowered(std::string_view text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

const TerminalRow* terminalFor(std::string_view name)
{
    const std::string lower = lowered(name);
    for (const TerminalRow& row : kTerminals) {
        if (lower.starts_with(row.key)) {
            return &row;
        }
    }
    return nullptr;
}

bool isRemoteServer(std::string_view name)
{
    return name == "sshd" || name.starts_with("sshd-");
}

bool isClaude(std::string_view name)
{
    return lowered(name) == "claude";
}

// "Claude Code" or "Visual Studio Code" for an editor or coding agent, else nothing.
std::optional<std::string> editorDisplay(std::string_view name)
{
    if (isClaude(name)) {
        return "Claude Code";
    }
    if (name.starts_with("Code Helper") || name == "Electron" || name == "Visual Studio Code" || name == "code") {
        return "Visual Studio Code";
    }
    return std::nullopt;
}

std::string displayName(const std::vector<ProcessInfoLite>& chain)
{
    if (const TerminalRow* row = terminalFor(chain.front().name)) {
        return std::string(row->display);
    }
    for (const ProcessInfoLite& info : chain) {
        if (auto editor = editorDisplay(info.name)) {
            return *editor;
        }
    }
    // Tools above the terminal started the terminal, not this request.
    for (const ProcessInfoLite& info : chain) {
        if (terminalFor(info.name)) {
            break;
        }
        if (knownTools().contains(info.name)) {
            return info.name;
        }
    }
    return chain.front().name.empty() ? "ssh" : chain.front().name;
}

template <typename Int> std::optional<Int> parseInt(std::string_view text)
{
    Int value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// Whitespace-separated fields of `text`.
std::vector<std::string_view> fields(std::string_view text)
{
    std::vector<std::string_view> result;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        const size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        if (i > start) {
            result.push_back(text.substr(start, i - start));
        }
    }
    return result;
}

// The kernel keeps at most 15 bytes of the name in comm; the executable's own file name gives
// the whole of it when comm is a cut-off prefix of that name.
std::string fullName(std::string comm, const std::filesystem::path& procDir)
{
    constexpr size_t kCommLimit = 15;
    if (comm.size() != kCommLimit) {
        return comm;
    }
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink(procDir / "exe", error);
    if (error) {
        return comm;
    }
    std::string base = exe.filename().string();
    constexpr std::string_view kDeleted = " (deleted)";
    if (base.ends_with(kDeleted)) {
        base.resize(base.size() - kDeleted.size());
    }
    if (base.size() > comm.size() && base.starts_with(comm)) {
        return base;
    }
    return comm;
}

} // namespace

std::optional<StatLine> parseStat(std::string_view line)
{
    // "pid (comm) state ppid pgrp session tty_nr ...": comm may hold spaces and parentheses, so
    // the fixed fields are counted from the last ')'.
    const size_t open = line.find(" (");
    const size_t close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open + 2) {
        return std::nullopt;
    }
    const auto pid = parseInt<std::int32_t>(line.substr(0, open));
    const std::vector<std::string_view> rest = fields(line.substr(close + 1));
    if (!pid || rest.size() < 5) {
        return std::nullopt;
    }
    const auto ppid = parseInt<std::int32_t>(rest[1]);
    const auto ttyNr = parseInt<std::int64_t>(rest[4]);
    if (!ppid || !ttyNr) {
        return std::nullopt;
    }
    return StatLine{*pid, std::string(line.substr(open + 2, close - open - 2)), *ppid, *ttyNr};
}

Requester resolve(std::int32_t pid, const ProcessTable& table, const std::optional<std::string>& reason)
{
    std::vector<ProcessInfoLite> chain;
    std::set<std::int32_t> visited;
    std::int32_t current = pid;
    while (!visited.contains(current)) {
        std::optional<ProcessInfoLite> info = table(current);
        if (!info) {
            break;
        }
        visited.insert(current);
        chain.push_back(std::move(*info));
        if (chain.back().ppid < 1 || static_cast<int>(chain.size()) >= kMaxChain) {
            break;
        }
        current = chain.back().ppid;
    }

    if (chain.empty()) {
        return {reason.value_or("ssh"), Requester::Kind::background};
    }
    // Remote wins over everything, the reason included: a dialog must never answer a remote session.
    if (std::ranges::any_of(chain, [](const ProcessInfoLite& info) { return isRemoteServer(info.name); })) {
        return {"sshd", Requester::Kind::remote};
    }
    if (reason) {
        return {*reason, Requester::Kind::interactive};
    }
    const bool interactive = std::ranges::any_of(chain, [](const ProcessInfoLite& info) {
        return isClaude(info.name) || terminalFor(info.name) != nullptr || info.hasTTY;
    });
    return {displayName(chain), interactive ? Requester::Kind::interactive : Requester::Kind::background};
}

std::optional<ProcessInfoLite> liveTable(std::int32_t pid, const std::filesystem::path& procRoot)
{
    if (pid < 1) {
        return std::nullopt;
    }
    const std::filesystem::path dir = procRoot / std::to_string(pid);
    const auto text = Files::read(dir / "stat", kMaxProcFileBytes);
    if (!text) {
        return std::nullopt;
    }
    const std::optional<StatLine> stat = parseStat(*text);
    if (!stat || stat->pid != pid) {
        return std::nullopt;
    }

    std::string comm;
    if (auto file = Files::read(dir / "comm", kMaxProcFileBytes)) {
        comm = std::move(*file);
        if (comm.ends_with('\n')) {
            comm.pop_back();
        }
    } else {
        comm = stat->comm;
    }
    if (const size_t nul = comm.find('\0'); nul != std::string::npos) {
        comm.resize(nul);
    }
    std::string name = Utf8::repaired(fullName(std::move(comm), dir));
    return ProcessInfoLite{pid, stat->ppid, std::move(name), stat->ttyNr != 0};
}

std::optional<ProcessInfoLite> liveTable(std::int32_t pid)
{
    return liveTable(pid, "/proc");
}

Requester resolveLive(std::int32_t pid, const std::optional<std::string>& reason)
{
    return resolve(pid, [](std::int32_t p) { return liveTable(p); }, reason);
}

std::optional<std::string> liveName(std::int32_t pid)
{
    if (auto info = liveTable(pid)) {
        return std::move(info->name);
    }
    return std::nullopt;
}

} // namespace vantorelle::RequesterResolver
