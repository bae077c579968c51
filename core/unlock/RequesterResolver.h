// RequesterResolver: names the process behind a request and classifies it by walking up the
// process tree.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "unlock/ProcessInfoLite.h"
#include "unlock/Requester.h"

namespace vantorelle::RequesterResolver {

// Answers for one process id, or gives nothing (unknown or vanished process).
using ProcessTable = std::function<std::optional<ProcessInfoLite>(std::int32_t pid)>;

// The walk visits the requesting process and at most 19 ancestors.
constexpr int kMaxChain = 20;

// Pure function of its arguments. `reason` is the command line's unlock reason, if any: it
// becomes the display name unless the requester is remote. An unknown caller is ("ssh",
// background), or (reason, background) with a reason.
Requester resolve(std::int32_t pid, const ProcessTable& table, const std::optional<std::string>& reason);

// The fields of a /proc/<pid>/stat line the lookup uses; nothing when the line does not parse.
struct StatLine
{
    std::int32_t pid = 0;
    std::string comm; // between the first " (" and the last ")"
    std::int32_t ppid = 0;
    std::int64_t ttyNr = 0; // 0: no controlling terminal
    bool operator==(const StatLine&) const = default;
};
std::optional<StatLine> parseStat(std::string_view line);

// The lookup for the running system, read from /proc. Never throws; a process that cannot be read
// (vanished, another user's hidden entry, pid < 1) gives nothing.
std::optional<ProcessInfoLite> liveTable(std::int32_t pid);

// The same lookup under another proc root, for tests of the parsing.
std::optional<ProcessInfoLite> liveTable(std::int32_t pid, const std::filesystem::path& procRoot);

// resolve() over the live table, and the live table's name for one process: what the running
// system gives the coordinator as its `resolve` and `callerName`.
Requester resolveLive(std::int32_t pid, const std::optional<std::string>& reason);
std::optional<std::string> liveName(std::int32_t pid);

} // namespace vantorelle::RequesterResolver
