// FileDefaults: Defaults in one JSON file shared by every Vantorelle process of the user.
#include "defaults/FileDefaults.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "sys/Fd.h"
#include "sys/Files.h"

namespace vantorelle {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kDateTag = "$date";

std::optional<DefaultsValue> fromJson(const json& value)
{
    switch (value.type()) {
    case json::value_t::boolean:
        return value.get<bool>();
    case json::value_t::number_integer:
        return value.get<std::int64_t>();
    case json::value_t::number_unsigned: {
        const auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT64_MAX)) {
            return static_cast<double>(u);
        }
        return static_cast<std::int64_t>(u);
    }
    case json::value_t::number_float:
        return value.get<double>();
    case json::value_t::string:
        return value.get<std::string>();
    case json::value_t::array: {
        std::vector<std::string> items;
        for (const auto& item : value) {
            if (!item.is_string()) {
                return std::nullopt;
            }
            items.push_back(item.get<std::string>());
        }
        return items;
    }
    case json::value_t::object:
        if (value.size() == 1 && value.contains(kDateTag) && value[kDateTag].is_number()) {
            return dateFromSeconds(value[kDateTag].get<double>());
        }
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

json toJson(const DefaultsValue& value)
{
    return std::visit(
        [](const auto& v) -> json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Date>) {
                return json{{kDateTag, secondsSince1970(v)}};
            } else if constexpr (std::is_same_v<T, double>) {
                // JSON has no NaN or infinity; such a value cannot be kept.
                return std::isfinite(v) ? json(v) : json(nullptr);
            } else {
                return json(v);
            }
        },
        value);
}

struct Loaded
{
    json object = json::object();
    bool damaged = false; // present but not a JSON object
    bool unreadable = false; // present (or maybe present) but could not be read
};

// A settings file is small and flat; anything larger or deeper was not written by us.
constexpr std::size_t kMaxFileBytes = 1 << 20;
constexpr int kMaxDepth = 8;

Loaded load(const fs::path& file)
{
    Loaded result;
    const auto text = Files::read(file, kMaxFileBytes);
    if (!text) {
        switch (text.error().kind) {
        case Files::ReadError::Kind::missing:
            break;
        case Files::ReadError::Kind::notRegular: // a FIFO, a device: reading would hang or never end
        case Files::ReadError::Kind::tooLarge:
            result.damaged = true;
            break;
        case Files::ReadError::Kind::io:
            // There but not readable now (no permission, out of descriptors): must not be replaced
            // as if it held nothing.
            result.unreadable = true;
            break;
        }
        return result;
    }
    // The parser itself is not recursive, but what it builds is written and destroyed
    // recursively: values nested deeper than any setting are dropped while parsing, and the file
    // counts as damaged.
    bool tooDeep = false;
    const json::parser_callback_t limitDepth = [&tooDeep](int depth, json::parse_event_t event, json&) {
        if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start)
            && depth >= kMaxDepth) {
            tooDeep = true;
            return false;
        }
        return !tooDeep;
    };
    auto parsed = json::parse(*text, limitDepth, /*allow_exceptions=*/false);
    if (parsed.is_object() && !tooDeep) {
        result.object = std::move(parsed);
    } else {
        result.damaged = true;
    }
    return result;
}

// flock(2) has no timed form: try without blocking, a few milliseconds apart, until the deadline.
bool lockWithin(int fd, std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::optional<fs::path> homeDirectory(const Environment& env)
{
    if (auto home = env.nonEmpty("HOME")) {
        return fs::path(*home);
    }
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) {
        return fs::path(pw->pw_dir);
    }
    return std::nullopt;
}

// Links the damaged file to "<file>.damaged.<seconds>[.<n>]". A name already taken by another
// damaged version (two in one second) is skipped; one that is this very file already counts.
bool keepDamagedCopy(const fs::path& file)
{
    struct stat original = {};
    if (::lstat(file.c_str(), &original) != 0) {
        return errno == ENOENT; // gone meanwhile: nothing left to keep
    }
    const std::string stem = fs::path(file).concat(".damaged." + std::to_string(std::time(nullptr))).string();
    for (int n = 0; n < 100; ++n) {
        const std::string backup = n == 0 ? stem : stem + "." + std::to_string(n);
        if (::link(file.c_str(), backup.c_str()) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
        struct stat existing = {};
        if (::lstat(backup.c_str(), &existing) == 0 && existing.st_dev == original.st_dev
            && existing.st_ino == original.st_ino) {
            return true;
        }
    }
    return false;
}

} // namespace

FileDefaults::FileDefaults(fs::path file, std::chrono::milliseconds lockWait)
    : m_file(std::move(file))
    , m_lockWait(lockWait)
{
}

fs::path FileDefaults::standardPath(const Environment& env)
{
    fs::path base;
    if (auto config = env.nonEmpty("XDG_CONFIG_HOME"); config && fs::path(*config).is_absolute()) {
        base = *config;
    } else {
        base = homeDirectory(env).value_or(fs::path("/")) / ".config";
    }
    return base / "vantorelle" / "defaults.json";
}

std::optional<DefaultsValue> FileDefaults::object(std::string_view key) const
{
    const Loaded loaded = load(m_file);
    const auto it = loaded.object.find(key);
    if (it == loaded.object.end()) {
        return std::nullopt;
    }
    return fromJson(*it);
}

void FileDefaults::set(std::string_view key, DefaultsValue value)
{
    update(key, std::move(value));
}

void FileDefaults::remove(std::string_view key)
{
    update(key, std::nullopt);
}

void FileDefaults::update(std::string_view key, const std::optional<DefaultsValue>& value)
{
    m_lastWriteFailed = true;
    const fs::path dir = m_file.parent_path();
    if (!dir.empty() && !Files::createDirectories(dir, 0700)) {
        return;
    }

    // Serialise read-modify-write across processes; the lock file is never removed so every
    // process locks the same inode.
    const fs::path lockPath = fs::path(m_file).concat(".lock");
    Fd lockFd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lockFd) {
        return;
    }
    if (!lockWithin(lockFd.get(), m_lockWait)) {
        return; // a writer that hangs on to the lock must not hang every process of the user
    }

    Loaded loaded = load(m_file);
    if (loaded.unreadable) {
        return; // what it holds is unknown, so it is left as it is
    }
    if (loaded.damaged && !keepDamagedCopy(m_file)) {
        return; // never replace a damaged file we could not keep
    }
    if (value) {
        loaded.object[std::string(key)] = toJson(*value);
    } else {
        loaded.object.erase(std::string(key));
    }
    const std::string text = loaded.object.dump(2, ' ', false, json::error_handler_t::replace) + "\n";

    if (!Files::replace(m_file, text, Files::Mode{0600, false})) {
        return;
    }
    m_lastWriteFailed = false;
}

} // namespace vantorelle
