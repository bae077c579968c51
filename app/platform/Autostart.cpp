// Autostart: the XDG autostart entry, replaced atomically as one small file.
#include "platform/Autostart.h"

#include <sstream>

#include "Vantorelle.h"
#include "sys/Files.h"

namespace vantorelle {
namespace {

// An autostart entry is a few lines; anything larger is not ours to parse.
constexpr std::size_t kMaxEntryBytes = 64 * 1024;

// An Exec argument: quoted when it holds a reserved character, with '"', '`', '$' and '\'
// escaped inside the quotes; '%' doubled so it is not a field code. The desktop file's own string
// escaping then doubles every backslash once more.
std::string execArgument(std::string_view argument)
{
    std::string quoted;
    bool needsQuotes = argument.empty();
    for (char c : argument) {
        if (std::string_view(" \t\n\"'\\><~|&;$*?#()`").find(c) != std::string_view::npos) {
            needsQuotes = true;
        }
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        }
        quoted += c == '%' ? std::string("%%") : std::string(1, c);
    }
    if (needsQuotes) {
        quoted = '"' + quoted + '"';
    }
    std::string escaped;
    for (char c : quoted) {
        escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
    }
    return escaped;
}

bool isHidden(std::istream& in)
{
    std::string line;
    bool inMainGroup = false;
    while (std::getline(in, line)) {
        if (line.starts_with('[')) {
            inMainGroup = line == "[Desktop Entry]";
        } else if (inMainGroup && line.starts_with("Hidden")) {
            std::string_view rest = std::string_view(line).substr(6);
            while (rest.starts_with(' ')) {
                rest.remove_prefix(1);
            }
            if (rest.starts_with('=')) {
                rest.remove_prefix(1);
                while (rest.starts_with(' ')) {
                    rest.remove_prefix(1);
                }
                return rest == "true";
            }
        }
    }
    return false;
}

} // namespace

XdgAutostart::XdgAutostart(const Environment& env)
{
    std::filesystem::path config;
    if (auto xdg = env.nonEmpty("XDG_CONFIG_HOME"); xdg && std::filesystem::path(*xdg).is_absolute()) {
        config = *xdg;
    } else {
        config = std::filesystem::path(env.get("HOME").value_or("")) / ".config";
    }
    m_entry = config / "autostart" / (std::string(Vantorelle::bundleID) + ".desktop");
}

std::string XdgAutostart::entryText(const std::string& appExecPath)
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Vantorelle\n"
           "Icon="
        + std::string(Vantorelle::bundleID)
        + "\n"
          "Exec="
        + execArgument(appExecPath)
        + " --autostart\n"
          "NoDisplay=true\n"
          "X-GNOME-Autostart-enabled=true\n";
}

bool XdgAutostart::enabled() const
{
    const auto text = Files::read(m_entry, kMaxEntryBytes);
    if (!text) {
        return false;
    }
    std::istringstream in(*text);
    return !isHidden(in);
}

std::expected<void, Autostart::Error> XdgAutostart::setEnabled(bool enable, const std::string& appExecPath)
{
    std::error_code ec;
    if (!enable) {
        std::filesystem::remove(m_entry, ec);
        return ec ? std::unexpected(Error{ec}) : std::expected<void, Error>{};
    }
    if (auto made = Files::createDirectories(m_entry.parent_path(), 0700); !made) {
        return std::unexpected(Error{made.error()});
    }
    if (auto written = Files::replace(m_entry, entryText(appExecPath), Files::Mode{.bits = 0644}); !written) {
        return std::unexpected(Error{written.error()});
    }
    return {};
}

} // namespace vantorelle
