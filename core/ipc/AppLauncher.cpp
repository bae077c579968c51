// AppLauncher: desktop entry lookup, Exec parsing and a detached start.
#include "ipc/AppLauncher.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "sys/ChildProcess.h"
#include "sys/Files.h"

namespace vantorelle {
namespace {

constexpr std::size_t kMaxEntryBytes = 1 << 20;

std::vector<std::string> splitColon(std::string_view list)
{
    std::vector<std::string> parts;
    while (true) {
        const auto colon = list.find(':');
        const auto part = list.substr(0, colon);
        if (!part.empty()) {
            parts.emplace_back(part);
        }
        if (colon == std::string_view::npos) {
            return parts;
        }
        list.remove_prefix(colon + 1);
    }
}

std::string_view trimBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// Escapes of the string value type: \s \n \t \r \\. Any other backslash pair is kept as it
// stands, so the Exec quoting below still sees \" \` \$.
std::string unescapeValue(std::string_view value)
{
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            switch (value[i + 1]) {
            case 's':
                out += ' ';
                ++i;
                continue;
            case 'n':
                out += '\n';
                ++i;
                continue;
            case 't':
                out += '\t';
                ++i;
                continue;
            case 'r':
                out += '\r';
                ++i;
                continue;
            case '\\':
                out += '\\';
                ++i;
                continue;
            default:
                break;
            }
        }
        out += value[i];
    }
    return out;
}

bool isFieldCode(char c)
{
    return std::string_view("fFuUdDnNickvm").find(c) != std::string_view::npos;
}

using LaunchError = AppLauncher::LaunchError;

std::expected<std::vector<std::string>, LaunchError> splitExec(std::string_view line)
{
    const LaunchError bad{LaunchError::Kind::badEntry, 0};
    std::vector<std::string> arguments;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        std::string argument;
        bool literal = false; // anything besides field codes: such an argument is kept even if empty
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
            const char c = line[i];
            if (c == '"') {
                literal = true;
                ++i;
                bool closed = false;
                while (i < line.size()) {
                    if (line[i] == '"') {
                        closed = true;
                        ++i;
                        break;
                    }
                    if (line[i] == '\\' && i + 1 < line.size()
                        && std::string_view("\"`$\\").find(line[i + 1]) != std::string_view::npos) {
                        argument += line[i + 1];
                        i += 2;
                        continue;
                    }
                    argument += line[i++];
                }
                if (!closed) {
                    return std::unexpected(bad);
                }
                continue;
            }
            if (c == '%') {
                if (i + 1 >= line.size()) {
                    return std::unexpected(bad);
                }
                const char code = line[i + 1];
                i += 2;
                if (code == '%') {
                    argument += '%';
                    literal = true;
                } else if (!isFieldCode(code)) {
                    return std::unexpected(bad);
                }
                continue;
            }
            argument += c;
            literal = true;
            ++i;
        }
        if (literal) {
            arguments.push_back(std::move(argument));
        }
    }
    if (arguments.empty() || arguments.front().empty()) {
        return std::unexpected(bad);
    }
    return arguments;
}

bool isExecutableFile(const std::filesystem::path& path)
{
    struct stat info
    {
    };
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

} // namespace

AppLauncher::AppLauncher(Environment env)
    : m_env(std::move(env))
{
}

std::optional<std::filesystem::path> AppLauncher::findEntry(std::string_view desktopID) const
{
    if (desktopID.empty() || desktopID.find('/') != std::string_view::npos || desktopID == "." || desktopID == "..") {
        return std::nullopt;
    }
    std::vector<std::filesystem::path> bases;
    // A relative XDG_DATA_HOME is invalid and counts as unset, so the default under HOME applies.
    const auto dataHome = m_env.nonEmpty("XDG_DATA_HOME");
    if (dataHome && std::filesystem::path(*dataHome).is_absolute()) {
        bases.emplace_back(*dataHome);
    } else if (auto userHome = m_env.nonEmpty("HOME")) {
        bases.emplace_back(std::filesystem::path(*userHome) / ".local/share");
    }
    for (const auto& dir : splitColon(m_env.nonEmpty("XDG_DATA_DIRS").value_or("/usr/local/share:/usr/share"))) {
        bases.emplace_back(dir);
    }
    const std::string name = std::string(desktopID) + ".desktop";
    for (const auto& base : bases) {
        // Relative entries in the XDG variables are invalid and ignored.
        if (!base.is_absolute()) {
            continue;
        }
        const auto candidate = base / "applications" / name;
        std::error_code ec;
        if (std::filesystem::is_regular_file(candidate, ec)) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::expected<std::vector<std::string>, AppLauncher::LaunchError>
AppLauncher::execArguments(std::string_view desktopFile)
{
    bool inMainGroup = false;
    std::optional<std::string> exec, type, hidden;
    std::size_t start = 0;
    while (start <= desktopFile.size()) {
        const auto end = desktopFile.find('\n', start);
        const std::string_view line = trimBlanks(
            desktopFile.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        start = end == std::string_view::npos ? desktopFile.size() + 1 : end + 1;
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup) {
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const auto key = trimBlanks(line.substr(0, equals));
        const auto value = trimBlanks(line.substr(equals + 1));
        // A key given twice is malformed; the first one counts.
        const auto take = [&](std::optional<std::string>& slot) {
            if (!slot) {
                slot = unescapeValue(value);
            }
        };
        if (key == "Exec") {
            take(exec);
        } else if (key == "Type") {
            take(type);
        } else if (key == "Hidden") {
            take(hidden);
        }
    }
    if (hidden && *hidden == "true") {
        return std::unexpected(LaunchError{LaunchError::Kind::noEntry, 0});
    }
    if (!exec || (type && *type != "Application")) {
        return std::unexpected(LaunchError{LaunchError::Kind::badEntry, 0});
    }
    return splitExec(*exec);
}

std::optional<std::filesystem::path> AppLauncher::resolveProgram(std::string_view program) const
{
    if (program.find('/') != std::string_view::npos) {
        std::error_code ec;
        auto path = std::filesystem::absolute(std::filesystem::path(program), ec);
        if (ec || !isExecutableFile(path)) {
            return std::nullopt;
        }
        return path;
    }
    for (const auto& dir : splitColon(m_env.nonEmpty("PATH").value_or("/usr/local/bin:/usr/bin:/bin"))) {
        auto candidate = std::filesystem::path(dir) / program;
        if (candidate.is_absolute() && isExecutableFile(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::expected<void, AppLauncher::LaunchError> AppLauncher::launch(std::string_view desktopID,
                                                                  const std::vector<std::string>& extraArguments,
                                                                  io::Deadline deadline) const
{
    const auto entry = findEntry(desktopID);
    if (!entry) {
        return std::unexpected(LaunchError{LaunchError::Kind::noEntry, 0});
    }
    const auto text = Files::read(*entry, kMaxEntryBytes);
    if (!text) {
        return std::unexpected(LaunchError{LaunchError::Kind::noEntry, 0});
    }
    auto arguments = execArguments(*text);
    if (!arguments) {
        return std::unexpected(arguments.error());
    }
    const auto program = resolveProgram(arguments->front());
    if (!program) {
        return std::unexpected(LaunchError{LaunchError::Kind::notFound, 0});
    }
    arguments->insert(arguments->end(), extraArguments.begin(), extraArguments.end());

    ChildProcess::Options options;
    options.path = program->string();
    options.args.assign(arguments->begin() + 1, arguments->end());
    options.env = m_env;
    options.directory = m_env.nonEmpty("HOME").value_or("/");
    if (auto started = ChildProcess::spawnDetached(options, deadline); !started) {
        return std::unexpected(LaunchError{LaunchError::Kind::spawnFailed, started.error()});
    }
    return {};
}

} // namespace vantorelle
