// KeyScanner: finds the user's SSH private keys and says which of them the system can manage.
#include "ssh/KeyScanner.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "ssh/ToolText.h"
#include "sys/ChildProcess.h"
#include "sys/Fd.h"
#include "sys/Files.h"
#include "sys/Utf8.h"

namespace vantorelle::KeyScanner {

namespace {

// ssh-keygen answers in milliseconds; the limit only keeps a wedged tool from stalling the scan.
constexpr double kToolTimeout = 15;
// Each key costs two short ssh-keygen runs, mostly process start-up; a few at once cut the wall time.
constexpr size_t kParallelDescribes = 4;

struct ToolRun
{
    int status = -1;
    std::string output;
};

ToolRun runTool(const std::vector<std::string>& args)
{
    const auto deadline = std::chrono::steady_clock::now()
        + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(kToolTimeout));
    // A session of its own and stdin on /dev/null: ssh-keygen can neither open /dev/tty nor read a
    // passphrase anywhere, so a key it cannot list without one fails instead of prompting.
    auto run = ChildProcess::run(ToolText::kSshKeygen, args, ToolText::toolEnvironment(Environment::current()),
                                 ChildProcess::StandardError::discard, deadline);
    if (!run) {
        return {};
    }
    return {run->status, Utf8::repaired(run->output)};
}

// Length of a white-space character (tab or a Unicode space separator) at `at`, else 0.
size_t spaceLength(std::string_view text, size_t at)
{
    static constexpr std::array<std::string_view, 18> kSpaces{
        " ",
        "\t",
        "\xC2\xA0", // U+00A0
        "\xE1\x9A\x80", // U+1680
        "\xE2\x80\x80", // U+2000 ... U+200A
        "\xE2\x80\x81",
        "\xE2\x80\x82",
        "\xE2\x80\x83",
        "\xE2\x80\x84",
        "\xE2\x80\x85",
        "\xE2\x80\x86",
        "\xE2\x80\x87",
        "\xE2\x80\x88",
        "\xE2\x80\x89",
        "\xE2\x80\x8A",
        "\xE2\x80\xAF", // U+202F
        "\xE2\x81\x9F", // U+205F
        "\xE3\x80\x80", // U+3000
    };
    const std::string_view rest = text.substr(at);
    for (const auto space : kSpaces) {
        if (rest.starts_with(space)) {
            return space.size();
        }
    }
    return 0;
}

bool endsWithSpace(std::string_view text, size_t& length)
{
    for (size_t n = 1; n <= 3 && n <= text.size(); ++n) {
        if (spaceLength(text, text.size() - n) == n) {
            length = n;
            return true;
        }
    }
    return false;
}

std::string_view trimWhiteSpace(std::string_view text)
{
    while (!text.empty()) {
        const size_t n = spaceLength(text, 0);
        if (n == 0) {
            break;
        }
        text.remove_prefix(n);
    }
    size_t n = 0;
    while (!text.empty() && endsWithSpace(text, n)) {
        text.remove_suffix(n);
    }
    return text;
}

std::string_view trimSeparators(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t=");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t=");
    return text.substr(first, last - first + 1);
}

std::string expandTilde(std::string_view value, const std::string& home)
{
    if (value == "~") {
        return home;
    }
    if (value.starts_with("~/")) {
        return home + std::string(value.substr(1));
    }
    return std::string(value);
}

} // namespace

std::vector<ConfigBlock> parseBlocks(std::string_view config, const std::string& home)
{
    std::vector<ConfigBlock> blocks(1);
    for (const auto rawLine : ToolText::lines(config)) {
        const std::string_view line = trimWhiteSpace(rawLine);
        if (line.empty() || line.starts_with('#')) {
            continue;
        }
        const size_t split = line.find_first_of(" \t=");
        if (split == std::string_view::npos) {
            continue;
        }
        const std::string keyword = ToolText::lowercased(line.substr(0, split));
        std::string_view value = trimSeparators(line.substr(split));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (keyword == "host" || keyword == "match") {
            blocks.emplace_back();
        } else if (keyword == "identityfile") {
            blocks.back().identityFiles.push_back(expandTilde(value, home));
        } else if (keyword == "identityagent") {
            if (!blocks.back().identityAgent) {
                blocks.back().identityAgent = std::string(value);
            }
        }
    }
    return blocks;
}

std::vector<std::string> identityFiles(std::string_view config, const std::string& home)
{
    std::vector<std::string> files;
    std::set<std::string> seen;
    for (const auto& block : parseBlocks(config, home)) {
        for (const auto& file : block.identityFiles) {
            if (seen.insert(file).second) {
                files.push_back(file);
            }
        }
    }
    return files;
}

bool pointsToOtherAgent(const std::optional<std::string>& value)
{
    if (!value || value->empty()) {
        return false;
    }
    return ToolText::lowercased(*value) != "none" && *value != "SSH_AUTH_SOCK" && *value != "$SSH_AUTH_SOCK";
}

bool looksLikePrivateKey(const std::filesystem::path& path)
{
    // O_NONBLOCK: a FIFO in the ssh directory must not stall the scan at open(). Only regular
    // files are read: a device or a FIFO is never a key file.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    const Fd file(fd);
    struct stat st
    {
    };
    if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    constexpr std::string_view kHeader = "-----BEGIN ";
    std::array<char, 64> head{};
    size_t got = 0;
    while (got < head.size()) {
        const ssize_t n = ::read(file.get(), head.data() + got, head.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return std::string_view(head.data(), got).starts_with(kHeader);
}

std::optional<Listing> parseListing(std::string_view output)
{
    std::vector<std::string_view> pieces;
    size_t pos = 0;
    // Trimmed of white space and newlines, then split at spaces only.
    const auto first = output.find_first_not_of(" \t\n\r\v\f");
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    output = output.substr(first, output.find_last_not_of(" \t\n\r\v\f") - first + 1);
    while (pos < output.size()) {
        const size_t space = output.find(' ', pos);
        const size_t stop = space == std::string_view::npos ? output.size() : space;
        if (stop > pos) {
            pieces.push_back(output.substr(pos, stop - pos));
        }
        pos = stop + 1;
    }
    if (pieces.size() < 3 || !pieces[1].starts_with("SHA256:") || !pieces.back().starts_with('(')) {
        return std::nullopt;
    }
    Listing listing;
    listing.fingerprint = std::string(pieces[1]);
    listing.type = std::string(pieces.back());
    for (size_t i = 2; i + 1 < pieces.size(); ++i) {
        if (!listing.comment.empty()) {
            listing.comment += ' ';
        }
        listing.comment += pieces[i];
    }
    if (listing.comment == "no comment") {
        listing.comment.clear();
    }
    return listing;
}

std::optional<SSHKey> describeKey(const std::filesystem::path& path, bool other)
{
    std::filesystem::path publicKeyPath = path;
    publicKeyPath += ".pub";
    std::error_code ec;
    const bool hasPublic = std::filesystem::exists(publicKeyPath, ec);
    const auto listingRun = runTool({"-l", "-f", hasPublic ? publicKeyPath.string() : path.string()});
    if (listingRun.status != 0) {
        return std::nullopt;
    }
    auto listing = parseListing(listingRun.output);
    if (!listing) {
        return std::nullopt;
    }
    SSHKey::Status status = SSHKey::Status::usable;
    if (ToolText::lowercased(listing->type).find("-sk)") != std::string::npos) {
        status = SSHKey::Status::hardwareToken;
    } else if (other) {
        status = SSHKey::Status::otherAgent;
    } else if (runTool({"-y", "-P", "", "-f", path.string()}).status == 0) {
        status = SSHKey::Status::noPassphrase;
    }
    return SSHKey{path, publicKeyPath, std::move(listing->fingerprint), std::move(listing->comment), status};
}

std::vector<SSHKey> scan(const std::filesystem::path& sshDir, std::string_view config, const std::string& home)
{
    const auto blocks = parseBlocks(config, home);
    const bool everyKeyElsewhere = pointsToOtherAgent(blocks.front().identityAgent);
    std::set<std::string> elsewhere;
    for (const auto& block : blocks) {
        if (everyKeyElsewhere || pointsToOtherAgent(block.identityAgent)) {
            for (const auto& file : block.identityFiles) {
                elsewhere.insert(file);
                // "~/.ssh/./work" names the same file as the directory entry ".ssh/work".
                elsewhere.insert(Files::standardizedPath(file).string());
            }
        }
    }

    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(sshDir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> candidates;
    candidates.reserve(names.size());
    for (const auto& name : names) {
        candidates.push_back((sshDir / name).string());
    }
    for (auto& file : identityFiles(config, home)) {
        candidates.push_back(std::move(file));
    }

    // Cheap checks in order first; then the ssh-keygen runs, which dominate, on a few threads.
    struct Work
    {
        std::filesystem::path path;
        bool other = false;
    };
    std::vector<Work> work;
    std::set<std::string> seen;
    for (const auto& candidate : candidates) {
        std::filesystem::path path = Files::standardizedPath(candidate);
        const std::string pathText = path.string();
        if (!seen.insert(pathText).second) {
            continue;
        }
        if (pathText.ends_with(".pub") || !looksLikePrivateKey(path)) {
            continue;
        }
        const bool other = everyKeyElsewhere || elsewhere.contains(candidate) || elsewhere.contains(pathText);
        work.push_back({std::move(path), other});
    }

    std::vector<std::optional<SSHKey>> described(work.size());
    std::atomic<size_t> next{0};
    const auto describeRemaining = [&] {
        for (size_t i; (i = next++) < work.size();) {
            described[i] = describeKey(work[i].path, work[i].other);
        }
    };
    {
        std::vector<std::jthread> helpers;
        const size_t wanted = std::min<size_t>(kParallelDescribes, work.size());
        for (size_t t = 1; t < wanted; ++t) {
            try {
                helpers.emplace_back(describeRemaining);
            } catch (const std::system_error&) {
                break; // no thread to spare: this one does the rest
            }
        }
        describeRemaining();
    } // joins the helpers: every tool they started has exited

    std::vector<SSHKey> keys;
    for (auto& key : described) {
        if (key) {
            keys.push_back(std::move(*key));
        }
    }
    return keys;
}

} // namespace vantorelle::KeyScanner
