// Log: journal entries with the category as a field; standard error as the fallback.
#include "platform/Log.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>
#include <utility>

#include "sys/Io.h"

namespace vantorelle::applog {
namespace {

std::mutex& sinkMutex()
{
    static std::mutex mutex;
    return mutex;
}

Sink& sink()
{
    static Sink current;
    return current;
}

int priority(Level level)
{
    switch (level) {
    case Level::Info:
        return LOG_INFO;
    case Level::Default:
        return LOG_NOTICE;
    case Level::Error:
        return LOG_ERR;
    }
    return LOG_NOTICE;
}

bool forcedToStandardError()
{
    static const bool forced = [] {
        const char* value = std::getenv("VANTORELLE_LOG");
        return value && std::strcmp(value, "stderr") == 0;
    }();
    return forced;
}

bool sendToJournal(std::string_view category, Level level, std::string_view message)
{
    const std::string fields[] = {
        "MESSAGE=" + std::string(message),
        "PRIORITY=" + std::to_string(priority(level)),
        "SYSLOG_IDENTIFIER=vantorelle",
        "VANTORELLE_CATEGORY=" + std::string(category),
    };
    iovec vectors[std::size(fields)];
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        vectors[i].iov_base = const_cast<char*>(fields[i].data());
        vectors[i].iov_len = fields[i].size();
    }
    // Fails (negative errno) when no journal listens on its socket, as in containers and CI.
    return sd_journal_sendv(vectors, static_cast<int>(std::size(vectors))) >= 0;
}

} // namespace

void write(std::string_view category, Level level, std::string_view message)
{
    {
        std::lock_guard lock(sinkMutex());
        if (sink()) {
            sink()(category, level, message);
            return;
        }
    }
    if (!forcedToStandardError() && sendToJournal(category, level, message)) {
        return;
    }
    std::string line = "vantorelle[" + std::string(category) + "]: " + std::string(message) + "\n";
    io::writeAll(STDERR_FILENO, line);
}

Sink setSink(Sink replacement)
{
    std::lock_guard lock(sinkMutex());
    return std::exchange(sink(), std::move(replacement));
}

} // namespace vantorelle::applog
