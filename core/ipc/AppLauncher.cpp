// AppLauncher: desktop entry lookup, Exec parsing and a detached start.
#include "ipc/AppLauncher.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <type_traits>
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

// libsystemd is opened only when the app has to be started: linked in, it and the libraries it
// needs would be loaded on every run of the helper, which is on the path of every ssh.
struct SdBus
{
    decltype(&sd_bus_new) busNew;
    decltype(&sd_bus_set_address) setAddress;
    decltype(&sd_bus_set_bus_client) setBusClient;
    decltype(&sd_bus_set_method_call_timeout) setMethodCallTimeout;
    decltype(&sd_bus_start) start;
    decltype(&sd_bus_call_method) callMethod;
    decltype(&sd_bus_flush_close_unref) flushCloseUnref;
    decltype(&sd_bus_error_has_name) errorHasName;
    decltype(&sd_bus_error_free) errorFree;
    decltype(&sd_bus_message_unref) messageUnref;

    // Nothing when the library or one of its functions is missing.
    static const SdBus* load()
    {
        static const std::optional<SdBus> loaded = []() -> std::optional<SdBus> {
            void* library = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
            if (!library) {
                return std::nullopt;
            }
            SdBus api{};
            bool complete = true;
            const auto bind = [&](auto& function, const char* name) {
                function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(library, name));
                complete = complete && function;
            };
            bind(api.busNew, "sd_bus_new");
            bind(api.setAddress, "sd_bus_set_address");
            bind(api.setBusClient, "sd_bus_set_bus_client");
            bind(api.setMethodCallTimeout, "sd_bus_set_method_call_timeout");
            bind(api.start, "sd_bus_start");
            bind(api.callMethod, "sd_bus_call_method");
            bind(api.flushCloseUnref, "sd_bus_flush_close_unref");
            bind(api.errorHasName, "sd_bus_error_has_name");
            bind(api.errorFree, "sd_bus_error_free");
            bind(api.messageUnref, "sd_bus_message_unref");
            // The library stays loaded for the rest of the process either way.
            return complete ? std::optional<SdBus>(api) : std::nullopt;
        }();
        return loaded ? &*loaded : nullptr;
    }
};

} // namespace

Environment AppLauncher::sessionVariables(const Environment& env)
{
    static constexpr std::string_view exact[]
        = {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS", "HOME", "PATH", "LANG", "LANGUAGE"};
    static constexpr std::string_view prefixes[] = {"XDG_", "LC_", "VANTORELLE_"};
    Environment session;
    for (const auto& variable : env.variables()) {
        const std::string& name = variable.first;
        const bool keep = std::ranges::find(exact, std::string_view(name)) != std::end(exact)
            || std::ranges::any_of(prefixes, [&](std::string_view prefix) { return name.starts_with(prefix); });
        if (keep) {
            session.set(name, variable.second);
        }
    }
    return session;
}

AppLauncher::Activation AppLauncher::activate(std::string_view busName, io::Deadline deadline) const
{
    std::string address;
    if (auto given = m_env.nonEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        address = *given;
    } else if (auto runtime = m_env.nonEmpty("XDG_RUNTIME_DIR")) {
        const auto socket = std::filesystem::path(*runtime) / "bus";
        std::error_code ec;
        if (!std::filesystem::exists(socket, ec)) {
            return Activation::noBus;
        }
        address = "unix:path=" + socket.string();
    } else {
        return Activation::noBus;
    }
    const auto left
        = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return Activation::failed;
    }
    const SdBus* sd = SdBus::load();
    if (!sd) {
        return Activation::noBus;
    }
    sd_bus* raw = nullptr;
    if (sd->busNew(&raw) < 0) {
        return Activation::noBus;
    }
    const auto close = [sd](sd_bus* bus) { sd->flushCloseUnref(bus); };
    std::unique_ptr<sd_bus, decltype(close)> bus(raw, close);
    if (sd->setAddress(bus.get(), address.c_str()) < 0 || sd->setBusClient(bus.get(), 1) < 0
        || sd->setMethodCallTimeout(bus.get(), static_cast<std::uint64_t>(left.count())) < 0
        || sd->start(bus.get()) < 0) {
        return Activation::noBus;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const std::string name(busName);
    const int called
        = sd->callMethod(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "StartServiceByName", &error, &reply, "su", name.c_str(), 0U);
    Activation result = Activation::started;
    if (called < 0) {
        if (sd->errorHasName(&error, "org.freedesktop.DBus.Error.ServiceUnknown")) {
            result = Activation::unknownService;
        } else if (called == -ECONNREFUSED || called == -ENOENT || called == -ECONNRESET) {
            result = Activation::noBus;
        } else {
            result = Activation::failed;
        }
    }
    sd->errorFree(&error);
    sd->messageUnref(reply);
    return result;
}

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
    // The bus's own way first; a name the bus cannot take is simply not asked for.
    if (desktopID.find('.') != std::string_view::npos && activate(desktopID, deadline) == Activation::started) {
        return {};
    }
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
    options.env = sessionVariables(m_env);
    options.directory = m_env.nonEmpty("HOME").value_or("/");
    if (auto started = ChildProcess::spawnDetached(options, deadline); !started) {
        return std::unexpected(LaunchError{LaunchError::Kind::spawnFailed, started.error()});
    }
    return {};
}

} // namespace vantorelle
