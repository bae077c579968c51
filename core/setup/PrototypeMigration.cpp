// PrototypeMigration: detection, the text rules for the prototype's lines, and the removal plan.
#include "setup/PrototypeMigration.h"

#include <sys/stat.h>

#include "setup/MarkedBlock.h"
#include "setup/SetupFiles.h"

namespace vantorelle::PrototypeMigration {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kCommentLine = "# SSH key passphrase via Touch ID";
constexpr std::string_view kExportStart = "export SSH_ASKPASS=";
constexpr std::string_view kExportMark = "ssh-quillgate-askpass";
constexpr std::string_view kCompanionLine = "export SSH_ASKPASS_REQUIRE=force";
constexpr std::string_view kAgentKeyword = "addkeystoagent";
constexpr std::string_view kAgentValue = "3h";
constexpr std::string_view kPrototypeBackupSuffix = ".bak-quillgate";

// Length of the white space or newline character (Unicode White_Space, UTF-8) that starts at
// `at`, or 0.
std::size_t spaceAt(std::string_view s, std::size_t at)
{
    const auto byte = [&](std::size_t k) { return at + k < s.size() ? static_cast<unsigned char>(s[at + k]) : 0u; };
    const unsigned c = byte(0);
    if (c == ' ' || (c >= '\t' && c <= '\r')) {
        return 1;
    }
    if (c == 0xC2 && (byte(1) == 0x85 || byte(1) == 0xA0)) {
        return 2;
    }
    if (c == 0xE1 && byte(1) == 0x9A && byte(2) == 0x80) {
        return 3;
    }
    if (c == 0xE2 && byte(1) == 0x80
        && ((byte(2) >= 0x80 && byte(2) <= 0x8A) || byte(2) == 0xA8 || byte(2) == 0xA9 || byte(2) == 0xAF)) {
        return 3;
    }
    if ((c == 0xE2 && byte(1) == 0x81 && byte(2) == 0x9F) || (c == 0xE3 && byte(1) == 0x80 && byte(2) == 0x80)) {
        return 3;
    }
    return 0;
}

// Length of the white space character that ends just before `stop`, or 0.
std::size_t spaceBefore(std::string_view s, std::size_t stop)
{
    for (std::size_t length = 1; length <= 3 && length <= stop; ++length) {
        if (spaceAt(s, stop - length) == length) {
            return length;
        }
    }
    return 0;
}

std::string_view trimmed(std::string_view s)
{
    std::size_t start = 0;
    while (const std::size_t n = start < s.size() ? spaceAt(s, start) : 0) {
        start += n;
    }
    std::size_t stop = s.size();
    while (stop > start) {
        const std::size_t n = spaceBefore(s, stop);
        if (n == 0) {
            break;
        }
        stop -= n;
    }
    return s.substr(start, stop - start);
}

std::string lowered(std::string_view s)
{
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::vector<std::string> splitLines(std::string_view text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n', start)) {
        lines.emplace_back(text.substr(start, lf - start));
        start = lf + 1;
    }
    lines.emplace_back(text.substr(start));
    return lines;
}

std::string joinLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        if (k > 0) {
            text += '\n';
        }
        text += lines[k];
    }
    return text;
}

// For each line, whether it belongs to the system's own managed block (marker lines included). A
// begin marker without an end marker keeps the rest of the text inside: better to leave lines
// alone than to edit what may be ours.
std::vector<bool> insideBlock(const std::vector<std::string>& lines)
{
    std::vector<bool> inside(lines.size(), false);
    bool open = false;
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const auto t = trimmed(lines[k]);
        if (!open && t == MarkedBlock::begin) {
            open = true;
            inside[k] = true;
        } else if (open) {
            inside[k] = true;
            if (t == MarkedBlock::end) {
                open = false;
            }
        }
    }
    return inside;
}

struct KeywordValue
{
    std::string keyword; // lower-cased
    std::string value;
};

// A configuration line as keyword and value: trimmed, split at the first space, tab or "=";
// comments, empty lines and lines without a separator have none. No quote removal.
std::optional<KeywordValue> keywordValue(std::string_view line)
{
    const auto t = trimmed(line);
    if (t.empty() || t.front() == '#') {
        return std::nullopt;
    }
    const auto separator = t.find_first_of(" \t=");
    if (separator == std::string_view::npos) {
        return std::nullopt;
    }
    auto value = t.substr(separator);
    const auto first = value.find_first_not_of(" \t=");
    value = first == std::string_view::npos ? std::string_view{} : value.substr(first);
    value = value.substr(0, value.find_last_not_of(" \t=") + 1);
    return KeywordValue{lowered(t.substr(0, separator)), std::string(value)};
}

bool isPrototypeAgentSetting(std::string_view line)
{
    const auto kv = keywordValue(line);
    return kv && kv->keyword == kAgentKeyword && lowered(kv->value) == kAgentValue;
}

bool isPrototypeExport(std::string_view line)
{
    const auto t = trimmed(line);
    return t.starts_with(kExportStart) && t.find(kExportMark) != std::string_view::npos;
}

bool existsNoFollow(const fs::path& path)
{
    struct stat st = {};
    return ::lstat(path.c_str(), &st) == 0;
}

} // namespace

std::string stripPrototypeExport(std::string_view text)
{
    std::vector<std::string> lines = splitLines(text);
    for (;;) {
        const auto inside = insideBlock(lines);
        std::size_t k = 0;
        while (k < lines.size() && (inside[k] || !isPrototypeExport(lines[k]))) {
            ++k;
        }
        if (k == lines.size()) {
            break;
        }
        std::size_t start = k;
        std::size_t stop = k;
        if (k > 0 && !inside[k - 1] && trimmed(lines[k - 1]).starts_with(kCommentLine)) {
            start = k - 1;
        }
        if (k + 1 < lines.size() && !inside[k + 1] && trimmed(lines[k + 1]) == kCompanionLine) {
            stop = k + 1;
        }
        if (start > 0 && !inside[start - 1] && trimmed(lines[start - 1]).empty()) {
            start -= 1;
        }
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(start),
                    lines.begin() + static_cast<std::ptrdiff_t>(stop + 1));
    }
    return joinLines(lines);
}

std::string restoreAddKeysToAgent(std::string_view text, const std::optional<std::string>& earlierValue)
{
    std::vector<std::string> lines = splitLines(text);
    const auto inside = insideBlock(lines);
    for (std::size_t k = lines.size(); k-- > 0;) {
        if (inside[k] || !isPrototypeAgentSetting(lines[k])) {
            continue;
        }
        const auto at = earlierValue ? lowered(lines[k]).rfind(kAgentValue) : std::string::npos;
        if (at == std::string::npos) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(k));
        } else {
            lines[k].replace(at, kAgentValue.size(), *earlierValue);
        }
    }
    return joinLines(lines);
}

std::optional<std::string> earlierAddKeysToAgent(std::string_view backupText)
{
    for (const auto& line : splitLines(backupText)) {
        if (line.empty()) {
            continue;
        }
        const auto kv = keywordValue(line);
        if (kv && kv->keyword == kAgentKeyword && !kv->value.empty()) {
            // A backup taken after the prototype had run holds its own value: that is nothing to
            // restore, and restoring it would leave the leftover in place for good.
            if (lowered(kv->value) == kAgentValue) {
                return std::nullopt;
            }
            return kv->value;
        }
    }
    return std::nullopt;
}

std::vector<Leftover> detect(const fs::path& home, const std::function<bool(std::string_view)>& keychainHas)
{
    std::vector<Leftover> found;

    const fs::path zshenv = home / ".zshenv";
    if (const auto file = SetupFiles::read(zshenv); file.state != SetupFiles::FileText::State::unreadable) {
        if (stripPrototypeExport(file.text) != file.text) {
            found.push_back(Leftover::shellExport(zshenv));
        }
    }

    const fs::path config = SetupPlan::sshConfig(home);
    if (const auto file = SetupFiles::read(config); file.state == SetupFiles::FileText::State::readable) {
        const auto lines = splitLines(file.text);
        const auto inside = insideBlock(lines);
        for (std::size_t k = 0; k < lines.size(); ++k) {
            if (!inside[k] && isPrototypeAgentSetting(lines[k])) {
                found.push_back(Leftover::addKeysToAgent(config));
                break;
            }
        }
    }

    for (const auto relative : prototypePaths) {
        const fs::path path = home / relative;
        if (existsNoFollow(path)) {
            found.push_back(Leftover::path(path));
        }
    }

    for (const auto service : keychainServices) {
        if (keychainHas(service)) {
            found.push_back(Leftover::keychainService(std::string(service)));
        }
    }
    return found;
}

SetupPlan removalPlan(const std::vector<Leftover>& leftovers, const fs::path& /*home*/)
{
    SetupPlan plan;
    for (const auto& leftover : leftovers) {
        if (leftover.kind != Leftover::Kind::shellExport && leftover.kind != Leftover::Kind::addKeysToAgent) {
            continue;
        }
        const auto file = SetupFiles::read(leftover.url);
        if (file.state == SetupFiles::FileText::State::unreadable) {
            continue;
        }
        std::string after;
        if (leftover.kind == Leftover::Kind::shellExport) {
            after = stripPrototypeExport(file.text);
        } else {
            const auto backup = SetupFiles::read(leftover.url.string() + std::string(kPrototypeBackupSuffix));
            const auto earlier = backup.state == SetupFiles::FileText::State::readable
                ? earlierAddKeysToAgent(backup.text)
                : std::nullopt;
            after = restoreAddKeysToAgent(file.text, earlier);
        }
        if (after != file.text) {
            plan.changes.push_back(FileChange{leftover.url, file.text, std::move(after), false});
        }
    }
    return plan;
}

std::vector<std::string> removeKeychainServices(const std::vector<std::string>& services,
                                                const std::function<KeychainDeleteResult(std::string_view)>& deleteOne,
                                                const std::function<bool(std::string_view)>& keychainHas)
{
    for (const auto& service : services) {
        // Each call deletes at most one item and the results say nothing reliable about the
        // rest, so the count is fixed and the store is asked afterwards.
        for (int attempt = 0; attempt < kDeleteAttempts; ++attempt) {
            deleteOne(service);
        }
    }
    std::vector<std::string> left;
    for (const auto& service : services) {
        if (keychainHas(service)) {
            left.push_back(service);
        }
    }
    return left;
}

} // namespace vantorelle::PrototypeMigration
