// Autostart: whether the app starts with the user's desktop session (the login item).
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <system_error>

#include "sys/Environment.h"

namespace vantorelle {

class Autostart
{
public:
    struct Error
    {
        std::error_code code;
        bool operator==(const Error&) const = default;
    };

    virtual ~Autostart() = default;
    virtual bool enabled() const = 0;
    // Registers `appExecPath` (the running app) or removes the registration; removing one that
    // is not there succeeds.
    virtual std::expected<void, Error> setEnabled(bool enabled, const std::string& appExecPath) = 0;
};

// The XDG autostart entry $XDG_CONFIG_HOME/autostart/org.vantorelle.Vantorelle.desktop (~/.config
// when XDG_CONFIG_HOME is unset, empty or relative), whose Exec adds "--autostart". Enabled = the
// entry exists and is not Hidden=true. Writes replace the entry atomically.
class XdgAutostart final : public Autostart
{
public:
    explicit XdgAutostart(const Environment& env = Environment::current());

    bool enabled() const override;
    std::expected<void, Error> setEnabled(bool enabled, const std::string& appExecPath) override;

    const std::filesystem::path& entryPath() const { return m_entry; }
    // The entry's text for `appExecPath`, its Exec quoted as the Desktop Entry rules say.
    static std::string entryText(const std::string& appExecPath);

private:
    std::filesystem::path m_entry;
};

} // namespace vantorelle
