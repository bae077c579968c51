// Log: the app's log lines, to the systemd journal with a category field, else to standard error.
#pragma once

#include <functional>
#include <string_view>

namespace vantorelle::applog {

enum class Level { Info, Default, Error };

// Thread-safe. Sends one entry to the journal (SYSLOG_IDENTIFIER "vantorelle", VANTORELLE_CATEGORY
// `category`, priority info / notice / err), or writes "vantorelle[category]: message" to standard
// error when the journal cannot be reached or VANTORELLE_LOG=stderr. Never pass a passphrase.
void write(std::string_view category, Level level, std::string_view message);

inline void info(std::string_view category, std::string_view message)
{
    write(category, Level::Info, message);
}
inline void notice(std::string_view category, std::string_view message)
{
    write(category, Level::Default, message);
}
inline void error(std::string_view category, std::string_view message)
{
    write(category, Level::Error, message);
}

// Where lines go instead of the journal while set (tests watch the log through it); an empty
// function restores the journal. Returns the sink it replaced.
using Sink = std::function<void(std::string_view category, Level level, std::string_view message)>;
Sink setSink(Sink sink);

} // namespace vantorelle::applog
