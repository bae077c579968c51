// IPCPaths: where the per-user socket lives.
#include "ipc/IPCPaths.h"

#include <pwd.h>
#include <system_error>
#include <unistd.h>

#include "sys/Files.h"

namespace vantorelle::IPCPaths {

namespace {

// XDG base directories must be absolute; a relative value is ignored as if unset.
std::optional<std::filesystem::path> xdgDirectory(const Environment& env, std::string_view name)
{
    const auto value = env.nonEmpty(name);
    if (!value || value->front() != '/') {
        return std::nullopt;
    }
    return std::filesystem::path(*value);
}

std::filesystem::path homeDirectory(const Environment& env)
{
    if (const auto home = env.nonEmpty("HOME")) {
        return *home;
    }
    // getpwuid_r: this may run on any thread.
    passwd entry{};
    passwd* result = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &result) == 0 && result && result->pw_dir) {
        return result->pw_dir;
    }
    return "/";
}

} // namespace

std::filesystem::path socket(const Environment& env, const std::filesystem::path& runtimeRoot)
{
    if (const auto overridden = env.nonEmpty("VANTORELLE_SOCKET")) {
        std::filesystem::path path(*overridden);
        if (path.is_relative()) {
            std::error_code ec;
            const auto cwd = std::filesystem::current_path(ec);
            if (!ec) {
                path = cwd / path;
            }
        }
        return path;
    }
    if (const auto runtime = xdgDirectory(env, "XDG_RUNTIME_DIR")) {
        return *runtime / "vantorelle" / "c.sock";
    }
    // Without XDG_RUNTIME_DIR (cron, su, sudo -u) the desktop session's runtime directory is still
    // where the app listens; it is trusted only when it is ours and no one else can write to it.
    const auto sessionRuntime = runtimeRoot / std::to_string(::geteuid());
    if (Files::isPrivateDirectory(sessionRuntime)) {
        return sessionRuntime / "vantorelle" / "c.sock";
    }
    const auto data = xdgDirectory(env, "XDG_DATA_HOME").value_or(homeDirectory(env) / ".local" / "share");
    return data / "vantorelle" / "c.sock";
}

} // namespace vantorelle::IPCPaths
